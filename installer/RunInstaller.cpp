#include "installer/RunInstaller.h"

#include <objbase.h>

#include "installer/ReportResult.h"
#include "menuorder/MenuOrderUpdate.h"
#include "shortcuts/LinkPaths.h"
#include "shortcuts/WriteShortcutFile.h"

namespace {

// The stages from the Links folder to the finished shortcuts. Reports its own failure and
// returns the outcome; LinkPaths is left for the caller to free.
HRESULT InstallLinks() {
    HRESULT hr = ResolveLinkPaths();
    if (FAILED(hr)) {
        ReportResult(kMessageLinksPathNotFound, hr);
        return hr;
    }

    // Icon prefetch and the pause after it go here.

    // The save shortcut first; when it fails the view shortcut is not attempted.
    hr = WriteShortcutFile(LinkPaths.save, kSaveShortcutTemplate);
    if (FAILED(hr)) {
        ReportResult(kMessageCreateFailed, hr);
        return hr;
    }
    hr = WriteShortcutFile(LinkPaths.view, kViewShortcutTemplate);
    if (FAILED(hr)) {
        ReportResult(kMessageCreateFailed, hr);
        return hr;
    }

    // Both shortcuts are in place: shell notifications and the Links order go here. None of
    // their results changes the outcome. The notifications of the two new files come first.

    // The buttons go first in the toolbar's stored order; the shell hears of the order
    // change before and after it.
    NotifyOrderChanged(LinkPaths.folder);
    (void)PlaceShortcutsFirst(LinkPaths.save, LinkPaths.view);
    NotifyOrderChanged(LinkPaths.folder);
    return hr;
}

}  // namespace

int RunInstaller(HINSTANCE, HINSTANCE, LPWSTR, int) {
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        ReportResult(kMessageCoInitialize, hr);
        return 1;
    }

    // Showing the Links toolbar goes here; its result is dropped.

    hr = InstallLinks();
    if (SUCCEEDED(hr)) ReportResult(kMessageInstalled, S_OK);

    FreeLinkPaths();
    CoUninitialize();
    return FAILED(hr) ? 1 : 0;
}
