#include "shortcuts/LinkPaths.h"

#include <shlobj.h>
#include <shlwapi.h>

#include "registry/RegistryKey.h"

LinkPathBuffers LinkPaths;

namespace {

constexpr wchar_t kToolbarKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kLinksFolderNameValue[] = L"LinksFolderName";
constexpr wchar_t kDefaultLinksFolderName[] = L"Links";

void SetDefaultFolderName(wchar_t* name) {
    for (UINT i = 0; i < MAX_PATH; ++i) name[i] = 0;
    lstrcpyW(name, kDefaultLinksFolderName);
}

wchar_t* AllocatePath() {
    auto* path = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, MAX_PATH * sizeof(wchar_t)));
    if (path) path[0] = L'\0';
    return path;
}

// folder + "\" + name + extension into path. A path that would not fit is refused rather
// than cut short: a shortcut must never land at a truncated name.
[[nodiscard]] HRESULT BuildShortcutPath(wchar_t* path, const wchar_t* folder, const wchar_t* name,
                                        const wchar_t* extension) {
    int folderLength = lstrlenW(folder);
    int separator = (folderLength > 0 && folder[folderLength - 1] == L'\\') ? 0 : 1;
    if (folderLength + separator + lstrlenW(name) + lstrlenW(extension) >= MAX_PATH) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    path[0] = L'\0';
    if (!PathAppendW(path, folder) || !PathAppendW(path, name) || !PathAddExtensionW(path, extension)) {
        path[0] = L'\0';
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    return S_OK;
}

}  // namespace

HRESULT ResolveLinkPaths() {
    FreeLinkPaths();

    wchar_t folderName[MAX_PATH];
    SetDefaultFolderName(folderName);

    RegistryKey toolbar;
    if (toolbar.OpenKey(HKEY_CURRENT_USER, kToolbarKey, KEY_READ) == ERROR_SUCCESS) {
        DWORD count = MAX_PATH;
        // A refused read may still have filled the buffer, so the default is put back.
        if (toolbar.ReadString(kLinksFolderNameValue, folderName, &count) != ERROR_SUCCESS) {
            SetDefaultFolderName(folderName);
        }
    }

    HRESULT result = E_OUTOFMEMORY;
    LinkPaths.folder = AllocatePath();
    if (LinkPaths.folder) {
        result = SHGetFolderPathAndSubDirW(nullptr, CSIDL_FAVORITES, nullptr, SHGFP_TYPE_CURRENT,
                                           folderName, LinkPaths.folder);
        // The named folder is missing: fall back to (and create) Favorites\Links.
        if (result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
            result = SHGetFolderPathAndSubDirW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr,
                                               SHGFP_TYPE_CURRENT, kDefaultLinksFolderName,
                                               LinkPaths.folder);
        }
    }
    (void)toolbar.CloseKey();
    if (FAILED(result)) return result;

    LinkPaths.view = AllocatePath();
    LinkPaths.save = AllocatePath();
    if (!LinkPaths.view || !LinkPaths.save) return E_OUTOFMEMORY;

    HRESULT built = BuildShortcutPath(LinkPaths.view, LinkPaths.folder, kViewShortcutName, kShortcutExtension);
    if (FAILED(built)) return built;
    built = BuildShortcutPath(LinkPaths.save, LinkPaths.folder, kSaveShortcutName, kShortcutExtension);
    if (FAILED(built)) return built;
    return result;
}

void FreeLinkPaths() {
    static wchar_t** const paths[] = {&LinkPaths.folder, &LinkPaths.view, &LinkPaths.save};
    for (wchar_t** path : paths) {
        if (*path) HeapFree(GetProcessHeap(), 0, *path);
        *path = nullptr;
    }
}
