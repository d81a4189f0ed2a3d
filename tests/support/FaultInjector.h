#pragma once
// Fails the Nth call of one function or COM method at one place in the product the way the
// platform documents, counts every call by place, and keeps account of what the calls hand out and take back. One mechanism for
// all of them (tests/support/FaultThunk.S, x64 only): a hooked import slot or vtable entry
// points at a stub that goes through FaultBefore and FaultAfter. Only calls through the slots
// and entries hooked here are seen; the injector's own calls go through this program's own
// imports, of which only the spies' two allocators are hooked (HookSpyImports).
#include <windows.h>

#include <map>
#include <string>
#include <vector>

// One way a function fails: what it returns and the last error it leaves (0: untouched).
struct FaultMode {
    const char* what;
    UINT_PTR value = 0;
    DWORD lastError = 0;
    // Where set, the value is this argument plus value: LocalFree's failure hands back its
    // argument; a length past the buffer's is the answer of a buffer too small.
    int argument = -1;
    // Where set, does what the platform does for this answer and returns its value.
    UINT_PTR (*answer)(void** args) = nullptr;
    // A file another process holds for a moment (a scanner): once at a place, and alone, the
    // run must still succeed and stamp both shortcuts.
    bool held = false;
};

// The ledger's positions: kResult, the result; k >= 0, argument k (for what a call hands
// out, what argument k points at); kThread, the calling thread's apartment.
inline constexpr int kNone = -3, kResult = -1, kThread = -2;
enum class Success { NonZero, StatusZero, HresultOk };

// What the campaign knows of a function or method: where it comes from; its failures (none
// for one that cannot fail or returns nothing); which pointer argument is cleared when it
// fails (-1: none); and what it hands out and takes back, of which kind.
struct FaultFunction {
    const char* name;
    // The DLL that exports it (none: a spy's method), and whether Windows XP SP2 does by name;
    // or the ordinal alone by which XP as first released exports it, and an image imports it.
    const char* dll = nullptr;
    bool onXp = false;
    WORD ordinal = 0;
    std::vector<FaultMode> modes;
    int clearedOnFailure = -1;
    // A release that reports a failure after it released (CloseHandle on a network file
    // whose last write failed): the original runs, and the failure is returned.
    bool releasesAnyway = false;
    const char* kind = nullptr;
    int handsOut = kNone;
    int takesBack = kNone;
    Success success = Success::NonZero;
    bool nullDoesNothing = false;  // the platform documents a release of null as doing nothing
    // How often it is called at a place follows the other threads' timing (a wait): only
    // its first call there is failed alone; a lasting failure covers the rest.
    bool countFollowsTiming = false;
    DWORD handsOutOnlyWith = 0;  // argument 0's flags without which it hands out nothing
    bool startsThread = false;   // what it hands out is a thread, waited for (StartedThreads)
    bool keepsRefused = false;   // a delete: refused, argument 0's file stays (RefusedDeletes)
    bool spiesHandOut = false;   // the spies allocate with it too (HookSpyImports)
    bool fatalWhenFailed = false;  // failed, the message text raises a fatal fault
    bool unhides = false;  // failed, the shortcut renamed into place may stay hidden
};

// Every function the installer imports, by the name it has in an image's import table (the
// three shell32 ordinals by their names), every function it looks up by name (the download,
// shlwapi's path functions), and every spy method the product may call.
const std::vector<FaultFunction>& FaultFunctions();
// Functions the installer imports that the campaign leaves out, each with the reason.
const std::vector<FaultFunction>& FaultFunctionsLeftOut();
const FaultFunction* FindFaultFunction(const std::string& name,
                                       const std::vector<FaultFunction>& functions = FaultFunctions());

// The functions an image imports (those by ordinal by their names in the table), from its
// import table, mapped without running anything of it; empty when it cannot be read.
std::vector<std::string> ImageImports(const std::wstring& path);

// A call's place: the return addresses on its stack in the product, the call's own first,
// as offsets in the product's image ("1a2b:3c4d:38a0"); "outside" for calls from elsewhere.
// The whole chain, not the call and its caller only: a helper shared by several callers (the
// shell path functions' loader, a worker's release) is as many places as it has callers.
inline constexpr char kOutside[] = "outside";

// A failure to hand out: the nth call at a place, or (lasting) every call there from the nth.
struct FaultArm {
    std::string function, place;
    LONG nth;
    int mode;
    bool lasting;
};

namespace FaultInjector {

// The module whose calls are known by place; its unwind data finds each call's callers.
void SetProduct(HMODULE product);

// Points every import slot of module whose function is in FaultFunctions() at its hook.
// False when a slot could not be written.
bool HookImports(HMODULE module);

// A stub for a function reached without an import slot (through GetProcAddress): calls of
// it go through the hooks under name, on to original.
void* HookFunction(const std::string& name, void* original);

// Accounts the BSTRs and task memory that code of module (the spies) hands out: the product
// must give them back too. Such calls are counted as made from outside and never failed.
bool HookSpyImports(HMODULE module);

// Points the vtable of the interface at object (its first word) at a copy whose entries go
// through hooks, named "interface::method" for the slots listed and "interface#N" for the
// rest of its slots.
struct Slot {
    int index;
    const char* method;
};
bool HookInterface(void* object, const char* interfaceName, int slots, const std::vector<Slot>& named);

// From now on, the armed call fails in the given mode; every other call goes through, but
// for those armed as well. A function's stand-in (below) answers the rest.
void Arm(const FaultArm& arm);

// Replaces a function's original for the rest of the run: the stand-in receives the same
// arguments (MessageBoxW in a test process, Sleep to keep runs short).
void StandIn(const std::string& name, void* standIn);

// Calls counted so far per hooked name and place.
std::map<std::pair<std::string, std::string>, LONG> Calls();
// How often each armed failure was handed out, in the order armed.
std::vector<LONG> Fired();
// Per armed failure, the starts of the product's functions on its stack when first handed
// out, innermost first; and the paths of the deletes refused.
std::vector<std::vector<DWORD>> FailureFunctions();
std::vector<std::wstring> RefusedDeletes();

// What was handed out through the hooks and not yet given back, by kind ("heap block",
// "handle", "registry key", "item identifier list", "BSTR", "local memory", "apartment"),
// with a count each; empty when everything came back. Unowned: what was taken back that
// was never handed out, by kind.
std::map<std::string, LONG> Outstanding();
std::map<std::string, LONG> Unowned();

// Threads the hooked CreateThread started; the caller may wait for them.
std::vector<HANDLE> StartedThreads();

}  // namespace FaultInjector
