// The product in a DLL of its own, for the failure campaign: its import slots then carry the
// product's calls and nothing else, so that the injector sees exactly what the installer does.
#include <windows.h>

#include "installer/RunInstaller.h"

extern "C" __declspec(dllexport) int FaultRunInstaller() {
    return RunInstaller(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT);
}
