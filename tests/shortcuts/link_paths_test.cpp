// ResolveLinkPaths against the prefix's real registry and Favorites folder. The toolbar's
// LinksFolderName value and every folder a case makes are put back as they were.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "shortcuts/LinkPaths.h"
#include "tests/support/ImportSpy.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/RawRegistryValue.h"
#include "tests/support/TestEnvironment.h"

BRIVOK_DECLARE_IMPORT_SLOT(SHGetFolderPathAndSubDirW);

namespace {

constexpr wchar_t kToolbarKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kValue[] = L"LinksFolderName";

class LinkPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t favorites[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, 0, favorites), S_OK);
        favorites_ = favorites;
        linksExisted_ = IsFolder(favorites_ + L"\\Links");
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kToolbarKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &toolbar_, nullptr), ERROR_SUCCESS);
        DWORD size = 0;
        hadValue_ = RegQueryValueExW(toolbar_, kValue, nullptr, &oldType_, nullptr, &size) == ERROR_SUCCESS;
        if (hadValue_) {
            oldData_.resize(size);
            ASSERT_EQ(RegQueryValueExW(toolbar_, kValue, nullptr, &oldType_, oldData_.data(), &size), ERROR_SUCCESS);
        }
        ASSERT_TRUE(LinkPaths.folder == nullptr && LinkPaths.view == nullptr && LinkPaths.save == nullptr);
    }

    void TearDown() override {
        FreeLinkPaths();
        if (hadValue_) {
            EXPECT_EQ(SetRawValue(toolbar_, kValue, oldType_, oldData_.data(), static_cast<DWORD>(oldData_.size())),
                      ERROR_SUCCESS);
        } else {
            LONG deleted = RegDeleteValueW(toolbar_, kValue);
            EXPECT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) << deleted;
        }
        RegCloseKey(toolbar_);
        for (const std::wstring& folder : made_) EXPECT_TRUE(RemoveTree(folder)) << Narrow(folder);
        if (!linksExisted_) RemoveTree(favorites_ + L"\\Links");
    }

    void SetName(DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(SetRawValue(toolbar_, kValue, type, data, bytes), ERROR_SUCCESS);
    }
    void SetName(const std::wstring& name) {
        SetName(REG_SZ, name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }
    std::wstring MakeFolder(const std::wstring& name) {
        std::wstring path = favorites_ + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << Narrow(path) << " " << GetLastError();
        made_.push_back(path);
        return path;
    }

    // Resolves and checks the three paths against the expected folder, then that freeing
    // them clears every buffer.
    void ExpectPaths(const std::wstring& folder) {
        HRESULT hr = ResolveLinkPaths();
        ASSERT_EQ(hr, S_OK) << std::hex << hr;
        ASSERT_TRUE(LinkPaths.folder && LinkPaths.view && LinkPaths.save);
        EXPECT_EQ(std::wstring(LinkPaths.folder), folder) << Narrow(LinkPaths.folder);
        EXPECT_EQ(std::wstring(LinkPaths.view), folder + L"\\View Drovs.url") << Narrow(LinkPaths.view);
        EXPECT_EQ(std::wstring(LinkPaths.save), folder + L"\\+ Save It For Later.url") << Narrow(LinkPaths.save);
        EXPECT_TRUE(IsFolder(folder)) << Narrow(folder);
        FreeLinkPaths();
        EXPECT_TRUE(!LinkPaths.folder && !LinkPaths.view && !LinkPaths.save) << "a buffer left after freeing";
    }

    std::wstring favorites_;
    bool linksExisted_ = false;
    HKEY toolbar_ = nullptr;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
    std::vector<std::wstring> made_;
};

TEST_F(LinkPathsTest, NoValueGivesFavoritesLinks) {
    LONG deleted = RegDeleteValueW(toolbar_, kValue);
    ASSERT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) << deleted;
    ExpectPaths(favorites_ + L"\\Links");
}

// Spaces and "+ " are kept as they are, and a name that only looks like a device's is a
// folder name.
TEST_F(LinkPathsTest, NamedFolderThatExists) {
    for (const wchar_t* name : {L"Liens", L"My + Links", L"COM10", L"CONSOLE", L"LPT", L"Con-Links",
                                L"AUXILIARY.txt", L".Liens", L"Liens..x"}) {
        SCOPED_TRACE(Narrow(name));
        MakeFolder(name);
        SetName(name);
        ExpectPaths(favorites_ + L"\\" + name);
    }
}

TEST_F(LinkPathsTest, MissingNamedFolderFallsBackToCreatedLinks) {
    if (IsFolder(favorites_ + L"\\Links")) ASSERT_TRUE(RemoveTree(favorites_ + L"\\Links"));
    SetName(L"Nowhere");
    ExpectPaths(favorites_ + L"\\Links");
    EXPECT_FALSE(IsFolder(favorites_ + L"\\Nowhere")) << "the missing folder was created";
}

// A value that is not a valid string keeps the default name, even where the refused read
// has already put characters into the buffer.
TEST_F(LinkPathsTest, RefusedValuesKeepDefault) {
    MakeFolder(L"Liens");
    DWORD number = 0x4c;
    std::wstring full(MAX_PATH, L'x');  // fills the whole buffer, no terminator
    struct Refused { const char* what; DWORD type; const void* data; DWORD bytes; };
    for (const Refused& c : {Refused{"number", REG_DWORD, &number, sizeof(number)},
                             Refused{"no terminator", REG_SZ, L"Liens", 10},
                             Refused{"odd length", REG_SZ, L"Liens\0", 11},
                             Refused{"binary", REG_BINARY, L"Liens", 12},
                             Refused{"full buffer", REG_SZ, full.data(), MAX_PATH * sizeof(wchar_t)}}) {
        SCOPED_TRACE(c.what);
        SetName(c.type, c.data, c.bytes);
        ExpectPaths(favorites_ + L"\\Links");
    }
}

// Only one plain folder name replaces "Links": a path, a share, a drive, "." and ".." or a
// device would put the shortcuts (or a connection) somewhere else entirely.
TEST_F(LinkPathsTest, ValueThatIsNotAFolderNameKeepsDefault) {
    for (const wchar_t* name : {
        L"..\\..\\..\\..\\windows", L"..", L".", L"C:\\windows\\temp", L"C:windows", L"\\\\host\\share",
        L"//host/share", L"Liens/Sub", L"Liens\\Sub", L"Liens:stream", L"CON", L"con", L"Nul.txt",
        L"PRN.a.b", L"aux", L"COM1", L"com9.log", L"LPT1", L"lpt9", L"CON .txt", L"NUL "}) {
        SCOPED_TRACE(Narrow(name));
        SetName(name);
        ExpectPaths(favorites_ + L"\\Links");
    }
    // Devices that Wine lets a folder be made for; Windows reserves them too.
    for (const wchar_t* name : {L"COM0", L"lpt0.txt", L"COM\u00B9", L"com\u00B2.log", L"COM\u00B3", L"LPT\u00B9",
                                L"lpt\u00B2", L"LPT\u00B3.a.b"}) {
        SCOPED_TRACE(Narrow(name));
        MakeFolder(name);
        SetName(name);
        ExpectPaths(favorites_ + L"\\Links");
    }
}

TEST_F(LinkPathsTest, EmptyNameGivesFavoritesItself) {
    SetName(REG_SZ, L"", 0);
    ExpectPaths(favorites_);
    SetName(L"");
    ExpectPaths(favorites_);
}

// A folder whose shortcut paths would not fit in MAX_PATH is refused, never cut short.
TEST_F(LinkPathsTest, ShortcutPathTooLongIsRefused) {
    // The folder itself fits but folder + "\View Drovs.url" does not; then there is room for
    // the view shortcut but not for the longer save shortcut name.
    struct TooLong { const char* what; size_t room; };
    for (const TooLong& c : {TooLong{"view", 10}, TooLong{"save", 1 + 14}}) {
        SCOPED_TRACE(c.what);
        size_t nameLength = MAX_PATH - 1 - favorites_.size() - 1 - c.room;
        ASSERT_LT(nameLength, 256u);
        std::wstring name(nameLength, L'n');
        MakeFolder(name);
        SetName(name);
        HRESULT hr = ResolveLinkPaths();
        EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)) << std::hex << hr;
        FreeLinkPaths();
    }
}

// The folder lookup stands in for the shell's: Wine answers a missing Favorites folder with
// 0x80070003 only, while Windows answers 0x80070002 and older shells E_FAIL.
struct FolderLookupCall { int csidl; std::wstring subfolder; };
HRESULT gFirstAnswer = S_OK;
std::vector<FolderLookupCall> gLookups;
constexpr wchar_t kSpyFolder[] = L"C:\\SpyFavorites\\Links";

HRESULT WINAPI SpyGetFolderPathAndSubDir(HWND, int csidl, HANDLE, DWORD, LPCWSTR subfolder, LPWSTR path) {
    gLookups.push_back({csidl, subfolder ? subfolder : L"<null>"});
    if (gLookups.size() == 1 && FAILED(gFirstAnswer)) return gFirstAnswer;
    lstrcpyW(path, kSpyFolder);
    return S_OK;
}

TEST_F(LinkPathsTest, SpyMissingFavoritesAnswersRetryWithCreate) {
    SetName(L"Liens");
    ImportSpy spy(BRIVOK_IMPORT_SLOT(SHGetFolderPathAndSubDirW), reinterpret_cast<void*>(&SpyGetFolderPathAndSubDir));
    ASSERT_TRUE(spy.active()) << "no import of SHGetFolderPathAndSubDirW in this program";
    for (HRESULT answer : {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                           E_FAIL}) {
        gFirstAnswer = answer;
        gLookups.clear();
        HRESULT hr = ResolveLinkPaths();
        EXPECT_EQ(hr, S_OK) << std::hex << "first answer " << answer << ", got " << hr;
        ASSERT_EQ(gLookups.size(), 2u) << std::hex << "first answer " << answer;
        EXPECT_EQ(gLookups[0].csidl, CSIDL_FAVORITES);
        EXPECT_EQ(gLookups[0].subfolder, L"Liens") << Narrow(gLookups[0].subfolder);
        EXPECT_EQ(gLookups[1].csidl, CSIDL_FAVORITES | CSIDL_FLAG_CREATE) << std::hex << gLookups[1].csidl;
        EXPECT_EQ(gLookups[1].subfolder, L"Links") << Narrow(gLookups[1].subfolder);
        ASSERT_TRUE(LinkPaths.folder && LinkPaths.view);
        EXPECT_EQ(std::wstring(LinkPaths.view), std::wstring(kSpyFolder) + L"\\View Drovs.url");
        FreeLinkPaths();
    }
}

TEST_F(LinkPathsTest, SpyOtherLookupFailuresAreReturnedWithoutRetry) {
    ImportSpy spy(BRIVOK_IMPORT_SLOT(SHGetFolderPathAndSubDirW), reinterpret_cast<void*>(&SpyGetFolderPathAndSubDir));
    ASSERT_TRUE(spy.active());
    for (HRESULT answer : {E_ACCESSDENIED, E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_BAD_NETPATH), E_OUTOFMEMORY}) {
        gFirstAnswer = answer;
        gLookups.clear();
        HRESULT hr = ResolveLinkPaths();
        EXPECT_EQ(hr, answer) << std::hex << "got " << hr;
        EXPECT_EQ(gLookups.size(), 1u) << std::hex << "first answer " << answer;
        FreeLinkPaths();
    }
}

// Windows would follow a share or a drive in the value (connecting to the host with the
// user's credentials), fails the lookup of a name holding a character no file name may hold
// and drops a trailing space or dot from it; Wine answers otherwise, so the lookup itself is
// watched: it never sees such a value, nor one longer than the MAX_PATH buffer it is read
// into, cut short. N characters are 2N + 2 bytes: 259 fill the buffer with the terminator,
// 519 would fit one whose count were taken in bytes.
TEST_F(LinkPathsTest, SpyValueThatIsNotAFolderNameIsNeverLookedUp) {
    ImportSpy spy(BRIVOK_IMPORT_SLOT(SHGetFolderPathAndSubDirW), reinterpret_cast<void*>(&SpyGetFolderPathAndSubDir));
    ASSERT_TRUE(spy.active());
    gFirstAnswer = S_OK;
    const std::wstring fits(MAX_PATH - 1, L'n');
    auto shown = [](const std::wstring& s) { return s.size() < 32 ? Narrow(s) : std::to_string(s.size()) + " characters"; };
    for (const std::wstring& name : std::initializer_list<std::wstring>{
             L"\\\\host\\share", L"C:\\windows\\temp", L"..\\..\\windows", L"NUL", L"Li<nks", L"Li>nks", L"Li\"nks",
             L"Li|nks", L"Li?nks", L"Li*nks", L"Li\tnks", L"Links\x1F", L"Links ", L"Liens.", L"...", L"Liens. .", L" ",
             fits, std::wstring(MAX_PATH, L'n'), std::wstring(MAX_PATH + 1, L'n'),
             std::wstring(2 * MAX_PATH - 1, L'n'), std::wstring(2 * MAX_PATH, L'n')}) {
        SCOPED_TRACE(shown(name));
        SetName(name);
        gLookups.clear();
        HRESULT hr = ResolveLinkPaths();
        EXPECT_EQ(hr, S_OK) << std::hex << hr;
        ASSERT_EQ(gLookups.size(), 1u);
        EXPECT_TRUE(gLookups[0].subfolder == (name == fits ? fits : L"Links")) << "looked up " << shown(gLookups[0].subfolder);
        FreeLinkPaths();
    }
}

}  // namespace
