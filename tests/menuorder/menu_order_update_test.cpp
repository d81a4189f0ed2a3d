// The load-modify-store cycle of the Links order against the registry of the test's
// prefix and real files, whose short names come from the file system.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <sddl.h>
#include <shlwapi.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "menuorder/MenuOrderUpdate.h"
#include "tests/menuorder/MenuOrderTestSupport.h"
#include "tests/support/ImportSpy.h"
#include "tests/support/ShellNotificationWatcher.h"

BRIVOK_DECLARE_IMPORT_SLOT(RegFlushKey);
BRIVOK_DECLARE_IMPORT_SLOT(RegOpenKeyExW);

namespace {

// Signalled when a value of the key is set, even to the bytes it already had.
class ValueWriteWatch {
public:
    explicit ValueWriteWatch(HKEY key) {
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        armed_ = event_ &&
                 RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event_, TRUE) == ERROR_SUCCESS;
    }
    ~ValueWriteWatch() { if (event_) CloseHandle(event_); }
    bool armed() const { return armed_; }
    bool written() const { return WaitForSingleObject(event_, 200) == WAIT_OBJECT_0; }

private:
    HANDLE event_ = nullptr;
    bool armed_ = false;
};

class MenuOrderUpdate : public testing::Test {
protected:
    void SetUp() override {
        // Folder with the two shortcuts and two other buttons.
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        folder_ = std::wstring(temp) + L"brivok-order-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr)) << GetLastError();
        const std::tuple<std::wstring*, std::wstring*, const wchar_t*> files[] = {
            {&save_, &saveName_, L"+ Save It For Later.url"}, {&view_, &viewName_, L"View Drovs.url"},
            {&alpha_, &alphaName_, L"Alpha Site.url"}, {&beta_, &betaName_, L"Beta Site.url"}};
        for (auto [path, shortName, longName] : files) {
            *path = folder_ + L"\\" + longName;
            HANDLE file = CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
            CloseHandle(file);
            *shortName = ShortFileName(*path);
        }
        ASSERT_FALSE(saveName_.empty());
        ASSERT_NE(saveName_, L"+ Save It For Later.url");
        ASSERT_NE(saveName_, viewName_);

        ASSERT_TRUE(order_.Open());
    }

    void TearDown() override {
        EXPECT_TRUE(order_.Restore());
        for (const auto* path : {&save_, &view_, &alpha_, &beta_}) DeleteFileW(path->c_str());
        if (!folder_.empty()) EXPECT_TRUE(RemoveDirectoryW(folder_.c_str())) << GetLastError();
    }

    // Stores the value, runs the update and reads the value back, which must have kept its
    // type; checks whether it was written again (even to the same bytes).
    void Update(const std::vector<BYTE>& stored, DWORD type, bool writes, std::vector<BYTE>* now) {
        ASSERT_TRUE(order_.Write(stored, type));
        ValueWriteWatch watch(order_.handle());
        ASSERT_TRUE(watch.armed());
        EXPECT_EQ(PlaceShortcutsFirst(save_.c_str(), view_.c_str()), S_OK);
        EXPECT_EQ(watch.written(), writes);
        DWORD nowType = 0xdeadbeef;
        ASSERT_TRUE(order_.Read(now, &nowType));
        EXPECT_EQ(nowType, type);
    }

    // The value must be kept byte for byte and not written again.
    void ExpectLeftAlone(const std::vector<BYTE>& stored, DWORD type = REG_BINARY) {
        std::vector<BYTE> now;
        ASSERT_NO_FATAL_FAILURE(Update(stored, type, false, &now));
        EXPECT_EQ(now, stored);
    }

    // The value must hold the same entries at the expected positions, every other byte unchanged.
    void ExpectPlaced(std::vector<TestEntry> entries, const std::vector<LONG>& expected, bool writes) {
        std::vector<BYTE> now;
        ASSERT_NO_FATAL_FAILURE(Update(BuildRecord(entries), REG_BINARY, writes, &now));
        for (size_t i = 0; i < entries.size(); ++i) entries[i].position = expected[i];
        EXPECT_EQ(EntryPositions(now), expected);
        EXPECT_EQ(now, BuildRecord(entries));
    }

    std::wstring folder_, save_, view_, alpha_, beta_;
    std::wstring saveName_, viewName_, alphaName_, betaName_;
    TestOrderKey order_;
};

const std::vector<BYTE> kEmptyRecord = {8, 0, 0, 0, 2, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Loads the record and compares it with the expected bytes; the record lies in the block
// its owner holds.
void ExpectLoaded(MenuOrderRecord record, const std::vector<BYTE>& expected) {
    StoredMenuOrder order;
    order.record = record;
    ASSERT_TRUE(LoadMenuOrder(&order));
    ASSERT_EQ(order.record.size, expected.size());
    EXPECT_EQ(order.record.bytes, order.block.Get());
    EXPECT_EQ(std::vector<BYTE>(order.record.bytes, order.record.bytes + order.record.size), expected);
}

TEST_F(MenuOrderUpdate, LoadTreatsShortOrNonBinaryValuesAsMissing) {
    const std::pair<std::vector<BYTE>, DWORD> values[] = {
        {std::vector<BYTE>(kEmptyRecord.begin(), kEmptyRecord.begin() + 19), REG_BINARY},  // shorter than a header
        {{}, REG_BINARY}, {{1, 0, 0, 0}, REG_DWORD}, {kEmptyRecord, REG_NONE},
        {BuildRecord({{saveName_, true, 3}, {viewName_, true, 2}}), REG_NONE}};
    for (const auto& [bytes, type] : values) {
        SCOPED_TRACE(testing::Message() << "type " << type << ", " << bytes.size() << " bytes");
        ASSERT_TRUE(order_.Write(bytes, type));
        ExpectLoaded({nullptr, 0}, kEmptyRecord);
        ExpectLeftAlone(bytes, type);
    }
}

TEST_F(MenuOrderUpdate, LoadKeepsStoredRecordWhole) {
    std::vector<BYTE> stored = BuildRecord({{saveName_, false, 3}, {viewName_, true, 7}});
    ASSERT_TRUE(order_.Write(stored));
    ExpectLoaded({nullptr, 0}, stored);
}

TEST_F(MenuOrderUpdate, LoadRefusesWrongHeaderOrDataSize) {
    for (auto [what, offset, delta] : {std::tuple{"headerSize", 0, 1}, std::tuple{"version", 4, 1},
                                       std::tuple{"version", 4, -1}, std::tuple{"dataSize", 8, 1},
                                       std::tuple{"dataSize", 8, -1}}) {
        SCOPED_TRACE(testing::Message() << what << " " << delta);
        // A header alone (exactly 20 bytes) is a stored record too, not a missing one.
        for (std::vector<BYTE> stored : {BuildRecord({{saveName_, true, 3}, {viewName_, true, 2}}),
                                         BuildRecord({})}) {
            SCOPED_TRACE(testing::Message() << stored.size() << " bytes");
            SetField(&stored, offset, GetField(stored, offset) + delta);
            ASSERT_TRUE(order_.Write(stored));
            StoredMenuOrder order;
            order.record = {reinterpret_cast<BYTE*>(0xdeadbeef), 0xdeadbeef};
            EXPECT_FALSE(LoadMenuOrder(&order));
            EXPECT_EQ(order.record.bytes, reinterpret_cast<BYTE*>(0xdeadbeef));
            EXPECT_EQ(order.record.size, 0xdeadbeefu);
            EXPECT_FALSE(order.block);
            ExpectLeftAlone(stored);
        }
    }
}

// Wine's registry flush does nothing that can be seen, and grants it whatever access the key
// was opened with, so the call is watched: one flush, made after the new record is in the
// value, on a key opened with the KEY_QUERY_VALUE access the flush is documented to need
// (refused without it, as Windows refuses it).
std::vector<std::vector<BYTE>> g_flushed;  // the stored Order value at each flush
std::vector<LONG> g_flushResults;
std::map<HKEY, REGSAM> g_openedWith;
ImportSpy* g_flushSpy = nullptr;
ImportSpy* g_openSpy = nullptr;
LONG WINAPI OpenSpy(HKEY parent, LPCWSTR path, DWORD options, REGSAM access, PHKEY opened) {
    LONG result = g_openSpy->original<decltype(&RegOpenKeyExW)>()(parent, path, options, access, opened);
    if (result == ERROR_SUCCESS) g_openedWith[*opened] = access;
    return result;
}
LONG WINAPI FlushSpy(HKEY key) {
    DWORD size = 4096;
    std::vector<BYTE> value(size);
    if (RegGetValueW(HKEY_CURRENT_USER, kOrderKeyPath, kOrderValueName, RRF_RT_REG_BINARY,
                     nullptr, value.data(), &size) != ERROR_SUCCESS) size = 0;
    g_flushed.emplace_back(value.begin(), value.begin() + size);
    auto opened = g_openedWith.find(key);
    LONG result = opened != g_openedWith.end() && (opened->second & KEY_QUERY_VALUE)
                      ? g_flushSpy->original<LONG(WINAPI*)(HKEY)>()(key) : ERROR_ACCESS_DENIED;
    g_flushResults.push_back(result);
    return result;
}

TEST_F(MenuOrderUpdate, StoredRecordIsFlushedSpy) {
    std::vector<BYTE> stored = BuildRecord({{alphaName_, true, 0}, {saveName_, true, 1}, {viewName_, true, 2}});
    ASSERT_TRUE(order_.Write(stored));
    g_flushed.clear();
    g_flushResults.clear();
    g_openedWith.clear();
    ImportSpy open(BRIVOK_IMPORT_SLOT(RegOpenKeyExW), reinterpret_cast<void*>(&OpenSpy));
    ASSERT_TRUE(open.active());
    g_openSpy = &open;
    ImportSpy spy(BRIVOK_IMPORT_SLOT(RegFlushKey), reinterpret_cast<void*>(&FlushSpy));
    ASSERT_TRUE(spy.active());
    g_flushSpy = &spy;
    EXPECT_EQ(PlaceShortcutsFirst(save_.c_str(), view_.c_str()), S_OK);
    std::vector<BYTE> now;
    ASSERT_TRUE(order_.Read(&now));
    EXPECT_NE(now, stored);
    ASSERT_EQ(g_flushed.size(), 1u);
    EXPECT_EQ(g_flushed[0], now);
    EXPECT_EQ(g_flushResults, std::vector<LONG>{ERROR_SUCCESS}) << "the flush was refused";
}

TEST_F(MenuOrderUpdate, NoOrderValueCreatesNone) {
    ExpectLoaded({reinterpret_cast<BYTE*>(0xdeadbeef), 0xdeadbeef}, kEmptyRecord);
    ValueWriteWatch watch(order_.handle());
    ASSERT_TRUE(watch.armed());
    EXPECT_EQ(PlaceShortcutsFirst(save_.c_str(), view_.c_str()), S_OK);
    EXPECT_FALSE(watch.written());
    std::vector<BYTE> now;
    EXPECT_FALSE(order_.Read(&now));
}

TEST_F(MenuOrderUpdate, MissingKeyIsNotCreated) {
    if (!order_.DeleteKey()) GTEST_SKIP() << "the order key existed before the test";
    StoredMenuOrder order;
    EXPECT_FALSE(LoadMenuOrder(&order));
    EXPECT_EQ(PlaceShortcutsFirst(save_.c_str(), view_.c_str()), S_OK);
    EXPECT_EQ(OpenKeyResult(kOrderKeyPath, KEY_READ), ERROR_FILE_NOT_FOUND);
}

TEST_F(MenuOrderUpdate, ListedShortcutsComeFirstAndOthersShift) {
    std::wstring lowerSave = saveName_;
    CharLowerBuffW(lowerSave.data(), DWORD(lowerSave.size()));
    // Entries as stored, the positions expected of them, whether the value is written.
    const std::tuple<const char*, std::vector<TestEntry>, std::vector<LONG>, bool> cases[] = {
        // Names in both encodings, as the shell stores them.
        {"both listed", {{alphaName_, false, 0}, {betaName_, true, 1}, {viewName_, true, 2},
                         {saveName_, false, 3}}, {2, 3, 1, 0}, true},
        {"both listed with gaps", {{saveName_, true, 5}, {alphaName_, true, -1},
                                   {viewName_, true, 9}, {betaName_, true, 1}}, {0, -1, 1, 3}, true},
        {"only save listed", {{alphaName_, true, 0}, {saveName_, true, 2}, {betaName_, true, 1}}, {1, 0, 2}, true},
        {"only view listed", {{viewName_, false, 0}, {alphaName_, true, 1}}, {1, 2}, true},
        {"already in place", {{alphaName_, true, 2}, {viewName_, true, 1}, {saveName_, false, 0}},
         {2, 1, 0}, false},
        {"view alone in place", {{viewName_, true, 1}, {betaName_, true, 0}}, {1, 0}, false},
        // Only short names match, in any case: the long name's entry stays.
        {"long name, lower case", {{L"View Drovs.url", true, 4}, {lowerSave, true, 3}}, {5, 0}, true},
    };
    for (const auto& [what, entries, expected, writes] : cases) {
        SCOPED_TRACE(what);
        ExpectPlaced(entries, expected, writes);
    }
}

// Sets the key's access list from its text form.
bool SetKeyAccess(HKEY key, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    LONG result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return result == ERROR_SUCCESS;
}

TEST_F(MenuOrderUpdate, ReadOnlyKeyIsLeftAsItWas) {
    std::vector<BYTE> stored = BuildRecord({{viewName_, true, 0}, {saveName_, true, 1}});
    ASSERT_TRUE(order_.Write(stored));
    // Everyone may read the key and change its access list, nobody may set values.
    ASSERT_TRUE(SetKeyAccess(order_.handle(), L"D:P(A;;KRWD;;;WD)"));
    if (OpenKeyResult(kOrderKeyPath, KEY_WRITE) == ERROR_SUCCESS) {
        EXPECT_TRUE(SetKeyAccess(order_.handle(), L"D:(A;;KA;;;WD)"));
        GTEST_SKIP() << "the registry grants write access regardless of the access list";
    }
    EXPECT_EQ(PlaceShortcutsFirst(save_.c_str(), view_.c_str()), S_OK);
    EXPECT_TRUE(SetKeyAccess(order_.handle(), L"D:(A;;KA;;;WD)"));
    std::vector<BYTE> now;
    ASSERT_TRUE(order_.Read(&now));
    EXPECT_EQ(now, stored);
}

TEST_F(MenuOrderUpdate, SetShortcutPositionNeedsAnExistingFile) {
    std::vector<BYTE> bytes = BuildRecord({{saveName_, true, 4}, {viewName_, true, 3}});
    const std::vector<BYTE> original = bytes;
    MenuOrderRecord record{bytes.data(), DWORD(bytes.size())};
    std::wstring gone = folder_ + L"\\Gone Away.url";
    EXPECT_FALSE(SetShortcutPosition(&record, gone.c_str(), 0));
    EXPECT_FALSE(SetShortcutPosition(&record, nullptr, 0));
    // Longer than a path buffer: cut to 259 characters, which names no file.
    std::wstring longPath = save_ + std::wstring(MAX_PATH, L'x');
    EXPECT_FALSE(SetShortcutPosition(&record, longPath.c_str(), 0));
    EXPECT_EQ(bytes, original);
    EXPECT_TRUE(SetShortcutPosition(&record, view_.c_str(), 0));
    EXPECT_EQ(EntryPositions(bytes), (std::vector<LONG>{5, 0}));
    EXPECT_FALSE(SetShortcutPosition(&record, view_.c_str(), 0));
}

// The shell is told of an order change on the folder: a window registered for extended
// events receives the order-changed item and the folder. (Wine hands extended events only to
// registrations without a folder, so the window listens to all folders.)
TEST_F(MenuOrderUpdate, NotifyOrderChangedReachesRegisteredWindow) {
    ShellNotificationWatcher watcher(SHCNE_EXTENDED_EVENT);
    ASSERT_TRUE(watcher.registered());
    EXPECT_TRUE(NotifyOrderChanged(folder_.c_str()));
    EXPECT_TRUE(NotifyOrderChanged(nullptr));
    std::vector<ShellNotification> seen = watcher.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, LONG(SHCNE_EXTENDED_EVENT));
    // One item of 4 bytes holding SHCNEE_ORDERCHANGED (2).
    EXPECT_EQ(seen[0].extended, 0x00020004u) << std::hex << seen[0].extended;
    EXPECT_EQ(lstrcmpiW(seen[0].path.c_str(), folder_.c_str()), 0);
}

}  // namespace
