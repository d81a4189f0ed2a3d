/* Control program: imports urlmon the ordinary way, so the loader resolves it by the
   default search order (the program's own folder first) before any code runs. */
#include <windows.h>
#include <urlmon.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
    (void)instance; (void)previous; (void)commandLine; (void)show;
    /* Referenced through a volatile pointer so that the import stays, but never called. */
    void* volatile function = (void*)&URLDownloadToCacheFileW;
    return function ? 0 : 1;
}
