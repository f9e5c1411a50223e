#include "console/random_word.h"

namespace {
uint32_t g_randomState = 1;
} // namespace

void SeedRandom(uint32_t seed)
{
    g_randomState = seed;
}

uint32_t NextRandom15()
{
    g_randomState = g_randomState * 214013u + 2531011u;
    return (g_randomState >> 16) & 0x7FFFu;
}

uint32_t RandomWord()
{
    uint32_t r1 = NextRandom15();
    uint32_t r2 = NextRandom15();
    uint32_t r3 = NextRandom15();
    uint32_t word = (r1 << 17) ^ (r2 << 2) ^ r3;
    return word == 0 ? 0xFFFFFFFFu : word;
}
