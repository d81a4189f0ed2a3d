#include "shortcuts/InstallShortcut.h"

#include "shortcuts/StampShortcut.h"
#include "shortcuts/WriteShortcutFile.h"

HRESULT InstallShortcut(const wchar_t* path, WORD templateId, const wchar_t* title) {
    HRESULT hr = WriteShortcutFile(path, templateId);
    // The properties are a refinement: a shortcut that could not be stamped still works.
    if (SUCCEEDED(hr)) (void)StampShortcut(path, kPidIntSiteTitle, title);
    return hr;
}
