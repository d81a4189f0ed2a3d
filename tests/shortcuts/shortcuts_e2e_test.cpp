// The built installer in this program's fresh prefix: the shortcuts it writes, and one
// error box with exit code 1 for each way placing them can fail.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

ProcessRun RunInstallerExe() {
    return RunAndAnswerBoxes(L"\"" + TestEnvironment(L"BRIVOK_INSTALLER") + L"\"", 120000);
}

void ExpectOneErrorBox(const ProcessRun& run, const std::wstring& message, HRESULT hr) {
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.finished) << "the installer did not end";
    EXPECT_EQ(run.exitCode, 1u) << std::hex << run.exitCode;
    ASSERT_EQ(run.boxes.size(), 1u) << "boxes shown";
    EXPECT_EQ(run.boxes[0].caption, L"Brivok Internet Explorer Buttons");
    ASSERT_FALSE(SystemText(hr).empty()) << std::hex << hr;
    EXPECT_EQ(run.boxes[0].text, message + L"\r\n" + SystemText(hr)) << Narrow(run.boxes[0].text);
    EXPECT_EQ(run.boxes[0].icon, BoxIcon::Error) << BoxIconName(run.boxes[0].icon);
}

// The paths the installer will use in this prefix, found the way it finds them.
class ShortcutsRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallerLinkPaths paths;
        ASSERT_TRUE(ResolveInstallerLinkPaths(&paths));
        folder_ = paths.folder;
        view_ = paths.view;
        save_ = paths.save;
        DeleteFileW(view_.c_str());
        DeleteFileW(save_.c_str());
        generated_ = TestEnvironment(L"BRIVOK_GENERATED_DIR");
    }
    void TearDown() override {
        DeleteFileW(view_.c_str());
        DeleteFileW(save_.c_str());
    }

    std::wstring folder_, view_, save_, generated_;
};

TEST_F(ShortcutsRunTest, WritesBothShortcutsExactly) {
    ProcessRun run = RunInstallerExe();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << std::hex << run.exitCode;
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);

    std::string view, save, expectedView, expectedSave;
    ASSERT_TRUE(ReadWholeFile(generated_ + L"\\ViewShortcut.url", &expectedView));
    ASSERT_TRUE(ReadWholeFile(generated_ + L"\\SaveShortcut.url", &expectedSave));
    ASSERT_TRUE(ReadWholeFile(view_, &view)) << Narrow(view_);
    ASSERT_TRUE(ReadWholeFile(save_, &save)) << Narrow(save_);
    EXPECT_EQ(view, expectedView);
    EXPECT_EQ(save, expectedSave);
}

TEST_F(ShortcutsRunTest, SaveShortcutBlockedFailsWithoutWritingView) {
    ASSERT_TRUE(CreateDirectoryW(save_.c_str(), nullptr)) << GetLastError();
    ProcessRun run = RunInstallerExe();
    ExpectOneErrorBox(run, L"Failed to create Brivok links.", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Exists(view_)) << "the view shortcut was written after the save shortcut failed";
    EXPECT_TRUE(RemoveDirectoryW(save_.c_str()));
}

TEST_F(ShortcutsRunTest, ViewShortcutBlockedFails) {
    ASSERT_TRUE(CreateDirectoryW(view_.c_str(), nullptr)) << GetLastError();
    ProcessRun run = RunInstallerExe();
    ExpectOneErrorBox(run, L"Failed to create Brivok links.", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(save_)) << "the save shortcut comes first";
    EXPECT_TRUE(RemoveDirectoryW(view_.c_str()));
}

// A file where the Favorites folder should be: the named folder is not found and
// Favorites\Links cannot be made.
TEST_F(ShortcutsRunTest, UnusableFavoritesFails) {
    wchar_t favorites[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_FAVORITES, nullptr, 0, favorites), S_OK);
    std::wstring away = std::wstring(favorites) + L".away";
    ASSERT_TRUE(MoveFileW(favorites, away.c_str())) << GetLastError();
    HANDLE file = CreateFileW(favorites, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    ProcessRun run = RunInstallerExe();

    EXPECT_TRUE(DeleteFileW(favorites));
    EXPECT_TRUE(MoveFileW(away.c_str(), favorites)) << GetLastError();
    // Wine's folder lookup gives E_FAIL when it cannot make the folder.
    ExpectOneErrorBox(run, L"Links path not found.", E_FAIL);
}

// A Links folder whose shortcut paths would not fit in MAX_PATH: refused before anything
// is written, not written at a cut-short name.
TEST_F(ShortcutsRunTest, LinksFolderTooLongFails) {
    wchar_t favorites[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_FAVORITES, nullptr, 0, favorites), S_OK);
    std::wstring name(MAX_PATH - 1 - lstrlenW(favorites) - 1 - 12, L'n');
    std::wstring folder = std::wstring(favorites) + L"\\" + name;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    HKEY toolbar;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Toolbar", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &toolbar, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(toolbar, L"LinksFolderName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                             static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))), ERROR_SUCCESS);

    ProcessRun run = RunInstallerExe();

    EXPECT_EQ(RegDeleteValueW(toolbar, L"LinksFolderName"), ERROR_SUCCESS);
    RegCloseKey(toolbar);
    ExpectOneErrorBox(run, L"Links path not found.", HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << "something was written into the folder";
}

}  // namespace
