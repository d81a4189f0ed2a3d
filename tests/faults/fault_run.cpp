// One run of RunInstaller for the failure campaign (fault_campaign_test starts it):
//   fault_run REPORT [FUNCTION NTH MODE]...
// The product is in its own DLL; every import of it is hooked, and so is every method of the
// spies for the browser application, the shell-windows collection and the Internet Shortcut
// class. For each FUNCTION, its NTH call fails in the given mode of FaultFunctions(). The
// message box is recorded instead of shown, and the product's pauses are not waited. The
// exit code is RunInstaller's result; the report says what the run did and left behind.
#include <windows.h>
#include <exdisp.h>
#include <shlobj.h>
#include <urlmon.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/FaultInjector.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/MessageThread.h"
#include "tests/support/ShellSpies.h"

extern "C" __declspec(dllimport) int FaultRunInstaller();
extern "C" __declspec(dllimport) bool FaultEndOfProcess();

namespace {

// The slot of a virtual method in its interface's table: a pointer to a virtual member in
// this compiler's ABI holds 1 + the slot's offset.
template <typename Method>
int SlotOf(Method method) {
    struct {
        UINT_PTR pointer;
        ptrdiff_t adjustment;
    } raw;
    static_assert(sizeof(raw) == sizeof(method), "a virtual member pointer");
    memcpy(&raw, &method, sizeof(raw));
    return static_cast<int>((raw.pointer - 1) / sizeof(void*));
}
#define BRIVOK_SLOT(Interface, Method) FaultInjector::Slot{SlotOf(&Interface::Method), #Method}

struct Box {
    std::wstring caption, text;
    UINT type;
};
std::vector<Box> g_boxes;

int WINAPI RecordBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    g_boxes.push_back({caption ? caption : L"(null)", text ? text : L"(null)", type});
    return IDOK;
}

void WINAPI NoPause(DWORD) {}

// The download itself never leaves this machine: the cached copy is a file of the test's own.
wchar_t g_cachedIcon[MAX_PATH];
HRESULT WINAPI CachedDownload(LPUNKNOWN, LPCWSTR, LPWSTR path, DWORD size, DWORD, LPBINDSTATUSCALLBACK) {
    lstrcpynW(path, g_cachedIcon, static_cast<int>(size));
    return S_OK;
}

// What the product looks up by name goes through the hooks like an import: the download, and
// shlwapi's path functions. One stub per function, however often it is looked up.
FARPROC WINAPI FindProcedure(HMODULE module, LPCSTR name) {
    FARPROC found = GetProcAddress(module, name);
    if (!HIWORD(reinterpret_cast<UINT_PTR>(name)) || !FindFaultFunction(name)) return found;
    static std::mutex lock;  // the walk looks up on its worker while the main thread does too
    static std::map<std::string, FARPROC> stubs;
    std::lock_guard<std::mutex> held(lock);
    auto stub = stubs.find(name);
    if (stub != stubs.end()) return stub->second;
    void* original = lstrcmpA(name, "URLDownloadToCacheFileW") == 0 ? reinterpret_cast<void*>(&CachedDownload)
                                                                     : reinterpret_cast<void*>(found);
    if (!original) return nullptr;
    FARPROC hooked = reinterpret_cast<FARPROC>(FaultInjector::HookFunction(name, original));
    stubs.emplace(name, hooked);
    return hooked;
}

// A box's caption or text on one report line.
std::string OneLine(const std::wstring& text) {
    std::string out = Narrow(text);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = '|';
    return out;
}

// A fatal fault ends this child at once with its code, as Windows does with no debugger: Wine's
// debugger, started by id, hit the next child, which had that id again ("cannot start: 1359").
LONG WINAPI EndWithTheFault(EXCEPTION_POINTERS* fault) {
    TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(&EndWithTheFault);
    if (argc < 2 || (argc - 2) % 3 != 0) return 90;
    if (FAILED(CoInitialize(nullptr))) return 91;

    GetTempPathW(MAX_PATH, g_cachedIcon);
    lstrcatW(g_cachedIcon, L"brivok-fault-icon.ico");
    HANDLE icon = CreateFileW(g_cachedIcon, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (icon != INVALID_HANDLE_VALUE) CloseHandle(icon);

    // A browser window's thread, which answers the WM_NULL that follows the bar.
    HWND window = nullptr;
    MessageThread windowThread{[&window] { window = MessageWindow(L"STATIC"); return window != nullptr; }};

    CallLog log;
    SpyCounter counter;
    BrowserSpy open{"open", L"C:\\Program Files\\Internet Explorer\\iexplore.exe", window, &log, &counter};
    BrowserSpy instance{"new", L"C:\\Program Files\\Internet Explorer\\iexplore.exe", nullptr, &log, &counter};
    ShellWindowsSpy windows{&log, &counter};
    windows.items = {&open};
    SpyFactory windowsFactory{[&](REFIID iid, void** out) { return windows.QueryInterface(iid, out); }};
    SpyFactory browserFactory{[&](REFIID iid, void** out) { return instance.QueryInterface(iid, out); }};
    ShortcutClassSpy shortcut;
    SpyRegistration windowsRegistration{kClsidShellWindows, &windowsFactory, CLSCTX_LOCAL_SERVER};
    SpyRegistration browserRegistration{kClsidInternetExplorer, &browserFactory, CLSCTX_LOCAL_SERVER};
    if (!window || FAILED(windowsRegistration.hr) || FAILED(browserRegistration.hr) || FAILED(shortcut.registration.hr))
        return 92;

    const std::vector<FaultInjector::Slot> browserSlots = {
        BRIVOK_SLOT(IWebBrowser2, get_FullName), BRIVOK_SLOT(IWebBrowser2, ShowBrowserBar),
        BRIVOK_SLOT(IWebBrowser2, get_HWND)};
    const int browserCount = SlotOf(&IWebBrowser2::put_Resizable) + 1;
    bool hooked =
        FaultInjector::HookImports(GetModuleHandleW(L"brivok_fault_product.dll")) &&
        FaultInjector::HookSpyImports(GetModuleHandleW(nullptr)) &&
        FaultInjector::HookInterface(static_cast<IWebBrowser2*>(&open), "IWebBrowser2", browserCount, browserSlots) &&
        FaultInjector::HookInterface(static_cast<IWebBrowser2*>(&instance), "IWebBrowser2", browserCount,
                                     browserSlots) &&
        FaultInjector::HookInterface(static_cast<IShellWindows*>(&windows), "IShellWindows",
                                     SlotOf(&IShellWindows::ProcessAttachDetach) + 1,
                                     {BRIVOK_SLOT(IShellWindows, get_Count), BRIVOK_SLOT(IShellWindows, Item)}) &&
        FaultInjector::HookInterface(static_cast<IUniformResourceLocatorW*>(&shortcut.shortcut),
                                     "IUniformResourceLocatorW",
                                     SlotOf(&IUniformResourceLocatorW::InvokeCommand) + 1,
                                     {BRIVOK_SLOT(IUniformResourceLocatorW, SetURL),
                                      BRIVOK_SLOT(IUniformResourceLocatorW, GetURL)}) &&
        FaultInjector::HookInterface(static_cast<IPersistFile*>(&shortcut.shortcut), "IPersistFile",
                                     SlotOf(&IPersistFile::GetCurFile) + 1,
                                     {BRIVOK_SLOT(IPersistFile, Load), BRIVOK_SLOT(IPersistFile, Save)}) &&
        FaultInjector::HookInterface(static_cast<IPropertySetStorage*>(&shortcut.shortcut), "IPropertySetStorage",
                                     SlotOf(&IPropertySetStorage::Enum) + 1,
                                     {BRIVOK_SLOT(IPropertySetStorage, Open)}) &&
        FaultInjector::HookInterface(static_cast<IPropertyStorage*>(&shortcut.shortcut.storage), "IPropertyStorage",
                                     SlotOf(&IPropertyStorage::Stat) + 1,
                                     {BRIVOK_SLOT(IPropertyStorage, WriteMultiple),
                                      BRIVOK_SLOT(IPropertyStorage, Commit)});
    if (!hooked) return 93;
    FaultInjector::StandIn("MessageBoxW", reinterpret_cast<void*>(&RecordBox));
    FaultInjector::StandIn("Sleep", reinterpret_cast<void*>(&NoPause));
    FaultInjector::StandIn("GetProcAddress", reinterpret_cast<void*>(&FindProcedure));
    for (int i = 2; i + 2 < argc; i += 3) {
        char function[128];
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, function, sizeof(function), nullptr, nullptr);
        FaultInjector::Arm(function, _wtoi(argv[i + 1]), _wtoi(argv[i + 2]));
    }

    DWORD started = GetTickCount();
    int result = FaultRunInstaller();
    DWORD ran = GetTickCount() - started;

    // Workers end on their own soon after the run, the held browser instance's at most 20 s
    // later when the signal to let go of it never came.
    constexpr DWORD kThreadsBoundMs = 25000;
    DWORD start = GetTickCount();
    int running = 0;
    for (HANDLE thread : FaultInjector::StartedThreads()) {
        DWORD spent = GetTickCount() - start;
        DWORD left = spent < kThreadsBoundMs ? kThreadsBoundMs - spent : 0;
        if (WaitForSingleObject(thread, left) != WAIT_OBJECT_0) ++running;
    }
    (void)FaultEndOfProcess();

    FILE* report = _wfopen(argv[1], L"wb");
    if (!report) return 94;
    fprintf(report, "result %d\n", result);
    fprintf(report, "fired %d\n", FaultInjector::Fired() ? 1 : 0);
    for (const Box& box : g_boxes)
        fprintf(report, "box %s %s\t%s\n",
                (box.type & MB_ICONMASK) == MB_ICONERROR         ? "error"
                : (box.type & MB_ICONMASK) == MB_ICONINFORMATION ? "information"
                                                                  : "other",
                OneLine(box.caption).c_str(), OneLine(box.text).c_str());
    for (const auto& call : FaultInjector::Calls()) fprintf(report, "calls %s %ld\n", call.first.c_str(), call.second);
    for (const auto& kind : FaultInjector::Outstanding())
        fprintf(report, "outstanding %s\t%ld\n", kind.first.c_str(), kind.second);
    fprintf(report, "references %ld\n", counter.live + shortcut.counter.live);
    fprintf(report, "threads %d\n", running);
    fprintf(report, "milliseconds %lu %lu\n", ran, GetTickCount() - started - ran);
    fclose(report);

    // The report is complete; nothing of the run is waited for any longer (the spies'
    // registrations would wait for a thread left behind), as the installer itself ends.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
