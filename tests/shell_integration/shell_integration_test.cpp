// Whole runs of RunInstaller in this process, with Wine's own classes or spies for the
// browser application and the Internet Shortcut class, watching the shell notifications
// the run sends (Wine delivers them only inside the sending process).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/BoundedWorker.h"
#include "installer/RunInstaller.h"
#include "shortcuts/LinkPaths.h"
#include "tests/menuorder/MenuOrderTestSupport.h"
#include "tests/support/ImportSpy.h"
#include "tests/support/LocalService.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/ShellNotificationWatcher.h"
#include "tests/support/ShellSpies.h"
#include "tests/support/TestEnvironment.h"

BRIVOK_DECLARE_IMPORT_SLOT(SHChangeNotify);
BRIVOK_DECLARE_IMPORT_SLOT(CoUninitialize);

namespace {

std::string Describe(const std::vector<ShellNotification>& seen) {
    std::string text;
    for (const auto& n : seen) text += HexString(n.event) + " " + Narrow(n.path) + " held " + std::to_string(n.sample) + "\n";
    return text;
}

// ---------------------------------------------------------------------------------------
// RunInstaller in this process

struct HereRun {
    int result = -1;
    std::vector<MessageBoxInfo> boxes;
    DWORD returnedAt = 0;  // GetTickCount() when RunInstaller returned
};

// Runs the whole installation on this thread while another one answers its box.
HereRun RunHere() {
    BoxAnswerer answerer;
    HereRun run;
    run.result = RunInstaller(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT);
    run.returnedAt = GetTickCount();
    run.boxes = answerer.Stop();
    return run;
}

// The installer's paths in this prefix, found the way it finds them; the shortcuts are
// removed before and after each test.
class ShellRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Every run here fetches the icon from 127.0.0.1: refused unless a test serves it.
        ASSERT_TRUE(PointServiceAt(closed_.port())) << "the built root is shorter than a local one";
        InstallerLinkPaths paths;
        ASSERT_TRUE(ResolveInstallerLinkPaths(&paths));
        folder_ = paths.folder;
        view_ = paths.view;
        save_ = paths.save;
        DeleteFileW(view_.c_str());
        DeleteFileW(save_.c_str());
        std::wstring generated = TestEnvironment(L"BRIVOK_GENERATED_DIR");
        ASSERT_TRUE(ReadWholeFile(generated + L"\\ViewShortcut.url", &viewTemplate_));
        ASSERT_TRUE(ReadWholeFile(generated + L"\\SaveShortcut.url", &saveTemplate_));
    }
    void TearDown() override {
        DeleteFileW(view_.c_str());
        DeleteFileW(save_.c_str());
        // Once a wait in this process was given up (a slow browser or shell, on a busy machine
        // too), every run leaves its paths and apartment to the end of the process, which ends
        // right after the box; this one goes on. A run refused its apartment opened none, and
        // its test has closed its own by now: the extra call then finds none and does nothing.
        if (AnyWorkerGivenUp()) {
            FreeLinkPaths();
            CoUninitialize();
        }
    }
    // A run that ended as a successful one does: both shortcuts as the templates have them (a
    // shortcut spy saves nothing), 0, and the one box saying so.
    void ExpectInstalled(const HereRun& run) {
        EXPECT_EQ(Contents(view_), viewTemplate_) << Narrow(view_);
        EXPECT_EQ(Contents(save_), saveTemplate_) << Narrow(save_);
        EXPECT_EQ(run.result, 0);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
    }

    ClosedPort closed_;
    std::wstring folder_, view_, save_;
    std::string viewTemplate_, saveTemplate_;
};

TEST_F(ShellRunTest, RunInstallerOnWineSendsNoIconNotificationWhenTheServiceRefuses) {
    ShellNotificationWatcher watcher(SHCNE_CREATE | SHCNE_UPDATEITEM);
    ASSERT_TRUE(watcher.registered());
    ExpectInstalled(RunHere());
    std::vector<ShellNotification> seen = watcher.Seen();
    std::vector<std::wstring> created;
    for (const auto& n : seen) {
        if (n.event == SHCNE_CREATE) created.push_back(n.path);
    }
    ASSERT_EQ(created.size(), 2u) << Describe(seen);
    EXPECT_EQ(lstrcmpiW(created[0].c_str(), save_.c_str()), 0) << Describe(seen);
    EXPECT_EQ(lstrcmpiW(created[1].c_str(), view_.c_str()), 0) << Describe(seen);
}

// The browser application as a spy: what the run does with the instances it creates.
struct HeldBrowserSpy : public BrowserSpy {
    using BrowserSpy::BrowserSpy;
    BRIVOK_RECORDED(Quit, (), log->Add, S_OK)
    BRIVOK_RECORDED(put_Visible, (VARIANT_BOOL), log->Add, S_OK)
    BRIVOK_RECORDED(Navigate, (BSTR, VARIANT*, VARIANT*, VARIANT*, VARIANT*), log->Add, S_OK)
    BRIVOK_RECORDED(Navigate2, (VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*), log->Add, S_OK)
};

struct BrowserClassSpy {
    BrowserClassSpy(std::wstring saveFile = {}, std::wstring viewFile = {})
        : save(std::move(saveFile)), view(std::move(viewFile)) {}
    CallLog log;
    SpyCounter counter;
    HeldBrowserSpy instance{"instance", L"C:\\Program Files\\Internet Explorer\\iexplore.exe", nullptr,
                            &log, &counter};
    HRESULT creationResult = S_OK;
    DWORD creationDelayMs = 0;  // a browser that is slow to start
    std::wstring save, view;  // the shortcuts whose presence each creation notes
    SpyFactory factory{[this](REFIID iid, void** out) -> HRESULT {
        Sleep(creationDelayMs);
        log.Add("CreateBrowser(save " + std::to_string(Exists(save)) + ", view " + std::to_string(Exists(view)) + ")");
        if (FAILED(creationResult)) return creationResult;
        return instance.QueryInterface(iid, out);
    }};
    SpyRegistration registration{kClsidInternetExplorer, &factory, CLSCTX_LOCAL_SERVER};
};

// A thread already in a multithreaded apartment cannot open the installer's own.
TEST_F(ShellRunTest, RunInstallerSpyInAMultithreadedApartmentReportsCoInitializeAndStops) {
    // Wine has no system text for RPC_E_CHANGED_MODE; Windows has one.
    std::wstring system = SystemText(RPC_E_CHANGED_MODE);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
        BrowserClassSpy browser;  // any stage that ran would create an instance
        ASSERT_EQ(browser.registration.hr, S_OK);
        HereRun run = RunHere();
        EXPECT_EQ(run.result, 1);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, system.empty() ? L"CoInitialize" : L"CoInitialize\r\n" + system) << Narrow(run.boxes[0].text);
        EXPECT_EQ(run.boxes[0].icon, BoxIcon::Error) << BoxIconName(run.boxes[0].icon);
        EXPECT_EQ(browser.log.Text(), "") << "a stage ran";
        EXPECT_FALSE(Exists(save_));
        EXPECT_FALSE(Exists(view_));
    }
    CoUninitialize();
}

constexpr LONG kRunEvents = SHCNE_CREATE | SHCNE_UPDATEITEM | SHCNE_EXTENDED_EVENT;

class ComApartmentRunTest : public ShellRunTest {
protected:
    // Both files and the folder, then the order change before and after the reorder.
    void ExpectAnnouncements(const std::vector<ShellNotification>& seen) {
        ASSERT_EQ(seen.size(), 6u) << Describe(seen);
        const LONG events[] = {SHCNE_CREATE, SHCNE_UPDATEITEM, SHCNE_CREATE, SHCNE_UPDATEITEM,
                               SHCNE_EXTENDED_EVENT, SHCNE_EXTENDED_EVENT};
        const std::wstring paths[] = {save_, folder_, view_, folder_, folder_, folder_};
        for (size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(seen[i].event, events[i]) << i << "\n" << Describe(seen);
            EXPECT_EQ(lstrcmpiW(seen[i].path.c_str(), paths[i].c_str()), 0) << i << "\n" << Describe(seen);
            // One item of 4 bytes holding SHCNEE_ORDERCHANGED (2).
            EXPECT_EQ(seen[i].extended, i < 4 ? 0u : 0x00020004u) << i << "\n" << Describe(seen);
        }
    }

    // A successful run, timed when elapsed is given: one instance for the toolbar before
    // anything is written, one held once both exist and through every announcement; neither
    // is shown, navigated or told to quit, and nothing of either is kept after the run.
    void RunHoldingTheBrowser(DWORD* elapsed = nullptr) {
        ShellNotificationWatcher watcher(kRunEvents, [this] { return browser_->instance.refs_; });
        ASSERT_TRUE(watcher.registered());
        DWORD start = GetTickCount();
        HereRun run = RunHere();
        if (elapsed) *elapsed = GetTickCount() - start;
        ExpectInstalled(run);
        std::vector<ShellNotification> seen = watcher.Seen();
        EXPECT_EQ(browser_->log.Text(),
                  "CreateBrowser(save 0, view 0)\nShowBrowserBar(instance,vt2:11,vt11:-1,vt0)\n"
                  "CreateBrowser(save 1, view 1)\n");
        EXPECT_EQ(browser_->counter.live, 0) << "references kept after the run";
        ExpectAnnouncements(seen);
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_GE(seen[i].sample, 1) << i << ": the instance was not held during the announcement\n" << Describe(seen);
    }

    // Every run here has the browser application as a spy, noting the shortcuts at each creation.
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ShellRunTest::SetUp();
        browser_ = std::make_unique<BrowserClassSpy>(save_, view_);
        ASSERT_EQ(browser_->registration.hr, S_OK);
    }
    void TearDown() override {
        browser_.reset();
        ShellRunTest::TearDown();
        CoUninitialize();
    }

    std::unique_ptr<BrowserClassSpy> browser_;
};

TEST_F(ComApartmentRunTest, RunInstallerSpyHoldsABrowserInstanceWhileAnnouncingTheShortcuts) {
    ShortcutClassSpy shortcut;
    ASSERT_EQ(shortcut.registration.hr, S_OK);

    RunHoldingTheBrowser();

    // Stamped save first, then view, each with its own title, after it was written.
    std::string calls = Joined(shortcut.shortcut.calls);
    std::string saveText = NarrowText(save_.c_str()), viewText = NarrowText(view_.c_str());
    size_t saveLoad = calls.find("Load(" + saveText + ",0x12)");
    size_t saveTitle = calls.find("vt31:BriVok | Save It For Later - What's hot for you.,");
    size_t viewLoad = calls.find("Load(" + viewText + ",0x12)");
    size_t viewTitle = calls.find("vt31:BriVok | What's hot for you.,");
    ASSERT_NE(saveLoad, std::string::npos) << calls;
    ASSERT_NE(viewLoad, std::string::npos) << calls;
    EXPECT_LT(saveLoad, saveTitle) << calls;
    EXPECT_LT(saveTitle, viewLoad) << calls;
    EXPECT_LT(viewLoad, viewTitle) << calls;
    EXPECT_NE(viewTitle, std::string::npos) << calls;
    EXPECT_EQ(shortcut.factory.creations, 2);
    EXPECT_EQ(shortcut.counter.live, 0);
}

// A shell whose window list never answers: creating it blocks until the test lets it go,
// or for 20 s at most, so that a run without a bound shows as a slow failure.
struct HungShellWindowsClassSpy {
    UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    SpyFactory factory{[this](REFIID, void**) -> HRESULT {
        WaitForSingleObject(release.Get(), 20000);
        return E_NOINTERFACE;
    }};
    SpyRegistration registration{kClsidShellWindows, &factory, CLSCTX_LOCAL_SERVER};
    LONG registeredRefs = factory.refs;
    ~HungShellWindowsClassSpy() {
        // The creation left behind lets go of the factory before it is gone.
        SetEvent(release.Get());
        for (int i = 0; i < 200 && factory.refs != registeredRefs; ++i) Sleep(50);
        EXPECT_EQ(factory.refs, registeredRefs) << "the shell's class kept by the run";
    }
};

TEST_F(ComApartmentRunTest, RunInstallerSpyWaitsForASlowBrowserWhileTheShellNeverAnswers) {
    HungShellWindowsClassSpy shell;
    ASSERT_EQ(shell.registration.hr, S_OK);
    browser_->creationDelayMs = 1500;  // inside the bound on starting the browser

    // Both slow instances were waited for, and the held one was held while announcing.
    DWORD elapsed = 0;
    RunHoldingTheBrowser(&elapsed);

    EXPECT_EQ(shell.factory.creations, 1);
    // 2 s for the shell's window list, 3 s of slow starts, the rest of a normal run.
    EXPECT_LT(elapsed, 14000u);
}

TEST_F(ComApartmentRunTest, RunInstallerSpyGoesOnWhenNoBrowserCanBeCreated) {
    browser_->creationResult = REGDB_E_CLASSNOTREG;
    ShellNotificationWatcher watcher(kRunEvents);
    ASSERT_TRUE(watcher.registered());

    ExpectInstalled(RunHere());

    EXPECT_EQ(browser_->log.Text(), "CreateBrowser(save 0, view 0)\nCreateBrowser(save 1, view 1)\n");
    ExpectAnnouncements(watcher.Seen());
}

// The icon is announced, then the run pauses 200 ms before it writes the first shortcut.
TEST_F(ComApartmentRunTest, RunInstallerSpyPausesBetweenTheIconAndTheFirstShortcut) {
    HttpServer server(HttpServer::kIcon);
    ASSERT_TRUE(PointServiceAt(server.port()));
    ShellNotificationWatcher watcher(SHCNE_CREATE);
    ASSERT_TRUE(watcher.registered());

    HereRun run = RunHere();

    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(server.Requests().size(), 1u);
    std::vector<ShellNotification> seen = watcher.Seen();
    ASSERT_EQ(seen.size(), 3u) << Describe(seen);
    EXPECT_EQ(lstrcmpiW(seen[1].path.c_str(), save_.c_str()), 0) << Describe(seen);
    WIN32_FILE_ATTRIBUTE_DATA save;
    ASSERT_TRUE(GetFileAttributesExW(save_.c_str(), GetFileExInfoStandard, &save));
    // File times come from the kernel's coarse clock, a few milliseconds behind.
    LONGLONG gapMs = (static_cast<LONGLONG>(Ticks(save.ftLastWriteTime)) - static_cast<LONGLONG>(seen[0].time)) / 10000;
    EXPECT_GE(gapMs, 190) << "from the icon's announcement to the save shortcut's write";
}

// On Windows a flushed notification returns once the shell's own process has delivered it;
// Wine delivers it inside this process and never waits. This spy on the program's import
// of SHChangeNotify stands in for the shell's process: each flushed call is held for
// delayMs and then passed on, or, for a hung shell, held until the test lets go (20 s at
// most) and never delivered. It records each flushed call and how many overlapped.
struct FlushedNotifySpy;
FlushedNotifySpy* g_notifySpy = nullptr;

struct FlushedNotifySpy {
    explicit FlushedNotifySpy(DWORD delay) : delayMs(delay) { g_notifySpy = this; }
    ~FlushedNotifySpy() {
        // A call given up by the run lets go, and returns before the import is put back.
        SetEvent(release.Get());
        for (int i = 0; i < 200 && InterlockedCompareExchange(&inFlight, 0, 0) != 0; ++i) Sleep(50);
        EXPECT_EQ(inFlight, 0) << "a flushed call still held";
        g_notifySpy = nullptr;
    }
    std::vector<LONG> Events() {
        std::lock_guard<std::mutex> hold(lock);
        return events;
    }

    static void WINAPI StandIn(LONG event, UINT flags, LPCVOID first, LPCVOID second) {
        FlushedNotifySpy* self = g_notifySpy;
        if (!(flags & SHCNF_FLUSH)) return self->spy.original<decltype(&SHChangeNotify)>()(event, flags, first, second);
        {
            std::lock_guard<std::mutex> hold(self->lock);
            self->events.push_back(event);
        }
        LONG overlapping = InterlockedIncrement(&self->inFlight);
        if (overlapping > self->maxInFlight) self->maxInFlight = overlapping;
        bool hung = self->delayMs == INFINITE;
        WaitForSingleObject(self->release.Get(), hung ? 20000 : self->delayMs);
        if (!hung) self->spy.original<decltype(&SHChangeNotify)>()(event, flags, first, second);
        InterlockedDecrement(&self->inFlight);
    }

    const DWORD delayMs;
    UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::mutex lock;
    std::vector<LONG> events;
    volatile LONG inFlight = 0;
    LONG maxInFlight = 0;
    ImportSpy spy{BRIVOK_IMPORT_SLOT(SHChangeNotify), reinterpret_cast<void*>(&StandIn)};
};

TEST_F(ComApartmentRunTest, RunInstallerImportSpyWaitsForAShellThatDeliversEachNotificationSlowly) {
    FlushedNotifySpy shell(500);
    ASSERT_TRUE(shell.spy.active());

    // All six delivered in order, while the instance is held (see RunHoldingTheBrowser).
    RunHoldingTheBrowser();

    EXPECT_EQ(shell.Events().size(), 6u);
    EXPECT_EQ(shell.maxInFlight, 1) << "an announcement went out before the one before it was delivered";
}

TEST_F(ComApartmentRunTest, RunInstallerImportSpyStoresTheOrderAndShowsItsBoxWhileTheShellHangs) {
    ASSERT_TRUE(WriteWholeFile(save_, "old")) << Narrow(save_);
    ASSERT_TRUE(WriteWholeFile(view_, "old")) << Narrow(view_);
    TestOrderKey order;
    ASSERT_TRUE(order.Open());
    ASSERT_TRUE(order.Write(OtherViewSaveRecord(view_, save_, {0, 1, 2})));  // the shortcuts behind another button
    FlushedNotifySpy shell(INFINITE);
    ASSERT_TRUE(shell.spy.active());

    DWORD start = GetTickCount();
    HereRun run = RunHere();
    DWORD elapsed = GetTickCount() - start;

    ExpectInstalled(run);
    EXPECT_LT(elapsed, 14000u);
    // The first announcement was never delivered; none followed it.
    EXPECT_EQ(shell.Events(), std::vector<LONG>{SHCNE_CREATE});
    std::vector<BYTE> stored;
    ASSERT_TRUE(order.Read(&stored));
    EXPECT_EQ(EntryPositions(stored), (std::vector<LONG>{2, 1, 0})) << "Other, view, save";
    EXPECT_EQ(browser_->counter.live, 0) << "references kept after the run";
}

// CoUninitialize unloads the DLLs the thread loaded under the loader's lock, which a worker
// given up inside a system call may hold: on the thread that runs the installer, this stand-in
// blocks for 30 s as such a call would; elsewhere it passes the call on.
DWORD g_installerThread = 0;
decltype(&CoUninitialize) g_uninitialize = nullptr;  // the real one
void WINAPI UninitializeBehindAHeldLock() {
    if (GetCurrentThreadId() == g_installerThread) {
        Sleep(30000);
        return;
    }
    g_uninitialize();
}

TEST_F(ComApartmentRunTest, RunInstallerImportSpyEndsRightAfterItsBoxOnceAWaitWasGivenUp) {
    FlushedNotifySpy shell(INFINITE);  // the first announcement is given up
    ASSERT_TRUE(shell.spy.active());
    HereRun run;
    {
        g_installerThread = GetCurrentThreadId();
        g_uninitialize = &CoUninitialize;
        ImportSpy uninitialize(BRIVOK_IMPORT_SLOT(CoUninitialize), reinterpret_cast<void*>(&UninitializeBehindAHeldLock));
        ASSERT_TRUE(uninitialize.active());
        run = RunHere();
    }

    ExpectInstalled(run);
    ASSERT_TRUE(AnyWorkerGivenUp());
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_LT(run.returnedAt - run.boxes[0].closedAt, 2000u) << "ms from the box to the return";
}

}  // namespace
