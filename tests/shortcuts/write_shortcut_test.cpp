// WriteShortcutFile against the prefix's real file system. This program carries the
// installer's resource script, so its own module holds the two shortcut documents.
#include <gtest/gtest.h>

#include <set>
#include <vector>
#include <string>

#include "shortcuts/WriteShortcutFile.h"
#include "tests/support/ImportSpy.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

BRIVOK_DECLARE_IMPORT_SLOT(WriteFile);
BRIVOK_DECLARE_IMPORT_SLOT(MoveFileExW);

namespace {

std::string Lines(std::initializer_list<std::string> lines) {
    std::string document;
    for (const std::string& line : lines) document += line + "\r\n";
    return document;
}

// The two documents as resources/ describes them, for the web root the build was given.
std::string ExpectedViewDocument(const std::string& root) {
    return Lines({"[DEFAULT]", "BASEURL=" + root, "[InternetShortcut]", "URL=" + root + "drov",
                  "IconFile=" + root + "files/bin_brivok_favicon.ico", "IconIndex=1", "IDList=",
                  "Comment=BriVok | What's hot for you.", "[{000214A0-0000-0000-C000-000000000046}]",
                  "Prop3=19,2"});
}

// The bookmarklet's lines joined with nothing between them, comments left out, the root put
// in and every space written %20.
std::string ExpectedSaveUrl(const std::string& root) {
    return "javascript:(function(){f='" + root + "brivok?brivok_add_review_url='+encodeURIComponent(window.location."
           "href)+'&v=2&remote=1&ie=1&';if(document.getElementById){var%20h=document.getElementsByTagName('head')."
           "item(0);var%20s=document.createElement('script');if(typeof%20s!='object')s=document.standardCreateElement("
           "'script');s.setAttribute('src','" + root + "sites/all/modules/brivok/brivok_page_parsing.js');s.setAttribute("
           "'type','text/javascript');h.appendChild(s);}a=function(){if(typeof%20brivok_scripts_loaded!='undefined'){"
           "if(typeof%20res=='object'){for(var%20i=0;i<res.length;i++){f+=res[i].QueryKey+i+'='+res[i].Src+'&';}}"
           "location.href=f+'jump=yes';return;}setTimeout(a,0);};setTimeout(a,0);})();";
}

std::string ExpectedSaveDocument(const std::string& root) {
    return Lines({"[InternetShortcut]", "URL=" + ExpectedSaveUrl(root), "IconFile=" + root + "files/bin_brivok_favicon.ico",
                  "IconIndex=1", "IDList=", "Modified=C0E1E881C0A8C9013C",
                  "[{000214A0-0000-0000-C000-000000000046}]", "Prop3=19,2"});
}

std::string ResourceOf(HMODULE module, WORD id) {
    HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(100), MAKEINTRESOURCEW(id),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!found) return std::string();
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return data ? std::string(data, SizeofResource(module, found)) : std::string();
}

// The import a spy case has replaced, while it runs.
ImportSpy* g_spy = nullptr;

class WriteShortcutFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = Narrow(TestEnvironment(L"BRIVOK_ROOT"));
        ASSERT_FALSE(root_.empty());
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        temp_ = temp;
        folder_ = temp_ + L"BrivokWriteTest";
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr)) << GetLastError();
        view = folder_ + L"\\View Drovs.url";
        save = folder_ + L"\\+ Save It For Later.url";
        tempBefore_ = InstallerTemporaryFiles(temp_);
    }
    void TearDown() override {
        EXPECT_EQ(InstallerTemporaryFiles(temp_), tempBefore_) << "a url*.tmp file was left behind";
        EXPECT_TRUE(InstallerTemporaryFiles(folder_ + L"\\").empty()) << "a url*.tmp file was left beside the target";
        EXPECT_TRUE(RemoveTree(folder_));
    }

    // Writes the view shortcut with the temporary folder pointed at the given one, and
    // points it back again.
    HRESULT WriteWithTemporaryFolder(const std::wstring& folder) {
        const wchar_t* names[] = {L"TMP", L"TEMP"};
        const std::wstring saved[] = {TestEnvironment(names[0]), TestEnvironment(names[1])};
        for (const wchar_t* name : names) SetEnvironmentVariableW(name, folder.c_str());
        HRESULT hr = WriteShortcutFile(view.c_str(), 101);
        for (int i = 0; i < 2; ++i) SetEnvironmentVariableW(names[i], saved[i].empty() ? nullptr : saved[i].c_str());
        return hr;
    }

    // Writes the view shortcut document to the target with one import of this program
    // replaced by a stand-in, which reaches the real function through g_spy.
    template <typename Function>
    static void WriteWithSpy(void** slot, Function standIn, const std::wstring& target, HRESULT* hr) {
        ImportSpy spy(slot, reinterpret_cast<void*>(standIn));
        ASSERT_TRUE(spy.active()) << "the import is not in this program";
        g_spy = &spy;
        *hr = WriteShortcutFile(target.c_str(), 101);
        g_spy = nullptr;
    }

    // A written shortcut: the document, and the attributes of a file newly made, archive only
    // (not hidden, temporary nor read-only). A staged copy is set to normal once renamed, which
    // Windows reports as normal and Wine as archive.
    void ExpectWritten(const std::wstring& path, const std::string& expected) {
        EXPECT_EQ(Contents(path), expected);
        DWORD attributes = GetFileAttributesW(path.c_str());
        EXPECT_TRUE(attributes == FILE_ATTRIBUTE_ARCHIVE || attributes == FILE_ATTRIBUTE_NORMAL)
            << Narrow(path) << std::hex << std::showbase << " attributes " << attributes;
    }
    void ExpectViewWritten(const std::wstring& path) { ExpectWritten(path, ExpectedViewDocument(root_)); }

    std::string root_;
    std::wstring temp_;
    std::wstring folder_;
    std::wstring view, save;  // the two shortcuts' paths in the folder
    const std::string old_ = Lines({"[InternetShortcut]", "URL=http://old.example/"});  // to be replaced
    std::set<std::wstring> tempBefore_;
};

// Each document byte for byte, as written, as the build generated it and as the installer
// carries it.
TEST_F(WriteShortcutFileTest, WritesTheDocumentsExactly) {
    HMODULE installer = LoadLibraryExW(TestEnvironment(L"BRIVOK_INSTALLER").c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(installer, nullptr) << GetLastError();
    std::wstring generated = TestEnvironment(L"BRIVOK_GENERATED_DIR");
    struct Document { const std::wstring& path; WORD id; std::string expected; const wchar_t* built; };
    for (const Document& c : {Document{view, 101, ExpectedViewDocument(root_), L"\\ViewShortcut.url"},
                              Document{save, 102, ExpectedSaveDocument(root_), L"\\SaveShortcut.url"}}) {
        SCOPED_TRACE(c.id);
        HRESULT hr = WriteShortcutFile(c.path.c_str(), c.id);
        ASSERT_EQ(hr, S_OK) << std::hex << hr;
        ExpectWritten(c.path, c.expected);
        EXPECT_EQ(Contents(generated + c.built), c.expected);
        EXPECT_EQ(ResourceOf(installer, c.id), c.expected);
    }
    FreeLibrary(installer);
    EXPECT_LE(ExpectedSaveUrl(root_).size(), 2083u) << "longer than the browser takes";
}

TEST_F(WriteShortcutFileTest, ReplacesAnExistingShortcutCompletely) {
    std::string old = Lines({"[InternetShortcut]", "URL=http://old.example/", "HotKey=0", "Extra=1"}) +
                      std::string(4096, 'x');
    ASSERT_TRUE(WriteWholeFile(view, old));
    HRESULT hr = WriteShortcutFile(view.c_str(), 101);
    ASSERT_EQ(hr, S_OK) << std::hex << hr;
    ExpectViewWritten(view);
}

// A write can end short of its count and still succeed (a volume running full); Wine gives
// no way to make one on demand, so the write is cut one byte short.
BOOL WINAPI ShortWriteSpy(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    return g_spy->original<decltype(&WriteFile)>()(file, data, size ? size - 1 : 0, written, overlapped);
}

TEST_F(WriteShortcutFileTest, ShortWriteFailsAndKeepsTheOldShortcutSpy) {
    ASSERT_TRUE(WriteWholeFile(view, old_));
    HRESULT hr = 0xdeadbeef;
    ASSERT_NO_FATAL_FAILURE(WriteWithSpy(BRIVOK_IMPORT_SLOT(WriteFile), &ShortWriteSpy, view, &hr));
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)) << std::hex << hr;
    EXPECT_EQ(Contents(view), old_);
}

TEST_F(WriteShortcutFileTest, DirectoryAtTargetIsNotReplaced) {
    ASSERT_TRUE(CreateDirectoryW(save.c_str(), nullptr));
    HRESULT hr = WriteShortcutFile(save.c_str(), 102);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << std::hex << hr;
    EXPECT_TRUE(IsFolder(save));
}

TEST_F(WriteShortcutFileTest, FileHeldOpenKeepsItsContent) {
    ASSERT_TRUE(WriteWholeFile(view, old_));
    HANDLE held = CreateFileW(view.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HRESULT hr = WriteShortcutFile(view.c_str(), 101);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << std::hex << hr;
    CloseHandle(held);
    EXPECT_EQ(Contents(view), old_);
}

// Stands in for MoveFileExW and records each move with the attributes its source has at
// that moment. The other reader (g_heldTarget) lets go right after the first replace it
// made fail, however late that comes on a busy machine. With g_giveAway, after each
// successful move the name just moved away from is given to another installer at once, as
// GetTempFileNameW may give it.
struct RecordedMove { std::wstring from, to; DWORD attributes; };
std::vector<RecordedMove> gMoves;
HANDLE g_heldTarget = nullptr;
int g_refusedMoves = 0;
bool g_giveAway = false;
std::vector<std::wstring> gGivenAway;
const char kOtherInstallersFile[] = "another installer's file";

BOOL WINAPI MoveSpy(LPCWSTR from, LPCWSTR to, DWORD flags) {
    gMoves.push_back({from, to, GetFileAttributesW(from)});
    BOOL moved = g_spy->original<decltype(&MoveFileExW)>()(from, to, flags);
    DWORD error = GetLastError();
    if (!moved && g_heldTarget) {
        ++g_refusedMoves;
        CloseHandle(g_heldTarget);
        g_heldTarget = nullptr;
    }
    if (moved && g_giveAway && WriteWholeFile(from, kOtherInstallersFile)) gGivenAway.push_back(from);
    SetLastError(error);
    return moved;
}

TEST_F(WriteShortcutFileTest, FileHeldOpenForAMomentIsReplacedAfterIt) {
    // Another installer reading the old shortcut while this one replaces it.
    ASSERT_TRUE(WriteWholeFile(view, "old"));
    g_heldTarget = CreateFileW(view.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(g_heldTarget, INVALID_HANDLE_VALUE);
    g_refusedMoves = 0;
    HRESULT hr = 0xdeadbeef;
    ASSERT_NO_FATAL_FAILURE(WriteWithSpy(BRIVOK_IMPORT_SLOT(MoveFileExW), &MoveSpy, view, &hr));
    if (g_heldTarget) CloseHandle(g_heldTarget);
    g_heldTarget = nullptr;
    EXPECT_EQ(g_refusedMoves, 1);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    ExpectViewWritten(view);
}

TEST_F(WriteShortcutFileTest, MissingTemplateTouchesNoFile) {
    HRESULT hr = WriteShortcutFile(view.c_str(), 103);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND)) << std::hex << hr;
    EXPECT_FALSE(Exists(view));

    ASSERT_TRUE(WriteWholeFile(view, old_));
    hr = WriteShortcutFile(view.c_str(), 0);
    EXPECT_LT(hr, 0) << std::hex << hr;
    EXPECT_EQ(Contents(view), old_);
}

TEST_F(WriteShortcutFileTest, MissingTargetFolderLeavesNoTemporaryFile) {
    std::wstring view = folder_ + L"\\Missing\\View Drovs.url";
    HRESULT hr = WriteShortcutFile(view.c_str(), 101);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) << std::hex << hr;
    EXPECT_FALSE(Exists(view));
}

TEST_F(WriteShortcutFileTest, TemporaryFolderTooLongIsRefused) {
    // A temporary folder that does not exist fails as well.
    HRESULT hr = WriteWithTemporaryFolder(folder_ + L"\\NoSuchTemp");
    EXPECT_LT(hr, 0) << std::hex << hr;
    EXPECT_FALSE(Exists(view));

    // An existing folder whose path leaves no room for "url", four digits and ".tmp".
    std::wstring deep = folder_ + L"\\" + std::wstring(MAX_PATH - 14 - folder_.size() - 1, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError() << " " << deep.size();
    hr = WriteWithTemporaryFolder(deep);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)) << std::hex << hr;
    EXPECT_FALSE(Exists(view));
    EXPECT_TRUE(InstallerTemporaryFiles(deep + L"\\").empty());

    // One character shorter fits: the file name is made there and moved away again.
    std::wstring fits = folder_ + L"\\" + std::wstring(MAX_PATH - 15 - folder_.size() - 1 - 1, L'f');
    ASSERT_TRUE(CreateDirectoryW(fits.c_str(), nullptr)) << GetLastError();
    hr = WriteWithTemporaryFolder(fits);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    ExpectViewWritten(view);
    EXPECT_TRUE(InstallerTemporaryFiles(fits + L"\\").empty());
}

TEST_F(WriteShortcutFileTest, SpyNameGivenAwayAfterTheMoveIsNotDeleted) {
    gGivenAway.clear();
    g_giveAway = true;
    HRESULT hr = 0xdeadbeef;
    ASSERT_NO_FATAL_FAILURE(WriteWithSpy(BRIVOK_IMPORT_SLOT(MoveFileExW), &MoveSpy, view, &hr));
    g_giveAway = false;
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    ExpectViewWritten(view);
    ASSERT_FALSE(gGivenAway.empty()) << "no move was seen";
    for (const std::wstring& name : gGivenAway) {
        EXPECT_EQ(Contents(name), kOtherInstallersFile) << Narrow(name) << " was deleted";
        DeleteFileW(name.c_str());
    }
}

// The platform documents that a move allowed to copy succeeds even when the copy worked but
// its source could not be deleted (a scanner holding the file just closed). This stand-in
// refuses the rename out of the temporary folder as one across volumes, then copies and
// leaves the source; the rename beside the target goes through.
int g_copiesLeavingSource = 0;
BOOL WINAPI CopyLeavingSourceSpy(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (flags & MOVEFILE_COPY_ALLOWED) {
        ++g_copiesLeavingSource;
        return CopyFileW(from, to, FALSE);
    }
    std::wstring beside = std::wstring(to).substr(0, std::wstring(to).rfind(L'\\') + 1);
    if (std::wstring(from).rfind(beside, 0) != 0) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    return g_spy->original<decltype(&MoveFileExW)>()(from, to, flags);
}

TEST_F(WriteShortcutFileTest, SpyCopyThatLeavesItsSourceLeavesNoTemporaryFile) {
    ASSERT_TRUE(WriteWholeFile(view, old_));
    g_copiesLeavingSource = 0;
    HRESULT hr = 0xdeadbeef;
    ASSERT_NO_FATAL_FAILURE(WriteWithSpy(BRIVOK_IMPORT_SLOT(MoveFileExW), &CopyLeavingSourceSpy, view, &hr));
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    EXPECT_EQ(g_copiesLeavingSource, 1);
    ExpectViewWritten(view);
    // TearDown finds no url*.tmp in the temporary folder or beside the target.
}

// The Links folder on another volume than the temporary folder (/dev/shm is one here): the
// document is copied to a name beside the target first, and that copy is hidden until it
// is renamed over the target.
TEST_F(WriteShortcutFileTest, SpyStagedCopyOnAnotherVolumeIsHiddenUntilRenamed) {
    std::wstring other = L"Z:\\dev\\shm\\BrivokStage" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(other.c_str(), nullptr)) GTEST_SKIP() << "no folder on /dev/shm: " << GetLastError();
    std::wstring probe = folder_ + L"\\probe", probeThere = other + L"\\probe";
    ASSERT_TRUE(WriteWholeFile(probe, "probe"));
    BOOL moved = MoveFileExW(probe.c_str(), probeThere.c_str(), 0);
    DWORD error = GetLastError();
    DeleteFileW(probe.c_str());
    DeleteFileW(probeThere.c_str());
    if (moved || error != ERROR_NOT_SAME_DEVICE) {
        RemoveTree(other);
        GTEST_SKIP() << "/dev/shm is not another volume here: " << moved << " " << error;
    }

    std::wstring target = other + L"\\View Drovs.url";
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    gMoves.clear();
    HRESULT hr = 0xdeadbeef;
    ASSERT_NO_FATAL_FAILURE(WriteWithSpy(BRIVOK_IMPORT_SLOT(MoveFileExW), &MoveSpy, target, &hr));
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    ExpectViewWritten(target);

    // The last move renames the staged copy, beside the target, over the target.
    ASSERT_FALSE(gMoves.empty());
    const RecordedMove& rename = gMoves.back();
    EXPECT_EQ(rename.to, target) << Narrow(rename.to);
    EXPECT_EQ(rename.from.rfind(other + L"\\url", 0), 0u) << Narrow(rename.from);
    EXPECT_NE(rename.attributes, INVALID_FILE_ATTRIBUTES) << Narrow(rename.from);
    EXPECT_NE(rename.attributes & FILE_ATTRIBUTE_HIDDEN, 0u) << Narrow(rename.from) << std::hex << " attributes "
                                                             << rename.attributes;
    EXPECT_TRUE(InstallerTemporaryFiles(other + L"\\").empty()) << "a url*.tmp file was left beside the target";
    EXPECT_TRUE(RemoveTree(other));
}

}  // namespace
