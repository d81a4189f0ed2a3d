#pragma once
// Shell change notifications delivered to this process (Wine delivers them only inside the
// sending one), received on a thread of their own that pumps messages.
#include <windows.h>
#include <shlobj.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/MessageThread.h"
#include "tests/support/TestEnvironment.h"

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
        : events_(events), sampler_(std::move(sampler)) {}
    ShellNotificationWatcher(const ShellNotificationWatcher&) = delete;
    ShellNotificationWatcher& operator=(const ShellNotificationWatcher&) = delete;

    bool registered() const { return registration_ != 0; }

    // Everything delivered so far: whatever reached the thread before this call is in.
    std::vector<ShellNotification> Seen() {
        PostThreadMessageW(thread_.id(), kMarker, 0, 0);
        WaitForSingleObject(marked_.Get(), INFINITE);
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
        ShellNotification seen{static_cast<LONG>(l), L"(no path)", 0, NowTicks(), -1};
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

    bool Register() {
        window_ = MessageWindow(L"BrivokNotificationWatcher", &ShellNotificationWatcher::Procedure, this);
        SHChangeNotifyEntry entry = {nullptr, TRUE};
        registration_ = SHChangeNotifyRegister(window_, SHCNRF_ShellLevel | SHCNRF_InterruptLevel,
                                               events_, kMessage, 1, &entry);
        return registration_ != 0;
    }

    LONG events_;
    std::function<LONG()> sampler_;
    UniqueHandle marked_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    HWND window_ = nullptr;
    ULONG registration_ = 0;
    std::mutex lock_;
    std::vector<ShellNotification> seen_;
    MessageThread thread_{
        [this] { return Register(); }, [this](UINT message) { if (message == kMarker) SetEvent(marked_.Get()); },
        [this] { if (registration_) SHChangeNotifyDeregister(registration_); DestroyWindow(window_); }};
};
