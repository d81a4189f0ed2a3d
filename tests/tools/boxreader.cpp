// Waits for the installer's message boxes in this prefix, prints each and how the process
// showing it runs, saves a picture of the first (when a path is given) and presses OK.
// With --modules it also lists the modules that process has loaded while its box is up;
// `--boxes N` waits for N boxes (several installers at once), one by one.
// Used by `make run`, `make run32` and the end-to-end driver. With a picture path the exit
// code says whether the picture shows the box's caption bar: 0 yes, 3 no picture or no bar.
// Usage: boxreader [--modules] [--boxes N] [PICTURE.bmp]
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

#include <vector>

#include "tests/support/MessageBoxReader.h"

namespace {

struct ProcessHandle {
    HANDLE handle;
    explicit ProcessHandle(DWORD id)
        : handle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id)) {}
    ~ProcessHandle() { if (handle) CloseHandle(handle); }
};

// Asked of the process itself: a 32-bit process on a 64-bit system runs under WoW64.
const char* ProcessKind(HANDLE process) {
    BOOL wow64 = FALSE;
    if (!process || !IsWow64Process(process, &wow64)) return "unknown";
    if (wow64) return "32-bit (WoW64)";
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    return system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "32-bit" : "64-bit";
}

void PrintModules(HANDLE process) {
    HMODULE modules[512];
    DWORD needed = 0;
    if (!process || !EnumProcessModulesEx(process, modules, sizeof(modules), &needed, LIST_MODULES_ALL)) {
        printf("module:  none listed (error %lu)\n", GetLastError());
        return;
    }
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 512; ++i) {
        wchar_t path[MAX_PATH] = {};
        if (GetModuleFileNameExW(process, modules[i], path, MAX_PATH)) {
            printf("module:  %s\n", Narrow(path).c_str());
        }
    }
}

// Saves the picture once the frame is drawn; false when there is no picture with a caption bar.
bool SavePictureWithCaption(HWND box, const wchar_t* picture) {
    // The frame may be painted after the text and icon that ReadMessageBox waited for.
    int caption = 0;
    for (DWORD waited = GetTickCount(); !caption && GetTickCount() - waited < 3000; Sleep(50)) {
        caption = DrawnCaptionHeight(box);
    }
    RECT rect = {};
    GetWindowRect(box, &rect);
    bool saved = SaveWindowBitmap(box, picture);
    printf("picture: %s, %ldx%ld, caption bar %d px%s\n", saved ? "saved" : "NOT SAVED",
           rect.right - rect.left, rect.bottom - rect.top, caption, caption ? "" : " (NOT DRAWN)");
    return saved && caption;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool modules = false;
    int wanted = 1;
    int next = 1;
    for (; next < argc; ++next) {
        if (lstrcmpW(argv[next], L"--modules") == 0) {
            modules = true;
        } else if (lstrcmpW(argv[next], L"--boxes") == 0 && next + 1 < argc) {
            wanted = _wtoi(argv[++next]);
        } else {
            break;
        }
    }
    const wchar_t* picture = next < argc ? argv[next] : nullptr;
    int result = 0;
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
        DWORD processId = 0;
        GetWindowThreadProcessId(box, &processId);
        ProcessHandle process(processId);
        printf("process: %s\n", ProcessKind(process.handle));
        if (modules) PrintModules(process.handle);
        if (picture && handled.empty() && !SavePictureWithCaption(box, picture)) result = 3;
        fflush(stdout);
        PressOk(box);
        handled.push_back(box);
    }
    if (static_cast<int>(handled.size()) < wanted) {
        printf("no message box appeared\n");
        return 1;
    }
    return result;
}
