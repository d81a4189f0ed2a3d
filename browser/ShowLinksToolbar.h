#pragma once
#include <windows.h>

#include "common/BoundedWorker.h"

// Shows (or hides) the Links toolbar in every open browser window, then in a new hidden
// browser instance that is released again. The result is the new instance's. Each wait on
// the shell or a browser is bounded; a part that does not answer in time is given up
// (HRESULT_FROM_WIN32(ERROR_TIMEOUT) when it is the new instance). A new instance that
// comes after that still gets the bar, once, and is released.
[[nodiscard]] HRESULT ShowLinksToolbar(bool show);

struct BrowserWork;

// Creates a hidden browser instance, neither shown nor navigated, and holds it on a worker
// while the holder lives; the wait for it is bounded, and one that comes too late is
// released as soon as it arrives. Destroying the holder releases the instance (bounded
// too). Nothing is held when no worker could be started.
class HeldBrowserInstance {
public:
    HeldBrowserInstance();
    ~HeldBrowserInstance();
    HeldBrowserInstance(const HeldBrowserInstance&) = delete;
    HeldBrowserInstance& operator=(const HeldBrowserInstance&) = delete;

private:
    WorkerRef<BrowserWork> work_;
};
