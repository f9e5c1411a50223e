// The region write: overwrites a numbered region with random bytes. Unlike
// the block and byte writes it asks about the restore after the verify and
// restores whatever the verify found.
#include "devdata/devdata_write.h"

#include "console/handler.h"
#include "console/run_events.h"
#include "devdata/devdata_common.h"

#include <algorithm>
#include <cstring>

namespace {

// Region 4 begins with a 3-byte prefix that the write keeps.
constexpr int32_t kPrefixedRegion = 4;
constexpr uint32_t kPrefixBytes = 3;

// Compares what was read back with what the region should now hold: the
// data up to count, zeroes beyond. Bytes the device did not return cannot
// be vouched for and count as errors.
uint32_t VerifyRegion(const uint8_t *readBack, uint32_t returned, const uint8_t *data, uint32_t count, uint32_t size)
{
    uint32_t errors = 0;
    uint32_t compared = std::min(returned, size);
    for (uint32_t i = 0; i < compared; ++i) {
        uint8_t expected = i < count ? data[i] : 0;
        if (readBack[i] != expected) {
            con::Print("\n%08X: Wrote %02X - Read back %02X - Verify ERROR", i, expected, readBack[i]);
            ++errors;
        }
    }
    if (compared < size) {
        con::Print("\n%08X: %u bytes not read back - Verify ERROR", compared, size - compared);
        errors += size - compared;
    }
    return errors;
}

} // namespace

int CmdWriteDevDataRegionByID(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nWriteDevDataRegionSizeByID:\n");
    int32_t region = con::AskSigned("Enter region ID (dec)             ? ");
    uint32_t key = devdata::AskWriteKey(handle);
    int32_t regionSize = 0;
    devdata::WorkBuffer buffer;
    if (devdata::AllocateRegionBuffer(handle, region, 3, buffer, regionSize) != 0)
        return -1;

    uint32_t size = static_cast<uint32_t>(regionSize);
    uint8_t *old = buffer.Part(0);
    uint8_t *data = buffer.Part(1);
    uint8_t *readBack = buffer.Part(2);

    uint32_t returned = 0;
    if (const char *error = ReadDevDataRegionByID(handle, region, regionSize, old, &returned))
        return devdata::ReportReadError(error);
    con::Print("\nNumber of bytes returned by ReadDevDataRegionByID = %u bytes\n", returned);
    results::Measure(devdata::RegionMeasureName(region, "bytes read"), returned, "bytes");
    // The restore writes the whole region back: without all of its old
    // contents that would overwrite bytes never saved.
    if (returned != size) {
        con::Print("\nERROR: The region read returned %u of %u bytes; the region is not written\n", returned, size);
        return -1;
    }

    uint32_t count = con::AskUnsigned("\nNumber of bytes to write (<= %d): ", regionSize);
    count = std::min(count, size);
    uint32_t first = 0;
    if (region == kPrefixedRegion) {
        // The count covers at least the prefix: a shorter write would have
        // the device clear the prefix bytes beyond it.
        first = std::min(kPrefixBytes, size);
        con::Print("\nLeaving the first %d bytes unchanged.\n", static_cast<int32_t>(first));
        if (first > 0)
            std::memcpy(data, old, first);
        count = std::max(count, first);
    }
    con::Print("Writing random data = %u bytes\n", count - first);
    for (uint32_t i = first; i < count; ++i)
        data[i] = static_cast<uint8_t>(devdata::RandomValue(true));

    uint32_t written = 0;
    if (const char *error = WriteDevDataRegionByID(handle, key, region, count, data, &written))
        return devdata::ReportWriteError(error);
    con::Print("\nNumber of bytes actually written by WriteDevDataRegionByID = %u\n", written);
    results::Measure(devdata::RegionMeasureName(region, "bytes written"), written, "bytes");

    uint32_t errors = 0;
    if (con::AskUnsigned("\n    Verify write     (1=yes/0=no) ? ") != 0) {
        uint32_t readBackCount = 0;
        if (const char *error = ReadDevDataRegionByID(handle, region, regionSize, readBack, &readBackCount))
            return devdata::ReportReadError(error);
        con::Print("\nNumber of bytes returned by ReadDevDataRegionByID = %u bytes\n", readBackCount);
        results::Measure(devdata::RegionMeasureName(region, "bytes read"), readBackCount, "bytes");
        errors = VerifyRegion(readBack, readBackCount, data, count, size);
        con::Print("\n\n%u verify errors.\n", errors);
        results::Measure("Device Data verify errors", errors);
    }

    if (con::AskUnsigned("\n    Restore contents (1=yes/0=no) ? ") != 0) {
        con::Print("\nRestoring original Device Data values ... \n");
        key = RequestDevDataWriteKey(handle);
        if (const char *error = WriteDevDataRegionByID(handle, key, region, size, old, &written))
            return devdata::ReportWriteError(error);
        con::Print("\n    Number of bytes actually written = %u\n", written);
        results::Measure(devdata::RegionMeasureName(region, "bytes restored"), written, "bytes");
    }
    if (errors > 0)
        return -1;
    return ReportSuccess("WriteDevDataRegionByID");
}
