#pragma once
// Builds order records byte by byte for the tests and walks them independently of the
// product code; holds the order key for tests that store records.
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

// The result of opening the key under HKEY_CURRENT_USER; a key opened is closed again.
LONG OpenKeyResult(const wchar_t* path, REGSAM access);

// Short (8.3) file name of an existing file, as the file system gives it; empty on failure.
std::wstring ShortFileName(const std::wstring& path);

// The order record of an earlier install: another button and the two shortcuts by their
// short names, at the positions given (other, view, save); the other's name wide or not.
std::vector<BYTE> OtherViewSaveRecord(const std::wstring& view, const std::wstring& save,
                                      const std::vector<LONG>& positions, bool otherWide = true);

// Where the shell keeps the Links toolbar's order record (HKEY_CURRENT_USER), and its value.
inline constexpr wchar_t kOrderKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\Favorites\\Links";
inline constexpr wchar_t kOrderValueName[] = L"Order";

// The Links order key of the test's prefix. Open creates it when needed and sets aside an
// Order value found there; Restore deletes what the test stored, puts that value back and
// removes every key Open created.
class TestOrderKey {
public:
    TestOrderKey() = default;
    ~TestOrderKey() { (void)Restore(); }
    TestOrderKey(const TestOrderKey&) = delete;
    TestOrderKey& operator=(const TestOrderKey&) = delete;

    bool Open();
    // False when something could not be put back or removed.
    bool Restore();
    // Closes the handle and deletes the key itself; false when Open did not create it.
    bool DeleteKey();

    HKEY handle() const { return key_; }
    bool Write(const std::vector<BYTE>& bytes, DWORD type = REG_BINARY);
    // False when there is no Order value.
    bool Read(std::vector<BYTE>* bytes, DWORD* type = nullptr) const;

private:
    HKEY key_ = nullptr;
    std::wstring createdRoot_;  // first key on the path that Open created
    bool hadOrder_ = false;
    DWORD savedType_ = 0;
    std::vector<BYTE> savedOrder_;
};
