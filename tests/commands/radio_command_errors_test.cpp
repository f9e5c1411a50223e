// Every Rx, Tx, loopback and other hardware command on a library error:
// the header, the prompts answered and the error line, nothing else; and on
// a null handle: -1, silence, no library call.
#include "calsim/control.h"
#include "commands/loopback_commands.h"
#include "commands/other_commands.h"
#include "commands/rx_commands.h"
#include "commands/tx_commands.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

namespace {

struct ErrorCase {
    CommandHandler handler;
    const char *operation;
    const char *input;
    const char *shown; // header and prompts before the error line
};

const ErrorCase kCases[] = {
    {CmdGetRxAntConfig, "GetRxAntConfig", "", "\nGetRxAntConfig:\n"},
    {CmdSetRxAntConfig, "SetRxAntConfig", "2\n",
     "\nSetRxAntConfig:\nRx ant config: 0 = Rx1 only; 1 = Rx2 only; 2 = Rx1+Rx2\n    Rx antenna configuration ? "},
    {CmdIsSync, "IsSync", "", "\nIsSync:\n"},
    {CmdForceReSync, "ForceReSync", "", "\nForce Re-sync:\n"},
    {CmdSetAGCMode, "SetAGCMode", "0 0\n",
     "\nSetAGCMode:\nAGC mode:    0=Normal, 1=Back off AGC, 2=Freeze AGC\n"
     "AGC backoff: 0 to 64 dB, in 1 dB steps (enter as decimal integer)\n"
     "    AGC mode                ?     AGC backoff in dB (dec) ? "},
    {CmdGetRxGainState, "GetRxGainState", "0\n", "\nGetRxGainState:\n    Rx path (0=Rx1; 1=Rx2) ? "},
    {CmdGetRSSIReport, "GetRSSIReport", "", "\nGetRSSIReport:\n"},
    {CmdGetCINR, "GetCINR", "", "\nGetCINR:\n"},
    {CmdGetPerAntCINR, "GetPerAntCINR", "", "\nGetPerAntCINR:\n"},
    {CmdGetPerAntThermalNoise, "GetPerAntThermalNoise", "", "\nGetPerAntThermalNoise:\n"},
    {CmdResetFrameErrorStatistics, "ResetFrameErrorStatistics", "", "\nResetFrameErrorStatistics:\n"},
    {CmdGetFrameErrorStatistics, "GetFrameErrorStatistics", "", "\nGetFrameErrorStatistics:\n"},
    {CmdGetPDUErrorStatistics, "GetPDUErrorStatistics", "", "\nGetPDUErrorStatistics:\n"},
    {CmdGetTx1Attn, "GetTx1Attn", "", "\nGetTx1Attn:\n"},
    {CmdGetTx1OutputPower, "GetTx1OutputPower", "", "\nGetTx1OutputPower:\n"},
    {CmdSetTx1OutputPower, "SetTx1OutputPower", "20\n",
     "\nSetTx1OutputPower:\n     Tx1 output power (double, -40 to +35 dBm) ? "},
    {CmdGetTxDiversitySwitch, "GetTxDiversitySwitch", "", "\nGetTxDiversitySwitch:\n"},
    {CmdSetTxDiversitySwitch, "SetTxDiversitySwitch", "0\n",
     "\nSetTxDiversitySwitch:\n     Tx diversity switch (0=Ant 1; 1=Ant 2) ? "},
    {CmdCalibrateLCTrim, "CalibrateLCTrim", "", "Calibrate LC Trim:\n"},
    {CmdReadGPIOState, "ReadGPIOState", "", "\nReadGPIOState:\n"},
    {CmdSetGPIOConfiguration, "SetGPIOConfiguration", "1c00\n",
     "\nSetGPIOConfiguration:\nThe parameters specify the configuration of each pin:\n"
     "  GPIO write permission: 0=read-only; 1=read-write\nPlease enter:\n    GPIO write permission (hex) ? "},
    {CmdSetGPIOPinState, "SetGPIOPinState", "10 1\n",
     "\nSetGPIOPinState:\n    GPIO pin number (0-31) ?     GPIO pin state (0-1)   ? "},
    {CmdReadRFICRegister, "ReadRFICRegister", "1e 1\n",
     "\nReadRFICRegister:\n     RFIC register number (hex)                  ? "
     "     RFIC read timing (0=GTB based, 1=Immediate) ? "},
    {CmdGetTemperature, "GetTemperature", "", "\nGetTemperature:\n"},
    {CmdGetGPADCValue, "GetGPADCValue", "0\n", "\nGetGPADCValue:\n     GP ADC mux setting (0-3) ? "},
    {CmdGetRxSpectrum, "GetRxSpectrum", "", "\nGetRxSpectrum\n"},
    {CmdGetVersionInfo, "GetVersionInfo", "", "\nGetVersionInfo:\n"},
};

// The handlers whose prompts other tests already spell out: these only
// need to show that the error ends them after the last prompt.
const ErrorCase kLongPromptCases[] = {
    {CmdSetRxGainState, "SetRxGainState", "0 0 2 1 20\n", "    PGA gain index (0 to 31)           ? "},
    {CmdSetTx1Attn, "SetTx1Attn", "0 0 0 0\n", "     Extenal attenuator (1=Enabled; 0=Disabled)         ? "},
    {CmdSetTRSwitch, "SetTRSwitch", "0\n", "0 = Tx OFF & Rx ON, 1 = Tx ON & Rx OFF: "},
    {CmdCalibrateTxSteps, "CalibrateTxSteps", "2550\n", "Please specify the center frequency in kHz: "},
    {CmdCalibrateLimitedTxSteps, "CalibrateLimitedTxSteps", "2550 9\n", "    Minimum PA driver atten index: "},
    {CmdCalibrateTxPoutFreqCorr, "CalibrateTxPoutFreqCorr", "5 0 1 1 1 1 1 1 1 1 1 1 1 1\n", "Loss at F11: "},
    {CmdCalibrateLNASteps, "CalibrateLNASteps", "5 -40 -40\n", "Amplitude of signal in dBm at RX2 antenna: "},
    {CmdCalibrateTxExtAttnStep, "CalibrateTxExtAttnStep", "4 0\n", "Calibration type (0=Pre-step, 1=Post-step): "},
    {CmdWriteRFICRegister, "WriteRFICRegister", "1e 0 1\n", "     RFIC write timing (0=GTB based, 1=Immediate) ? "},
    {CmdSetGPDACValue, "SetGPDACValue", "0 1.67\n", "     GP DAC voltage (Volts)   ? "},
    {CmdResetRxSpectrum, "ResetRxSpectrum", "3 1\n", "     Symbol index to be captured       ? "},
};

std::string RunFailing(Bench &bench, const ErrorCase &c, int *result)
{
    calsim::FailOperation(c.operation, "Device busy (code 0x2A)");
    return bench.Run(c.handler, c.input, result);
}

} // namespace

TEST(RadioCommandErrors, LibraryErrorShowsOnlyTheAnsweredPromptsAndTheText)
{
    for (const ErrorCase &c : kCases) {
        Bench bench;
        int result = 1;
        EXPECT_EQ(RunFailing(bench, c, &result), std::string(c.shown) + "\nERROR: Device busy (code 0x2A)\n")
            << c.operation;
        EXPECT_EQ(result, -1) << c.operation;
        EXPECT_EQ(calsim::CallCount(c.operation), 1) << c.operation;
    }
    for (const ErrorCase &c : kLongPromptCases) {
        Bench bench;
        int result = 1;
        std::string out = RunFailing(bench, c, &result);
        std::string tail = std::string(c.shown) + "\nERROR: Device busy (code 0x2A)\n";
        ASSERT_GE(out.size(), tail.size()) << c.operation;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << c.operation;
        EXPECT_EQ(result, -1) << c.operation;
        EXPECT_EQ(calsim::CallCount(c.operation), 1) << c.operation;
    }
}

TEST(RadioCommandErrors, NullHandleIsSilent)
{
    Bench bench;
    std::size_t calls = calsim::CallLog().size();
    auto check = [&](const ErrorCase &c) {
        int result = 1;
        EXPECT_EQ(bench.RunCode([&] { result = c.handler(nullptr); }, c.input), "") << c.operation;
        EXPECT_EQ(result, -1) << c.operation;
    };
    for (const ErrorCase &c : kCases)
        check(c);
    for (const ErrorCase &c : kLongPromptCases)
        check(c);
    EXPECT_EQ(calsim::CallLog().size(), calls);
}
