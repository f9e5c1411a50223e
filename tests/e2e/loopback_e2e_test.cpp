// The loopback calibrations from the menu of the real binary: the device is
// put into loopback mode first, as on the bench.
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::RunProgram;
using testing_support::TuneprobePath;

TEST(LoopbackEndToEnd, CalibrationsInLoopbackMode)
{
    auto run = RunProgram(TuneprobePath(),
                          "0\n4\n3\n2550\n-1\n"                 // refused in Normal mode
                          "1\n4\n5 0\n-1\n"                     // Loopback mode
                          "4\n1\n0\n2\n3\n2550\n4\n2550 9\n"
                          "5\n5 0 20 20 20 20 20 20 20 20 20 20 20 20\n"
                          "6\n5 -40 -40\n7\n4 1\n"
                          "-1\n-1\n",
                          {"CALSIM_SEED=5"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    const std::string &out = run.output;
    EXPECT_NE(out.find("Please specify the center frequency in kHz: "
                       "\nERROR: Loopback calibration needs DUT mode 5 (Loopback); the device is in mode 0\n"),
              std::string::npos);
    for (const char *name : {"SetTRSwitch", "CalibrateLCTrim", "CalibrateTxSteps", "CalibrateLimitedTxSteps",
                             "CalibrateTxPoutFreqCorr", "CalibrateLNASteps", "CalibrateTxExtAttnStep"})
        EXPECT_NE(out.find(std::string("\n") + name + " was SUCCESSFUL.\n"), std::string::npos) << name;
    EXPECT_NE(out.find("LCTrimArray[11] = "), std::string::npos);
    EXPECT_NE(out.find("TxPADrvStepArray[ 8] =  0.00 dB\n"), std::string::npos);
    EXPECT_NE(out.find("TxFreqCorrArray[ 5] =   0.00\n"), std::string::npos);
    EXPECT_NE(out.find("                         Rx1    Rx2\n"), std::string::npos);
    EXPECT_NE(out.find("PGA attenuator index       = -6\n"), std::string::npos);
}

TEST(LoopbackEndToEnd, CalibrationFailureFromOutside)
{
    auto run = RunProgram(TuneprobePath(), "0\n4\n2\n-1\n-1\n",
                          {"CALSIM_FAULTS=CalibrateLCTrim=No loopback signal"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("ENTER OPTION : Calibrate LC Trim:\n\nERROR: No loopback signal\n"), std::string::npos);
}
