#include "console/helpers.h"

#include "console/console_io.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

uint32_t g_randomState = 1;
ClockFunction g_clock = nullptr;
SleepFunction g_sleep = nullptr;

const std::chrono::steady_clock::time_point g_programStart = std::chrono::steady_clock::now();

constexpr int kPadCapacity = 80;
char g_padBuffer[kPadCapacity + 1];

} // namespace

int32_t ReadDecimal()
{
    int32_t result = 0;
    con::ParseSigned(con::ReadWord(), result);
    return result;
}

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

void PrintHexDump(const uint8_t *data, uint32_t label, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (i % 16 == 0)
            con::Print("%04X: ", label + i);
        con::Print(" %02X", data[i]);
        if (i % 16 == 15 && i != count - 1)
            con::Print("\n");
    }
    con::Print("\n");
}

const char *PadText(const char *text, char fill, int length)
{
    if (text == nullptr)
        return nullptr;
    std::size_t textLength = std::strlen(text);
    if (textLength > kPadCapacity)
        return nullptr;
    if (length < 0)
        length = 0;
    if (length > kPadCapacity)
        length = kPadCapacity; // outside the contract; never write past the buffer
    std::memcpy(g_padBuffer, text, textLength + 1);
    for (int i = static_cast<int>(textLength); i < length; ++i)
        g_padBuffer[i] = fill;
    g_padBuffer[length] = '\0';
    return g_padBuffer;
}

void FreeBuffer(void *p)
{
    if (p != nullptr)
        std::free(p);
}

double ReadClock()
{
    if (g_clock)
        return g_clock();
    auto elapsed = std::chrono::steady_clock::now() - g_programStart;
    return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void SleepMs(uint32_t ms)
{
    con::Flush(); // what was printed before a wait is on screen during it
    if (g_sleep) {
        g_sleep(ms);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t SwapBytes32(uint32_t x)
{
    return ((x & 0x000000FFu) << 24) | ((x & 0x0000FF00u) << 8) | ((x & 0x00FF0000u) >> 8) |
           ((x & 0xFF000000u) >> 24);
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

void SetClockFunction(ClockFunction f)
{
    g_clock = f;
}

void SetSleepFunction(SleepFunction f)
{
    g_sleep = f;
}
