#pragma once
#include <windows.h>

// Holds at most one open registry key. Results are Win32 error codes. Every user closes
// the holder explicitly before it returns; the destructor closes what is still open.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { (void)CloseKey(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

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

    HKEY handle() const { return handle_; }
    REGSAM view() const { return view_; }

private:
    HKEY handle_ = nullptr;
    REGSAM view_ = 0;
};
