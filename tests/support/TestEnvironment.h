#pragma once
#include <windows.h>

#include <set>
#include <string>

// Value of an environment variable the test list sets (empty when absent).
std::wstring TestEnvironment(const wchar_t* name);

// Makes or replaces a file with the contents given; false when it cannot be written.
bool WriteWholeFile(const std::wstring& path, const std::string& contents);

// Whole contents of a file; false when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string* contents);
// The same as a value: "(unreadable)" when it cannot be read.
inline std::string Contents(const std::wstring& path) {
    std::string contents;
    return ReadWholeFile(path, &contents) ? contents : "(unreadable)";
}

// Names of the installer's temporary files (url*.tmp) in a folder given with its final "\".
std::set<std::wstring> InstallerTemporaryFiles(const std::wstring& folder);

// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::wstring& path);

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
inline bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A file time, and the system time now, as one number of 100 ns units.
inline ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
inline ULONGLONG NowTicks() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

// The folder of this program, with its final "\"; empty when it cannot be told.
std::wstring ProgramFolder();

// Starts a command line and waits for its end, for boundMs at most, then ends it with
// TerminateProcess (exit code 124). False when it could not start (GetLastError says why);
// else its exit code, and in ended whether it ended by itself.
bool RunToEnd(std::wstring command, DWORD boundMs, DWORD* exitCode, bool* ended = nullptr);

// The system's text for a status, as the installer's failure box shows it (empty when the
// system has none).
std::wstring SystemText(HRESULT status);

// The Links folder and shortcut paths the installer will use in this prefix, found the way
// it finds them. False when they cannot be resolved.
struct InstallerLinkPaths {
    std::wstring folder, view, save;
};
bool ResolveInstallerLinkPaths(InstallerLinkPaths* paths);
