#pragma once
#include <windows.h>

// Resource type and names of the two shortcut documents.
inline constexpr WORD kShortcutTemplateType = 100;
inline constexpr WORD kViewShortcutTemplate = 101;
inline constexpr WORD kSaveShortcutTemplate = 102;

// Puts the template's bytes at targetPath through a temporary file that is moved over the
// target in one step; until then the target is not touched.
[[nodiscard]] HRESULT WriteShortcutFile(const wchar_t* targetPath, WORD templateId);
