#pragma once
// A thread of its own that pumps messages, for windows that must answer while the test's
// thread is busy in a call (a sent message waits for its window's thread).
#include <windows.h>

#include <functional>

#include "common/Holders.h"

class MessageThread {
public:
    // Returns once setup (false: it failed) ran on the thread and its queue exists, so that no
    // post is lost. onThreadMessage sees each windowless message first; teardown runs last.
    // Declare it after the members its functions use, so that it ends before they go.
    explicit MessageThread(std::function<bool()> setup, std::function<void(UINT)> onThreadMessage = nullptr,
                           std::function<void()> teardown = nullptr)
        : setup_(std::move(setup)), onThreadMessage_(std::move(onThreadMessage)), teardown_(std::move(teardown)) {
        if (ready_) thread_.Reset(CreateThread(nullptr, 0, &MessageThread::Pump, this, 0, nullptr));
        if (thread_) WaitForSingleObject(ready_.Get(), INFINITE);
    }
    ~MessageThread() {
        if (!thread_) return;
        PostThreadMessageW(id(), WM_QUIT, 0, 0);
        WaitForSingleObject(thread_.Get(), INFINITE);
    }

    [[nodiscard]] bool started() const { return started_; }
    DWORD id() const { return GetThreadId(thread_.Get()); }

private:
    static DWORD WINAPI Pump(void* parameter) {
        auto* self = static_cast<MessageThread*>(parameter);
        self->started_ = self->setup_();
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        SetEvent(self->ready_.Get());
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (!message.hwnd && self->onThreadMessage_) self->onThreadMessage_(message.message);
            DispatchMessageW(&message);
        }
        if (self->teardown_) self->teardown_();
        return 0;
    }

    std::function<bool()> setup_;
    std::function<void(UINT)> onThreadMessage_;
    std::function<void()> teardown_;
    bool started_ = false;
    UniqueHandle ready_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle thread_;  // holders cannot be copied, so neither can this, which the thread points at
};

// A message-only window of this thread, with owner in its user data; a procedure's class is registered here.
inline HWND MessageWindow(const wchar_t* className, WNDPROC procedure = nullptr, void* owner = nullptr) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {0, procedure, 0, 0, instance, nullptr, nullptr, nullptr, nullptr, className};
    if (procedure) RegisterClassW(&windowClass);  // fails harmlessly once registered
    HWND window = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (owner) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    return window;
}
