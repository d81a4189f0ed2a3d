#include "registry/RegistryKey.h"

LONG RegistryKey::OpenKey(HKEY parent, const wchar_t* subKeyPath, REGSAM access) {
    HKEY opened = nullptr;
    LONG result = RegOpenKeyExW(parent, subKeyPath, 0, access, &opened);
    if (result != ERROR_SUCCESS) return result;
    HKEY previous = key_.Release();
    key_.Reset(opened);
    view_ = access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    return previous ? RegCloseKey(previous) : ERROR_SUCCESS;
}

LONG RegistryKey::CloseKey() {
    HKEY key = key_.Release();
    view_ = 0;
    return key ? RegCloseKey(key) : ERROR_SUCCESS;
}

LONG RegistryKey::ReadString(const wchar_t* valueName, wchar_t* buffer, DWORD* count) {
    DWORD capacity = *count;
    *count = 0;
    DWORD type = 0;
    DWORD bytes = capacity * sizeof(wchar_t);
    LONG result = RegQueryValueExW(key_.Get(), valueName, nullptr, &type,
                                   reinterpret_cast<BYTE*>(buffer), &bytes);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (buffer) {
        if (bytes == 0) {
            buffer[0] = L'\0';
        } else if ((bytes & 1) || buffer[bytes / 2 - 1] != L'\0') {
            return ERROR_INVALID_DATA;
        }
    }
    *count = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG RegistryKey::ReadBinary(const wchar_t* valueName, BYTE* buffer, DWORD* size) {
    DWORD type = 0;
    LONG result = RegQueryValueExW(key_.Get(), valueName, nullptr, &type, buffer, size);
    if (result != ERROR_SUCCESS) return result;
    return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}
