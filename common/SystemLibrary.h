#pragma once
#include <windows.h>

// Newer than XP: passed only where the system takes it.
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// Loads a DLL of the system folder by its file name, never a copy elsewhere (the program's
// own folder may be Downloads). Null when it cannot be loaded.
// The restricted search flag is passed only where kernel32 exports AddDllDirectory, the
// platform's test for it: Vista and 7 without the update refuse it, and XP ignores it and
// searches the program's folder first, so no answer of the load itself can stand in for
// that test. Elsewhere the DLL is loaded by its full path.
[[nodiscard]] HMODULE LoadSystemLibrary(const wchar_t* name);
