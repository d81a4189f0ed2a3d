// Stamping the site properties of a shortcut: against Wine's own Internet Shortcut class
// (which loads documents but has no site property set), and against a spy class that
// stands in for the behaviour Wine lacks and records every call.
#include <gtest/gtest.h>

#include <objidl.h>
#include <shlobj.h>
#include <intshcut.h>

#include <map>
#include <string>
#include <vector>

#include "shortcuts/InstallShortcut.h"
#include "shortcuts/StampShortcut.h"
#include "tests/support/ComApartment.h"
#include "tests/support/ShellSpies.h"
#include "tests/support/TestEnvironment.h"

namespace {

const wchar_t kTitle[] = L"BriVok | What's hot for you.";

// ---------------------------------------------------------------------------------------
// Spy Internet Shortcut class

std::vector<std::string> FullStamp(const wchar_t* path) {
    return {"Load(" + NarrowText(path) + ",0x12)",
            "GetURL",
            "SetURL(" + NarrowText(kSpyUrl) + ",1)",
            "Open(InternetSite,0x12)",
            "WriteMultiple(2,1:16,1:5,vt31:" + NarrowText(kTitle) + ",vt64,0)",
            "Commit(1)",
            "Save(" + NarrowText(path) + ",1)"};
}

TEST_F(ComApartment, StampShortcutSpyMakesEveryCallInOrderAndReleasesAll) {
    ShortcutClassSpy spy;
    ASSERT_EQ(spy.registration.hr, S_OK) << std::hex << spy.registration.hr;
    const wchar_t path[] = L"C:\\spy\\View Drovs.url";

    ULONGLONG before = NowTicks();
    before -= before % 10000;  // the stamp is taken from a SYSTEMTIME: whole milliseconds
    HRESULT hr = StampShortcut(path, 16, kTitle);
    ULONGLONG after = NowTicks();

    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    EXPECT_EQ(Joined(spy.shortcut.calls), Joined(FullStamp(path)));
    ASSERT_EQ(spy.factory.creations, 1);
    EXPECT_TRUE(spy.factory.requested[0] == kIidUniformResourceLocatorW);
    ULONGLONG stamped = Ticks(spy.shortcut.storage.written);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
    EXPECT_EQ(spy.counter.live, 0) << "references the stamp kept";
    // The property set goes first, then the file and property-set interfaces, the object last.
    std::vector<std::string> releases = spy.shortcut.releases;
    ASSERT_GE(releases.size(), 4u);
    releases.erase(releases.begin(), releases.end() - 4);
    EXPECT_EQ(Joined(releases), "storage:0\nshortcut:2\nshortcut:1\nshortcut:0\n");
    EXPECT_GE(spy.counter.maxLive, 4) << "the object, its two other interfaces, the property set";
}

TEST_F(ComApartment, StampShortcutSpyPassesTheCallersPropertyIdAndTitle) {
    ShortcutClassSpy spy;
    ASSERT_EQ(spy.registration.hr, S_OK);
    HRESULT hr = StampShortcut(L"C:\\spy\\a.url", 2, L"other title");
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    ASSERT_EQ(spy.shortcut.calls.size(), 7u) << Joined(spy.shortcut.calls);
    EXPECT_EQ(spy.shortcut.calls[4], "WriteMultiple(2,1:2,1:5,vt31:other title,vt64,0)");
    EXPECT_EQ(spy.counter.live, 0);
}

// What StampShortcut returns, how many of the full sequence's calls happen, and whether
// SetURL is left out (GetURL failed) when the step fails with the code.
struct FailureCase { const char* step; HRESULT code; HRESULT expected; size_t callsMade; bool setUrlSkipped; };

TEST_F(ComApartment, StampShortcutSpyStopsAtEachFailureAndReleasesAll) {
    const wchar_t path[] = L"C:\\spy\\+ Save It For Later.url";
    const HRESULT kCode = static_cast<HRESULT>(0x8003001D);  // STG_E_WRITEFAULT, any code will do
    const FailureCase cases[] = {
        {"Load", kCode, kCode, 1, false},
        {"GetURL", kCode, S_OK, 6, true},
        {"GetURLNone", S_FALSE, S_OK, 6, true},  // no URL to set again
        {"SetURL", kCode, S_OK, 7, false},
        {"Open", kCode, kCode, 4, false},
        {"WriteMultiple", kCode, kCode, 5, false},
        {"Commit", kCode, S_OK, 7, false},
        {"Save", kCode, kCode, 7, false},
        {"Save", S_FALSE, S_FALSE, 7, false},
        {"QueryPersistFile", E_NOINTERFACE, E_NOINTERFACE, 0, false},
        {"QueryPropertySetStorage", E_NOINTERFACE, E_NOINTERFACE, 0, false},
        {"CreateInstance", REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG, 0, false},  // the class makes no object
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.step);
        ShortcutClassSpy spy;
        ASSERT_EQ(spy.registration.hr, S_OK);
        spy.creationResult = std::string(c.step) == "CreateInstance" ? c.code : S_OK;
        spy.shortcut.failures[c.step] = c.code;

        HRESULT hr = StampShortcut(path, 16, kTitle);

        EXPECT_EQ(hr, c.expected) << std::hex << hr;
        EXPECT_EQ(spy.factory.creations, 1);
        std::vector<std::string> expected = FullStamp(path);
        if (c.setUrlSkipped) expected.erase(expected.begin() + 2);
        expected.resize(c.callsMade);
        EXPECT_EQ(Joined(spy.shortcut.calls), Joined(expected));
        EXPECT_EQ(spy.counter.live, 0) << "references kept after failing at " << c.step;
    }
}

TEST_F(ComApartment, StampShortcutSpyTwiceGivesTheLaterTime) {
    ShortcutClassSpy spy;
    ASSERT_EQ(spy.registration.hr, S_OK);
    ASSERT_EQ(StampShortcut(L"C:\\spy\\a.url", 16, kTitle), S_OK);
    ULONGLONG first = Ticks(spy.shortcut.storage.written);
    Sleep(20);
    ASSERT_EQ(StampShortcut(L"C:\\spy\\a.url", 16, kTitle), S_OK);
    EXPECT_GT(Ticks(spy.shortcut.storage.written), first);
    EXPECT_EQ(spy.factory.creations, 2);
    EXPECT_EQ(spy.counter.live, 0);
}

// ---------------------------------------------------------------------------------------
// Stamping and writing on Wine's own class and the spy, each in a folder removed again

const char kDocument[] =
    "[DEFAULT]\r\nBASEURL=http://127.0.0.1:9/\r\n[InternetShortcut]\r\n"
    "URL=http://127.0.0.1:9/drov\r\nIconFile=http://127.0.0.1:9/files/bin_brivok_favicon.ico\r\n"
    "IconIndex=0\r\nModified=00000000000000000000\r\n";

class InstallShortcutTest : public ComApartment {
protected:
    void SetUp() override {
        ComApartment::SetUp();
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"stamp_test";
        CreateDirectoryW(folder_.c_str(), nullptr);
        path_ = folder_ + L"\\View Drovs.url";
        ASSERT_TRUE(ReadWholeFile(TestEnvironment(L"BRIVOK_GENERATED_DIR") + L"\\ViewShortcut.url", &template_));
    }
    void TearDown() override {
        EXPECT_TRUE(RemoveTree(folder_));
        ComApartment::TearDown();
    }
    std::wstring folder_, path_;
    std::string template_;
};

TEST_F(InstallShortcutTest, StampShortcutOnWineLeavesTheDocumentAsWritten) {
    // A stamp that fails (Wine's class cannot open the site property set today) saves
    // nothing; one that succeeds keeps the document's address.
    ASSERT_TRUE(WriteWholeFile(path_, kDocument));
    HRESULT hr = StampShortcut(path_.c_str(), 16, kTitle);
    std::string contents;
    ASSERT_TRUE(ReadWholeFile(path_, &contents));
    if (FAILED(hr)) {
        EXPECT_EQ(contents, kDocument) << std::hex << hr;
    } else {
        EXPECT_NE(contents.find("URL=http://127.0.0.1:9/drov\r\n"), std::string::npos) << contents;
    }
}

TEST_F(InstallShortcutTest, StampShortcutOnWineFailsForAMissingDocument) {
    std::wstring path = folder_ + L"\\missing.url";
    HRESULT hr = StampShortcut(path.c_str(), 16, kTitle);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_FALSE(Exists(path)) << "a document appeared";
}

// A stamp that fails at a step, or finds no class, is ignored: the template stays written.
TEST_F(InstallShortcutTest, InstallShortcutSpyWritesTheTemplateThenStampsIt) {
    struct InstallCase { const char* failingStep; HRESULT creation; };
    const InstallCase cases[] = {{"", S_OK}, {"Load", S_OK}, {"Open", S_OK}, {"WriteMultiple", S_OK},
                                 {"Save", S_OK}, {"", REGDB_E_CLASSNOTREG}};
    for (const InstallCase& c : cases) {
        SCOPED_TRACE(std::string("failing at ") + c.failingStep + ", creation " + std::to_string(c.creation));
        ASSERT_TRUE(DeleteFileW(path_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
        ShortcutClassSpy spy;
        ASSERT_EQ(spy.registration.hr, S_OK);
        if (*c.failingStep) spy.shortcut.failures[c.failingStep] = E_ACCESSDENIED;
        spy.creationResult = c.creation;
        HRESULT hr = InstallShortcut(path_.c_str(), 101, kTitle);
        EXPECT_EQ(hr, S_OK) << std::hex << hr;
        EXPECT_EQ(spy.factory.creations, 1);
        EXPECT_EQ(Contents(path_), template_);
        if (!*c.failingStep && c.creation == S_OK) {
            EXPECT_EQ(Joined(spy.shortcut.calls), Joined(FullStamp(path_.c_str())));
        }
        EXPECT_EQ(spy.counter.live, 0);
    }
}

TEST_F(InstallShortcutTest, InstallShortcutSpyDoesNotStampAFailedWrite) {
    ShortcutClassSpy spy;
    ASSERT_EQ(spy.registration.hr, S_OK);
    std::wstring missing = folder_ + L"\\missing\\View Drovs.url";
    HRESULT hr = InstallShortcut(missing.c_str(), 101, kTitle);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(spy.factory.creations, 0) << "stamped a shortcut that was not written";
}

TEST_F(InstallShortcutTest, InstallShortcutOnWineKeepsTheDocumentAsWritten) {
    HRESULT hr = InstallShortcut(path_.c_str(), 101, kTitle);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    EXPECT_EQ(Contents(path_), template_);
}

}  // namespace
