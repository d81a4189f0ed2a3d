#include "common/ShellPath.h"

#include <shlwapi.h>

#include "common/SystemLibrary.h"

namespace {

// shlwapi's function of that name, as the type the platform declares it with; null when
// shlwapi or the function cannot be had. shlwapi stays loaded: shell32 uses it too.
template <typename Function>
Function ShellPathFunction(const char* name) {
    HMODULE shlwapi = LoadSystemLibrary(L"shlwapi.dll");
    return shlwapi ? AsFunction<Function>(GetProcAddress(shlwapi, name)) : nullptr;
}

}  // namespace

bool ShellPath::PathAppendW(LPWSTR path, LPCWSTR more) {
    auto append = ShellPathFunction<decltype(&::PathAppendW)>("PathAppendW");
    return append && append(path, more);
}

bool ShellPath::PathAddExtensionW(LPWSTR path, LPCWSTR extension) {
    auto addExtension = ShellPathFunction<decltype(&::PathAddExtensionW)>("PathAddExtensionW");
    return addExtension && addExtension(path, extension);
}

bool ShellPath::PathMatchSpecW(LPCWSTR file, LPCWSTR pattern) {
    auto matchPattern = ShellPathFunction<decltype(&::PathMatchSpecW)>("PathMatchSpecW");
    return matchPattern && matchPattern(file, pattern);
}

bool ShellPath::PathStripPathW(LPWSTR path) {
    auto stripPath = ShellPathFunction<decltype(&::PathStripPathW)>("PathStripPathW");
    if (!stripPath) return false;
    stripPath(path);
    return true;
}
