// One run of the installer's own process entry for the failure campaign (fault_campaign_test
// starts it):   fault_run REPORT [FUNCTION PLACE NTH MODE LASTING]...
// The product is in its own DLL; every import of it is hooked, and so is every method of the
// spies for the browser application, the shell-windows collection and the Internet Shortcut
// class. Each armed call fails in the given mode of FaultFunctions(). The message box is
// recorded instead of shown, and the product's pauses are not waited. When the entry ends the
// process, the report says what the run did and left behind, and the process ends as the
// entry asked: the campaign reads its exit code from outside.
#include <windows.h>
#include <exdisp.h>
#include <shlobj.h>
#include <urlmon.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "menuorder/MenuOrderUpdate.h"
#include "tests/support/FaultInjector.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/MessageThread.h"
#include "tests/support/ShellSpies.h"

extern "C" __declspec(dllimport) void FaultEntry();
extern "C" __declspec(dllimport) bool FaultAnyWorkerGivenUp();
extern "C" __declspec(dllimport) void FaultProductFunctions(const void** functions);
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
// Hooks every slot of Interface at object up to its last method, the slots given by name.
#define BRIVOK_HOOK(object, Interface, last, ...) \
    FaultInjector::HookInterface(static_cast<Interface*>(object), #Interface, SlotOf(&Interface::last) + 1, __VA_ARGS__)

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

// Waits end within 1 s here (the bounds are tested elsewhere): one a failure leaves
// unanswered then ends in 1 s, not in its bound of up to 20 s, and does the same.
constexpr DWORD kWaitCapMs = 1000;
DWORD WINAPI CappedWait(HANDLE handle, DWORD ms) { return WaitForSingleObject(handle, ms < kWaitCapMs ? ms : kWaitCapMs); }
HRESULT WINAPI CappedCoWait(DWORD flags, DWORD ms, ULONG count, LPHANDLE handles, LPDWORD index) {
    return CoWaitForMultipleHandles(flags, ms < kWaitCapMs ? ms : kWaitCapMs, count, handles, index);
}

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

// What the calls that would do harm with a wrong argument were asked, after whatever answer
// came before: each DLL by its whole name in the system folder, or by name searched there only
// (the common controls by name, for the manifest's version); each file by its whole path, in the
// temporary folder or a Links folder, under one of the run's own names.
std::mutex g_askedLock;
std::vector<std::string> g_unsound;
std::wstring g_systemFolder, g_tempFolder, g_favorites;
bool InFolder(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() + 1 && CompareStringOrdinal(path.c_str(), folder.size(), folder.c_str(),
                                                                   folder.size(), TRUE) == CSTR_EQUAL &&
           path[folder.size()] == L'\\' && path.find(L'\\', folder.size() + 1) == std::wstring::npos;
}
void Ask(bool sound, const char* call, LPCWSTR argument, DWORD flags = 0) {
    std::lock_guard<std::mutex> held(g_askedLock);
    if (!sound) g_unsound.push_back(std::string(call) + " " + (argument ? Narrow(argument) : "(null)") + " " + std::to_string(flags));
}
bool SoundFile(LPCWSTR path) {
    std::wstring whole = path ? path : L"", name = whole.substr(whole.rfind(L'\\') + 1);
    bool own = name == L"View Drovs.url" || name == L"+ Save It For Later.url" ||
               (name.size() >= 8 && name.size() <= 11 && name.rfind(L"url", 0) == 0 &&
                name.find_first_not_of(L"0123456789abcdefABCDEF", 3) == name.size() - 4 && name.substr(name.size() - 4) == L".tmp");
    return own && (InFolder(whole, g_tempFolder) || InFolder(whole, g_favorites + L"\\Links") ||
                   InFolder(whole, g_favorites + L"\\Liens"));
}
HMODULE WINAPI AskedLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    std::wstring whole = name ? name : L"";
    bool dll = whole.size() > 4 && whole.substr(whole.size() - 4) == L".dll";
    Ask(dll && ((flags == LOAD_LIBRARY_SEARCH_SYSTEM32 && whole.find(L'\\') == std::wstring::npos) ||
                (flags == LOAD_WITH_ALTERED_SEARCH_PATH && InFolder(whole, g_systemFolder)) ||
                (flags == 0 && whole == L"comctl32.dll")), "LoadLibraryExW", name, flags);
    return LoadLibraryExW(name, file, flags);
}
HANDLE WINAPI AskedCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD how,
                               DWORD attributes, HANDLE model) {
    Ask(SoundFile(path), "CreateFileW", path);
    return CreateFileW(path, access, share, security, how, attributes, model);
}
BOOL WINAPI AskedMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    Ask(SoundFile(from), "MoveFileExW", from);
    Ask(SoundFile(to), "MoveFileExW", to);
    return MoveFileExW(from, to, flags);
}
BOOL WINAPI AskedDeleteFileW(LPCWSTR path) {
    Ask(SoundFile(path), "DeleteFileW", path);
    return DeleteFileW(path);
}
BOOL WINAPI AskedSetFileAttributesW(LPCWSTR path, DWORD attributes) {
    Ask(SoundFile(path), "SetFileAttributesW", path);
    return SetFileAttributesW(path, attributes);
}

// A box's caption or text on one report line.
std::string OneLine(const std::wstring& text) {
    std::string out = Narrow(text);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = '|';
    return out;
}

// The announcement spy: each shortcut's creation must be announced while the Order value is
// still as the run found it, for the shell to have read the folder before it is reordered.
std::vector<BYTE> g_startOrder;
LONG g_announcedAfterReorder = 0;
std::vector<BYTE> StoredOrder() {
    DWORD size = 0;
    std::vector<BYTE> bytes;
    if (RegGetValueW(HKEY_CURRENT_USER, kMenuOrderKeyPath, kMenuOrderValueName, RRF_RT_ANY, nullptr, nullptr,
                     &size) == ERROR_SUCCESS) {
        bytes.resize(size + 1);  // a marker byte: no value and an empty one differ
        RegGetValueW(HKEY_CURRENT_USER, kMenuOrderKeyPath, kMenuOrderValueName, RRF_RT_ANY, nullptr, bytes.data(),
                     &size);
    }
    return bytes;
}
void WINAPI AnnounceReadingOrder(LONG event, UINT flags, LPCVOID first, LPCVOID second) {
    if (event == SHCNE_CREATE && StoredOrder() != g_startOrder) InterlockedIncrement(&g_announcedAfterReorder);
    SHChangeNotify(event, flags, first, second);
}

std::wstring g_report;
std::vector<std::wstring> g_arms;  // each armed call's place
LONG* g_references[2];  // the spies' counts of references handed out and not released

// For each armed call: how often it failed; the stage of its first failure, the innermost on
// its stack of the functions whose failures the box names ("entry", "paths", "shortcut"),
// "run" for a call RunInstaller makes itself (CoInitialize), else "none"; and whether it is a
// worker block's release, which whichever of the worker and its owner lets go last makes.
void ReportFailures(FILE* report) {
    const void* functions[5];
    FaultProductFunctions(functions);
    auto base = reinterpret_cast<const BYTE*>(GetModuleHandleW(L"brivok_fault_product.dll"));
    const char* const names[] = {"entry", "run", "paths", "shortcut"};
    const std::vector<LONG> fired = FaultInjector::Fired();
    const std::vector<std::vector<DWORD>> stacks = FaultInjector::FailureFunctions();
    for (size_t i = 0; i < fired.size(); ++i) {
        const char* stage = nullptr;
        for (size_t frame = 0; frame < stacks[i].size() && !stage; ++frame)
            for (int f = 0; f < 4; ++f)
                if (base + stacks[i][frame] == functions[f]) stage = f == 1 && frame > 0 ? "none" : names[f];
        // A release inside ReleaseWorker, however deep (a holder's release it calls), is its.
        bool release = false;
        wchar_t* end;
        for (const wchar_t* at = g_arms[i].c_str(); !release; at = end + 1) {
            DWORD64 image = 0;
            const RUNTIME_FUNCTION* caller =
                RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(base) + wcstoul(at, &end, 16), &image, nullptr);
            release = end != at && caller && base + caller->BeginAddress == functions[4];
            if (*end != L':') break;
        }
        fprintf(report, "fired %ld %s %d\n", fired[i], stage ? stage : "none", release ? 1 : 0);
    }
}

// Written once, as the entry ends the process: what the run did and left behind.
void Report(const char* ended) {
    static LONG once = 0;
    if (InterlockedExchange(&once, 1)) return;
    // Workers end on their own soon after the run, the held browser instance's at most 20 s
    // later when the signal to let go of it never came; a run that gave a wait up ends with
    // them still running, as Windows ends every thread of a terminated process.
    const bool givenUp = FaultAnyWorkerGivenUp();
    constexpr DWORD kThreadsBoundMs = 25000;
    DWORD start = GetTickCount();
    int running = 0;
    for (HANDLE thread : givenUp ? std::vector<HANDLE>() : FaultInjector::StartedThreads()) {
        DWORD spent = GetTickCount() - start;
        if (WaitForSingleObject(thread, spent < kThreadsBoundMs ? kThreadsBoundMs - spent : 0) != WAIT_OBJECT_0)
            ++running;
    }
    FILE* report = _wfopen(g_report.c_str(), L"wb");
    if (!report) return;
    fprintf(report, "ended %s\ngiven-up %d\n", ended, givenUp ? 1 : 0);
    ReportFailures(report);
    for (const Box& box : g_boxes)
        fprintf(report, "box %s %s\t%s\n",
                (box.type & MB_ICONMASK) == MB_ICONERROR         ? "error"
                : (box.type & MB_ICONMASK) == MB_ICONINFORMATION ? "information"
                                                                  : "other",
                OneLine(box.caption).c_str(), OneLine(box.text).c_str());
    for (const auto& call : FaultInjector::Calls())
        fprintf(report, "calls %s %s %ld\n", call.first.first.c_str(), call.first.second.c_str(), call.second);
    for (const auto& kind : FaultInjector::Outstanding())
        fprintf(report, "outstanding %s\t%ld\n", kind.first.c_str(), kind.second);
    for (const auto& kind : FaultInjector::Unowned())
        fprintf(report, "unowned %s\t%ld\n", kind.first.c_str(), kind.second);
    for (const std::wstring& path : FaultInjector::RefusedDeletes()) fprintf(report, "kept %s\n", Narrow(path).c_str());
    for (const std::string& asked : g_unsound) fprintf(report, "unsound %s\n", asked.c_str());
    fprintf(report, "announced-after-reorder %ld\nreferences %ld\nthreads %d\n", g_announcedAfterReorder,
            *g_references[0] + *g_references[1], running);
    fclose(report);
}

// A fatal fault ends this child at once with its code, as Windows does with no debugger: Wine's
// debugger, started by id, hit the next child, which had that id again ("cannot start: 1359").
LONG WINAPI EndWithTheFault(EXCEPTION_POINTERS* fault) {
    Report("fault");
    TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void WINAPI ReportThenExit(UINT code) { Report("ExitProcess"); ExitProcess(code); }
BOOL WINAPI ReportThenTerminate(HANDLE process, UINT code) {
    if (GetProcessId(process) == GetCurrentProcessId()) Report("TerminateProcess");
    return TerminateProcess(process, code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(&EndWithTheFault);
    if (argc < 2 || (argc - 2) % 5 != 0) return 90;
    g_report = argv[1];
    if (FAILED(CoInitialize(nullptr))) return 91;

    GetTempPathW(MAX_PATH, g_cachedIcon);
    lstrcatW(g_cachedIcon, L"brivok-fault-icon.ico");
    HANDLE icon = CreateFileW(g_cachedIcon, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (icon != INVALID_HANDLE_VALUE) CloseHandle(icon);
    g_startOrder = StoredOrder();

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
    shortcut.shortcut.touchesFiles = true;
    g_references[0] = &counter.live;
    g_references[1] = &shortcut.counter.live;
    SpyRegistration windowsRegistration{kClsidShellWindows, &windowsFactory, CLSCTX_LOCAL_SERVER};
    SpyRegistration browserRegistration{kClsidInternetExplorer, &browserFactory, CLSCTX_LOCAL_SERVER};
    if (!window || FAILED(windowsRegistration.hr) || FAILED(browserRegistration.hr) || FAILED(shortcut.registration.hr))
        return 92;

    const std::vector<FaultInjector::Slot> browserSlots = {
        BRIVOK_SLOT(IWebBrowser2, get_FullName), BRIVOK_SLOT(IWebBrowser2, ShowBrowserBar),
        BRIVOK_SLOT(IWebBrowser2, get_HWND)};
    HMODULE product = GetModuleHandleW(L"brivok_fault_product.dll");
    FaultInjector::SetProduct(product);
    bool hooked =
        FaultInjector::HookImports(product) && FaultInjector::HookSpyImports(GetModuleHandleW(nullptr)) &&
        BRIVOK_HOOK(&open, IWebBrowser2, put_Resizable, browserSlots) &&
        BRIVOK_HOOK(&instance, IWebBrowser2, put_Resizable, browserSlots) &&
        BRIVOK_HOOK(&windows, IShellWindows, ProcessAttachDetach,
                    {BRIVOK_SLOT(IShellWindows, get_Count), BRIVOK_SLOT(IShellWindows, Item)}) &&
        BRIVOK_HOOK(&shortcut.shortcut, IUniformResourceLocatorW, InvokeCommand,
                    {BRIVOK_SLOT(IUniformResourceLocatorW, SetURL), BRIVOK_SLOT(IUniformResourceLocatorW, GetURL)}) &&
        BRIVOK_HOOK(&shortcut.shortcut, IPersistFile, GetCurFile,
                    {BRIVOK_SLOT(IPersistFile, Load), BRIVOK_SLOT(IPersistFile, Save)}) &&
        BRIVOK_HOOK(&shortcut.shortcut, IPropertySetStorage, Enum, {BRIVOK_SLOT(IPropertySetStorage, Open)}) &&
        BRIVOK_HOOK(&shortcut.shortcut.storage, IPropertyStorage, Stat,
                    {BRIVOK_SLOT(IPropertyStorage, WriteMultiple), BRIVOK_SLOT(IPropertyStorage, Commit)});
    if (!hooked) return 93;
    FaultInjector::StandIn("MessageBoxW", reinterpret_cast<void*>(&RecordBox));
    FaultInjector::StandIn("Sleep", reinterpret_cast<void*>(&NoPause));
    FaultInjector::StandIn("WaitForSingleObject", reinterpret_cast<void*>(&CappedWait));
    FaultInjector::StandIn("CoWaitForMultipleHandles", reinterpret_cast<void*>(&CappedCoWait));
    FaultInjector::StandIn("GetProcAddress", reinterpret_cast<void*>(&FindProcedure));
    FaultInjector::StandIn("SHChangeNotify", reinterpret_cast<void*>(&AnnounceReadingOrder));
    FaultInjector::StandIn("ExitProcess", reinterpret_cast<void*>(&ReportThenExit));
    FaultInjector::StandIn("TerminateProcess", reinterpret_cast<void*>(&ReportThenTerminate));
    FaultInjector::StandIn("LoadLibraryExW", reinterpret_cast<void*>(&AskedLoadLibraryExW));
    FaultInjector::StandIn("CreateFileW", reinterpret_cast<void*>(&AskedCreateFileW));
    FaultInjector::StandIn("MoveFileExW", reinterpret_cast<void*>(&AskedMoveFileExW));
    FaultInjector::StandIn("DeleteFileW", reinterpret_cast<void*>(&AskedDeleteFileW));
    FaultInjector::StandIn("SetFileAttributesW", reinterpret_cast<void*>(&AskedSetFileAttributesW));
    wchar_t system[MAX_PATH], temp[MAX_PATH], favorites[MAX_PATH];
    if (!GetSystemDirectoryW(system, MAX_PATH) || GetTempPathW(MAX_PATH, temp) < 2 ||
        FAILED(SHGetFolderPathW(nullptr, CSIDL_FAVORITES, nullptr, 0, favorites)))
        return 93;
    g_systemFolder = system;
    g_tempFolder.assign(temp, lstrlenW(temp) - 1);  // without its closing backslash
    g_favorites = favorites;
    for (int i = 2; i + 4 < argc; i += 5) {
        g_arms.push_back(argv[i + 1]);
        FaultInjector::Arm({Narrow(argv[i]), Narrow(argv[i + 1]), _wtoi(argv[i + 2]), _wtoi(argv[i + 3]),
                            argv[i + 4][0] == L'1'});
    }
    // The campaign starts again a child whose report was never begun: none of the product ran.
    FILE* entered = _wfopen(g_report.c_str(), L"wb");
    if (!entered || fputs("entered\n", entered) < 0 || fclose(entered) != 0) return 94;
    FaultEntry();
    return 95;  // the entry never returns
}
