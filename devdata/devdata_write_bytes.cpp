// The byte write and the Flash 2.x write with DSD header share one dialogue.
// With the Flash 2.x flag the area saved, read back and restored is the
// whole 64 KB section image at address 0, and the verify checks every byte
// of it: what lies before the block, the block, the gap up to the header
// and each header field.
#include "devdata/devdata_write.h"
#include "devdata/verify.h"

#include "console/handler.h"
#include "console/run_events.h"
#include "devdata/devdata_common.h"

#include <cstring>

namespace {

constexpr uint32_t kImageBytes = 65536;
constexpr uint32_t kHeaderOffset = 63 * 1024;
constexpr uint32_t kDsdMagic = 0xA7C30D5Du;

struct Flash2xWrite {
    uint32_t writeMode = 1;
    uint32_t header[3] = {0, 0, 10}; // first word (always 0), DSD size in bytes, priority
};

Flash2xWrite AskFlash2xWrite()
{
    Flash2xWrite w;
    con::Print("\nFlash 2.X write mode:\n");
    con::Print("    1 = Fill space between data block and DSD header with 0xFF\n");
    con::Print("    2 = Retain existing flash data between data block and DSD header\n\n");
    w.writeMode = con::AskUnsigned("    Enter write mode (1-2)     ? ");
    con::Print("\nFlash 2.X DSD header information:\n");
    w.header[1] = con::AskUnsigned("    DSD size in kB (1-63)      ? ") * 1024;
    w.header[2] = con::AskUnsigned("    DSD priority (0-10)        ? ");
    return w;
}

// Header words are stored most significant byte first.
uint32_t HeaderWord(const uint8_t *image, uint32_t offset)
{
    uint32_t word = 0;
    std::memcpy(&word, image + offset, sizeof word);
    return SwapBytes32(word);
}

uint32_t VerifyFlash2xImage(const uint8_t *readBack, const uint8_t *old, const uint8_t *data, uint32_t offset,
                            uint32_t size, const Flash2xWrite &w)
{
    uint32_t errors = VerifyBytes(readBack, old, 0, 0, offset);
    errors += VerifyBytes(readBack, data, offset, 0, size);
    uint32_t end = offset + size; // at most 65536: checked before the write
    if (end >= kHeaderOffset)
        con::Print("ERROR: Attempt to overwrite the Flash 2.x header block at offset = 63*1024\n");
    else if (w.writeMode == 1)
        errors += VerifyFill(readBack, end, kHeaderOffset - end, 0xFF);
    else
        errors += VerifyBytes(readBack, old, end, end, kHeaderOffset - end);

    uint32_t value = HeaderWord(readBack, kHeaderOffset);
    if (value != w.header[1]) {
        con::Print("Header DSDImageSize verify error:        Read back %08X - Expected %08X\n", value, w.header[1]);
        errors += 4;
    }
    errors += VerifyFill(readBack, kHeaderOffset + 4, 4, 0xFF);
    value = HeaderWord(readBack, kHeaderOffset + 8);
    if (value != w.header[2]) {
        con::Print("Header DSDImagePriority verify error:    Read back %08X - Expected %08X\n", value, w.header[2]);
        errors += 4;
    }
    errors += VerifyFill(readBack, kHeaderOffset + 12, 1008, 0xFF);
    value = HeaderWord(readBack, kImageBytes - 4);
    if (value != kDsdMagic) {
        con::Print("Header DSDImageMagicNumber verify error: Read back %08X - Expected %08X\n", value, kDsdMagic);
        errors += 4;
    }
    return errors;
}

// The dialogue of the byte write and (flash2x) of the Flash 2.x write with
// DSD header; 0 or -1, without the success line. The restore is asked
// before the write and follows only an error-free verify; verify errors
// print a warning instead.
int WriteBytesDialogue(TavrelCalHandle handle, bool flash2x)
{
    if (handle == nullptr)
        return -1;
    devdata::NvmMode nvm = devdata::ReadNvmMode(handle);
    con::Print("\nWrite Device Data Bytes:\n");
    devdata::PrintNvmMode(nvm);
    con::Print("\n");
    con::Print("Bytes to be written:\n");
    uint32_t address =
        flash2x ? con::AskHex("    Flash memory offset (hex) ? ") : con::AskHex("    Device Data address (hex) ? ");
    uint32_t size = con::AskUnsigned("    Size in bytes (dec)       ? ");
    Flash2xWrite w;
    if (flash2x)
        w = AskFlash2xWrite();

    // A block outside the 64 KB image would run past every third of the
    // working buffer; it is refused before anything is asked of the device.
    if (flash2x && (size > kImageBytes || address > kImageBytes - size)) {
        con::Print("\nERROR: A block of %u bytes at offset 0x%X does not fit the 64 KB Flash 2.x image\n", size,
                   address);
        return -1;
    }
    uint32_t areaAddress = flash2x ? 0 : address;
    uint32_t area = flash2x ? kImageBytes : size;
    devdata::WorkBuffer buffer;
    if (!buffer.Allocate(area, 3))
        return devdata::ReportAllocationFailure();
    uint8_t *old = buffer.Part(0);
    uint8_t *data = buffer.Part(1);
    uint8_t *readBack = buffer.Part(2);

    uint32_t key = devdata::AskWriteKey(handle);
    bool restore = con::AskUnsigned("\n    Restore contents (1=yes/0=no) ? ") != 0;
    if (restore || flash2x) {
        if (const char *error = ReadDevDataBytes(handle, old, area, areaAddress))
            return devdata::ReportReadError(error);
        con::Print("\nRead %d bytes from dev data memory\n", static_cast<int32_t>(area));
    }
    devdata::FillPattern(data, size);

    uint32_t written = 0;
    const char *error =
        flash2x ? WriteFlash2xBytesWithHeader(handle, key, data, size, address, w.header, 3, w.writeMode, &written)
                : WriteDevDataBytes(handle, key, data, size, address, &written);
    if (error != nullptr)
        return devdata::ReportWriteError(error);
    con::Print("\nWrote %d bytes to dev data memory\n", static_cast<int32_t>(written));
    results::Measure("Device Data bytes written", written, "bytes");

    uint32_t errors = 0;
    if (con::AskUnsigned("\n    Verify write     (1=yes/0=no) ? ") != 0) {
        error = ReadDevDataBytes(handle, readBack, area, areaAddress);
        con::Print("\nRead %d bytes from dev data memory\n", static_cast<int32_t>(area));
        if (error != nullptr)
            return devdata::ReportReadError(error);
        errors = flash2x ? VerifyFlash2xImage(readBack, old, data, address, size, w)
                         : VerifyBytes(readBack, data, 0, 0, size);
        con::Print("\n\n%u verify errors.\n", errors);
        results::Measure("Device Data verify errors", errors);
    }

    if (restore) {
        if (errors > 0) {
            con::Print("\nWARNING: Original data not restored, because verify error count > 0.\n");
        } else {
            // The restore writes the saved area back as plain bytes, the
            // Flash 2.x image included (its old header with it).
            con::Print("\nRestoring original Device Data values ... \n");
            key = RequestDevDataWriteKey(handle);
            if (const char *restoreError = WriteDevDataBytes(handle, key, old, area, areaAddress, &written))
                return devdata::ReportWriteError(restoreError);
            con::Print("\nWrote %d bytes to dev data memory\n", static_cast<int32_t>(written));
            results::Measure("Device Data bytes restored", written, "bytes");
        }
    }
    return errors > 0 ? -1 : 0;
}

} // namespace

int CmdWriteDevDataBytes(TavrelCalHandle handle)
{
    int result = WriteBytesDialogue(handle, false);
    return result == 0 ? ReportSuccess("TestWriteDevDataBytes") : result;
}

int CmdWriteFlash2xBytesWithHeader(TavrelCalHandle handle)
{
    int result = WriteBytesDialogue(handle, true);
    return result == 0 ? ReportSuccess("TestWriteFlash2xBytesWithHeader") : result;
}
