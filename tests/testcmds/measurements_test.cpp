// What the commands and scripted tests record for a production run: every
// menu item that shows a value records it, and only after the library call
// that produced it succeeded; a name means one thing everywhere; a verdict
// on a read that failed is FAIL with the read's error; the GPIO writes the
// automated test provokes are expected errors.
#include "calsim/control.h"
#include "calsim/control_radio.h"
#include "commands/config_commands.h"
#include "commands/loopback_commands.h"
#include "commands/option_commands.h"
#include "commands/other_commands.h"
#include "commands/rx_commands.h"
#include "commands/tx_commands.h"
#include "devdata/devdata_info.h"
#include "devdata/devdata_read.h"
#include "devdata/devdata_write.h"
#include "testcmds/automated_test.h"
#include "testcmds/device_mode_stack.h"
#include "testcmds/test_commands.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"
#include "tests/testcmds/recording_recorder.h"
#include "tuneprobe/menu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

using testcmds_checks::Recorded;
using testcmds_checks::RecordingRecorder;
using testing_support::Bench;
using testing_support::Contains;

namespace {

const char kFault[] = "Injected read fault";

void LoopbackMode(TavrelCalHandle)
{
    calsim::ForceDeviceMode(5, 0);
}

void SpectrumCaptured(TavrelCalHandle handle)
{
    ResetRxSpectrum(handle, 3, 1);
}

// The items that show values, the answers under which they succeed, and
// the one library call whose failure must leave nothing recorded (null
// where an item makes several calls that each show something).
struct ValueItem {
    CommandHandler handler;
    const char *answers;
    void (*setup)(TavrelCalHandle);
    const char *operation;
};

const ValueItem kValueItems[] = {
    {CmdGetDeviceMode, "", nullptr, "GetDeviceMode"},
    {CmdGetBandConfig, "", nullptr, "GetBandConfig"},
    {CmdGetCWOffset, "", nullptr, "GetCWOffset"},
    {CmdGetRxAntConfig, "", nullptr, "GetRxAntConfig"},
    {CmdIsSync, "", nullptr, "IsSync"},
    {CmdGetRxGainState, "1\n", nullptr, "GetRxGainState"},
    {CmdGetRSSIReport, "", nullptr, "GetRSSIReport"},
    {CmdGetCINR, "", nullptr, "GetCINR"},
    {CmdGetPerAntCINR, "", nullptr, "GetPerAntCINR"},
    {CmdGetPerAntThermalNoise, "", nullptr, "GetPerAntThermalNoise"},
    {CmdGetFrameErrorStatistics, "", nullptr, "GetFrameErrorStatistics"},
    {CmdGetPDUErrorStatistics, "", nullptr, "GetPDUErrorStatistics"},
    {CmdGetTx1Attn, "", nullptr, "GetTx1Attn"},
    {CmdGetTx1OutputPower, "", nullptr, "GetTx1OutputPower"},
    {CmdGetTxDiversitySwitch, "", nullptr, "GetTxDiversitySwitch"},
    {CmdCalibrateLCTrim, "", nullptr, "CalibrateLCTrim"},
    {CmdCalibrateTxSteps, "2550\n", LoopbackMode, "CalibrateTxSteps"},
    {CmdCalibrateLimitedTxSteps, "2550 9\n", LoopbackMode, "CalibrateLimitedTxSteps"},
    {CmdCalibrateTxPoutFreqCorr, "5 0 20 20 20 20 20 20 20 20 20 20 20 20\n", LoopbackMode, "CalibrateTxPoutFreqCorr"},
    {CmdCalibrateLNASteps, "5 -40 -40\n", nullptr, "CalibrateLNASteps"},
    {CmdCalibrateTxExtAttnStep, "4 0\n", LoopbackMode, "CalibrateTxExtAttnStep"},
    {CmdReadGPIOState, "", nullptr, "ReadGPIOState"},
    {CmdReadRFICRegister, "1e 1\n", nullptr, "ReadRFICRegister"},
    {CmdGetTemperature, "", nullptr, "GetTemperature"},
    {CmdGetGPADCValue, "1\n", nullptr, "GetGPADCValue"},
    {CmdGetRxSpectrum, "", SpectrumCaptured, "GetRxSpectrum"},
    {CmdGetVersionInfo, "", nullptr, "GetVersionInfo"},
    {CmdIsDevDataValid, "", nullptr, "IsDevDataValid"},
    {CmdAreDevDataChecksumsValidArray, "", nullptr, "AreDevDataChecksumsValidArray"},
    {CmdGetDevDataChecksumsArray, "", nullptr, "GetDevDataChecksumsArray"},
    {CmdIsCalibrationValid, "", nullptr, "IsCalibrationValid"},
    {CmdGetCalibrationInfo, "", nullptr, "GetCalibrationInfo"},
    {CmdGetMACAddress, "", nullptr, "GetMACAddress"},
    {CmdGetDevDataSize, "", nullptr, "GetDevDataSize"},
    {CmdGetDevDataInfo, "", nullptr, "GetDevDataInfo"},
    {CmdGetFlash2xDevDataInfo, "", nullptr, "GetFlash2xDevDataInfo"},
    {CmdInitializeFlash, "5000\n", nullptr, "InitializeFlash"},
    {CmdReadDevDataBlock, "100 5\n", nullptr, "ReadDevDataBlock"},
    {CmdReadDevDataBytes, "0 4\n", nullptr, "ReadDevDataBytes"},
    {CmdGetDevDataRegionSizeByID, "4\n", nullptr, "GetDevDataRegionSizeByID"},
    {CmdReadDevDataRegionByID, "4\n", nullptr, "GetDevDataRegionSizeByID"},
    {CmdRequestDevDataWriteKey, "", nullptr, "RequestDevDataWriteKey"},
    {CmdWriteDevDataBlock, "200 2 1 1 3 5 1\n", nullptr, nullptr},
    {CmdWriteDevDataBytes, "40 4 1 1 3 5 1\n", nullptr, nullptr},
    {CmdWriteFlash2xBytesWithHeader, "100 16 1 4 3 1 0 3 ab 1\n", nullptr, nullptr},
    {CmdWriteDevDataRegionByID, "4 1 10 1 1\n", nullptr, nullptr},
    {CmdGetOptionByID, "8\n-1\n", nullptr, "GetOptionByID"},
    {CmdAutomatedTest, "\n\n\n\n\n\n1\n\n\n", nullptr, nullptr},
    {CmdSleepAccuracyTest, "", nullptr, nullptr},
    {CmdDevDataWriteTest, "1 2000 2\n", nullptr, nullptr},
    {CmdNvmModeTest, "0\n", nullptr, nullptr},
};

// The items that only act: whatever they are answered, they record nothing.
const CommandHandler kActionItems[] = {
    CmdConnectDevice,
    CmdDisconnectDevice,
    CmdSetDeviceMode,
    CmdSetBandConfig,
    CmdSetCWOffset,
    CmdSetRxAntConfig,
    CmdForceReSync,
    CmdSetAGCMode,
    CmdSetRxGainState,
    CmdResetFrameErrorStatistics,
    CmdSetTx1Attn,
    CmdSetTx1OutputPower,
    CmdSetTxDiversitySwitch,
    CmdSetTRSwitch,
    CmdSetGPIOConfiguration,
    CmdSetGPIOPinState,
    CmdWriteRFICRegister,
    CmdSetGPDACValue,
    CmdResetRxSpectrum,
    CmdLoadDevData,
    CmdSelectActiveDevDataSection,
    CmdSelectCurrentDevDataSection,
    CmdCopyDevDataSection,
    CmdSetOptionByID,
    CmdEchoTest,
};

// The scripted tests show what the commands show, under the same names.
bool IsScripted(CommandHandler handler)
{
    return handler == CmdAutomatedTest || handler == CmdNvmModeTest || handler == CmdDevDataWriteTest ||
           handler == CmdSleepAccuracyTest;
}

// Names that several items record on purpose: the same value, reached
// through different operations.
const std::set<std::string> kSharedNames = {
    "Device Data size",          "Device Data blocks",        "Region 4 size",    "NVM mode",
    "Device Data verify errors", "Device Data bytes written", "TxPADrvStepArray", "TxPGAStepArray",
};

const ValueItem *FindValueItem(CommandHandler handler)
{
    for (const ValueItem &item : kValueItems)
        if (item.handler == handler)
            return &item;
    return nullptr;
}

// Runs an item on a fresh device; operation, when given, fails throughout.
Recorded RunItem(const ValueItem &item, const char *operation, int &result)
{
    Bench bench;
    ResetDeviceModeStack();
    if (item.setup)
        item.setup(bench.handle());
    if (operation)
        calsim::FailOperation(operation, kFault);
    RecordingRecorder recorder;
    bool ended = true;
    bench.Run(item.handler, item.answers, &result, &ended);
    EXPECT_FALSE(ended);
    return recorder.got;
}

} // namespace

TEST(Measurements, EveryMenuItemThatShowsAValueRecordsItAndNamesMeanOneThing)
{
    std::map<std::string, std::set<std::string>> kindsByName;    // kind and unit
    std::map<std::string, std::set<std::string>> commandsByName; // ordinary items only
    for (const MenuRow *row = MenuTable; HasLabel(*row); ++row) {
        SCOPED_TRACE(row->label);
        const ValueItem *item = FindValueItem(row->handler);
        if (item == nullptr) {
            ASSERT_NE(std::find(std::begin(kActionItems), std::end(kActionItems), row->handler), std::end(kActionItems))
                << "a new item belongs in one of the two tables";
            Bench bench;
            RecordingRecorder recorder;
            bench.Run(row->handler, "1\n1\n1\n1\n1\n1\n1\n1\n");
            EXPECT_TRUE(recorder.got.values.empty());
            EXPECT_TRUE(recorder.got.verdicts.empty());
            continue;
        }
        int result = -1;
        Recorded recorded = RunItem(*item, nullptr, result);
        EXPECT_EQ(result, 0);
        EXPECT_FALSE(recorded.values.empty());
        EXPECT_EQ(recorded.UnexpectedErrors(), 0);
        for (const Recorded::Value &value : recorded.values) {
            kindsByName[value.name].insert(value.kind);
            if (!IsScripted(row->handler))
                commandsByName[value.name].insert(row->label);
        }
        if (item->operation != nullptr) {
            Recorded failed = RunItem(*item, item->operation, result);
            EXPECT_EQ(result, -1);
            EXPECT_TRUE(failed.values.empty()) << failed.values.front().name;
            EXPECT_TRUE(failed.verdicts.empty());
        }
    }
    for (const auto &[name, kinds] : kindsByName)
        EXPECT_EQ(kinds.size(), 1u) << name << ": one kind and one unit";
    for (const auto &[name, commands] : commandsByName)
        EXPECT_TRUE(commands.size() == 1 || kSharedNames.count(name) != 0)
            << name << " is recorded by " << *commands.begin() << " and others";
}

namespace {

// A read of the automated test that fails once: the verdict on it (its
// console line, the first name it judges) or, for a value only shown, the
// name it would have been recorded under. Names judged or shown lose that
// one recording.
struct ReadFault {
    const char *operation;
    int skip;
    int (*group)(TavrelCalHandle);
    const char *failLine;
    const char *judged;
    const char *shown;
};

const ReadFault kReadFaults[] = {
    {"GetBandConfig", 1, RunConfigurationGroup, "Read:  Freq =       0 - BW =     0 FAIL\n", "Center frequency",
     nullptr},
    {"GetCWOffset", 0, RunConfigurationGroup, nullptr, nullptr, "CW offset"},
    {"GetRxGainState", 1, RunRxGroup, "Read  path 0: Ext LNA=0 - LNA=0 - Mixer=0 - PGA= 0 - Total=0 -- FAIL\n",
     "Rx path 0 external LNA", "Rx path 0 total gain"},
    {"GetTx1OutputPower", 0, RunTxGroup, "Read   0 dBm  FAIL\n", "Tx1 output power", nullptr},
    // The variable still holds the value wanted: only the failed read fails it.
    {"GetTxDiversitySwitch", 0, RunTxGroup, "Read 0  FAIL\n", "Tx diversity switch", nullptr},
    {"ReadGPIOState", 2, RunOtherCommandsGroup, "GPIO LED write 0 test: FAIL\n", "GPIO LED pins", nullptr},
    {"ReadRFICRegister", 0, RunOtherCommandsGroup, nullptr, nullptr, "RFIC ID"},
    {"ReadRFICRegister", 2, RunOtherCommandsGroup, "Wrote 0x0000 to Reg 30 - Read back 0000 - FAIL\n",
     "RFIC register 30", nullptr},
    {"GetGPADCValue", 2, RunOtherCommandsGroup, nullptr, nullptr, "GP ADC input 2"},
};

// One group on a fresh device; fault, when given, fails its operation once.
Recorded RunGroup(int (*group)(TavrelCalHandle), const ReadFault *fault, const std::string &input, std::string &out)
{
    Bench bench;
    ResetDeviceModeStack();
    if (fault)
        calsim::FailOperation(fault->operation, kFault, fault->skip, 1);
    RecordingRecorder recorder;
    out = bench.RunCode([&] { group(bench.handle()); }, input);
    return recorder.got;
}

} // namespace

TEST(Measurements, AFailedReadFailsItsVerdictAndIsNoMeasurement)
{
    for (const ReadFault &fault : kReadFaults) {
        SCOPED_TRACE(std::string(fault.operation) + "/" + std::to_string(fault.skip));
        std::string out;
        Recorded before = RunGroup(fault.group, nullptr, "\n", out);
        Recorded after = RunGroup(fault.group, &fault, "\n", out);
        EXPECT_EQ(before.FailedVerdicts(), 0);
        if (fault.failLine != nullptr) {
            EXPECT_TRUE(Contains(out, std::string("ERROR: ") + kFault + "\n" + fault.failLine));
            ASSERT_EQ(after.FailedVerdicts(), 1);
            auto failed = std::find_if(after.verdicts.begin(), after.verdicts.end(),
                                       [](const Recorded::Verdict &v) { return !v.pass; });
            EXPECT_EQ(failed->firstName, fault.judged);
            EXPECT_EQ(failed->readError, kFault);
        } else {
            EXPECT_EQ(after.FailedVerdicts(), 0);
        }
        for (const char *name : {fault.judged, fault.shown}) {
            if (name != nullptr) {
                EXPECT_EQ(after.Count(name), before.Count(name) - 1) << name;
            }
        }
    }
}

TEST(Measurements, OnlyTheGpioWritesWithoutPermissionAreExpectedErrors)
{
    static const struct {
        const char *operation; // fails once after skip good calls, or null
        int skip;
        int expected;
        int unexpected;
    } kCases[] = {
        {nullptr, 0, 3, 0},
        {"SetGPIOPinState", 0, 3, 1},      // a refusal while writing is allowed
        {"SetGPIOConfiguration", 1, 0, 1}, // permission kept: nothing refused
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.operation ? c.operation : "no fault");
        ReadFault fault = {c.operation, c.skip, RunOtherCommandsGroup, nullptr, nullptr, nullptr};
        std::string out;
        Recorded recorded = RunGroup(RunOtherCommandsGroup, c.operation ? &fault : nullptr, "\n", out);
        EXPECT_EQ(recorded.ExpectedErrors(), c.expected);
        EXPECT_EQ(recorded.UnexpectedErrors(), c.unexpected);
    }
}
