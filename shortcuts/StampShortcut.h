#pragma once
#include <windows.h>
#include <objbase.h>

inline constexpr PROPID kPidIntSiteTitle = 16;    // PID_INTSITE_TITLE
inline constexpr PROPID kPidIntSiteLastMod = 5;   // PID_INTSITE_LASTMOD

// Records the title (under propertyId) and the current time in the shortcut's site
// property set through the system's Internet Shortcut class.
[[nodiscard]] HRESULT StampShortcut(const wchar_t* path, PROPID propertyId, const wchar_t* title);
