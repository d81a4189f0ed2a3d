// ReportResult with real message boxes: a reader thread finds the box this process shows,
// reads it and presses OK while ReportResult waits in the test's thread.
#include <gtest/gtest.h>

#include "installer/ReportResult.h"
#include "tests/support/ImportSpy.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

BRIVOK_DECLARE_IMPORT_SLOT(FormatMessageW);

namespace {

// Calls ReportResult and checks that it showed one box, the installer's, with the text and
// icon given and the plain OK button only. Every box shown meanwhile is collected: the box
// is modal, so a second one would come before ReportResult returns.
void ExpectReport(const wchar_t* text, HRESULT status, const std::wstring& shown, BoxIcon icon) {
    BoxAnswerer answerer;
    ReportResult(text, status);
    std::vector<MessageBoxInfo> boxes = answerer.Stop();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Brivok Internet Explorer Buttons");
    EXPECT_EQ(boxes[0].text, shown) << Narrow(boxes[0].text);
    EXPECT_EQ(boxes[0].icon, icon) << BoxIconName(boxes[0].icon);
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK}) << "the plain OK button only";
}

// A success shows the text alone (a positive status too); no text shows "Fatal.".
TEST(ReportResult, SuccessShowsTextAloneWithInformationIcon) {
    ExpectReport(L"BriVok links installed.", S_OK, L"BriVok links installed.", BoxIcon::Information);
    ExpectReport(L"done", S_FALSE, L"done", BoxIcon::Information);
    ExpectReport(nullptr, S_OK, L"Fatal.", BoxIcon::Information);
}

// Stands in for the system's message table, which has one text for a Win32 error and for
// its HRESULT, and under Wine one language: it has a text only for the status handed out
// (g_handedOut) in the user's language, LANG_USER_DEFAULT. Language 0 would take a neutral
// text, then the thread's, before the user's. Asked anything else, it names what it was asked.
ImportSpy* g_spy = nullptr;
DWORD g_handedOut = 0;
DWORD WINAPI SystemTextSpy(DWORD flags, LPCVOID, DWORD id, DWORD language, LPWSTR buffer, DWORD size, va_list* args) {
    wchar_t asked[64];
    wsprintfW(asked, L"Text of %08X in language %04X.", id, language);
    bool own = (flags & FORMAT_MESSAGE_FROM_SYSTEM) && id == g_handedOut && language == LANG_USER_DEFAULT;
    return g_spy->original<decltype(&FormatMessageW)>()((flags & ~FORMAT_MESSAGE_FROM_SYSTEM) | FORMAT_MESSAGE_FROM_STRING,
                                                       own ? L"The failure's own text." : asked, 0, 0, buffer, size, args);
}

// A failure adds a line break and the system's text, if it has one: an insert in it is shown
// as written, there being no arguments to put in its place. Then the stand-in's text, which
// only the status handed out and the user's language are given.
TEST(ReportResult, FailureAppendsLineBreakAndSystemText) {
    const HRESULT unknown = static_cast<HRESULT>(0x8FFF1234), badFormat = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    ASSERT_NE(SystemText(badFormat).find(L"%1"), std::wstring::npos) << "no insert in the system text";
    struct Failure { const wchar_t* text; HRESULT status; const wchar_t* shown; bool systemText; };
    for (const Failure& c : {Failure{L"Failed to create Brivok links.", E_OUTOFMEMORY, L"Failed to create Brivok links.", true},
                             Failure{nullptr, E_ACCESSDENIED, L"Fatal.", true},
                             Failure{L"Links path not found.", unknown, L"Links path not found.", false},
                             Failure{L"Failed to create Brivok links.", badFormat, L"Failed to create Brivok links.", true}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status);
        std::wstring system = SystemText(c.status);
        ASSERT_EQ(system.empty(), !c.systemText) << "the system's text: " << Narrow(system);
        ExpectReport(c.text, c.status, c.systemText ? c.shown + (L"\r\n" + system) : c.shown, BoxIcon::Error);
    }

    ImportSpy spy(BRIVOK_IMPORT_SLOT(FormatMessageW), reinterpret_cast<void*>(&SystemTextSpy));
    ASSERT_TRUE(spy.active()) << "no import of FormatMessageW in this program";
    g_spy = &spy;
    for (HRESULT status : {E_OUTOFMEMORY, E_ACCESSDENIED, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE),
                           RPC_E_CHANGED_MODE, REGDB_E_CLASSNOTREG}) {
        SCOPED_TRACE(testing::Message() << std::hex << status);
        g_handedOut = static_cast<DWORD>(status);
        ExpectReport(L"Failed.", status, L"Failed.\r\nThe failure's own text.", BoxIcon::Error);
    }
    g_spy = nullptr;
}

}  // namespace
