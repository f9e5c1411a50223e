// The real tuneprobe binary driven by answer files: transcripts, exit
// statuses, end of input at several points, start-up failures.
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

#include <chrono>

using testing_support::ProgramRun;
using testing_support::ReadDataFile;
using testing_support::RunProgram;
using testing_support::TuneprobePath;

namespace {

const char kBanner[] = "\nWelcome to the Tavrel Cal API Test Application\nFor Cal API Library Version 3.5.0\n\n";
const char kClosing[] = "\nClosing application...\n";

ProgramRun RunTuneprobe(const std::string &input, const std::vector<std::string> &env = {})
{
    return RunProgram(TuneprobePath(), input, env);
}

} // namespace

TEST(TuneprobeSession, DeviceModeTranscript)
{
    ProgramRun run = RunTuneprobe("0\n1\n3\n-1\n-1\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, ReadDataFile("config_session.txt"));
}

TEST(TuneprobeSession, MinusOneAtTheInterfaceQuestionExitsAtOnce)
{
    ProgramRun run = RunTuneprobe("-1\n0\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(run.output.starts_with(kBanner));
    EXPECT_TRUE(run.output.ends_with("\n    -1. Exit\n\nINTERFACE TYPE : "));
    EXPECT_EQ(run.output.find(kClosing), std::string::npos);
}

TEST(TuneprobeSession, EndOfInputAnywhereClosesCleanly)
{
    struct Case {
        const char *input;
        bool opened;
    };
    const Case cases[] = {
        {"", false},                  // at the interface question
        {"1", false},                 // at the IP address question
        {"0\n", true},                // at the main menu
        {"0\n1\n", true},             // in a group menu
        {"0\n1\n4\n3\n", true},       // between two answers of a command
        {"0\n1\n8\nnot-a-number", true}, // while a prompt is asked again
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        auto start = std::chrono::steady_clock::now();
        ProgramRun run = RunTuneprobe(c.input);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.output.ends_with(kClosing), c.opened);
        EXPECT_LT(took, std::chrono::seconds(5));
    }
}

TEST(TuneprobeSession, ConfigurationValuesRoundTrip)
{
    ProgramRun run = RunTuneprobe("0 1 8 -100 7 6 2500000 5000 5 4 3 1 3 -1 -1\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("    CW freq offset = -100 kHz\n"), std::string::npos);
    EXPECT_NE(run.output.find("    Center frequency (kHz)  = 2500000\n    Bandwidth (kHz)         = 5000\n"),
              std::string::npos);
    EXPECT_NE(run.output.find("    DUT Mode        = Tx OFDMA (3)\n"), std::string::npos);
}

TEST(TuneprobeSession, DisconnectedDeviceAnswersWithErrorsUntilReconnected)
{
    ProgramRun run = RunTuneprobe("0 1 2 3 1 3 -1 -1\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("\nGetDeviceMode:\n\nERROR: Device is not connected\n"), std::string::npos);
    EXPECT_NE(run.output.find("\nConnectDevice:\n     Device connected.\n"), std::string::npos);
    EXPECT_NE(run.output.find("    DUT Mode        = Normal (0)\n"), std::string::npos);
}

TEST(TuneprobeStartup, MalformedProxyAddressCannotBeOpened)
{
    ProgramRun run = RunTuneprobe("1 proxy.local 2800\nx\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.output.ends_with("   Using proxy.local:2800\n"
                                     "\nERROR: Unable to open a Host Proxy Cal API interface\n\n"
                                     "Press ENTER to exit ..."));
    EXPECT_EQ(run.output.find("Trying to open handle"), std::string::npos);
}

TEST(TuneprobeStartup, NullInterfaceIsALocalFailureAndTheKeyReadEndsOnEndOfInput)
{
    ProgramRun run = RunTuneprobe("0\n", {"CALSIM_FAULTS=GetCalInterface"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.output.ends_with("\nERROR: Unable to open a Local Cal API interface\n\nPress ENTER to exit ..."));
}

TEST(TuneprobeStartup, TenFailedConnectionsEndWithStatusOne)
{
    auto start = std::chrono::steady_clock::now();
    ProgramRun run = RunTuneprobe("2 .\n\n", {"CALSIM_FAULTS=ConnectDevice=Target not responding"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.exitStatus, 1);
    std::size_t reasons = 0;
    for (std::size_t at = run.output.find("\nFailed because: Target not responding\n"); at != std::string::npos;
         at = run.output.find("\nFailed because: Target not responding\n", at + 1))
        ++reasons;
    EXPECT_EQ(reasons, 10u);
    EXPECT_GE(took, std::chrono::seconds(9)); // one second after each attempt
    EXPECT_TRUE(run.output.ends_with("\nERROR: Unable to open a Host Proxy Cal API interface\n\nPress ENTER to exit ..."));
}

TEST(TuneprobeStartup, ConnectionThatComesUpOnTheThirdAttempt)
{
    ProgramRun run = RunTuneprobe("0 -1\n", {"CALSIM_FAULTS=ConnectDevice:2=Busy"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("\nTrying to open handle to Device...\nFailed because: Busy\n"
                              "\nTrying to open handle to Device...\nFailed because: Busy\n"
                              "\nTrying to open handle to Device...Success!!\n"),
              std::string::npos);
}

TEST(TuneprobeSession, FaultsSetThroughTheSimulatorsEnvironment)
{
    // The second read fails once; the first and third succeed.
    ProgramRun run = RunTuneprobe("0 1 3 3 3 -1 -1\n", {"CALSIM_FAULTS=GetDeviceMode/1:1=Mode register busy"});
    EXPECT_EQ(run.exitStatus, 0);
    const std::string good = "\nGetDeviceMode:\n    DUT Mode        = Normal (0)\n";
    const std::string bad = "\nGetDeviceMode:\n\nERROR: Mode register busy\n";
    std::size_t first = run.output.find(good);
    std::size_t second = run.output.find(bad);
    std::size_t third = run.output.find(good, second);
    EXPECT_LT(first, second);
    EXPECT_NE(second, std::string::npos);
    EXPECT_NE(third, std::string::npos);
}
