// Loopback calibration commands: exact texts, results that follow the
// inputs, partial and oversized tables, refused indices.
#include "calsim/control_radio.h"
#include "commands/loopback_commands.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

namespace {

const std::string kPoutPrompts = "Calibrate Tx Pout frequency correction:\n"
                                 "Please specify index of frequency in scan list [0:11]: "
                                 "Correction value measured at reference frequency, in dB: "
                                 "Loopback path cable loss at each frequency: \n"
                                 "Loss at F0: Loss at F1: Loss at F2: Loss at F3: Loss at F4: Loss at F5: "
                                 "Loss at F6: Loss at F7: Loss at F8: Loss at F9: Loss at F10: Loss at F11: ";

const std::string kLosses20 = " 20 20 20 20 20 20 20 20 20 20 20 20\n";

// The value printed on the line that begins with `label`.
double ValueAfter(const std::string &out, const std::string &label)
{
    std::size_t at = out.find(label);
    EXPECT_NE(at, std::string::npos) << label;
    return at == std::string::npos ? 0.0 : std::strtod(out.c_str() + at + label.size(), nullptr);
}

bool StartsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

TEST(LoopbackCommands, TrSwitchTakesTheState)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdSetTRSwitch, "1\n", &result), "Set TR Switch:\n"
                                                         "Please specify the state for the TR switch.\n"
                                                         "0 = Tx OFF & Rx ON, 1 = Tx ON & Rx OFF: "
                                                         "\nSetTRSwitch was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdSetTRSwitch, "2\n", &result), "Set TR Switch:\n"
                                                         "Please specify the state for the TR switch.\n"
                                                         "0 = Tx OFF & Rx ON, 1 = Tx ON & Rx OFF: "
                                                         "\nERROR: Invalid TR switch state 2 (0=Tx off & Rx on, "
                                                         "1=Tx on & Rx off)\n");
    EXPECT_EQ(result, -1);
}

TEST(LoopbackCommands, LcTrimListsTheValidEntries)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdCalibrateLCTrim, "", &result), "Calibrate LC Trim:\n"
                                                         "LCTrimArray[0] = 64\n"
                                                         "LCTrimArray[1] = 58\n"
                                                         "LCTrimArray[2] = 56\n"
                                                         "LCTrimArray[3] = 51\n"
                                                         "LCTrimArray[4] = 47\n"
                                                         "LCTrimArray[5] = 44\n"
                                                         "LCTrimArray[6] = 40\n"
                                                         "LCTrimArray[7] = 36\n"
                                                         "LCTrimArray[8] = 30\n"
                                                         "LCTrimArray[9] = 28\n"
                                                         "LCTrimArray[10] = 22\n"
                                                         "LCTrimArray[11] = 19\n"
                                                         "\nCalibrateLCTrim was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    calsim::ForceLCTrimCount(0);
    EXPECT_EQ(bench.Run(CmdCalibrateLCTrim, "", &result), "Calibrate LC Trim:\n\nCalibrateLCTrim was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    calsim::ForceLCTrimCount(3);
    std::string out = bench.Run(CmdCalibrateLCTrim);
    EXPECT_NE(out.find("LCTrimArray[2] = "), std::string::npos);
    EXPECT_EQ(out.find("LCTrimArray[3] = "), std::string::npos);
}

TEST(LoopbackCommands, LcTrimCountBeyondTheTableListsTwelveAndSaysSo)
{
    Bench bench;
    for (uint32_t count : {13u, 0x80000000u, 0xFFFFFFFFu}) {
        calsim::ForceLCTrimCount(count);
        int result = 1;
        std::string out = bench.Run(CmdCalibrateLCTrim, "", &result);
        EXPECT_NE(out.find("LCTrimArray[11] = "), std::string::npos);
        EXPECT_EQ(out.find("LCTrimArray[12]"), std::string::npos);
        std::string tail = "Only the 12 entries of LCTrimArray are listed: the library reported " +
                           std::to_string(count) + ".\n\nCalibrateLCTrim was SUCCESSFUL.\n";
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
        EXPECT_EQ(result, 0);
    }
}

TEST(LoopbackCommands, TxStepsListBothTablesInLoopbackMode)
{
    Bench bench;
    int result = 1;
    // Outside loopback mode the device refuses.
    EXPECT_EQ(bench.Run(CmdCalibrateTxSteps, "2593000\n", &result),
              "Calibrate TX Steps:\n"
              "Please specify the center frequency in kHz: "
              "\nERROR: Loopback calibration needs DUT mode 5 (Loopback); the device is in mode 0\n");
    EXPECT_EQ(result, -1);

    calsim::ForceDeviceMode(5, 0);
    std::string out = bench.Run(CmdCalibrateTxSteps, "2550\n", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Calibrate TX Steps:\n"
              "Please specify the center frequency in kHz: \n"
              "TxPADrvStepArray[ 0] =  0.99 dB\n"
              "TxPADrvStepArray[ 1] =  0.99 dB\n"
              "TxPADrvStepArray[ 2] =  1.02 dB\n"
              "TxPADrvStepArray[ 3] =  0.98 dB\n"
              "TxPADrvStepArray[ 4] =  1.00 dB\n"
              "TxPADrvStepArray[ 5] =  1.02 dB\n"
              "TxPADrvStepArray[ 6] =  1.08 dB\n"
              "TxPADrvStepArray[ 7] =  1.04 dB\n"
              "TxPADrvStepArray[ 8] =  1.06 dB\n"
              "TxPADrvStepArray[ 9] =  1.07 dB\n"
              "TxPADrvStepArray[10] =  1.10 dB\n"
              "TxPADrvStepArray[11] =  1.11 dB\n"
              "TxPADrvStepArray[12] =  1.13 dB\n"
              "TxPADrvStepArray[13] =  1.15 dB\n"
              "TxPADrvStepArray[14] =  1.18 dB\n"
              "TxPADrvStepArray[15] =  1.18 dB\n"
              "TxPADrvStepArray[16] =  1.23 dB\n"
              "TxPADrvStepArray[17] =  1.22 dB\n"
              "TxPADrvStepArray[18] =  1.25 dB\n"
              "TxPADrvStepArray[19] =  1.24 dB\n"
              "TxPADrvStepArray[20] =  1.25 dB\n"
              "TxPGAStepArray[ 0]   =  2.04 dB\n"
              "TxPGAStepArray[ 1]   =  2.01 dB\n"
              "TxPGAStepArray[ 2]   =  1.97 dB\n"
              "TxPGAStepArray[ 3]   =  1.96 dB\n"
              "TxPGAStepArray[ 4]   =  1.97 dB\n"
              "TxPGAStepArray[ 5]   =  1.91 dB\n"
              "TxPGAStepArray[ 6]   =  1.88 dB\n"
              "TxPGAStepArray[ 7]   =  1.89 dB\n"
              "TxPGAStepArray[ 8]   =  1.88 dB\n"
              "TxPGAStepArray[ 9]   =  1.87 dB\n"
              "TxPGAStepArray[10]   =  1.82 dB\n"
              "\nCalibrateTxSteps was SUCCESSFUL.\n");

    // Higher in the band the PA driver steps grow.
    double low = ValueAfter(bench.Run(CmdCalibrateTxSteps, "2300000\n"), "TxPADrvStepArray[10] = ");
    double high = ValueAfter(bench.Run(CmdCalibrateTxSteps, "5800000\n"), "TxPADrvStepArray[10] = ");
    EXPECT_GT(high - low, 0.2);
}

TEST(LoopbackCommands, LimitedTxStepsListEveryEntryWhateverTheMinimum)
{
    Bench bench;
    calsim::ForceDeviceMode(5, 0);
    int result = 1;
    std::string out = bench.Run(CmdCalibrateLimitedTxSteps, "2550 9\n", &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(StartsWith(out, "Calibrate Limited TX Steps:\n"
                                "Please specify:\n"
                                "    Center frequency in kHz:       "
                                "    Minimum PA driver atten index: \n"
                                "TxPADrvStepArray[ 0] =  0.00 dB\n"));
    // Steps below the minimum are not measured; all 21 and 11 are listed.
    EXPECT_NE(out.find("TxPADrvStepArray[ 8] =  0.00 dB\n"), std::string::npos);
    EXPECT_GT(ValueAfter(out, "TxPADrvStepArray[ 9] = "), 0.9);
    EXPECT_NE(out.find("TxPADrvStepArray[20] = "), std::string::npos);
    EXPECT_NE(out.find("TxPGAStepArray[10]   = "), std::string::npos);
    EXPECT_EQ(bench.Run(CmdCalibrateLimitedTxSteps, "2550 22\n", &result),
              "Calibrate Limited TX Steps:\n"
              "Please specify:\n"
              "    Center frequency in kHz:       "
              "    Minimum PA driver atten index: "
              "\nERROR: Minimum PA driver index 22 out of range (0 to 21)\n");
    EXPECT_EQ(result, -1);
}

TEST(LoopbackCommands, PoutFrequencyCorrectionFollowsTheInputs)
{
    Bench bench;
    calsim::ForceDeviceMode(5, 0);
    int result = 1;
    std::string out = bench.Run(CmdCalibrateTxPoutFreqCorr, "5 0" + kLosses20, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, kPoutPrompts + "\n"
                                  "TxFreqCorrArray[ 0] =   0.89\n"
                                  "TxFreqCorrArray[ 1] =   0.78\n"
                                  "TxFreqCorrArray[ 2] =   0.62\n"
                                  "TxFreqCorrArray[ 3] =   0.36\n"
                                  "TxFreqCorrArray[ 4] =   0.15\n"
                                  "TxFreqCorrArray[ 5] =   0.00\n"
                                  "TxFreqCorrArray[ 6] =  -0.15\n"
                                  "TxFreqCorrArray[ 7] =  -0.24\n"
                                  "TxFreqCorrArray[ 8] =   0.47\n"
                                  "TxFreqCorrArray[ 9] =   0.59\n"
                                  "TxFreqCorrArray[10] =   0.56\n"
                                  "TxFreqCorrArray[11] =   0.41\n"
                                  "TxExtAttnStepArray[ 0] =  14.93\n"
                                  "TxExtAttnStepArray[ 1] =  14.92\n"
                                  "TxExtAttnStepArray[ 2] =  14.95\n"
                                  "TxExtAttnStepArray[ 3] =  14.98\n"
                                  "TxExtAttnStepArray[ 4] =  15.00\n"
                                  "TxExtAttnStepArray[ 5] =  15.04\n"
                                  "TxExtAttnStepArray[ 6] =  15.06\n"
                                  "TxExtAttnStepArray[ 7] =  15.08\n"
                                  "TxExtAttnStepArray[ 8] =  15.34\n"
                                  "TxExtAttnStepArray[ 9] =  15.37\n"
                                  "TxExtAttnStepArray[10] =  15.39\n"
                                  "TxExtAttnStepArray[11] =  15.44\n"
                                  "\nCalibrateTxPoutFreqCorr was SUCCESSFUL.\n");
    // The reference frequency carries the measured correction itself; a
    // cable loss entered 1.5 dB too high shows at its frequency.
    out = bench.Run(CmdCalibrateTxPoutFreqCorr, "2 -1.25 20 20 20 20 20 20 20 20 20 21.5 20 20\n");
    EXPECT_EQ(ValueAfter(out, "TxFreqCorrArray[ 2] = "), -1.25);
    double shifted = ValueAfter(out, "TxFreqCorrArray[ 9] = ");
    out = bench.Run(CmdCalibrateTxPoutFreqCorr, "2 -1.25" + kLosses20);
    EXPECT_NEAR(ValueAfter(out, "TxFreqCorrArray[ 9] = ") - shifted, 1.5, 0.05);
}

TEST(LoopbackCommands, PoutFrequencyCorrectionAsksAllLossesThenRefusesABadIndex)
{
    Bench bench;
    calsim::ForceDeviceMode(5, 0);
    int result = 1;
    EXPECT_EQ(bench.Run(CmdCalibrateTxPoutFreqCorr, "12 0" + kLosses20, &result),
              kPoutPrompts + "\nERROR: Scan list index 12 out of range (0 to 11)\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(bench.Run(CmdCalibrateTxPoutFreqCorr, "-1 0" + kLosses20),
              kPoutPrompts + "\nERROR: Scan list index 4294967295 out of range (0 to 11)\n");
}

TEST(LoopbackCommands, LnaStepsTakeRx1ThenRx2)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdCalibrateLNASteps, "5 -40 -40\n", &result),
              "Calibrate LNA Steps:\n"
              "Please specify the scan list index for the center frequency: "
              "Amplitude of signal in dBm at RX1 antenna: "
              "Amplitude of signal in dBm at RX2 antenna: \n"
              "                         Rx1    Rx2\n"
              "PGA gain correction =   0.35  -0.28 dB\n"
              "LNA mid gain step   =  14.04  14.12 dB\n"
              "LNA high gain step  =  12.00  11.90 dB\n"
              "LNA ext gain step   =  14.94  14.95 dB\n"
              "\nCalibrateLNASteps was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    // The second amplitude is Rx2's: only it is out of range here.
    std::string out = bench.Run(CmdCalibrateLNASteps, "5 -40 -10.5\n", &result);
    EXPECT_EQ(out.substr(out.find("antenna: \n") + 9),
              "\nERROR: Rx2 signal of -10.5 dBm outside the LNA calibration range (-90 to -20 dBm)\n");
    EXPECT_EQ(result, -1);
    out = bench.Run(CmdCalibrateLNASteps, "12 -40 -40\n", &result);
    EXPECT_EQ(out.substr(out.find("antenna: \n") + 9), "\nERROR: Scan list index 12 out of range (0 to 11)\n");
}

TEST(LoopbackCommands, ExtAttnStepPrintsSignedIndices)
{
    Bench bench;
    calsim::ForceDeviceMode(5, 0);
    int result = 1;
    const std::string prompts = "Calibrate Tx external attenuator step:\n"
                                "Please specify the measurement frequency index into the scan table: "
                                "Calibration type (0=Pre-step, 1=Post-step): ";
    EXPECT_EQ(bench.Run(CmdCalibrateTxExtAttnStep, "4 0\n", &result), prompts + "\n"
                                                                                 "Tx step gain               = 15.04 dB\n"
                                                                                 "Loopback signal amplitude  = -32.85 dB\n"
                                                                                 "Backoff                    = 3.00 dB\n"
                                                                                 "PGA attenuator index       = 2\n"
                                                                                 "PA driver attenuator index = 4\n"
                                                                                 "External attenuator enable = 0\n"
                                                                                 "\nCalibrateTxExtAttnStep was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    // After the step the PGA must give back more than it has: a negative index.
    std::string out = bench.Run(CmdCalibrateTxExtAttnStep, "4 1\n");
    EXPECT_NE(out.find("PGA attenuator index       = -6\n"
                       "PA driver attenuator index = 4\n"
                       "External attenuator enable = 1\n"),
              std::string::npos);
    EXPECT_EQ(bench.Run(CmdCalibrateTxExtAttnStep, "4 2\n", &result),
              prompts + "\nERROR: Invalid calibration type 2 (0=pre-step, 1=post-step)\n");
    EXPECT_EQ(result, -1);
}
