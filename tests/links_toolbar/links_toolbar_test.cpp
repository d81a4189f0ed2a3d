// Switching the Links toolbar on: against Wine's own classes (whose browser has no
// toolbar to switch), and against spies for the shell-windows collection and the browser
// application that record every call.
#include <gtest/gtest.h>

#include <exdisp.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "browser/ShowLinksToolbar.h"
#include "tests/support/ComApartment.h"
#include "tests/support/MessageThread.h"
#include "tests/support/ShellSpies.h"

namespace {

// Windows on a thread of their own that pumps messages, since WM_NULL is sent
// synchronously; each WM_NULL is logged with the window's name.
class TestWindows {
public:
    explicit TestWindows(CallLog* log) : log_(log) {}
    bool started() const { return thread_.started(); }
    HWND Window(int i) const { return windows_[i]; }

    // Stops the thread from pumping until Unblock, so that it does not answer; true once it is held.
    [[nodiscard]] bool Block() {
        return PostThreadMessageW(thread_.id(), WM_APP, 0, 0) && WaitForSingleObject(held_.Get(), 10000) == WAIT_OBJECT_0;
    }
    void Unblock() { SetEvent(block_.Get()); }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_NULL) {
            auto* self = reinterpret_cast<TestWindows*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            if (self) self->log_->Add(std::string("WM_NULL(") + (window == self->windows_[0] ? "A" : window == self->windows_[1] ? "B" : "C") + ")");
            return 0;
        }
        return DefWindowProcW(window, message, w, l);
    }
    bool Create() {
        for (HWND& window : windows_) window = MessageWindow(L"BrivokToolbarTestWindow", &TestWindows::Procedure, this);
        return windows_[0] && windows_[1] && windows_[2];
    }

    CallLog* log_;
    UniqueHandle held_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle block_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HWND windows_[3] = {};
    MessageThread thread_{[this] { return held_ && block_ && Create(); },
                          [this](UINT message) {
                              if (message != WM_APP) return;
                              SetEvent(held_.Get());
                              WaitForSingleObject(block_.Get(), 30000);
                          },
                          [this] { for (HWND window : windows_) DestroyWindow(window); }};
};

const wchar_t kBrowserProgram[] = L"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE";
const wchar_t kFolderProgram[] = L"C:\\windows\\explorer.exe";

// Two browser windows with a folder window between them, and a new browser instance.
struct ToolbarSpies {
    CallLog log;
    SpyCounter counter;
    TestWindows windows{&log};
    BrowserSpy browserA{"A", kBrowserProgram, windows.Window(0), &log, &counter};
    BrowserSpy folder{"folder", kFolderProgram, windows.Window(2), &log, &counter};
    BrowserSpy browserB{"B", L"c:\\ie\\iexplore.exe", windows.Window(1), &log, &counter};
    BrowserSpy instance{"new", kBrowserProgram, nullptr, &log, &counter};
    ShellWindowsSpy shellWindows{&log, &counter};
    HRESULT windowsCreation = S_OK;
    HRESULT instanceCreation = S_OK;
    DWORD instanceDelayMs = 0;  // a browser that is slow to start
    SpyFactory windowsFactory{[this](REFIID iid, void** out) -> HRESULT {
        log.Add("CreateShellWindows");
        if (FAILED(windowsCreation)) return windowsCreation;
        return shellWindows.QueryInterface(iid, out);
    }};
    SpyFactory instanceFactory{[this](REFIID iid, void** out) -> HRESULT {
        log.Add("CreateBrowser");
        Sleep(instanceDelayMs);
        if (FAILED(instanceCreation)) return instanceCreation;
        return instance.QueryInterface(iid, out);
    }};
    SpyRegistration windowsRegistration{kClsidShellWindows, &windowsFactory, CLSCTX_LOCAL_SERVER};
    SpyRegistration instanceRegistration{kClsidInternetExplorer, &instanceFactory, CLSCTX_LOCAL_SERVER};

    ToolbarSpies() {
        shellWindows.items = {&browserA, &folder, &browserB};
        instance.showResult = S_FALSE;  // distinguishable from the open windows' results
        browserA.showResult = E_FAIL;
        browserB.showResult = E_NOTIMPL;
        EXPECT_TRUE(windows.started());
    }
};

const char kBarOn[] = "vt2:11,vt11:-1,vt0";
const char kBarOff[] = "vt2:11,vt11:0,vt0";

std::string WindowCalls(const std::string& name, const char* bar = kBarOn) {
    return "get_FullName(" + name + ")\nShowBrowserBar(" + name + "," + bar + ")\nget_HWND(" +
           name + ")\nWM_NULL(" + name + ")\n";
}

// The new instance, after the open windows.
std::string InstanceCalls(const char* bar = kBarOn) {
    return std::string("CreateBrowser\nShowBrowserBar(new,") + bar + ")\n";
}

// ShowLinksToolbar(true), and how long it took.
HRESULT ShowTimed(DWORD* elapsed) {
    DWORD start = GetTickCount();
    HRESULT hr = ShowLinksToolbar(true);
    *elapsed = GetTickCount() - start;
    return hr;
}

TEST_F(ComApartment, ShowLinksToolbarSpyShowsTheBarInEachBrowserWindowThenTheNewInstance) {
    ToolbarSpies spies;
    ASSERT_EQ(spies.windowsRegistration.hr, S_OK);
    ASSERT_EQ(spies.instanceRegistration.hr, S_OK);
    LONG windowsFactoryRefs = spies.windowsFactory.refs;
    LONG instanceFactoryRefs = spies.instanceFactory.refs;

    HRESULT hr = ShowLinksToolbar(true);

    EXPECT_EQ(hr, S_FALSE) << std::hex << hr;
    EXPECT_EQ(spies.log.Text(), "CreateShellWindows\nget_Count\nItem(vt3:0)\n" + WindowCalls("A") +
                                    "Item(vt3:1)\nget_FullName(folder)\nItem(vt3:2)\n" + WindowCalls("B") +
                                    InstanceCalls());
    EXPECT_TRUE(spies.windowsFactory.requested.at(0) == kIidShellWindows);
    EXPECT_TRUE(spies.instanceFactory.requested.at(0) == kIidWebBrowser2);
    EXPECT_EQ(spies.counter.live, 0) << "references kept";
    EXPECT_EQ(spies.windowsFactory.refs, windowsFactoryRefs);
    EXPECT_EQ(spies.instanceFactory.refs, instanceFactoryRefs);
}

TEST_F(ComApartment, ShowLinksToolbarSpyReturnsTheInstanceCreationFailureAfterTheWindows) {
    ToolbarSpies spies;
    spies.instanceCreation = REGDB_E_CLASSNOTREG;
    HRESULT hr = ShowLinksToolbar(true);
    EXPECT_EQ(hr, REGDB_E_CLASSNOTREG) << std::hex << hr;
    std::string log = spies.log.Text();
    EXPECT_NE(log.find(WindowCalls("B") + "CreateBrowser\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("ShowBrowserBar(new"), std::string::npos) << log;
    EXPECT_EQ(spies.counter.live, 0);
}

// Whatever fails on the way to the open windows is passed over, and the new instance
// still gets the bar; hiding it is the same walk with VARIANT_FALSE.
TEST_F(ComApartment, ShowLinksToolbarSpyGoesOnPastFailuresAndHidesWithVariantFalse) {
    struct Run {
        const char* what;
        bool show;
        std::function<void(ToolbarSpies&)> arrange;
        std::string calls;  // between CreateShellWindows and CreateBrowser
    };
    const Run runs[] = {
        {"hidden", false, [](ToolbarSpies& s) { s.shellWindows.items = {&s.browserA}; },
         "get_Count\nItem(vt3:0)\n" + WindowCalls("A", kBarOff)},
        {"no collection", true, [](ToolbarSpies& s) { s.windowsCreation = E_ACCESSDENIED; }, ""},
        {"no count", true, [](ToolbarSpies& s) { s.shellWindows.countResult = E_NOTIMPL; }, "get_Count\n"},
        {"items that fail or are no browser", true,
         [](ToolbarSpies& s) {
             s.browserA.answersBrowser = false;
             s.shellWindows.itemResults = {S_OK, E_FAIL, S_OK};
         },
         "get_Count\nItem(vt3:0)\nItem(vt3:1)\nItem(vt3:2)\n" + WindowCalls("B")},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.what);
        ToolbarSpies spies;
        run.arrange(spies);
        HRESULT hr = ShowLinksToolbar(run.show);
        EXPECT_EQ(hr, S_FALSE) << std::hex << hr;
        EXPECT_EQ(spies.log.Text(), "CreateShellWindows\n" + run.calls + InstanceCalls(run.show ? kBarOn : kBarOff));
        EXPECT_EQ(spies.counter.live, 0);
    }
}

TEST_F(ComApartment, ShowLinksToolbarSpyGivesUpOnAWindowThatDoesNotAnswer) {
    ToolbarSpies spies;
    ASSERT_TRUE(spies.windows.Block());
    DWORD elapsed = 0;
    HRESULT hr = ShowTimed(&elapsed);
    std::string log = spies.log.Text();
    spies.windows.Unblock();

    EXPECT_EQ(hr, S_FALSE) << std::hex << hr;
    // Each of the two browser windows is waited for a few seconds at most, and neither answered.
    EXPECT_LT(elapsed, 15000u);
    EXPECT_EQ(log.find("WM_NULL"), std::string::npos) << log;
    EXPECT_NE(log.find("get_HWND(B)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("CreateBrowser\nShowBrowserBar(new"), std::string::npos) << log;
    EXPECT_EQ(spies.counter.live, 0);
}

// A browser that starts after the bound on its creation: the run goes on without it, and
// the instance still gets its one ShowBrowserBar once it comes, and is released.
TEST_F(ComApartment, ShowLinksToolbarSpyGivesTheBarToAnInstanceThatStartsTooLate) {
    ToolbarSpies spies;
    spies.shellWindows.items = {};  // no window open: the bound on the instance is all the wait
    spies.instanceDelayMs = 5000;

    DWORD elapsed = 0;
    HRESULT hr = ShowTimed(&elapsed);

    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_TIMEOUT)) << std::hex << hr;
    EXPECT_LT(elapsed, 5000u);
    const std::string expected = "CreateShellWindows\nget_Count\nCreateBrowser\n";
    EXPECT_EQ(spies.log.Text(), expected);
    for (int i = 0; i < 200 && (spies.counter.live != 0 || spies.log.Text() == expected); ++i) Sleep(50);
    EXPECT_EQ(spies.log.Text(), expected + "ShowBrowserBar(new," + kBarOn + ")\n");
    EXPECT_EQ(spies.counter.live, 0) << "the late instance was not released";
}

// An open browser window that never answers: every call on it blocks until the test lets
// it go, or for 20 s at most, so that a walk without a bound shows as a slow failure.
struct HungBrowserSpy : public BrowserSpy {
    using BrowserSpy::BrowserSpy;
    UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        log->Add("QueryInterface(" + name + ")");
        WaitForSingleObject(release.Get(), 20000);
        return BrowserSpy::QueryInterface(iid, out);
    }
};

// After a hung window (if any) has been let go: waits until the walk left behind has given
// back every reference, and returns the calls it made meanwhile.
std::string CallsAfterRelease(ToolbarSpies* spies, HungBrowserSpy* hung, const std::string& before) {
    if (hung) SetEvent(hung->release.Get());
    for (int i = 0; i < 200 && spies->counter.live != 0; ++i) Sleep(50);
    EXPECT_EQ(spies->counter.live, 0) << "references kept by the walk that was given up";
    std::string after = spies->log.Text();
    return after.compare(0, before.size(), before) == 0 ? after.substr(before.size()) : after;
}

// An open window that never answers, after one that answers at once or slowly (four calls
// of a second each, longer together than the bound on one call): a call is given up after
// 2 s. The window before the hung one was handled in full; the walk ended at the hung one,
// made no call after it had been given up, and the new instance still got the bar.
TEST_F(ComApartment, ShowLinksToolbarSpyGivesUpOnAnOpenWindowThatNeverAnswers) {
    struct Run { const char* what; DWORD firstDelayMs, atLeastMs, belowMs; };
    for (const Run& run : {Run{"after a window that answers", 0, 0, 6000},
                           Run{"after a slow window", 1000, 4000, 10000}}) {
        SCOPED_TRACE(run.what);
        ToolbarSpies spies;
        spies.browserA.delayMs = run.firstDelayMs;  // slow, but inside the bound on one call
        HungBrowserSpy hung{"hung", kBrowserProgram, spies.windows.Window(2), &spies.log, &spies.counter};
        spies.shellWindows.items = {&spies.browserA, &hung, &spies.browserB};

        DWORD elapsed = 0;
        HRESULT hr = ShowTimed(&elapsed);
        std::string log = spies.log.Text();
        std::string later = CallsAfterRelease(&spies, &hung, log);

        EXPECT_EQ(hr, S_FALSE) << std::hex << hr;
        EXPECT_EQ(log, "CreateShellWindows\nget_Count\nItem(vt3:0)\n" + WindowCalls("A") +
                           "Item(vt3:1)\nQueryInterface(hung)\n" + InstanceCalls());
        EXPECT_EQ(later, "") << "calls made by the walk after it had been given up";
        EXPECT_GE(elapsed, run.atLeastMs);
        EXPECT_LT(elapsed, run.belowMs);
    }
}

// Every tab of every browser window is listed, and each may answer every call slowly yet
// in time: the walk as a whole is bounded, makes no call past its bound but the one it is
// in, and the new instance is still tried.
TEST_F(ComApartment, ShowLinksToolbarSpyEndsAWalkOverManySlowWindowsInTime) {
    ToolbarSpies spies;
    std::vector<std::unique_ptr<BrowserSpy>> slow;
    spies.shellWindows.items.clear();
    for (int i = 0; i < 25; ++i) {
        slow.push_back(std::make_unique<BrowserSpy>(("W" + std::to_string(i)).c_str(), kBrowserProgram, nullptr,
                                                    &spies.log, &spies.counter));
        slow.back()->delayMs = 1500;
        spies.shellWindows.items.push_back(slow.back().get());
    }

    DWORD elapsed = 0;
    HRESULT hr = ShowTimed(&elapsed);
    std::string log = spies.log.Text();
    std::string later = CallsAfterRelease(&spies, nullptr, log);

    EXPECT_EQ(hr, S_FALSE) << std::hex << hr;
    EXPECT_LT(elapsed, 20000u);
    EXPECT_NE(log.find(InstanceCalls()), std::string::npos) << log;
    EXPECT_LE(std::count(later.begin(), later.end(), '\n'), 1) << "calls after the walk was given up:\n" << later;
}

TEST_F(ComApartment, ShowLinksToolbarSpyShowsTheBarInEverySlowWindowOfAWalkThatEndsInTime) {
    ToolbarSpies spies;
    BrowserSpy a{"A", kBrowserProgram, spies.windows.Window(0), &spies.log, &spies.counter};
    BrowserSpy b{"B", kBrowserProgram, spies.windows.Window(1), &spies.log, &spies.counter};
    BrowserSpy c{"C", kBrowserProgram, spies.windows.Window(2), &spies.log, &spies.counter};
    a.delayMs = b.delayMs = c.delayMs = 300;
    spies.shellWindows.items = {&a, &b, &c};

    EXPECT_EQ(ShowLinksToolbar(true), S_FALSE);

    EXPECT_EQ(spies.log.Text(), "CreateShellWindows\nget_Count\nItem(vt3:0)\n" + WindowCalls("A") + "Item(vt3:1)\n" +
                                    WindowCalls("B") + "Item(vt3:2)\n" + WindowCalls("C") + InstanceCalls());
}

// Work in two parts whose caller resumes it only after the worker's own limit ran out: the
// worker went on by itself and finished, and the caller's wait sees that finish at once.
struct TwoPartWork : WorkerBlock {
    volatile LONG bothDone;
};

void FinishBothPartsAlone(WorkerBlock* block) {
    FinishFirstPart(block, 100);
    FinishWork(block);
    InterlockedExchange(&static_cast<TwoPartWork*>(block)->bothDone, 1);
}

TEST_F(ComApartment, BoundedWorkerResumedAfterItsLimitKeepsTheFinishItMade) {
    WorkerRef<TwoPartWork> work;
    ASSERT_TRUE(work);
    ASSERT_TRUE(StartWorker(work.Get(), &FinishBothPartsAlone, COINIT_MULTITHREADED));
    ASSERT_TRUE(AwaitWorker(work.Get(), kShellCallBoundMs)) << "the first part";
    for (int i = 0; i < 200 && !InterlockedCompareExchange(&work->bothDone, 0, 0); ++i) Sleep(25);
    ASSERT_TRUE(work->bothDone) << "the worker did not go on by itself";

    ResumeWorker(work.Get());
    DWORD start = GetTickCount();
    bool finished = AwaitWorker(work.Get(), kShellCallBoundMs);
    DWORD elapsed = GetTickCount() - start;

    EXPECT_TRUE(finished);
    EXPECT_LT(elapsed, 100u);
}

TEST_F(ComApartment, ShowLinksToolbarOnWineReturnsTheNewInstancesResult) {
    // Whatever Wine's browser answers to the bar (E_NOTIMPL today) is the run's result.
    IWebBrowser2* browser = nullptr;
    ASSERT_EQ(CoCreateInstance(kClsidInternetExplorer, nullptr, CLSCTX_LOCAL_SERVER, kIidWebBrowser2,
                               reinterpret_cast<void**>(&browser)), S_OK);
    VARIANT bar, show, size = {};  // size: VT_EMPTY
    bar.vt = VT_I2;
    bar.iVal = 11;
    show.vt = VT_BOOL;
    show.boolVal = VARIANT_TRUE;
    HRESULT answered = browser->ShowBrowserBar(&bar, &show, &size);
    browser->Release();
    HRESULT hr = ShowLinksToolbar(true);
    EXPECT_EQ(hr, answered) << std::hex << hr;
}

}  // namespace
