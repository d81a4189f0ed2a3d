// The icon prefetch against Wine's own URL moniker and a small HTTP server that this test
// runs on 127.0.0.1; the shell's create notifications are watched through a registration
// of this process, which is where the prefetch sends them.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "shortcuts/PrefetchIcon.h"
#include "tests/support/ComApartment.h"
#include "tests/support/ImportSpy.h"
#include "tests/support/LocalService.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/ShellNotificationWatcher.h"
#include "tests/support/TestEnvironment.h"

BRIVOK_DECLARE_IMPORT_SLOT(GetProcAddress);
BRIVOK_DECLARE_IMPORT_SLOT(LoadLibraryExW);

namespace {

// The paths of the create notifications seen so far.
std::vector<std::wstring> Created(ShellNotificationWatcher& watcher) {
    std::vector<std::wstring> paths;
    for (const ShellNotification& seen : watcher.Seen()) paths.push_back(seen.path);
    return paths;
}

// A COM apartment and a watcher for the shell's create notifications, started before the
// test's own calls.
class IconFetch : public ComApartment {
protected:
    void SetUp() override {
        ComApartment::SetUp();
        ASSERT_TRUE(watcher.registered());
    }

    // One create notification more than the `before` seen earlier, for a file that holds `expected`.
    void ExpectOneCachedFile(const std::string& expected, size_t before = 0) {
        std::vector<std::wstring> created = Created(watcher);
        ASSERT_EQ(created.size(), before + 1) << "create notifications";
        std::string contents;
        ASSERT_TRUE(ReadWholeFile(created.back(), &contents)) << Narrow(created.back());
        EXPECT_EQ(contents, expected);
    }

    ShellNotificationWatcher watcher{SHCNE_CREATE};
};

// Each answer is fetched once and announced as the cached file that holds its body: the icon,
// a 404's page (still a successful download to the URL moniker), and the icon sent after
// three seconds, which is waited for.
TEST_F(IconFetch, PrefetchIconFetchesOnceAndAnnouncesTheCachedFile) {
    struct Answer { const char* what; HttpServer::Reply reply; DWORD delayMs; std::string cached; };
    for (const Answer& c : {Answer{"the icon", HttpServer::kIcon, 0, IconBytes()},
                            Answer{"an error page", HttpServer::kNotFound, 0, "<html>not here</html>"},
                            Answer{"the icon after three seconds", HttpServer::kIcon, 3000, IconBytes()}}) {
        SCOPED_TRACE(c.what);
        HttpServer server(c.reply, c.delayMs);
        size_t before = Created(watcher).size();
        DWORD start = GetTickCount();
        PrefetchIcon(IconUrl(server.port()).c_str());
        EXPECT_GE(GetTickCount() - start, c.delayMs);
        EXPECT_EQ(server.Requests(), std::vector<std::string>{std::string("GET ") + kIconPath + " HTTP/1.1"});
        ExpectOneCachedFile(c.cached, before);
    }
}

TEST_F(IconFetch, PrefetchIconFetchesAgainOnEveryRun) {
    // Wine's cache never answers for the server, so each call sends its own request. urlmon
    // stays loaded between the calls: unloading and loading it again in one process made a
    // later download under Wine wait for good for a completion that had already happened.
    HttpServer server(HttpServer::kIcon);
    PrefetchIcon(IconUrl(server.port()).c_str());
    ASSERT_EQ(server.Requests().size(), 1u);
    ASSERT_EQ(Created(watcher).size(), 1u);
    EXPECT_NE(GetModuleHandleW(L"urlmon.dll"), nullptr) << "urlmon was unloaded after the download";
    PrefetchIcon(IconUrl(server.port()).c_str());
    EXPECT_EQ(server.Requests().size(), 2u);
    std::vector<std::wstring> created = Created(watcher);
    ASSERT_EQ(created.size(), 2u);
    EXPECT_TRUE(Exists(created[1])) << Narrow(created[1]);
}

TEST_F(IconFetch, PrefetchIconGivesUpOnAServiceThatNeverAnswers) {
    // The bound is 8 s; the download thread is left inside the call, and stays there until
    // the server lets go of the connection below.
    {
        HttpServer server(HttpServer::kNever);
        DWORD start = GetTickCount();
        PrefetchIcon(IconUrl(server.port()).c_str());
        DWORD elapsed = GetTickCount() - start;
        EXPECT_GE(elapsed, 7900u);
        EXPECT_LT(elapsed, 11000u);
        EXPECT_EQ(server.connections(), 1);
        EXPECT_TRUE(Created(watcher).empty()) << "a create notification for a stalled download";
    }
    // The abandoned download now ends; nobody announces it.
    Sleep(1000);
    EXPECT_TRUE(Created(watcher).empty()) << "a create notification after the bound";
}

TEST_F(IconFetch, PrefetchIconIsSilentWhenTheServiceIsUnreachable) {
    DWORD start = GetTickCount();
    ClosedPort closed;
    PrefetchIcon(IconUrl(closed.port()).c_str());
    EXPECT_LT(GetTickCount() - start, 10000u);
    EXPECT_TRUE(Created(watcher).empty()) << "a create notification for a failed download";
}

TEST_F(IconFetch, PrefetchIconNotificationsAreSeenByThisWatcher) {
    // Guards the tests above: a create notification for a file does reach the watcher.
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"watched.txt";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW | SHCNF_FLUSH, path.c_str(), nullptr);
    std::vector<std::wstring> created = Created(watcher);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(lstrcmpiW(created[0].c_str(), path.c_str()), 0) << Narrow(created[0]);
    DeleteFileW(path.c_str());
}

// kernel32 as Windows XP's: it exports neither AddDllDirectory nor SetDefaultDllDirectories,
// and its loader ignores the restricted search flag it does not know (0x800), searching the
// program's own folder first. These run in a process of their own (icon_prefetch_xp_loader)
// where urlmon was never loaded, Wine searches for it as Windows does, and the planted copy
// lies beside this program.
ImportSpy* g_getProcAddress = nullptr;
ImportSpy* g_loadLibraryEx = nullptr;

FARPROC WINAPI XpGetProcAddress(HMODULE module, LPCSTR name) {
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) &&
        (lstrcmpA(name, "AddDllDirectory") == 0 || lstrcmpA(name, "SetDefaultDllDirectories") == 0)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_getProcAddress->original<decltype(&GetProcAddress)>()(module, name);
}

HMODULE WINAPI XpLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    return g_loadLibraryEx->original<decltype(&LoadLibraryExW)>()(name, file, flags & ~0x800u);
}

using XpLoader = IconFetch;

TEST_F(XpLoader, PrefetchIconImportSpyFetchesWithTheSystemCopyNotThePlantedOne) {
    ASSERT_EQ(GetModuleHandleW(L"urlmon.dll"), nullptr) << "urlmon was loaded before the case";
    const std::wstring folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(Exists(folder + L"urlmon.dll")) << "nothing planted";
    const std::wstring marker = folder + L"planted-urlmon-loaded.txt";
    DeleteFileW(marker.c_str());

    HttpServer server(HttpServer::kIcon);
    {
        ImportSpy getProcAddress(BRIVOK_IMPORT_SLOT(GetProcAddress), reinterpret_cast<void*>(&XpGetProcAddress));
        ImportSpy loadLibraryEx(BRIVOK_IMPORT_SLOT(LoadLibraryExW), reinterpret_cast<void*>(&XpLoadLibraryExW));
        ASSERT_TRUE(getProcAddress.active() && loadLibraryEx.active());
        g_getProcAddress = &getProcAddress;
        g_loadLibraryEx = &loadLibraryEx;
        PrefetchIcon(IconUrl(server.port()).c_str());
    }

    EXPECT_FALSE(Exists(marker)) << "the planted urlmon.dll was loaded";
    EXPECT_EQ(server.Requests().size(), 1u);
    ExpectOneCachedFile(IconBytes());
}

}  // namespace
