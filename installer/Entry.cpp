// Process entry: there is no C runtime, so this is the first code that runs.
#include <windows.h>
#include <commctrl.h>

#include "common/BoundedWorker.h"
#include "common/SystemLibrary.h"  // LOAD_LIBRARY_SEARCH_SYSTEM32
#include "installer/RunInstaller.h"

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// The installer is started from a Downloads folder, where anyone may have dropped a DLL
// named like a system one. From here on, DLLs that are loaded by name (ours or on behalf
// of the system DLLs we call) come from System32 only. Systems without the call keep
// their default search order.
void RestrictDllSearchToSystem32() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    FARPROC found = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (!found) return;
    auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void (*)()>(found));
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

extern "C" void __cdecl BrivokEntry() {
    RestrictDllSearchToSystem32();

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    if (!InitCommonControlsEx(&controls)) ExitProcess(1);

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
