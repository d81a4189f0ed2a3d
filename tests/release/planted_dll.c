/* A stand-in for a system DLL of the kind someone could drop into a Downloads folder, copied
   there under each name a run loads. When any process loads it as NAME.dll, it appends that
   process's path to planted-NAME-loaded.txt beside itself. It exports the one function the
   installer looks up in urlmon, failing. */
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
    wchar_t marker[MAX_PATH + 64];
    DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    DWORD name = length;
    while (name && marker[name - 1] != L'\\') --name;
    DWORD dot = length;
    while (dot > name && marker[dot - 1] != L'.') --dot;
    if (dot == name) dot = length + 1;
    wchar_t base[MAX_PATH];
    lstrcpynW(base, marker + name, (int)(dot - name));
    lstrcpyW(marker + name, L"planted-");
    lstrcatW(marker, base);
    lstrcatW(marker, L"-loaded.txt");
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
