/* A stand-in urlmon.dll of the kind someone could drop into a Downloads folder. When any
   process loads it, it appends that process's path to a marker file beside itself. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

__declspec(dllexport) HRESULT WINAPI URLDownloadToCacheFileW(void* caller, const wchar_t* url,
                                                            wchar_t* path, DWORD size,
                                                            DWORD reserved, void* callback) {
    (void)caller; (void)url; (void)path; (void)size; (void)reserved; (void)callback;
    return E_FAIL;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH + 32];
    DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    while (length && marker[length - 1] != L'\\') --length;
    lstrcpyW(marker + length, L"planted-urlmon-loaded.txt");
    HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return TRUE;
    char process[MAX_PATH];
    DWORD processLength = GetModuleFileNameA(NULL, process, MAX_PATH);
    DWORD written = 0;
    WriteFile(file, process, processLength, &written, NULL);
    WriteFile(file, "\r\n", 2, &written, NULL);
    CloseHandle(file);
    return TRUE;
}
