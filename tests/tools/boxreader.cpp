// Waits for the installer's message box in this prefix, prints it, saves a picture of it
// (when a path is given) and presses OK. Used by `make run`. With a picture path the exit
// code says whether the picture shows the box's caption bar: 0 yes, 3 no picture or no bar.
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
    int result = 0;
    if (argc > 1) {
        // The frame may be painted after the text and icon that ReadMessageBox waited for.
        int caption = 0;
        for (DWORD waited = GetTickCount(); !caption && GetTickCount() - waited < 3000; Sleep(50)) {
            caption = DrawnCaptionHeight(box);
        }
        RECT rect = {};
        GetWindowRect(box, &rect);
        bool saved = SaveWindowBitmap(box, argv[1]);
        printf("picture: %s, %ldx%ld, caption bar %d px%s\n", saved ? "saved" : "NOT SAVED",
               rect.right - rect.left, rect.bottom - rect.top, caption,
               caption ? "" : " (NOT DRAWN)");
        if (!saved || !caption) result = 3;
    }
    PressOk(box);
    return result;
}
