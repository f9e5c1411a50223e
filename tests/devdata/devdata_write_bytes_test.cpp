// The byte write and the Flash 2.x write with DSD header.
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

const char kBytesHead[] = "\nWrite Device Data Bytes:\n    NVM mode is 0\n\nBytes to be written:\n"
                          "    Device Data address (hex) ?     Size in bytes (dec)       ? ";

const char kFlashHead[] = "\nWrite Device Data Bytes:\n    NVM mode is 0\n\nBytes to be written:\n"
                          "    Flash memory offset (hex) ?     Size in bytes (dec)       ? "
                          "\nFlash 2.X write mode:\n"
                          "    1 = Fill space between data block and DSD header with 0xFF\n"
                          "    2 = Retain existing flash data between data block and DSD header\n\n"
                          "    Enter write mode (1-2)     ? "
                          "\nFlash 2.X DSD header information:\n"
                          "    DSD size in kB (1-63)      ?     DSD priority (0-10)        ? ";

constexpr uint32_t kHeader = calsim::kDsdHeaderOffset;

} // namespace

TEST(DevDataByteWrite, WithoutRestoreNothingIsReadBeforeTheWrite)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdWriteDevDataBytes, "20 3 1 0 2 fe 1 1\n", &result),
              std::string(kBytesHead) + "\n    Auto Device Data key (1=yes/0=no) ? "
                                        "\n    Restore contents (1=yes/0=no) ? "
                                        "\n    Data pattern (0=user 1=random 2=increment 3=constant) ? "
                                        "    Starting value (hex) ?     Increment      (hex) ? "
                                        "\nWrote 3 bytes to dev data memory\n"
                                        "\n    Verify write     (1=yes/0=no) ? "
                                        "\nRead 3 bytes from dev data memory\n"
                                        "\n\n0 verify errors.\n"
                                        "\nTestWriteDevDataBytes was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(devdata_test::SectionBytes(0, 0x20, 3), (std::vector<uint8_t>{0xFE, 0xFF, 0x00}));
    EXPECT_EQ(calsim::CallCount("ReadDevDataBytes"), 1);
}

TEST(DevDataByteWrite, WithRestoreSavesFirstAndPutsTheBytesBack)
{
    Bench bench;
    std::vector<uint8_t> before = calsim::DevDataSection(0);
    int result = 1;
    std::string out = bench.Run(CmdWriteDevDataBytes, "30 2 1 1 0 1ff 7 1\n", &result);
    EXPECT_TRUE(Contains(out, "\n    Restore contents (1=yes/0=no) ? "
                              "\nRead 2 bytes from dev data memory\n"
                              "\n    Data pattern (0=user 1=random 2=increment 3=constant) ? "
                              "    Byte 1 of 2 (hex) ?     Byte 2 of 2 (hex) ? "
                              "\nWrote 2 bytes to dev data memory\n"));
    EXPECT_TRUE(EndsWith(out, "\n\n0 verify errors.\n"
                              "\nRestoring original Device Data values ... \n"
                              "\nWrote 2 bytes to dev data memory\n"
                              "\nTestWriteDevDataBytes was SUCCESSFUL.\n"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calsim::DevDataSection(0), before);
}

TEST(DevDataByteWrite, RandomBytesAreLowBytesOfTheGenerator)
{
    Bench bench;
    SeedRandom(77);
    bench.Run(CmdWriteDevDataBytes, "40 4 1 0 1 0\n");
    SeedRandom(77);
    std::vector<uint8_t> expected;
    for (int i = 0; i < 4; ++i)
        expected.push_back(static_cast<uint8_t>(NextRandom15()));
    EXPECT_EQ(devdata_test::SectionBytes(0, 0x40, 4), expected);
}

TEST(DevDataByteWrite, VerifyErrorsWarnAndBlockTheRestore)
{
    Bench bench;
    calsim::CorruptDevDataReads(0x51, 0x80, -1);
    int result = 1;
    std::string out = bench.Run(CmdWriteDevDataBytes, "50 2 1 1 3 11 1\n", &result);
    EXPECT_TRUE(EndsWith(out, "\nRead 2 bytes from dev data memory\n"
                              "\nRead back [00000001] = 91 - Expected [00000001] = 11 - Verify ERROR\n"
                              "\n\n1 verify errors.\n"
                              "\nWARNING: Original data not restored, because verify error count > 0.\n"));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(devdata_test::SectionBytes(0, 0x50, 2), (std::vector<uint8_t>{0x11, 0x11}));
}

// The example of the Flash 2.x write: every byte of the 64 KB image checked.
TEST(DevDataFlash2xWrite, WriteModeOneErasesTheGapAndLaysTheHeader)
{
    Bench bench;
    std::vector<uint8_t> old = calsim::DevDataSection(0);
    int result = 1;
    EXPECT_EQ(bench.Run(CmdWriteFlash2xBytesWithHeader, "100 16 1 4 3 1 0 3 ab 1\n", &result),
              std::string(kFlashHead) +
                  "\n    Auto Device Data key (1=yes/0=no) ? "
                  "\n    Restore contents (1=yes/0=no) ? "
                  "\nRead 65536 bytes from dev data memory\n"
                  "\n    Data pattern (0=user 1=random 2=increment 3=constant) ?     Constant value (hex) ? "
                  "\nWrote 16 bytes to dev data memory\n"
                  "\n    Verify write     (1=yes/0=no) ? "
                  "\nRead 65536 bytes from dev data memory\n"
                  "\n\n0 verify errors.\n"
                  "\nTestWriteFlash2xBytesWithHeader was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    std::vector<uint8_t> image = calsim::DevDataSection(0);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x100, old.begin()));
    EXPECT_EQ(devdata_test::SectionBytes(0, 0x100, 16), std::vector<uint8_t>(16, 0xAB));
    EXPECT_EQ(devdata_test::SectionBytes(0, 0x110, kHeader - 0x110), std::vector<uint8_t>(kHeader - 0x110, 0xFF));
    EXPECT_EQ(devdata_test::SectionBytes(0, kHeader, 12),
              (std::vector<uint8_t>{0, 0, 0x10, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 3}));
    EXPECT_EQ(devdata_test::SectionBytes(0, kHeader + 12, 1008), std::vector<uint8_t>(1008, 0xFF));
    EXPECT_EQ(devdata_test::SectionBytes(0, calsim::kDevDataSectionSize - 4, 4),
              (std::vector<uint8_t>{0xA7, 0xC3, 0x0D, 0x5D}));
}

TEST(DevDataFlash2xWrite, WriteModeTwoKeepsTheGapAndAnErasedByteThereIsAnError)
{
    Bench bench;
    std::vector<uint8_t> old = calsim::DevDataSection(0);
    int result = 1;
    bench.Run(CmdWriteFlash2xBytesWithHeader, "100 16 2 4 3 1 0 3 ab 1\n", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(devdata_test::SectionBytes(0, 0x110, kHeader - 0x110),
              std::vector<uint8_t>(old.begin() + 0x110, old.begin() + kHeader));

    // In mode 1 a gap byte that does not read back as 0xFF is one error.
    calsim::CorruptDevDataReads(0x200, 0x01, -1);
    std::string out = bench.Run(CmdWriteFlash2xBytesWithHeader, "100 16 1 4 3 1 0 3 ab 1\n", &result);
    EXPECT_TRUE(EndsWith(out, "\nRead back [00000200] = FE - Expected FF - Verify ERROR\n\n\n1 verify errors.\n"));
    EXPECT_EQ(result, -1);
}

// A block ending exactly at the header: the overwrite line, no gap, and
// the header is still checked; a wrong priority word alone counts 4 and
// blocks the restore.
TEST(DevDataFlash2xWrite, BlockEndingAtTheHeaderAndAWrongHeaderWord)
{
    Bench bench;
    calsim::CorruptDevDataReads(kHeader + 11, 0x01, 2); // save and verify reads
    int result = 1;
    std::string out = bench.Run(CmdWriteFlash2xBytesWithHeader, "fbf0 16 1 4 3 1 1 3 5 1\n", &result);
    EXPECT_TRUE(EndsWith(out, "\nRead 65536 bytes from dev data memory\n"
                              "ERROR: Attempt to overwrite the Flash 2.x header block at offset = 63*1024\n"
                              "Header DSDImagePriority verify error:    Read back 00000002 - Expected 00000003\n"
                              "\n\n4 verify errors.\n"
                              "\nWARNING: Original data not restored, because verify error count > 0.\n"));
    EXPECT_EQ(result, -1);
}

TEST(DevDataFlash2xWrite, WrongSizeAndMagicWordsAreReported)
{
    Bench bench;
    calsim::CorruptDevDataReads(kHeader + 2, 0x20, 2);
    calsim::CorruptDevDataReads(0xFFFF, 0xFF, 2);
    std::string out = bench.Run(CmdWriteFlash2xBytesWithHeader, "0 4 1 4 3 1 0 3 5 1\n");
    EXPECT_TRUE(EndsWith(out, "\nRead 65536 bytes from dev data memory\n"
                              "Header DSDImageSize verify error:        Read back 00003000 - Expected 00001000\n"
                              "Header DSDImageMagicNumber verify error: Read back A7C30DA2 - Expected A7C30D5D\n"
                              "\n\n8 verify errors.\n"));
}
