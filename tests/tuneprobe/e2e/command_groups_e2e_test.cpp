// Every command group from the menu of the real binary, one answer file
// each: every item of the group once, in menu order (a row of the menu table
// pointing at the wrong handler shows), one library fault set from outside
// the process, and the program closing normally. The texts themselves are
// checked by the unit tests; the automated test's is checked here once more
// through the binary, where its pauses read real lines.
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using testing_support::Count;
using testing_support::EndsWith;
using testing_support::InOrder;
using testing_support::ProgramRun;
using testing_support::ReadAnswerFile;
using testing_support::RunProgram;
using testing_support::TuneprobePath;

namespace {

const char kClosing[] = "\nClosing application...\n";

struct GroupSession {
    const char *name;
    const char *answerFile;         // in tests/data/answers/
    const char *faults;             // CALSIM_FAULTS
    std::vector<std::string> shown; // in this order
};

std::string Success(const std::string &name)
{
    return "\n" + name + " was SUCCESSFUL.\n";
}

const GroupSession kSessions[] = {
    {"Configuration",
     "configuration_group.txt",
     "GetBandConfig=Band table busy",
     {"     Device disconnected.\n", "     Device connected.\n", Success("GetDeviceMode"), Success("SetDeviceMode"),
      "\nGetBandConfig:\n\nERROR: Band table busy\n", Success("SetBandConfig"), Success("GetCWOffset"),
      Success("SetCWOffset")}},
    {"Rx",
     "rx_group.txt",
     "GetCINR=Demodulator not running",
     {Success("GetRxAntConfig"), Success("SetRxAntConfig"), Success("IsSync"), Success("ForceReSync"),
      Success("SetAGCMode"), Success("GetRxGainState"), Success("SetRxGainState"), Success("GetRSSIReport"),
      "\nGetCINR:\n\nERROR: Demodulator not running\n", Success("GetPerAntCINR"), Success("GetPerAntThermalNoise"),
      Success("ResetFrameErrorStatistics"), Success("GetFrameErrorStatistics"), Success("GetPDUErrorStatistics")}},
    {"Tx",
     "tx_group.txt",
     "GetTxDiversitySwitch=Switch unreadable",
     {Success("GetTx1Attn"), Success("SetTx1Attn"), Success("GetTx1OutputPower"), Success("SetTx1OutputPower"),
      "\nGetTxDiversitySwitch:\n\nERROR: Switch unreadable\n", Success("SetTxDiversitySwitch")}},
    {"Loopback", // in loopback mode, as on the bench
     "loopback_group.txt",
     "CalibrateLCTrim=No loopback signal",
     {Success("SetTRSwitch"), "Calibrate LC Trim:\n\nERROR: No loopback signal\n", Success("CalibrateTxSteps"),
      Success("CalibrateLimitedTxSteps"), Success("CalibrateTxPoutFreqCorr"), Success("CalibrateLNASteps"),
      Success("CalibrateTxExtAttnStep")}},
    {"Other",
     "other_group.txt",
     "GetTemperature=Sensor not ready",
     {Success("ReadGPIOState"), Success("SetGPIOConfiguration"), Success("SetGPIOPinState"),
      Success("ReadRFICRegister"), Success("WriteRFICRegister"), "\nGetTemperature:\n\nERROR: Sensor not ready\n",
      Success("GetGPADCValue"), Success("SetGPDACValue"), Success("ResetRxSpectrum"), Success("GetRxSpectrum"),
      Success("GetVersionInfo")}},
    {"DevDataManagement",
     "devdata_management_group.txt",
     "GetMACAddress=MAC block unreadable",
     {Success("LoadDevData"), Success("IsDevDataValid"), Success("AreDevDataChecksumsValidArray"),
      Success("GetDevDataChecksumsArray"), Success("IsCalibrationValid"), Success("GetCalibrationInfo"),
      "\nGetMACAddress:\n\nERROR: MAC block unreadable\n", Success("GetDevDataSize"), Success("GetDevDataInfo"),
      Success("GetFlash2xDevDataInfo"), Success("SelectActiveDevDataSection"), Success("InitializeFlash")}},
    {"DevDataReadWrite", // the byte write's verify read fails, and the last write gets no key
     "devdata_read_write_group.txt",
     "ReadDevDataBytes/2:1=Bus error;RequestDevDataWriteKey/6:1=No key",
     {Success("ReadDevDataBlock"), Success("ReadDevDataBytes"), Success("GetDevDataRegionSizeByID"),
      Success("ReadDevDataRegionByID"), Success("RequestDevDataWriteKey"), Success("WriteDevDataBlock"),
      "\nRead 4 bytes from dev data memory\n\nREAD ERROR: Bus error\n", Success("TestWriteFlash2xBytesWithHeader"),
      Success("WriteDevDataRegionByID"), Success("SelectCurrentDevDataSection"), Success("CopyDevDataSection"),
      "\nWRITE ERROR: No Device Data write key (0)\n"}},
    {"OptionsAndTests", // the automated test and the sleep test run on their own
     "options_and_tests_groups.txt",
     "SetOptionByID/1:1=Option table locked",
     {Success("TestSetOptionByID"), "\nConnect retry count                 = 7\n", Success("TestGetOptionByID"),
      Success("TestEchoTest"), "\nTest result: 0 verify errors out of 2 Device Data writes\n",
      "Running test for non-MII interface.\n", "\nERROR: Option table locked\nNVM Mode test stopped.\n"}},
};

void PrintTo(const GroupSession &session, std::ostream *os)
{
    *os << session.name;
}

class GroupSessionTest : public ::testing::TestWithParam<GroupSession> {};

TEST_P(GroupSessionTest, EveryItemRunsItsCommand)
{
    const GroupSession &session = GetParam();
    ProgramRun run = RunProgram(TuneprobePath(), ReadAnswerFile(session.answerFile),
                                {"CALSIM_SEED=1", std::string("CALSIM_FAULTS=") + session.faults});
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(InOrder(run.output, session.shown));
    EXPECT_TRUE(EndsWith(run.output, kClosing));
}

std::string SessionName(const ::testing::TestParamInfo<GroupSession> &info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Groups, GroupSessionTest, ::testing::ValuesIn(kSessions), SessionName);

// What the automated test printed: from the menu answer to the final pop.
std::string AutomatedTestPart(const std::string &output)
{
    const std::string start = "Push[ 1] - set device mode: mode = 4 modulation = 1\n";
    const std::string end = "Pop [ 1] - set device mode: mode = 4 modulation = 1\n";
    std::size_t from = output.find(start);
    std::size_t to = output.rfind(end);
    if (from == std::string::npos || to == std::string::npos)
        return "";
    return output.substr(from, to + end.size() - from);
}

} // namespace

// Eight pause lines, with the load mode that LoadDevData asks for after the
// sixth; then leave the group and the program.
TEST(AutomatedTestSession, PausesReadLinesAndTheTranscriptMatches)
{
    ProgramRun run = RunProgram(TuneprobePath(), ReadAnswerFile("automated_test.txt"), {"CALSIM_SEED=1"}, 90000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(Count(run.output, "\nPress Enter to continue\n"), 8);
    testing_support::ExpectMatchesTranscript("automated_test.txt", AutomatedTestPart(run.output));
    EXPECT_TRUE(EndsWith(run.output, kClosing));
}
