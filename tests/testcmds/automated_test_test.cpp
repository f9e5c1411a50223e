// Automated test: the whole transcript on the deterministic simulator (and
// every check passing whatever the seed), the stack depths from one run to
// the next, and each group with injected faults (error lines, FAIL verdicts,
// groups that stop early).
#include "calsim/control.h"
#include "calsim/control_radio.h"
#include "testcmds/automated_test.h"
#include "testcmds/device_mode_stack.h"
#include "testcmds/test_commands.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"
#include "tests/testcmds/testcmds_checks.h"

#include <gtest/gtest.h>

using testcmds_checks::ExpectDeviceMode;
using testing_support::Bench;
using testing_support::Contains;
using testing_support::Count;
using testing_support::EndsWith;

namespace {

// Eight pauses, with the load mode that the Device Data management group's
// LoadDevData handler asks for after the sixth.
const char kAutomatedTestAnswers[] = "\n\n\n\n\n\n1\n\n\n";

std::string RunGroup(Bench &bench, int (*group)(TavrelCalHandle), int *result = nullptr)
{
    int r = 0;
    std::string out = bench.RunCode([&] { r = group(bench.handle()); }, "\n");
    if (result)
        *result = r;
    return out;
}

} // namespace

TEST(AutomatedTest, FirstRunMatchesTheTranscriptAndEveryCheckPasses)
{
    Bench bench;
    ResetDeviceModeStack();
    int result = 1;
    bool ended = true;
    std::string out = bench.Run(CmdAutomatedTest, kAutomatedTestAnswers, &result, &ended);
    EXPECT_FALSE(ended);
    EXPECT_EQ(result, 0);
    testing_support::ExpectMatchesTranscript("automated_test.txt", out);
    EXPECT_EQ(Count(out, "PASS"), 22);
    EXPECT_EQ(Count(out, "FAIL"), 0);
}

TEST(AutomatedTest, DepthCarriesOverFromOneRunToTheNext)
{
    Bench bench;
    ResetDeviceModeStack();
    bench.Run(CmdAutomatedTest, kAutomatedTestAnswers);
    std::string out = bench.Run(CmdAutomatedTest, kAutomatedTestAnswers);
    EXPECT_TRUE(out.starts_with("Push[ 2] - set device mode: mode = 4 modulation = 1\n"));
    EXPECT_TRUE(EndsWith(out, "\nPress Enter to continue\nPop [ 2] - set device mode: mode = 4 modulation = 1\n"));
    EXPECT_EQ(Count(out, "Push[ 3] - set device mode: mode = "), 7); // the configuration group's pushes
    EXPECT_EQ(DeviceModeStackDepth(), 2u);
    ExpectDeviceMode(bench.handle(), 4, 1);
}

TEST(AutomatedTest, ConfigurationGroupReportsFaultsAndJudgesWhatWasRead)
{
    Bench bench;
    ResetDeviceModeStack();
    // From 2533500/10000 the second write differs in the bandwidth alone.
    ASSERT_EQ(SetBandConfig(bench.handle(), 2533500, 10000), nullptr);
    calsim::FailOperation("SetBandConfig", "Synthesizer unlocked", 0, 2);
    calsim::FailOperation("GetCWOffset", "CW generator off");
    std::string out = RunGroup(bench, RunConfigurationGroup);
    EXPECT_TRUE(Contains(out, "Write: Freq = 2500000 - BW = 10000\n"
                              "ERROR: Synthesizer unlocked\n"
                              "Read:  Freq = 2533500 - BW = 10000 FAIL\n"
                              "Write: Freq = 2533500 - BW =  5000\n"
                              "ERROR: Synthesizer unlocked\n"
                              "Read:  Freq = 2533500 - BW = 10000 FAIL\n"
                              "Write: Freq = 2533500 - BW = 10000\n"
                              "Read:  Freq = 2533500 - BW = 10000 PASS\n"));
    EXPECT_TRUE(Contains(out, "ERROR: CW generator off\n"
                              "Read:  CW offset = 0\n"
                              "Write: CW offset = -5678\n"
                              "ERROR: CW generator off\n"
                              "Read:  CW offset = 0 FAIL\n"));
    // The restore writes 0, which the unread variable happens to hold: the
    // read failed all the same.
    EXPECT_TRUE(EndsWith(out, "Write: CW offset = 0\nERROR: CW generator off\nRead:  CW offset = 0 FAIL\n"));
}

TEST(AutomatedTest, RxGroupWrapsTheGainFieldsAndFailsARefusedWrite)
{
    Bench bench;
    ResetDeviceModeStack();
    calsim::ForceRxGainState(0, 0, 2, 1, 30);
    calsim::ForceRxGainState(1, 0, 2, 1, 30);
    calsim::FailOperation("SetRxGainState", "Gain table locked", 1, 1);
    std::string out = RunGroup(bench, RunRxGroup);
    EXPECT_TRUE(Contains(out, "Wrote path 0: Ext LNA=1 - LNA=0 - Mixer=0 - PGA= 3\n"
                              "Read  path 0: Ext LNA=1 - LNA=0 - Mixer=0 - PGA= 3 - Total="));
    EXPECT_TRUE(Contains(out, "Wrote path 1: Ext LNA=1 - LNA=0 - Mixer=0 - PGA= 3\n"
                              "ERROR: Gain table locked\n"
                              "Read  path 1: Ext LNA=0 - LNA=2 - Mixer=1 - PGA=30 - Total="));
    EXPECT_EQ(Count(out, " -- PASS\n\n"), 1);
    EXPECT_EQ(Count(out, " -- FAIL\n\n"), 1);
}

TEST(AutomatedTest, TxGroupFaultsTurnVerdictsToFail)
{
    Bench bench;
    calsim::FailOperation("SetTx1Attn", "Attenuator busy", 1, 1);
    calsim::FailOperation("SetTx1OutputPower", "PA not ready", 1, 1);
    calsim::FailOperation("SetTxDiversitySwitch", "Switch stuck", 1, 1);
    calsim::FailOperation("GetTxDiversitySwitch", "Switch unreadable", 2, 1);
    std::string out = RunGroup(bench, RunTxGroup);
    EXPECT_TRUE(Contains(out, "ERROR: Attenuator busy\n"
                              "Wrote: Backoff= 5.00 PGA= 4 Driver=13 ExtAtt=0\n"
                              "Read:  Backoff=-2.00 PGA= 9 Driver= 4 ExtAtt=1 FAIL\n"));
    EXPECT_TRUE(Contains(out, "Setting power to -20 dBm ...ERROR: PA not ready\nRead  20 dBm  FAIL\n"));
    EXPECT_TRUE(Contains(out, "Setting switch to 1 (antenna 2) ...ERROR: Switch stuck\nRead 0  FAIL\n"
                              "Setting switch to 0 (antenna 1) ...ERROR: Switch unreadable\nRead 0  FAIL\n"));
}

TEST(AutomatedTest, LoopbackFailureEndsTheGroupAndLeavesItsPushes)
{
    Bench bench;
    ResetDeviceModeStack();
    calsim::FailOperation("CalibrateTxSteps", "Loopback path open", 0, 1);
    int result = 0;
    std::string out = RunGroup(bench, RunLoopbackGroup, &result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(EndsWith(out, "Setting center frequency to 2550 kHz\n\nERROR: Loopback path open\n"));
    EXPECT_EQ(DeviceModeStackDepth(), 1u);
    ExpectDeviceMode(bench.handle(), 5, 0);

    ResetDeviceModeStack();
    calsim::FailOperation("CalibrateLNASteps", "No signal at Rx2", 0, 1);
    out = RunGroup(bench, RunLoopbackGroup, &result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(EndsWith(out, "antennas set to -40 dBm\n\nERROR: No signal at Rx2\n"));
    EXPECT_EQ(DeviceModeStackDepth(), 2u);
    ExpectDeviceMode(bench.handle(), 4, 0);
}

TEST(AutomatedTest, OtherGroupSkipsInputPinsAndReportsFaults)
{
    Bench bench;
    calsim::ForceGpioDirection(0x00000400); // GPIO 10 is an input
    calsim::SetGpioInputLevel(0);
    calsim::FailOperation("WriteRFICRegister", "Serial bus NAK", 2, 1);
    calsim::FailOperation("ResetRxSpectrum", "Spectrum engine off");
    int result = 0;
    std::string out = RunGroup(bench, RunOtherCommandsGroup, &result);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(Contains(out, "\nSetting GPIO write permission to 00001800\n\n"));
    EXPECT_EQ(Count(out, "Setting GPIO 10 to 0 -- Skipping input pin 10\n"), 2);
    EXPECT_TRUE(Contains(out, "Setting GPIO 10 to 1 -- Skipping input pin 10\n"));
    EXPECT_TRUE(Contains(out, "GPIO LED write 0 test: PASS\n\n"));
    EXPECT_TRUE(Contains(out, "GPIO LED write 1 test: FAIL\n\n")); // pin 10 reads its input level, 0
    EXPECT_TRUE(Contains(out, "Setting GPIO 11 to 0ERROR: "));
    EXPECT_TRUE(Contains(out, "ERROR: Serial bus NAK\nWrote 0xffff to Reg 30 - Read back 0000 - FAIL\n"));
    EXPECT_TRUE(EndsWith(out, "Setting symbol index to be captured to 1\nERROR: Spectrum engine off\n"));
    EXPECT_FALSE(Contains(out, "Get Version Information Command"));
}

TEST(AutomatedTest, DevDataReadErrorsArePrintedAndTheDumpsFollow)
{
    Bench bench;
    calsim::FailOperation("ReadDevDataBlock", "NVM not ready", 0, 1);
    calsim::FailOperation("GetDevDataRegionSizeByID", "Region table busy", 0, 1);
    calsim::FailOperation("ReadDevDataRegionByID", "Region locked", 1, 1);
    int result = 1;
    std::string out = RunGroup(bench, RunDevDataReadGroup, &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Contains(out, "Test block size = 256 bytes\nERROR: NVM not ready\n\n0200: 00000000 00000000 "));
    // The failed size query leaves the size at 0: nothing to read or show.
    EXPECT_TRUE(Contains(out, "\nRegion ID = 1 - Region size = 0 bytes\nRead 0 bytes\n\n\nRegion ID = 2"));
    EXPECT_TRUE(Contains(out, "ERROR: Region locked\nRead 0 bytes\nPrinting only the first 256 bytes\n\n0000: 00 00 "));
}

// The simulated device passes every check of the automated test, whatever
// the seed of its measurements and keys.
TEST(AutomatedTest, EveryCheckPassesWhateverTheSeed)
{
    for (uint32_t seed : {2u, 3u, 77u, 2024u}) {
        Bench bench(seed);
        ResetDeviceModeStack();
        int result = 1;
        std::string out = bench.Run(CmdAutomatedTest, kAutomatedTestAnswers, &result);
        EXPECT_EQ(result, 0) << seed;
        EXPECT_EQ(Count(out, "PASS"), 22) << seed;
        EXPECT_EQ(Count(out, "FAIL"), 0) << seed;
        EXPECT_EQ(Count(out, "ERROR"), 3) << seed; // the refused GPIO writes without permission
    }
}
