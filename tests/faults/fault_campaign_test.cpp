// Every call the installer makes fails in turn. For each start state, a clean run of the
// installer's own entry (in fault_run, a child of this program) counts the calls of every
// function and spy method at every place in the product. Then one run fails one call at one
// place in one of its documented ways: with BRIVOK_FAULTS=all (or a function's name, for its
// places alone), every call in every way, and every call from there on where the call came
// again; otherwise the first call once per return address and its caller's. Every place a
// failure leads to that the clean run never reached is failed the same way on top of it, and
// the first failure after which a wait was given up is paired with a failure of the work.
// After every run: the armed failure reached; the exit code, read from outside, 1 exactly
// with the failure message of the stage that failed; the process ended by TerminateProcess
// exactly when a wait was given up; one box, or none when the entry could not start; each
// shortcut as it was or exactly its template (both on success, never hidden); the Order value
// as it was, or put right in a run that succeeded and only after both shortcuts were
// announced; no url*.tmp left but where its delete was refused; the run within its bound;
// nothing taken back that was not handed out, and, but after a wait given up, nothing left
// outstanding; every DLL and file path the harmful calls were asked whole and the run's own;
// a file held once by a scanner, alone, waited out.
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
constexpr int kStartsAtMost = 4;  // of one child, for a start Wine ended before the entry
constexpr wchar_t kToolbarKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kLocalisedName[] = L"Liens";
constexpr char kCaption[] = "Brivok Internet Explorer Buttons";
// The box's text for a failure in each stage that reports one.
const std::map<std::string, std::string> kStageTexts = {
    {"run", "CoInitialize"}, {"paths", "Links path not found."}, {"shortcut", "Failed to create Brivok links."}};
std::set<std::pair<std::string, std::string>> g_quickPlaces;  // failed so far by the quick part
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

struct ChildRun {
    std::string failure;  // "function at place #n mode" or "clean"
    DWORD exitCode = 0;
    bool ended = false;
    bool reported = false;
    std::string endedBy;
    std::set<std::string> stages;  // of the failures handed out
    bool givenUp = false;
    std::vector<LONG> fired;
    std::vector<bool> releases;  // whether each armed call is a worker block's release
    std::vector<std::string> boxes;  // "icon caption\ttext"
    std::map<std::pair<std::string, std::string>, LONG> calls;
    std::map<std::string, LONG> outstanding, unowned;
    std::set<std::wstring> kept;  // files whose delete was refused
    std::vector<std::string> unsound;  // calls asked a DLL or file not whole or not the run's own
    LONG announcedAfterReorder = -1, references = -1, threads = -1;
};

class FaultCampaign : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t favorites[MAX_PATH], temp[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, 0, favorites), S_OK);
        favorites_ = favorites;
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        temp_ = temp;
        ASSERT_FALSE(ProgramFolder().empty());
        child_ = ProgramFolder() + L"fault_run.exe";
        report_ = temp_ + L"brivok-fault-report.txt";
        std::wstring generated = TestEnvironment(L"BRIVOK_GENERATED_DIR");
        ASSERT_TRUE(ReadWholeFile(generated + L"\\ViewShortcut.url", &viewTemplate_));
        ASSERT_TRUE(ReadWholeFile(generated + L"\\SaveShortcut.url", &saveTemplate_));
        ASSERT_TRUE(order_.Open());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kToolbarKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &toolbar_,
                                  nullptr),
                  ERROR_SUCCESS);
        const std::wstring faults = TestEnvironment(L"BRIVOK_FAULTS");
        all_ = !faults.empty();
        if (all_ && faults != L"all") only_ = std::string(faults.begin(), faults.end());
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
            // Stored as other, view, save; put right, the save shortcut is first and the view
            // shortcut second; with the view shortcut not found, only the save shortcut moves.
            // The other's name is not wide, as older shells stored names: compared after conversion.
            reorderings_.clear();
            for (const std::vector<LONG>& positions :
                 {std::vector<LONG>{0, 1, 2}, std::vector<LONG>{2, 1, 0}, std::vector<LONG>{1, 2, 0}})
                reorderings_.push_back(OtherViewSaveRecord(View(), Save(), positions, false));
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
    // In every folder a shortcut may be written to, and the temporary one.
    std::set<std::wstring> TemporaryFiles() {
        std::set<std::wstring> names;
        for (const std::wstring& folder : {temp_, Folder() + L"\\", favorites_ + L"\\Links\\"})
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
    ChildRun RunChild(const std::vector<FaultArm>& failures = {}) {
        ChildRun run;
        std::wstring command = L"\"" + child_ + L"\" \"" + report_ + L"\"";
        for (const FaultArm& f : failures) {
            run.failure += (run.failure.empty() ? "" : " and ") + f.function + " at " + f.place + " #" +
                           std::to_string(f.nth) + (f.lasting ? " on" : "") + " mode " + std::to_string(f.mode);
            for (const std::string& word : {f.function, f.place, std::to_string(f.nth), std::to_string(f.mode),
                                            std::string(f.lasting ? "1" : "0")})
                command += L" " + std::wstring(word.begin(), word.end());
        }
        if (failures.empty()) run.failure = "clean";
        // While other prefixes are busy, Wine now and then ends a child before its start-up is
        // over (CreateProcessW: ERROR_INTERNAL_ERROR, or gone before its report was begun): no
        // product code ran in it, so it is started again, counted and limited. A child that
        // reached the installer's entry is judged as it ended.
        std::string text;
        for (int start = 0; text.empty(); ++start) {
            DeleteFileW(report_.c_str());
            if (start == kStartsAtMost) {
                ADD_FAILURE() << Narrow(child_) << " never reached the entry: error " << GetLastError()
                              << ", exit code " << std::hex << run.exitCode;
                return run;
            }
            startedAgain_ += start > 0;
            if (RunToEnd(command, kRunBoundMs, &run.exitCode, &run.ended)) ReadWholeFile(report_, &text);
        }
        run.reported = text.rfind("ended ", 0) == 0;
        std::istringstream lines(text);
        std::string key;
        while (lines >> key) {
            std::string rest;
            std::getline(lines, rest);
            rest = rest.empty() ? rest : rest.substr(1);
            std::istringstream words(rest);
            std::string word, place;
            LONG count = 0;
            if (key == "ended") run.endedBy = rest;
            if (key == "given-up") run.givenUp = rest == "1";
            if (key == "fired" && words >> count >> word >> place) {
                run.fired.push_back(count);
                if (count) run.stages.insert(word);
                run.releases.push_back(place == "1");
            }
            if (key == "box") run.boxes.push_back(rest);
            if (key == "calls" && words >> word >> place >> count) run.calls[{word, place}] = count;
            if (key == "outstanding" || key == "unowned")
                (key == "unowned" ? run.unowned : run.outstanding)[rest.substr(0, rest.find('\t'))] =
                    std::stol(rest.substr(rest.find('\t') + 1));
            if (key == "kept") run.kept.insert(std::wstring(rest.begin(), rest.end()));
            if (key == "unsound") run.unsound.push_back(rest);
            if (key == "announced-after-reorder") run.announcedAfterReorder = std::stol(rest);
            if (key == "references") run.references = std::stol(rest);
            if (key == "threads") run.threads = std::stoi(rest);
        }
        return run;
    }

    // The invariants every run must keep.
    void Check(const ChildRun& run, const std::vector<FaultArm>& failures, const Snapshot& before) {
        SCOPED_TRACE(std::string(StartName(start_)) + ", " + run.failure);
        ASSERT_TRUE(run.ended) << "the run did not end within its bound";
        Snapshot after = Take();
        const bool succeeded = run.exitCode == 0;
        auto anyFailed = [&failures](bool FaultFunction::*property) {
            for (const FaultArm& f : failures)
                if (FindFaultFunction(f.function)->*property) return true;
            return false;
        };
        bool bothWritten = false;
        for (size_t i = 0; i < after.shortcuts.size(); i += 2) {
            bool written = true;
            for (size_t j = i; j < i + 2; ++j) {
                const FileState& was = before.shortcuts[j];
                const FileState& is = after.shortcuts[j];
                const std::string& document = j % 2 == 0 ? saveTemplate_ : viewTemplate_;
                // A shortcut renamed into place stays hidden only where showing it was itself
                // refused (SetFileAttributesW failed), and the run says it failed.
                bool mayBeHidden = anyFailed(&FaultFunction::unhides) && !succeeded;
                bool templated = is.exists && is.bytes == document &&
                                 (mayBeHidden || !(is.attributes & FILE_ATTRIBUTE_HIDDEN));
                EXPECT_TRUE(is == was || templated) << "a shortcut is neither as it was nor its template: "
                                                    << (is.exists ? is.bytes.size() : 0) << " bytes, attributes "
                                                    << std::hex << is.attributes;
                written = written && templated;
            }
            bothWritten = bothWritten || written;
        }
        if (succeeded) EXPECT_TRUE(bothWritten) << "success without both shortcuts written";
        // A scanner holding a file for one call, alone, is waited out.
        if (failures.size() == 1 && !failures[0].lasting &&
            FindFaultFunction(failures[0].function)->modes[failures[0].mode].held) {
            EXPECT_TRUE(succeeded) << "a file held for one call failed the run";
            LONG saved = 0;
            for (const auto& call : run.calls) saved += call.first.first == "IPersistFile::Save" ? call.second : 0;
            EXPECT_EQ(saved, 2) << "stamped shortcuts";
        }
        if (after.hasOrder != before.hasOrder || after.order != before.order) {
            bool reordered = false;
            for (const std::vector<BYTE>& record : reorderings_) reordered = reordered || after.order == record;
            EXPECT_TRUE(before.hasOrder && after.hasOrder && reordered) << "the Order value is malformed";
            // Its work done, a run may still end in a fatal fault while composing its box.
            EXPECT_TRUE(succeeded || (run.endedBy == "fault" && run.stages == std::set<std::string>{"none"}))
                << "the Order value changed in a run that failed";
        }
        // A file whose delete was refused (DeleteFileW failed) stays where it is.
        for (const std::wstring& name : after.temporary) {
            if (!before.temporary.count(name) && !run.kept.count(name)) ADD_FAILURE() << "left behind: " << Narrow(name);
            if (!before.temporary.count(name)) DeleteFileW(name.c_str());
        }

        // The message text's two fatal faults, raised when its memory cannot be had.
        if (run.exitCode == 0xC0000017 || run.exitCode == 0xC000001D) {
            EXPECT_TRUE(anyFailed(&FaultFunction::fatalWhenFailed))
                << "a fatal fault without memory exhaustion: " << std::hex << run.exitCode;
            return;
        }
        ASSERT_TRUE(run.reported) << "an abnormal end: exit code " << std::hex << run.exitCode;
        EXPECT_EQ(run.endedBy, run.givenUp ? "TerminateProcess" : "ExitProcess");
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << run.exitCode;
        bool opened = true;  // the failures before this one came, and lead the same way each time
        for (size_t i = 0; i < run.fired.size(); ++i) {
            // Where timing decides, a place may not come: a process ending after a wait given up
            // ends the worker where it stands; a wait is made only while its worker runs, and a
            // failed one leads where the worker is; a worker's block is released by whichever
            // of the worker and its owner lets go last.
            const FaultArm& armed = failures[i];
            const bool timed = FindFaultFunction(armed.function)->countFollowsTiming;
            EXPECT_TRUE(run.fired[i] > 0 || run.givenUp || timed || run.releases[i] || !opened)
                << "armed, never reached: " << armed.function << " at " << armed.place;
            opened = opened && run.fired[i] > 0 && !timed;
        }
        LONG attempts = 0;
        for (const auto& call : run.calls) attempts += call.first.first == "MessageBoxW" ? call.second : 0;
        // Only the entry's own failure to start ends the process with no box, and with 1; a
        // failure outside the stages that report one leaves the run a success.
        EXPECT_EQ(attempts, run.stages.count("entry") && !succeeded ? 0 : 1) << "message boxes";
        std::set<std::string> texts = {succeeded ? "BriVok links installed." : ""};
        for (const std::string& stage : run.stages)
            if (!succeeded && kStageTexts.count(stage)) texts.insert(kStageTexts.at(stage));
        if (run.boxes.size() == 1) {
            const std::string& box = run.boxes[0];
            std::string icon = box.substr(0, box.find(' '));
            std::string caption = box.substr(icon.size() + 1, box.find('\t') - icon.size() - 1);
            std::string text = box.substr(box.find('\t') + 1);
            EXPECT_EQ(caption, kCaption);
            EXPECT_EQ(icon, succeeded ? "information" : "error");
            bool stageText = false;
            for (const std::string& expected : texts)
                stageText = stageText || (!expected.empty() && text.rfind(expected, 0) == 0);
            EXPECT_TRUE(stageText) << "the box of a failure in another stage: " << text;
        } else if (!succeeded && attempts) {
            EXPECT_GT(texts.size(), 1u) << "exit code 1 where no stage that reports a failure failed";
        }
        for (const std::string& call : run.unsound) ADD_FAILURE() << "asked: " << call;
        EXPECT_EQ(run.announcedAfterReorder, 0) << "shortcuts announced after the Order value was changed";
        for (const auto& kind : run.unowned) ADD_FAILURE() << "taken back, never handed out: " << kind.second << " " << kind.first;
        if (run.givenUp) return;  // what a given-up run holds ends with its process
        for (const auto& kind : run.outstanding) ADD_FAILURE() << "left outstanding: " << kind.second << " " << kind.first;
        EXPECT_EQ(run.references, 0) << "references to the spies kept";
        EXPECT_EQ(run.threads, 0) << "threads of the run still running";
    }

    // The clean run, then the failures at every place it reaches, and at every place those
    // failures lead to that it does not reach.
    void Campaign(Start start) {
        start_ = start;
        ASSERT_NO_FATAL_FAILURE(Prepare());
        Snapshot before = Take();
        ChildRun clean = RunChild();
        Snapshot cleaned = Take();
        ASSERT_NO_FATAL_FAILURE(Check(clean, {}, before));
        ASSERT_EQ(clean.exitCode, 0u) << "the clean run failed";
        if (start == Start::OldShortcutsAndOrder)
            ASSERT_EQ(EntryPositions(cleaned.order), (std::vector<LONG>{2, 1, 0})) << "Other, view, save";
        else
            ASSERT_FALSE(cleaned.hasOrder) << "an Order value was written";
        for (const auto& call : clean.calls)
            EXPECT_TRUE(FindFaultFunction(call.first.first)) << call.first.first << " is called but not covered";

        struct Place {
            std::vector<FaultArm> under;
            std::pair<std::string, std::string> call;
            LONG count;
        };
        std::vector<Place> places;
        std::set<std::pair<std::string, std::string>> reached;
        for (const auto& call : clean.calls) {
            reached.insert(call.first);
            places.push_back({{}, call.first, call.second});
        }
        std::string table;
        std::vector<FaultArm> givenUp;  // the first failure alone after which a wait was given up
        for (size_t i = 0; i < places.size(); ++i) {
            const Place place = places[i];
            const FaultFunction* function = FindFaultFunction(place.call.first);
            if (place.call.second == kOutside || !function || function->modes.empty()) continue;
            if (!only_.empty() && place.under.empty() && place.call.first != only_) continue;
            // The quick part fails the first call once per return address and its caller's,
            // over all start states, in every way at a function's first place and in its
            // first way elsewhere; it makes no lasting failures.
            const std::string& chain = place.call.second;
            if (!all_ && !g_quickPlaces.insert({place.call.first, chain.substr(0, chain.find(':', chain.find(':') + 1))}).second)
                continue;
            const int ways = all_ || g_quickPlaces.insert({place.call.first, ""}).second
                                 ? static_cast<int>(function->modes.size()) : 1;
            LONG last = all_ && !function->countFollowsTiming ? place.count : 1;
            int placeRuns = 0, placeFired = 0;
            for (LONG nth = 1; nth <= last; ++nth) {
                for (int mode = 0; mode < ways; ++mode) {
                    std::vector<FaultArm> failures = place.under;
                    failures.push_back({place.call.first, place.call.second, nth, mode, false});
                    ChildRun run = RunAndCheck(failures);
                    ++placeRuns;
                    placeFired += !run.fired.empty() && run.fired.back() > 0;
                    if (run.givenUp && givenUp.empty() && failures.size() == 1) givenUp = failures;
                    if (place.under.empty())
                        for (const auto& call : run.calls)
                            if (reached.insert(call.first).second)
                                places.push_back({failures, call.first, call.second});
                    // The call came again after the failure: it fails from there on too.
                    auto again = run.calls.find(place.call);
                    if (all_ && again != run.calls.end() && again->second > nth) {
                        failures.back().lasting = true;
                        RunAndCheck(failures);
                        ++placeRuns;
                    }
                }
            }
            table += (place.under.empty() ? "" : "  after " + place.under[0].function + " at " + place.under[0].place +
                                                         ": ") +
                     place.call.first + " " + place.call.second + " " + std::to_string(place.count) + " " +
                     std::to_string(function->modes.size()) + " " + std::to_string(placeRuns) + " " +
                     std::to_string(placeFired) + "\n";
        }
        // Two troubles in one run: after that wait given up, the work fails at each function's
        // first place the clean run reached (at every place in `make faults`), in its first way.
        std::set<std::string> paired;
        int pairs = 0;
        for (const auto& call : clean.calls) {
            const FaultFunction* function = FindFaultFunction(call.first.first);
            if (givenUp.empty() || call.first.second == kOutside || !function || function->modes.empty() ||
                call.first == std::make_pair(givenUp[0].function, givenUp[0].place) ||
                (!all_ && !paired.insert(call.first.first).second))
                continue;
            std::vector<FaultArm> failures = givenUp;
            failures.push_back({call.first.first, call.first.second, 1, 0, false});
            RunAndCheck(failures);
            ++pairs;
        }
        if (pairs) table += "after " + givenUp[0].function + " at " + givenUp[0].place + ": " + std::to_string(pairs) + " runs\n";
        std::cout << StartName(start) << ": " << runs_ << " runs, " << startedAgain_ << " started again (function, place, calls, ways, runs, runs of one failure that reached it)\n" << table;
    }

    ChildRun RunAndCheck(const std::vector<FaultArm>& failures) {
        Prepare();
        const Snapshot state = Take();
        ChildRun run = RunChild(failures);
        Check(run, failures, state);
        ++runs_;
        return run;
    }

    Start start_ = Start::FreshProfile;
    int runs_ = 0, startedAgain_ = 0;
    bool all_ = false;
    std::string only_;  // BRIVOK_FAULTS=function: every call of that function alone
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
        EXPECT_TRUE(FindFaultFunction(name) || FindFaultFunction(name, FaultFunctionsLeftOut()))
            << name << " is imported but neither covered nor left out";
}

TEST_F(FaultCampaign, FreshProfile) { Campaign(Start::FreshProfile); }
TEST_F(FaultCampaign, OldShortcutsListedInTheOrderValue) { Campaign(Start::OldShortcutsAndOrder); }
TEST_F(FaultCampaign, LocalisedLinksFolder) { Campaign(Start::LocalisedFolder); }

}  // namespace
