// The Rx, Tx, loopback and other hardware commands on the seeded device:
// one session through every handler, compared whole with its recording
// (headers, prompts, values, success lines, the odd values the device may
// report), and the answers that must reach the library exactly.
#include "calsim/control_radio.h"
#include "commands/config_commands.h"
#include "commands/loopback_commands.h"
#include "commands/other_commands.h"
#include "commands/rx_commands.h"
#include "commands/tx_commands.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

using testing_support::Bench;
using testing_support::EndsWith;
using testing_support::RunSession;

namespace {

void OddPduStatistics()
{
    calsim::PduStatistics s{};
    s.totalFrames = 0xFFFFFFFFu;
    s.framesInError = 0x80000000u;
    s.fchErrors = 3;
    s.dlMapErrors = 4;
    s.pduCount[0] = 4294967295u;
    s.hcsErrors[5] = 2147483648u;
    s.crcErrors[12] = 7;
    s.burstSizes[12] = 1234567890u;
    calsim::ForcePduStatistics(s);
}

const char kLosses[] = "20 20 20 20 20 20 20 20 20 20 20 20\n";

const testing_support::SessionStep kSession[] = {
    // Rx: every antenna configuration name, unknown values (all ones too).
    {nullptr, CmdIsSync, ""},
    {nullptr, CmdForceReSync, ""},
    {nullptr, CmdIsSync, ""}, // still searching right after the re-sync
    {nullptr, CmdSetRxAntConfig, "0\n"},
    {nullptr, CmdGetRxAntConfig, ""},
    {nullptr, CmdSetRxAntConfig, "1\n"},
    {nullptr, CmdGetRxAntConfig, ""},
    {[] { calsim::ForceRxAntConfig(3); }, CmdGetRxAntConfig, ""},
    {[] { calsim::ForceRxAntConfig(0xFFFFFFFFu); }, CmdGetRxAntConfig, ""},
    {nullptr, CmdSetRxAntConfig, "2\n"},
    // Gain state: every LNA and mixer name, per path and for both paths.
    {nullptr, CmdSetRxGainState, "0 1 0 0 25\n"},
    {nullptr, CmdGetRxGainState, "0\n"},
    {nullptr, CmdGetRxGainState, "1\n"},
    {nullptr, CmdSetRxGainState, "2 0 1 1 31\n"},
    {nullptr, CmdGetRxGainState, "1\n"},
    {[] { calsim::ForceRxGainState(0, 7, 5, 7, -2); }, CmdGetRxGainState, "0\n"}, // raw codes, negative PGA
    {nullptr, CmdSetRxGainState, "0 0 2 1 -4\n"}, // a negative index reaches the library as typed
    {nullptr, CmdGetRxGainState, "-1\n"},         // -1 at "%u" is the 32-bit pattern
    // AGC back-off: the ADC input power of the report below is 10 dB lower.
    {nullptr, CmdSetAGCMode, "1 10\n"},
    {nullptr, CmdGetRSSIReport, ""},
    {[] {
         calsim::ForceRssiReport({-45.5, -46.25, -42.86, -3.0, -120.0, 50, 0x80000000u, 1000});
     },
     CmdGetRSSIReport, ""}, // a clip count of 2^31 is unsigned
    {[] {
         calsim::ForceRssiReport({-60, -60, -57, -10, -10, 0xFFFFFFFFu, 0, 0});
     },
     CmdGetRSSIReport, ""}, // no samples: no percentage
    {nullptr, CmdGetCINR, ""},
    {nullptr, CmdGetPerAntCINR, ""},
    {nullptr, CmdGetPerAntThermalNoise, ""},
    {nullptr, CmdResetFrameErrorStatistics, ""},
    {nullptr, CmdGetFrameErrorStatistics, ""},
    {[] { calsim::ForceFrameErrorStatistics(4294967295u, 0xFFFFFFFFu); }, CmdGetFrameErrorStatistics, ""}, // N/A
    {[] { calsim::ForceFrameErrorStatistics(0x80000000u, 0xFFFFFFFEu); }, CmdGetFrameErrorStatistics, ""}, // a count
    {OddPduStatistics, CmdGetPDUErrorStatistics, ""}, // thirteen rows, unsigned counts
    // Tx.
    {nullptr, CmdGetTx1Attn, ""},
    {nullptr, CmdSetTx1Attn, "-0.5 11 21 1\n"},
    {nullptr, CmdGetTx1Attn, ""},
    {[] { calsim::ForceTx1Attn(0.125, 0, 0, 3); }, CmdGetTx1Attn, ""}, // any non-zero is enabled
    {nullptr, CmdSetTx1OutputPower, "23.5\n"},
    {nullptr, CmdGetTx1OutputPower, ""},
    {nullptr, CmdSetTx1OutputPower, "20\n"},
    {nullptr, CmdGetTx1OutputPower, ""},
    {nullptr, CmdSetTxDiversitySwitch, "1\n"},
    {nullptr, CmdGetTxDiversitySwitch, ""},
    {nullptr, CmdSetTxDiversitySwitch, "0\n"},
    {nullptr, CmdGetTxDiversitySwitch, ""},
    {[] { calsim::ForceTxDiversitySwitch(2); }, CmdGetTxDiversitySwitch, ""},
    // Loopback: LC trim counts of 0, 3, and beyond the table (2^31 and all
    // ones too); the calibrations refused outside loopback mode, then taken.
    {nullptr, CmdSetTRSwitch, "1\n"},
    {nullptr, CmdCalibrateLCTrim, ""},
    {[] { calsim::ForceLCTrimCount(0); }, CmdCalibrateLCTrim, ""},
    {[] { calsim::ForceLCTrimCount(3); }, CmdCalibrateLCTrim, ""},
    {[] { calsim::ForceLCTrimCount(13); }, CmdCalibrateLCTrim, ""},
    {[] { calsim::ForceLCTrimCount(0x80000000u); }, CmdCalibrateLCTrim, ""},
    {[] { calsim::ForceLCTrimCount(0xFFFFFFFFu); }, CmdCalibrateLCTrim, ""},
    {nullptr, CmdCalibrateTxSteps, "2593000\n"},
    {[] { calsim::ForceDeviceMode(5, 0); }, CmdCalibrateTxSteps, "2550\n"},
    {nullptr, CmdCalibrateLimitedTxSteps, "2550 9\n"},
    {nullptr, CmdCalibrateTxPoutFreqCorr, "5 0 20 20 20 20 20 20 20 20 20 20 20 20\n"},
    {nullptr, CmdCalibrateTxPoutFreqCorr, "-1 0 20 20 20 20 20 20 20 20 20 20 20 20\n"}, // every loss asked first
    {nullptr, CmdCalibrateLNASteps, "5 -40 -40\n"},
    {nullptr, CmdCalibrateLNASteps, "5 -40 -10.5\n"}, // the second amplitude is Rx2's
    {nullptr, CmdCalibrateTxExtAttnStep, "4 0\n"},
    {nullptr, CmdCalibrateTxExtAttnStep, "4 1\n"}, // a negative PGA index after the step
    // Other hardware: GPIO permission and outputs, hex register numbers
    // (the timing is decimal), rounding, DAC to ADC, spectra of 0 and 17.
    {nullptr, CmdReadGPIOState, ""},
    {nullptr, CmdSetGPIOPinState, "11 1\n"},
    {nullptr, CmdSetGPIOConfiguration, "1c00\n"},
    {nullptr, CmdSetGPIOPinState, "11 1\n"},
    {nullptr, CmdSetGPIOPinState, "12 1\n"},
    {nullptr, CmdReadGPIOState, ""},
    {[] {
         calsim::ForceGpioDirection(1);
         calsim::SetGpioInputLevel(0);
     },
     CmdReadGPIOState, ""},
    {nullptr, CmdReadRFICRegister, "0 1\n"},
    {nullptr, CmdWriteRFICRegister, "1a beef 0\n"},
    {nullptr, CmdReadRFICRegister, "0x1A 1\n"},
    {nullptr, CmdReadRFICRegister, "1a 10\n"},
    {[] { calsim::ForceTemperature(36.6); }, CmdGetTemperature, ""},
    {[] { calsim::ForceTemperature(-0.4); }, CmdGetTemperature, ""},
    {nullptr, CmdGetGPADCValue, "2\n"},
    {nullptr, CmdSetGPDACValue, "2 3.3\n"},
    {nullptr, CmdGetGPADCValue, "2\n"},
    {nullptr, CmdGetRxSpectrum, ""}, // nothing captured yet
    {nullptr, CmdResetRxSpectrum, "16 0\n"},
    {[] { calsim::ForceSpectrumLength(0); }, CmdGetRxSpectrum, ""},
    {[] { calsim::ForceSpectrumLength(17); }, CmdGetRxSpectrum, ""},
    {[] {
         calsim::ForceDriverVersion("0123456789abcdefghijklmnopqrstuv", 32); // no terminating zero
         calsim::ForceChipVersions(0x1, 0x12345);
     },
     CmdGetVersionInfo, ""},
};

} // namespace

TEST(RadioCommands, SessionThroughEveryHandlerMatchesTheRecording)
{
    Bench bench;
    testing_support::ExpectMatchesTranscript("radio_session.txt", RunSession(bench, kSession));
}

TEST(RadioCommands, SpectrumLongerThanTheTableListsItsFirst2048Values)
{
    Bench bench;
    bench.Run(CmdResetRxSpectrum, "3 1\n");
    for (uint32_t length : {2049u, 0x80000000u}) {
        calsim::ForceSpectrumLength(length);
        int result = 1;
        std::string out = bench.Run(CmdGetRxSpectrum, "", &result);
        EXPECT_EQ(result, 0);
        EXPECT_NE(out.find("\nSpectrum length = " + std::to_string(length) + "\n"), std::string::npos);
        EXPECT_NE(out.find("\n2032:"), std::string::npos);
        EXPECT_EQ(out.find("\n2048:"), std::string::npos);
        EXPECT_TRUE(EndsWith(out, "\nOnly the 2048 values of the spectrum table are listed: the library reported " +
                                      std::to_string(length) + ".\n\nGetRxSpectrum was SUCCESSFUL.\n"));
    }
}

TEST(RadioCommands, TypedOutputPowerReachesTheDeviceBitForBit)
{
    Bench bench;
    double power = 0.0;
    for (const char *typed : {"-19.99\n", "0.1\n", "-40\n", "35\n"}) {
        bench.Run(CmdSetTx1OutputPower, typed);
        ASSERT_EQ(GetTx1OutputPower(bench.handle(), &power), nullptr);
        double expected = std::strtod(typed, nullptr);
        EXPECT_EQ(std::memcmp(&power, &expected, sizeof power), 0) << typed;
    }
}

namespace {

// The value printed after `label` in out.
double ValueAfter(const std::string &out, const std::string &label)
{
    std::size_t at = out.find(label);
    EXPECT_NE(at, std::string::npos) << label;
    return at == std::string::npos ? 0.0 : std::strtod(out.c_str() + at + label.size(), nullptr);
}

} // namespace

// Each answer of the loopback calibrations goes where it belongs: the
// frequency moves the steps, the reference correction lands at its index,
// a cable loss 1.5 dB higher shows at its own frequency.
TEST(RadioCommands, LoopbackAnswersReachTheirArguments)
{
    Bench bench;
    calsim::ForceDeviceMode(5, 0);
    double low = ValueAfter(bench.Run(CmdCalibrateTxSteps, "2300000\n"), "TxPADrvStepArray[10] = ");
    double high = ValueAfter(bench.Run(CmdCalibrateTxSteps, "5800000\n"), "TxPADrvStepArray[10] = ");
    EXPECT_GT(high - low, 0.2);

    std::string out = bench.Run(CmdCalibrateTxPoutFreqCorr, "2 -1.25 20 20 20 20 20 20 20 20 20 21.5 20 20\n");
    EXPECT_EQ(ValueAfter(out, "TxFreqCorrArray[ 2] = "), -1.25);
    double shifted = ValueAfter(out, "TxFreqCorrArray[ 9] = ");
    out = bench.Run(CmdCalibrateTxPoutFreqCorr, std::string("2 -1.25 ") + kLosses);
    EXPECT_NEAR(ValueAfter(out, "TxFreqCorrArray[ 9] = ") - shifted, 1.5, 0.05);
}
