#include "browser/ShowLinksToolbar.h"

#include <exdisp.h>

#include "common/ComHolders.h"
#include "common/ShellPath.h"

struct BrowserWork : WorkerBlock {
    bool show;
    bool hold;  // work in two parts: the instance is released once the caller resumes it
    bool held;  // a held instance came in time
    HRESULT result;
};

namespace {

constexpr short kLinksBandId = 11;  // the Links toolbar among the browser's bars
constexpr wchar_t kBrowserProgramPattern[] = L"*iexplore.exe";

// Every call into the shell or a browser runs on a worker in the multithreaded apartment,
// which needs no message loop of its own, and each call is bounded. The shell answers for
// its window list, and an open window each call, within 2 s unless it is hung. Starting
// the browser application may take longer on a slow machine, so it and the new instance's
// ShowBrowserBar get 4 s each; the held instance comes from the same application once it
// has started (or been given up), so 3 s do for it. All of them hung at once cost 9 s.
// A part given up ends that part only: after a hung window the walk stops (its collection
// lives on the stuck thread), and the new instance is still tried.
constexpr DWORD kNewInstanceBoundMs = 4000;
// The walk as a whole: every browser tab is listed, and each takes about six calls that may
// all be slow and still in time. Past this the walk makes no further call, the windows it
// has not reached are left as they are, and the new instance is still tried.
constexpr DWORD kWalkBoundMs = 10000;
constexpr DWORD kHeldInstanceBoundMs = 3000;
// The held instance is let go once the announcements are done, at most about 12 s later
// (six bounded ones); should the signal never come, the worker lets go of it after this.
constexpr DWORD kHeldInstanceLimitMs = 20000;

// How long one open browser window may take to process the WM_NULL that follows the
// toolbar switch; well inside the bound on one call, so that the walk itself gives up on a
// window that does not answer and goes on with the next. A window the system already
// considers hung is given up at once. Without SMTO_BLOCK the wait still handles messages
// sent to the worker, so a browser that calls back cannot deadlock it.
constexpr UINT kBrowserWindowTimeoutMs = 1000;

[[nodiscard]] HRESULT ShowBar(IWebBrowser2* browser, bool show) {
    VariantHolder bar;
    VariantHolder shown;
    VariantHolder size;
    bar.Get().vt = VT_I2;
    bar.Get().iVal = kLinksBandId;
    shown.Get().vt = VT_BOOL;
    shown.Get().boolVal = show ? VARIANT_TRUE : VARIANT_FALSE;
    return browser->ShowBrowserBar(&bar.Get(), &shown.Get(), &size.Get());
}

// Each call waits for the one before it to have answered. Once the walk has been given
// up, no further call is made: BeginOutsideCall refuses, here and in the walk's next turn.
void ShowBarInOpenWindow(WorkerBlock* work, IShellWindows* windows, LONG index, bool show) {
    ComPtr<IDispatch> item;
    ComPtr<IWebBrowser2> browser;
    UniqueBstr programName;
    SHANDLE_PTR window = 0;

    HRESULT hr;
    {
        VariantHolder position;
        position.Get().vt = VT_I4;
        position.Get().lVal = index;
        hr = windows->Item(position.Get(), item.Put());
    }
    // Folder windows of the shell are listed too; only browser windows have the bar.
    bool isBrowserWindow = SUCCEEDED(hr) && item && BeginOutsideCall(work) &&
                           SUCCEEDED(QueryInto(item.Get(), IID_IWebBrowser2, &browser)) &&
                           BeginOutsideCall(work) && SUCCEEDED(browser->get_FullName(programName.Put())) &&
                           programName.Get() && ShellPath::PathMatchSpecW(programName.Get(), kBrowserProgramPattern);
    if (isBrowserWindow && BeginOutsideCall(work)) {
        (void)ShowBar(browser.Get(), show);
        // The round trip lets the window's thread finish with the bar before the next
        // window is handled.
        DWORD_PTR answer = 0;
        if (BeginOutsideCall(work) && SUCCEEDED(browser->get_HWND(&window)) && window && BeginOutsideCall(work))
            (void)SendMessageTimeoutW(reinterpret_cast<HWND>(window), WM_NULL, 0, 0, SMTO_ABORTIFHUNG,
                                      kBrowserWindowTimeoutMs, &answer);
    }
}

void WalkOpenWindows(WorkerBlock* block) {
    auto* work = static_cast<BrowserWork*>(block);
    {
        ComPtr<IShellWindows> windows;
        LONG count = 0;
        if (SUCCEEDED(CreateInto(CLSID_ShellWindows, CLSCTX_ALL, IID_IShellWindows, &windows)) && BeginOutsideCall(work) && SUCCEEDED(windows->get_Count(&count))) {
            for (LONG index = 0; index < count && BeginOutsideCall(work); ++index)
                ShowBarInOpenWindow(work, windows.Get(), index, work->show);
        }
    }
    FinishWork(work);
}

// A new hidden instance: it only carries the setting, or is only held. It is never shown,
// navigated or sent Quit.
void UseNewInstance(WorkerBlock* block) {
    auto* work = static_cast<BrowserWork*>(block);
    {
        ComPtr<IWebBrowser2> browser;
        HRESULT hr = CreateInto(CLSID_InternetExplorer, CLSCTX_LOCAL_SERVER, IID_IWebBrowser2, &browser);
        if (work->hold) {
            FinishFirstPart(work, kHeldInstanceLimitMs);
        } else if (SUCCEEDED(hr)) {
            // A browser that started too late for the caller still gets the bar: the call
            // touches that instance alone, and its result then goes nowhere.
            (void)BeginOutsideCall(work);
            hr = ShowBar(browser.Get(), work->show);
        }
        work->result = hr;
    }
    FinishWork(work);
}

// Starts part on the holder's block; false when no worker could be started.
[[nodiscard]] bool StartPart(const WorkerRef<BrowserWork>& work, WorkerProc part, bool show, bool hold) {
    if (!work) return false;
    work->show = show;
    work->hold = hold;
    return StartWorker(work.Get(), part, COINIT_MULTITHREADED);
}

// The part's result, or a time-out when it was given up.
[[nodiscard]] HRESULT RunPart(WorkerProc part, bool show, DWORD stepMs, DWORD wholeMs = INFINITE) {
    WorkerRef<BrowserWork> work;
    if (!StartPart(work, part, show, false)) return E_OUTOFMEMORY;
    return AwaitWorker(work.Get(), stepMs, wholeMs) ? work->result : HRESULT_FROM_WIN32(ERROR_TIMEOUT);
}

}  // namespace

HRESULT ShowLinksToolbar(bool show) {
    (void)RunPart(&WalkOpenWindows, show, kShellCallBoundMs, kWalkBoundMs);
    return RunPart(&UseNewInstance, show, kNewInstanceBoundMs);
}

HeldBrowserInstance::HeldBrowserInstance() {
    if (!StartPart(work_, &UseNewInstance, true, true)) return;
    work_->held = AwaitWorker(work_.Get(), kHeldInstanceBoundMs);
}

HeldBrowserInstance::~HeldBrowserInstance() {
    if (!work_) return;
    // An instance that came too late is released as soon as it arrives.
    ResumeWorker(work_.Get());
    if (work_->held) (void)AwaitWorker(work_.Get(), kHeldInstanceBoundMs);
}
