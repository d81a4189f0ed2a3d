#include "tests/support/FaultInjector.h"

#include "tests/support/PeImports.h"

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

// Calls back for every import of a mapped image: (function name, its slot).
template <typename Visit>
void ForEachImport(HMODULE module, Visit visit) {
    for (const PeImportedDll& dll : MappedImports(module))
        for (const PeImport& import : dll.functions) {
            std::string name = import.name.empty() ? "#" + std::to_string(import.ordinal) : import.name;
            for (const FaultFunction& function : FaultFunctions())
                if (import.name.empty() && function.ordinal == import.ordinal && dll.name == function.dll)
                    name = function.name;
            visit(name, reinterpret_cast<void**>(reinterpret_cast<BYTE*>(module) + import.slot));
        }
}

// Points the slot of every import of module whose entry in the table (null: none) wanted
// picks at its hook; false when a slot could not be written.
template <typename Wanted>
bool HookImportsWhere(HMODULE module, Wanted wanted) {
    bool ok = true;
    ForEachImport(module, [&](const std::string& name, void** slot) {
        if (!wanted(FindFaultFunction(name))) return;
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
    if (function.handsOutOnlyWith && !(reinterpret_cast<UINT_PTR>(args[0]) & function.handsOutOnlyWith)) return false;
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
        if (function->startsThread &&
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

std::vector<std::string> ImageImports(const std::wstring& path) {
    std::vector<std::string> names;
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!image) return names;
    ForEachImport(image, [&](const std::string& name, void**) { names.push_back(name); });
    FreeLibrary(image);
    return names;
}

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
        if (hook.function->keepsRefused) s.refusedDeletes.push_back(static_cast<const wchar_t*>(args[0]));
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

bool HookImports(HMODULE module) { return HookImportsWhere(module, [](const FaultFunction* f) { return f != nullptr; }); }

void* HookFunction(const std::string& name, void* original) { return MakeStub(name, original); }

bool HookSpyImports(HMODULE module) {
    return HookImportsWhere(module, [](const FaultFunction* f) { return f && f->spiesHandOut; });
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
