#pragma once
// Fails the Nth call of one function or COM method the way the platform documents, counts
// every call, and keeps account of what the calls hand out and take back. One mechanism for
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
    UINT_PTR value;
    DWORD lastError;
};

// What the campaign knows of a function or method: its failures (none for one that cannot
// fail or returns nothing), and, for one that writes a pointer out, which argument to clear
// when it fails (-1: none). kReturnsFirstArgument as a value: it fails by returning its first
// argument (LocalFree).
struct FaultFunction {
    const char* name;
    std::vector<FaultMode> modes;
    int clearedOnFailure = -1;
    // A release that reports a failure after it released (CloseHandle on a network file
    // whose last write failed): the original runs, and the failure is returned.
    bool releasesAnyway = false;
};
inline constexpr UINT_PTR kReturnsFirstArgument = static_cast<UINT_PTR>(-2);

// Every function the installer imports, by the name it has in an image's import table (the
// three shell32 ordinals by their names), every function it looks up by name (the download,
// shlwapi's path functions), and every spy method the product may call.
const std::vector<FaultFunction>& FaultFunctions();
const FaultFunction* FindFaultFunction(const std::string& name);

// Functions the installer imports that the campaign leaves out, each with the reason.
const std::map<std::string, std::string>& FaultFunctionsLeftOut();

// The functions an image imports by name (shell32's ordinals 92, 155 and 190 by their
// names), read from its import table; the image is mapped without running anything of it.
// Empty when it cannot be read.
std::vector<std::string> ImageImports(const std::wstring& path);

// The name under which a hooked call of the spies' own code is counted: "spy SysAllocString".
inline constexpr char kSpyPrefix[] = "spy ";

namespace FaultInjector {

// Points every import slot of module whose function is in FaultFunctions() at its hook.
// False when a slot could not be written.
bool HookImports(HMODULE module);

// A stub for a function reached without an import slot (through GetProcAddress): calls of
// it go through the hooks under name, on to original.
void* HookFunction(const std::string& name, void* original);

// Accounts the BSTRs and task memory that code of module (the spies) hands out, under
// kSpyPrefix and the function's name: the product must give them back too. Such calls are
// counted apart and never failed.
bool HookSpyImports(HMODULE module);

// Points the vtable of the interface at object (its first word) at a copy whose entries go
// through hooks, named "interface::method" for the slots listed and "interface#N" for the
// rest of its slots.
struct Slot {
    int index;
    const char* method;
};
bool HookInterface(void* object, const char* interfaceName, int slots, const std::vector<Slot>& named);

// From now on, the nth call (1-based) of name fails in the given mode; every other call goes
// through, but for those armed as well. A function's stand-in (below) answers the rest.
void Arm(const std::string& name, LONG nth, int mode);

// Replaces a function's original for the rest of the run: the stand-in receives the same
// arguments (MessageBoxW in a test process, Sleep to keep runs short).
void StandIn(const std::string& name, void* standIn);

// Calls counted so far per hooked name (only names called at least once).
std::map<std::string, LONG> Calls();
// True once an armed failure has been handed out.
bool Fired();

// What was handed out through the hooks and not yet given back, by kind ("heap block",
// "handle", "registry key", "item identifier list", "BSTR", "local memory", "apartment"),
// with a count each; empty when everything came back.
std::map<std::string, LONG> Outstanding();

// Threads the hooked CreateThread started; the caller may wait for them.
std::vector<HANDLE> StartedThreads();

}  // namespace FaultInjector
