// Automated test: the driver's stack depths, and the configuration, Rx and
// Tx groups' read-back verdicts on a device that behaves and on one with
// injected faults.
#include "calsim/control.h"
#include "testcmds/automated_test.h"
#include "testcmds/device_mode_stack.h"
#include "testcmds/test_commands.h"
#include "tests/support/console_harness.h"
#include "tests/testcmds/testcmds_checks.h"

#include <gtest/gtest.h>

using testing_support::Bench;
using testcmds_checks::Count;
using testcmds_checks::Contains;

namespace {

// Eight pauses, with the load mode that the Device Data management group's
// LoadDevData handler asks for after the sixth.
const char kAutomatedTestAnswers[] = "\n\n\n\n\n\n1\n\n\n";

// The total gain is the device's own figure; the verdicts ignore it.
std::string WithoutTotals(std::string text)
{
    for (std::size_t at = text.find("Total="); at != std::string::npos; at = text.find("Total=", at + 1)) {
        std::size_t end = text.find_first_of(" \n", at);
        text.replace(at + 6, end - at - 6, "*");
    }
    return text;
}

std::string RunGroup(Bench &bench, int (*group)(TavrelCalHandle), int *result = nullptr)
{
    return bench.RunCode(
        [&] {
            int r = group(bench.handle());
            if (result)
                *result = r;
        },
        "\n");
}

} // namespace

TEST(AutomatedTest, DepthCarriesOverFromOneRunToTheNext)
{
    Bench bench;
    ResetDeviceModeStack();
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        int result = 1;
        bool ended = true;
        std::string out = bench.Run(CmdAutomatedTest, kAutomatedTestAnswers, &result, &ended);
        EXPECT_FALSE(ended);
        EXPECT_EQ(result, 0);
        std::string depth = run == 1 ? "[ 1]" : "[ 2]";
        EXPECT_TRUE(out.starts_with("Push" + depth + " - set device mode: mode = 4 modulation = 1\n"));
        EXPECT_TRUE(out.ends_with("\nPress Enter to continue\nPop " + depth +
                                  " - set device mode: mode = 4 modulation = 1\n"));
        EXPECT_EQ(Count(out, "\nPress Enter to continue\n"), 8);
        EXPECT_EQ(DeviceModeStackDepth(), static_cast<uint32_t>(run));
    }
    uint32_t mode = 0;
    uint32_t modulation = 0;
    ASSERT_EQ(GetDeviceMode(bench.handle(), &mode, &modulation), nullptr);
    EXPECT_EQ(mode, 4u);
    EXPECT_EQ(modulation, 1u);
}

TEST(AutomatedTest, ConfigurationGroupPushesOneLevelDeeperAndPasses)
{
    Bench bench;
    ResetDeviceModeStack();
    bench.RunCode([&] { PushDeviceMode(bench.handle(), 4, 1); });
    std::string out = RunGroup(bench, RunConfigurationGroup);
    EXPECT_TRUE(out.starts_with("\n\n------------- Testing CONFIGURATION COMMAND GROUP\n"
                                "\n------------- Testing Get/SetDeviceMode\n"
                                "\nPush[ 2] - set device mode: mode = 0 modulation = 1\n"
                                "\nGetDeviceMode:\n"
                                "    DUT Mode        = Normal (0)\n"
                                "    Modulation type = 16 QAM (1)\n"
                                "\nGetDeviceMode was SUCCESSFUL.\n"
                                "Pop [ 1] - set device mode: mode = 4 modulation = 1\n"));
    EXPECT_EQ(Count(out, "Push[ 2] - set device mode: mode = "), 7);
    EXPECT_EQ(Count(out, "Pop [ 1] - set device mode: mode = 4 modulation = 1\n"), 6);
    EXPECT_TRUE(Contains(out, "Push[ 2] - set device mode: mode = 4 modulation = 1\n"
                              "\n------------- Testing GetBandConfig and SetBandConfig\n"
                              "Read:  Freq = 2593000 - BW = 10000\n"
                              "Write: Freq = 2500000 - BW = 10000\n"
                              "Read:  Freq = 2500000 - BW = 10000 PASS\n"
                              "Write: Freq = 2533500 - BW =  5000\n"
                              "Read:  Freq = 2533500 - BW =  5000 PASS\n"
                              "Write: Freq = 2593000 - BW = 10000\n"
                              "Read:  Freq = 2593000 - BW = 10000 PASS\n"
                              "\n------------- Testing GetCWOffset and SetCWOffset\n"
                              "Read:  CW offset = 0\n"
                              "Write: CW offset = -5678\n"
                              "Read:  CW offset = -5678 PASS\n"
                              "Write: CW offset = 6123\n"
                              "Read:  CW offset = 6123 PASS\n"
                              "Write: CW offset = 0\n"
                              "Read:  CW offset = 0 PASS\n"));
    EXPECT_TRUE(out.ends_with("Read:  CW offset = 0 PASS\n"));
    EXPECT_EQ(DeviceModeStackDepth(), 2u);
    EXPECT_EQ(calsim::CallCount("ForceReSync"), 3);
}

TEST(AutomatedTest, ConfigurationGroupReportsFaultsAndJudgesWhatWasRead)
{
    Bench bench;
    ResetDeviceModeStack();
    calsim::FailOperation("SetBandConfig", "Synthesizer unlocked", 0, 1);
    calsim::FailOperation("GetCWOffset", "CW generator off");
    std::string out = RunGroup(bench, RunConfigurationGroup);
    EXPECT_TRUE(Contains(out, "Write: Freq = 2500000 - BW = 10000\n"
                              "ERROR: Synthesizer unlocked\n"
                              "Read:  Freq = 2593000 - BW = 10000 FAIL\n"
                              "Write: Freq = 2533500 - BW =  5000\n"
                              "Read:  Freq = 2533500 - BW =  5000 PASS\n"));
    EXPECT_TRUE(Contains(out, "ERROR: CW generator off\n"
                              "Read:  CW offset = 0\n"
                              "Write: CW offset = -5678\n"
                              "ERROR: CW generator off\n"
                              "Read:  CW offset = 0 FAIL\n"));
    // The restore writes 0, which the unread variable happens to hold.
    EXPECT_TRUE(out.ends_with("Write: CW offset = 0\nERROR: CW generator off\nRead:  CW offset = 0 PASS\n"));
}

TEST(AutomatedTest, RxGroupMovesEveryGainFieldAndSetsCalibrationModeDirectly)
{
    Bench bench;
    ResetDeviceModeStack();
    ASSERT_EQ(SetRxGainState(bench.handle(), 0, 0, 2, 1, 20), nullptr);
    ASSERT_EQ(SetRxGainState(bench.handle(), 1, 0, 2, 1, 30), nullptr);
    calsim::ForceDeviceMode(4, 1);
    std::string out = WithoutTotals(RunGroup(bench, RunRxGroup));
    EXPECT_TRUE(out.starts_with("\n\n------------- Testing GetRxAntConfig and SetRxAntConfig\n"));
    EXPECT_TRUE(Contains(out, "\n------------- Testing GetRxGainState and SetRxGainState\n"
                              "Device mode     = 4\n"
                              "Modulation type = 1\n"
                              "Set dev mode = 1\n"
                              "Set mod type = 0\n"
                              "Device mode     = 1\n"
                              "Modulation type = 0\n"
                              "Read  path 0: Ext LNA=0 - LNA=2 - Mixer=1 - PGA=20 - Total=*\n"
                              "Wrote path 0: Ext LNA=1 - LNA=0 - Mixer=0 - PGA=25\n"
                              "Read  path 0: Ext LNA=1 - LNA=0 - Mixer=0 - PGA=25 - Total=* -- PASS\n\n"
                              "Read  path 1: Ext LNA=0 - LNA=2 - Mixer=1 - PGA=30 - Total=*\n"));
    EXPECT_TRUE(Contains(out, "Wrote path 1: Ext LNA=1 - LNA=0 - Mixer=0 - PGA= 3\n"));
    EXPECT_TRUE(Contains(out, "Read  path 1: Ext LNA=1 - LNA=0 - Mixer=0 - PGA= 3 - Total=* -- PASS\n\n"));
    EXPECT_EQ(Count(out, " -- PASS\n\n"), 2);
    EXPECT_TRUE(Contains(out, "\n------------- Testing GetRSSIReport, GetCINR, and related commands\n"));
    EXPECT_EQ(Count(out, "Push[ 1] - set device mode: mode = 0 modulation = 0\n"), 1);
    EXPECT_EQ(Count(out, "Push[ 1] - set device mode: mode = 4 modulation = 0\n"), 1);
    EXPECT_EQ(Count(out, "Pop [ 0] - set device mode: mode = 0 modulation = 0\n"), 2);
    EXPECT_TRUE(Contains(out, "\n------------- Testing GetFrameErrorStatistics and ResetFrameErrorStatistics\n"));
}

TEST(AutomatedTest, RxGroupGainVerdictFailsWhenTheWriteIsRefused)
{
    Bench bench;
    ResetDeviceModeStack();
    ASSERT_EQ(SetRxGainState(bench.handle(), 2, 0, 2, 1, 20), nullptr);
    calsim::FailOperation("SetRxGainState", "Gain table locked", 0, 1);
    std::string out = WithoutTotals(RunGroup(bench, RunRxGroup));
    EXPECT_TRUE(Contains(out, "Wrote path 0: Ext LNA=1 - LNA=0 - Mixer=0 - PGA=25\n"
                              "ERROR: Gain table locked\n"
                              "Read  path 0: Ext LNA=0 - LNA=2 - Mixer=1 - PGA=20 - Total=* -- FAIL\n\n"));
    EXPECT_EQ(Count(out, " -- PASS\n\n"), 1);
}

TEST(AutomatedTest, TxGroupTranscript)
{
    Bench bench;
    std::string out = RunGroup(bench, RunTxGroup);
    EXPECT_EQ(out, "\n"
                   "\n------------- Testing TX COMMAND GROUP\n"
                   "\n------------- Testing GetTx1Attn and SetTx1Attn\n"
                   "Read:  Backoff= 0.00 PGA= 0 Driver= 0 ExtAtt=0\n"
                   "Wrote: Backoff=-2.00 PGA= 9 Driver= 4 ExtAtt=1\n"
                   "Read:  Backoff=-2.00 PGA= 9 Driver= 4 ExtAtt=1 PASS\n"
                   "Wrote: Backoff= 5.00 PGA= 4 Driver=13 ExtAtt=0\n"
                   "Read:  Backoff= 5.00 PGA= 4 Driver=13 ExtAtt=0 PASS\n"
                   "\n------------- Testing GetTx1OutputPower and SetTx1OutputPower\n"
                   "Setting power to +20 dBm ...Read  20 dBm  PASS\n"
                   "Setting power to -20 dBm ...Read -20 dBm  PASS\n"
                   "Setting power to +10 dBm ...Read  10 dBm  PASS\n"
                   "\n------------- Testing GetTxDiversitySwitch and SetTxDiversitySwitch\n"
                   "Setting switch to 0 (antenna 1) ...Read 0  PASS\n"
                   "Setting switch to 1 (antenna 2) ...Read 1  PASS\n"
                   "Setting switch to 0 (antenna 1) ...Read 0  PASS\n");
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
                              "Setting switch to 0 (antenna 1) ...ERROR: Switch unreadable\nRead 0  PASS\n"));
}
