#pragma once
#include <windows.h>

// An on-access scanner or the indexer opens a file the moment it is made or renamed, and a
// second installer started at the same moment may be reading a shortcut: an open or a
// replace refused while another process holds the file is made again, for about a second.
inline constexpr DWORD kHeldFileRetries = 20;
inline constexpr DWORD kHeldFilePauseMs = 50;

// The answers for a file another process holds, from the file functions and from the
// storage functions.
inline bool IsHeldByAnother(HRESULT hr) {
    return hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || hr == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION) ||
           hr == STG_E_SHAREVIOLATION || hr == STG_E_LOCKVIOLATION;
}

// attempt() again while its failure is one that held(hr) takes for a hold, at most
// kHeldFileRetries times; the last attempt's result.
template <typename Attempt, typename Held>
[[nodiscard]] HRESULT RetryWhileHeld(Attempt attempt, Held held) {
    HRESULT hr = attempt();
    for (DWORD retry = 0; FAILED(hr) && held(hr) && retry < kHeldFileRetries; ++retry) {
        Sleep(kHeldFilePauseMs);
        hr = attempt();
    }
    return hr;
}
