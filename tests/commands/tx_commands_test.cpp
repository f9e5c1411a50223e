// Tx commands: exact texts, exact doubles through the library, odd values.
#include "calsim/control_radio.h"
#include "commands/tx_commands.h"
#include "tests/support/console_harness.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

using testing_support::Bench;

namespace {

const std::string kSetAttnPrompts = "\nSetTx1Attn:\n"
                                    "     BBIC backoff from full scale power (double, in dB) ? "
                                    "     Tx1 PGA attenuation index (0 - 11)                 ? "
                                    "     PA driver attenuation index (0 - 21)               ? "
                                    "     Extenal attenuator (1=Enabled; 0=Disabled)         ? ";

bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(TxCommands, AttenuatorSettingsReadBack)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetTx1Attn, "", &result), "\nGetTx1Attn:\n"
                                                    "     BBIC backoff from full scale power = 3.00 dB\n"
                                                    "     Tx1 PGA attenuation index          = 2\n"
                                                    "     PA driver attenuation index        = 4\n"
                                                    "     Extenal attenuator                 = Disabled (0)\n"
                                                    "\nGetTx1Attn was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdSetTx1Attn, "-0.5 11 21 1\n", &result), kSetAttnPrompts + "\nSetTx1Attn was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdGetTx1Attn), "\nGetTx1Attn:\n"
                                        "     BBIC backoff from full scale power = -0.50 dB\n"
                                        "     Tx1 PGA attenuation index          = 11\n"
                                        "     PA driver attenuation index        = 21\n"
                                        "     Extenal attenuator                 = Enabled (1)\n"
                                        "\nGetTx1Attn was SUCCESSFUL.\n");
    calsim::ForceTx1Attn(0.125, 0, 0, 3);
    EXPECT_NE(bench.Run(CmdGetTx1Attn).find("     Extenal attenuator                 = Enabled (3)\n"),
              std::string::npos);
}

TEST(TxCommands, AttenuatorValuesOutsideTheRangesAreRefused)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdSetTx1Attn, "0.5 12 0 0\n", &result),
              kSetAttnPrompts + "\nERROR: Tx1 PGA attenuation index 12 out of range (0 to 11)\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(bench.Run(CmdSetTx1Attn, "0.5 0 22 0\n"),
              kSetAttnPrompts + "\nERROR: PA driver attenuation index 22 out of range (0 to 21)\n");
    EXPECT_EQ(bench.Run(CmdSetTx1Attn, "0.5 0 0 -1\n"),
              kSetAttnPrompts + "\nERROR: Invalid external attenuator setting 4294967295 (1=enabled, 0=disabled)\n");
    // Nothing of a refused write sticks.
    EXPECT_NE(bench.Run(CmdGetTx1Attn).find("= 3.00 dB\n"), std::string::npos);
}

TEST(TxCommands, OutputPowerTravelsAsExactDoubles)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdSetTx1OutputPower, "23.5\n", &result), "\nSetTx1OutputPower:\n"
                                                                  "     Tx1 output power (double, -40 to +35 dBm) ? "
                                                                  "\nSetTx1OutputPower was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdGetTx1OutputPower, "", &result), "\nGetTx1OutputPower:\n"
                                                           "    Tx1 output power = 23.5 dBm\n"
                                                           "\nGetTx1OutputPower was SUCCESSFUL.\n");
    bench.Run(CmdSetTx1OutputPower, "20\n");
    EXPECT_NE(bench.Run(CmdGetTx1OutputPower).find("    Tx1 output power = 20 dBm\n"), std::string::npos);

    // What the console reads reaches the device bit for bit, and back.
    double power = 0.0;
    for (const char *typed : {"-19.99\n", "0.1\n", "-40\n", "35\n"}) {
        bench.Run(CmdSetTx1OutputPower, typed);
        ASSERT_EQ(GetTx1OutputPower(bench.handle(), &power), nullptr);
        EXPECT_TRUE(SameBits(power, std::strtod(typed, nullptr))) << typed;
    }
    EXPECT_EQ(bench.Run(CmdSetTx1OutputPower, "35.5\n", &result),
              "\nSetTx1OutputPower:\n"
              "     Tx1 output power (double, -40 to +35 dBm) ? "
              "\nERROR: Tx1 output power 35.5 dBm out of range (-40 to +35 dBm)\n");
    EXPECT_EQ(result, -1);
}

TEST(TxCommands, DiversitySwitchNamesTheAntenna)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdSetTxDiversitySwitch, "1\n", &result), "\nSetTxDiversitySwitch:\n"
                                                                  "     Tx diversity switch (0=Ant 1; 1=Ant 2) ? "
                                                                  "\nSetTxDiversitySwitch was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdGetTxDiversitySwitch, "", &result), "\nGetTxDiversitySwitch:\n"
                                                              "    Tx diversity switch = 1 (Antenna 2)\n"
                                                              "\nGetTxDiversitySwitch was SUCCESSFUL.\n");
    bench.Run(CmdSetTxDiversitySwitch, "0\n");
    EXPECT_NE(bench.Run(CmdGetTxDiversitySwitch).find("    Tx diversity switch = 0 (Antenna 1)\n"), std::string::npos);
    calsim::ForceTxDiversitySwitch(2);
    EXPECT_NE(bench.Run(CmdGetTxDiversitySwitch).find("    Tx diversity switch = 2 (Antenna 2)\n"), std::string::npos);
    EXPECT_EQ(bench.Run(CmdSetTxDiversitySwitch, "2\n", &result),
              "\nSetTxDiversitySwitch:\n"
              "     Tx diversity switch (0=Ant 1; 1=Ant 2) ? "
              "\nERROR: Invalid Tx diversity switch 2 (0=antenna 1, 1=antenna 2)\n");
    EXPECT_EQ(result, -1);
}
