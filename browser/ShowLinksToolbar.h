#pragma once
#include <windows.h>

// Shows (or hides) the Links toolbar in every open browser window, then in a new hidden
// browser instance that is released again. The result is the new instance's.
[[nodiscard]] HRESULT ShowLinksToolbar(bool show);
