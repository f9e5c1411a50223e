// The test commands and the library option commands through the real
// binary, driven by answer files the way an operator's script would.
#include "tests/support/console_harness.h"
#include "tests/testcmds/testcmds_checks.h"

#include <gtest/gtest.h>

using testing_support::ProgramRun;
using testing_support::ReadDataFile;
using testing_support::RunProgram;
using testing_support::TuneprobePath;
using testcmds_checks::Count;

namespace {

// Eight pause lines, with the load mode that LoadDevData asks for after the
// sixth; then leave the group and the program.
const char kAutomatedTestSession[] = "0\n9\n2\n\n\n\n\n\n\n1\n\n\n-1\n-1\n";
const char kClosing[] = "\nClosing application...\n";
constexpr int kAutomatedTestTimeoutMs = 90000;

ProgramRun RunSeeded(const std::string &input, const std::string &faults = "", int timeoutMs = 20000)
{
    std::vector<std::string> env = {"CALSIM_SEED=1"};
    if (!faults.empty())
        env.push_back("CALSIM_FAULTS=" + faults);
    return RunProgram(TuneprobePath(), input, env, timeoutMs);
}

// What the automated test printed: from the menu answer to the final pop.
std::string AutomatedTestPart(const std::string &output)
{
    const std::string start = "Push[ 1] - set device mode: mode = 4 modulation = 1\n";
    const std::string end = "Pop [ 1] - set device mode: mode = 4 modulation = 1\n";
    std::size_t from = output.find(start);
    std::size_t to = output.rfind(end);
    if (from == std::string::npos || to == std::string::npos)
        return "";
    return output.substr(from, to + end.size() - from);
}

} // namespace

TEST(TestCommandsSession, AutomatedTestPassesEveryCheckAndMatchesTheTranscript)
{
    ProgramRun run = RunSeeded(kAutomatedTestSession, "", kAutomatedTestTimeoutMs);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(run.output.ends_with(kClosing));
    EXPECT_EQ(Count(run.output, "FAIL"), 0);
    EXPECT_EQ(Count(run.output, "ERROR"), 3); // the three refused GPIO writes without permission
    EXPECT_EQ(Count(run.output, "\nPress Enter to continue\n"), 8);
    EXPECT_EQ(AutomatedTestPart(run.output), ReadDataFile("automated_test.txt"));
}

TEST(TestCommandsSession, AutomatedTestWithFaultsFromTheEnvironment)
{
    ProgramRun run = RunSeeded(kAutomatedTestSession,
                               "SetCWOffset/1:1=CW generator busy;GetTx1OutputPower:1=Detector saturated;"
                               "SetGPIOPinState/3:1=GPIO bank busy;ResetRxSpectrum=Spectrum engine off",
                               kAutomatedTestTimeoutMs);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("Write: CW offset = 6123\nERROR: CW generator busy\nRead:  CW offset = -5678 FAIL\n"),
              std::string::npos);
    EXPECT_NE(run.output.find("Setting power to +20 dBm ...ERROR: Detector saturated\nRead   0 dBm  FAIL\n"),
              std::string::npos);
    EXPECT_NE(run.output.find("Setting symbol index to be captured to 1\nERROR: Spectrum engine off\n"
                              "\nPress Enter to continue\n"),
              std::string::npos);
    EXPECT_NE(run.output.find("Setting GPIO 10 to 1ERROR: GPIO bank busy\n\nSetting GPIO 11 to 1\n"), std::string::npos);
    EXPECT_NE(run.output.find("GPIO LED write 1 test: FAIL\n\n"), std::string::npos);
    EXPECT_EQ(Count(run.output, "FAIL"), 3);
    EXPECT_TRUE(run.output.ends_with(kClosing));
}

TEST(TestCommandsSession, WriteNvmModeAndOptionTestsInOneSession)
{
    ProgramRun run = RunSeeded("0 9 4 1 2000 2 5 0 5 1 -1 8 2 2 7 -1 1 2 -1 -1 -1\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find(" at Device Data address 0x2004 \n"
                              "\nTest result: 0 verify errors out of 2 Device Data writes\n"),
              std::string::npos);
    EXPECT_EQ(Count(run.output, "Wrote 32256 bytes\n"), 2);
    EXPECT_EQ(Count(run.output, "Wrote 28672 bytes\n"), 2);
    EXPECT_EQ(run.output.find("ERROR"), std::string::npos);
    EXPECT_NE(run.output.find("\nConnect retry count                 = 7\n\n"), std::string::npos);
    EXPECT_TRUE(run.output.ends_with(kClosing));
}
