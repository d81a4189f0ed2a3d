// Whole runs with the shell and the browser: the built installer against Wine's own
// classes, and RunInstaller in this process against spies for the browser application
// and the Internet Shortcut class, watching the shell notifications the run sends.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "installer/RunInstaller.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/ShellSpies.h"
#include "tests/support/TestEnvironment.h"

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Browser processes seen while a run goes on: the browser's local server lives only as
// long as someone holds an instance, so the process list is sampled on a thread.
class BrowserProcessWatcher {
public:
    BrowserProcessWatcher() { thread_ = CreateThread(nullptr, 0, &BrowserProcessWatcher::Sample, this, 0, nullptr); }
    ~BrowserProcessWatcher() { Stop(); }
    std::vector<DWORD> Stop() {
        if (thread_) {
            stop_ = true;
            WaitForSingleObject(thread_, 10000);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        return seen_;
    }

private:
    static DWORD WINAPI Sample(void* parameter) {
        auto* self = static_cast<BrowserProcessWatcher*>(parameter);
        while (!self->stop_) {
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W entry = {};
            entry.dwSize = sizeof(entry);
            for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
                if (lstrcmpiW(entry.szExeFile, L"iexplore.exe") != 0) continue;
                if (std::find(self->seen_.begin(), self->seen_.end(), entry.th32ProcessID) == self->seen_.end())
                    self->seen_.push_back(entry.th32ProcessID);
            }
            CloseHandle(snapshot);
            Sleep(5);
        }
        return 0;
    }
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::vector<DWORD> seen_;
};

struct Notification {
    LONG event;
    std::wstring path;
    LONG heldReferences;  // what the product held of the watched spy at that moment
};

// Create and update notifications of the shell, received on a thread of their own that
// pumps messages (the shell may deliver them synchronously).
class NotificationWatcher {
public:
    explicit NotificationWatcher(const LONG* watchedReferences = nullptr) : watched_(watchedReferences) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &NotificationWatcher::Pump, this, 0, nullptr);
        WaitForSingleObject(ready_, 10000);
    }
    ~NotificationWatcher() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    bool registered() const { return registration_ != 0; }
    std::vector<Notification> Seen() {
        Sleep(300);  // anything posted rather than sent has arrived by then
        std::lock_guard<std::mutex> hold(lock_);
        return seen_;
    }

private:
    static constexpr UINT kMessage = WM_APP + 9;
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message != kMessage) return DefWindowProcW(window, message, w, l);
        auto* self = reinterpret_cast<NotificationWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        auto** items = reinterpret_cast<PIDLIST_ABSOLUTE*>(w);
        wchar_t path[MAX_PATH] = L"(no path)";
        if (items && items[0]) SHGetPathFromIDListW(items[0], path);
        if (self) {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->seen_.push_back({static_cast<LONG>(l), path, self->watched_ ? *self->watched_ : -1});
        }
        return 0;
    }
    static DWORD WINAPI Pump(void* parameter) {
        auto* self = static_cast<NotificationWatcher*>(parameter);
        self->threadId_ = GetCurrentThreadId();
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &NotificationWatcher::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"BrivokNotificationWatcher";
        RegisterClassW(&windowClass);
        HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                      nullptr, windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        SHChangeNotifyEntry entry = {nullptr, TRUE};
        self->registration_ = SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_InterruptLevel,
                                                     SHCNE_CREATE | SHCNE_UPDATEITEM, kMessage, 1, &entry);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        SetEvent(self->ready_);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        if (self->registration_) SHChangeNotifyDeregister(self->registration_);
        DestroyWindow(window);
        return 0;
    }

    const LONG* watched_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    ULONG registration_ = 0;
    std::mutex lock_;
    std::vector<Notification> seen_;
};

std::string Describe(const std::vector<Notification>& seen) {
    std::string text;
    for (const auto& n : seen) text += HexString(n.event) + " " + Narrow(n.path) + " held " + std::to_string(n.heldReferences) + "\n";
    return text;
}

// The installer's paths in this prefix, found the way it finds them; the shortcuts are
// removed before and after each test.
class ShellRunTest : public ::testing::Test {
protected:
    void SetUp() override {
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
    }
    void ExpectDocumentsAsWritten() {
        std::string view, save;
        ASSERT_TRUE(ReadWholeFile(view_, &view)) << Narrow(view_);
        ASSERT_TRUE(ReadWholeFile(save_, &save)) << Narrow(save_);
        EXPECT_EQ(view, viewTemplate_);
        EXPECT_EQ(save, saveTemplate_);
    }

    std::wstring folder_, view_, save_;
    std::string viewTemplate_, saveTemplate_;
};

// Wine delivers shell notifications only inside the sending process, so the installer's
// own are watched in the runs of RunInstaller in this process below.
TEST_F(ShellRunTest, InstallerOnWineStartsTheBrowserAndKeepsTheDocuments) {
    BrowserProcessWatcher browsers;
    ProcessRun run = RunAndAnswerBoxes(L"\"" + TestEnvironment(L"BRIVOK_INSTALLER") + L"\"", 120000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << std::hex << run.exitCode;
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
    EXPECT_GE(browsers.Stop().size(), 1u) << "no browser instance was started";
    // Wine cannot open the site property set, so stamping stops before saving.
    ExpectDocumentsAsWritten();
}

// ---------------------------------------------------------------------------------------
// RunInstaller in this process

struct HereRun {
    int result = -1;
    std::vector<MessageBoxInfo> boxes;
};

struct BoxAnswerer {
    std::atomic<bool> done{false};
    std::vector<MessageBoxInfo> boxes;
    static DWORD WINAPI Answer(void* parameter) {
        auto* self = static_cast<BoxAnswerer*>(parameter);
        std::vector<HWND> answered;
        while (!self->done) {
            for (HWND box : FindMessageBoxes(GetCurrentProcessId())) {
                if (std::find(answered.begin(), answered.end(), box) != answered.end()) continue;
                self->boxes.push_back(ReadMessageBox(box));
                answered.push_back(box);
                PressOk(box);
            }
            Sleep(20);
        }
        return 0;
    }
};

// Runs the whole installation on this thread while another one answers its box.
HereRun RunHere() {
    BoxAnswerer answerer;
    HANDLE thread = CreateThread(nullptr, 0, &BoxAnswerer::Answer, &answerer, 0, nullptr);
    HereRun run;
    run.result = RunInstaller(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT);
    answerer.done = true;
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    run.boxes = answerer.boxes;
    return run;
}

// Whether the service's icon address can be reached from here: its host must resolve,
// and a loopback address must accept connections. Hosts elsewhere count as reachable.
bool ServiceReachable() {
    std::wstring root = TestEnvironment(L"BRIVOK_ROOT");
    size_t start = root.find(L"://");
    if (start == std::wstring::npos) return true;
    start += 3;
    size_t end = root.find(L'/', start);
    std::wstring authority = root.substr(start, end - start);
    size_t colon = authority.find(L':');
    std::wstring host = authority.substr(0, colon);
    std::wstring port = colon == std::wstring::npos ? (root.rfind(L"https", 0) == 0 ? L"443" : L"80")
                                                    : authority.substr(colon + 1);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    ADDRINFOW* found = nullptr;
    bool reachable = GetAddrInfoW(host.c_str(), port.c_str(), nullptr, &found) == 0;
    if (reachable && found->ai_family == AF_INET &&
        reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
        SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        reachable = connect(probe, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
        closesocket(probe);
    }
    if (found) FreeAddrInfoW(found);
    WSACleanup();
    return reachable;
}

std::vector<std::wstring> Created(const std::vector<Notification>& seen) {
    std::vector<std::wstring> created;
    for (const auto& n : seen) {
        if (n.event == SHCNE_CREATE) created.push_back(n.path);
    }
    return created;
}

TEST_F(ShellRunTest, RunInstallerOnWineSendsNoIconNotificationWhenTheServiceIsUnreachable) {
    if (ServiceReachable()) GTEST_SKIP() << "the service at " << Narrow(TestEnvironment(L"BRIVOK_ROOT")) << " may answer";
    NotificationWatcher watcher;
    ASSERT_TRUE(watcher.registered());
    HereRun run = RunHere();
    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
    std::vector<Notification> seen = watcher.Seen();
    std::vector<std::wstring> created = Created(seen);
    ASSERT_EQ(created.size(), 2u) << Describe(seen);
    EXPECT_EQ(lstrcmpiW(created[0].c_str(), save_.c_str()), 0) << Describe(seen);
    EXPECT_EQ(lstrcmpiW(created[1].c_str(), view_.c_str()), 0) << Describe(seen);
    ExpectDocumentsAsWritten();
}

// The browser application as a spy: what the run does with the instances it creates.
struct HeldBrowserSpy : public BrowserSpy {
    using BrowserSpy::BrowserSpy;
    HRESULT STDMETHODCALLTYPE Quit() override {
        log->Add("Quit");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL) override {
        log->Add("put_Visible");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Navigate(BSTR, VARIANT*, VARIANT*, VARIANT*, VARIANT*) override {
        log->Add("Navigate");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Navigate2(VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*) override {
        log->Add("Navigate2");
        return S_OK;
    }
};

struct BrowserClassSpy {
    CallLog log;
    SpyCounter counter;
    HeldBrowserSpy instance{"instance", L"C:\\Program Files\\Internet Explorer\\iexplore.exe", nullptr,
                            &log, &counter};
    HRESULT creationResult = S_OK;
    DWORD creationDelayMs = 0;  // a browser that is slow to start
    std::wstring save, view;
    SpyFactory factory{[this](REFIID iid, void** out) -> HRESULT {
        Sleep(creationDelayMs);
        log.Add("CreateBrowser(save " + std::to_string(Exists(save)) + ", view " + std::to_string(Exists(view)) + ")");
        if (FAILED(creationResult)) return creationResult;
        return instance.QueryInterface(iid, out);
    }};
    SpyRegistration registration{kClsidInternetExplorer, &factory};
};

class ComApartmentRunTest : public ShellRunTest {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ShellRunTest::SetUp();
    }
    void TearDown() override {
        ShellRunTest::TearDown();
        CoUninitialize();
    }
};

TEST_F(ComApartmentRunTest, RunInstallerSpyHoldsABrowserInstanceWhileAnnouncingTheShortcuts) {
    BrowserClassSpy browser;
    browser.save = save_;
    browser.view = view_;
    ASSERT_EQ(browser.registration.hr, S_OK);
    ShortcutClassSpy shortcut;
    ASSERT_EQ(shortcut.registration.hr, S_OK);
    NotificationWatcher watcher(&browser.instance.refs_);
    ASSERT_TRUE(watcher.registered());

    HereRun run = RunHere();

    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
    // One instance for the toolbar before anything is written, one held once both exist;
    // neither is shown, navigated or told to quit.
    EXPECT_EQ(browser.log.Text(),
              "CreateBrowser(save 0, view 0)\nShowBrowserBar(instance,vt2:11,vt11:-1,vt0)\n"
              "CreateBrowser(save 1, view 1)\n");
    EXPECT_EQ(browser.counter.live, 0) << "references kept after the run";

    std::vector<Notification> seen = watcher.Seen();
    ASSERT_EQ(seen.size(), 4u) << Describe(seen);
    const LONG events[] = {SHCNE_CREATE, SHCNE_UPDATEITEM, SHCNE_CREATE, SHCNE_UPDATEITEM};
    const std::wstring paths[] = {save_, folder_, view_, folder_};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].event, events[i]) << Describe(seen);
        EXPECT_EQ(lstrcmpiW(seen[i].path.c_str(), paths[i].c_str()), 0) << Describe(seen);
        EXPECT_GE(seen[i].heldReferences, 1) << "the instance was not held during the announcement";
    }

    // Stamped save first, then view, each with its own title, after it was written.
    std::string calls;
    for (const auto& call : shortcut.shortcut.calls) calls += call + "\n";
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
    ExpectDocumentsAsWritten();  // the spy saves nothing
}

// A shell whose window list never answers: creating it blocks until the test lets it go,
// or for 20 s at most, so that a run without a bound shows as a slow failure.
struct HungShellWindowsClassSpy {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SpyFactory factory{[this](REFIID, void**) -> HRESULT {
        WaitForSingleObject(release, 20000);
        return E_NOINTERFACE;
    }};
    SpyRegistration registration{kClsidShellWindows, &factory};
    LONG registeredRefs = factory.refs;
    ~HungShellWindowsClassSpy() {
        // The creation left behind lets go of the factory before it is gone.
        SetEvent(release);
        for (int i = 0; i < 200 && factory.refs != registeredRefs; ++i) Sleep(50);
        EXPECT_EQ(factory.refs, registeredRefs) << "the shell's class kept by the run";
        CloseHandle(release);
    }
};

TEST_F(ComApartmentRunTest, RunInstallerSpyWaitsForASlowBrowserWhileTheShellNeverAnswers) {
    HungShellWindowsClassSpy shell;
    ASSERT_EQ(shell.registration.hr, S_OK);
    BrowserClassSpy browser;
    browser.save = save_;
    browser.view = view_;
    browser.creationDelayMs = 1500;  // inside the bound on starting the browser
    ASSERT_EQ(browser.registration.hr, S_OK);
    NotificationWatcher watcher(&browser.instance.refs_);
    ASSERT_TRUE(watcher.registered());

    DWORD start = GetTickCount();
    HereRun run = RunHere();
    DWORD elapsed = GetTickCount() - start;

    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
    EXPECT_EQ(shell.factory.creations, 1);
    // Both slow instances were waited for, and the held one was held while announcing.
    EXPECT_EQ(browser.log.Text(),
              "CreateBrowser(save 0, view 0)\nShowBrowserBar(instance,vt2:11,vt11:-1,vt0)\n"
              "CreateBrowser(save 1, view 1)\n");
    EXPECT_EQ(browser.counter.live, 0) << "references kept after the run";
    std::vector<Notification> seen = watcher.Seen();
    ASSERT_EQ(seen.size(), 4u) << Describe(seen);
    for (const auto& n : seen) EXPECT_GE(n.heldReferences, 1) << Describe(seen);
    // 2 s for the shell's window list, 3 s of slow starts, the rest of a normal run.
    EXPECT_LT(elapsed, 14000u);
    ExpectDocumentsAsWritten();
}

TEST_F(ComApartmentRunTest, RunInstallerSpyGoesOnWhenNoBrowserCanBeCreated) {
    BrowserClassSpy browser;
    browser.save = save_;
    browser.view = view_;
    browser.creationResult = REGDB_E_CLASSNOTREG;
    ASSERT_EQ(browser.registration.hr, S_OK);
    NotificationWatcher watcher;
    ASSERT_TRUE(watcher.registered());

    HereRun run = RunHere();

    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
    EXPECT_EQ(browser.log.Text(), "CreateBrowser(save 0, view 0)\nCreateBrowser(save 1, view 1)\n");
    std::vector<Notification> seen = watcher.Seen();
    EXPECT_EQ(seen.size(), 4u) << Describe(seen);
    ExpectDocumentsAsWritten();
}

}  // namespace
