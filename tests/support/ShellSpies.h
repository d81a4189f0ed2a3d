#pragma once
// Spies for the shell's and the browser's classes that Wine lacks or implements only in
// part: the Internet Shortcut class (with its site property set) and the browser
// application. Each records its calls and can be told to fail.
#include <windows.h>
#include <exdisp.h>
#include <intshcut.h>
#include <objidl.h>
#include <shlobj.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/ComSpy.h"

// A property of the browser that a spy neither reads nor writes.
#define BRIVOK_BROWSER_PROPERTY(name, type) \
    BRIVOK_NOTIMPL(get_##name, (type*)) BRIVOK_NOTIMPL(put_##name, (type))

// Identifiers as the platform publishes them, spelled out here so that a wrong value in
// the product's headers or libraries shows. Those of the form {XXXXXXXX-0000-0000-C000-000000000046}:
constexpr GUID OleGuid(unsigned long first) { return {first, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}; }
inline const CLSID kClsidInternetShortcut = {
    0xFBF23B40, 0xE3F0, 0x101B, {0x84, 0x88, 0x00, 0xAA, 0x00, 0x3E, 0x56, 0xF8}};
inline const IID kIidUniformResourceLocatorW = {
    0xCABB0DA0, 0xDA57, 0x11CF, {0x99, 0x74, 0x00, 0x20, 0xAF, 0xD7, 0x97, 0x62}};
inline const IID kIidPersistFile = OleGuid(0x0000010B);
inline const IID kIidPropertySetStorage = OleGuid(0x0000013A);
inline const FMTID kFmtidInternetSite = OleGuid(0x000214A1);

inline const CLSID kClsidShellWindows = {0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
inline const IID kIidShellWindows = {0x85CB6900, 0x4D95, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
inline const CLSID kClsidInternetExplorer = OleGuid(0x0002DF01);
inline const IID kIidWebBrowser2 = {0xD30C1661, 0xCDAF, 0x11D0, {0x8A, 0x3E, 0x00, 0xC0, 0x4F, 0xC9, 0xE2, 0x6E}};

inline const wchar_t kSpyUrl[] = L"http://127.0.0.1/drov";

// Calls as recorded, one a line.
inline std::string Joined(const std::vector<std::string>& calls) {
    std::string text;
    for (const auto& call : calls) text += call + "\n";
    return text;
}

// Calls of every spy and every WM_NULL, in the order they happened.
struct CallLog {
    std::mutex lock;
    std::vector<std::string> calls;
    void Add(const std::string& call) {
        std::lock_guard<std::mutex> hold(lock);
        calls.push_back(call);
    }
    std::string Text() {
        std::lock_guard<std::mutex> hold(lock);
        return Joined(calls);
    }
};

inline std::string VariantText(const VARIANT* value) {
    if (!value) return "null";
    std::string text = "vt" + std::to_string(value->vt);
    if (value->vt == VT_I2) text += ":" + std::to_string(value->iVal);
    if (value->vt == VT_BOOL) text += ":" + std::to_string(value->boolVal);
    if (value->vt == VT_I4) text += ":" + std::to_string(value->lVal);
    return text;
}

struct PropertyStorageSpy : public IPropertyStorage {
    BRIVOK_SPY_STATE
    std::vector<std::string>* calls = nullptr;
    std::map<std::string, HRESULT>* failures = nullptr;
    FILETIME written = {};

    void* Answers(REFIID iid) {
        if (iid == IID_IUnknown || iid == IID_IPropertyStorage) return static_cast<IPropertyStorage*>(this);
        return nullptr;
    }
    BRIVOK_SPY_UNKNOWN(Answers)

    HRESULT Result(const char* step) {
        auto found = failures->find(step);
        return found == failures->end() ? S_OK : found->second;
    }

    BRIVOK_RECORDED(ReadMultiple, (ULONG, const PROPSPEC*, PROPVARIANT*), calls->push_back, E_NOTIMPL)
    HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG count, const PROPSPEC* specs,
                                            const PROPVARIANT* values, PROPID nameFirst) override {
        std::string call = "WriteMultiple(" + std::to_string(count);
        for (ULONG i = 0; i < count; ++i) {
            call += "," + std::to_string(specs[i].ulKind) + ":" + std::to_string(specs[i].propid);
        }
        for (ULONG i = 0; i < count; ++i) {
            call += ",vt" + std::to_string(values[i].vt);
            if (values[i].vt == VT_LPWSTR) call += ":" + NarrowText(values[i].pwszVal);
            if (values[i].vt == VT_FILETIME) written = values[i].filetime;
        }
        calls->push_back(call + "," + std::to_string(nameFirst) + ")");
        return Result("WriteMultiple");
    }
    BRIVOK_RECORDED(DeleteMultiple, (ULONG, const PROPSPEC*), calls->push_back, E_NOTIMPL)
    BRIVOK_NOTIMPL(ReadPropertyNames, (ULONG, const PROPID*, LPOLESTR*))
    BRIVOK_NOTIMPL(WritePropertyNames, (ULONG, const PROPID*, const LPOLESTR*))
    BRIVOK_NOTIMPL(DeletePropertyNames, (ULONG, const PROPID*))
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
        calls->push_back("Commit(" + std::to_string(flags) + ")");
        return Result("Commit");
    }
    BRIVOK_RECORDED(Revert, (), calls->push_back, E_NOTIMPL)
    BRIVOK_NOTIMPL(Enum, (IEnumSTATPROPSTG**)) BRIVOK_NOTIMPL(SetClass, (REFCLSID))
    BRIVOK_NOTIMPL(SetTimes, (const FILETIME*, const FILETIME*, const FILETIME*))
    BRIVOK_NOTIMPL(Stat, (STATPROPSETSTG*))
};

struct ShortcutSpy : public IUniformResourceLocatorW, public IPersistFile, public IPropertySetStorage {
    BRIVOK_SPY_STATE
    std::vector<std::string> calls;
    std::map<std::string, HRESULT> failures;  // step name -> result to return
    PropertyStorageSpy storage;

    std::vector<std::string> releases;  // of the object and of its property set
    // Load reads the file's URL and Save writes it back, as the class does (the campaign).
    bool touchesFiles = false;
    std::wstring fileUrl, loadedPath;

    explicit ShortcutSpy(SpyCounter* counter) : counter_(counter), releases_(&releases), releaseName_("shortcut") {
        storage.counter_ = counter;
        storage.releases_ = &releases;
        storage.releaseName_ = "storage";
        storage.calls = &calls;
        storage.failures = &failures;
    }

    HRESULT Result(const char* step) { return storage.Result(step); }  // the storage reads failures
    bool Refuses(const char* step) { return failures.count(step) != 0; }

    void* Answers(REFIID iid) {
        if (iid == IID_IUnknown || iid == kIidUniformResourceLocatorW)
            return static_cast<IUniformResourceLocatorW*>(this);
        if (iid == kIidPersistFile && !Refuses("QueryPersistFile")) return static_cast<IPersistFile*>(this);
        if (iid == kIidPropertySetStorage && !Refuses("QueryPropertySetStorage"))
            return static_cast<IPropertySetStorage*>(this);
        return nullptr;
    }
    BRIVOK_SPY_UNKNOWN(Answers)

    // IUniformResourceLocatorW
    HRESULT STDMETHODCALLTYPE SetURL(LPCWSTR url, DWORD flags) override {
        calls.push_back("SetURL(" + NarrowText(url) + "," + std::to_string(flags) + ")");
        if (touchesFiles) fileUrl = url ? url : L"";
        return Result("SetURL");
    }
    HRESULT STDMETHODCALLTYPE GetURL(LPWSTR* url) override {
        calls.push_back("GetURL");
        *url = nullptr;
        if (Refuses("GetURL")) return Result("GetURL");
        const std::wstring held = touchesFiles ? fileUrl : kSpyUrl;
        if (Refuses("GetURLNone") || held.empty()) return S_FALSE;  // a shortcut without a URL
        *url = static_cast<LPWSTR>(CoTaskMemAlloc((held.size() + 1) * sizeof(wchar_t)));
        memcpy(*url, held.c_str(), (held.size() + 1) * sizeof(wchar_t));
        return S_OK;
    }
    BRIVOK_RECORDED(InvokeCommand, (PURLINVOKECOMMANDINFOW), calls.push_back, E_NOTIMPL)

    // IPersistFile
    BRIVOK_NOTIMPL(GetClassID, (CLSID*)) BRIVOK_NOTIMPL(GetCurFile, (LPOLESTR*))
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR path, DWORD mode) override {
        calls.push_back("Load(" + NarrowText(path) + "," + HexString(mode) + ")");
        if (touchesFiles) {
            // As the class does: the file's URL is read, and the file is not kept open.
            wchar_t url[2048];
            if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return STG_E_FILENOTFOUND;
            GetPrivateProfileStringW(L"InternetShortcut", L"URL", L"", url, ARRAYSIZE(url), path);
            fileUrl = url;
            loadedPath = path;
        }
        return Result("Load");
    }
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR path, BOOL remember) override {
        calls.push_back("Save(" + NarrowText(path) + "," + std::to_string(remember) + ")");
        // As the class does: the URL is written back into the file, which is made if missing.
        const std::wstring target = path ? path : loadedPath;
        if (touchesFiles && (target.empty() ||
                             !WritePrivateProfileStringW(L"InternetShortcut", L"URL", fileUrl.c_str(), target.c_str())))
            return STG_E_WRITEFAULT;
        return Result("Save");
    }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return S_OK; }

    // IPropertySetStorage
    BRIVOK_RECORDED(Create, (REFFMTID, const CLSID*, DWORD, DWORD, IPropertyStorage**), calls.push_back, E_NOTIMPL)
    HRESULT STDMETHODCALLTYPE Open(REFFMTID format, DWORD mode, IPropertyStorage** out) override {
        calls.push_back(std::string("Open(") + (format == kFmtidInternetSite ? "InternetSite" : "other") +
                        "," + HexString(mode) + ")");
        *out = nullptr;
        if (Refuses("Open")) return Result("Open");
        storage.AddRef();
        *out = &storage;
        return S_OK;
    }
    BRIVOK_RECORDED(Delete, (REFFMTID), calls.push_back, E_NOTIMPL)
    BRIVOK_NOTIMPL(Enum, (IEnumSTATPROPSETSTG**))
};

// A spy Internet Shortcut class for one test: the factory hands out the one spy object.
struct ShortcutClassSpy {
    SpyCounter counter;
    ShortcutSpy shortcut{&counter};
    HRESULT creationResult = S_OK;
    SpyFactory factory{[this](REFIID iid, void** out) -> HRESULT {
        if (FAILED(creationResult)) return creationResult;
        return shortcut.QueryInterface(iid, out);
    }};
    SpyRegistration registration{kClsidInternetShortcut, &factory, CLSCTX_INPROC_SERVER};
};

struct BrowserSpy : public IWebBrowser2 {
    BRIVOK_SPY_STATE
    std::string name;
    std::wstring fullName;
    HWND window = nullptr;
    HRESULT showResult = S_OK;
    bool answersBrowser = true;  // false: an object without IWebBrowser2
    DWORD delayMs = 0;           // a slow window: each call it answers takes this long
    CallLog* log = nullptr;

    BrowserSpy(const char* spyName, const wchar_t* program, HWND spyWindow, CallLog* spyLog, SpyCounter* counter)
        : counter_(counter), name(spyName), fullName(program), window(spyWindow), log(spyLog) {}

    void* Answers(REFIID iid) {
        if (delayMs) Sleep(delayMs);  // QueryInterface, as every other call
        if (iid == IID_IUnknown || iid == IID_IDispatch) return static_cast<IWebBrowser2*>(this);
        if (answersBrowser && iid == kIidWebBrowser2) return static_cast<IWebBrowser2*>(this);
        return nullptr;
    }
    BRIVOK_SPY_UNKNOWN(Answers)
    BRIVOK_SPY_DISPATCH_STUBS

    HRESULT STDMETHODCALLTYPE ShowBrowserBar(VARIANT* bar, VARIANT* show, VARIANT* size) override {
        if (delayMs) Sleep(delayMs);
        log->Add("ShowBrowserBar(" + name + "," + VariantText(bar) + "," + VariantText(show) + "," +
                 VariantText(size) + ")");
        return showResult;
    }
    HRESULT STDMETHODCALLTYPE get_HWND(SHANDLE_PTR* result) override {
        if (delayMs) Sleep(delayMs);
        log->Add("get_HWND(" + name + ")");
        *result = reinterpret_cast<SHANDLE_PTR>(window);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_FullName(BSTR* result) override {
        if (delayMs) Sleep(delayMs);
        log->Add("get_FullName(" + name + ")");
        *result = SysAllocString(fullName.c_str());
        return S_OK;
    }
    BRIVOK_NOTIMPL(GoBack, ()) BRIVOK_NOTIMPL(GoForward, ()) BRIVOK_NOTIMPL(GoHome, ())
    BRIVOK_NOTIMPL(GoSearch, ()) BRIVOK_NOTIMPL(Refresh, ()) BRIVOK_NOTIMPL(Stop, ()) BRIVOK_NOTIMPL(Quit, ())
    BRIVOK_NOTIMPL(Navigate, (BSTR, VARIANT*, VARIANT*, VARIANT*, VARIANT*))
    BRIVOK_NOTIMPL(Navigate2, (VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*))
    BRIVOK_NOTIMPL(Refresh2, (VARIANT*)) BRIVOK_NOTIMPL(ClientToWindow, (int*, int*))
    BRIVOK_NOTIMPL(get_Application, (IDispatch**)) BRIVOK_NOTIMPL(get_Parent, (IDispatch**))
    BRIVOK_NOTIMPL(get_Container, (IDispatch**)) BRIVOK_NOTIMPL(get_Document, (IDispatch**))
    BRIVOK_NOTIMPL(get_TopLevelContainer, (VARIANT_BOOL*)) BRIVOK_NOTIMPL(get_Busy, (VARIANT_BOOL*))
    BRIVOK_NOTIMPL(get_Type, (BSTR*)) BRIVOK_NOTIMPL(get_Name, (BSTR*)) BRIVOK_NOTIMPL(get_Path, (BSTR*))
    BRIVOK_NOTIMPL(get_LocationName, (BSTR*)) BRIVOK_NOTIMPL(get_LocationURL, (BSTR*))
    BRIVOK_NOTIMPL(PutProperty, (BSTR, VARIANT)) BRIVOK_NOTIMPL(GetProperty, (BSTR, VARIANT*))
    BRIVOK_NOTIMPL(QueryStatusWB, (OLECMDID, OLECMDF*)) BRIVOK_NOTIMPL(get_ReadyState, (READYSTATE*))
    BRIVOK_NOTIMPL(ExecWB, (OLECMDID, OLECMDEXECOPT, VARIANT*, VARIANT*))
    BRIVOK_BROWSER_PROPERTY(Left, LONG) BRIVOK_BROWSER_PROPERTY(Top, LONG) BRIVOK_BROWSER_PROPERTY(Width, LONG)
    BRIVOK_BROWSER_PROPERTY(Height, LONG) BRIVOK_BROWSER_PROPERTY(StatusText, BSTR)
    BRIVOK_BROWSER_PROPERTY(ToolBar, int) BRIVOK_BROWSER_PROPERTY(Visible, VARIANT_BOOL)
    BRIVOK_BROWSER_PROPERTY(StatusBar, VARIANT_BOOL) BRIVOK_BROWSER_PROPERTY(MenuBar, VARIANT_BOOL)
    BRIVOK_BROWSER_PROPERTY(FullScreen, VARIANT_BOOL) BRIVOK_BROWSER_PROPERTY(Offline, VARIANT_BOOL)
    BRIVOK_BROWSER_PROPERTY(Silent, VARIANT_BOOL) BRIVOK_BROWSER_PROPERTY(RegisterAsBrowser, VARIANT_BOOL)
    BRIVOK_BROWSER_PROPERTY(RegisterAsDropTarget, VARIANT_BOOL) BRIVOK_BROWSER_PROPERTY(TheaterMode, VARIANT_BOOL)
    BRIVOK_BROWSER_PROPERTY(AddressBar, VARIANT_BOOL) BRIVOK_BROWSER_PROPERTY(Resizable, VARIANT_BOOL)
};

// The shell-windows collection: the objects it lists, and what each Item call answers.
struct ShellWindowsSpy : public IShellWindows {
    BRIVOK_SPY_STATE
    std::vector<IDispatch*> items;
    std::vector<HRESULT> itemResults;  // per index; S_OK when absent
    HRESULT countResult = S_OK;
    CallLog* log = nullptr;

    ShellWindowsSpy(CallLog* spyLog, SpyCounter* counter) : log(spyLog) { counter_ = counter; }

    void* Answers(REFIID iid) {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kIidShellWindows)
            return static_cast<IShellWindows*>(this);
        return nullptr;
    }
    BRIVOK_SPY_UNKNOWN(Answers)
    BRIVOK_SPY_DISPATCH_STUBS

    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        log->Add("get_Count");
        *count = static_cast<LONG>(items.size());
        return countResult;
    }
    HRESULT STDMETHODCALLTYPE Item(VARIANT index, IDispatch** folder) override {
        log->Add("Item(" + VariantText(&index) + ")");
        *folder = nullptr;
        if (index.vt != VT_I4 || index.lVal < 0 || index.lVal >= static_cast<LONG>(items.size())) return E_INVALIDARG;
        size_t i = static_cast<size_t>(index.lVal);
        if (i < itemResults.size() && FAILED(itemResults[i])) return itemResults[i];
        items[i]->AddRef();
        *folder = items[i];
        return S_OK;
    }
    BRIVOK_NOTIMPL(_NewEnum, (IUnknown**)) BRIVOK_NOTIMPL(Revoke, (LONG))
    BRIVOK_NOTIMPL(Register, (IDispatch*, LONG, int, LONG*))
    BRIVOK_NOTIMPL(RegisterPending, (LONG, VARIANT*, VARIANT*, int, LONG*))
    BRIVOK_NOTIMPL(OnNavigate, (LONG, VARIANT*)) BRIVOK_NOTIMPL(OnActivated, (LONG, VARIANT_BOOL))
    BRIVOK_NOTIMPL(FindWindowSW, (VARIANT*, VARIANT*, int, LONG*, int, IDispatch**))
    BRIVOK_NOTIMPL(OnCreated, (LONG, IUnknown*)) BRIVOK_NOTIMPL(ProcessAttachDetach, (VARIANT_BOOL))
};
