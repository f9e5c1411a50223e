// Device Data read commands: words or bytes at an address, a region's
// size, a region's contents; shown with the hex dump.
#include "devdata/devdata_read.h"
#include "console/text_layout.h"

#include "console/handler.h"
#include "console/run_events.h"
#include "devdata/devdata_common.h"

#include <algorithm>

namespace {

// The word and the byte read differ in title, note, unit and operation.
int ReadAtAddress(TavrelCalHandle handle, bool words)
{
    if (handle == nullptr)
        return -1;
    if (words) {
        con::Print("\nRead Device Data Block:\n");
        con::Print("\nNote: Block size is the number of 32-bit unsigned integers (not bytes).\n");
    } else {
        con::Print("\nRead Device Data Bytes:\n");
        con::Print("\nNote: Block size is the number of bytes.\n");
    }
    uint32_t address = con::AskHex("    Device Data address (hex) ? ");
    uint32_t size = con::AskUnsigned("    Block size (dec)          ? ");
    // A word count whose byte count exceeds 32 bits is refused here too.
    uint64_t bytes = words ? 4ull * size : size;
    devdata::WorkBuffer buffer;
    if (!buffer.Allocate(bytes, 1))
        return devdata::ReportAllocationFailure();
    const char *error = words ? ReadDevDataBlock(handle, buffer.Words(0), size, address)
                              : ReadDevDataBytes(handle, buffer.Part(0), size, address);
    if (error != nullptr)
        return ReportError(error);
    con::Print("\n\nResults returned:\n");
    PrintHexDump(buffer.Part(0), address, static_cast<uint32_t>(bytes));
    // One name whatever the address typed: the address is an input, not a result.
    if (words)
        results::MeasureSeries("Device Data block", buffer.Words(0), size);
    else
        results::MeasureSeries("Device Data bytes", buffer.Part(0), size);
    return ReportSuccess(words ? "ReadDevDataBlock" : "ReadDevDataBytes");
}

} // namespace

int CmdReadDevDataBlock(TavrelCalHandle handle)
{
    return ReadAtAddress(handle, true);
}

int CmdReadDevDataBytes(TavrelCalHandle handle)
{
    return ReadAtAddress(handle, false);
}

int CmdGetDevDataRegionSizeByID(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetDevDataRegionSizeByID:\n");
    int32_t region = con::AskSigned("Enter region ID (dec) ? ");
    int32_t size = 0;
    if (const char *error = GetDevDataRegionSizeByID(handle, region, &size))
        return ReportError(error);
    con::Print("    Device Data region size = %d bytes\n", size);
    results::Measure(devdata::RegionMeasureName(region, "size"), size, "bytes");
    return ReportSuccess("GetDevDataRegionSizeByID");
}

int CmdReadDevDataRegionByID(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nReadDevDataRegionByID:\n");
    int32_t region = con::AskSigned("Enter region ID (dec) ? ");
    int32_t size = 0;
    devdata::WorkBuffer buffer;
    if (devdata::AllocateRegionBuffer(handle, region, 1, buffer, size) != 0)
        return -1;
    uint32_t returned = 0;
    if (const char *error = ReadDevDataRegionByID(handle, region, size, buffer.Part(0), &returned))
        return ReportError(error);
    // Only the bytes returned are shown, and never more than the buffer holds.
    uint32_t shown = std::min(returned, static_cast<uint32_t>(size));
    PrintHexDump(buffer.Part(0), 0, shown);
    results::MeasureSeries(devdata::RegionMeasureName(region, "data"), buffer.Part(0), shown);
    return ReportSuccess("ReadDevDataRegionByID");
}
