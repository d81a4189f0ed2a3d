#include "installer/MessageText.h"

namespace {

[[noreturn]] void RaiseFault(DWORD code) {
    RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    // A non-continuable exception never returns here; make sure of it.
    for (;;) ExitProcess(code);
}

}  // namespace

int CopyChars(wchar_t* dest, size_t capacity, const wchar_t* src, size_t count) {
    if (!dest || (!src && count) || count > capacity) return 22;
    for (size_t i = 0; i < count; ++i) dest[i] = src[i];
    return 0;
}

HRESULT CopyResultToHResult(int code) {
    switch (code) {
    case 0:
    case 80:  // STRUNCATE
        return S_OK;
    case 12:  // ENOMEM
        return E_OUTOFMEMORY;
    case 22:  // EINVAL
    case 34:  // ERANGE
        return E_INVALIDARG;
    default:
        return E_FAIL;
    }
}

DWORD FaultCodeForHResult(HRESULT hr) {
    if (SUCCEEDED(hr)) return 0;
    return hr == E_OUTOFMEMORY ? kFaultNoMemory : kFaultIllegalInstruction;
}

void CheckCopyResult(int code) {
    DWORD fault = FaultCodeForHResult(CopyResultToHResult(code));
    if (fault) RaiseFault(fault);
}

MessageText::MessageText(const wchar_t* text) {
    if (!text) return;
    text_.Reset(SysAllocString(text));
    if (!text_) RaiseFault(kFaultNoMemory);
}

HRESULT MessageText::Append(const wchar_t* text) {
    return Append(text, text ? static_cast<UINT>(lstrlenW(text)) : 0);
}

HRESULT MessageText::Append(const wchar_t* text, UINT count) {
    if (!text) return S_OK;
    if (text_ && count == 0) return S_OK;

    UINT old = Length();
    UINT total = old + count;
    if (total < old) return E_OUTOFMEMORY;

    BSTR grown = SysAllocStringLen(nullptr, total);
    if (!grown) return E_OUTOFMEMORY;

    size_t capacity = static_cast<size_t>(total) + 1;
    CheckCopyResult(CopyChars(grown, capacity, text_.Get(), old));
    CheckCopyResult(CopyChars(grown + old, capacity - old, text, count));
    grown[total] = L'\0';

    text_.Reset(grown);
    return S_OK;
}
