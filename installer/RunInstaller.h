#pragma once
#include <windows.h>

inline constexpr wchar_t kMessageCoInitialize[] = L"CoInitialize";
inline constexpr wchar_t kMessageLinksPathNotFound[] = L"Links path not found.";
inline constexpr wchar_t kMessageCreateFailed[] = L"Failed to create Brivok links.";
inline constexpr wchar_t kMessageInstalled[] = L"BriVok links installed.";

// The whole installation in one pass; shows one message box and returns the exit code:
// 1 when the installation failed, 0 when it succeeded. The arguments are not used.
int RunInstaller(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
