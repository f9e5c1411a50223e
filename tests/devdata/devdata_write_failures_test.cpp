// Every way the four write dialogues fail: sizes refused before the key
// question, the save read, the write (whole or part-way), the verify read,
// the restore write and a key of 0. Each ends with its line and -1, after
// exactly the questions it needs, and leaves the device as it must.
#include "calsim/control_devdata.h"
#include "devdata/devdata_write.h"
#include "tests/devdata/devdata_test_support.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

using testing_support::Bench;
using testing_support::EndsWith;

namespace {

struct Failure {
    const char *what;
    CommandHandler handler;
    void (*fault)();
    const char *answers;
    const char *tail;
    bool (*holds)(); // what must hold afterwards, or null
};

bool Calls(const char *operation, int count)
{
    return calsim::CallCount(operation) == count;
}

const char kSaveFailed[] = "\n    Restore contents (1=yes/0=no) ? \nREAD ERROR: Save failed\n";
const char kRestoreRefused[] = "\nRestoring original Device Data values ... \n\nWRITE ERROR: Restore refused\n";
const char kNoKey[] = "\nWRITE ERROR: No Device Data write key (0)\n";
const char kNoMemory[] = "? \nERROR: Data block memory allocation failed\n";

void FailSave(const char *read)
{
    calsim::FailOperation(read, "Save failed", 0, 1);
}

void FailKey()
{
    calsim::FailOperation("RequestDevDataWriteKey", "No key", 0, 1);
}

const Failure kFailures[] = {
    // Three copies of the data must be countable in 32 bits.
    {"block of 2^29 words", CmdWriteDevDataBlock, [] {}, "0 536870912\n", kNoMemory,
     [] { return Calls("RequestDevDataWriteKey", 0) && Calls("ReadDevDataBlock", 0); }},
    {"block of 3 x 4 x N = 2^32 + 8", CmdWriteDevDataBlock, [] {}, "0 357913942\n", kNoMemory,
     [] { return Calls("RequestDevDataWriteKey", 0); }},
    {"block save read", CmdWriteDevDataBlock, [] { FailSave("ReadDevDataBlock"); }, "100 2 1 1\n", kSaveFailed,
     [] { return Calls("WriteDevDataBlock", 0); }},
    {"block write part-way", CmdWriteDevDataBlock,
     [] { calsim::FailDevDataWritePartway("WriteDevDataBlock", 4, "Flash program error"); }, "100 2 1 1 3 0\n",
     "? \nWRITE ERROR: Flash program error\n", [] { return Calls("WriteDevDataBlock", 1); }}, // no restore
    {"block verify read", CmdWriteDevDataBlock,
     [] { calsim::FailOperation("ReadDevDataBlock", "Verify read failed", 1, 1); }, "200 1 1 1 3 77 1\n",
     "\n    Verify write     (1=yes/0=no) ? \nREAD ERROR: Verify read failed\n",
     [] { return Calls("WriteDevDataBlock", 1); }}, // the new data stays
    {"block restore", CmdWriteDevDataBlock, [] { calsim::FailOperation("WriteDevDataBlock", "Restore refused", 1, 1); },
     "300 1 1 1 3 77 0\n", kRestoreRefused, nullptr},
    {"block key 0", CmdWriteDevDataBlock, FailKey, "400 1 1 0 3 1\n", kNoKey, nullptr},

    {"bytes 3 x N beyond 32 bits", CmdWriteDevDataBytes, [] {}, "0 1431655766\n", kNoMemory,
     [] { return Calls("RequestDevDataWriteKey", 0); }},
    {"bytes save read", CmdWriteDevDataBytes, [] { FailSave("ReadDevDataBytes"); }, "0 4 1 1\n", kSaveFailed,
     [] { return Calls("WriteDevDataBytes", 0); }},
    {"bytes write", CmdWriteDevDataBytes, [] { calsim::FailOperation("WriteDevDataBytes", "Write refused", 0, 1); },
     "0 4 1 1 3 1\n", "? \nWRITE ERROR: Write refused\n", [] { return Calls("WriteDevDataBytes", 1); }},
    // The read-back count is printed before its failure is looked at.
    {"bytes verify read", CmdWriteDevDataBytes,
     [] { calsim::FailOperation("ReadDevDataBytes", "Verify read failed", 1, 1); }, "0 4 1 1 3 1 1\n",
     "\nRead 4 bytes from dev data memory\n\nREAD ERROR: Verify read failed\n",
     [] { return Calls("WriteDevDataBytes", 1); }},
    {"bytes restore", CmdWriteDevDataBytes, [] { calsim::FailOperation("WriteDevDataBytes", "Restore refused", 1, 1); },
     "0 4 1 1 3 1 0\n", kRestoreRefused, nullptr},
    {"bytes key 0", CmdWriteDevDataBytes, FailKey, "0 4 1 0 3 1\n", kNoKey, nullptr},

    // Blocks outside the 64 KB image reach nothing.
    {"Flash 2.x block past the image", CmdWriteFlash2xBytesWithHeader, [] {}, "fff0 17 1 4 3\n",
     "    DSD priority (0-10)        ? \nERROR: A block of 17 bytes at offset 0xFFF0 does not fit the 64 KB Flash 2.x "
     "image\n",
     [] { return Calls("RequestDevDataWriteKey", 0) && Calls("ReadDevDataBytes", 0); }},
    {"Flash 2.x block over 64 KB", CmdWriteFlash2xBytesWithHeader, [] {}, "0 65537 1 4 3\n",
     "? \nERROR: A block of 65537 bytes at offset 0x0 does not fit the 64 KB Flash 2.x image\n",
     [] { return Calls("RequestDevDataWriteKey", 0); }},
    {"Flash 2.x offset wrapping", CmdWriteFlash2xBytesWithHeader, [] {}, "ffffffff 2 1 4 3\n",
     "? \nERROR: A block of 2 bytes at offset 0xFFFFFFFF does not fit the 64 KB Flash 2.x image\n",
     [] { return Calls("RequestDevDataWriteKey", 0); }},
    {"Flash 2.x save read", CmdWriteFlash2xBytesWithHeader, [] { FailSave("ReadDevDataBytes"); }, "0 4 1 4 3 1 1\n",
     kSaveFailed, [] { return Calls("WriteFlash2xBytesWithHeader", 0); }},
    {"Flash 2.x write part-way", CmdWriteFlash2xBytesWithHeader,
     [] { calsim::FailDevDataWritePartway("WriteFlash2xBytesWithHeader", 2, "Program error"); }, "0 4 1 4 3 1 1 3 0\n",
     "\nWRITE ERROR: Program error\n",
     [] { // no header left behind (the old 32 KB size), no restore
         return devdata_test::SectionBytes(0, calsim::kDsdHeaderOffset, 4) == std::vector<uint8_t>{0, 0, 0x80, 0} &&
                Calls("WriteDevDataBytes", 0);
     }},
    // The restore goes through the plain byte write, over the whole image.
    {"Flash 2.x restore", CmdWriteFlash2xBytesWithHeader,
     [] { calsim::FailOperation("WriteDevDataBytes", "Restore refused", 0, 1); }, "0 4 1 4 3 1 1 3 0 0\n",
     kRestoreRefused, nullptr},
    {"Flash 2.x key 0", CmdWriteFlash2xBytesWithHeader, FailKey, "0 4 1 4 3 1 0 3 0\n", kNoKey, nullptr},

    {"region unknown", CmdWriteDevDataRegionByID, [] {}, "0 1\n",
     "\nWriteDevDataRegionSizeByID:\nEnter region ID (dec)             ? "
     "\n    Auto Device Data key (1=yes/0=no) ? \nERROR: Unknown Device Data region ID 0\n",
     nullptr},
    {"region of 2^31 - 1 bytes", CmdWriteDevDataRegionByID, [] { calsim::SetDevDataRegionSize(2, 0x7FFFFFFF); },
     "2 1\n", "\nDevData region size = 2147483647 bytes\n\nERROR: Data block memory allocation failed\n",
     [] { return Calls("ReadDevDataRegionByID", 0); }},
    {"region save read", CmdWriteDevDataRegionByID, [] { FailSave("ReadDevDataRegionByID"); }, "3 1\n",
     "\nREAD ERROR: Save failed\n", [] { return Calls("WriteDevDataRegionByID", 0); }},
    {"region short save read", CmdWriteDevDataRegionByID, [] { calsim::ShortenRegionReads(4); }, "4 1\n",
     "\nNumber of bytes returned by ReadDevDataRegionByID = 12 bytes\n"
     "\nERROR: The region read returned 12 of 16 bytes; the region is not written\n",
     [] { return Calls("WriteDevDataRegionByID", 0); }},
    {"region write part-way", CmdWriteDevDataRegionByID,
     [] { calsim::FailDevDataWritePartway("WriteDevDataRegionByID", 5, "Program error"); }, "3 1 20\n",
     "Writing random data = 20 bytes\n\nWRITE ERROR: Program error\n",
     [] { return Calls("WriteDevDataRegionByID", 1); }},
    {"region verify read", CmdWriteDevDataRegionByID,
     [] { calsim::FailOperation("ReadDevDataRegionByID", "Read-back failed", 1, 1); }, "3 1 20 1\n",
     "\n    Verify write     (1=yes/0=no) ? \nREAD ERROR: Read-back failed\n",
     [] { return Calls("WriteDevDataRegionByID", 1); }},
    {"region restore", CmdWriteDevDataRegionByID,
     [] { calsim::FailOperation("WriteDevDataRegionByID", "Restore refused", 1, 1); }, "3 1 20 0 1\n", kRestoreRefused,
     nullptr},
    {"region key 0", CmdWriteDevDataRegionByID, FailKey, "3 1 20\n", kNoKey, nullptr},
};

} // namespace

TEST(DevDataWriteFailures, EachEndsWithItsLineAndLeavesTheDeviceAsItMust)
{
    for (const Failure &f : kFailures) {
        SCOPED_TRACE(f.what);
        Bench bench;
        f.fault();
        int result = 1;
        bool ended = true;
        EXPECT_TRUE(EndsWith(bench.Run(f.handler, f.answers, &result, &ended), f.tail));
        EXPECT_FALSE(ended);
        EXPECT_EQ(result, -1);
        if (f.holds != nullptr) {
            EXPECT_TRUE(f.holds());
        }
    }
}
