// MessageText growth, the bounded copy and its fault mapping.
#include <gtest/gtest.h>

#include "installer/MessageText.h"
#include "tests/support/TestEnvironment.h"

namespace {

TEST(MessageTextCreate, FromStringHoldsACopyFromNothingIsEmpty) {
    wchar_t source[] = L"Links path not found.";
    MessageText text(source);
    source[0] = L'X';
    ASSERT_NE(text.Get(), nullptr);
    EXPECT_STREQ(text.Get(), L"Links path not found.");
    EXPECT_EQ(text.Length(), 21u);

    MessageText empty(nullptr);
    EXPECT_EQ(empty.Get(), nullptr);
    EXPECT_EQ(empty.Length(), 0u);
}

// By count (an embedded zero copied too) or to the terminator.
TEST(MessageTextAppend, GrowsByTheGivenCount) {
    MessageText text(L"Fatal.");
    HRESULT hr = text.Append(L"\r\nAccess denied.xyz", 16);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    EXPECT_STREQ(text.Get(), L"Fatal.\r\nAccess denied.");
    EXPECT_EQ(text.Length(), 22u);

    MessageText terminated(L"a");
    EXPECT_EQ(terminated.Append(L"bc"), S_OK);
    EXPECT_EQ(terminated.Append(L"d"), S_OK);
    EXPECT_STREQ(terminated.Get(), L"abcd");

    MessageText zero(L"x");
    EXPECT_EQ(zero.Append(L"a\0b", 3), S_OK);
    ASSERT_EQ(zero.Length(), 4u);
    EXPECT_EQ(std::wstring(zero.Get(), 5), std::wstring(L"xa\0b\0", 5));
}

// Nothing, or no characters, appended to a text changes nothing, not even where it lies.
TEST(MessageTextAppend, NothingOrEmptyToNonEmptyChangesNothing) {
    MessageText text(L"abc");
    const wchar_t* before = text.Get();
    EXPECT_EQ(text.Append(nullptr, 5), S_OK);
    EXPECT_EQ(text.Append(nullptr), S_OK);
    EXPECT_EQ(text.Append(L"", 0), S_OK);
    EXPECT_EQ(text.Append(L"ignored", 0), S_OK);
    EXPECT_EQ(text.Append(L""), S_OK);
    EXPECT_EQ(text.Get(), before);
    EXPECT_STREQ(text.Get(), L"abc");

    MessageText empty(nullptr);
    EXPECT_EQ(empty.Append(nullptr), S_OK);
    EXPECT_EQ(empty.Get(), nullptr);
}

TEST(MessageTextAppend, EmptyToEmptyAllocatesEmptyString) {
    MessageText text(nullptr);
    EXPECT_EQ(text.Append(L"", 0), S_OK);
    ASSERT_NE(text.Get(), nullptr);
    EXPECT_STREQ(text.Get(), L"");
    EXPECT_EQ(text.Length(), 0u);
}

TEST(MessageTextAppend, CountTooLargeFailsAndKeepsText) {
    // The first count overflows the length; no BSTR of the second can be allocated. Either
    // way nothing is read from "x".
    for (UINT count : {0xFFFFFFFFu, 0x7FFFFFF0u}) {
        MessageText text(L"abc");
        const wchar_t* before = text.Get();
        HRESULT hr = text.Append(L"x", count);
        EXPECT_EQ(hr, E_OUTOFMEMORY) << std::hex << count << ": " << hr;
        EXPECT_EQ(text.Get(), before);
        EXPECT_STREQ(text.Get(), L"abc");
    }
}

TEST(CopyChars, FitsOrFailsWithoutWriting) {
    wchar_t dest[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(CopyChars(dest, 4, L"abcd", 4), 0);
    EXPECT_EQ(dest[3], L'd');

    wchar_t untouched[3] = {L'#', L'#', L'#'};
    EXPECT_EQ(CopyChars(untouched, 3, L"abcd", 4), 22);
    EXPECT_EQ(untouched[0], L'#');
    EXPECT_EQ(CopyChars(nullptr, 3, L"a", 1), 22);
    EXPECT_EQ(CopyChars(untouched, 3, nullptr, 0), 0);
}

TEST(CopyResultMapping, EveryCode) {
    struct { int code; HRESULT expected; } cases[] = {
        {0, S_OK}, {80, S_OK}, {12, E_OUTOFMEMORY}, {22, E_INVALIDARG}, {34, E_INVALIDARG},
        {1, E_FAIL}, {13, E_FAIL}, {-1, E_FAIL}, {81, E_FAIL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CopyResultToHResult(c.code), c.expected) << "code " << c.code;
    }
}

TEST(CopyResultMapping, FaultCodes) {
    for (auto [hr, expected] : {std::pair{S_OK, 0ul}, {S_FALSE, 0ul}, {E_OUTOFMEMORY, 0xC0000017ul},
                                {E_INVALIDARG, 0xC000001Dul}, {E_FAIL, 0xC000001Dul}})
        EXPECT_EQ(FaultCodeForHResult(hr), expected) << std::hex << hr;
}

// The fault itself ends the process, so it is raised in a child program.
TEST(MessageTextFault, EachCopyEndsWithItsCode) {
    struct { const wchar_t* what; DWORD expected; } cases[] = {
        {L"copy-too-small", 0xC000001Du},  // illegal instruction
        {L"copy-no-memory", 0xC0000017u},  // no memory
        {L"copy-fits", 0u},                // no fault
    };
    for (const auto& c : cases) {
        DWORD code = 0xdeadbeef;
        RunToEnd(L"\"" + ProgramFolder() + L"fault_child.exe\" " + c.what, 30000, &code);
        EXPECT_EQ(code, c.expected) << c.what << ": " << std::hex << code;
    }
}

}  // namespace
