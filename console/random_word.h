// The pseudo-random generator of the data patterns: a 15-bit linear
// congruential generator (state = state * 214013 + 2531011, value = bits 16
// to 30), seeded once at start-up.
#ifndef CONSOLE_RANDOM_WORD_H
#define CONSOLE_RANDOM_WORD_H

#include <cstdint>

void SeedRandom(uint32_t seed);
uint32_t NextRandom15();
// Three values in one word; never 0.
uint32_t RandomWord();

#endif
