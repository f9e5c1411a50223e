// Scripted Device Data tests: a run of single-word writes with fresh keys,
// and a walk through the library's NVM modes (option 7) with the device's
// buffered Device Data image.
#include "console/console_io.h"
#include "console/handler.h"
#include "console/random_word.h"
#include "console/run_events.h"
#include "console/text_layout.h"
#include "devdata/devdata_info.h"
#include "testcmds/device_mode_stack.h"
#include "testcmds/test_commands.h"

#include <vector>

namespace {

constexpr uint32_t kImageWords = 8192; // 32 KB of Device Data from address 0
constexpr uint32_t kWindowWords = 32;  // the 128-byte sample shown after each step
constexpr uint32_t kWindowBytes = kWindowWords * 4;
constexpr uint32_t kNonMiiOffset = 0x200;
constexpr uint32_t kMiiOffset = 0x1000;
constexpr uint32_t kNvmModeDirect = 0;
constexpr uint32_t kNvmModeBufferedNonMii = 1;
constexpr uint32_t kNvmModeBufferedMii = 2;
constexpr uint32_t kLoadFromNvm = 1;
constexpr uint32_t kLoadFromVdm = 2;

const char kEquals20[] = "====================\n";
const char kEquals55[] = "=======================================================\n";

// A library failure ends the NVM mode test where it stands; the last line
// says so, since neither the device mode nor the NVM mode is put back.
int StopNvmTest(const char *error)
{
    ReportError(error);
    con::Print("NVM Mode test stopped.\n");
    return -1;
}

void ChecksumHandlers(TavrelCalHandle handle)
{
    CmdAreDevDataChecksumsValidArray(handle);
    CmdGetDevDataChecksumsArray(handle);
}

void ChecksumReport(TavrelCalHandle handle)
{
    ChecksumHandlers(handle);
    con::Print("\n");
}

const char *LoadAndReport(TavrelCalHandle handle, uint32_t loadMode)
{
    if (loadMode == kLoadFromNvm)
        con::Print("Calling Load Device Data Into Memory (NVM loading mode)\n");
    else
        con::Print("Calling Load Device Data Into Memory (VDM loading mode)\n");
    if (const char *error = LoadDevData(handle, loadMode))
        return error;
    ChecksumReport(handle);
    return nullptr;
}

const char *SetNvmMode(TavrelCalHandle handle, uint32_t mode)
{
    con::Print(kEquals20);
    con::Print("Setting NVM mode = %d\n", static_cast<int32_t>(mode));
    con::Print(kEquals20);
    return SetOptionByID(handle, TAVREL_OPTION_NVM_MODE, mode);
}

// Reads the 128-byte window at the test offset and dumps it.
const char *ShowWindow(TavrelCalHandle handle, uint32_t offset)
{
    uint32_t window[kWindowWords] = {};
    if (const char *error = ReadDevDataBlock(handle, window, kWindowWords, offset))
        return error;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(window);
    PrintHexDump(bytes, offset, kWindowBytes);
    results::MeasureSeries("NVM test window", bytes, kWindowBytes);
    return nullptr;
}

// The buffered image from the test offset to its end, written with a fresh key.
const char *WriteImageTail(TavrelCalHandle handle, const std::vector<uint32_t> &image, uint32_t offset)
{
    uint32_t key = RequestDevDataWriteKey(handle);
    uint32_t first = offset / 4;
    uint32_t written = 0;
    if (const char *error = WriteDevDataBlock(handle, key, image.data() + first, kImageWords - first, offset, &written))
        return error;
    con::Print("Wrote %d bytes\n", static_cast<int32_t>(4 * written));
    results::Measure("Device Data bytes written", 4.0 * written, "bytes");
    return nullptr;
}

const char *SampleBufferAndLoad(TavrelCalHandle handle, uint32_t offset)
{
    con::Print("Reading %d bytes at 0x%04X with CalAPI_rdm_block (from buffer)\n", kWindowBytes, offset);
    if (const char *error = ShowWindow(handle, offset))
        return error;
    con::Print("\n");
    return LoadAndReport(handle, kLoadFromVdm);
}

// The steps after the saved device mode, up to the final VDM load; null when
// all of them succeeded.
const char *RunNvmSteps(TavrelCalHandle handle, bool mii, uint32_t offset)
{
    std::vector<uint32_t> saved(kImageWords, 0u);
    std::vector<uint32_t> zeros(kImageWords, 0u);

    con::Print("Setting device mode to Tx CW\n");
    if (const char *error = SetDeviceMode(handle, kModeTxCw, kModulation4Qam))
        return error;
    if (const char *error = SetNvmMode(handle, kNvmModeDirect))
        return error;
    ChecksumHandlers(handle);
    if (const char *error = LoadAndReport(handle, kLoadFromNvm))
        return error;

    con::Print(kEquals55);
    con::Print("Reading and saving all 32K of Device Data into a buffer\n");
    con::Print(kEquals55);
    if (const char *error = ReadDevDataBlock(handle, saved.data(), kImageWords, 0))
        return error;
    con::Print("Reading %d bytes at 0x%04X with CalAPI_rdm_block (direct from NVM)\n", kWindowBytes, offset);
    if (const char *error = ShowWindow(handle, offset))
        return error;
    if (const char *error = LoadAndReport(handle, kLoadFromNvm))
        return error;

    if (const char *error = SetNvmMode(handle, mii ? kNvmModeBufferedMii : kNvmModeBufferedNonMii))
        return error;
    con::Print("PART 1: Copying NVM Device Data contents to buffer at 1fb00008 (or bfb00008 for MII) starting with "
               "offset 0x%04X\n",
               offset);
    if (const char *error = WriteImageTail(handle, saved, offset))
        return error;
    if (const char *error = SampleBufferAndLoad(handle, offset))
        return error;

    con::Print("PART 2: Copying all zeroes to buffer at 1fb00000 (or bfb00008 for MII) starting with offset 0x%04X\n",
               offset);
    if (const char *error = WriteImageTail(handle, zeros, offset))
        return error;
    return SampleBufferAndLoad(handle, offset);
}

} // namespace

int CmdDevDataWriteTest(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nWARNING: This test will overwrite current Device Data contents\n");
    if (con::AskUnsigned("Continue (0=No or 1=Yes)? ") != 1)
        return 0;
    con::Print("\n");
    con::Print("Please enter the following parameters: \n");
    uint32_t address = con::AskHex("  Starting Device Data address (hex)                      ? ");
    uint32_t count = con::AskUnsigned("  Device Data write block size (decimal, in 32-bit words) ? ");
    con::Print("\n");

    uint32_t failures = 0;
    for (uint32_t done = 0; done < count; ++done) {
        con::Print("%4d: ", static_cast<int32_t>(done + 1));
        uint32_t key = RequestDevDataWriteKey(handle);
        uint32_t word = RandomWord();
        con::Print("Writing 0x%08X at Device Data address 0x%04X ", word, address);
        uint32_t written = 0;
        if (const char *error = WriteDevDataBlock(handle, key, &word, 1, address, &written)) {
            ++failures;
            con::Print("- %s\n", error);
            results::LibraryError(error);
        }
        con::Print("\n");
        address += 4;
    }
    results::Judge(failures == 0, {{"Device Data write errors", double(failures), 0.0, nullptr}});
    con::Print("\nTest result: %d verify errors out of %d Device Data writes\n", static_cast<int32_t>(failures),
               static_cast<int32_t>(count));
    return 0;
}

int CmdNvmModeTest(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    bool mii = con::AskUnsigned("Enter interface type (0=not MII; 1=MII): ") != 0;
    con::Print("Running test for %s interface.\n", mii ? "MII" : "non-MII");
    uint32_t offset = mii ? kMiiOffset : kNonMiiOffset;

    uint32_t savedMode = 0;
    uint32_t savedModulation = 0;
    if (const char *error = GetDeviceMode(handle, &savedMode, &savedModulation))
        return StopNvmTest(error);
    if (const char *error = RunNvmSteps(handle, mii, offset))
        return StopNvmTest(error);
    // The NVM mode stays buffered; only the device mode is put back.
    if (const char *error = SetDeviceMode(handle, savedMode, savedModulation))
        return StopNvmTest(error);
    return 0;
}
