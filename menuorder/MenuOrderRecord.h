#pragma once
#include <windows.h>

// The shell's stored order of the Links toolbar's buttons, as one block of bytes. The block
// is used in place; size is its length in bytes.
struct MenuOrderRecord {
    BYTE* bytes;
    DWORD size;
};

// An entry of the record: its offset from the start of the block.
struct MenuOrderEntry {
    DWORD offset;
};

inline constexpr DWORD kMenuOrderHeaderSize = 20;

// First entry, in stored order, whose name equals fileName without regard to case.
[[nodiscard]] bool FindMenuOrderEntry(const MenuOrderRecord* record, const wchar_t* fileName,
                                      MenuOrderEntry* entry);

// Moves the entry to newPosition and shifts every other entry at or behind it back by one.
// True when the record changed.
[[nodiscard]] bool MoveMenuOrderEntry(MenuOrderRecord* record, const MenuOrderEntry* entry,
                                      LONG newPosition);
