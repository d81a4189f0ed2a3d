// The built installer in this test's fresh prefix: one box, its caption, text and icon,
// and the exit code.
#include <gtest/gtest.h>

#include "tests/support/MessageBoxReader.h"
#include "tests/support/TestEnvironment.h"

namespace {

ProcessRun RunInstallerExe() {
    std::wstring installer = TestEnvironment(L"BRIVOK_INSTALLER");
    return RunAndAnswerBoxes(L"\"" + installer + L"\"", 120000);
}

TEST(InstallerRun, SucceedsWithOneInformationBox) {
    ProcessRun run = RunInstallerExe();
    ASSERT_TRUE(run.started) << Narrow(TestEnvironment(L"BRIVOK_INSTALLER"));
    ASSERT_TRUE(run.finished) << "the installer did not end";
    ASSERT_EQ(run.boxes.size(), 1u) << "boxes shown";
    EXPECT_EQ(run.boxes[0].caption, L"Brivok Internet Explorer Buttons");
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.") << Narrow(run.boxes[0].text);
    EXPECT_EQ(run.boxes[0].icon, BoxIcon::Information) << BoxIconName(run.boxes[0].icon);
    EXPECT_EQ(run.exitCode, 0u) << std::hex << run.exitCode;
}

TEST(InstallerRun, IgnoresItsCommandLine) {
    std::wstring installer = TestEnvironment(L"BRIVOK_INSTALLER");
    ProcessRun run = RunAndAnswerBoxes(L"\"" + installer + L"\" /uninstall --help x", 120000);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, L"BriVok links installed.");
    EXPECT_EQ(run.exitCode, 0u);
}

}  // namespace
