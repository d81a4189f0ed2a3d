/* Control program: loads each DLL named on its command line (plain names, one space apart) by
   name, the way a program that does not protect itself, and the system DLLs inside it, load
   one: by the default search order, the program's own folder first. It imports kernel32
   alone, so that none of those names is loaded before it asks. Exit code: how many could not
   be loaded. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
    (void)instance; (void)previous; (void)show;
    int missing = 0;
    wchar_t name[MAX_PATH];
    while (*commandLine) {
        int length = 0;
        while (*commandLine == L' ') ++commandLine;
        while (*commandLine && *commandLine != L' ' && length < MAX_PATH - 1) name[length++] = *commandLine++;
        name[length] = L'\0';
        if (length && !LoadLibraryW(name)) ++missing;
    }
    return missing;
}
