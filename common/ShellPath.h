#pragma once
// shlwapi's path functions under the platform's names. shlwapi is not on every list of known
// system DLLs the installer's Windows keep (XP's lacks it), so it is not imported: each call
// takes it from the system folder (LoadSystemLibrary). Each answers as the platform's function
// does, and false where shlwapi or the function cannot be had (PathStripPathW, which answers
// nothing, then leaves the path as it was).
#include <windows.h>

namespace ShellPath {

[[nodiscard]] bool PathAppendW(LPWSTR path, LPCWSTR more);
[[nodiscard]] bool PathAddExtensionW(LPWSTR path, LPCWSTR extension);
[[nodiscard]] bool PathMatchSpecW(LPCWSTR file, LPCWSTR pattern);
[[nodiscard]] bool PathStripPathW(LPWSTR path);

}  // namespace ShellPath
