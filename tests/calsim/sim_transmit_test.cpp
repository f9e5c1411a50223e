// The simulated transmitter's loopback calibration refuses what no bench
// could have measured: a correction or a cable loss that is not a number,
// infinite or far out of range would spread into every result.
#include "calsim/control.h"
#include "commands/loopback_commands.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <gtest/gtest.h>

#include <string>

TEST(SimTransmit, PoutFreqCorrRefusesCorrectionsAndLossesNoBenchGives)
{
    static const struct {
        const char *answers; // index, correction (dB), losses at F0 to F11 (dB)
        const char *error;
    } kCases[] = {
        {"5 nan 20 20 20 20 20 20 20 20 20 20 20 20\n", "Correction value nan dB out of range (-20 to 20 dB)"},
        {"5 -inf 20 20 20 20 20 20 20 20 20 20 20 20\n", "Correction value -inf dB out of range (-20 to 20 dB)"},
        {"5 25 20 20 20 20 20 20 20 20 20 20 20 20\n", "Correction value 25 dB out of range (-20 to 20 dB)"},
        {"5 0 20 20 20 nan 20 20 20 20 20 20 20 20\n", "Cable loss at F3 of nan dB out of range (0 to 60 dB)"},
        {"5 0 20 20 20 20 20 20 20 20 20 20 20 inf\n", "Cable loss at F11 of inf dB out of range (0 to 60 dB)"},
        {"5 0 -1 20 20 20 20 20 20 20 20 20 20 20\n", "Cable loss at F0 of -1 dB out of range (0 to 60 dB)"},
    };
    for (const auto &c : kCases) {
        testing_support::Bench bench;
        calsim::ForceDeviceMode(5, 0); // loopback
        int result = 0;
        std::string out = bench.Run(CmdCalibrateTxPoutFreqCorr, c.answers, &result);
        EXPECT_EQ(result, -1) << c.answers;
        EXPECT_TRUE(testing_support::EndsWith(out, std::string("\nERROR: ") + c.error + "\n"));
    }
}
