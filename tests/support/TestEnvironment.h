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

// Names of the installer's temporary files (url*.tmp) in a folder given with its final "\".
std::set<std::wstring> InstallerTemporaryFiles(const std::wstring& folder);

// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::wstring& path);

// The system's text for a status, as the installer's failure box shows it (empty when the
// system has none).
std::wstring SystemText(HRESULT status);

// The Links folder and shortcut paths the installer will use in this prefix, found the way
// it finds them. False when they cannot be resolved.
struct InstallerLinkPaths {
    std::wstring folder, view, save;
};
bool ResolveInstallerLinkPaths(InstallerLinkPaths* paths);
