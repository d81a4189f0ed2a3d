#include "tests/support/MessageBoxReader.h"

#include <algorithm>

namespace {

struct BoxSearch {
    DWORD processId;
    std::vector<HWND> found;
};

// A visible window of the class named (letter case aside).
bool IsVisibleOfClass(HWND window, const wchar_t* name) {
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    return lstrcmpiW(className, name) == 0 && IsWindowVisible(window);
}

// Calls see(colour) for each pixel of an area of the screen.
template <typename See>
void ForEachScreenPixel(const RECT& area, See see) {
    HDC screen = GetDC(nullptr);
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x) see(GetPixel(screen, x, y));
    ReleaseDC(nullptr, screen);
}

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<BoxSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if ((search->processId == 0 || owner == search->processId) && IsVisibleOfClass(window, L"#32770")) {
        search->found.push_back(window);
    }
    return TRUE;
}

HWND FindIconControl(HWND box) {
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsVisibleOfClass(child, L"Static")) {
            return child;
        }
    }
    return nullptr;
}

BoxIcon ClassifyIconPixels(HWND control) {
    RECT rect;
    if (!GetWindowRect(control, &rect)) return BoxIcon::None;
    long red = 0, blue = 0, coloured = 0;
    ForEachScreenPixel(rect, [&](COLORREF c) {
        int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
        if (r > g + 40 && r > b + 40) ++red;
        if (b > r + 40 && b > g + 10) ++blue;
        if (r != g || g != b) ++coloured;
    });
    if (coloured == 0) return BoxIcon::None;  // not painted yet
    if (red > 2 * blue && red > coloured / 4) return BoxIcon::Error;
    if (blue > 2 * red && blue > coloured / 4) return BoxIcon::Information;
    return BoxIcon::Other;
}

}  // namespace

const char* BoxIconName(BoxIcon icon) {
    const char* const names[] = {"none", "error", "information", "other"};  // in BoxIcon's order
    return names[static_cast<int>(icon)];
}

std::string Narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    return out;
}

std::vector<HWND> FindMessageBoxes(DWORD processId) {
    BoxSearch search{processId, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

MessageBoxInfo ReadMessageBox(HWND box) {
    MessageBoxInfo info;
    wchar_t buffer[2048] = L"";
    GetWindowTextW(box, buffer, 2048);
    info.caption = buffer;
    buffer[0] = 0;
    GetDlgItemTextW(box, 0xFFFF, buffer, 2048);
    info.text = buffer;

    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (IsVisibleOfClass(child, L"Button")) info.buttons.push_back(GetDlgCtrlID(child));
    }

    HWND icon = FindIconControl(box);
    if (!icon) return info;
    DWORD owner = 0;
    GetWindowThreadProcessId(box, &owner);
    if (owner == GetCurrentProcessId()) {
        // A box of this process is told by its icon handle. Reading the screen here would share
        // Xlib's display lock with the box's own thread, and Xlib deadlocks when that thread
        // meets an X error meanwhile (as in its first cursor change, when the box appears under
        // the pointer).
        auto shown = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
        info.icon = !shown ? BoxIcon::None
                    : shown == LoadIconW(nullptr, IDI_ERROR)       ? BoxIcon::Error
                    : shown == LoadIconW(nullptr, IDI_INFORMATION) ? BoxIcon::Information
                                                                   : BoxIcon::Other;
        return info;
    }
    // The box may not have been painted yet: wait for the icon to show.
    DWORD start = GetTickCount();
    do {
        info.icon = ClassifyIconPixels(icon);
        if (info.icon != BoxIcon::None) break;
        Sleep(20);
    } while (GetTickCount() - start < 3000);
    return info;
}

void PressOk(HWND box) { PostMessageW(box, WM_COMMAND, IDOK, 0); }

BoxAnswerer::BoxAnswerer()
    : thread_([this] {
          std::vector<HWND> answered;
          while (!done_) {
              for (HWND box : FindMessageBoxes(GetCurrentProcessId())) {
                  if (std::find(answered.begin(), answered.end(), box) != answered.end()) continue;
                  boxes_.push_back(ReadMessageBox(box));
                  answered.push_back(box);
                  PressOk(box);
                  boxes_.back().closedAt = GetTickCount();
              }
              Sleep(20);
          }
      }) {}

std::vector<MessageBoxInfo> BoxAnswerer::Stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return boxes_;
}

bool SaveWindowBitmap(HWND window, const wchar_t* path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bmi = {};
    bmi.bmiHeader = {sizeof(bmi.bmiHeader), width, height, 1, 24};  // bottom row first
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        DWORD stride = ((width * 3) + 3) & ~3u;
        DWORD imageSize = stride * height;
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof(file) + sizeof(bmi.bmiHeader);
        file.bfSize = file.bfOffBits + imageSize;
        HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (out != INVALID_HANDLE_VALUE) {
            DWORD written;
            saved = WriteFile(out, &file, sizeof(file), &written, nullptr) &&
                    WriteFile(out, &bmi.bmiHeader, sizeof(bmi.bmiHeader), &written, nullptr) &&
                    WriteFile(out, bits, imageSize, &written, nullptr);
            CloseHandle(out);
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

int DrawnCaptionHeight(HWND window) {
    RECT rect;
    POINT client = {0, 0};
    if (!GetWindowRect(window, &rect) || !ClientToScreen(window, &client)) return 0;
    int band = client.y - rect.top;
    if (band < GetSystemMetrics(SM_CYCAPTION)) return 0;
    const COLORREF captionColours[] = {GetSysColor(COLOR_ACTIVECAPTION), GetSysColor(COLOR_GRADIENTACTIVECAPTION),
                                       GetSysColor(COLOR_INACTIVECAPTION), GetSysColor(COLOR_GRADIENTINACTIVECAPTION)};
    long inBar = 0, total = 0;
    ForEachScreenPixel({rect.left, rect.top, rect.right, client.y}, [&](COLORREF c) {
        ++total;
        if (std::find(std::begin(captionColours), std::end(captionColours), c) != std::end(captionColours)) ++inBar;
    });
    // The caption text, the buttons and the border take the rest.
    return inBar * 2 > total ? band : 0;
}
