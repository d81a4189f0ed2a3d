#pragma once
// Builds order records byte by byte for the tests, and walks them independently of the
// product code.
#include <windows.h>

#include <string>
#include <vector>

struct TestEntry {
    std::wstring name;  // stored as UTF-16 when wide, else as its low bytes (ASCII/Latin-1)
    bool wide = true;
    LONG position = 0;
    std::vector<BYTE> trailing = {0x00, 0x00, 0x1f, 0x00};  // bytes after the name
};

// headerSize 8, version 2, dataSize, reserved, entryCount, then the entries.
std::vector<BYTE> BuildRecord(const std::vector<TestEntry>& entries, DWORD reserved = 1);

DWORD GetField(const std::vector<BYTE>& bytes, size_t offset);
void SetField(std::vector<BYTE>* bytes, size_t offset, DWORD value);

// Offsets of the entries a careful walk accepts: each wholly inside the bytes and holding
// its name's terminator, stopping at the first that is not, or after entryCount.
std::vector<DWORD> WellFormedEntryOffsets(const BYTE* bytes, size_t size);

// The position of each accepted entry, in stored order.
std::vector<LONG> EntryPositions(const std::vector<BYTE>& bytes);
