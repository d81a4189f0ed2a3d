#include "common/SystemLibrary.h"

HMODULE LoadSystemLibrary(const wchar_t* name) {
    if (GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory"))
        return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);

    // By its full path (the system folder is never a drive's root); the altered search
    // order resolves the DLL's own imports from the system folder too.
    wchar_t path[MAX_PATH];
    const UINT room = MAX_PATH - 1 - static_cast<UINT>(lstrlenW(name));  // for "\" and name
    UINT length = GetSystemDirectoryW(path, room);
    if (length == 0 || length >= room) return nullptr;
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
