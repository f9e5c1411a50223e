// Automated test: the loopback calibration, other hardware and Device Data
// groups, with the faults that end a group early or turn a verdict.
#include "calsim/control.h"
#include "testcmds/automated_test.h"
#include "testcmds/device_mode_stack.h"
#include "tests/support/console_harness.h"
#include "tests/testcmds/testcmds_checks.h"

#include <gtest/gtest.h>

using testing_support::Bench;
using testcmds_checks::Contains;

namespace {

std::string RunGroup(Bench &bench, int (*group)(TavrelCalHandle), int *result, const std::string &input = "\n")
{
    return bench.RunCode([&] { *result = group(bench.handle()); }, input);
}

} // namespace

TEST(AutomatedTestLoopback, RunsEveryCalibrationAndBalancesTheStack)
{
    Bench bench;
    ResetDeviceModeStack();
    int result = 1;
    std::string out = RunGroup(bench, RunLoopbackGroup, &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(out.starts_with("\n\n------------- Testing LOOPBACK COMMAND GROUP\n"
                                "Push[ 1] - set device mode: mode = 5 modulation = 0\n"));
    EXPECT_TRUE(Contains(out, "\nCalibrate TX Steps:\nSetting center frequency to 2550 kHz\n\nTxPADrvStepArray[ 0] = "));
    EXPECT_TRUE(Contains(out, "TxPGAStepArray[10]   = "));
    EXPECT_TRUE(Contains(out, "\nCalibrate Limited TX Steps:\nSetting center frequency to 2550 kHz and min step to 9\n\n"));
    EXPECT_TRUE(Contains(out, "\nCalibrate Tx Pout frequency correction:\nSetting frequency index 5\n"
                              "Setting correction value to 0 dB\nSetting cable losses to 20 dB\n\nTxFreqCorrArray[ 0] = "));
    EXPECT_TRUE(Contains(out, "TxExtAttnStepArray[11] = "));
    EXPECT_TRUE(Contains(out, "Push[ 2] - set device mode: mode = 4 modulation = 0\n"
                              "\nCalibrate LNA Steps:\nScan list index for the center frequency set to 5\n"
                              "Amplitude of signal in dBm at RX1 and RX2 antennas set to -40 dBm\n\n"
                              "                         Rx1    Rx2\nPGA gain correction = "));
    EXPECT_TRUE(Contains(out, "Pop [ 1] - set device mode: mode = 5 modulation = 0\n"
                              "\nCalibrate Tx external attenuator step:\n"
                              "Measurement frequency index into the scan table set to 4\n"
                              "Calibration type set to 0\n\nTx step gain               = "));
    EXPECT_TRUE(Contains(out, "External attenuator enable = 0\nPop [ 0] - set device mode: mode = 0 modulation = 0\n"));
    EXPECT_TRUE(out.ends_with("Pop [ 0] - set device mode: mode = 0 modulation = 0\n"));
    EXPECT_EQ(DeviceModeStackDepth(), 0u);
}

TEST(AutomatedTestLoopback, CalibrationFailureEndsTheGroupAndLeavesItsPushes)
{
    Bench bench;
    ResetDeviceModeStack();
    calsim::FailOperation("CalibrateTxSteps", "Loopback path open");
    int result = 0;
    std::string out = RunGroup(bench, RunLoopbackGroup, &result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(out.ends_with("\nCalibrate TX Steps:\nSetting center frequency to 2550 kHz\n"
                              "\nERROR: Loopback path open\n"));
    EXPECT_EQ(DeviceModeStackDepth(), 1u);
    EXPECT_EQ(calsim::CallCount("CalibrateLimitedTxSteps"), 0);

    ResetDeviceModeStack();
    calsim::ClearFaults();
    calsim::FailOperation("CalibrateLNASteps", "No signal at Rx2");
    out = RunGroup(bench, RunLoopbackGroup, &result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(out.ends_with("antennas set to -40 dBm\n\nERROR: No signal at Rx2\n"));
    EXPECT_EQ(DeviceModeStackDepth(), 2u);
    uint32_t mode = 0;
    uint32_t modulation = 9;
    ASSERT_EQ(GetDeviceMode(bench.handle(), &mode, &modulation), nullptr);
    EXPECT_EQ(mode, 4u);
    EXPECT_EQ(modulation, 0u);
}

TEST(AutomatedTestOther, RegisterThirtyChecksAndRestore)
{
    Bench bench;
    ASSERT_EQ(WriteRFICRegister(bench.handle(), 30, 0x1234, 1), nullptr);
    int result = 1;
    std::string out = RunGroup(bench, RunOtherCommandsGroup, &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Contains(out, "\n------------- Testing WriteRFICRegister\n"
                              "Wrote 0x0000 to Reg 30 - Read back 0000 - PASS\n"
                              "Wrote 0x0000 to Reg 30 - Read back 0000 - PASS\n"
                              "Wrote 0xffff to Reg 30 - Read back FFFF - PASS\n"
                              "Wrote 0x1234 to Reg 30 - Read back 1234 - PASS\n"
                              "\n------------- Testing GetTemperature\n"));
    uint32_t value = 0;
    ASSERT_EQ(ReadRFICRegister(bench.handle(), 30, 1, &value), nullptr);
    EXPECT_EQ(value, 0x1234u);
}

TEST(AutomatedTestOther, GpioSequenceAndTheExpectedRefusals)
{
    Bench bench;
    int result = 1;
    std::string out = RunGroup(bench, RunOtherCommandsGroup, &result);
    EXPECT_TRUE(out.starts_with("\n------------- Testing ReadGPIOState, SetGPIOConfiguration, and SetGPIOPinState\n"
                                "GPIO pin state        = "));
    EXPECT_TRUE(Contains(out, "Setting GPIO 10 to 0\nSetting GPIO 11 to 0\n"));
    EXPECT_TRUE(Contains(out, "GPIO LED write 0 test: "));
    EXPECT_TRUE(Contains(out, "Setting GPIO 10 to 1\nSetting GPIO 11 to 1\n"));
    EXPECT_TRUE(Contains(out, "GPIO LED write 1 test: "));
    // With no write permission every output pin is refused and reported.
    std::size_t refusals = out.find("Setting write permissions to 0 -- errors are expected\n");
    ASSERT_NE(refusals, std::string::npos);
    EXPECT_TRUE(Contains(out.substr(refusals), "Setting GPIO 10 to 0ERROR: "));
    EXPECT_TRUE(Contains(out, "Testing Get GP ADC Value "));
    EXPECT_TRUE(Contains(out, "Testing Set GP DAC Value  0 1 2 3\n\n\nPress Enter to continue\n"
                              "\n------------- Testing Spectrum commands\n"
                              "\nResetRxSpectrum\nSetting shift for IIR filter alpha to 3\n"
                              "Setting symbol index to be captured to 1"));
    EXPECT_TRUE(Contains(out, "\n------------- Testing Get Version Information Command\n"));
    EXPECT_EQ(calsim::CallCount("SetGPDACValue"), 4);
    EXPECT_EQ(calsim::CallCount("GetGPADCValue"), 4);
}

TEST(AutomatedTestOther, FaultsTurnGpioAndRegisterVerdictsAndSpectrumEndsTheGroup)
{
    Bench bench;
    calsim::FailOperation("SetGPIOPinState", "GPIO bank busy", 2, 1);
    calsim::FailOperation("WriteRFICRegister", "Serial bus NAK", 2, 1);
    calsim::FailOperation("ResetRxSpectrum", "Spectrum engine off");
    int result = 0;
    std::string out = RunGroup(bench, RunOtherCommandsGroup, &result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(Contains(out, "to 1ERROR: GPIO bank busy\n"));
    EXPECT_TRUE(Contains(out, "GPIO LED write 1 test: FAIL\n\n"));
    EXPECT_TRUE(Contains(out, "ERROR: Serial bus NAK\nWrote 0xffff to Reg 30 - Read back 0000 - FAIL\n"));
    EXPECT_TRUE(out.ends_with("Setting symbol index to be captured to 1\nERROR: Spectrum engine off\n"));
    EXPECT_FALSE(Contains(out, "Get Version Information Command"));
}

TEST(AutomatedTestDevData, ReadGroupDumpsBlockBytesAndRegions)
{
    Bench bench;
    int result = 1;
    std::string out = RunGroup(bench, RunDevDataReadGroup, &result);
    EXPECT_EQ(result, 0);
    uint32_t words[64] = {};
    ASSERT_EQ(ReadDevDataBlock(bench.handle(), words, 64, 0x200), nullptr);
    char line[64];
    std::snprintf(line, sizeof line, "\n0204: %08X %08X %08X %08X ", words[4], words[5], words[6], words[7]);
    EXPECT_TRUE(out.starts_with("\n\n------------- Testing ReadDevDataBlock\nTest block size = 256 bytes\n\n0200: "));
    EXPECT_TRUE(Contains(out, line));
    std::string block = out.substr(0, out.find("ReadDevDataBytes"));
    EXPECT_TRUE(Contains(block, "\n023C: "));
    EXPECT_FALSE(Contains(block, "\n0240: ")); // word labels, 16 lines
    EXPECT_TRUE(Contains(out, "\n------------- Testing ReadDevDataBytes\nTest block size = 256 bytes\n\n0200: "));
    EXPECT_TRUE(Contains(out, "\n02F0: "));
    EXPECT_TRUE(Contains(out, "\n------------- Testing ReadRegionByID\n\nRegion ID = 1 - Region size = "));
    EXPECT_TRUE(Contains(out, "\nRegion ID = 11 - Region size = "));
    EXPECT_EQ(calsim::CallCount("ReadDevDataRegionByID"), 11);
}

TEST(AutomatedTestDevData, LargeRegionShowsOnlyItsFirst256Bytes)
{
    Bench bench;
    int32_t size = 0;
    ASSERT_EQ(GetDevDataRegionSizeByID(bench.handle(), 5, &size), nullptr);
    ASSERT_GT(size, 256);
    int result = 1;
    std::string out = RunGroup(bench, RunDevDataReadGroup, &result);
    std::size_t at = out.find("\nRegion ID = 5 - Region size = " + std::to_string(size) + " bytes\nRead " +
                              std::to_string(size) + " bytes\nPrinting only the first 256 bytes\n\n0000: ");
    ASSERT_NE(at, std::string::npos);
    std::size_t end = out.find("\nRegion ID = 6", at);
    std::string dump = out.substr(at, end - at);
    EXPECT_TRUE(Contains(dump, "\n00F0: "));
    EXPECT_FALSE(Contains(dump, "\n0100: "));
}

TEST(AutomatedTestDevData, ReadErrorsArePrintedAndTheDumpsFollow)
{
    Bench bench;
    calsim::FailOperation("ReadDevDataBlock", "NVM not ready", 0, 1);
    calsim::FailOperation("ReadDevDataRegionByID", "Region locked", 0, 1);
    int result = 1;
    std::string out = RunGroup(bench, RunDevDataReadGroup, &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Contains(out, "Test block size = 256 bytes\nERROR: NVM not ready\n\n0200: 00000000 00000000 "));
    EXPECT_TRUE(Contains(out, "bytes\nERROR: Region locked\nRead 0 bytes\n\n0000: 00 00 00 "));
}

TEST(AutomatedTestDevData, ManagementGroupRunsOneLevelDeeper)
{
    Bench bench;
    ResetDeviceModeStack();
    bench.RunCode([&] {
        PushDeviceMode(bench.handle(), 4, 1);
        PushDeviceMode(bench.handle(), 4, 1);
    });
    int result = 1;
    std::string out = RunGroup(bench, RunDevDataManagementGroup, &result, "1\n");
    EXPECT_TRUE(out.starts_with("\nPush[ 3] - set device mode: mode = 2 modulation = 0\n"
                                "\n------------- Testing Device Data Management Commands\n"));
    EXPECT_TRUE(Contains(out, "\n------------- Testing GetMACAddress\n"));
    EXPECT_TRUE(out.ends_with("Pop [ 2] - set device mode: mode = 4 modulation = 1\n"));
}
