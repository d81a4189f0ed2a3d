#pragma once
#include <windows.h>

// The shell's stored order of the Links toolbar's buttons, as one block of bytes. The block
// is used in place; size is its length in bytes.
//
// Layout (little-endian, fields may be unaligned):
//   0 headerSize (8)   4 version (2)   8 dataSize (size - 8)   12 reserved   16 entryCount
//   20 entries, each: 0 entrySize   4 position (signed)   10 itemFlags   22 name, terminated
//      (UTF-16 when itemFlags has kMenuOrderNameIsWide, else the thread's ANSI code page)
//
// The walk over the entries stops at the first entry that does not lie wholly inside the
// block or whose name's terminator is not inside the entry (an entrySize of 0 or too small
// for the name, one that runs past the block's end, a UTF-16 name with no whole zero unit
// before the entry's end, an entryCount beyond the entries present): the entries before it
// are used, it and everything after it are neither read nor written.
struct MenuOrderRecord {
    BYTE* bytes;
    DWORD size;
};

// An entry of the record: its offset from the start of the block.
struct MenuOrderEntry {
    DWORD offset;
};

// The layout above, every offset from the start of its header or entry.
inline constexpr DWORD kMenuOrderHeaderSizeOffset = 0;
inline constexpr DWORD kMenuOrderVersionOffset = 4;
inline constexpr DWORD kMenuOrderDataSizeOffset = 8;
inline constexpr DWORD kMenuOrderReservedOffset = 12;
inline constexpr DWORD kMenuOrderEntryCountOffset = 16;
inline constexpr DWORD kMenuOrderHeaderSize = 20;
inline constexpr DWORD kMenuOrderEntrySizeOffset = 0;
inline constexpr DWORD kMenuOrderEntryPositionOffset = 4;
inline constexpr DWORD kMenuOrderEntryFlagsOffset = 10;
inline constexpr DWORD kMenuOrderEntryNameOffset = 22;
// The values a record's header holds: headerSize, version; dataSize counts every byte after
// the first headerSize bytes.
inline constexpr DWORD kMenuOrderHeaderSizeField = 8;
inline constexpr DWORD kMenuOrderVersion = 2;
inline constexpr BYTE kMenuOrderNameIsWide = 0x04;

// The dataSize a block of size bytes must hold.
inline constexpr DWORD MenuOrderDataSize(DWORD size) { return size - kMenuOrderHeaderSizeField; }

// Little-endian 32-bit field at p, read or written byte by byte.
inline DWORD ReadMenuOrderField(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}
inline void WriteMenuOrderField(BYTE* p, DWORD value) {
    p[0] = static_cast<BYTE>(value);
    p[1] = static_cast<BYTE>(value >> 8);
    p[2] = static_cast<BYTE>(value >> 16);
    p[3] = static_cast<BYTE>(value >> 24);
}

// First entry, in stored order, whose name equals fileName without regard to case (under
// the user's locale). False when none matches; then *entry is unchanged.
[[nodiscard]] bool FindMenuOrderEntry(const MenuOrderRecord* record, const wchar_t* fileName,
                                      MenuOrderEntry* entry);

// Moves the entry to newPosition and adds 1 to the position of every other entry at or
// behind newPosition (signed comparison, 32-bit wrap-around); other positions keep their
// values, gaps stay. True when the record changed; false, with nothing changed, when the
// entry already stands at newPosition or is not an entry of the record's walk.
[[nodiscard]] bool MoveMenuOrderEntry(MenuOrderRecord* record, const MenuOrderEntry* entry,
                                      LONG newPosition);
