#pragma once
// Shell change notifications delivered to this process (Wine delivers them only inside the
// sending one), received on a thread of their own that pumps messages.
#include <windows.h>
#include <shlobj.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct ShellNotification {
    LONG event;
    std::wstring path;   // of the first item; of the second for an extended event
    DWORD extended;      // an extended event's first four bytes of its first item, else 0
    ULONGLONG time;      // system time of arrival, in 100 ns units
    LONG sample;         // what the watcher's sampler answered at that moment, -1 without one
};

class ShellNotificationWatcher {
public:
    // Watches the desktop and everything below it for the events given.
    explicit ShellNotificationWatcher(LONG events, std::function<LONG()> sampler = nullptr)
        : events_(events), sampler_(std::move(sampler)) {
        ready_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &ShellNotificationWatcher::Pump, this, 0, &threadId_);
        WaitForSingleObject(ready_, INFINITE);
    }
    ~ShellNotificationWatcher() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    ShellNotificationWatcher(const ShellNotificationWatcher&) = delete;
    ShellNotificationWatcher& operator=(const ShellNotificationWatcher&) = delete;

    bool registered() const { return registration_ != 0; }

    // Everything delivered so far: whatever reached the thread before this call is in.
    std::vector<ShellNotification> Seen() {
        PostThreadMessageW(threadId_, kMarker, 0, 0);
        WaitForSingleObject(ready_, INFINITE);
        std::lock_guard<std::mutex> hold(lock_);
        return seen_;
    }

private:
    static constexpr UINT kMessage = WM_APP + 9;
    static constexpr UINT kMarker = WM_APP + 10;

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message != kMessage) return DefWindowProcW(window, message, w, l);
        auto* self = reinterpret_cast<ShellNotificationWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        auto** items = reinterpret_cast<PIDLIST_ABSOLUTE*>(w);
        ShellNotification seen{static_cast<LONG>(l), L"(no path)", 0, 0, -1};
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        seen.time = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        if (self && self->sampler_) seen.sample = self->sampler_();
        wchar_t path[MAX_PATH] = L"(no path)";
        if (l == SHCNE_EXTENDED_EVENT) {
            if (items && items[0]) CopyMemory(&seen.extended, items[0], sizeof(DWORD));
            if (items && items[1]) SHGetPathFromIDListW(items[1], path);
        } else if (items && items[0]) {
            SHGetPathFromIDListW(items[0], path);
        }
        seen.path = path;
        if (self) {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->seen_.push_back(seen);
        }
        return 0;
    }

    static DWORD WINAPI Pump(void* parameter) {
        auto* self = static_cast<ShellNotificationWatcher*>(parameter);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &ShellNotificationWatcher::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"BrivokNotificationWatcher";
        RegisterClassW(&windowClass);
        HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                      nullptr, windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        SHChangeNotifyEntry entry = {nullptr, TRUE};
        self->registration_ = SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_InterruptLevel,
                                                     self->events_, kMessage, 1, &entry);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        SetEvent(self->ready_);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd == nullptr && message.message == kMarker) {
                SetEvent(self->ready_);
                continue;
            }
            DispatchMessageW(&message);
        }
        if (self->registration_) SHChangeNotifyDeregister(self->registration_);
        DestroyWindow(window);
        return 0;
    }

    LONG events_;
    std::function<LONG()> sampler_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    ULONG registration_ = 0;
    std::mutex lock_;
    std::vector<ShellNotification> seen_;
};
