// Reference for `make bench`: only the waits an installer run cannot avoid, in its order:
// a browser instance for the toolbar, the icon download, the fixed pause, a second browser
// instance held while the shell is told of the new files, and one message box.
// Usage: bench_reference ICON_URL
#include <windows.h>
#include <exdisp.h>
#include <urlmon.h>

namespace {

void CreateAndReleaseBrowser() {
    IWebBrowser2* browser = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_InternetExplorer, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IWebBrowser2, reinterpret_cast<void**>(&browser))) &&
        browser) {
        browser->Release();
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (FAILED(CoInitialize(nullptr))) return 1;
    CreateAndReleaseBrowser();
    wchar_t cached[MAX_PATH] = {};
    URLDownloadToCacheFileW(nullptr, argv[1], cached, MAX_PATH, 0, nullptr);
    Sleep(200);
    CreateAndReleaseBrowser();
    MessageBoxW(nullptr, L"BriVok links installed.", L"Brivok Internet Explorer Buttons",
                MB_ICONINFORMATION);
    CoUninitialize();
    return 0;
}
