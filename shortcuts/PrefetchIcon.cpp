#include "shortcuts/PrefetchIcon.h"

#include <shlobj.h>
#include <urlmon.h>

namespace {

// urlmon is not a KnownDLL: a static import, or a plain LoadLibraryW, would take a copy
// planted beside the installer (for example in a downloads folder) ahead of the system one.
class ModuleHolder {
public:
    ModuleHolder() = default;
    ~ModuleHolder() {
        if (module_) FreeLibrary(module_);
    }
    ModuleHolder(const ModuleHolder&) = delete;
    ModuleHolder& operator=(const ModuleHolder&) = delete;

    HMODULE Get() const { return module_; }
    void Reset(HMODULE module) {
        if (module_) FreeLibrary(module_);
        module_ = module;
    }

private:
    HMODULE module_ = nullptr;
};

using DownloadToCacheFileProc = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPWSTR, DWORD, DWORD,
                                                 LPBINDSTATUSCALLBACK);

constexpr wchar_t kUrlMonitorName[] = L"urlmon.dll";

// Loads urlmon from the system folder only. Systems without the restricted search flags
// reject them with ERROR_INVALID_PARAMETER; there the full path does the same job, and
// the altered search order resolves urlmon's own imports from the system folder too.
HMODULE LoadSystemUrlMonitor() {
    HMODULE module = LoadLibraryExW(kUrlMonitorName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;

    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    const UINT nameLength = sizeof(kUrlMonitorName) / sizeof(kUrlMonitorName[0]);  // with NUL
    if (length == 0 || length + 1 + nameLength > MAX_PATH) return nullptr;
    if (path[length - 1] != L'\\') path[length++] = L'\\';
    for (UINT i = 0; i < nameLength; ++i) path[length + i] = kUrlMonitorName[i];
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

void PrefetchIcon(const wchar_t* url) {
    wchar_t cachePath[MAX_PATH] = {};

    ModuleHolder urlMonitor;
    urlMonitor.Reset(LoadSystemUrlMonitor());
    if (!urlMonitor.Get()) return;  // as silent as a failed download
    FARPROC entry = GetProcAddress(urlMonitor.Get(), "URLDownloadToCacheFileW");
    if (!entry) return;
    auto download = reinterpret_cast<DownloadToCacheFileProc>(reinterpret_cast<void*>(entry));

    HRESULT hr = download(nullptr, url, cachePath, MAX_PATH, 0, nullptr);
    if (SUCCEEDED(hr)) SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW | SHCNF_FLUSH, cachePath, nullptr);
}
