// Device Data read commands: hex dumps, sizes of 0, refusals, short regions.
#include "calsim/control_devdata.h"
#include "devdata/devdata_read.h"
#include "tests/devdata/devdata_test_support.h"
#include "tests/support/console_harness.h"

using devdata_test::Contains;
using testing_support::Bench;

TEST(DevDataRead, WordReadDumpsFourBytesPerWordFromTheAddress)
{
    Bench bench;
    calsim::PokeDevDataSection(0, 0x100, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
    int result = 1;
    EXPECT_EQ(bench.Run(CmdReadDevDataBlock, "100 5\n", &result),
              "\nRead Device Data Block:\n"
              "\nNote: Block size is the number of 32-bit unsigned integers (not bytes).\n"
              "    Device Data address (hex) ?     Block size (dec)          ? "
              "\n\nResults returned:\n"
              "0100:  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
              "0110:  10 11 12 13\n"
              "\nReadDevDataBlock was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
}

TEST(DevDataRead, ByteReadOfZeroAndFailure)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdReadDevDataBytes, "0 0\n", &result),
              "\nRead Device Data Bytes:\n"
              "\nNote: Block size is the number of bytes.\n"
              "    Device Data address (hex) ?     Block size (dec)          ? "
              "\n\nResults returned:\n\n"
              "\nReadDevDataBytes was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(devdata_test::EndsWith(bench.Run(CmdReadDevDataBytes, "fff0 17\n", &result),
                                       "? \nERROR: Device Data address range out of bounds\n"));
    EXPECT_EQ(result, -1);
}

// 0x40000000 words are 4 GB: refused before the library is asked.
TEST(DevDataRead, WordCountBeyondThirtyTwoBitBytesIsRefused)
{
    Bench bench;
    int result = 1;
    EXPECT_TRUE(devdata_test::EndsWith(bench.Run(CmdReadDevDataBlock, "0 1073741824\n", &result),
                                       "? \nERROR: Data block memory allocation failed\n"));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(calsim::CallCount("ReadDevDataBlock"), 0);
}

TEST(DevDataRead, RegionSizeAndContents)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetDevDataRegionSizeByID, "4\n", &result),
              "\nGetDevDataRegionSizeByID:\nEnter region ID (dec) ?     Device Data region size = 16 bytes\n"
              "\nGetDevDataRegionSizeByID was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdReadDevDataRegionByID, "4\n", &result),
              "\nReadDevDataRegionByID:\nEnter region ID (dec) ? "
              "\nDevData region size = 16 bytes\n"
              "0000:  A4 00 06 00 1D 88 4C 21 07 64 6B 72 79 80 87 8E\n"
              "\nReadDevDataRegionByID was SUCCESSFUL.\n");

    // A region that returns fewer bytes than its size shows only those.
    calsim::ShortenRegionReads(10);
    EXPECT_TRUE(Contains(bench.Run(CmdReadDevDataRegionByID, "4\n"),
                         "\nDevData region size = 16 bytes\n0000:  A4 00 06 00 1D 88\n\nReadDevDataRegionByID"));
}

TEST(DevDataRead, UnknownRegionStopsAtTheSizeQueryAndOddSizesAreRefused)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdReadDevDataRegionByID, "12\n", &result),
              "\nReadDevDataRegionByID:\nEnter region ID (dec) ? \nERROR: Unknown Device Data region ID 12\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(calsim::CallCount("ReadDevDataRegionByID"), 0);

    calsim::SetDevDataRegionSize(3, -5);
    EXPECT_TRUE(devdata_test::EndsWith(bench.Run(CmdReadDevDataRegionByID, "3\n", &result),
                                       "\nDevData region size = -5 bytes\n"
                                       "\nERROR: Data block memory allocation failed\n"));
    EXPECT_EQ(calsim::CallCount("ReadDevDataRegionByID"), 0);

    calsim::SetDevDataRegionSize(3, 0);
    EXPECT_TRUE(devdata_test::EndsWith(bench.Run(CmdReadDevDataRegionByID, "3\n", &result),
                                       "\nDevData region size = 0 bytes\n\n\nReadDevDataRegionByID was SUCCESSFUL.\n"));
    calsim::FailOperation("ReadDevDataRegionByID", "Region locked");
    EXPECT_TRUE(devdata_test::EndsWith(bench.Run(CmdReadDevDataRegionByID, "2\n", &result),
                                       "\nDevData region size = 1024 bytes\n\nERROR: Region locked\n"));
    EXPECT_EQ(result, -1);
}
