#include "devdata/verify.h"

#include "console/console_io.h"

uint32_t SwapBytes32(uint32_t x)
{
    return ((x & 0x000000FFu) << 24) | ((x & 0x0000FF00u) << 8) | ((x & 0x00FF0000u) >> 8) | ((x & 0xFF000000u) >> 24);
}

uint32_t VerifyBytes(const uint8_t *readBack, const uint8_t *expected, uint32_t readOffset, uint32_t expectedOffset,
                     uint32_t count)
{
    uint32_t mismatches = 0;
    for (uint32_t j = 0; j < count; ++j) {
        uint8_t got = readBack[readOffset + j];
        uint8_t want = expected[expectedOffset + j];
        if (got != want) {
            con::Print("\nRead back [%08X] = %02X - Expected [%08X] = %02X - Verify ERROR", readOffset + j, got,
                       expectedOffset + j, want);
            ++mismatches;
        }
    }
    if (mismatches > 0)
        con::Print("\n");
    return mismatches;
}

uint32_t VerifyFill(const uint8_t *readBack, uint32_t position, uint32_t count, uint32_t value)
{
    uint32_t mismatches = 0;
    for (uint32_t j = 0; j < count; ++j) {
        uint8_t got = readBack[position + j];
        if (got != value) {
            con::Print("\nRead back [%08X] = %02X - Expected %02X - Verify ERROR", position + j, got, value);
            ++mismatches;
        }
    }
    if (mismatches > 0)
        con::Print("\n");
    return mismatches;
}
