#pragma once
#include <windows.h>

#include "common/Holders.h"
#include "menuorder/MenuOrderRecord.h"

// Where the shell keeps the Links toolbar's order, under HKEY_CURRENT_USER.
inline constexpr wchar_t kMenuOrderKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Favorites\\Links";
inline constexpr wchar_t kMenuOrderValueName[] = L"Order";

// The stored order as loaded: a process-heap block of exactly the stored size, freed when
// the owner goes, and the record over it.
struct StoredMenuOrder {
    UniqueHeapBlock<BYTE> block;
    MenuOrderRecord record{nullptr, 0};
};

// Loads the stored order into order. A missing value, one that is not binary or one under
// 20 bytes gives a new empty record. False (order unchanged) when the key cannot be opened,
// memory runs out, or the stored header or dataSize is wrong.
[[nodiscard]] bool LoadMenuOrder(StoredMenuOrder* order);

// Writes the record back and flushes the key. Silent on failure; a record whose dataSize
// does not match its length is not written.
void SaveMenuOrder(const MenuOrderRecord* record);

// Moves the entry of the file at shortcutPath, found by its short name, to position. True
// when the record changed; false when the file has no short name or is not listed.
[[nodiscard]] bool SetShortcutPosition(MenuOrderRecord* record, const wchar_t* shortcutPath,
                                       LONG position);

// Moves the save shortcut to the first and the view shortcut to the second place of the
// Links toolbar's stored order, and stores it when anything moved. Always S_OK: a missing
// or unreadable order changes nothing.
HRESULT PlaceShortcutsFirst(const wchar_t* savePath, const wchar_t* viewPath);

// Tells the shell that the order of the folder's items changed, waiting for it as long as
// for any call on the shell. False when the shell did not take it in time: it is hung, and
// the caller sends it nothing more.
[[nodiscard]] bool NotifyOrderChanged(const wchar_t* folderPath);
