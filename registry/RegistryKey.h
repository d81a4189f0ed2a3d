#pragma once
#include <windows.h>

#include "common/Holders.h"

// Holds at most one open registry key (a UniqueRegistryKey) and the view it was opened in.
// Results are Win32 error codes. Every user closes the key explicitly before it returns, to
// see the close's result; the holder closes what is still open when it goes.
class RegistryKey {
public:

    // On failure the holder keeps the key it held. On success the previous key is closed
    // and the result of that close is returned (0 when nothing was open).
    [[nodiscard]] LONG OpenKey(HKEY parent, const wchar_t* subKeyPath, REGSAM access);
    [[nodiscard]] LONG CloseKey();

    // count: in, the buffer's capacity in characters, terminator included; out, the
    // characters returned, terminator included (0 on failure). A value that is not a
    // string, has an odd byte length or lacks its terminator is ERROR_INVALID_DATA. An
    // expandable string is returned as stored. On failure the buffer is not defined.
    [[nodiscard]] LONG ReadString(const wchar_t* valueName, wchar_t* buffer, DWORD* count);

    // size: in, the buffer's size in bytes; out, the value's size. With no buffer only the
    // size is reported. A value that is not REG_BINARY is ERROR_INVALID_DATA.
    [[nodiscard]] LONG ReadBinary(const wchar_t* valueName, BYTE* buffer, DWORD* size);

    HKEY Get() const { return key_.Get(); }
    REGSAM view() const { return view_; }

private:
    UniqueRegistryKey key_;
    REGSAM view_ = 0;
};
