// The write key command and the block write: the console's full write
// dialogue on 32-bit words (key, save, pattern, write, verify, restore).
#include "devdata/devdata_write.h"

#include "console/handler.h"
#include "console/run_events.h"
#include "devdata/devdata_common.h"

int CmdRequestDevDataWriteKey(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    uint32_t key = RequestDevDataWriteKey(handle);
    con::Print("\nRequest Device Data Write Key:\n");
    con::Print("    New Device Data key is %08X\n", key);
    if (key == 0) {
        con::Print("RequestDevDataWriteKey operation FAILED with return value %d.\n", 0);
        return -1;
    }
    // Only a key the library gave is a value: 0 is its failure.
    results::Measure("Device Data write key", key);
    return ReportSuccess("RequestDevDataWriteKey");
}

// The restore follows only an error-free verify (or none); with verify
// errors the old contents stay unwritten and nothing is said about it.
int CmdWriteDevDataBlock(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    devdata::NvmMode nvm = devdata::ReadNvmMode(handle);
    con::Print("\nWrite Device Data Block:\n");
    con::Print("\nNote: Block size is the number of 32-bit unsigned integers (not bytes).\n");
    devdata::PrintNvmMode(nvm);
    uint32_t address = con::AskHex("    Device Data address (hex) ? ");
    uint32_t words = con::AskUnsigned("    Block size (dec)          ? ");

    devdata::WorkBuffer buffer;
    if (!buffer.Allocate(4ull * words, 3))
        return devdata::ReportAllocationFailure();
    uint32_t *old = buffer.Words(0);
    uint32_t *data = buffer.Words(1);
    uint32_t *readBack = buffer.Words(2);

    uint32_t key = devdata::AskWriteKey(handle);
    bool saved = con::AskUnsigned("\n    Restore contents (1=yes/0=no) ? ") != 0;
    if (saved) {
        if (const char *error = ReadDevDataBlock(handle, old, words, address))
            return devdata::ReportReadError(error);
    }
    devdata::FillPattern(data, words);

    uint32_t written = 0;
    if (const char *error = WriteDevDataBlock(handle, key, data, words, address, &written))
        return devdata::ReportWriteError(error);
    con::Print("\nNumber of 32-bit words actually written = %u\n", written);
    results::Measure("Device Data words written", written);

    uint32_t errors = 0;
    if (con::AskUnsigned("\n    Verify write     (1=yes/0=no) ? ") != 0) {
        if (const char *error = ReadDevDataBlock(handle, readBack, words, address))
            return devdata::ReportReadError(error);
        for (uint32_t i = 0; i < words; ++i) {
            if (readBack[i] != data[i]) {
                con::Print("\n%08X: Wrote %08X - Read back %08X - Verify ERROR", address + 4 * i, data[i], readBack[i]);
                ++errors;
            }
        }
        con::Print("\n%u verify errors.\n", errors);
        results::Measure("Device Data verify errors", errors);
    }

    if (saved && errors == 0) {
        con::Print("\nRestoring original Device Data values ... \n");
        key = RequestDevDataWriteKey(handle);
        if (const char *error = WriteDevDataBlock(handle, key, old, words, address, &written))
            return devdata::ReportWriteError(error);
        con::Print("\n    Number of 32-bit words actually written = %u\n", written);
        results::Measure("Device Data words restored", written);
    }
    if (errors > 0)
        return -1;
    return ReportSuccess("WriteDevDataBlock");
}
