#pragma once
#include <windows.h>

// Moves the save shortcut to the first and the view shortcut to the second place of the
// Links toolbar's stored order. Always S_OK: a missing or unreadable order changes nothing.
HRESULT PlaceShortcutsFirst(const wchar_t* savePath, const wchar_t* viewPath);

// Tells the shell that the order of the folder's items changed.
void NotifyOrderChanged(const wchar_t* folderPath);
