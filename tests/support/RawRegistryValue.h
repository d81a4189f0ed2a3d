#pragma once
#include <windows.h>

// Stores exactly the bytes given. Wine's RegSetValueExW adds a missing string terminator,
// so a value stored without one has to go through the native call.
inline LONG SetRawValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    struct CountedString { USHORT Length; USHORT MaximumLength; const wchar_t* Buffer; };
    using SetValueKey = LONG(WINAPI*)(HANDLE, CountedString*, ULONG, ULONG, const void*, ULONG);
    auto setValueKey = reinterpret_cast<SetValueKey>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    if (!setValueKey) return ERROR_PROC_NOT_FOUND;
    USHORT length = static_cast<USHORT>(lstrlenW(name) * sizeof(wchar_t));
    CountedString valueName = {length, length, name};
    return setValueKey(key, &valueName, 0, type, data, bytes) == 0 ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
