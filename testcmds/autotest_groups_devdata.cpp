// Automated test groups for Device Data: the management handlers, then block,
// byte and region reads shown as dumps. A dump is a measurement only when
// its read succeeded; a failed read shows the zeroed buffer.
#include "console/console_io.h"
#include "console/run_events.h"
#include "devdata/devdata_common.h"
#include "devdata/devdata_info.h"
#include "testcmds/automated_test.h"
#include "testcmds/device_mode_stack.h"

#include <algorithm>
#include <memory>
#include <new>

namespace {

constexpr uint32_t kTestBlockBytes = 256;
constexpr uint32_t kTestAddress = 0x200;
constexpr int32_t kFirstRegionId = 1;
constexpr int32_t kLastRegionId = 11;

// Sizes come from the library, so allocation failure is a case to report,
// not an exception. Only the bytes a dump can show are cleared: a region
// buffer may be large.
template <typename T> std::unique_ptr<T[]> Allocate(uint64_t count, uint64_t shown)
{
    std::unique_ptr<T[]> buffer(new (std::nothrow) T[count]);
    if (buffer)
        std::fill(buffer.get(), buffer.get() + std::min(count, shown), T{});
    return buffer;
}

void AllocationFailed()
{
    con::Print("Memory allocation failed.\n");
}

// Bytes sixteen to a line, each line labelled with label + index.
void DumpBytes(const uint8_t *bytes, uint32_t count, uint32_t label)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (i % 16 == 0)
            con::Print("\n%04X: ", label + i);
        con::Print("%02X ", bytes[i]);
    }
}

void BlockReadTest(TavrelCalHandle handle)
{
    constexpr uint32_t kWords = kTestBlockBytes / 4;
    PrintSectionHeader("ReadDevDataBlock");
    con::Print("Test block size = %d bytes\n", static_cast<int32_t>(kTestBlockBytes));
    auto words = Allocate<uint32_t>(kWords, kWords);
    if (!words) {
        AllocationFailed();
        return;
    }
    const char *error = ReadDevDataBlock(handle, words.get(), kWords, kTestAddress);
    PrintIfError(error);
    // The labels count words from 0x200, not bytes.
    for (uint32_t i = 0; i < kWords; ++i) {
        if (i % 4 == 0)
            con::Print("\n%04X: ", kTestAddress + i);
        con::Print("%08X ", words[i]);
    }
    con::Print("\n");
    if (error == nullptr)
        results::MeasureSeries("Device Data block", words.get(), kWords);
}

void ByteReadTest(TavrelCalHandle handle)
{
    PrintSectionHeader("ReadDevDataBytes");
    con::Print("Test block size = %d bytes\n", static_cast<int32_t>(kTestBlockBytes));
    auto bytes = Allocate<uint8_t>(kTestBlockBytes, kTestBlockBytes);
    if (!bytes) {
        AllocationFailed();
        return;
    }
    const char *error = ReadDevDataBytes(handle, bytes.get(), kTestBlockBytes, kTestAddress);
    PrintIfError(error);
    DumpBytes(bytes.get(), kTestBlockBytes, kTestAddress);
    con::Print("\n");
    if (error == nullptr)
        results::MeasureSeries("Device Data bytes", bytes.get(), kTestBlockBytes);
}

void RegionReadTest(TavrelCalHandle handle)
{
    PrintSectionHeader("ReadRegionByID");
    int32_t size = 0;
    uint32_t bytesRead = 0;
    for (int32_t id = kFirstRegionId; id <= kLastRegionId; ++id) {
        // Not printed: the read reports trouble. A recorded run notes a
        // failed query, and its size is no measurement.
        const char *sizeError = GetDevDataRegionSizeByID(handle, id, &size);
        results::LibraryError(sizeError);
        uint32_t byteCount = static_cast<uint32_t>(size);
        con::Print("\nRegion ID = %d - Region size = %u bytes\n", id, byteCount);
        if (sizeError == nullptr)
            results::Measure(devdata::RegionMeasureName(id, "size"), size, "bytes");
        auto region = Allocate<uint8_t>(byteCount, kTestBlockBytes);
        if (!region) {
            AllocationFailed();
            continue;
        }
        const char *readError = ReadDevDataRegionByID(handle, id, size, region.get(), &bytesRead);
        PrintIfError(readError);
        con::Print("Read %u bytes\n", bytesRead);
        if (readError == nullptr)
            results::Measure(devdata::RegionMeasureName(id, "bytes read"), bytesRead, "bytes");
        uint32_t shown = byteCount;
        if (byteCount > kTestBlockBytes) {
            con::Print("Printing only the first %u bytes\n", kTestBlockBytes);
            shown = kTestBlockBytes;
        }
        DumpBytes(region.get(), shown, 0);
        con::Print("\n");
        // The bytes shown that the device returned (beyond them lie the
        // buffer's zeros); element i is the byte at offset i, as in the
        // region read command's whole-region series.
        if (readError == nullptr)
            results::MeasureSeries(devdata::RegionMeasureName(id, "data"), region.get(), std::min(shown, bytesRead));
    }
}

} // namespace

int RunDevDataManagementGroup(TavrelCalHandle handle)
{
    con::Print("\n");
    PushDeviceMode(handle, kModeTxCw, kModulation4Qam);
    PrintSectionHeader("Device Data Management Commands");
    CmdLoadDevData(handle);
    CmdIsDevDataValid(handle);
    CmdAreDevDataChecksumsValidArray(handle);
    CmdGetDevDataChecksumsArray(handle);
    CmdIsCalibrationValid(handle);
    CmdGetCalibrationInfo(handle);
    PrintSectionHeader("GetMACAddress");
    CmdGetMACAddress(handle);
    PopDeviceMode(handle);
    return 0;
}

int RunDevDataReadGroup(TavrelCalHandle handle)
{
    con::Print("\n");
    BlockReadTest(handle);
    ByteReadTest(handle);
    RegionReadTest(handle);
    CmdGetDevDataSize(handle);
    CmdGetDevDataInfo(handle);
    return 0;
}
