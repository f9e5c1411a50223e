// The real tuneprobe binary driven by answer files: transcripts, exit
// statuses, end of input at several points, start-up failures.
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <gtest/gtest.h>

#include <chrono>

using testing_support::ExpectMatchesTranscript;
using testing_support::ProgramRun;
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
    ExpectMatchesTranscript("config_session.txt", run.output);
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
        {"", false},                     // at the interface question
        {"1", false},                    // at the IP address question
        {"0\n", true},                   // at the main menu
        {"0\n1\n", true},                // in a group menu
        {"0\n1\n4\n3\n", true},          // between two answers of a command
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

// An interface that cannot be opened ends the program with status 1 after
// the key read, which returns on end of input.
TEST(TuneprobeStartup, InterfaceThatCannotBeOpened)
{
    struct Case {
        const char *input;
        const char *env;
        const char *tail;
    };
    const Case cases[] = {
        {"1 proxy.local 2800\nx\n", "CALSIM_SEED=1", // no name look-up: not an address
         "   Using proxy.local:2800\n\nERROR: Unable to open a Host Proxy Cal API interface\n\nPress ENTER to exit ..."},
        {"0\n", "CALSIM_FAULTS=GetCalInterface", // a null handle from the library
         "INTERFACE TYPE : \nERROR: Unable to open a Local Cal API interface\n\nPress ENTER to exit ..."},
    };
    for (const Case &c : cases) {
        ProgramRun run = RunTuneprobe(c.input, {c.env});
        EXPECT_EQ(run.exitStatus, 1) << c.input;
        EXPECT_TRUE(run.output.ends_with(c.tail)) << run.output;
        EXPECT_EQ(run.output.find("Trying to open handle"), std::string::npos);
    }
}

// Numbers that do not fit their 32-bit question are asked again, not wrapped
// to another value; -1 and 4294967295 keep their meaning everywhere.
TEST(TuneprobeInput, NumbersPast32BitsAreAskedAgain)
{
    using testing_support::Contains;
    using testing_support::Count;
    const std::string refused = "Please enter a number.\n";

    // At the main menu 99999999999999999999 once wrapped to -1 and exited.
    ProgramRun run = RunTuneprobe("0\n99999999999999999999\n1\n-1\n4294967295\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(Count(run.output, refused), 1);
    EXPECT_TRUE(Contains(run.output, "\nENTER OPTION : " + refused + "\nENTER OPTION : \n\n******** Configuration"));
    EXPECT_TRUE(run.output.ends_with(kClosing));

    // Set, then get, the CW offset: 4294968296 once became 1000.
    run = RunTuneprobe("0\n1\n8\n4294968296\n-100\n7\n8\n4294967295\n7\n8\n-1\n7\n");
    EXPECT_EQ(Count(run.output, refused), 1);
    EXPECT_TRUE(Contains(run.output, "    CW freq offset (kHz) ? " + refused + "    CW freq offset (kHz) ? "));
    EXPECT_TRUE(testing_support::InOrder(
        run.output, {"CW freq offset = -100 kHz", "CW freq offset = -1 kHz", "CW freq offset = -1 kHz"}));
    EXPECT_EQ(Count(run.output, "CW freq offset = "), 3);
}

TEST(TuneprobeInput, PortsAndSerialNamesAtTheInterfaceQuestion)
{
    using testing_support::Contains;
    using testing_support::Count;
    ProgramRun run = RunTuneprobe("1 10.1.2.3 -1 0 65536 2800\n");
    EXPECT_EQ(Count(run.output, "Port numbers run from 1 to 65535. Please try again.\n  Port number ? "), 3);
    EXPECT_TRUE(Contains(run.output, "   Using 10.1.2.3:2800\n\nTrying to open handle to Device...Success!!\n"));

    std::string name63 = "/dev/serial/by-id/usb-Bench_Serial_Adapter_" + std::string(20, '0');
    ASSERT_EQ(name63.size(), 63u);
    run = RunTuneprobe("2 " + name63 + "1 " + name63 + " 115200\n");
    EXPECT_TRUE(Contains(run.output, "  Serial port name ? That is too long (at most 63 characters). Please try "
                                     "again.\n  Serial port name ?   Baud rate        ?    Using " +
                                         name63 + ":115200\n\nTrying to open handle to Device...Success!!\n"));
}
