#include "browser/ShowLinksToolbar.h"

#include <exdisp.h>
#include <shlwapi.h>

#include "common/ComHolders.h"

namespace {

constexpr short kLinksBandId = 11;  // the Links toolbar among the browser's bars
constexpr wchar_t kBrowserProgramPattern[] = L"*iexplore.exe";

// How long one open browser window may take to process the WM_NULL that follows the
// toolbar switch. A window that does not answer in time, or that the system already
// considers hung, is given up on and the walk goes on. Without SMTO_BLOCK the wait still
// handles messages sent to this thread, as SendMessageW would, so a browser that calls
// back cannot deadlock it. The COM calls into the browser cross processes and are not
// bounded: that would need call cancellation from a second thread.
constexpr UINT kBrowserWindowTimeoutMs = 5000;

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

void ShowBarInOpenWindow(IShellWindows* windows, LONG index, bool show) {
    ComPtr<IDispatch> item;
    ComPtr<IWebBrowser2> browser;
    BstrHolder programName;

    HRESULT hr;
    {
        VariantHolder position;
        position.Get().vt = VT_I4;
        position.Get().lVal = index;
        hr = windows->Item(position.Get(), item.Put());
    }
    if (FAILED(hr) || !item) return;
    if (FAILED(QueryInto(item.Get(), IID_IWebBrowser2, &browser))) return;

    // Folder windows of the shell are listed too; only browser windows have the bar.
    if (FAILED(browser->get_FullName(programName.Put())) || !programName.Get()) return;
    if (!PathMatchSpecW(programName.Get(), kBrowserProgramPattern)) return;

    (void)ShowBar(browser.Get(), show);

    SHANDLE_PTR window = 0;
    if (SUCCEEDED(browser->get_HWND(&window)) && window) {
        // The round trip lets the window's thread finish with the bar before the next
        // window is handled; bounded so that a hung browser cannot hold the installer.
        DWORD_PTR answer = 0;
        (void)SendMessageTimeoutW(reinterpret_cast<HWND>(window), WM_NULL, 0, 0,
                                  SMTO_ABORTIFHUNG, kBrowserWindowTimeoutMs, &answer);
    }
}

}  // namespace

HRESULT ShowLinksToolbar(bool show) {
    {
        ComPtr<IShellWindows> windows;
        HRESULT hr = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows,
                                      windows.PutVoid());
        LONG count = 0;
        if (SUCCEEDED(hr) && windows && SUCCEEDED(windows->get_Count(&count))) {
            for (LONG index = 0; index < count; ++index) ShowBarInOpenWindow(windows.Get(), index, show);
        }
    }

    ComPtr<IWebBrowser2> browser;
    HRESULT hr = CoCreateInstance(CLSID_InternetExplorer, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IWebBrowser2, browser.PutVoid());
    if (SUCCEEDED(hr) && !browser) hr = E_NOINTERFACE;
    if (FAILED(hr)) return hr;
    // The instance is only there to carry the setting: it is never shown and gets no Quit.
    return ShowBar(browser.Get(), show);
}
