// The region write: random bytes, region 4's prefix, verify with zeroes
// beyond the count, restore regardless of verify errors.
#include "calsim/control_devdata.h"
#include "console/random_word.h"
#include "devdata/devdata_write.h"
#include "tests/devdata/devdata_test_support.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

using testing_support::Bench;
using testing_support::Contains;
using testing_support::EndsWith;

namespace {

constexpr uint32_t kRegion4 = 0x1500; // 16 bytes

} // namespace

TEST(DevDataRegionWrite, RegionFourKeepsItsPrefixAndTheRestoreBringsAllBack)
{
    Bench bench;
    std::vector<uint8_t> before = calsim::DevDataSection(0);
    int result = 1;
    EXPECT_EQ(bench.Run(CmdWriteDevDataRegionByID, "4 1 10 1 1\n", &result),
              "\nWriteDevDataRegionSizeByID:\n"
              "Enter region ID (dec)             ? "
              "\n    Auto Device Data key (1=yes/0=no) ? "
              "\nDevData region size = 16 bytes\n"
              "\nNumber of bytes returned by ReadDevDataRegionByID = 16 bytes\n"
              "\nNumber of bytes to write (<= 16): "
              "\nLeaving the first 3 bytes unchanged.\n"
              "Writing random data = 7 bytes\n"
              "\nNumber of bytes actually written by WriteDevDataRegionByID = 10\n"
              "\n    Verify write     (1=yes/0=no) ? "
              "\nNumber of bytes returned by ReadDevDataRegionByID = 16 bytes\n"
              "\n\n0 verify errors.\n"
              "\n    Restore contents (1=yes/0=no) ? "
              "\nRestoring original Device Data values ... \n"
              "\n    Number of bytes actually written = 16\n"
              "\nWriteDevDataRegionByID was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calsim::DevDataSection(0), before);
    EXPECT_EQ(calsim::CallCount("RequestDevDataWriteKey"), 2);

    SeedRandom(5);
    bench.Run(CmdWriteDevDataRegionByID, "4 1 10 0 0\n", &result);
    SeedRandom(5);
    std::vector<uint8_t> expected = {0xA4, 0x00, 0x06};
    for (int i = 0; i < 7; ++i)
        expected.push_back(static_cast<uint8_t>(NextRandom15()));
    expected.resize(16, 0x00);
    EXPECT_EQ(devdata_test::SectionBytes(0, kRegion4, 16), expected);
}

TEST(DevDataRegionWrite, CountsAboveTheSizeOrBelowThePrefix)
{
    Bench bench;
    int result = 1;
    std::string out = bench.Run(CmdWriteDevDataRegionByID, "2 1 5000 0 0\n", &result);
    EXPECT_TRUE(Contains(out, "(<= 1024): Writing random data = 1024 bytes\n"
                              "\nNumber of bytes actually written by WriteDevDataRegionByID = 1024\n"));
    EXPECT_EQ(result, 0);

    // A count of 1 still covers the prefix: the device would clear it otherwise.
    std::vector<uint8_t> prefix = devdata_test::SectionBytes(0, kRegion4, 3);
    out = bench.Run(CmdWriteDevDataRegionByID, "4 1 1 1 0\n", &result);
    EXPECT_TRUE(Contains(out, "\nLeaving the first 3 bytes unchanged.\nWriting random data = 0 bytes\n"
                              "\nNumber of bytes actually written by WriteDevDataRegionByID = 3\n"));
    EXPECT_TRUE(Contains(out, "\n\n0 verify errors.\n"));
    EXPECT_EQ(devdata_test::SectionBytes(0, kRegion4, 3), prefix);

    // A region of two bytes keeps both and writes nothing outside them.
    calsim::SetDevDataRegionSize(4, 2);
    out = bench.Run(CmdWriteDevDataRegionByID, "4 1 9 1 1\n", &result);
    EXPECT_TRUE(Contains(out, "(<= 2): \nLeaving the first 2 bytes unchanged.\nWriting random data = 0 bytes\n"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(devdata_test::SectionBytes(0, kRegion4, 3), prefix);
}

// Verify errors do not stop the region restore; the command still fails.
TEST(DevDataRegionWrite, VerifyErrorsAreRestoredOverAndFail)
{
    Bench bench;
    std::vector<uint8_t> before = calsim::DevDataSection(0);
    calsim::CorruptDevDataReads(kRegion4 + 12, 0x40, 1, 1); // the read-back only
    int result = 1;
    std::string out = bench.Run(CmdWriteDevDataRegionByID, "4 1 10 1 1\n", &result);
    EXPECT_TRUE(EndsWith(out, "= 16 bytes\n\n0000000C: Wrote 00 - Read back 40 - Verify ERROR"
                              "\n\n1 verify errors.\n"
                              "\n    Restore contents (1=yes/0=no) ? "
                              "\nRestoring original Device Data values ... \n"
                              "\n    Number of bytes actually written = 16\n"));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(calsim::DevDataSection(0), before);
}

// A read-back that misses bytes counts each as an error.
TEST(DevDataRegionWrite, ShortReadBack)
{
    Bench bench;
    calsim::ShortenRegionReads(4, 1, 1);
    int result = 1;
    std::string out = bench.Run(CmdWriteDevDataRegionByID, "4 1 16 1 0\n", &result);
    EXPECT_TRUE(EndsWith(out, "\nNumber of bytes returned by ReadDevDataRegionByID = 12 bytes\n"
                              "\n0000000C: 4 bytes not read back - Verify ERROR\n\n4 verify errors.\n"
                              "\n    Restore contents (1=yes/0=no) ? "));
    EXPECT_EQ(result, -1);
}
