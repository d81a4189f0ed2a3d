// A urlmon.dll planted beside the installer in the user's Downloads folder must never be
// loaded into it. A control program that imports urlmon the ordinary way shows that the
// plant works on this system at all.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <vector>

#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

namespace {

std::wstring Downloads() {
    std::wstring folder = TestEnvironment(L"USERPROFILE") + L"\\Downloads";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::wstring Lower(std::wstring text) {
    CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// The planted DLL, the control program and a copy of the installer, side by side; all
// removed again at the end.
struct PlantedFolder {
    std::wstring folder = Downloads();
    std::wstring dll = folder + L"\\urlmon.dll";
    std::wstring control = folder + L"\\urlmon_control.exe";
    std::wstring installer = folder + L"\\BrivokButtons.exe";
    std::wstring marker = folder + L"\\planted-urlmon-loaded.txt";
    bool ready = false;

    PlantedFolder() {
        ready = CopyFileW(TestEnvironment(L"BRIVOK_PLANTED_URLMON").c_str(), dll.c_str(), FALSE) &&
                CopyFileW(TestEnvironment(L"BRIVOK_URLMON_CONTROL").c_str(), control.c_str(), FALSE) &&
                CopyFileW(TestEnvironment(L"BRIVOK_INSTALLER").c_str(), installer.c_str(), FALSE);
    }
    ~PlantedFolder() {
        for (const std::wstring* path : {&dll, &control, &installer, &marker}) DeleteFileW(path->c_str());
    }
    std::string Marker() const {
        std::string contents;
        return ReadWholeFile(marker, &contents) ? contents : std::string();
    }
};

DWORD RunToEnd(const std::wstring& program, DWORD timeoutMs) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::wstring line = L"\"" + program + L"\"";
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 0xdeadbeef;
    }
    DWORD code = 0xdeadbeef;
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 0xdead);
        WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

struct InstallerRun {
    bool finished = false;
    DWORD exitCode = 0xdeadbeef;
    int boxes = 0;
    std::vector<std::wstring> modulesAtBox;  // lower-case paths, while the box was up
};

// Runs the installer, lists its modules while its result box is showing (everything it
// loaded for the run is still there: the apartment is still open), then answers the box.
InstallerRun RunInstallerListingModules(const std::wstring& installer) {
    InstallerRun run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::wstring line = L"\"" + installer + L"\"";
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return run;
    }
    if (HWND box = WaitForMessageBox(process.dwProcessId, 120000)) {
        ++run.boxes;
        HMODULE modules[512];
        DWORD needed = 0;
        if (EnumProcessModulesEx(process.hProcess, modules, sizeof(modules), &needed, LIST_MODULES_ALL)) {
            for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 512; ++i) {
                wchar_t path[MAX_PATH] = {};
                if (GetModuleFileNameExW(process.hProcess, modules[i], path, MAX_PATH)) {
                    run.modulesAtBox.push_back(Lower(path));
                }
            }
        }
        PressOk(box);
    }
    for (DWORD waited = 0; waited < 60000; waited += 50) {
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
            run.finished = true;
            break;
        }
        for (HWND extra : FindMessageBoxes(process.dwProcessId)) {
            ++run.boxes;
            PressOk(extra);
        }
    }
    if (!run.finished) TerminateProcess(process.hProcess, 0xdead);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(DllPlanting, PlantedUrlmonBesideInstallerIsNeverLoaded) {
    PlantedFolder planted;
    ASSERT_TRUE(planted.ready) << "copying into " << Narrow(planted.folder) << ": " << GetLastError();

    DWORD controlExit = RunToEnd(planted.control, 60000);
    std::string controlMarker = planted.Marker();
    if (controlMarker.empty()) {
        GTEST_SKIP() << "the check is not possible here: the control program (exit "
                     << controlExit << ") did not load the urlmon.dll beside it either, so "
                     << "this system never picks a planted copy by the default search";
    }
    EXPECT_EQ(controlExit, 0u);
    ASSERT_TRUE(DeleteFileW(planted.marker.c_str())) << GetLastError();

    InstallerRun run = RunInstallerListingModules(planted.installer);
    ASSERT_TRUE(run.finished) << "the installer did not end";
    EXPECT_EQ(run.boxes, 1);
    EXPECT_EQ(planted.Marker(), "") << "the installer loaded the planted urlmon.dll";

    // The run must have loaded urlmon (for the icon download, and on behalf of the
    // Internet Shortcut class), or it proves nothing; and the copy must be the system's.
    bool sawUrlmon = false;
    for (const std::wstring& path : run.modulesAtBox) {
        if (!EndsWith(path, L"\\urlmon.dll")) continue;
        sawUrlmon = true;
        EXPECT_TRUE(EndsWith(path, L"\\windows\\system32\\urlmon.dll")) << Narrow(path);
    }
    EXPECT_TRUE(sawUrlmon) << "no urlmon.dll in the installer while its box showed ("
                           << run.modulesAtBox.size() << " modules): the check did not run";
}

}  // namespace
