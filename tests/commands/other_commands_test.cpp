// Other hardware commands: exact texts, GPIO and RF chip register behaviour
// through the console, odd values (masks, hex input, rounding, spectrum
// lengths, an unterminated driver version).
#include "calsim/control_radio.h"
#include "commands/other_commands.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

namespace {

const std::string kPinPrompts = "\nSetGPIOPinState:\n"
                                "    GPIO pin number (0-31) ? "
                                "    GPIO pin state (0-1)   ? ";

std::string GpioReport(const char *state, const char *direction, const char *permission)
{
    return std::string("\nReadGPIOState:\n") + "     GPIO pin state            = " + state + "\n" +
           "     GPIO pin direction        = " + direction + " (1=Input; 0=Output)\n" +
           "     GPIO pin write permission = " + permission + " (0=read-only; 1=read-write)\n" +
           "\nReadGPIOState was SUCCESSFUL.\n";
}

} // namespace

TEST(OtherCommands, GpioMasksPrintAsEightHexDigits)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdReadGPIOState, "", &result), GpioReport("5A00A000", "FF00E000", "00000000"));
    EXPECT_EQ(result, 0);
    calsim::ForceGpioDirection(1);
    calsim::SetGpioInputLevel(0);
    EXPECT_EQ(bench.Run(CmdReadGPIOState), GpioReport("00000000", "00000001", "00000000"));
    calsim::ForceGpioDirection(0xFFFF0000u);
    calsim::SetGpioInputLevel(0xFFFFFFFFu);
    EXPECT_EQ(bench.Run(CmdReadGPIOState), GpioReport("FFFF0000", "FFFF0000", "00000000"));
}

TEST(OtherCommands, GpioPinWritesNeedPermissionAndAnOutput)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdSetGPIOPinState, "11 1\n", &result), kPinPrompts + "\nERROR: GPIO pin 11 is read-only\n");
    EXPECT_EQ(result, -1);

    EXPECT_EQ(bench.Run(CmdSetGPIOConfiguration, "1c00\n", &result),
              "\nSetGPIOConfiguration:\n"
              "The parameters specify the configuration of each pin:\n"
              "  GPIO write permission: 0=read-only; 1=read-write\n"
              "Please enter:\n"
              "    GPIO write permission (hex) ? "
              "\nSetGPIOConfiguration was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdSetGPIOPinState, "11 1\n", &result), kPinPrompts + "\nSetGPIOPinState was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    bench.Run(CmdSetGPIOPinState, "12 1\n");
    EXPECT_EQ(bench.Run(CmdReadGPIOState), GpioReport("5A00B800", "FF00E000", "00001C00"));
    bench.Run(CmdSetGPIOPinState, "12 0\n");
    EXPECT_EQ(bench.Run(CmdReadGPIOState), GpioReport("5A00A800", "FF00E000", "00001C00"));

    // An input pin cannot be driven, whatever the permission; pins and
    // states beyond the prompt's ranges are refused.
    bench.Run(CmdSetGPIOConfiguration, "ffffffff\n");
    EXPECT_EQ(bench.Run(CmdSetGPIOPinState, "13 1\n"), kPinPrompts + "\nERROR: GPIO pin 13 is an input\n");
    EXPECT_EQ(bench.Run(CmdSetGPIOPinState, "32 1\n"), kPinPrompts + "\nERROR: Invalid GPIO pin 32 (0 to 31)\n");
    EXPECT_EQ(bench.Run(CmdSetGPIOPinState, "10 2\n"), kPinPrompts + "\nERROR: Invalid GPIO pin state 2 (0 or 1)\n");
}

TEST(OtherCommands, RficRegisterNumbersAreHexAndDataIsSixteenBits)
{
    Bench bench;
    int result = 1;
    const std::string readPrompts = "\nReadRFICRegister:\n"
                                    "     RFIC register number (hex)                  ? "
                                    "     RFIC read timing (0=GTB based, 1=Immediate) ? ";
    const std::string writePrompts = "\nWriteRFICRegister:\n"
                                     "     RFIC register number (hex)                   ? "
                                     "     RFIC register data (hex)                     ? "
                                     "     RFIC write timing (0=GTB based, 1=Immediate) ? ";
    EXPECT_EQ(bench.Run(CmdReadRFICRegister, "0 1\n", &result),
              readPrompts + "\n     RFIC register data = 00005A31\n\nReadRFICRegister was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    // "1a" is register 0x1A; the timing "10" is decimal ten, refused.
    EXPECT_EQ(bench.Run(CmdWriteRFICRegister, "1a beef 0\n", &result),
              writePrompts + "\n\nWriteRFICRegister was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdReadRFICRegister, "0x1A 1\n"),
              readPrompts + "\n     RFIC register data = 0000BEEF\n\nReadRFICRegister was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdReadRFICRegister, "1a 10\n", &result),
              readPrompts + "\nERROR: Invalid RFIC access timing 10 (0=GTB based, 1=immediate)\n");
    EXPECT_EQ(result, -1);

    EXPECT_EQ(bench.Run(CmdWriteRFICRegister, "1e 10000 1\n"),
              writePrompts + "\nERROR: RFIC register data 0x10000 wider than 16 bits\n");
    EXPECT_EQ(bench.Run(CmdWriteRFICRegister, "0 1234 1\n"),
              writePrompts + "\nERROR: RFIC register 0 (chip ID) is read-only\n");
    EXPECT_EQ(bench.Run(CmdReadRFICRegister, "80 1\n"),
              readPrompts + "\nERROR: Invalid RFIC register 0x80 (0x00 to 0x7F)\n");
}

TEST(OtherCommands, TemperatureInWholeDegrees)
{
    Bench bench;
    int result = 1;
    calsim::ForceTemperature(36.6);
    EXPECT_EQ(bench.Run(CmdGetTemperature, "", &result),
              "\nGetTemperature:\n    Temperature = 37 C\n\nGetTemperature was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    calsim::ForceTemperature(-0.4);
    EXPECT_NE(bench.Run(CmdGetTemperature).find("    Temperature = -0 C\n"), std::string::npos);
}

TEST(OtherCommands, AdcInputsFollowTheirDac)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetGPADCValue, "2\n", &result), "\nGetGPADCValue:\n"
                                                           "     GP ADC mux setting (0-3) ? "
                                                           "     Value = 24\n"
                                                           "\nGetGPADCValue was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdSetGPDACValue, "2 3.3\n", &result), "\nSetGPDACValue:\n"
                                                               "     GP DAC mux setting (0-3) ? "
                                                               "     GP DAC voltage (Volts)   ? "
                                                               "\nSetGPDACValue was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    // 0.3 V + 3.3 V / 2 on an 8-bit scale of 3.3 V: code 151 give or take one.
    uint32_t value = 0;
    ASSERT_EQ(GetGPADCValue(bench.handle(), 2, &value), nullptr);
    EXPECT_NEAR(value, 151.0, 1.0);
    ASSERT_EQ(GetGPADCValue(bench.handle(), 1, &value), nullptr);
    EXPECT_NEAR(value, 23.0, 1.0);
    EXPECT_EQ(bench.Run(CmdSetGPDACValue, "4 1\n", &result), "\nSetGPDACValue:\n"
                                                             "     GP DAC mux setting (0-3) ? "
                                                             "     GP DAC voltage (Volts)   ? "
                                                             "\nERROR: Invalid GP DAC mux setting 4 (0 to 3)\n");
    EXPECT_EQ(result, -1);
}

TEST(OtherCommands, SpectrumNeedsACaptureFirst)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetRxSpectrum, "", &result),
              "\nGetRxSpectrum\n\nERROR: No Rx spectrum captured: reset the Rx spectrum first\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(bench.Run(CmdResetRxSpectrum, "3 1\n", &result), "\nResetRxSpectrum\n"
                                                               "     Shift for IIR filter alpha (0-16) ? "
                                                               "     Symbol index to be captured       ? "
                                                               "\nResetRxSpectrum was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    std::string out = bench.Run(CmdGetRxSpectrum, "", &result);
    EXPECT_EQ(result, 0);
    const std::string head = "\nGetRxSpectrum\n\nSpectrum length = 1024\n\n   0:";
    EXPECT_EQ(out.substr(0, head.size()), head);
    // 64 lines of sixteen values of seven characters after "\n%4d:".
    EXPECT_NE(out.find("\n1008:"), std::string::npos);
    EXPECT_EQ(out.size(), 39 + 64 * (6 + 16 * 7) + 1 + 31u);
    EXPECT_EQ(out.substr(out.size() - 32), "\n\nGetRxSpectrum was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdResetRxSpectrum, "17 1\n"), "\nResetRxSpectrum\n"
                                                       "     Shift for IIR filter alpha (0-16) ? "
                                                       "     Symbol index to be captured       ? "
                                                       "\nERROR: IIR filter shift 17 out of range (0 to 16)\n");
}

TEST(OtherCommands, SpectrumLengthsOfZeroSeventeenAndBeyondTheTable)
{
    Bench bench;
    bench.Run(CmdResetRxSpectrum, "16 0\n");
    calsim::ForceSpectrumLength(0);
    EXPECT_EQ(bench.Run(CmdGetRxSpectrum),
              "\nGetRxSpectrum\n\nSpectrum length = 0\n\n\nGetRxSpectrum was SUCCESSFUL.\n");
    // With the longest average the guard band reads a steady -95 dB.
    calsim::ForceSpectrumLength(17);
    EXPECT_EQ(bench.Run(CmdGetRxSpectrum), "\nGetRxSpectrum\n\nSpectrum length = 17\n"
                                           "\n   0:  -95.0  -95.0  -95.0  -95.0  -95.0  -95.0  -95.0  -95.0"
                                           "  -95.0  -95.0  -95.0  -95.0  -95.0  -95.0  -95.0  -95.0"
                                           "\n  16:  -95.0\n"
                                           "\nGetRxSpectrum was SUCCESSFUL.\n");

    std::string out;
    for (uint32_t length : {2049u, 0x80000000u}) {
        calsim::ForceSpectrumLength(length);
        int result = 1;
        out = bench.Run(CmdGetRxSpectrum, "", &result);
        EXPECT_EQ(result, 0);
        EXPECT_NE(out.find("\nSpectrum length = " + std::to_string(length) + "\n"), std::string::npos);
        EXPECT_NE(out.find("\n2032:"), std::string::npos);
        EXPECT_EQ(out.find("\n2048:"), std::string::npos);
        std::string tail = "\nOnly the 2048 values of the spectrum table are listed: the library reported " +
                           std::to_string(length) + ".\n\nGetRxSpectrum was SUCCESSFUL.\n";
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
}

TEST(OtherCommands, VersionInfoOfTheSimulatedDevice)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetVersionInfo, "", &result), "\nGetVersionInfo:\n"
                                                        "    PHY firmware version    = 02070314\n"
                                                        "    MAC firmware version    = 2.7.41\n"
                                                        "    Driver version          = calsim 1.0.0\n"
                                                        "    Cal API library version = 3.5.0\n"
                                                        "    Baseband chip version   = B0C20002\n"
                                                        "    RF chip version         = 5A31\n"
                                                        "\nGetVersionInfo was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
}

TEST(OtherCommands, VersionInfoCutsAnUnterminatedDriverTextAndKeepsWideChipVersions)
{
    Bench bench;
    calsim::ForceDriverVersion("0123456789abcdefghijklmnopqrstuv", 32);
    calsim::ForceChipVersions(0x1, 0x12345);
    EXPECT_EQ(bench.Run(CmdGetVersionInfo), "\nGetVersionInfo:\n"
                                            "    PHY firmware version    = 02070314\n"
                                            "    MAC firmware version    = 2.7.41\n"
                                            "    Driver version          = 0123456789abcdefghijklmnopqrstu\n"
                                            "    Cal API library version = 3.5.0\n"
                                            "    Baseband chip version   = 00000001\n"
                                            "    RF chip version         = 12345\n"
                                            "\nGetVersionInfo was SUCCESSFUL.\n");
}
