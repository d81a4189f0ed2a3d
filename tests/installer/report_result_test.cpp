// ReportResult with real message boxes: a reader thread finds the box this process shows,
// reads it and presses OK while ReportResult waits in the test's thread.
#include <gtest/gtest.h>

#include "installer/ReportResult.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

namespace {

struct Shown {
    std::vector<MessageBoxInfo> boxes;
};

// Calls ReportResult and collects every box shown meanwhile: the box is modal, so a second
// one would come before ReportResult returns.
Shown Report(const wchar_t* text, HRESULT status) {
    BoxAnswerer answerer;
    ReportResult(text, status);
    return Shown{answerer.Stop()};
}

TEST(ReportResult, SuccessShowsTextAloneWithInformationIcon) {
    Shown shown = Report(L"BriVok links installed.", S_OK);
    ASSERT_EQ(shown.boxes.size(), 1u);
    EXPECT_EQ(shown.boxes[0].caption, L"Brivok Internet Explorer Buttons");
    EXPECT_EQ(shown.boxes[0].text, L"BriVok links installed.");
    EXPECT_EQ(shown.boxes[0].icon, BoxIcon::Information) << BoxIconName(shown.boxes[0].icon);
    EXPECT_EQ(shown.boxes[0].buttons, std::vector<int>{IDOK}) << "the plain OK button only";
}

TEST(ReportResult, PositiveStatusIsSuccessWithNoSystemText) {
    Shown shown = Report(L"done", S_FALSE);
    ASSERT_EQ(shown.boxes.size(), 1u);
    EXPECT_EQ(shown.boxes[0].text, L"done");
    EXPECT_EQ(shown.boxes[0].icon, BoxIcon::Information) << BoxIconName(shown.boxes[0].icon);
}

TEST(ReportResult, FailureAppendsLineBreakAndSystemText) {
    std::wstring system = SystemText(E_OUTOFMEMORY);
    ASSERT_FALSE(system.empty()) << "Wine has no text for 0x8007000E";
    Shown shown = Report(L"Failed to create Brivok links.", E_OUTOFMEMORY);
    ASSERT_EQ(shown.boxes.size(), 1u);
    EXPECT_EQ(shown.boxes[0].caption, L"Brivok Internet Explorer Buttons");
    EXPECT_EQ(shown.boxes[0].text, L"Failed to create Brivok links.\r\n" + system)
        << Narrow(shown.boxes[0].text);
    EXPECT_EQ(shown.boxes[0].icon, BoxIcon::Error) << BoxIconName(shown.boxes[0].icon);
    EXPECT_EQ(shown.boxes[0].buttons, std::vector<int>{IDOK}) << "the plain OK button only";
}

TEST(ReportResult, NoTextShowsFatal) {
    Shown shown = Report(nullptr, S_OK);
    ASSERT_EQ(shown.boxes.size(), 1u);
    EXPECT_EQ(shown.boxes[0].text, L"Fatal.");
    EXPECT_EQ(shown.boxes[0].icon, BoxIcon::Information) << BoxIconName(shown.boxes[0].icon);

    std::wstring system = SystemText(E_ACCESSDENIED);
    ASSERT_FALSE(system.empty());
    shown = Report(nullptr, E_ACCESSDENIED);
    ASSERT_EQ(shown.boxes.size(), 1u);
    EXPECT_EQ(shown.boxes[0].text, L"Fatal.\r\n" + system) << Narrow(shown.boxes[0].text);
    EXPECT_EQ(shown.boxes[0].icon, BoxIcon::Error) << BoxIconName(shown.boxes[0].icon);
}

TEST(ReportResult, FailureWithoutSystemTextShowsTextAloneWithErrorIcon) {
    const HRESULT unknown = static_cast<HRESULT>(0x8FFF1234);
    ASSERT_TRUE(SystemText(unknown).empty()) << "the system has a text for this code";
    Shown shown = Report(L"Links path not found.", unknown);
    ASSERT_EQ(shown.boxes.size(), 1u);
    EXPECT_EQ(shown.boxes[0].text, L"Links path not found.");
    EXPECT_EQ(shown.boxes[0].icon, BoxIcon::Error) << BoxIconName(shown.boxes[0].icon);
}

// A system text that holds an insert is shown with the insert as written: there are no
// arguments to put in its place.
TEST(ReportResult, FailureWithInsertInSystemTextShowsItAsWritten) {
    const HRESULT badFormat = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    std::wstring system = SystemText(badFormat);
    ASSERT_NE(system.find(L"%1"), std::wstring::npos) << "no insert in the system text: " << Narrow(system);
    Shown shown = Report(L"Failed to create Brivok links.", badFormat);
    ASSERT_EQ(shown.boxes.size(), 1u);
    EXPECT_EQ(shown.boxes[0].text, L"Failed to create Brivok links.\r\n" + system)
        << Narrow(shown.boxes[0].text);
    EXPECT_EQ(shown.boxes[0].icon, BoxIcon::Error) << BoxIconName(shown.boxes[0].icon);
}

}  // namespace
