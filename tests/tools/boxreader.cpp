// Waits for the installer's message box in this prefix, prints it, saves a picture of it
// (when a path is given) and presses OK. Used by `make run`.
#include <stdio.h>

#include "tests/support/MessageBoxReader.h"

int wmain(int argc, wchar_t** argv) {
    HWND box = nullptr;
    DWORD start = GetTickCount();
    while (!box && GetTickCount() - start < 120000) {
        for (HWND candidate : FindMessageBoxes(0)) {
            wchar_t caption[256] = {};
            GetWindowTextW(candidate, caption, 256);
            if (lstrcmpW(caption, L"Brivok Internet Explorer Buttons") == 0) box = candidate;
        }
        if (!box) Sleep(50);
    }
    if (!box) {
        printf("no message box appeared\n");
        return 1;
    }
    MessageBoxInfo info = ReadMessageBox(box);
    printf("caption: %s\ntext:    %s\nicon:    %s\n", Narrow(info.caption).c_str(),
           Narrow(info.text).c_str(), BoxIconName(info.icon));
    if (argc > 1) SaveWindowBitmap(box, argv[1]);
    PressOk(box);
    return 0;
}
