// Read-back checks of the byte write: each mismatch prints a line, and the
// count of mismatches is returned.
#ifndef DEVDATA_VERIFY_H
#define DEVDATA_VERIFY_H

#include <cstdint>

uint32_t SwapBytes32(uint32_t x);

uint32_t VerifyBytes(const uint8_t *readBack, const uint8_t *expected, uint32_t readOffset, uint32_t expectedOffset,
                     uint32_t count);
uint32_t VerifyFill(const uint8_t *readBack, uint32_t position, uint32_t count, uint32_t value);

#endif
