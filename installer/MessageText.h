#pragma once
#include <windows.h>
#include <oleauto.h>

#include "common/ComHolders.h"

// A growable wide text that owns one BSTR, or nothing while empty. Creating it from a
// string whose allocation fails, or a bounded copy that does not fit, ends the process
// with a non-continuable fault: a message that cannot be composed cannot be reported.
class MessageText {
public:
    explicit MessageText(const wchar_t* text);  // null leaves the text empty

    // On failure the text is left exactly as it was.
    [[nodiscard]] HRESULT Append(const wchar_t* text, UINT count);
    [[nodiscard]] HRESULT Append(const wchar_t* text);

    const wchar_t* Get() const { return text_.Get(); }  // null while empty
    UINT Length() const { return text_ ? SysStringLen(text_.Get()) : 0; }

private:
    UniqueBstr text_;
};

// Fault codes the message text raises.
inline constexpr DWORD kFaultNoMemory = 0xC0000017;         // STATUS_NO_MEMORY
inline constexpr DWORD kFaultIllegalInstruction = 0xC000001D; // STATUS_ILLEGAL_INSTRUCTION

// Bounded copy of count characters into a destination of capacity characters: 0 when
// done, 22 (EINVAL) when the source does not fit. Nothing is written on failure.
[[nodiscard]] int CopyChars(wchar_t* dest, size_t capacity, const wchar_t* src, size_t count);

// Maps a copy result to a status: 0 and 80 pass, 12 is E_OUTOFMEMORY, 22 and 34 are
// E_INVALIDARG, everything else E_FAIL.
[[nodiscard]] HRESULT CopyResultToHResult(int code);

// The fault a failing status is raised as: kFaultNoMemory for E_OUTOFMEMORY,
// kFaultIllegalInstruction for every other failure, 0 for a success status.
[[nodiscard]] DWORD FaultCodeForHResult(HRESULT hr);

// Raises the fault for a failing copy result; returns for a passing one.
void CheckCopyResult(int code);
