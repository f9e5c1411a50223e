// Device Data information, management and read commands on the simulated
// device: one session through their texts (odd block counts and device
// variants, the Flash 2.x sections, hex dumps, sizes of 0, refusals, short
// regions) compared whole with its recording; what must not reach the
// library; and how the loaded image follows writes and load modes.
#include "calsim/control_devdata.h"
#include "devdata/devdata_info.h"
#include "devdata/devdata_read.h"
#include "devdata/devdata_write.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <vector>

using testing_support::Bench;
using testing_support::Contains;
using testing_support::RunSession;

namespace {

const testing_support::SessionStep kSession[] = {
    // At most ten blocks are listed whatever the count; none at all.
    {[] { calsim::ForceDevDataBlockCount(12); }, CmdAreDevDataChecksumsValidArray, ""},
    {[] { calsim::ForceDevDataBlockCount(0); }, CmdGetDevDataChecksumsArray, ""},
    {[] { calsim::SetDevDataInfo(5, -1, 3); }, CmdGetDevDataInfo, ""},
    {[] { calsim::SetDevDataInfo(0, 8192, 0); }, CmdGetDevDataInfo, ""},
    {[] { calsim::SetDevDataInfo(1, 65536, 1); }, CmdGetDevDataInfo, ""},
    {nullptr, CmdGetFlash2xDevDataInfo, ""}, // not a Flash 2.x map
    {[] {
         calsim::SetDevDataInfo(1, 32768, 2);
         calsim::PokeDevDataSection(0, 0x100, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
     },
     CmdGetFlash2xDevDataInfo, ""},
    {nullptr, CmdLoadDevData, "3\n"},
    // An erased section cannot become active; a copy makes it valid.
    {nullptr, CmdSelectActiveDevDataSection, "2\n"},
    {nullptr, CmdCopyDevDataSection, "0 2 65536 0\n"},
    {nullptr, CmdSelectActiveDevDataSection, "2\n"},
    {nullptr, CmdGetFlash2xDevDataInfo, ""},
    {nullptr, CmdCopyDevDataSection, "0 1 16 0\n"},
    {nullptr, CmdSelectCurrentDevDataSection, "3\n"},
    // The current section decides where the reads act.
    {[] {
         calsim::PokeDevDataSection(1, 0x40, {0x5A, 0xA5});
     },
     CmdSelectCurrentDevDataSection, "1\n"},
    {nullptr, CmdReadDevDataBytes, "40 2\n"},
    {nullptr, CmdSelectCurrentDevDataSection, "0\n"},
    {nullptr, CmdInitializeFlash, "5000\n"},
    {nullptr, CmdInitializeFlash, "0\n"},
    // Four bytes per word (the bytes 0 to 19 at 0x100), labelled from the
    // address; a read of 0 bytes.
    {nullptr, CmdReadDevDataBlock, "100 5\n"},
    {nullptr, CmdReadDevDataBytes, "0 0\n"},
    {nullptr, CmdReadDevDataBytes, "fff0 17\n"},
    {nullptr, CmdReadDevDataBlock, "0 1073741824\n"}, // 4 GB: refused
    {nullptr, CmdGetDevDataRegionSizeByID, "4\n"},
    {nullptr, CmdReadDevDataRegionByID, "4\n"},
    {[] { calsim::ShortenRegionReads(10); }, CmdReadDevDataRegionByID, "4\n"}, // only the bytes returned
    {nullptr, CmdReadDevDataRegionByID, "12\n"},
    {[] { calsim::SetDevDataRegionSize(3, -5); }, CmdReadDevDataRegionByID, "3\n"},
    {[] { calsim::SetDevDataRegionSize(3, 0); }, CmdReadDevDataRegionByID, "3\n"},
    {[] { calsim::FailOperation("ReadDevDataRegionByID", "Region locked"); }, CmdReadDevDataRegionByID, "2\n"},
    {[] { calsim::FailOperation("GetDevDataChecksumsArray", "Checksum table busy"); }, CmdGetDevDataChecksumsArray, ""},
};

} // namespace

TEST(DevDataInfoRead, SessionThroughTheTextsMatchesTheRecording)
{
    Bench bench;
    testing_support::ExpectMatchesTranscript("devdata_session.txt", RunSession(bench, kSession));
    EXPECT_EQ(calsim::DevDataSection(2), calsim::DevDataSection(0)); // the copy
    EXPECT_EQ(calsim::FlashSectorSize(), 8192u);
}

// Sizes that cannot be read and regions that do not exist stop before the
// library is asked for data.
TEST(DevDataInfoRead, RefusedReadsNeverReachTheLibrary)
{
    Bench bench;
    bench.Run(CmdReadDevDataBlock, "0 1073741824\n");
    EXPECT_EQ(calsim::CallCount("ReadDevDataBlock"), 0);
    bench.Run(CmdReadDevDataRegionByID, "12\n");
    calsim::SetDevDataRegionSize(3, -5);
    bench.Run(CmdReadDevDataRegionByID, "3\n");
    EXPECT_EQ(calsim::CallCount("ReadDevDataRegionByID"), 0);
}

namespace {

// Writes bytes straight into the memory the current NVM mode reaches.
void WriteWithKey(Bench &bench, uint32_t address, const std::vector<uint8_t> &bytes)
{
    uint32_t written = 0;
    uint32_t key = RequestDevDataWriteKey(bench.handle());
    ASSERT_EQ(
        WriteDevDataBytes(bench.handle(), key, bytes.data(), static_cast<uint32_t>(bytes.size()), address, &written),
        nullptr);
}

} // namespace

// The checksums are those of the image the device loaded last: a write
// shows after LoadDevData, not before. In NVM mode 1 writes go to the
// buffer, load mode 2 takes it and load mode 1 brings the NVM back.
TEST(DevDataInfoRead, ChecksumsFollowTheLoadedImage)
{
    Bench bench;
    std::string clean = bench.Run(CmdAreDevDataChecksumsValidArray);
    WriteWithKey(bench, 0x0200, {0xDE, 0xAD});
    EXPECT_EQ(bench.Run(CmdAreDevDataChecksumsValidArray), clean);
    bench.Run(CmdLoadDevData, "1\n");
    std::string written = bench.Run(CmdAreDevDataChecksumsValidArray);
    EXPECT_TRUE(Contains(written, "      RF checksum is NOT VALID\n"));
    EXPECT_TRUE(Contains(written, "     PHY checksum is  VALID\n"));
    EXPECT_EQ(bench.Run(CmdIsDevDataValid), "\nIsDevDataValid:\n    Device Data checksum is NOT VALID\n"
                                            "\nIsDevDataValid was SUCCESSFUL.\n");

    std::vector<uint8_t> nvm = calsim::DevDataSection(0);
    calsim::ForceOptionValue(TAVREL_OPTION_NVM_MODE, 1);
    WriteWithKey(bench, 0x0200, std::vector<uint8_t>(calsim::kDevDataImageSize - 0x200, 0));
    EXPECT_EQ(calsim::DevDataSection(0), nvm);
    bench.Run(CmdLoadDevData, "2\n");
    EXPECT_TRUE(Contains(bench.Run(CmdAreDevDataChecksumsValidArray), "    (Unused) checksum is NOT VALID\n"));
    EXPECT_EQ(bench.Run(CmdIsCalibrationValid), "\nIsCalibrationValid:\n    Calibration state = NOT VALID\n"
                                                "\nIsCalibrationValid was SUCCESSFUL.\n");
    bench.Run(CmdLoadDevData, "1\n");
    EXPECT_EQ(bench.Run(CmdAreDevDataChecksumsValidArray), written);
    EXPECT_EQ(calsim::DevDataBuffer(), std::vector<uint8_t>(nvm.begin(), nvm.begin() + calsim::kDevDataImageSize));
}

TEST(DevDataInfoRead, EveryHandlerIsSilentWithoutAHandle)
{
    Bench bench;
    const CommandHandler handlers[] = {CmdLoadDevData,
                                       CmdIsDevDataValid,
                                       CmdAreDevDataChecksumsValidArray,
                                       CmdGetDevDataChecksumsArray,
                                       CmdIsCalibrationValid,
                                       CmdGetCalibrationInfo,
                                       CmdGetMACAddress,
                                       CmdGetDevDataSize,
                                       CmdGetDevDataInfo,
                                       CmdGetFlash2xDevDataInfo,
                                       CmdSelectActiveDevDataSection,
                                       CmdInitializeFlash,
                                       CmdSelectCurrentDevDataSection,
                                       CmdCopyDevDataSection,
                                       CmdReadDevDataBlock,
                                       CmdReadDevDataBytes,
                                       CmdGetDevDataRegionSizeByID,
                                       CmdReadDevDataRegionByID,
                                       CmdRequestDevDataWriteKey,
                                       CmdWriteDevDataBlock,
                                       CmdWriteDevDataBytes,
                                       CmdWriteFlash2xBytesWithHeader,
                                       CmdWriteDevDataRegionByID};
    std::size_t calls = calsim::CallLog().size();
    for (CommandHandler handler : handlers) {
        std::string out = bench.RunCode([&] { EXPECT_EQ(handler(nullptr), -1); }, "1 1 1 1\n");
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(calsim::CallLog().size(), calls);
}
