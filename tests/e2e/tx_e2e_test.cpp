// The Tx commands from the menu of the real binary, driven by an answer file.
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::RunProgram;
using testing_support::TuneprobePath;

TEST(TxEndToEnd, SettingsReadBackFromTheMenu)
{
    auto run = RunProgram(TuneprobePath(),
                          "0\n3\n"
                          "2\n-2.0 9 4 1\n1\n"
                          "4\n23.5\n3\n"
                          "4\n-41\n"
                          "6\n1\n5\n"
                          "-1\n-1\n",
                          {"CALSIM_SEED=5"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    const std::string &out = run.output;
    EXPECT_NE(out.find("\nGetTx1Attn:\n"
                       "     BBIC backoff from full scale power = -2.00 dB\n"
                       "     Tx1 PGA attenuation index          = 9\n"
                       "     PA driver attenuation index        = 4\n"
                       "     Extenal attenuator                 = Enabled (1)\n"
                       "\nGetTx1Attn was SUCCESSFUL.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nGetTx1OutputPower:\n    Tx1 output power = 23.5 dBm\n\nGetTx1OutputPower was SUCCESSFUL.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nSetTx1OutputPower:\n"
                       "     Tx1 output power (double, -40 to +35 dBm) ? "
                       "\nERROR: Tx1 output power -41 dBm out of range (-40 to +35 dBm)\n"),
              std::string::npos);
    EXPECT_NE(out.find("    Tx diversity switch = 1 (Antenna 2)\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 24), "\nClosing application...\n");
}

TEST(TxEndToEnd, LibraryErrorFromOutside)
{
    auto run = RunProgram(TuneprobePath(), "0\n3\n2\n0.5 1 1 0\n-1\n-1\n",
                          {"CALSIM_FAULTS=SetTx1Attn=Attenuator bus timeout"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("     Extenal attenuator (1=Enabled; 0=Disabled)         ? "
                              "\nERROR: Attenuator bus timeout\n"),
              std::string::npos);
}
