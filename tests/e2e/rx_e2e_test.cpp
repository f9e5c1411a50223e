// The Rx commands from the menu of the real binary, driven by an answer file.
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::RunProgram;
using testing_support::TuneprobePath;

TEST(RxEndToEnd, GainAntennaAndCountersFromTheMenu)
{
    // Rx group: set gain state on both paths, read path 1; Rx2 only, read
    // it back; re-sync and ask; reset and read the frame counters; leave.
    auto run = RunProgram(TuneprobePath(),
                          "0\n2\n"
                          "7\n2 1 1 0 12\n6\n1\n"
                          "2\n1\n1\n"
                          "4\n3\n"
                          "12\n13\n"
                          "-1\n-1\n",
                          {"CALSIM_SEED=5"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    const std::string &out = run.output;
    EXPECT_NE(out.find("    PGA gain index (0 to 31)           ? \nSetRxGainState was SUCCESSFUL.\n"), std::string::npos);
    EXPECT_NE(out.find("\nGetRxGainState:\n"
                       "    Rx path (0=Rx1; 1=Rx2) ? "
                       "    External LNA   = Enabled (1)\n"
                       "    LNA gain       = Medium (Max gain - 12 dB) (1)\n"
                       "    Mixer gain     = Low (Max gain - 5 dB) (0)\n"
                       "    PGA gain index = 12\n"
                       "    Total gain     = 40\n"
                       "\nGetRxGainState was SUCCESSFUL.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nGetRxAntConfig:\n    RxAntConfig = Rx2 only\n\nGetRxAntConfig was SUCCESSFUL.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nForce Re-sync:\n\nForceReSync was SUCCESSFUL.\n"), std::string::npos);
    EXPECT_NE(out.find("    Sync status            = Sync not achieved\n"), std::string::npos);
    EXPECT_NE(out.find("\nGetFrameErrorStatistics:\n"
                       "    Total frames elapsed  = 2\n"
                       "    Frames in error       = 2\n"),
              std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 24), "\nClosing application...\n");
}

TEST(RxEndToEnd, LibraryErrorAndTheMenuCarriesOn)
{
    auto run = RunProgram(TuneprobePath(), "0\n2\n9\n8\n-1\n-1\n",
                          {"CALSIM_SEED=5", "CALSIM_FAULTS=GetCINR=Demodulator not running"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("\nGetCINR:\n\nERROR: Demodulator not running\n\n\n******** Rx Commands ********"),
              std::string::npos);
    EXPECT_NE(run.output.find("    Number of ADC samples = 102400\n\nGetRSSIReport was SUCCESSFUL.\n"),
              std::string::npos);
}
