// The console helpers shared by the menu and the command handlers.
#ifndef TUNEPROBE_HELPERS_H
#define TUNEPROBE_HELPERS_H

#include <cstdint>

// Menu and option choices: the leading decimal number of the next word, 0
// when it does not begin with one. A word of any length is read whole.
int32_t ReadDecimal();

// The 15-bit linear congruential generator of the original platform
// (state = state * 214013 + 2531011, value = bits 16 to 30), seeded once at
// start-up. RandomWord draws three values; it never returns 0.
void SeedRandom(uint32_t seed);
uint32_t NextRandom15();
uint32_t RandomWord();

// Hex dump of count bytes from data, sixteen to a line, each line labelled
// with label + index ("%04X: ").
void PrintHexDump(const uint8_t *data, uint32_t label, uint32_t count);

// Copies text into one shared static buffer of 80 characters, padded with
// fill up to length or cut to length. Null for a null text or one longer
// than 80 characters.
const char *PadText(const char *text, char fill, int length);

void FreeBuffer(void *p);

// Whole milliseconds since program start, from a monotonic clock.
double ReadClock();
void SleepMs(uint32_t ms);

uint32_t SwapBytes32(uint32_t x);

// Byte comparisons of read-back data; each mismatch prints a line, and the
// count of mismatches is returned.
uint32_t VerifyBytes(const uint8_t *readBack, const uint8_t *expected, uint32_t readOffset, uint32_t expectedOffset,
                     uint32_t count);
uint32_t VerifyFill(const uint8_t *readBack, uint32_t position, uint32_t count, uint32_t value);

// Test seams: replace the clock and the sleep (null restores the real ones).
using ClockFunction = double (*)();
using SleepFunction = void (*)(uint32_t ms);
void SetClockFunction(ClockFunction f);
void SetSleepFunction(SleepFunction f);

#endif
