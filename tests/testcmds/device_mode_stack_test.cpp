// DeviceModeStack: push and pop lines, the modes applied, the limits.
#include "calsim/control.h"
#include "testcmds/device_mode_stack.h"
#include "tests/support/console_harness.h"
#include "tests/testcmds/testcmds_checks.h"

#include <gtest/gtest.h>

using testing_support::Bench;
using testcmds_checks::ExpectDeviceMode;

TEST(DeviceModeStack, PushAppliesAndPopReappliesThePairBelow)
{
    Bench bench;
    ResetDeviceModeStack();
    std::string out = bench.RunCode([&] {
        PushDeviceMode(bench.handle(), 4, 1);
        PushDeviceMode(bench.handle(), 5, 2);
    });
    EXPECT_EQ(out, "Push[ 1] - set device mode: mode = 4 modulation = 1\n"
                   "Push[ 2] - set device mode: mode = 5 modulation = 2\n");
    ExpectDeviceMode(bench.handle(), 5, 2);

    out = bench.RunCode([&] { PopDeviceMode(bench.handle()); });
    EXPECT_EQ(out, "Pop [ 1] - set device mode: mode = 4 modulation = 1\n");
    ExpectDeviceMode(bench.handle(), 4, 1);

    out = bench.RunCode([&] { PopDeviceMode(bench.handle()); });
    EXPECT_EQ(out, "Pop [ 0] - set device mode: mode = 0 modulation = 0\n");
    ExpectDeviceMode(bench.handle(), 0, 0);
    EXPECT_EQ(DeviceModeStackDepth(), 0u);
}

TEST(DeviceModeStack, UnderflowChangesNothing)
{
    Bench bench;
    ResetDeviceModeStack();
    calsim::ForceDeviceMode(3, 2);
    EXPECT_EQ(bench.RunCode([&] { PopDeviceMode(bench.handle()); }), "ERROR: Device mode stack UNDERFLOW\n");
    EXPECT_EQ(calsim::CallCount("SetDeviceMode"), 0);
    EXPECT_EQ(DeviceModeStackDepth(), 0u);
    ExpectDeviceMode(bench.handle(), 3, 2);
}

TEST(DeviceModeStack, OverflowAtFifteenLeavesTheModeAndPopsStillRestore)
{
    Bench bench;
    ResetDeviceModeStack();
    std::string out = bench.RunCode([&] {
        for (uint32_t i = 1; i <= 15; ++i)
            PushDeviceMode(bench.handle(), i % 6, i % 3);
    });
    EXPECT_NE(out.find("Push[15] - set device mode: mode = 3 modulation = 0\n"), std::string::npos);
    EXPECT_EQ(DeviceModeStackDepth(), 15u);
    EXPECT_EQ(calsim::CallCount("SetDeviceMode"), 15);

    out = bench.RunCode([&] { PushDeviceMode(bench.handle(), 1, 1); });
    EXPECT_EQ(out, "ERROR: Device mode stack OVERFLOW\n");
    EXPECT_EQ(calsim::CallCount("SetDeviceMode"), 15);
    EXPECT_EQ(DeviceModeStackDepth(), 15u);
    ExpectDeviceMode(bench.handle(), 3, 0);

    out = bench.RunCode([&] { PopDeviceMode(bench.handle()); });
    EXPECT_EQ(out, "Pop [14] - set device mode: mode = 2 modulation = 2\n");
    ExpectDeviceMode(bench.handle(), 2, 2);
}

TEST(DeviceModeStack, LibraryRefusalIsIgnoredButTheEntryStays)
{
    Bench bench;
    ResetDeviceModeStack();
    calsim::FailOperation("SetDeviceMode", "Mode change refused", 0, 1);
    EXPECT_EQ(bench.RunCode([&] { PushDeviceMode(bench.handle(), 2, 0); }),
              "Push[ 1] - set device mode: mode = 2 modulation = 0\n");
    EXPECT_EQ(DeviceModeStackDepth(), 1u);
    ExpectDeviceMode(bench.handle(), 0, 0);
}
