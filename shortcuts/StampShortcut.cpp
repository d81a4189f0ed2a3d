#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <intshcut.h>

#include "common/ComHolders.h"
#include "shortcuts/HeldFile.h"
#include "shortcuts/StampShortcut.h"

namespace {
constexpr DWORD kShortcutOpenMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x12
}  // namespace

HRESULT StampShortcut(const wchar_t* path, PROPID propertyId, const wchar_t* title) {
    // Declared in the order of acquisition so that they are released in reverse.
    ComPtr<IUniformResourceLocatorW> shortcut;
    ComPtr<IPropertySetStorage> propertySets;
    ComPtr<IPersistFile> file;
    ComPtr<IPropertyStorage> siteProperties;

    HRESULT hr = CreateInto(CLSID_InternetShortcut, CLSCTX_ALL, IID_IUniformResourceLocatorW, &shortcut);
    if (FAILED(hr)) return hr;
    hr = QueryInto(shortcut.Get(), IID_IPropertySetStorage, &propertySets);
    if (FAILED(hr)) return hr;
    hr = QueryInto(shortcut.Get(), IID_IPersistFile, &file);
    if (FAILED(hr)) return hr;

    // Opened exclusively, right after the rename, which a scanner may be reading.
    hr = RetryWhileHeld([&] { return file->Load(path, kShortcutOpenMode); }, IsHeldByAnother);
    if (FAILED(hr)) return hr;

    // Setting the URL again with protocol guessing normalises what the template holds.
    {
        UniqueTaskMemory<wchar_t> url;
        if (SUCCEEDED(shortcut->GetURL(url.Put())) && url.Get()) {
            (void)shortcut->SetURL(url.Get(), IURL_SETURL_FL_GUESS_PROTOCOL);
        }
    }

    hr = CheckedInto(propertySets->Open(FMTID_InternetSite, kShortcutOpenMode, siteProperties.Put()),
                     &siteProperties);
    if (FAILED(hr)) return hr;

    PROPSPEC specs[2] = {};
    specs[0].ulKind = PRSPEC_PROPID;
    specs[0].propid = propertyId;
    specs[1].ulKind = PRSPEC_PROPID;
    specs[1].propid = kPidIntSiteLastMod;

    SYSTEMTIME now;
    GetSystemTime(&now);
    PROPVARIANT values[2] = {};
    // The caller's title is referenced, not copied, for the length of the call.
    values[0].vt = VT_LPWSTR;
    values[0].pwszVal = const_cast<wchar_t*>(title);
    values[1].vt = VT_FILETIME;
    if (!SystemTimeToFileTime(&now, &values[1].filetime)) return LastErrorResult();

    hr = siteProperties->WriteMultiple(2, specs, values, 0);
    if (FAILED(hr)) return hr;

    (void)siteProperties->Commit(STGC_OVERWRITE);
    return file->Save(path, TRUE);
}
