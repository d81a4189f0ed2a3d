// Prints the short (8.3) name of each file given, one a line, as this system computes it.
// The end-to-end driver needs them to write order records that name the shortcuts.
#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        wchar_t path[MAX_PATH] = {};
        if (!GetShortPathNameW(argv[i], path, MAX_PATH)) return 1;
        PathStripPathW(path);
        printf("%ls\n", path);
    }
    return 0;
}
