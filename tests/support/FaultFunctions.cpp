// The failure campaign's table of functions (FaultInjector.h); the release image's checks read it too.
#include "tests/support/FaultInjector.h"

#include <oleauto.h>
#include <winerror.h>

namespace {

// Answers that do what the platform does besides returning a value.

// A move that may copy to another volume copies, and succeeds though its source could not be
// deleted (MoveFileEx: "the function succeeds leaving the source file intact"); without
// MOVEFILE_COPY_ALLOWED it fails with ERROR_NOT_SAME_DEVICE.
UINT_PTR CopyKeepingSource(void** args) {
    if (!(reinterpret_cast<UINT_PTR>(args[2]) & MOVEFILE_COPY_ALLOWED)) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    return CopyFileW(static_cast<LPCWSTR>(args[0]), static_cast<LPCWSTR>(args[1]),
                     !(reinterpret_cast<UINT_PTR>(args[2]) & MOVEFILE_REPLACE_EXISTING));
}

// A write that succeeds with fewer bytes than asked, as on a full disk or a pipe.
UINT_PTR WriteShort(void** args) {
    DWORD asked = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(args[2]));
    return WriteFile(args[0], args[1], asked ? asked - 1 : 0, static_cast<DWORD*>(args[3]),
                     static_cast<OVERLAPPED*>(args[4]));
}

// ERROR_MORE_DATA with the size the value has grown to since it was measured.
UINT_PTR MoreDataGrown(void** args) {
    if (args[5]) *static_cast<DWORD*>(args[5]) += 2 * sizeof(wchar_t);
    return ERROR_MORE_DATA;
}

UINT_PTR Hr(HRESULT hr) { return static_cast<UINT_PTR>(hr); }

}  // namespace

// The platform's documented failures, as each function reports them, and what each call
// hands out and takes back. Where a function has several documented causes the campaign
// cares about, each is a mode of its own. A server's failures (retry later, disconnected,
// access denied) come from CoCreateInstance and the window list, which go to a local server;
// a success that hands back no interface is not documented, and is given defensively. On XP:
// the platform documentation's minimum supported client is Windows 2000 or XP (SetDllDirectoryW:
// XP SP1); shell32's ordinals are Windows' own, which Wine's shell32 keeps.
const std::vector<FaultFunction>& FaultFunctions() {
    static const UINT_PTR kInvalid = reinterpret_cast<UINT_PTR>(INVALID_HANDLE_VALUE);
    static const std::vector<FaultMode> kServerFailures = {{"retry later", Hr(RPC_E_SERVERCALL_RETRYLATER), 0},
                                                           {"disconnected", Hr(RPC_E_DISCONNECTED), 0},
                                                           {"access denied", Hr(E_ACCESSDENIED), 0}};
    auto with = [](std::vector<FaultMode> modes, const std::vector<FaultMode>& more) {
        modes.insert(modes.end(), more.begin(), more.end());
        return modes;
    };
    const char *const advapi32 = "advapi32.dll", *const kernel32 = "kernel32.dll", *const ole32 = "ole32.dll",
                      *const oleaut32 = "oleaut32.dll", *const shell32 = "shell32.dll", *const shlwapi = "shlwapi.dll";
    static const std::vector<FaultMode> kApartmentFailures = {{"no memory", Hr(E_OUTOFMEMORY), 0},
                                                              {"changed mode", Hr(RPC_E_CHANGED_MODE), 0}};
    static const std::vector<FaultFunction> functions = {
        // advapi32: the status is the result; the last error is not set.
        {.name = "RegCloseKey", .dll = advapi32, .onXp = true, .modes = {{"invalid handle", ERROR_INVALID_HANDLE, 0}},
         .releasesAnyway = true, .kind = "registry key", .takesBack = 0},
        {.name = "RegFlushKey", .dll = advapi32, .onXp = true, .modes = {{"access denied", ERROR_ACCESS_DENIED, 0}}},
        {.name = "RegOpenKeyExW", .dll = advapi32, .onXp = true, .modes = {{"access denied", ERROR_ACCESS_DENIED, 0},
         {"not found", ERROR_FILE_NOT_FOUND, 0}}, .kind = "registry key", .handsOut = 4, .success = Success::StatusZero},
        {.name = "RegQueryValueExW", .dll = advapi32, .onXp = true, .modes = {{"more data", ERROR_MORE_DATA, 0},
         {.what = "more data, grown", .answer = &MoreDataGrown}, {"not found", ERROR_FILE_NOT_FOUND, 0}}},
        {.name = "RegSetValueExW", .dll = advapi32, .onXp = true, .modes = {{"access denied", ERROR_ACCESS_DENIED, 0}}},
        // kernel32
        {.name = "CloseHandle", .dll = kernel32, .onXp = true, .modes = {{"network error", FALSE, ERROR_NETNAME_DELETED}},
         .releasesAnyway = true, .kind = "handle", .takesBack = 0},
        {.name = "CreateEventW", .dll = kernel32, .onXp = true, .modes = {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}},
         .kind = "handle", .handsOut = kResult},
        {.name = "CreateFileW", .dll = kernel32, .onXp = true, .modes = {{"access denied", kInvalid, ERROR_ACCESS_DENIED},
         {.what = "sharing violation", .value = kInvalid, .lastError = ERROR_SHARING_VIOLATION, .held = true},
         {.what = "lock violation", .value = kInvalid, .lastError = ERROR_LOCK_VIOLATION, .held = true},
         {"disk full", kInvalid, ERROR_DISK_FULL}}, .kind = "handle", .handsOut = kResult},
        {.name = "CreateThread", .dll = kernel32, .onXp = true, .modes = {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}},
         .kind = "handle", .handsOut = kResult, .startsThread = true},
        {.name = "DeleteFileW", .dll = kernel32, .onXp = true, .modes = {{"access denied", FALSE, ERROR_ACCESS_DENIED}},
         .keepsRefused = true},
        {.name = "ExitProcess", .dll = kernel32, .onXp = true},
        {.name = "FindResourceW", .dll = kernel32, .onXp = true, .modes = {{"not found", 0, ERROR_RESOURCE_TYPE_NOT_FOUND}}},
        {.name = "FlushFileBuffers", .dll = kernel32, .onXp = true, .modes = {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {.name = "FormatMessageW", .dll = kernel32, .onXp = true, .modes = {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}},
         .kind = "local memory", .handsOut = 4, .handsOutOnlyWith = FORMAT_MESSAGE_ALLOCATE_BUFFER},
        {.name = "GetCommandLineW", .dll = kernel32, .onXp = true},
        {.name = "GetCurrentProcess", .dll = kernel32, .onXp = true},
        {.name = "GetFileInformationByHandle", .dll = kernel32, .onXp = true,
         .modes = {{"access denied", FALSE, ERROR_ACCESS_DENIED}}},
        {.name = "GetLastError", .dll = kernel32, .onXp = true},
        {.name = "GetModuleHandleW", .dll = kernel32, .onXp = true, .modes = {{"not found", 0, ERROR_MOD_NOT_FOUND}}},
        {.name = "GetProcAddress", .dll = kernel32, .onXp = true, .modes = {{"not found", 0, ERROR_PROC_NOT_FOUND}}},
        {.name = "GetShortPathNameW", .dll = kernel32, .onXp = true, .modes = {{"not found", 0, ERROR_FILE_NOT_FOUND},
         {.what = "buffer too small", .value = 1, .argument = 2}}},
        {.name = "GetStartupInfoW", .dll = kernel32, .onXp = true},
        {.name = "GetSystemDirectoryW", .dll = kernel32, .onXp = true, .modes = {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY},
         {.what = "buffer too small", .value = 1, .argument = 1}}},
        {.name = "GetSystemTime", .dll = kernel32, .onXp = true},
        {.name = "GetTempFileNameW", .dll = kernel32, .onXp = true, .modes = {{"access denied", 0, ERROR_ACCESS_DENIED}}},
        {.name = "GetTempPathW", .dll = kernel32, .onXp = true, .modes = {{"access denied", 0, ERROR_ACCESS_DENIED},
         {.what = "buffer too small", .value = 1, .argument = 0}}},
        {.name = "GetTickCount", .dll = kernel32, .onXp = true, .countFollowsTiming = true},
        {.name = "GetVersion", .dll = kernel32, .onXp = true},
        // Without HEAP_GENERATE_EXCEPTIONS it sets no error.
        {.name = "HeapAlloc", .dll = kernel32, .onXp = true, .modes = {{"no memory", 0, 0}}, .kind = "heap block",
         .handsOut = kResult},
        {.name = "HeapFree", .dll = kernel32, .onXp = true, .modes = {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}},
         .releasesAnyway = true, .kind = "heap block", .takesBack = 2},
        {.name = "LoadLibraryExW", .dll = kernel32, .onXp = true, .modes = {{"not found", 0, ERROR_MOD_NOT_FOUND}}},
        {.name = "LoadResource", .dll = kernel32, .onXp = true, .modes = {{"not found", 0, ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {.name = "LocalFree", .dll = kernel32, .onXp = true, .modes = {{"invalid handle", 0, ERROR_INVALID_HANDLE, 0}},
         .releasesAnyway = true, .kind = "local memory", .takesBack = 0, .nullDoesNothing = true},
        {.name = "LockResource", .dll = kernel32, .onXp = true, .modes = {{"nothing", 0, 0}}},
        {.name = "MoveFileExW", .dll = kernel32, .onXp = true, .modes = {{"access denied", FALSE, ERROR_ACCESS_DENIED},
         {.what = "sharing violation", .value = FALSE, .lastError = ERROR_SHARING_VIOLATION, .held = true},
         {"another volume", FALSE, ERROR_NOT_SAME_DEVICE}, {"disk full", FALSE, ERROR_DISK_FULL},
         {.what = "copies, keeps its source", .answer = &CopyKeepingSource}}},
        {.name = "MultiByteToWideChar", .dll = kernel32, .onXp = true,
         .modes = {{"buffer too small", 0, ERROR_INSUFFICIENT_BUFFER}}},
        {.name = "SetErrorMode", .dll = kernel32, .onXp = true},
        {.name = "SetEvent", .dll = kernel32, .onXp = true, .modes = {{"invalid handle", FALSE, ERROR_INVALID_HANDLE}}},
        {.name = "SetFileAttributesW", .dll = kernel32, .onXp = true,
         .modes = {{"access denied", FALSE, ERROR_ACCESS_DENIED}}, .unhides = true},
        {.name = "SetLastError", .dll = kernel32, .onXp = true},
        {.name = "SizeofResource", .dll = kernel32, .onXp = true, .modes = {{"not found", 0, ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {.name = "Sleep", .dll = kernel32, .onXp = true},
        {.name = "SystemTimeToFileTime", .dll = kernel32, .onXp = true,
         .modes = {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}},
        {.name = "TerminateProcess", .dll = kernel32, .onXp = true},
        {.name = "WaitForSingleObject", .dll = kernel32, .onXp = true,
         .modes = {{"failed", WAIT_FAILED, ERROR_INVALID_HANDLE}}, .countFollowsTiming = true},
        {.name = "WriteFile", .dll = kernel32, .onXp = true, .modes = {{"disk full", FALSE, ERROR_DISK_FULL},
         {.what = "short", .answer = &WriteShort}}},
        // Looked up by name: the restricted search (not on XP), the current folder's and the common controls.
        {.name = "SetDefaultDllDirectories", .dll = kernel32,
         .modes = {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}},
        {.name = "SetDllDirectoryW", .dll = kernel32, .onXp = true,
         .modes = {{"invalid parameter", FALSE, ERROR_INVALID_PARAMETER}}},
        {.name = "InitCommonControlsEx", .dll = "comctl32.dll", .onXp = true, .modes = {{"failed", FALSE, 0}}},
        // ole32 and oleaut32: the status is the result.
        {.name = "CoCreateInstance", .dll = ole32, .onXp = true,
         .modes = with({{"class not registered", Hr(REGDB_E_CLASSNOTREG), 0}, {"no memory", Hr(E_OUTOFMEMORY), 0},
                        {"server failed", Hr(CO_E_SERVER_EXEC_FAILURE), 0}, {"success, nothing", S_OK, 0}},
                       kServerFailures), .clearedOnFailure = 4},
        {.name = "CoInitialize", .dll = ole32, .onXp = true, .modes = kApartmentFailures, .kind = "apartment",
         .handsOut = kThread, .success = Success::HresultOk},
        {.name = "CoInitializeEx", .dll = ole32, .onXp = true, .modes = kApartmentFailures, .kind = "apartment",
         .handsOut = kThread, .success = Success::HresultOk},
        {.name = "CoTaskMemFree", .dll = ole32, .onXp = true, .kind = "task memory", .takesBack = 0, .nullDoesNothing = true},
        {.name = "CoUninitialize", .dll = ole32, .onXp = true, .kind = "apartment", .takesBack = kThread},
        {.name = "CoWaitForMultipleHandles", .dll = ole32, .onXp = true, .modes = {{"timed out", Hr(RPC_S_CALLPENDING), 0},
         {"invalid argument", Hr(E_INVALIDARG), 0}}, .countFollowsTiming = true},
        // Where the message text cannot have its memory, it raises a fatal fault.
        {.name = "SysAllocString", .dll = oleaut32, .onXp = true, .modes = {{"no memory", 0, 0}}, .kind = "BSTR",
         .handsOut = kResult, .spiesHandOut = true, .fatalWhenFailed = true},
        {.name = "SysAllocStringLen", .dll = oleaut32, .onXp = true, .modes = {{"no memory", 0, 0}}, .kind = "BSTR",
         .handsOut = kResult, .fatalWhenFailed = true},
        {.name = "SysFreeString", .dll = oleaut32, .onXp = true, .kind = "BSTR", .takesBack = 0, .nullDoesNothing = true},
        {.name = "SysStringLen", .dll = oleaut32, .onXp = true},
        {.name = "VariantClear", .dll = oleaut32, .onXp = true, .modes = {{"bad type", Hr(DISP_E_BADVARTYPE), 0}}},
        {.name = "VariantInit", .dll = oleaut32, .onXp = true},
        // The spies' allocators, whose results the product takes back.
        {.name = "CoTaskMemAlloc", .dll = ole32, .onXp = true, .kind = "task memory", .handsOut = kResult,
         .spiesHandOut = true},
        // shell32 (three by ordinal alone, as XP as first released exports them); shlwapi, through GetProcAddress
        {.name = "ILCreateFromPathW", .dll = shell32, .ordinal = 190, .modes = {{"nothing", 0, 0}},
         .kind = "item identifier list", .handsOut = kResult},
        {.name = "ILFree", .dll = shell32, .ordinal = 155, .kind = "item identifier list", .takesBack = 0,
         .nullDoesNothing = true},
        {.name = "PathGetShortPath", .dll = shell32, .ordinal = 92},
        {.name = "SHChangeNotify", .dll = shell32, .onXp = true},
        {.name = "SHGetFolderPathAndSubDirW", .dll = shell32, .onXp = true,
         .modes = {{"access denied", Hr(E_ACCESSDENIED), 0}, {"path not found", Hr(0x80070003), 0}}},
        {.name = "PathAddExtensionW", .dll = shlwapi, .onXp = true, .modes = {{"refused", FALSE, 0}}},
        {.name = "PathAppendW", .dll = shlwapi, .onXp = true, .modes = {{"refused", FALSE, 0}}},
        {.name = "PathMatchSpecW", .dll = shlwapi, .onXp = true, .modes = {{"no match", FALSE, 0}}},
        {.name = "PathStripPathW", .dll = shlwapi, .onXp = true},
        // user32
        {.name = "MessageBoxW", .dll = "user32.dll", .onXp = true, .modes = {{"no memory", 0, ERROR_NOT_ENOUGH_MEMORY}}},
        {.name = "SendMessageTimeoutW", .dll = "user32.dll", .onXp = true, .modes = {{"timed out", 0, ERROR_TIMEOUT}}},
        // Reached through GetProcAddress, not imported, but failed the same way.
        {.name = "URLDownloadToCacheFileW", .dll = "urlmon.dll", .onXp = true,
         .modes = {{"download failed", Hr(INET_E_DOWNLOAD_FAILURE), 0}}},
        // The spies' methods that the product calls.
        {.name = "IUnknown::AddRef"},
        {.name = "IUnknown::Release"},
        {.name = "IUniformResourceLocatorW::SetURL", .modes = {{"failed", Hr(E_FAIL), 0}}},
        {.name = "IUniformResourceLocatorW::GetURL", .modes = {{"failed", Hr(E_FAIL), 0}}, .clearedOnFailure = 1},
        {.name = "IUnknown::QueryInterface", .modes = {{"no interface", Hr(E_NOINTERFACE), 0},
         {"success, nothing", S_OK, 0}}, .clearedOnFailure = 2},
        {.name = "IShellWindows::get_Count", .modes = with({{"failed", Hr(E_FAIL), 0}}, kServerFailures)},
        {.name = "IShellWindows::Item", .modes = with({{"failed", Hr(E_FAIL), 0}, {"success, nothing", S_OK, 0}},
         kServerFailures), .clearedOnFailure = 2},
        {.name = "IWebBrowser2::get_FullName", .modes = {{"disconnected", Hr(RPC_E_DISCONNECTED), 0}}},
        {.name = "IWebBrowser2::ShowBrowserBar", .modes = {{"disconnected", Hr(RPC_E_DISCONNECTED), 0}}},
        {.name = "IWebBrowser2::get_HWND", .modes = {{"disconnected", Hr(RPC_E_DISCONNECTED), 0}}},
        {.name = "IPersistFile::Load", .modes = {{"access denied", Hr(STG_E_ACCESSDENIED), 0},
         {.what = "sharing violation", .value = Hr(STG_E_SHAREVIOLATION), .held = true},
         {.what = "lock violation", .value = Hr(STG_E_LOCKVIOLATION), .held = true}}},
        {.name = "IPersistFile::Save", .modes = {{"disk full", Hr(STG_E_MEDIUMFULL), 0}}},
        {.name = "IPropertySetStorage::Open", .modes = {{"not found", Hr(STG_E_FILENOTFOUND), 0},
         {"success, nothing", S_OK, 0}}, .clearedOnFailure = 3},
        {.name = "IPropertyStorage::WriteMultiple", .modes = {{"access denied", Hr(STG_E_ACCESSDENIED), 0}}},
        {.name = "IPropertyStorage::Commit", .modes = {{"disk full", Hr(STG_E_MEDIUMFULL), 0}}},
    };
    return functions;
}

const FaultFunction* FindFaultFunction(const std::string& name, const std::vector<FaultFunction>& functions) {
    for (const FaultFunction& function : functions)
        if (name == function.name) return &function;
    return nullptr;
}

const std::vector<FaultFunction>& FaultFunctionsLeftOut() {
    static const std::vector<FaultFunction> leftOut = {
        // The process heap exists before any of the program runs.
        {.name = "GetProcessHeap", .dll = "kernel32.dll", .onXp = true},
        // Raised only for the message text's fatal faults, and never returns.
        {.name = "RaiseException", .dll = "kernel32.dll", .onXp = true},
        // These fail only on pointers that are not valid, which the product never passes.
        {.name = "lstrcmpiW", .dll = "kernel32.dll", .onXp = true},
        {.name = "lstrcpynW", .dll = "kernel32.dll", .onXp = true},
        {.name = "lstrlenW", .dll = "kernel32.dll", .onXp = true},
    };
    return leftOut;
}
