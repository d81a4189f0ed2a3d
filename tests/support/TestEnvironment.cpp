#include "tests/support/TestEnvironment.h"

#include "shortcuts/LinkPaths.h"

std::wstring TestEnvironment(const wchar_t* name) {
    wchar_t buffer[4096];
    DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    if (length == 0 || length >= 4096) return std::wstring();
    return std::wstring(buffer, length);
}

bool WriteWholeFile(const std::wstring& path, const std::string& contents) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
              written == contents.size();
    CloseHandle(file);
    return ok;
}

bool ReadWholeFile(const std::wstring& path, std::string* contents) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    contents->clear();
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof(chunk), &got, nullptr)) && got) contents->append(chunk, got);
    CloseHandle(file);
    return ok;
}

std::set<std::wstring> InstallerTemporaryFiles(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"url*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.insert(found.cFileName); while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
    return !Exists(path);
}

std::wstring ProgramFolder() {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    std::wstring path(program, length);
    return path.substr(0, path.rfind(L'\\') + 1);
}

bool RunToEnd(std::wstring command, DWORD boundMs, DWORD* exitCode, bool* ended) {
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    bool inTime = WaitForSingleObject(process.hProcess, boundMs) == WAIT_OBJECT_0;
    if (!inTime) TerminateProcess(process.hProcess, 124);
    WaitForSingleObject(process.hProcess, 5000);
    GetExitCodeProcess(process.hProcess, exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (ended) *ended = inTime;
    return true;
}

std::wstring SystemText(HRESULT status) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(status), 0x400,
                                  reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = length && text ? std::wstring(text, length) : std::wstring();
    if (text) LocalFree(text);
    return result;
}

bool ResolveInstallerLinkPaths(InstallerLinkPaths* paths) {
    HRESULT hr = ResolveLinkPaths();
    bool resolved = SUCCEEDED(hr) && LinkPaths.folder && LinkPaths.view && LinkPaths.save;
    if (resolved) {
        paths->folder = LinkPaths.folder;
        paths->view = LinkPaths.view;
        paths->save = LinkPaths.save;
    }
    FreeLinkPaths();
    return resolved;
}
