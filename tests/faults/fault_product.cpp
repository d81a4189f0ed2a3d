// The product in a DLL of its own, for the failure campaign: its import slots then carry the
// product's calls and nothing else, so that the injector sees exactly what the installer does.
#include <windows.h>

#include <objbase.h>

#include "common/BoundedWorker.h"
#include "installer/RunInstaller.h"
#include "shortcuts/LinkPaths.h"

extern "C" __declspec(dllexport) int FaultRunInstaller() {
    return RunInstaller(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT);
}

// After a run that gave a wait up, RunInstaller leaves its paths and apartment to the end of
// the process; this takes them back as that end would, through the product's own import
// slots, so that the injector's account holds nothing else. False when nothing was given up.
extern "C" __declspec(dllexport) bool FaultEndOfProcess() {
    if (!AnyWorkerGivenUp()) return false;
    FreeLinkPaths();
    CoUninitialize();
    return true;
}
