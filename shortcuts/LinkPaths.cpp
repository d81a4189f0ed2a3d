#include "shortcuts/LinkPaths.h"

#include <shlobj.h>

#include "common/Holders.h"
#include "common/ShellPath.h"
#include "registry/RegistryKey.h"
#include "shortcuts/ShortcutTable.h"

LinkPathBuffers LinkPaths;

namespace {

constexpr wchar_t kToolbarKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kLinksFolderNameValue[] = L"LinksFolderName";
constexpr wchar_t kDefaultLinksFolderName[] = L"Links";

void SetDefaultFolderName(wchar_t* name) { lstrcpynW(name, kDefaultLinksFolderName, MAX_PATH); }

// The names the system keeps for devices, in any case and whatever extension follows; COM
// and LPT with a digit, 0 and the superscripts 1 to 3 included.
constexpr char kDevices[][4] = {"CON", "PRN", "AUX", "NUL"};
constexpr char kNumberedDevices[][4] = {"COM", "LPT"};

bool IsDeviceNumber(wchar_t c) { return (c >= L'0' && c <= L'9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

// True when name starts with the three letters of device, in any case. Clearing bit 5
// makes a lower-case ASCII letter upper case, and makes no other character one.
bool SpellsDevice(const wchar_t* name, const char* device) {
    for (int i = 0; i < 3; ++i)
        if ((name[i] & ~0x20) != device[i]) return false;
    return true;
}

// Only one plain folder name may stand in for "Links": a value holding a path, a share or a
// drive, "." or "..", or naming a device would put the shortcuts (or a connection with the
// user's credentials) somewhere else entirely; one holding a character no file name may hold
// would fail the lookup where Favorites\Links would do. So would one ending in a space or a
// dot: Windows drops those from a path's last part, so the lookup finds another folder than
// the name in the middle of the shortcut's path, which keeps them.
bool IsPlainFolderName(const wchar_t* name) {
    static const char kNotInAName[] = "\\/:<>\"|?*";
    const wchar_t* base = name;
    for (const wchar_t* c = name; *c; ++c) {
        if (*c < L' ') return false;
        for (const char* refused = kNotInAName; *refused; ++refused)
            if (*c == static_cast<wchar_t>(*refused)) return false;
        if ((*c == L' ' || *c == L'.') && !c[1]) return false;
    }
    // A device is named by what stands before the first dot, trailing spaces left out.
    while (*base && *base != L'.') ++base;
    while (base > name && base[-1] == L' ') --base;
    const INT_PTR length = base - name;
    if (length == 3) {
        for (const char* device : kDevices)
            if (SpellsDevice(name, device)) return false;
    }
    if (length == 4 && IsDeviceNumber(name[3])) {
        for (const char* device : kNumberedDevices)
            if (SpellsDevice(name, device)) return false;
    }
    return true;
}

wchar_t* AllocatePath() {
    wchar_t* path = AllocateHeapBlock<wchar_t>(MAX_PATH * sizeof(wchar_t));
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
    if (!ShellPath::PathAppendW(path, folder) || !ShellPath::PathAppendW(path, name) ||
        !ShellPath::PathAddExtensionW(path, extension)) {
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
        if (toolbar.ReadString(kLinksFolderNameValue, folderName, &count) != ERROR_SUCCESS ||
            !IsPlainFolderName(folderName)) {
            SetDefaultFolderName(folderName);
        }
    }

    HRESULT result = E_OUTOFMEMORY;
    LinkPaths.folder = AllocatePath();
    if (LinkPaths.folder) {
        result = SHGetFolderPathAndSubDirW(nullptr, CSIDL_FAVORITES, nullptr, SHGFP_TYPE_CURRENT,
                                           folderName, LinkPaths.folder);
        // The named folder (or Favorites itself) is missing: fall back to (and create)
        // Favorites\Links. Shells say so with path not found, file not found or E_FAIL.
        if (result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
            result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || result == E_FAIL) {
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

    HRESULT built = BuildShortcutPath(LinkPaths.view, LinkPaths.folder, kViewShortcut.name, kShortcutExtension);
    if (FAILED(built)) return built;
    built = BuildShortcutPath(LinkPaths.save, LinkPaths.folder, kSaveShortcut.name, kShortcutExtension);
    if (FAILED(built)) return built;
    return result;
}

void FreeLinkPaths() {
    static wchar_t** const paths[] = {&LinkPaths.folder, &LinkPaths.view, &LinkPaths.save};
    for (wchar_t** path : paths) UniqueHeapBlock<wchar_t> owned(std::exchange(*path, nullptr));
}
