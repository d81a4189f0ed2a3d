#pragma once
#include <windows.h>

inline constexpr wchar_t kMessageCaption[] = L"Brivok Internet Explorer Buttons";
inline constexpr wchar_t kMessageFatal[] = L"Fatal.";

// Shows one modal message box and returns when the user closes it. A failing status gets
// the error icon and the system's text for the code after a line break; any other status
// the information icon and the text alone. No text shows "Fatal.".
void ReportResult(const wchar_t* text, HRESULT status);
