// RegistryKey against the prefix's real registry, under a scratch key removed again; first
// the holder it is built on, the one every resource of the installer has.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "registry/RegistryKey.h"
#include "tests/support/RawRegistryValue.h"

namespace {

// A resource whose release counts itself and changes the last error, as a close may.
struct CountedReleaseTraits {
    using Type = int*;
    static constexpr int* kNone = nullptr;
    static bool IsValid(int* releases) { return releases != nullptr; }
    static void Release(int* releases) {
        ++*releases;
        SetLastError(ERROR_INVALID_HANDLE);
    }
};
using CountedHolder = UniqueAny<CountedReleaseTraits>;

TEST(UniqueAny, MovesReleasesOnceAndKeepsTheLastError) {
    int first = 0;
    int second = 0;
    {
        CountedHolder moved(&first);
        CountedHolder taken(std::move(moved));
        EXPECT_FALSE(moved);
        EXPECT_EQ(moved.Get(), nullptr);
        CountedHolder assigned(&second);
        assigned = std::move(taken);  // releases what it held, once
        EXPECT_FALSE(taken);
        EXPECT_EQ(second, 1);
        EXPECT_EQ(first, 0);
        SetLastError(0xdeadbeef);
    }
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(first, 1) << "released when the holder that took it went, and only then";
    EXPECT_EQ(second, 1);

    CountedHolder holder(&first);
    SetLastError(0xdeadbeef);
    holder.Reset(&second);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(holder.Release(), &second) << "handed over without a release";
    EXPECT_FALSE(holder);
    EXPECT_EQ(second, 1);

    // A kernel handle: INVALID_HANDLE_VALUE is none; a real one is closed when its holder goes.
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
    HANDLE event;
    {
        UniqueHandle held(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        ASSERT_TRUE(held);
        event = held.Get();
    }
    DWORD flags = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetHandleInformation(event, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

constexpr wchar_t kScratch[] = L"Software\\BrivokTest\\RegistryKey";
constexpr wchar_t kScratchOther[] = L"Software\\BrivokTest\\RegistryKey\\Other";

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratchOther, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &other_, nullptr), ERROR_SUCCESS);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &scratch_, nullptr), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (other_) RegCloseKey(other_);
        if (scratch_) RegCloseKey(scratch_);
        EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\BrivokTest"), ERROR_SUCCESS);
    }

    void SetRaw(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(SetRawValue(key, name, type, data, bytes), ERROR_SUCCESS);
    }

    // The key holder reads its Where value, then closes.
    static void ExpectWhere(RegistryKey* key, const wchar_t* expected) {
        wchar_t text[16];
        DWORD count = 16;
        EXPECT_EQ(key->ReadString(L"Where", text, &count), ERROR_SUCCESS);
        EXPECT_STREQ(text, expected);
        EXPECT_EQ(key->CloseKey(), ERROR_SUCCESS);
    }

    HKEY scratch_ = nullptr;
    HKEY other_ = nullptr;
};

TEST_F(RegistryKeyTest, OpenAndClose) {
    RegistryKey key;
    EXPECT_EQ(key.Get(), nullptr);
    EXPECT_EQ(key.view(), 0u);
    EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS) << "closing an empty holder";

    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
    EXPECT_NE(key.Get(), nullptr);
    EXPECT_EQ(key.view(), static_cast<REGSAM>(KEY_WOW64_64KEY)) << std::hex << key.view();

    EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS);
    EXPECT_EQ(key.Get(), nullptr);
    EXPECT_EQ(key.view(), 0u);
    EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS) << "closing twice";
}

TEST_F(RegistryKeyTest, SecondOpenClosesTheFirst) {
    SetRaw(scratch_, L"Where", REG_SZ, L"first", 12);
    SetRaw(other_, L"Where", REG_SZ, L"second", 14);

    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, KEY_READ | KEY_WOW64_32KEY), ERROR_SUCCESS);
    HKEY first = key.Get();
    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratchOther, KEY_READ), ERROR_SUCCESS);
    EXPECT_NE(key.Get(), first);
    EXPECT_EQ(key.view(), 0u) << std::hex << key.view();

    DWORD type = 0xdeadbeef, bytes = 0;
    EXPECT_EQ(RegQueryValueExW(first, L"Where", nullptr, &type, nullptr, &bytes), ERROR_INVALID_HANDLE)
        << "the first key is still open";

    ExpectWhere(&key, L"second");
}

TEST_F(RegistryKeyTest, FailedOpenKeepsTheKey) {
    SetRaw(scratch_, L"Where", REG_SZ, L"first", 12);

    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
    HKEY first = key.Get();
    EXPECT_EQ(key.OpenKey(HKEY_CURRENT_USER, L"Software\\BrivokTest\\Missing", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Get(), first);
    EXPECT_EQ(key.view(), static_cast<REGSAM>(KEY_WOW64_64KEY)) << std::hex << key.view();

    ExpectWhere(&key, L"first");
}

TEST_F(RegistryKeyTest, ReadString) {
    SetRaw(scratch_, L"Plain", REG_SZ, L"Liens", 12);
    SetRaw(scratch_, L"Expand", REG_EXPAND_SZ, L"%TEMP%\\x", 18);
    SetRaw(scratch_, L"Empty", REG_SZ, L"", 0);
    SetRaw(scratch_, L"NoTerminator", REG_SZ, L"Liens", 10);
    SetRaw(scratch_, L"Odd", REG_SZ, L"Liens", 11);
    SetRaw(scratch_, L"OneByte", REG_SZ, L"L", 1);  // less than one character
    // The last whole character is a terminator; only the odd byte count is wrong.
    SetRaw(scratch_, L"OddPastTerminator", REG_SZ, L"Liens\0X", 13);
    DWORD number = 7;
    SetRaw(scratch_, L"Number", REG_DWORD, &number, sizeof(number));
    BYTE blob[] = {'L', 0, 0, 0};
    SetRaw(scratch_, L"Blob", REG_BINARY, blob, sizeof(blob));

    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, KEY_READ), ERROR_SUCCESS);
    // The buffer goes on past the capacity given: what lies there must stay untouched, and
    // the reader may not take it for a terminator.
    const wchar_t kGuard = 0xdead;
    wchar_t text[24];
    DWORD count;
    auto read = [&](const wchar_t* name, DWORD capacity) {
        std::fill(std::begin(text), std::end(text), kGuard);
        count = capacity;
        LONG result = key.ReadString(name, text, &count);
        EXPECT_EQ(std::wstring(text + capacity, std::end(text)), std::wstring(std::end(text) - text - capacity, kGuard))
            << "written past the capacity";
        return result;
    };

    // Exactly fits: five characters and the terminator in six; the empty value's terminator in one.
    struct Read { const wchar_t* name; DWORD capacity; DWORD count; const wchar_t* text; };
    for (const Read& c : {Read{L"Plain", 16, 6, L"Liens"}, Read{L"Expand", 16, 9, L"%TEMP%\\x"},  // taken as stored
                          Read{L"Empty", 16, 0, L""}, Read{L"Plain", 6, 6, L"Liens"}, Read{L"Empty", 1, 0, L""}}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)) + " in " + std::to_string(c.capacity));
        EXPECT_EQ(read(c.name, c.capacity), ERROR_SUCCESS);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(std::wstring(text, c.count ? c.count - 1 : 0), c.text);
        EXPECT_EQ(text[c.count ? c.count - 1 : 0], L'\0') << "no terminator";
    }

    // "NoTerminator" in 5 fills the buffer exactly with no room for the terminator.
    struct Refused { const wchar_t* name; DWORD capacity; LONG expected; };
    for (const Refused& c : {Refused{L"NoTerminator", 16, ERROR_INVALID_DATA}, Refused{L"NoTerminator", 5, ERROR_INVALID_DATA},
                             Refused{L"Odd", 16, ERROR_INVALID_DATA}, Refused{L"OneByte", 16, ERROR_INVALID_DATA},
                             Refused{L"OddPastTerminator", 16, ERROR_INVALID_DATA}, Refused{L"Number", 16, ERROR_INVALID_DATA},
                             Refused{L"Blob", 16, ERROR_INVALID_DATA}, Refused{L"Plain", 5, ERROR_MORE_DATA},
                             Refused{L"Missing", 16, ERROR_FILE_NOT_FOUND}}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)) + " in " + std::to_string(c.capacity));
        EXPECT_EQ(read(c.name, c.capacity), c.expected);
        EXPECT_EQ(count, 0u);
    }

    // Without a buffer only the size is reported.
    count = 0;
    EXPECT_EQ(key.ReadString(L"Plain", nullptr, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 6u);
    count = 0;
    EXPECT_EQ(key.ReadString(L"Number", nullptr, &count), ERROR_INVALID_DATA);
    EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS);
}

TEST_F(RegistryKeyTest, ReadBinary) {
    const BYTE blob[] = {8, 0, 0, 0, 0xde, 0xad, 0xbe, 0xef, 0};
    SetRaw(scratch_, L"Order", REG_BINARY, blob, sizeof(blob));
    SetRaw(scratch_, L"Text", REG_SZ, L"Liens", 12);
    DWORD number = 7;
    SetRaw(scratch_, L"Number", REG_DWORD, &number, sizeof(number));

    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, kScratch, KEY_READ), ERROR_SUCCESS);

    DWORD size = 0xdeadbeef;
    EXPECT_EQ(key.ReadBinary(L"Order", nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof(blob));

    // In a buffer that goes on past the size given, the bytes past the size stay untouched:
    // the whole buffer, the value exactly, one byte short, four short.
    BYTE buffer[32];
    for (DWORD given : {DWORD(sizeof(buffer)), DWORD(sizeof(blob)), DWORD(sizeof(blob) - 1), 4ul}) {
        memset(buffer, 0xcc, sizeof(buffer));
        size = given;
        EXPECT_EQ(key.ReadBinary(L"Order", buffer, &size), given < sizeof(blob) ? ERROR_MORE_DATA : ERROR_SUCCESS) << given;
        EXPECT_EQ(size, sizeof(blob)) << given;
        if (given >= sizeof(blob)) EXPECT_EQ(memcmp(buffer, blob, sizeof(blob)), 0) << given;
        for (size_t i = std::min<size_t>(given, sizeof(blob)); i < sizeof(buffer); ++i)
            ASSERT_EQ(buffer[i], 0xcc) << "byte " << i << " written in " << given;
    }

    for (auto [name, expected] : {std::pair{L"Text", ERROR_INVALID_DATA},
                                  std::pair{L"Number", ERROR_INVALID_DATA},
                                  std::pair{L"Missing", ERROR_FILE_NOT_FOUND}}) {
        size = sizeof(buffer);
        EXPECT_EQ(key.ReadBinary(name, buffer, &size), LONG(expected))
            << testing::PrintToString(std::wstring(name));
    }
    EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS);
}

}  // namespace
