// The read-back checks of the byte write: each mismatch is named.
#include "devdata/verify.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

#include <string>

using testing_support::Bench;

TEST(Verify, BytesAndFillReportEachMismatch)
{
    Bench bench;
    const uint8_t expected[6] = {1, 2, 3, 4, 5, 6};
    uint8_t readBack[8] = {9, 9, 1, 2, 0x33, 4, 5, 0x66};
    uint32_t count = 99;
    EXPECT_EQ(bench.RunCode([&] { count = VerifyBytes(readBack, expected, 2, 0, 2); }), "");
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bench.RunCode([&] { count = VerifyBytes(readBack, expected, 2, 0, 6); }),
              "\nRead back [00000004] = 33 - Expected [00000002] = 03 - Verify ERROR"
              "\nRead back [00000007] = 66 - Expected [00000005] = 06 - Verify ERROR\n");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(bench.RunCode([&] { count = VerifyBytes(readBack, expected, 0, 0, 0); }), "");
    EXPECT_EQ(count, 0u);

    const uint8_t erased[4] = {0xFF, 0xFF, 0x7F, 0xFF};
    EXPECT_EQ(bench.RunCode([&] { count = VerifyFill(erased, 0, 4, 255); }),
              "\nRead back [00000002] = 7F - Expected FF - Verify ERROR\n");
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(bench.RunCode([&] { count = VerifyFill(erased, 0, 2, 255); }), "");
    EXPECT_EQ(count, 0u);
}

TEST(SwapBytes32, ReversesTheFourBytes)
{
    EXPECT_EQ(SwapBytes32(0x00001000u), 0x00100000u);
    EXPECT_EQ(SwapBytes32(0x5D0DC3A7u), 0xA7C30D5Du);
}
