#include "common/SystemLibrary.h"

namespace {

// Every DLL that a run is known to load by name after its start: what a loader trace of a run
// shows, and what public advisories on installers started from Downloads found loaded from
// there on XP, Vista and 7. A DLL already loaded is used by a later load of the same name
// whatever the folders. Not here: comctl32, which must be loaded by name for the manifest's
// version 6.0 (from the system folder it would be 5.82), and shlwapi, which the path functions
// load from the system folder themselves.
constexpr const wchar_t* kLoadedByNameLater[] = {
    L"uxtheme.dll",   // comctl32 6.0 and user32, for visual styles
    L"dwmapi.dll",    // uxtheme and shell32 on Vista and 7
    L"msimg32.dll",   // drawing the message box
    L"oleacc.dll",    // comctl32's accessibility
    L"version.dll",   // ole32 and the shell, for file versions
    L"userenv.dll",   // shell32, for the profile's folders
    L"profapi.dll",   // userenv and ole32 on 7
    L"setupapi.dll",  // shell32's drives on XP
    L"apphelp.dll",   // shell32's compatibility checks on Vista and 7
    L"propsys.dll",   // shell32 and shlwapi on Vista and 7
    L"cryptbase.dll", // rpcrt4's random numbers, for COM on Vista and 7
    L"ntmarta.dll",   // advapi32's access control, for COM's security
    L"clbcatq.dll",   // ole32's class catalog, on the first object created
    L"comres.dll",    // the class catalog's resources
    L"actxprxy.dll",  // the browser's and the shell windows' interfaces across processes
    L"shdocvw.dll",   // the Internet Shortcut class and the shell windows on XP
    L"ieframe.dll",   // the same from Internet Explorer 7 on
    L"iertutil.dll",  // urlmon's and ieframe's from Internet Explorer 8 on
    L"urlmon.dll",    // the icon download, and ieframe's
    L"wininet.dll",   // urlmon's transfers
    L"secur32.dll",   // wininet's secure connections, for an https root
    L"mpr.dll",       // wininet's network names
    L"ws2_32.dll",    // wininet's sockets
};

// path = the system folder + "\" + name; false when it does not fit.
[[nodiscard]] bool SystemPath(wchar_t (&path)[MAX_PATH], const wchar_t* name) {
    const UINT room = MAX_PATH - 1 - static_cast<UINT>(lstrlenW(name));  // for "\" and name
    UINT length = GetSystemDirectoryW(path, room);
    if (length == 0 || length >= room) return false;
    path[length] = L'\\';
    lstrcpynW(path + length + 1, name, MAX_PATH - length - 1);
    return true;
}

// By its full path (the system folder is never a drive's root); the altered search order
// resolves the DLL's own imports from the system folder too.
HMODULE LoadByFullPath(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    return SystemPath(path, name) ? LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) : nullptr;
}

FARPROC KernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? GetProcAddress(kernel, name) : nullptr;
}

// Vista (6.0) with KB2533623 has the restriction calls, but its COM then fails to create
// in-process shell classes, the Internet Shortcut class among them: there the search is left
// as on a Vista without the update.
bool IsVista() {
    const DWORD version = GetVersion();
    return LOBYTE(LOWORD(version)) == 6 && HIBYTE(LOWORD(version)) == 0;
}

// The restricted search flag is the platform's where kernel32 exports AddDllDirectory.
bool SearchFlagsServe() { return !IsVista() && KernelFunction("AddDllDirectory"); }

}  // namespace

void RestrictDllSearchToSystem32() {
    FARPROC restrict = IsVista() ? nullptr : KernelFunction("SetDefaultDllDirectories");
    if (restrict && AsFunction<BOOL(WINAPI*)(DWORD)>(restrict)(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    // Unrestricted, a load by name still looks in the current folder, which the program's
    // starter chooses: that folder is taken out of the search (XP SP1 on).
    FARPROC leaveOutCurrent = KernelFunction("SetDllDirectoryW");
    if (leaveOutCurrent) (void)AsFunction<BOOL(WINAPI*)(LPCWSTR)>(leaveOutCurrent)(L"");
}

void PreloadSystemLibraries() {
    // Never freed: each stays loaded for as long as the process, as the loads it stands in for.
    for (const wchar_t* name : kLoadedByNameLater) (void)LoadSystemLibrary(name);
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
    if (SearchFlagsServe()) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return LoadByFullPath(name);
}
