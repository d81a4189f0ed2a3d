#include "installer/RunInstaller.h"

#include <objbase.h>
#include <shlobj.h>

#include "browser/ShowLinksToolbar.h"
#include "common/BoundedWorker.h"
#include "common/ShellAnnouncement.h"
#include "installer/ReportResult.h"
#include "menuorder/MenuOrderUpdate.h"
#include "service/ServiceAddresses.h"
#include "shortcuts/InstallShortcut.h"
#include "shortcuts/LinkPaths.h"
#include "shortcuts/PrefetchIcon.h"
#include "shortcuts/ShortcutTable.h"
#include "shortcuts/WriteShortcutFile.h"

namespace {

constexpr DWORD kPauseAfterIconMs = 200;

// Tells the shell of the two new shortcuts while a hidden browser instance is held, so
// that the browser side sees the Links folder change too. Nothing here decides the outcome.
void AnnounceShortcuts() {
    // Only held: neither shown nor navigated, and released without Quit. It may not come;
    // the announcements go out regardless.
    HeldBrowserInstance browser;

    // Each announcement is delivered before the next; once the shell has not taken one in
    // time it is taken to be hung, and the rest are dropped.
    bool shellAnswers = AnnouncePathChange(SHCNE_CREATE, LinkPaths.save) &&
                        AnnouncePathChange(SHCNE_UPDATEITEM, LinkPaths.folder) &&
                        AnnouncePathChange(SHCNE_CREATE, LinkPaths.view) &&
                        AnnouncePathChange(SHCNE_UPDATEITEM, LinkPaths.folder) &&
                        NotifyOrderChanged(LinkPaths.folder);

    // The buttons go first in the toolbar's stored order, while the instance is still
    // held; the shell hears of the order change before and after it. The order needs only
    // the registry, so a hung shell does not keep it from being stored.
    (void)PlaceShortcutsFirst(LinkPaths.save, LinkPaths.view);
    if (shellAnswers) (void)NotifyOrderChanged(LinkPaths.folder);
}

// The stages from the Links folder to the finished shortcuts. Reports its own failure and
// returns the outcome; LinkPaths belong to the caller's owner.
HRESULT InstallLinks() {
    HRESULT hr = ResolveLinkPaths();
    if (FAILED(hr)) {
        ReportResult(kMessageLinksPathNotFound, hr);
        return hr;
    }

    // Both documents name the icon by its address: have it in the cache before they appear.
    PrefetchIcon(kServiceIconUrl);
    Sleep(kPauseAfterIconMs);

    // The save shortcut first; when it fails the view shortcut is not attempted.
    hr = InstallShortcut(LinkPaths.save, kSaveShortcut.templateId, kSaveShortcut.title);
    if (FAILED(hr)) {
        ReportResult(kMessageCreateFailed, hr);
        return hr;
    }
    hr = InstallShortcut(LinkPaths.view, kViewShortcut.templateId, kViewShortcut.title);
    if (FAILED(hr)) {
        ReportResult(kMessageCreateFailed, hr);
        return hr;
    }

    AnnounceShortcuts();
    return hr;
}

}  // namespace

int RunInstaller(HINSTANCE, HINSTANCE, LPWSTR, int) {
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        ReportResult(kMessageCoInitialize, hr);
        return 1;
    }

    // A browser that cannot show the bar does not stop the installation.
    (void)ShowLinksToolbar(true);

    {
        LinkPathsOwner paths;
        hr = InstallLinks();
        if (SUCCEEDED(hr)) ReportResult(kMessageInstalled, S_OK);
    }

    // CoUninitialize unloads the DLLs this thread loaded, under the loader's lock, which a
    // worker given up inside a system call may hold: once a wait was given up, the process
    // ends right after the box, its paths and apartment with it (nothing is left to write).
    if (!AnyWorkerGivenUp()) CoUninitialize();
    return FAILED(hr) ? 1 : 0;
}
