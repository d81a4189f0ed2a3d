#include "tests/support/FaultInjector.h"

#include <oleauto.h>
#include <winerror.h>

#include "tests/support/PeImports.h"

namespace {

// Answers that do what the platform does besides returning a value.

// A move that may copy to another volume copies, and succeeds though its source could not be
// deleted (MoveFileEx: "the function succeeds leaving the source file intact"); without
// MOVEFILE_COPY_ALLOWED it fails with ERROR_NOT_SAME_DEVICE.
UINT_PTR CopyKeepingSource(void** args) {
    if (!(reinterpret_cast<UINT_PTR>(args[2]) & MOVEFILE_COPY_ALLOWED)) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    return CopyFileW(static_cast<LPCWSTR>(args[0]), static_cast<LPCWSTR>(args[1]),
                     !(reinterpret_cast<UINT_PTR>(args[2]) & MOVEFILE_REPLACE_EXISTING));
}

// A write that succeeds with fewer bytes than asked, as on a full disk or a pipe.
UINT_PTR WriteShort(void** args) {
    DWORD asked = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(args[2]));
    return WriteFile(args[0], args[1], asked ? asked - 1 : 0, static_cast<DWORD*>(args[3]),
                     static_cast<OVERLAPPED*>(args[4]));
}

// ERROR_MORE_DATA with the size the value has grown to since it was measured.
UINT_PTR MoreDataGrown(void** args) {
    if (args[5]) *static_cast<DWORD*>(args[5]) += 2 * sizeof(wchar_t);
    return ERROR_MORE_DATA;
}

UINT_PTR Hr(HRESULT hr) { return static_cast<UINT_PTR>(hr); }

}  // namespace

// The platform's documented failures, as each function reports them, and what each call
// hands out and takes back. Where a function has several documented causes the campaign
// cares about, each is a mode of its own. A server's failures (retry later, disconnected,
// access denied) come from CoCreateInstance and the window list, which go to a local server;
// a success that hands back no interface is not documented, and is given defensively.
const std::vector<FaultFunction>& FaultFunctions() {
    static const UINT_PTR kInvalid = reinterpret_cast<UINT_PTR>(INVALID_HANDLE_VALUE);
    static const std::vector<FaultMode> kServerFailures = {{"retry later", Hr(RPC_E_SERVERCALL_RETRYLATER), 0},
                                                           {"disconnected", Hr(RPC_E_DISCONNECTED), 0},
                                                           {"access denied", Hr(E_ACCESSDENIED), 0}};
    auto with = [](std::vector<FaultMode> modes, const std::vector<FaultMode>& more) {
        modes.insert(modes.end(), more.begin(), more.end());
        return modes;
    };
    static const std::vector<FaultFunction> functions = {
        // advapi32: the status is the result; the last error is not set.
        {"RegCloseKey", {{"invalid handle", ERROR_INVALID_HANDLE, 0}}, -1, true, "registry key", kNone, 0},
        {"RegFlushKey", {{"access denied", ERROR_ACCESS_DENIED, 0}}},
        {"RegOpenKeyExW", {{"access denied", ERROR_ACCESS_DENIED, 0}, {"not found", ERROR_FILE_NOT_FOUND, 0}},
         -1, false, "registry key", 4, kNone, Success::StatusZero},
        {"RegQueryValueExW", {{"more data", ERROR_MORE_DATA, 0},
                              {"more data, grown", 0, 0, -1, &MoreDataGrown},
                              {"not found", ERROR_FILE_NOT_FOUND, 0}}},
        {"RegSetValueExW", {{"access denied", ERROR_ACCESS_DENIED, 0}}},
        // kernel32
        {"CloseHandle", {{"network error", FALSE, ERROR_NETNAME_DELETED}}, -1, true, "handle", kNone, 0},
        {"CreateEventW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}, -1, false, "handle", kResult},
        {"CreateFileW", {{"access denied", kInvalid, ERROR_ACCESS_DENIED},
                         {"sharing violation", kInvalid, ERROR_SHARING_VIOLATION, -1, nullptr, true},
                         {"lock violation", kInvalid, ERROR_LOCK_VIOLATION, -1, nullptr, true},
                         {"disk full", kInvalid, ERROR_DISK_FULL}}, -1, false, "handle", kResult},
        {"CreateThread", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}, -1, false, "handle", kResult},
        {"DeleteFileW", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"ExitProcess", {}},
        {"FindResourceW", {{"not found", 0, ERROR_RESOURCE_TYPE_NOT_FOUND}}},
        {"FlushFileBuffers", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"FormatMessageW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}, -1, false, "local memory", 4},
        {"GetCommandLineW", {}},
        {"GetCurrentProcess", {}},
        {"GetFileInformationByHandle", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"GetLastError", {}},
        {"GetModuleHandleW", {{"not found", 0, ERROR_MOD_NOT_FOUND}}},
        {"GetProcAddress", {{"not found", 0, ERROR_PROC_NOT_FOUND}}},
        {"GetShortPathNameW", {{"not found", 0, ERROR_FILE_NOT_FOUND}, {"buffer too small", 1, 0, 2}}},
        {"GetStartupInfoW", {}},
        {"GetSystemDirectoryW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}, {"buffer too small", 1, 0, 1}}},
        {"GetSystemTime", {}},
        {"GetTempFileNameW", {{"access denied", 0, ERROR_ACCESS_DENIED}}},
        {"GetTempPathW", {{"access denied", 0, ERROR_ACCESS_DENIED}, {"buffer too small", 1, 0, 0}}},
        {"GetTickCount", {}, -1, false, nullptr, kNone, kNone, Success::NonZero, false, true},
        {"GetVersion", {}},
        // Without HEAP_GENERATE_EXCEPTIONS it sets no error.
        {"HeapAlloc", {{"no memory", 0, 0}}, -1, false, "heap block", kResult},
        {"HeapFree", {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}, -1, true, "heap block", kNone, 2},
        {"LoadLibraryExW", {{"not found", 0, ERROR_MOD_NOT_FOUND}}},
        {"LoadResource", {{"not found", 0, ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {"LocalFree", {{"invalid handle", 0, ERROR_INVALID_HANDLE, 0}}, -1, true, "local memory", kNone, 0,
         Success::NonZero, true},
        {"LockResource", {{"nothing", 0, 0}}},
        {"MoveFileExW", {{"access denied", FALSE, ERROR_ACCESS_DENIED},
                         {"sharing violation", FALSE, ERROR_SHARING_VIOLATION, -1, nullptr, true},
                         {"another volume", FALSE, ERROR_NOT_SAME_DEVICE},
                         {"disk full", FALSE, ERROR_DISK_FULL},
                         {"copies, keeps its source", 0, 0, -1, &CopyKeepingSource}}},
        {"MultiByteToWideChar", {{"buffer too small", 0, ERROR_INSUFFICIENT_BUFFER}}},
        {"SetErrorMode", {}},
        {"SetEvent", {{"invalid handle", FALSE, ERROR_INVALID_HANDLE}}},
        {"SetFileAttributesW", {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {"SetLastError", {}},
        {"SizeofResource", {{"not found", 0, ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {"Sleep", {}},
        {"SystemTimeToFileTime", {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}},
        {"TerminateProcess", {}},
        {"WaitForSingleObject", {{"failed", WAIT_FAILED, ERROR_INVALID_HANDLE}}, -1, false, nullptr, kNone, kNone,
         Success::NonZero, false, true},
        {"WriteFile", {{"disk full", FALSE, ERROR_DISK_FULL}, {"short", 0, 0, -1, &WriteShort}}},
        // Looked up by name: the restricted search, the current folder's and the common controls.
        {"SetDefaultDllDirectories", {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}},
        {"SetDllDirectoryW", {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}},
        {"InitCommonControlsEx", {{"failed", FALSE, 0}}},
        // ole32 and oleaut32: the status is the result.
        {"CoCreateInstance", with({{"class not registered", Hr(REGDB_E_CLASSNOTREG), 0},
                                   {"no memory", Hr(E_OUTOFMEMORY), 0},
                                   {"server failed", Hr(CO_E_SERVER_EXEC_FAILURE), 0},
                                   {"success, nothing", S_OK, 0}}, kServerFailures), 4},
        {"CoInitialize", {{"no memory", Hr(E_OUTOFMEMORY), 0}, {"changed mode", Hr(RPC_E_CHANGED_MODE), 0}}, -1,
         false, "apartment", kThread, kNone, Success::HresultOk},
        {"CoInitializeEx", {{"no memory", Hr(E_OUTOFMEMORY), 0}, {"changed mode", Hr(RPC_E_CHANGED_MODE), 0}}, -1,
         false, "apartment", kThread, kNone, Success::HresultOk},
        {"CoTaskMemFree", {}, -1, false, "task memory", kNone, 0, Success::NonZero, true},
        {"CoUninitialize", {}, -1, false, "apartment", kNone, kThread},
        {"CoWaitForMultipleHandles", {{"timed out", Hr(RPC_S_CALLPENDING), 0}, {"invalid argument", Hr(E_INVALIDARG), 0}},
         -1, false, nullptr, kNone, kNone, Success::NonZero, false, true},
        {"SysAllocString", {{"no memory", 0, 0}}, -1, false, "BSTR", kResult},
        {"SysAllocStringLen", {{"no memory", 0, 0}}, -1, false, "BSTR", kResult},
        {"SysFreeString", {}, -1, false, "BSTR", kNone, 0, Success::NonZero, true},
        {"SysStringLen", {}},
        {"VariantClear", {{"bad type", Hr(DISP_E_BADVARTYPE), 0}}},
        {"VariantInit", {}},
        // The spies' allocators, whose results the product takes back.
        {"CoTaskMemAlloc", {}, -1, false, "task memory", kResult},
        // shell32; shlwapi, reached through GetProcAddress
        {"ILCreateFromPathW", {{"nothing", 0, 0}}, -1, false, "item identifier list", kResult},
        {"ILFree", {}, -1, false, "item identifier list", kNone, 0, Success::NonZero, true},
        {"PathGetShortPath", {}},
        {"SHChangeNotify", {}},
        {"SHGetFolderPathAndSubDirW", {{"access denied", Hr(E_ACCESSDENIED), 0},
                                       {"path not found", Hr(0x80070003), 0}}},
        {"PathAddExtensionW", {{"refused", FALSE, 0}}},
        {"PathAppendW", {{"refused", FALSE, 0}}},
        {"PathMatchSpecW", {{"no match", FALSE, 0}}},
        {"PathStripPathW", {}},
        // user32
        {"MessageBoxW", {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}},
        {"SendMessageTimeoutW", {{"timed out", 0, ERROR_TIMEOUT}}},
        // Reached through GetProcAddress, not imported, but failed the same way.
        {"URLDownloadToCacheFileW", {{"download failed", Hr(INET_E_DOWNLOAD_FAILURE), 0}}},
        // The spies' methods that the product calls.
        {"IUnknown::AddRef", {}},
        {"IUnknown::Release", {}},
        {"IUniformResourceLocatorW::SetURL", {{"failed", Hr(E_FAIL), 0}}},
        {"IUniformResourceLocatorW::GetURL", {{"failed", Hr(E_FAIL), 0}}, 1},
        {"IUnknown::QueryInterface", {{"no interface", Hr(E_NOINTERFACE), 0}, {"success, nothing", S_OK, 0}}, 2},
        {"IShellWindows::get_Count", with({{"failed", Hr(E_FAIL), 0}}, kServerFailures)},
        {"IShellWindows::Item", with({{"failed", Hr(E_FAIL), 0}, {"success, nothing", S_OK, 0}}, kServerFailures), 2},
        {"IWebBrowser2::get_FullName", {{"disconnected", Hr(RPC_E_DISCONNECTED), 0}}},
        {"IWebBrowser2::ShowBrowserBar", {{"disconnected", Hr(RPC_E_DISCONNECTED), 0}}},
        {"IWebBrowser2::get_HWND", {{"disconnected", Hr(RPC_E_DISCONNECTED), 0}}},
        {"IPersistFile::Load", {{"access denied", Hr(STG_E_ACCESSDENIED), 0},
                                {"sharing violation", Hr(STG_E_SHAREVIOLATION), 0, -1, nullptr, true},
                                {"lock violation", Hr(STG_E_LOCKVIOLATION), 0, -1, nullptr, true}}},
        {"IPersistFile::Save", {{"disk full", Hr(STG_E_MEDIUMFULL), 0}}},
        {"IPropertySetStorage::Open", {{"not found", Hr(STG_E_FILENOTFOUND), 0}, {"success, nothing", S_OK, 0}}, 3},
        {"IPropertyStorage::WriteMultiple", {{"access denied", Hr(STG_E_ACCESSDENIED), 0}}},
        {"IPropertyStorage::Commit", {{"disk full", Hr(STG_E_MEDIUMFULL), 0}}},
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
        {"GetProcessHeap", "the process heap exists before any of the program runs"},
        {"RaiseException", "raised only for the message text's fatal faults, and never returns"},
        {"lstrcmpiW", "fails only on pointers that are not valid, which the product never passes"},
        {"lstrcpynW", "fails only on pointers that are not valid, which the product never passes"},
        {"lstrlenW", "fails only on pointers that are not valid, which the product never passes"},
    };
    return leftOut;
}

namespace {

// Calls back for every import of a mapped image: (function name, its slot).
template <typename Visit>
void ForEachImport(HMODULE module, Visit visit) {
    static const std::map<WORD, std::string> ordinalNames = ShellOrdinalImports();
    for (const PeImportedDll& dll : MappedImports(module))
        for (const PeImport& import : dll.functions) {
            auto known = ordinalNames.find(import.ordinal);
            std::string name = !import.name.empty()            ? import.name
                               : known != ordinalNames.end() ? known->second
                                                             : "#" + std::to_string(import.ordinal);
            visit(name, reinterpret_cast<void**>(reinterpret_cast<BYTE*>(module) + import.slot));
        }
}

}  // namespace

std::vector<std::string> ImageImports(const std::wstring& path) {
    std::vector<std::string> names;
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!image) return names;
    ForEachImport(image, [&](const std::string& name, void**) { names.push_back(name); });
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

struct Hook {
    std::string name;
    const FaultFunction* function;  // null: counted only
};

struct State {
    CRITICAL_SECTION lock;
    Hook hooks[kMaxHooks];
    int hookCount = 0;
    BYTE* stubs = nullptr;
    BYTE* product = nullptr;
    DWORD productSize = 0;
    const RUNTIME_FUNCTION* functions = nullptr;  // the product's, sorted by start
    size_t functionCount = 0;
    std::map<std::pair<std::string, std::string>, LONG> calls;
    std::vector<FaultArm> armed;
    std::vector<LONG> fired;
    std::vector<std::vector<DWORD>> failureFunctions;  // per armed failure, at its first
    std::vector<std::wstring> refusedDeletes;
    std::map<std::pair<std::string, UINT_PTR>, LONG> live;  // (kind, value) -> count
    std::map<std::string, LONG> unowned;
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
    if (s.stubs && s.hookCount < kMaxHooks) {
        int index = s.hookCount++;
        s.hooks[index] = {name, FindFaultFunction(name)};
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

// Points the slot of every import of module that wanted(name) picks at its hook; false when
// a slot could not be written.
template <typename Wanted>
bool HookImportsWhere(HMODULE module, Wanted wanted) {
    bool ok = true;
    ForEachImport(module, [&](const std::string& name, void** slot) {
        if (!wanted(name)) return;
        void* stub = MakeStub(name, *slot);
        ok = ok && stub && WritePointer(slot, stub);
    });
    return ok;
}

// The product's function holding code at offset, from its own unwind data (not the loader's
// lists, whose lock a thread of the product may hold).
const RUNTIME_FUNCTION* ProductFunction(DWORD offset) {
    State& s = Injector();
    size_t low = 0, high = s.functionCount;
    while (low < high) {
        size_t middle = (low + high) / 2;
        if (offset < s.functions[middle].BeginAddress)
            high = middle;
        else if (offset >= s.functions[middle].EndAddress)
            low = middle + 1;
        else
            return &s.functions[middle];
    }
    return nullptr;
}

struct Frame {
    DWORD returnTo;  // offsets in the product's image
    DWORD function;
};

// The product's frames above a hooked call, innermost first. frame is the thunk's: [0] the
// caller's rbp, [1] its return address, its stack pointer just above.
std::vector<Frame> ProductFrames(void** frame) {
    State& s = Injector();
    std::vector<Frame> frames;
    CONTEXT context = {};
    context.Rip = reinterpret_cast<DWORD64>(frame[1]);
    context.Rsp = reinterpret_cast<DWORD64>(frame + 2);
    context.Rbp = reinterpret_cast<DWORD64>(frame[0]);
    const auto base = reinterpret_cast<DWORD64>(s.product);
    while (frames.size() < 32 && context.Rip > base && context.Rip < base + s.productSize) {
        const RUNTIME_FUNCTION* function = ProductFunction(static_cast<DWORD>(context.Rip - base));
        if (!function) break;  // outside the product's code
        frames.push_back({static_cast<DWORD>(context.Rip - base), function->BeginAddress});
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip,
                         const_cast<RUNTIME_FUNCTION*>(function), &context, &handlerData, &establisher, nullptr);
    }
    return frames;
}

std::string PlaceOf(const std::vector<Frame>& frames) {
    if (frames.empty()) return kOutside;
    std::string place;
    char text[16];
    for (const Frame& frame : frames) {
        snprintf(text, sizeof(text), "%s%lx", place.empty() ? "" : ":", frame.returnTo);
        place += text;
    }
    return place;
}

bool Succeeded(const FaultFunction& function, void** args, UINT_PTR result) {
    switch (function.success) {
    case Success::StatusZero: return result == ERROR_SUCCESS;
    case Success::HresultOk: return SUCCEEDED(static_cast<HRESULT>(result));
    default: break;
    }
    // FormatMessageW hands out memory only when asked to allocate it.
    if (function.handsOut >= 0 && function.name == std::string("FormatMessageW") &&
        !(reinterpret_cast<UINT_PTR>(args[0]) & FORMAT_MESSAGE_ALLOCATE_BUFFER))
        return false;
    return result != 0 && result != reinterpret_cast<UINT_PTR>(INVALID_HANDLE_VALUE);
}

// called: the original ran and returned result; otherwise the call was failed here.
void Account(const FaultFunction* function, void** args, UINT_PTR result, bool called) {
    if (!function || !function->kind) return;
    State& s = Injector();
    bool acquires = function->handsOut != kNone;
    int where = acquires ? function->handsOut : function->takesBack;
    // A failed acquisition hands out nothing; a refused release was still attempted, and
    // there is nothing more the product could do.
    if (acquires && (!called || !Succeeded(*function, args, result))) return;
    UINT_PTR value = where == kThread    ? GetCurrentThreadId()
                     : where == kResult ? result
                     : acquires         ? *static_cast<UINT_PTR*>(args[where])
                                        : reinterpret_cast<UINT_PTR>(args[where]);
    auto key = std::make_pair(std::string(function->kind), value);
    EnterCriticalSection(&s.lock);
    if (acquires) {
        ++s.live[key];
        HANDLE copy = nullptr;
        if (function->name == std::string("CreateThread") &&
            DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(result), GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS))
            s.threads.push_back(copy);
    } else {
        auto found = s.live.find(key);
        if (found != s.live.end()) {
            if (--found->second == 0) s.live.erase(found);
        } else if (value || !function->nullDoesNothing) {
            ++s.unowned[function->kind];
        }
    }
    LeaveCriticalSection(&s.lock);
}

}  // namespace

extern "C" int FaultBefore(int index, void** args, void** frame, UINT_PTR* failValue) {
    DWORD error = GetLastError();
    State& s = Injector();
    const Hook& hook = s.hooks[index];
    std::vector<Frame> frames = hook.function ? ProductFrames(frame) : std::vector<Frame>();
    EnterCriticalSection(&s.lock);
    auto key = std::make_pair(hook.name, PlaceOf(frames));
    LONG call = ++s.calls[key];
    const FaultMode* mode = nullptr;
    for (size_t i = 0; i < s.armed.size(); ++i) {
        const FaultArm& armed = s.armed[i];
        if (!hook.function || armed.function != key.first || armed.place != key.second ||
            (call != armed.nth && !(armed.lasting && call > armed.nth)) ||
            armed.mode >= static_cast<int>(hook.function->modes.size()))
            continue;
        mode = &hook.function->modes[armed.mode];
        if (!s.fired[i])
            for (const Frame& f : frames) s.failureFunctions[i].push_back(f.function);
        if (hook.name == "DeleteFileW") s.refusedDeletes.push_back(static_cast<const wchar_t*>(args[0]));
        ++s.fired[i];
    }
    LeaveCriticalSection(&s.lock);
    if (!mode) {
        SetLastError(error);
        return 0;
    }
    SetLastError(mode->lastError ? mode->lastError : error);
    if (mode->answer)
        *failValue = mode->answer(args);
    else
        *failValue = (mode->argument >= 0 ? reinterpret_cast<UINT_PTR>(args[mode->argument]) : 0) + mode->value;
    int cleared = hook.function->clearedOnFailure;
    if (cleared >= 0 && args[cleared]) *static_cast<void**>(args[cleared]) = nullptr;
    DWORD left = GetLastError();
    if (hook.function->releasesAnyway) {
        using Release = UINT_PTR(WINAPI*)(void*, void*, void*, void*);
        reinterpret_cast<Release>(g_faultOriginals[index])(args[0], args[1], args[2], args[3]);
    }
    Account(hook.function, args, *failValue, mode->answer != nullptr);
    SetLastError(left);
    return 1;
}

extern "C" UINT_PTR FaultAfter(int index, void** args, UINT_PTR result) {
    DWORD error = GetLastError();
    Account(Injector().hooks[index].function, args, result, true);
    SetLastError(error);
    return result;
}

namespace FaultInjector {

void SetProduct(HMODULE product) {
    State& s = Injector();
    s.product = reinterpret_cast<BYTE*>(product);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(s.product + reinterpret_cast<IMAGE_DOS_HEADER*>(product)->e_lfanew);
    IMAGE_DATA_DIRECTORY table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    s.functions = reinterpret_cast<const RUNTIME_FUNCTION*>(s.product + table.VirtualAddress);
    s.functionCount = table.Size / sizeof(RUNTIME_FUNCTION);
    s.productSize = nt->OptionalHeader.SizeOfImage;
}

bool HookImports(HMODULE module) { return HookImportsWhere(module, FindFaultFunction); }

void* HookFunction(const std::string& name, void* original) { return MakeStub(name, original); }

bool HookSpyImports(HMODULE module) {
    return HookImportsWhere(module,
                            [](const std::string& n) { return n == "SysAllocString" || n == "CoTaskMemAlloc"; });
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

void Arm(const FaultArm& arm) {
    Injector().armed.push_back(arm);
    Injector().fired.push_back(0);
    Injector().failureFunctions.emplace_back();
}

void StandIn(const std::string& name, void* standIn) {
    State& s = Injector();
    for (int i = 0; i < s.hookCount; ++i)
        if (s.hooks[i].name == name) g_faultOriginals[i] = standIn;
}

template <typename T>
T Locked(const T& value) {
    State& s = Injector();
    EnterCriticalSection(&s.lock);
    T copy = value;
    LeaveCriticalSection(&s.lock);
    return copy;
}

std::map<std::pair<std::string, std::string>, LONG> Calls() { return Locked(Injector().calls); }
std::vector<LONG> Fired() { return Locked(Injector().fired); }
std::vector<std::vector<DWORD>> FailureFunctions() { return Locked(Injector().failureFunctions); }
std::vector<std::wstring> RefusedDeletes() { return Locked(Injector().refusedDeletes); }
std::map<std::string, LONG> Unowned() { return Locked(Injector().unowned); }
std::vector<HANDLE> StartedThreads() { return Locked(Injector().threads); }

std::map<std::string, LONG> Outstanding() {
    std::map<std::string, LONG> outstanding;
    for (const auto& entry : Locked(Injector().live)) outstanding[entry.first.first] += entry.second;
    return outstanding;
}

}  // namespace FaultInjector
