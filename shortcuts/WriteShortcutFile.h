#pragma once
#include <windows.h>

#include "shortcuts/ShortcutTable.h"

// Puts the template's bytes (type 100 in the executable's own module) at targetPath
// through a temporary file in the user's temporary folder, renamed over the target in one
// step; until then the target is not touched. When the target is on another volume, the
// file is first copied to a hidden name of its own beside the target and renamed from
// there, so a copy that fails part way (a full disk) leaves the target whole. The temporary
// file's open and a replace refused because another process holds the file (a scanner, a
// second installer) are tried again for about a second.
// A failed or short write or flush is never moved: the temporary file is deleted and the
// error returned (a short write with no error code as HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)).
// A temporary folder whose path leaves no room for the file name is refused with
// ERROR_FILENAME_EXCED_RANGE. Every failure is an HRESULT; after a failure no file of this
// call is left behind, and after a success no name it used is touched again.
[[nodiscard]] HRESULT WriteShortcutFile(const wchar_t* targetPath, WORD templateId);
