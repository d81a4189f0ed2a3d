#pragma once
// Finds, reads and closes message boxes of this or another process in the same prefix.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

enum class BoxIcon { None, Error, Information, Other };
const char* BoxIconName(BoxIcon icon);

struct MessageBoxInfo {
    std::wstring caption;
    std::wstring text;
    BoxIcon icon = BoxIcon::None;
    std::vector<int> buttons;  // control ids of the box's buttons, in window order
    DWORD closedAt = 0;        // GetTickCount() once BoxAnswerer had closed it
};

// Visible dialog-class windows owned by the process (0: any process).
std::vector<HWND> FindMessageBoxes(DWORD processId);

// Caption, text and icon of a box. The icon of another process's box is told by the colour
// of the icon control's pixels on the screen (mostly red: error, mostly blue: information),
// since icon handles cannot be compared across processes under Wine.
MessageBoxInfo ReadMessageBox(HWND box);

void PressOk(HWND box);

// Reads and closes every box this process shows, on a thread of its own, until Stop.
class BoxAnswerer {
public:
    BoxAnswerer();
    ~BoxAnswerer() { Stop(); }
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;
    // The boxes in the order they were shown; the thread has ended when this returns.
    std::vector<MessageBoxInfo> Stop();

private:
    std::atomic<bool> done_{false};
    std::vector<MessageBoxInfo> boxes_;  // written by the thread only, read after it ended
    std::thread thread_;
};

// Saves the screen area of a window as a 24-bit BMP file.
bool SaveWindowBitmap(HWND window, const wchar_t* path);

// Height in pixels of the caption bar as drawn on the screen: the rows between the window's
// top and its client area, when most of their pixels have a caption colour. 0 when there is
// none, as when a window manager outside Wine draws the frame (or nothing does).
int DrawnCaptionHeight(HWND window);

std::string Narrow(const std::wstring& text);
