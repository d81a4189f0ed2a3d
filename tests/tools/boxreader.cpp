// Waits for the installer's message boxes in this prefix, prints each, saves a picture of
// the first (when a path is given) and presses OK. Used by `make run` and the end-to-end
// paths; `--boxes N` waits for N boxes (several installers at once), one by one.
#include <stdio.h>

#include <vector>

#include "tests/support/MessageBoxReader.h"

int wmain(int argc, wchar_t** argv) {
    int wanted = 1;
    int next = 1;
    if (argc > 2 && lstrcmpW(argv[1], L"--boxes") == 0) {
        wanted = _wtoi(argv[2]);
        next = 3;
    }
    const wchar_t* picture = next < argc ? argv[next] : nullptr;
    std::vector<HWND> handled;  // a closing box may still be found for a moment
    DWORD start = GetTickCount();
    while (static_cast<int>(handled.size()) < wanted && GetTickCount() - start < 120000) {
        HWND box = nullptr;
        for (HWND candidate : FindMessageBoxes(0)) {
            wchar_t caption[256] = {};
            GetWindowTextW(candidate, caption, 256);
            bool seen = false;
            for (HWND old : handled) seen = seen || old == candidate;
            if (!seen && lstrcmpW(caption, L"Brivok Internet Explorer Buttons") == 0) box = candidate;
        }
        if (!box) {
            Sleep(50);
            continue;
        }
        MessageBoxInfo info = ReadMessageBox(box);
        printf("caption: %s\ntext:    %s\nicon:    %s\n", Narrow(info.caption).c_str(),
               Narrow(info.text).c_str(), BoxIconName(info.icon));
        fflush(stdout);
        if (picture && handled.empty()) SaveWindowBitmap(box, picture);
        PressOk(box);
        handled.push_back(box);
    }
    if (static_cast<int>(handled.size()) < wanted) {
        printf("no message box appeared\n");
        return 1;
    }
    return 0;
}
