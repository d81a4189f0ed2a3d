#pragma once
#include <windows.h>

// Writes the template to path and stamps it. Only the write decides the result.
[[nodiscard]] HRESULT InstallShortcut(const wchar_t* path, WORD templateId, const wchar_t* title);
