// The interface dialogue and the connection attempts, in process, with what
// the start-up comes to: a handle, or the status the program leaves with.
#include "calsim/control.h"
#include "tuneprobe/startup.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include "console/clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing_support::Bench;
using testing_support::Count;

namespace {

const char kTypeList[] = "\n\nSelect Interface Type\n\n     0. Local\n     1. Ethernet proxy connection to target"
                         "\n     2. Serial proxy connection to target\n\n    -1. Exit\n\nINTERFACE TYPE : ";

} // namespace

TEST(ConnectWithRetry, TenAttemptsThenFailure)
{
    Bench bench(1, false);
    calsim::FailOperation("ConnectDevice", "No response from device");
    int result = 0;
    std::string out = bench.RunCode([&] { result = ConnectWithRetry(bench.handle()); });
    EXPECT_EQ(result, -1);
    std::string attempt = "\nTrying to open handle to Device...\nFailed because: No response from device\n";
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += attempt;
    EXPECT_EQ(out, expected);
    EXPECT_EQ(calsim::CallCount("ConnectDevice"), 10);
}

TEST(ConnectWithRetry, SucceedsAfterFailuresAndRefusesANullHandle)
{
    Bench bench(1, false);
    calsim::FailOperation("ConnectDevice", "Busy", 0, 2);
    int result = -1;
    std::string out = bench.RunCode([&] { result = ConnectWithRetry(bench.handle()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Count(out, "Failed because: Busy"), 2);
    EXPECT_TRUE(out.ends_with("\nTrying to open handle to Device...Success!!\n"));

    out = bench.RunCode([&] { result = ConnectWithRetry(nullptr); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "");
}

TEST(SelectInterface, DefaultsForEthernetAndSerial)
{
    Bench bench(1, false);
    TavrelCalHandle handle = nullptr;
    std::string out = bench.RunCode([&] { handle = SelectInterface().handle; }, "1 .\n");
    EXPECT_EQ(out, std::string(kTypeList) +
                       "Enter . for default values (192.168.10.1:2800)\n  IP Address  ? "
                       "   Using 192.168.10.1:2800\n\nTrying to open handle to Device...Success!!\n");
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(calsim::IsConnected());

    out = bench.RunCode([&] { handle = SelectInterface().handle; }, "2 .x\n");
    EXPECT_EQ(out, std::string(kTypeList) + "Enter . for default values (COM1:115200)\n  Serial port name ? "
                                            "   Using COM1:115200\n\nTrying to open handle to Device...Success!!\n");
    EXPECT_NE(handle, nullptr);
}

TEST(SelectInterface, TypedValuesInvalidTypesAndOverlongNames)
{
    Bench bench(1, false);
    TavrelCalHandle handle = nullptr;
    std::string name63 = "/dev/serial/by-id/" + std::string(45, 'x');
    std::string out =
        bench.RunCode([&] { handle = SelectInterface().handle; }, "7 abc 2 " + name63 + "y " + name63 + " 9600\n");
    // 7 lists the types again; "abc" asks the type question alone again.
    EXPECT_EQ(out, std::string(kTypeList) + "\nInvalid interface type. Please try again ..." + kTypeList +
                       "Please enter a number.\n\n\nINTERFACE TYPE : Enter . for default values (COM1:115200)\n"
                       "  Serial port name ? That is too long (at most 63 characters). Please try again.\n"
                       "  Serial port name ?   Baud rate        ?    Using " +
                       name63 + ":9600\n\nTrying to open handle to Device...Success!!\n");
    EXPECT_NE(handle, nullptr);

    out = bench.RunCode([&] { handle = SelectInterface().handle; }, "1 10.1.2.3 3000\n");
    EXPECT_NE(out.find("  IP Address  ?   Port number ?    Using 10.1.2.3:3000\n"), std::string::npos);
}

namespace {

std::vector<uint32_t> g_sleeps;
void RecordSleep(uint32_t ms)
{
    g_sleeps.push_back(ms);
}

} // namespace

TEST(SelectInterface, MinusOneLeavesWithStatusZeroAndOpensNothing)
{
    Bench bench(1, false);
    int opened = calsim::CallCount("GetCalInterface"); // the bench's own
    StartUp start{};
    std::string out = bench.RunCode([&] { start = SelectInterface(); }, "-1\n");
    EXPECT_EQ(start.handle, nullptr);
    EXPECT_EQ(start.exitStatus, 0);
    EXPECT_EQ(out, kTypeList);
    EXPECT_EQ(calsim::CallCount("GetCalInterface"), opened);
}

TEST(SelectInterface, TenFailedConnectionsLeaveWithStatusOneAfterTheKey)
{
    Bench bench(1, false);
    calsim::FailOperation("ConnectDevice", "Target not responding");
    g_sleeps.clear();
    SetSleepFunction(RecordSleep);
    StartUp start{};
    bool ended = false;
    std::string out = bench.RunCode([&] { start = SelectInterface(); }, "2 .\n\n", &ended);
    EXPECT_FALSE(ended); // the key read returns at the end of input
    EXPECT_EQ(start.handle, nullptr);
    EXPECT_EQ(start.exitStatus, 1);
    EXPECT_EQ(Count(out, "\nFailed because: Target not responding\n"), 10);
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>(10, 1000)); // one second after each attempt
    EXPECT_TRUE(out.ends_with("\nERROR: Unable to open a Host Proxy Cal API interface\n\nPress ENTER to exit ..."));
}

TEST(SelectInterface, InterfaceThatCannotBeOpenedLeavesWithStatusOne)
{
    Bench bench(1, false);
    calsim::SetNullInterface(true);
    StartUp start{};
    std::string out = bench.RunCode([&] { start = SelectInterface(); }, "0\n");
    EXPECT_EQ(start.handle, nullptr);
    EXPECT_EQ(start.exitStatus, 1);
    EXPECT_EQ(out,
              std::string(kTypeList) + "\nERROR: Unable to open a Local Cal API interface\n\nPress ENTER to exit ...");
    EXPECT_EQ(calsim::CallCount("ConnectDevice"), 0);
}
