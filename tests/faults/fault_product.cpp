// The product in a DLL of its own, for the failure campaign: its import slots then carry the
// product's calls and nothing else, so that the injector sees exactly what the installer does.
#include <windows.h>

#include "common/BoundedWorker.h"
#include "installer/RunInstaller.h"
#include "shortcuts/InstallShortcut.h"
#include "shortcuts/LinkPaths.h"

extern "C" void __cdecl BrivokEntry();

// The installer's own process entry; it ends the process.
extern "C" __declspec(dllexport) void FaultEntry() { BrivokEntry(); }

extern "C" __declspec(dllexport) bool FaultAnyWorkerGivenUp() { return AnyWorkerGivenUp(); }

// The functions whose failures the box names, by stage: the entry, the run, the Links
// folder's paths, a shortcut; and the release of a worker's block.
extern "C" __declspec(dllexport) void FaultProductFunctions(const void** functions) {
    functions[0] = reinterpret_cast<const void*>(&BrivokEntry);
    functions[1] = reinterpret_cast<const void*>(&RunInstaller);
    functions[2] = reinterpret_cast<const void*>(&ResolveLinkPaths);
    functions[3] = reinterpret_cast<const void*>(&InstallShortcut);
    functions[4] = reinterpret_cast<const void*>(&ReleaseWorker);
}
