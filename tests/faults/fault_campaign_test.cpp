// Every call the installer makes fails in turn. For each start state, a clean run of
// RunInstaller (in fault_run, a child of this program) counts the calls of every function
// and spy method; then one run fails the nth call of one of them in one of its documented
// ways, for every n and way (BRIVOK_FAULTS=all), or for the first call of each in every way
// (otherwise). After every run: one box (or one of the message text's two fatal faults when
// a string allocation failed), exit code 1 exactly with a failure message, each shortcut as
// it was or exactly its template (both templates on success, never hidden), the Order value
// as it was or put right (the save shortcut alone when the view shortcut's short name cannot
// be had), no url*.tmp left, the run within its bound, and nothing acquired left outstanding.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/menuorder/MenuOrderTestSupport.h"
#include "tests/support/FaultInjector.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/RawRegistryValue.h"
#include "tests/support/TestEnvironment.h"

namespace {

constexpr DWORD kRunBoundMs = 30000;
constexpr wchar_t kToolbarKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kLocalisedName[] = L"Liens";
constexpr char kCaption[] = "Brivok Internet Explorer Buttons";
const char* const kFailureTexts[] = {"Links path not found.", "Failed to create Brivok links.", "CoInitialize"};
const std::string kOldShortcut = "[InternetShortcut]\r\nURL=http://old.example/\r\n";

enum class Start { FreshProfile, OldShortcutsAndOrder, LocalisedFolder };

const char* StartName(Start start) {
    switch (start) {
    case Start::FreshProfile: return "fresh profile";
    case Start::OldShortcutsAndOrder: return "old shortcuts listed in the Order value";
    default: return "localised Links folder";
    }
}

struct FileState {
    bool exists = false;
    std::string bytes;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    bool operator==(const FileState& other) const {
        return exists == other.exists && bytes == other.bytes && attributes == other.attributes;
    }
};

struct Snapshot {
    std::vector<FileState> shortcuts;  // save then view, in each folder they may go to
    bool hasOrder = false;
    std::vector<BYTE> order;
    std::set<std::wstring> temporary;  // url*.tmp in the temporary and the Links folder
};

struct Failure {
    std::string function;
    LONG nth;
    int mode;
};

struct ChildRun {
    std::string failure;  // "function #n mode" or "clean"
    DWORD exitCode = 0;
    bool ended = false;
    bool reported = false;
    int result = -1;
    bool fired = false;
    std::vector<std::string> boxes;  // "icon caption\ttext"
    std::map<std::string, LONG> calls;
    std::map<std::string, LONG> outstanding;
    LONG references = -1;
    int threads = -1;
    std::string milliseconds;
};

class FaultCampaign : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t favorites[MAX_PATH], temp[MAX_PATH], program[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, 0, favorites), S_OK);
        favorites_ = favorites;
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        temp_ = temp;
        DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
        ASSERT_TRUE(length > 0 && length < MAX_PATH);
        child_ = std::wstring(program, length);
        child_ = child_.substr(0, child_.rfind(L'\\') + 1) + L"fault_run.exe";
        report_ = temp_ + L"brivok-fault-report.txt";
        std::wstring generated = TestEnvironment(L"BRIVOK_GENERATED_DIR");
        ASSERT_TRUE(ReadWholeFile(generated + L"\\ViewShortcut.url", &viewTemplate_));
        ASSERT_TRUE(ReadWholeFile(generated + L"\\SaveShortcut.url", &saveTemplate_));
        ASSERT_TRUE(order_.Open());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kToolbarKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &toolbar_,
                                  nullptr),
                  ERROR_SUCCESS);
        all_ = TestEnvironment(L"BRIVOK_FAULTS") == L"all";
    }
    void TearDown() override {
        RegDeleteValueW(toolbar_, L"LinksFolderName");
        RegCloseKey(toolbar_);
        RemoveTree(favorites_ + L"\\Links");
        RemoveTree(favorites_ + L"\\" + kLocalisedName);
    }

    std::wstring Folder() const {
        return favorites_ + L"\\" + (start_ == Start::LocalisedFolder ? kLocalisedName : L"Links");
    }
    std::wstring Save() const { return Folder() + L"\\+ Save It For Later.url"; }
    std::wstring View() const { return Folder() + L"\\View Drovs.url"; }
    // The named folder first; where the name cannot be read, the shortcuts go to Links.
    std::vector<std::wstring> ShortcutPaths() const {
        std::vector<std::wstring> paths = {Save(), View()};
        if (start_ == Start::LocalisedFolder)
            for (const wchar_t* name : {L"\\+ Save It For Later.url", L"\\View Drovs.url"})
                paths.push_back(favorites_ + L"\\Links" + name);
        return paths;
    }

    void Prepare() {
        RegDeleteValueW(toolbar_, L"LinksFolderName");
        RegDeleteValueW(order_.handle(), L"Order");
        for (const wchar_t* folder : {L"\\Links", L"\\Liens"}) RemoveTree(favorites_ + folder);
        if (start_ == Start::LocalisedFolder) {
            ASSERT_EQ(SetRawValue(toolbar_, L"LinksFolderName", REG_SZ, kLocalisedName, sizeof(kLocalisedName)),
                      ERROR_SUCCESS);
            ASSERT_TRUE(CreateDirectoryW(Folder().c_str(), nullptr));
        }
        if (start_ == Start::OldShortcutsAndOrder) {
            ASSERT_TRUE(CreateDirectoryW(Folder().c_str(), nullptr));
            ASSERT_TRUE(WriteWholeFile(Save(), kOldShortcut));
            ASSERT_TRUE(WriteWholeFile(View(), kOldShortcut));
            TestEntry other{L"Other.url"}, view{ShortFileName(View())}, save{ShortFileName(Save())};
            other.wide = false;  // as older shells stored names: compared after conversion
            // Stored as other, view, save; put right, the save shortcut is first and the view
            // shortcut second; with the view shortcut not found, only the save shortcut moves.
            reorderings_.clear();
            for (const std::vector<LONG>& positions :
                 {std::vector<LONG>{0, 1, 2}, std::vector<LONG>{2, 1, 0}, std::vector<LONG>{1, 2, 0}}) {
                other.position = positions[0];
                view.position = positions[1];
                save.position = positions[2];
                reorderings_.push_back(BuildRecord({other, view, save}));
            }
            ASSERT_TRUE(order_.Write(reorderings_[0]));
        }
    }

    FileState File(const std::wstring& path) {
        FileState state;
        state.attributes = GetFileAttributesW(path.c_str());
        state.exists = state.attributes != INVALID_FILE_ATTRIBUTES;
        if (state.exists) ReadWholeFile(path, &state.bytes);
        return state;
    }
    std::set<std::wstring> TemporaryFiles() {
        std::set<std::wstring> names;
        for (const std::wstring& folder : {temp_, Folder() + L"\\"})
            for (const std::wstring& name : InstallerTemporaryFiles(folder)) names.insert(folder + name);
        return names;
    }
    Snapshot Take() {
        Snapshot s;
        for (const std::wstring& path : ShortcutPaths()) s.shortcuts.push_back(File(path));
        s.hasOrder = order_.Read(&s.order);
        s.temporary = TemporaryFiles();
        return s;
    }

    // Starts the child and reads its report.
    ChildRun RunChild(const std::vector<Failure>& failures = {}) {
        ChildRun run;
        std::wstring command = L"\"" + child_ + L"\" \"" + report_ + L"\"";
        for (const Failure& f : failures) {
            run.failure += (run.failure.empty() ? "" : " and ") + f.function + " #" + std::to_string(f.nth) +
                           " mode " + std::to_string(f.mode);
            command += L" " + std::wstring(f.function.begin(), f.function.end()) + L" " + std::to_wstring(f.nth) +
                       L" " + std::to_wstring(f.mode);
        }
        if (failures.empty()) run.failure = "clean";
        DeleteFileW(report_.c_str());
        STARTUPINFOW startup = {sizeof(startup)};
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(child_.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            ADD_FAILURE() << "cannot start " << Narrow(child_) << ": " << GetLastError();
            return run;
        }
        run.ended = WaitForSingleObject(process.hProcess, kRunBoundMs) == WAIT_OBJECT_0;
        if (!run.ended) TerminateProcess(process.hProcess, 124);
        WaitForSingleObject(process.hProcess, 5000);
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);

        std::string text;
        if (!ReadWholeFile(report_, &text)) return run;
        run.reported = true;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            std::string key = line.substr(0, line.find(' '));
            std::string rest = line.size() > key.size() + 1 ? line.substr(key.size() + 1) : "";
            if (key == "result") run.result = std::stoi(rest);
            if (key == "fired") run.fired = rest == "1";
            if (key == "box") run.boxes.push_back(rest);
            if (key == "calls") run.calls[rest.substr(0, rest.rfind(' '))] = std::stol(rest.substr(rest.rfind(' ') + 1));
            if (key == "outstanding")
                run.outstanding[rest.substr(0, rest.find('\t'))] = std::stol(rest.substr(rest.find('\t') + 1));
            if (key == "references") run.references = std::stol(rest);
            if (key == "threads") run.threads = std::stoi(rest);
            if (key == "milliseconds") run.milliseconds = rest + " ms in the run and after it";
        }
        return run;
    }

    // The invariants every run must keep.
    void Check(const ChildRun& run, const std::string& function, const Snapshot& before) {
        SCOPED_TRACE(std::string(StartName(start_)) + ", " + run.failure);
        ASSERT_TRUE(run.ended) << "the run did not end within its bound"
                               << (run.reported ? ": " + run.milliseconds : std::string(" and left no report"));
        Snapshot after = Take();
        bool bothWritten = false;
        for (size_t i = 0; i < after.shortcuts.size(); i += 2) {
            bool written = true;
            for (size_t j = i; j < i + 2; ++j) {
                const FileState& was = before.shortcuts[j];
                const FileState& is = after.shortcuts[j];
                const std::string& document = j % 2 == 0 ? saveTemplate_ : viewTemplate_;
                // A shortcut renamed into place stays hidden only where showing it was itself
                // refused, and the run says it failed.
                bool mayBeHidden = run.failure.find("SetFileAttributesW") != std::string::npos && run.result == 1;
                bool templated = is.exists && is.bytes == document &&
                                 (mayBeHidden || !(is.attributes & FILE_ATTRIBUTE_HIDDEN));
                EXPECT_TRUE(is == was || templated) << "a shortcut is neither as it was nor its template: "
                                                    << (is.exists ? is.bytes.size() : 0) << " bytes, attributes "
                                                    << std::hex << is.attributes;
                written = written && templated;
            }
            bothWritten = bothWritten || written;
        }
        if (run.reported && run.result == 0) EXPECT_TRUE(bothWritten) << "success without both shortcuts written";
        if (after.hasOrder != before.hasOrder || after.order != before.order) {
            bool reordered = false;
            for (const std::vector<BYTE>& record : reorderings_) reordered = reordered || after.order == record;
            EXPECT_TRUE(before.hasOrder && after.hasOrder && reordered) << "the Order value is malformed";
        }
        // Only a delete that was itself refused may leave its file.
        if (run.failure.find("DeleteFileW") == std::string::npos)
            for (const std::wstring& name : after.temporary)
                EXPECT_EQ(before.temporary.count(name), 1u) << "left behind: " << Narrow(name);
        for (const std::wstring& name : after.temporary)
            if (!before.temporary.count(name)) DeleteFileW(name.c_str());

        bool fatal = run.exitCode == 0xC0000017 || run.exitCode == 0xC000001D;
        if (fatal) {
            EXPECT_TRUE(function == "SysAllocString" || function == "SysAllocStringLen")
                << "a fatal fault without memory exhaustion: " << std::hex << run.exitCode;
            return;
        }
        ASSERT_TRUE(run.reported) << "an abnormal end: exit code " << std::hex << run.exitCode;
        EXPECT_EQ(run.exitCode, static_cast<DWORD>(run.result));
        EXPECT_TRUE(run.result == 0 || run.result == 1) << run.result;
        LONG attempts = run.calls.count("MessageBoxW") ? run.calls.at("MessageBoxW") : 0;
        EXPECT_EQ(attempts, 1) << "message boxes";
        if (run.boxes.size() == 1) {
            const std::string& box = run.boxes[0];
            std::string icon = box.substr(0, box.find(' '));
            std::string caption = box.substr(icon.size() + 1, box.find('\t') - icon.size() - 1);
            std::string text = box.substr(box.find('\t') + 1);
            EXPECT_EQ(caption, kCaption);
            if (run.result == 0) {
                EXPECT_EQ(text, "BriVok links installed.");
                EXPECT_EQ(icon, "information");
            } else {
                bool failureText = false;
                for (const char* failure : kFailureTexts) failureText = failureText || text.rfind(failure, 0) == 0;
                EXPECT_TRUE(failureText) << "exit code 1 with the box " << text;
                EXPECT_EQ(icon, "error");
            }
        }
        for (const auto& kind : run.outstanding) ADD_FAILURE() << "left outstanding: " << kind.second << " " << kind.first;
        EXPECT_EQ(run.references, 0) << "references to the spies kept";
        EXPECT_EQ(run.threads, 0) << "threads of the run still running";
    }

    // The clean run, then one run per call and failure mode; returns the clean run's calls.
    void Campaign(Start start) {
        start_ = start;
        ASSERT_NO_FATAL_FAILURE(Prepare());
        Snapshot before = Take();
        ChildRun clean = RunChild();
        Snapshot cleaned = Take();
        ASSERT_NO_FATAL_FAILURE(Check(clean, "", before));
        ASSERT_EQ(clean.result, 0) << "the clean run failed";
        if (start == Start::OldShortcutsAndOrder)
            ASSERT_EQ(EntryPositions(cleaned.order), (std::vector<LONG>{2, 1, 0})) << "Other, view, save";
        else
            ASSERT_FALSE(cleaned.hasOrder) << "an Order value was written";
        for (const auto& call : clean.calls)
            EXPECT_TRUE(FindFaultFunction(call.first) || call.first.rfind(kSpyPrefix, 0) == 0)
                << call.first << " is called but not covered";

        std::string table;
        FailEachCall(clean, {}, &table);
        // Some calls are made only on the way to a failure message (its system text, the
        // text's growth), on the way to a Links folder on another volume, or where the system
        // lacks the restricted DLL search: they fail on top of the failure that leads there.
        for (const Failure& gateway : {Failure{"CreateFileW", 1, Mode("CreateFileW", "access denied")},
                                       Failure{"MoveFileExW", 1, Mode("MoveFileExW", "another volume")},
                                       Failure{"GetProcAddress", 1, Mode("GetProcAddress", "not found")}}) {
            ASSERT_NO_FATAL_FAILURE(Prepare());
            ChildRun led = RunChild({gateway});
            ASSERT_TRUE(led.reported) << gateway.function;
            ChildRun only;
            for (const auto& call : led.calls)
                if (!clean.calls.count(call.first)) only.calls.insert(call);
            table += "after " + gateway.function + " #1 fails:\n";
            FailEachCall(only, {gateway}, &table);
        }
        std::cout << StartName(start) << ": " << runs_ << " runs, " << fired_ << " with the failure handed out\n"
                  << table;
    }

    static int Mode(const char* function, const char* what) {
        const FaultFunction* found = FindFaultFunction(function);
        for (size_t i = 0; found && i < found->modes.size(); ++i)
            if (std::string(found->modes[i].what) == what) return static_cast<int>(i);
        ADD_FAILURE() << function << " has no mode " << what;
        return 0;
    }

    // One run per call of each function in base's calls (the first only, unless all_) and
    // per failure mode, on top of the failures given.
    void FailEachCall(const ChildRun& base, const std::vector<Failure>& under, std::string* table) {
        for (const auto& call : base.calls) {
            const FaultFunction* function = FindFaultFunction(call.first);
            if (!function || function->modes.empty()) continue;
            LONG last = all_ ? call.second : 1;
            int functionRuns = 0;
            for (LONG nth = 1; nth <= last; ++nth) {
                for (int mode = 0; mode < static_cast<int>(function->modes.size()); ++mode) {
                    ASSERT_NO_FATAL_FAILURE(Prepare());
                    Snapshot state = Take();
                    std::vector<Failure> failures = under;
                    failures.push_back({call.first, nth, mode});
                    ChildRun run = RunChild(failures);
                    Check(run, call.first, state);
                    ++runs_;
                    ++functionRuns;
                    if (run.fired || !run.reported) ++fired_;
                }
            }
            *table += call.first + " " + std::to_string(call.second) + " " + std::to_string(function->modes.size()) +
                      " " + std::to_string(functionRuns) + "\n";
        }
    }

    Start start_ = Start::FreshProfile;
    int runs_ = 0, fired_ = 0;
    bool all_ = false;
    std::wstring favorites_, temp_, child_, report_;
    std::string viewTemplate_, saveTemplate_;
    TestOrderKey order_;
    std::vector<std::vector<BYTE>> reorderings_;  // the Order values a run may leave
    HKEY toolbar_ = nullptr;
};

TEST_F(FaultCampaign, CoversEveryFunctionTheInstallerImports) {
    std::vector<std::string> imports = ImageImports(TestEnvironment(L"BRIVOK_INSTALLER"));
    ASSERT_GT(imports.size(), 40u) << "the installer's import table was not read";
    for (const std::string& name : imports)
        EXPECT_TRUE(FindFaultFunction(name) || FaultFunctionsLeftOut().count(name))
            << name << " is imported but neither covered nor left out";
}

TEST_F(FaultCampaign, FreshProfile) { Campaign(Start::FreshProfile); }
TEST_F(FaultCampaign, OldShortcutsListedInTheOrderValue) { Campaign(Start::OldShortcutsAndOrder); }
TEST_F(FaultCampaign, LocalisedLinksFolder) { Campaign(Start::LocalisedFolder); }

}  // namespace
