#pragma once
#include <windows.h>

#include <string>

// Value of an environment variable the test list sets (empty when absent).
std::wstring TestEnvironment(const wchar_t* name);

// Whole contents of a file; false when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string* contents);

// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::wstring& path);
