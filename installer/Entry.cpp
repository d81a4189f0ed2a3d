// Process entry: there is no C runtime, so this is the first code that runs.
#include <windows.h>
#include <commctrl.h>

#include "installer/RunInstaller.h"

extern "C" void __cdecl BrivokEntry() {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    if (!InitCommonControlsEx(&controls)) ExitProcess(1);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    LPWSTR commandLine = GetCommandLineW();
    HINSTANCE instance = GetModuleHandleW(nullptr);

    ExitProcess(static_cast<UINT>(
        RunInstaller(instance, nullptr, commandLine, startup.wShowWindow)));
}
