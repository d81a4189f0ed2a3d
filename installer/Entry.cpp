// Process entry: there is no C runtime, so this is the first code that runs.
#include <windows.h>
#include <commctrl.h>

#include "common/BoundedWorker.h"
#include "common/SystemLibrary.h"
#include "installer/RunInstaller.h"

namespace {

// comctl32 is not imported: its start-up loads the theme library by name before any code of
// ours could protect the search. It is loaded by name, not from the system folder, so that
// the manifest's dependency binds version 6.0. False when it or the call cannot be had, or
// the call fails.
bool LoadCommonControls() {
    HMODULE commonControls = LoadLibraryExW(L"comctl32.dll", nullptr, 0);
    FARPROC found = commonControls ? GetProcAddress(commonControls, "InitCommonControlsEx") : nullptr;
    if (!found) return false;
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    return AsFunction<decltype(&InitCommonControlsEx)>(found)(&controls) != FALSE;
}

}  // namespace

extern "C" void __cdecl BrivokEntry() {
    // Before any load: a damaged DLL or a drive with no disk on the search path would have the
    // system show a box of its own and wait for the user, before ours or instead of it; the
    // load fails instead.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    RestrictDllSearchToSystem32();
    PreloadSystemLibraries();
    if (!LoadCommonControls()) ExitProcess(1);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    LPWSTR commandLine = GetCommandLineW();
    HINSTANCE instance = GetModuleHandleW(nullptr);

    const UINT exitCode =
        static_cast<UINT>(RunInstaller(instance, nullptr, commandLine, startup.wShowWindow));
    // ExitProcess ends the other threads wherever they stand and then runs every DLL's
    // detach code, which deadlocks, or on Vista and later ends the process abruptly, when a
    // thread left inside a hung call held a lock it needs. Once a wait was given up the
    // process ends here and now instead; the shortcuts and the order are flushed by then.
    if (AnyWorkerGivenUp()) TerminateProcess(GetCurrentProcess(), exitCode);
    ExitProcess(exitCode);
}
