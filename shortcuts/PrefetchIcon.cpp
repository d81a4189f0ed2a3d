#include "shortcuts/PrefetchIcon.h"

#include <objbase.h>
#include <shlobj.h>
#include <urlmon.h>

#include "common/BoundedWorker.h"
#include "common/ShellAnnouncement.h"
#include "common/SystemLibrary.h"

namespace {

using DownloadToCacheFileProc = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPWSTR, DWORD, DWORD,
                                                 LPBINDSTATUSCALLBACK);

// The fetch is optional, and a host that accepts and never answers stalls the URL moniker
// for as long as its receive timeout (an hour on some systems). A
// service that answers within 5 s still gets 3 s for the transfer; after 8 s the run goes
// on, with time left for the box to appear within 15 s of the fetch's start even on a
// busy machine.
constexpr DWORD kFetchBoundMs = 8000;

// The address is copied in: the caller's string may be gone before the worker is done.
struct FetchWork : WorkerBlock {
    HRESULT result;
    wchar_t cachePath[MAX_PATH];
    wchar_t url[1];
};

// The download alone, in an apartment of its own; it touches nothing but its block, so
// that it can be left behind at any point. urlmon is not a KnownDLL: by plain name it
// could be a copy planted beside the installer. It stays loaded until the process ends:
// unloading it takes wininet with it while wininet's own threads may still be on their way
// out of it.
void FetchIntoCache(WorkerBlock* block) {
    auto* fetch = static_cast<FetchWork*>(block);
    HMODULE urlMonitor = LoadSystemLibrary(L"urlmon.dll");
    FARPROC entry = urlMonitor ? GetProcAddress(urlMonitor, "URLDownloadToCacheFileW") : nullptr;
    if (entry) {
        auto download = AsFunction<DownloadToCacheFileProc>(entry);
        fetch->result = download(nullptr, fetch->url, fetch->cachePath, MAX_PATH, 0, nullptr);
    }
    FinishWork(fetch);
}

}  // namespace

void PrefetchIcon(const wchar_t* url) {
    const int length = lstrlenW(url);
    WorkerRef<FetchWork> fetch(sizeof(FetchWork) + length * sizeof(wchar_t));
    if (!fetch) return;  // as silent as a failed download
    fetch->result = E_FAIL;
    lstrcpynW(fetch->url, url, length + 1);

    // This thread is a single-threaded apartment and owns windows: it keeps dispatching its
    // messages while it waits, so that nobody who sends to it stalls behind the download.
    // Past the bound the worker is left to finish or to end with the process; its result
    // is not looked at again.
    if (StartWorker(fetch.Get(), &FetchIntoCache, COINIT_APARTMENTTHREADED) && AwaitWorker(fetch.Get(), kFetchBoundMs) &&
        SUCCEEDED(fetch->result))
        (void)AnnouncePathChange(SHCNE_CREATE, fetch->cachePath);
}
