#pragma once
#include <windows.h>

// Shows (or hides) the Links toolbar in every open browser window, then in a new hidden
// browser instance that is released again. The result is the new instance's. Each wait on
// the shell or a browser is bounded; a part that does not answer in time is given up
// (HRESULT_FROM_WIN32(ERROR_TIMEOUT) when it is the new instance).
[[nodiscard]] HRESULT ShowLinksToolbar(bool show);
