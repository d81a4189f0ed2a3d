// The built installer puts its two buttons first in a stored Links order.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "menuorder/MenuOrderUpdate.h"
#include "tests/menuorder/MenuOrderTestSupport.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

namespace {

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateEmptyFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

class InstallerOrder : public testing::Test {
protected:
    void SetUp() override {
        HKEY toolbar = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Toolbar",
                          0, KEY_READ, &toolbar) == 0) {
            bool named = RegQueryValueExW(toolbar, L"LinksFolderName", nullptr, nullptr,
                                          nullptr, nullptr) == 0;
            RegCloseKey(toolbar);
            if (named) GTEST_SKIP() << "the prefix names its own Links folder";
        }
        wchar_t favorites[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_FAVORITES, nullptr, 0, favorites), S_OK);
        links_ = std::wstring(favorites) + L"\\Links";
        if (!Exists(links_)) {
            ASSERT_EQ(SHCreateDirectoryExW(nullptr, links_.c_str(), nullptr), ERROR_SUCCESS);
            createdLinks_ = true;
        }
        save_ = links_ + L"\\+ Save It For Later.url";
        view_ = links_ + L"\\View Drovs.url";
        other_ = links_ + L"\\Other Site.url";
        ASSERT_FALSE(Exists(save_));
        ASSERT_FALSE(Exists(view_));
        // Short names of the files the installer will write, taken from placeholders with
        // the same long names; the installer then creates the files anew.
        for (auto [path, name] : {std::pair{&save_, &saveName_}, std::pair{&view_, &viewName_},
                                  std::pair{&other_, &otherName_}}) {
            ASSERT_TRUE(CreateEmptyFile(*path)) << GetLastError();
            *name = ShortFileName(*path);
            ASSERT_FALSE(name->empty());
        }
        ASSERT_TRUE(DeleteFileW(save_.c_str()));
        ASSERT_TRUE(DeleteFileW(view_.c_str()));
        ASSERT_TRUE(order_.Open());
    }

    void TearDown() override {
        EXPECT_TRUE(order_.Restore());
        for (const std::wstring* path : {&save_, &view_, &other_}) DeleteFileW(path->c_str());
        if (createdLinks_) {
            EXPECT_TRUE(RemoveTree(links_));
        }
    }

    void RunInstallerExe() {
        std::wstring installer = TestEnvironment(L"BRIVOK_INSTALLER");
        ProcessRun run = RunAndAnswerBoxes(L"\"" + installer + L"\"", 120000);
        ASSERT_TRUE(run.started) << Narrow(installer);
        ASSERT_TRUE(run.finished) << "the installer did not end";
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
        EXPECT_EQ(run.exitCode, 0u) << std::hex << run.exitCode;
        ASSERT_TRUE(Exists(save_));
        ASSERT_TRUE(Exists(view_));
        EXPECT_EQ(ShortFileName(save_), saveName_);
        EXPECT_EQ(ShortFileName(view_), viewName_);
    }

    std::wstring links_, save_, view_, other_;
    std::wstring saveName_, viewName_, otherName_;
    bool createdLinks_ = false;
    TestOrderKey order_;
};

TEST_F(InstallerOrder, MovesBothButtonsFirst) {
    std::vector<TestEntry> entries = {{otherName_, false, 0},
                                      {viewName_, true, 3},
                                      {saveName_, true, 1},
                                      {L"GONE~1.URL", false, 2}};
    ASSERT_TRUE(order_.Write(BuildRecord(entries)));
    ASSERT_NO_FATAL_FAILURE(RunInstallerExe());

    std::vector<BYTE> now;
    DWORD type = 0xdeadbeef;
    ASSERT_TRUE(order_.Read(&now, &type));
    EXPECT_EQ(type, DWORD(REG_BINARY));
    EXPECT_EQ(EntryPositions(now), (std::vector<LONG>{2, 1, 0, 4}));
    const LONG expected[] = {2, 1, 0, 4};
    for (size_t i = 0; i < entries.size(); ++i) entries[i].position = expected[i];
    EXPECT_EQ(now, BuildRecord(entries));
}

TEST_F(InstallerOrder, WithoutStoredOrderWritesNone) {
    ASSERT_NO_FATAL_FAILURE(RunInstallerExe());
    std::vector<BYTE> now;
    DWORD type = 0;
    EXPECT_FALSE(order_.Read(&now, &type)) << now.size() << " bytes";
}

}  // namespace
