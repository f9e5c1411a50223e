// Device Data write test and NVM mode test: numbering, addresses, keys,
// counts, the NVM mode sequence on both interface kinds, and where a failure
// leaves the device.
#include "calsim/control.h"
#include "calsim/control_devdata.h"
#include "console/random_word.h"
#include "testcmds/test_commands.h"
#include "tests/support/console_harness.h"
#include "tests/testcmds/testcmds_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using testing_support::Bench;
using testcmds_checks::ExpectDeviceMode;

namespace {

const char kWriteTestStart[] = "\nWARNING: This test will overwrite current Device Data contents\n"
                               "Continue (0=No or 1=Yes)? ";
const char kWriteTestQuestions[] = "\nPlease enter the following parameters: \n"
                                   "  Starting Device Data address (hex)                      ? "
                                   "  Device Data write block size (decimal, in 32-bit words) ? \n";

std::string WriteLine(int number, uint32_t word, uint32_t address, const char *error = nullptr)
{
    char line[128];
    std::snprintf(line, sizeof line, "%4d: Writing 0x%08X at Device Data address 0x%04X ", number, word, address);
    std::string text = line;
    if (error)
        text += std::string("- ") + error + "\n";
    return text + "\n";
}

std::vector<std::string> CallsOf(const std::vector<std::string> &names)
{
    std::vector<std::string> calls;
    for (const std::string &call : calsim::CallLog())
        if (std::find(names.begin(), names.end(), call) != names.end())
            calls.push_back(call);
    return calls;
}

uint32_t NvmMode(Bench &bench)
{
    uint32_t value = 99;
    EXPECT_EQ(GetOptionByID(bench.handle(), TAVREL_OPTION_NVM_MODE, &value), nullptr);
    return value;
}

} // namespace

TEST(DevDataWriteTest, StopsUnlessConfirmedAndCountsZeroWords)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdDevDataWriteTest, "2\n", &result), kWriteTestStart);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdDevDataWriteTest, "1\n1000\n0\n", &result),
              std::string(kWriteTestStart) + kWriteTestQuestions +
                  "\nTest result: 0 verify errors out of 0 Device Data writes\n");
    EXPECT_EQ(calsim::CallCount("RequestDevDataWriteKey"), 0);
}

TEST(DevDataWriteTest, WritesNumberedWordsFourBytesApartEachWithItsKey)
{
    Bench bench;
    SeedRandom(77);
    uint32_t words[3] = {RandomWord(), RandomWord(), RandomWord()};
    SeedRandom(77);
    int result = 1;
    std::string out = bench.Run(CmdDevDataWriteTest, "1\n1000\n3\n", &result);
    EXPECT_EQ(out, std::string(kWriteTestStart) + kWriteTestQuestions + WriteLine(1, words[0], 0x1000) +
                       WriteLine(2, words[1], 0x1004) + WriteLine(3, words[2], 0x1008) +
                       "\nTest result: 0 verify errors out of 3 Device Data writes\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CallsOf({"RequestDevDataWriteKey", "WriteDevDataBlock"}),
              (std::vector<std::string>{"RequestDevDataWriteKey", "WriteDevDataBlock", "RequestDevDataWriteKey",
                                        "WriteDevDataBlock", "RequestDevDataWriteKey", "WriteDevDataBlock"}));
    uint32_t stored[3] = {};
    ASSERT_EQ(ReadDevDataBlock(bench.handle(), stored, 3, 0x1000), nullptr);
    EXPECT_EQ(std::vector<uint32_t>(stored, stored + 3), std::vector<uint32_t>(words, words + 3));
}

TEST(DevDataWriteTest, RefusedWritesAreCountedAndTheTestGoesOn)
{
    Bench bench;
    SeedRandom(5);
    uint32_t words[3] = {RandomWord(), RandomWord(), RandomWord()};
    SeedRandom(5);
    calsim::FailOperation("WriteDevDataBlock", "Device Data is write protected", 1, 1);
    int result = 1;
    std::string out = bench.Run(CmdDevDataWriteTest, "1\nFFFC\n3\n", &result);
    // The third word lies beyond the 64 KB section: refused by the device.
    EXPECT_NE(out.find(WriteLine(1, words[0], 0xFFFC) +
                       WriteLine(2, words[1], 0x10000, "Device Data is write protected") +
                       WriteLine(3, words[2], 0x10004, "Device Data address range out of bounds") +
                       "\nTest result: 2 verify errors out of 3 Device Data writes\n"),
              std::string::npos);
    EXPECT_EQ(result, 0);
}

namespace {

// The library calls of one NVM mode test, checksum handlers included.
const std::vector<std::string> kNvmCalls = {"GetDeviceMode",    "SetDeviceMode",    "SetOptionByID",
                                            "LoadDevData",      "ReadDevDataBlock", "RequestDevDataWriteKey",
                                            "WriteDevDataBlock"};

std::vector<std::string> ExpectedNvmCalls()
{
    return {"GetDeviceMode",          "SetDeviceMode",     "SetOptionByID",    "LoadDevData",
            "ReadDevDataBlock",       "ReadDevDataBlock",  "LoadDevData",      "SetOptionByID",
            "RequestDevDataWriteKey", "WriteDevDataBlock", "ReadDevDataBlock", "LoadDevData",
            "RequestDevDataWriteKey", "WriteDevDataBlock", "ReadDevDataBlock", "LoadDevData",
            "SetDeviceMode"};
}

} // namespace

// Both interface kinds, whole output against the recording: offsets 0x200
// and 0x1000, NVM modes 1 and 2, the zeroes showing only after the last
// load. Each leaves the NVM mode buffered and the device mode as it found
// it; the zeroes never reach the NVM.
TEST(NvmModeTest, BothInterfaceKindsMatchTheRecording)
{
    std::string session;
    for (const char *kind : {"0\n", "7\n"}) {
        Bench bench;
        calsim::ForceDeviceMode(3, 2);
        std::vector<uint8_t> nvm = calsim::DevDataSection(0);
        int result = 1;
        session += bench.Run(CmdNvmModeTest, kind, &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(CallsOf(kNvmCalls), ExpectedNvmCalls());
        EXPECT_EQ(NvmMode(bench), kind[0] == '0' ? 1u : 2u);
        ExpectDeviceMode(bench.handle(), 3, 2);
        EXPECT_EQ(calsim::DevDataSection(0), nvm);
    }
    testing_support::ExpectMatchesTranscript("nvm_mode_test.txt", session);
}

TEST(NvmModeTest, UnreadableInterfaceKindIsAskedAgain)
{
    Bench bench;
    std::string out = bench.Run(CmdNvmModeTest, "mii 0\n");
    EXPECT_EQ(out.rfind("Enter interface type (0=not MII; 1=MII): Please enter a number.\n"
                        "Enter interface type (0=not MII; 1=MII): Running test for non-MII interface.\n",
                        0),
              0u);
}

TEST(NvmModeTest, FailingGetDeviceModeStopsBeforeAnyChange)
{
    Bench bench;
    calsim::FailOperation("GetDeviceMode", "Device busy", 0, 1);
    int result = 0;
    EXPECT_EQ(bench.Run(CmdNvmModeTest, "0\n", &result),
              "Enter interface type (0=not MII; 1=MII): Running test for non-MII interface.\n"
              "\nERROR: Device busy\nNVM Mode test stopped.\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(calsim::CallCount("SetDeviceMode"), 0);
}

TEST(NvmModeTest, FailureInTheMiddleLeavesBothModesWhereTheyAre)
{
    Bench bench;
    // The third load is the first from the buffer.
    calsim::FailOperation("LoadDevData", "VDM image not found", 2, 1);
    int result = 0;
    std::string out = bench.Run(CmdNvmModeTest, "0\n", &result);
    EXPECT_EQ(result, -1);
    std::string tail = "Calling Load Device Data Into Memory (VDM loading mode)\n"
                       "\nERROR: VDM image not found\nNVM Mode test stopped.\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(NvmMode(bench), 1u);
    ExpectDeviceMode(bench.handle(), 2, 0);
}
