#pragma once
#include <windows.h>

// Newer than XP: passed only where the system takes it.
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// The installer is started from a Downloads folder, where anyone may have dropped a DLL named
// like a system one. Its image imports only DLLs that every Windows it runs on takes from its
// list of known system DLLs whatever lies beside the program (kernel32, user32, advapi32,
// ole32, oleaut32, shell32); every other DLL is loaded after the two calls below, which the
// entry makes before anything else.

// Restricts the search for every DLL the process loads by name from now on, the system DLLs'
// own loads included, to the system folder. Where kernel32 lacks SetDefaultDllDirectories
// (XP; Vista and 7 without KB2533623), on Vista whatever it has, and where the call fails,
// the search is left unrestricted but for the current folder, taken out of it where kernel32
// has SetDllDirectoryW (XP SP1 on).
void RestrictDllSearchToSystem32();

// Loads from the system folder (LoadSystemLibrary) the system DLLs that a run loads by name
// later (the table beside the code), so that those loads find them loaded, whichever folders
// they would search: without the restriction every one of them looks beside the program
// first, and with it the loads a system DLL leaves until its first call (delayed imports)
// need not depend on how each system's loader resolves them. One that cannot be loaded
// (absent from that Windows) is passed over.
void PreloadSystemLibraries();

// Loads a DLL of the system folder by its file name, never a copy elsewhere (the program's
// own folder may be Downloads). Null when it cannot be loaded.
// The restricted search flag is passed only where kernel32 exports AddDllDirectory, the
// platform's test for it (XP, and Vista and 7 without the update, do not support it), and
// never on Vista, whose search stays unrestricted. Elsewhere the DLL is loaded by its full path.
[[nodiscard]] HMODULE LoadSystemLibrary(const wchar_t* name);

// What GetProcAddress found, as the function type it has.
template <typename Function>
Function AsFunction(FARPROC found) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}
