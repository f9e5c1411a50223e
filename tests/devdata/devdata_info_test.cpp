// Device Data information and management commands on the simulated device.
#include "calsim/control_devdata.h"
#include "devdata/devdata_info.h"
#include "devdata/devdata_read.h"
#include "devdata/devdata_write.h"
#include "tests/devdata/devdata_test_support.h"
#include "tests/support/console_harness.h"

#include <vector>

using devdata_test::Contains;
using testing_support::Bench;

namespace {

const char *const kLabels[10] = {"Compatibility", "      RF", "     PHY", "     MAC",    "     CAL",
                                 "      HW",      "     MIB", "Security", "  OMA DM", "(Unused)"};

// Writes bytes straight into the memory the current NVM mode reaches.
void WriteWithKey(Bench &bench, uint32_t address, const std::vector<uint8_t> &bytes)
{
    uint32_t written = 0;
    uint32_t key = RequestDevDataWriteKey(bench.handle());
    ASSERT_EQ(WriteDevDataBytes(bench.handle(), key, bytes.data(), static_cast<uint32_t>(bytes.size()), address,
                                &written),
              nullptr);
}

} // namespace

TEST(DevDataInfo, PerBlockReportsShowAtMostTenBlocksAndErrorsLast)
{
    Bench bench;
    calsim::ForceDevDataBlockCount(12);
    std::string expected = "\nAreDevDataChecksumsValidArray:\n";
    for (const char *label : kLabels)
        expected += std::string("    ") + label + " checksum is  VALID\n";
    expected += " 10 Device Data blocks found.\n\nAreDevDataChecksumsValidArray was SUCCESSFUL.\n";
    int result = 1;
    EXPECT_EQ(bench.Run(CmdAreDevDataChecksumsValidArray, "", &result), expected);
    EXPECT_EQ(result, 0);

    calsim::ForceDevDataBlockCount(0);
    EXPECT_EQ(bench.Run(CmdGetDevDataChecksumsArray),
              "\nGetDevDataChecksumsArray:\n  0 Device Data blocks found.\n\nGetDevDataChecksumsArray was SUCCESSFUL.\n");

    calsim::FailOperation("GetDevDataChecksumsArray", "Checksum table busy");
    EXPECT_EQ(bench.Run(CmdGetDevDataChecksumsArray, "", &result),
              "\nGetDevDataChecksumsArray:\n\nERROR: Checksum table busy\n");
    EXPECT_EQ(result, -1);
}

// The checksums are those of the image the device loaded last: a write
// shows after LoadDevData, not before.
TEST(DevDataInfo, ChecksumsFollowTheBytesWrittenOnceLoaded)
{
    Bench bench;
    std::string before = bench.Run(CmdGetDevDataChecksumsArray);
    WriteWithKey(bench, 0x0200, {0xDE, 0xAD});
    EXPECT_EQ(bench.Run(CmdGetDevDataChecksumsArray), before);

    int result = 1;
    EXPECT_EQ(bench.Run(CmdLoadDevData, "1\n", &result), "\nLoadDevData:\n"
                                                          "    Load mode: 0=Unchanged; 1=From NVM; 2=From DDR\n"
                                                          "    Device Data address ? "
                                                          "\nLoadDevData was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    std::string after = bench.Run(CmdGetDevDataChecksumsArray);
    EXPECT_NE(after, before);
    std::string valid = bench.Run(CmdAreDevDataChecksumsValidArray);
    EXPECT_TRUE(Contains(valid, "      RF checksum is NOT VALID\n"));
    EXPECT_TRUE(Contains(valid, "     PHY checksum is  VALID\n"));
    EXPECT_EQ(bench.Run(CmdIsDevDataValid), "\nIsDevDataValid:\n    Device Data checksum is NOT VALID\n"
                                            "\nIsDevDataValid was SUCCESSFUL.\n");
    EXPECT_TRUE(Contains(bench.Run(CmdLoadDevData, "3\n", &result), "\nERROR: Invalid load mode 3 (0 to 2)\n"));
    EXPECT_EQ(result, -1);
}

// NVM mode 1: writes go to the buffer in device memory, load mode 2 takes
// it, load mode 1 brings the NVM contents back; the NVM is never touched.
TEST(DevDataInfo, BufferedNvmModeAndTheTwoLoadModes)
{
    Bench bench;
    std::vector<uint8_t> nvm = calsim::DevDataSection(0);
    std::string clean = bench.Run(CmdAreDevDataChecksumsValidArray);
    calsim::ForceOptionValue(TAVREL_OPTION_NVM_MODE, 1);
    WriteWithKey(bench, 0x0200, std::vector<uint8_t>(calsim::kDevDataImageSize - 0x200, 0));
    EXPECT_EQ(calsim::DevDataSection(0), nvm);

    bench.Run(CmdLoadDevData, "2\n");
    std::string zeroed = bench.Run(CmdAreDevDataChecksumsValidArray);
    EXPECT_TRUE(Contains(zeroed, "    Compatibility checksum is  VALID\n"));
    EXPECT_TRUE(Contains(zeroed, "    (Unused) checksum is NOT VALID\n"));
    EXPECT_EQ(bench.Run(CmdIsCalibrationValid), "\nIsCalibrationValid:\n    Calibration state = NOT VALID\n"
                                                "\nIsCalibrationValid was SUCCESSFUL.\n");

    bench.Run(CmdLoadDevData, "1\n");
    EXPECT_EQ(bench.Run(CmdAreDevDataChecksumsValidArray), clean);
    EXPECT_EQ(calsim::DevDataBuffer(), std::vector<uint8_t>(nvm.begin(), nvm.begin() + calsim::kDevDataImageSize));
}

TEST(DevDataInfo, StampMacSizesAndCodedNames)
{
    Bench bench;
    EXPECT_EQ(bench.Run(CmdGetCalibrationInfo), "\nGetCalibrationInfo:\n"
                                                "    Cal flag    = 1\n"
                                                "    Vendor ID   = 2A\n"
                                                "    Cal date    = 09/10/23\n"
                                                "    Cal time    = 14:35:07\n"
                                                "    SW Version  = 03.05.00\n"
                                                "\nGetCalibrationInfo was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdGetMACAddress),
              "\nGetMACAddress:\n    MAC address = 00:1D:88:4C:21:07\n\nGetMACAddress was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdGetDevDataSize),
              "\nGetDevDataSize:\n    Device Data size = 32768 bytes\n\nGetDevDataSize was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdGetDevDataInfo), "\nGetDevDataInfo:\n"
                                            "    NVM type         = Flash (1)\n"
                                            "    Device Data size = 32768 bytes\n"
                                            "    Flash map type   = Flash 2.x (2)\n"
                                            "\nGetDevDataInfo was SUCCESSFUL.\n");
    calsim::SetDevDataInfo(5, -1, 3);
    std::string odd = bench.Run(CmdGetDevDataInfo);
    EXPECT_TRUE(Contains(odd, "    NVM type         = INVALID VALUE (5)\n"
                              "    Device Data size = -1 bytes\n"
                              "    Flash map type   = INVALID VALUE (3)\n"));
    calsim::SetDevDataInfo(0, 8192, 0);
    EXPECT_TRUE(Contains(bench.Run(CmdGetDevDataInfo), "= EEPROM (0)\n    Device Data size = 8192 bytes\n"
                                                       "    Flash map type   = Not applicable (0)\n"));
    int result = 0;
    EXPECT_EQ(bench.Run(CmdGetFlash2xDevDataInfo, "", &result),
              "\nGetFlash2xDevDataInfo:\n\nERROR: Device Data is not held in a Flash 2.x map\n");
    EXPECT_EQ(result, -1);
}

TEST(DevDataInfo, Flash2xSectionsCopySelectAndSectorSize)
{
    Bench bench;
    const std::string heading = "\nGetFlash2xDevDataInfo:\n  Section    Bitmap    Present  Valid  Read-Only  Active\n";
    EXPECT_EQ(bench.Run(CmdGetFlash2xDevDataInfo), heading +
                                                       "     0        0x0B        X       X                  X\n"
                                                       "     1        0x07        X       X        X          \n"
                                                       "     2        0x01        X                           \n"
                                                       "\nGetFlash2xDevDataInfo was SUCCESSFUL.\n");
    // An erased section cannot become active; a copy makes it valid.
    int result = 0;
    EXPECT_TRUE(Contains(bench.Run(CmdSelectActiveDevDataSection, "2\n", &result), "holds no valid image"));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(bench.Run(CmdCopyDevDataSection, "0 2 65536 0\n", &result),
              "\nCopyDevDataSection:\n"
              "    Source device data section (0-2) ? "
              "    Target device data section (0-2) ? "
              "    Number of bytes to copy (dec)    ? "
              "    Starting offset in section (hex) ? "
              "\nCopyDevDataSection was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calsim::DevDataSection(2), calsim::DevDataSection(0));
    EXPECT_EQ(bench.Run(CmdSelectActiveDevDataSection, "2\n", &result),
              "\nSelectActiveDevDataSection:\n    Device data section (0-2) ? "
              "\nSelectActiveDevDataSection was SUCCESSFUL.\n");
    std::string table = bench.Run(CmdGetFlash2xDevDataInfo);
    EXPECT_TRUE(Contains(table, "     0        0x03        X       X                   \n"));
    EXPECT_TRUE(Contains(table, "     2        0x0B        X       X                  X\n"));

    EXPECT_TRUE(Contains(bench.Run(CmdCopyDevDataSection, "0 1 16 0\n", &result),
                         "\nERROR: Device Data section 1 is read-only\n"));
    EXPECT_TRUE(Contains(bench.Run(CmdCopyDevDataSection, "0 2 0 0\n"), "\nERROR: Copy range of 0 bytes"));
    EXPECT_TRUE(Contains(bench.Run(CmdSelectCurrentDevDataSection, "3\n", &result),
                         "\nERROR: Invalid Device Data section 3 (0 to 2)\n"));
    EXPECT_EQ(result, -1);

    // The current section decides where the reads act.
    calsim::PokeDevDataSection(1, 0x40, {0x5A, 0xA5});
    bench.Run(CmdSelectCurrentDevDataSection, "1\n", &result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Contains(bench.Run(CmdReadDevDataBytes, "40 2\n"), "0040:  5A A5\n"));

    EXPECT_EQ(bench.Run(CmdInitializeFlash, "5000\n", &result),
              "\nInitializeFlash:\n    Desired flash memory sector size (bytes) ? "
              "    Actual flash memory sector size = 8192 bytes\n\nInitializeFlash was SUCCESSFUL.\n");
    EXPECT_EQ(calsim::FlashSectorSize(), 8192u);
    EXPECT_TRUE(Contains(bench.Run(CmdInitializeFlash, "0\n", &result), "\nERROR: Flash sector size 0 not supported"));
    EXPECT_EQ(result, -1);
}

TEST(DevDataInfo, EveryHandlerIsSilentWithoutAHandle)
{
    Bench bench;
    const CommandHandler handlers[] = {
        CmdLoadDevData,           CmdIsDevDataValid,           CmdAreDevDataChecksumsValidArray,
        CmdGetDevDataChecksumsArray, CmdIsCalibrationValid,    CmdGetCalibrationInfo,
        CmdGetMACAddress,         CmdGetDevDataSize,           CmdGetDevDataInfo,
        CmdGetFlash2xDevDataInfo, CmdSelectActiveDevDataSection, CmdInitializeFlash,
        CmdSelectCurrentDevDataSection, CmdCopyDevDataSection, CmdReadDevDataBlock,
        CmdReadDevDataBytes,      CmdGetDevDataRegionSizeByID, CmdReadDevDataRegionByID,
        CmdRequestDevDataWriteKey, CmdWriteDevDataBlock,       CmdWriteDevDataBytes,
        CmdWriteFlash2xBytesWithHeader, CmdWriteDevDataRegionByID};
    for (CommandHandler handler : handlers) {
        std::string out = bench.RunCode([&] { EXPECT_EQ(handler(nullptr), -1); }, "1 1 1 1\n");
        EXPECT_EQ(out, "");
    }
}
