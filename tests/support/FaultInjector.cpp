#include "tests/support/FaultInjector.h"

#include <oleauto.h>
#include <winerror.h>


// The platform's documented failures, as each function reports them. Where a function has
// several documented causes the campaign cares about, each is a mode of its own.
const std::vector<FaultFunction>& FaultFunctions() {
    static const UINT_PTR kInvalid = reinterpret_cast<UINT_PTR>(INVALID_HANDLE_VALUE);
    static const std::vector<FaultFunction> functions = {
        // advapi32: the status is the result; the last error is not set.
        {"RegCloseKey", {{"invalid handle", ERROR_INVALID_HANDLE, 0}}, -1, true},
        {"RegFlushKey", {{"access denied", ERROR_ACCESS_DENIED, 0}}},
        {"RegOpenKeyExW", {{"access denied", ERROR_ACCESS_DENIED, 0}, {"not found", ERROR_FILE_NOT_FOUND, 0}}},
        {"RegQueryValueExW", {{"more data", ERROR_MORE_DATA, 0}, {"not found", ERROR_FILE_NOT_FOUND, 0}}},
        {"RegSetValueExW", {{"access denied", ERROR_ACCESS_DENIED, 0}}},
        // kernel32
        {"CloseHandle", {{"network error", FALSE, ERROR_NETNAME_DELETED}}, -1, true},
        {"CreateEventW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}},
        {"CreateFileW", {{"access denied", kInvalid, ERROR_ACCESS_DENIED},
                         {"sharing violation", kInvalid, ERROR_SHARING_VIOLATION},
                         {"disk full", kInvalid, ERROR_DISK_FULL}}},
        {"CreateThread", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}},
        {"DeleteFileW", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"FindResourceW", {{"not found", 0, ERROR_RESOURCE_TYPE_NOT_FOUND}}},
        {"FlushFileBuffers", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"FormatMessageW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}},
        {"GetFileInformationByHandle", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"GetLastError", {}},
        {"GetModuleHandleW", {{"not found", 0, ERROR_MOD_NOT_FOUND}}},
        {"GetProcAddress", {{"not found", 0, ERROR_PROC_NOT_FOUND}}},
        {"GetShortPathNameW", {{"not found", 0, ERROR_FILE_NOT_FOUND}}},
        {"GetSystemDirectoryW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}},
        {"GetSystemTime", {}},
        {"GetTempFileNameW", {{"access denied", 0, ERROR_ACCESS_DENIED}}},
        {"GetTempPathW", {{"access denied", 0, ERROR_ACCESS_DENIED}}},
        {"GetTickCount", {}},
        {"HeapAlloc", {{"no memory", 0, 0}}},  // without HEAP_GENERATE_EXCEPTIONS it sets no error
        {"HeapFree", {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}, -1, true},
        {"LoadLibraryExW", {{"not found", 0, ERROR_MOD_NOT_FOUND}}},
        {"LoadResource", {{"not found", 0, ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {"LocalFree", {{"invalid handle", kReturnsFirstArgument, ERROR_INVALID_HANDLE}}, -1, true},
        {"LockResource", {{"nothing", 0, 0}}},
        {"MoveFileExW", {{"access denied", FALSE, ERROR_ACCESS_DENIED},
                         {"sharing violation", FALSE, ERROR_SHARING_VIOLATION},
                         {"another volume", FALSE, ERROR_NOT_SAME_DEVICE},
                         {"disk full", FALSE, ERROR_DISK_FULL}}},
        {"MultiByteToWideChar", {{"buffer too small", 0, ERROR_INSUFFICIENT_BUFFER}}},
        {"SetEvent", {{"invalid handle", FALSE, ERROR_INVALID_HANDLE}}},
        {"SetFileAttributesW", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"SizeofResource", {{"not found", 0, ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {"Sleep", {}},
        {"SystemTimeToFileTime", {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}},
        {"WaitForSingleObject", {{"failed", WAIT_FAILED, ERROR_INVALID_HANDLE}}},
        {"WriteFile", {{"disk full", FALSE, ERROR_DISK_FULL}}},
        // ole32 and oleaut32: the status is the result.
        {"CoCreateInstance", {{"class not registered", static_cast<UINT_PTR>(REGDB_E_CLASSNOTREG), 0},
                              {"no memory", static_cast<UINT_PTR>(E_OUTOFMEMORY), 0},
                              {"server failed", static_cast<UINT_PTR>(CO_E_SERVER_EXEC_FAILURE), 0}},
         4},
        {"CoInitialize", {{"no memory", static_cast<UINT_PTR>(E_OUTOFMEMORY), 0}}},
        {"CoInitializeEx", {{"no memory", static_cast<UINT_PTR>(E_OUTOFMEMORY), 0}}},
        {"CoTaskMemFree", {}},
        {"CoUninitialize", {}},
        {"CoWaitForMultipleHandles", {{"timed out", static_cast<UINT_PTR>(RPC_S_CALLPENDING), 0},
                                      {"invalid argument", static_cast<UINT_PTR>(E_INVALIDARG), 0}}},
        {"SysAllocString", {{"no memory", 0, 0}}},
        {"SysAllocStringLen", {{"no memory", 0, 0}}},
        {"SysFreeString", {}},
        {"SysStringLen", {}},
        {"VariantClear", {{"bad type", static_cast<UINT_PTR>(DISP_E_BADVARTYPE), 0}}},
        {"VariantInit", {}},
        // shell32; shlwapi, reached through GetProcAddress
        {"ILCreateFromPathW", {{"nothing", 0, 0}}},
        {"ILFree", {}},
        {"PathGetShortPath", {}},
        {"SHChangeNotify", {}},
        {"SHGetFolderPathAndSubDirW", {{"access denied", static_cast<UINT_PTR>(E_ACCESSDENIED), 0},
                                       {"path not found", static_cast<UINT_PTR>(0x80070003), 0}}},
        {"PathAddExtensionW", {{"refused", FALSE, 0}}},
        {"PathAppendW", {{"refused", FALSE, 0}}},
        {"PathMatchSpecW", {{"no match", FALSE, 0}}},
        {"PathStripPathW", {}},
        // user32
        {"MessageBoxW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}},
        {"SendMessageTimeoutW", {{"timed out", 0, ERROR_TIMEOUT}}},
        // Reached through GetProcAddress, not imported, but failed the same way.
        {"URLDownloadToCacheFileW", {{"download failed", static_cast<UINT_PTR>(INET_E_DOWNLOAD_FAILURE), 0}}},
        // The spies' methods that the product calls.
        {"IUnknown::AddRef", {}},
        {"IUnknown::Release", {}},
        {"IUniformResourceLocatorW::SetURL", {{"failed", static_cast<UINT_PTR>(E_FAIL), 0}}},
        {"IUniformResourceLocatorW::GetURL", {{"failed", static_cast<UINT_PTR>(E_FAIL), 0}}, 1},
        {"IUnknown::QueryInterface", {{"no interface", static_cast<UINT_PTR>(E_NOINTERFACE), 0}}, 2},
        {"IShellWindows::get_Count", {{"failed", static_cast<UINT_PTR>(E_FAIL), 0}}},
        {"IShellWindows::Item", {{"failed", static_cast<UINT_PTR>(E_FAIL), 0}}, 2},
        {"IWebBrowser2::get_FullName", {{"disconnected", static_cast<UINT_PTR>(RPC_E_DISCONNECTED), 0}}},
        {"IWebBrowser2::ShowBrowserBar", {{"disconnected", static_cast<UINT_PTR>(RPC_E_DISCONNECTED), 0}}},
        {"IWebBrowser2::get_HWND", {{"disconnected", static_cast<UINT_PTR>(RPC_E_DISCONNECTED), 0}}},
        {"IPersistFile::Load", {{"access denied", static_cast<UINT_PTR>(STG_E_ACCESSDENIED), 0}}},
        {"IPersistFile::Save", {{"disk full", static_cast<UINT_PTR>(STG_E_MEDIUMFULL), 0}}},
        {"IPropertySetStorage::Open", {{"not found", static_cast<UINT_PTR>(STG_E_FILENOTFOUND), 0}}, 3},
        {"IPropertyStorage::WriteMultiple", {{"access denied", static_cast<UINT_PTR>(STG_E_ACCESSDENIED), 0}}},
        {"IPropertyStorage::Commit", {{"disk full", static_cast<UINT_PTR>(STG_E_MEDIUMFULL), 0}}},
    };
    return functions;
}

const FaultFunction* FindFaultFunction(const std::string& name) {
    for (const FaultFunction& function : FaultFunctions())
        if (name == function.name) return &function;
    return nullptr;
}

const std::map<std::string, std::string>& FaultFunctionsLeftOut() {
    static const std::map<std::string, std::string> leftOut = {
        {"ExitProcess", "called by the process entry only, after RunInstaller"},
        {"TerminateProcess", "called by the process entry only, after RunInstaller"},
        {"GetCurrentProcess", "called by the process entry only, after RunInstaller; cannot fail"},
        {"GetCommandLineW", "called by the process entry only, before RunInstaller; cannot fail"},
        {"GetStartupInfoW", "called by the process entry only, before RunInstaller; cannot fail"},
        {"GetProcessHeap", "the process heap exists before any of the program runs"},
        {"RaiseException", "raised only for the message text's fatal faults, and never returns"},
        {"lstrcmpiW", "fails only on pointers that are not valid, which the product never passes"},
        {"lstrcpyW", "fails only on pointers that are not valid, which the product never passes"},
        {"lstrcpynW", "fails only on pointers that are not valid, which the product never passes"},
        {"lstrlenW", "fails only on pointers that are not valid, which the product never passes"},
    };
    return leftOut;
}

namespace {

// The three SHELL32 functions the product imports by ordinal.
const char* OrdinalName(WORD ordinal) {
    switch (ordinal) {
    case 92: return "PathGetShortPath";
    case 155: return "ILFree";
    case 190: return "ILCreateFromPathW";
    default: return nullptr;
    }
}

// Calls back for every import of a mapped image: (function name, its slot).
template <typename Visit>
void ForEachImport(BYTE* base, Visit visit) {
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress) return;
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); module->Name;
         ++module) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (module->OriginalFirstThunk ? module->OriginalFirstThunk : module->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData; ++i) {
            const char* name = nullptr;
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal))
                name = OrdinalName(static_cast<WORD>(IMAGE_ORDINAL(names[i].u1.Ordinal)));
            else
                name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData)->Name;
            visit(name ? std::string(name) : "#" + std::to_string(IMAGE_ORDINAL(names[i].u1.Ordinal)),
                  reinterpret_cast<void**>(&slots[i].u1.Function));
        }
    }
}

}  // namespace

std::vector<std::string> ImageImports(const std::wstring& path) {
    std::vector<std::string> names;
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!image) return names;
    ForEachImport(reinterpret_cast<BYTE*>(image), [&](const std::string& name, void**) { names.push_back(name); });
    FreeLibrary(image);
    return names;
}

// ---------------------------------------------------------------------------------------
// The hooks

constexpr int kMaxHooks = 1024;
extern "C" void* g_faultOriginals[kMaxHooks];
void* g_faultOriginals[kMaxHooks];
extern "C" void FaultThunkCommon();

namespace {

struct Named {
    const FaultFunction* function;  // null: counted only
    volatile LONG calls;
};

struct State {
    CRITICAL_SECTION lock;
    std::map<std::string, Named> names;
    const std::string* hookName[kMaxHooks];  // into names
    Named* hookNamed[kMaxHooks];
    int hooks = 0;
    BYTE* stubs = nullptr;
    struct Armed {
        std::string name;
        LONG nth;
        int mode;
    };
    std::vector<Armed> armed;
    volatile LONG fired = 0;
    std::map<std::pair<std::string, UINT_PTR>, LONG> live;  // (kind, value) -> count
    std::vector<HANDLE> threads;
    State() { InitializeCriticalSection(&lock); }
};

State& Injector() {
    static State* state = new State;  // never destroyed: product threads may outlive main
    return *state;
}

// A stub: mov r10d, index; mov r11, FaultThunkCommon; jmp r11.
void* MakeStub(const std::string& name, void* original) {
    State& s = Injector();
    EnterCriticalSection(&s.lock);
    if (!s.stubs)
        s.stubs = static_cast<BYTE*>(VirtualAlloc(nullptr, kMaxHooks * 32, MEM_COMMIT | MEM_RESERVE,
                                                  PAGE_EXECUTE_READWRITE));
    void* stub = nullptr;
    if (s.stubs && s.hooks < kMaxHooks) {
        int index = s.hooks++;
        auto found = s.names.find(name);
        if (found == s.names.end()) found = s.names.emplace(name, Named{FindFaultFunction(name), 0}).first;
        s.hookName[index] = &found->first;
        s.hookNamed[index] = &found->second;
        g_faultOriginals[index] = original;
        BYTE* code = s.stubs + index * 32;
        UINT64 target = reinterpret_cast<UINT64>(&FaultThunkCommon);
        BYTE bytes[19] = {0x41, 0xBA, 0, 0, 0, 0, 0x49, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0, 0x41, 0xFF, 0xE3};
        memcpy(bytes + 2, &index, 4);
        memcpy(bytes + 8, &target, 8);
        memcpy(code, bytes, sizeof(bytes));
        stub = code;
    }
    LeaveCriticalSection(&s.lock);
    return stub;
}

bool WritePointer(void** slot, void* value) {
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection)) return false;
    *slot = value;
    VirtualProtect(slot, sizeof(void*), protection, &protection);
    return true;
}

// What a call hands out or takes back, of which kind, and where the value is. An apartment
// is the calling thread's.
struct AccountRule {
    const char* name;
    const char* kind;
    bool acquires;
    int where;  // acquire: -1 result, k: *argument k; release: argument k
};
const AccountRule kRules[] = {
    {"HeapAlloc", "heap block", true, -1},
    {"HeapFree", "heap block", false, 2},
    {"CreateFileW", "handle", true, -1},
    {"CreateEventW", "handle", true, -1},
    {"CreateThread", "handle", true, -1},
    {"CloseHandle", "handle", false, 0},
    {"RegOpenKeyExW", "registry key", true, 4},
    {"RegCloseKey", "registry key", false, 0},
    {"ILCreateFromPathW", "item identifier list", true, -1},
    {"ILFree", "item identifier list", false, 0},
    {"SysAllocString", "BSTR", true, -1},
    {"SysAllocStringLen", "BSTR", true, -1},
    {"SysFreeString", "BSTR", false, 0},
    {"FormatMessageW", "local memory", true, 4},
    {"LocalFree", "local memory", false, 0},
    {"CoInitialize", "apartment", true, -1},
    {"CoInitializeEx", "apartment", true, -1},
    {"CoUninitialize", "apartment", false, -1},
    {"CoTaskMemAlloc", "task memory", true, -1},
    {"CoTaskMemFree", "task memory", false, 0},
};

bool Succeeded(const std::string& name, void** args, UINT_PTR result) {
    if (name == "RegOpenKeyExW") return result == ERROR_SUCCESS;
    if (name == "CoInitialize" || name == "CoInitializeEx") return SUCCEEDED(static_cast<HRESULT>(result));
    if (name == "FormatMessageW")
        return result != 0 && (reinterpret_cast<UINT_PTR>(args[0]) & FORMAT_MESSAGE_ALLOCATE_BUFFER);
    return result != 0 && result != reinterpret_cast<UINT_PTR>(INVALID_HANDLE_VALUE);
}

// called: the original ran and returned result; otherwise the call was failed here.
void Account(const std::string& hooked, void** args, UINT_PTR result, bool called) {
    State& s = Injector();
    // What the spies hand to the product is accounted like what the product takes itself.
    const std::string name = hooked.rfind(kSpyPrefix, 0) == 0 ? hooked.substr(sizeof(kSpyPrefix) - 1) : hooked;
    for (const AccountRule& rule : kRules) {
        if (name != rule.name) continue;
        // A failed acquisition hands out nothing; a refused release was still attempted, and
        // there is nothing more the product could do.
        if (rule.acquires && (!called || !Succeeded(name, args, result))) return;
        UINT_PTR value;
        if (std::string(rule.kind) == "apartment")
            value = GetCurrentThreadId();
        else if (!rule.acquires)
            value = reinterpret_cast<UINT_PTR>(args[rule.where]);
        else
            value = rule.where < 0 ? result : *static_cast<UINT_PTR*>(args[rule.where]);
        auto key = std::make_pair(std::string(rule.kind), value);
        EnterCriticalSection(&s.lock);
        if (rule.acquires) {
            ++s.live[key];
            HANDLE copy = nullptr;
            if (name == "CreateThread" &&
                DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(result), GetCurrentProcess(), &copy, 0,
                                FALSE, DUPLICATE_SAME_ACCESS))
                s.threads.push_back(copy);
        } else {
            // A value handed out elsewhere (a spy's BSTR) is not in the account.
            auto found = s.live.find(key);
            if (found != s.live.end() && --found->second == 0) s.live.erase(found);
        }
        LeaveCriticalSection(&s.lock);
        return;
    }
}

}  // namespace

extern "C" int FaultBefore(int index, void** args, void* /*caller*/, UINT_PTR* failValue) {
    DWORD error = GetLastError();
    State& s = Injector();
    const std::string& name = *s.hookName[index];
    Named& named = *s.hookNamed[index];
    LONG call = InterlockedIncrement(&named.calls);
    const State::Armed* armed = nullptr;
    for (const State::Armed& candidate : s.armed)
        if (candidate.nth == call && candidate.name == name) armed = &candidate;
    if (named.function && armed && armed->mode < static_cast<int>(named.function->modes.size())) {
        InterlockedExchange(&s.fired, 1);
        const FaultMode& mode = named.function->modes[armed->mode];
        *failValue = mode.value == kReturnsFirstArgument ? reinterpret_cast<UINT_PTR>(args[0]) : mode.value;
        int cleared = named.function->clearedOnFailure;
        if (cleared >= 0 && args[cleared]) *static_cast<void**>(args[cleared]) = nullptr;
        if (named.function->releasesAnyway) {
            using Release = UINT_PTR(WINAPI*)(void*, void*, void*, void*);
            reinterpret_cast<Release>(g_faultOriginals[index])(args[0], args[1], args[2], args[3]);
        }
        Account(name, args, 0, false);
        SetLastError(mode.lastError ? mode.lastError : error);
        return 1;
    }
    SetLastError(error);
    return 0;
}

extern "C" UINT_PTR FaultAfter(int index, void** args, UINT_PTR result) {
    DWORD error = GetLastError();
    Account(*Injector().hookName[index], args, result, true);
    SetLastError(error);
    return result;
}

namespace FaultInjector {

bool HookImports(HMODULE module) {
    bool ok = true;
    ForEachImport(reinterpret_cast<BYTE*>(module), [&](const std::string& name, void** slot) {
        if (!FindFaultFunction(name)) return;
        void* stub = MakeStub(name, *slot);
        ok = ok && stub && WritePointer(slot, stub);
    });
    return ok;
}

void* HookFunction(const std::string& name, void* original) { return MakeStub(name, original); }

bool HookSpyImports(HMODULE module) {
    bool ok = true;
    ForEachImport(reinterpret_cast<BYTE*>(module), [&](const std::string& name, void** slot) {
        if (name != "SysAllocString" && name != "CoTaskMemAlloc") return;
        void* stub = MakeStub(kSpyPrefix + name, *slot);
        ok = ok && stub && WritePointer(slot, stub);
    });
    return ok;
}

bool HookInterface(void* object, const char* interfaceName, int slots, const std::vector<Slot>& named) {
    void** table = *static_cast<void***>(object);
    auto** copy = new void*[slots];
    for (int i = 0; i < slots; ++i) {
        std::string name = std::string(interfaceName) + "#" + std::to_string(i);
        if (i == 0) name = "IUnknown::QueryInterface";
        if (i == 1) name = "IUnknown::AddRef";
        if (i == 2) name = "IUnknown::Release";
        for (const Slot& slot : named)
            if (slot.index == i) name = std::string(interfaceName) + "::" + slot.method;
        copy[i] = MakeStub(name, table[i]);
        if (!copy[i]) return false;
    }
    *static_cast<void***>(object) = copy;
    return true;
}

void Arm(const std::string& name, LONG nth, int mode) { Injector().armed.push_back({name, nth, mode}); }

void StandIn(const std::string& name, void* standIn) {
    State& s = Injector();
    for (int i = 0; i < s.hooks; ++i)
        if (*s.hookName[i] == name) g_faultOriginals[i] = standIn;
}

std::map<std::string, LONG> Calls() {
    std::map<std::string, LONG> calls;
    for (const auto& entry : Injector().names)
        if (entry.second.calls) calls[entry.first] = entry.second.calls;
    return calls;
}

bool Fired() { return Injector().fired != 0; }

std::map<std::string, LONG> Outstanding() {
    State& s = Injector();
    std::map<std::string, LONG> outstanding;
    EnterCriticalSection(&s.lock);
    for (const auto& entry : s.live) outstanding[entry.first.first] += entry.second;
    LeaveCriticalSection(&s.lock);
    return outstanding;
}

std::vector<HANDLE> StartedThreads() {
    State& s = Injector();
    EnterCriticalSection(&s.lock);
    std::vector<HANDLE> threads = s.threads;
    LeaveCriticalSection(&s.lock);
    return threads;
}

}  // namespace FaultInjector
