// Time as the commands see it: the clock since program start and the
// sleep, each with a seam that tests replace.
#ifndef CONSOLE_CLOCK_H
#define CONSOLE_CLOCK_H

#include <cstdint>

// Whole milliseconds since program start, from a monotonic clock.
double ReadClock();
// Flushes the console first, so that what was printed is on screen during
// the wait.
void SleepMs(uint32_t ms);

// Test seams: replace the clock and the sleep (null restores the real ones).
using ClockFunction = double (*)();
using SleepFunction = void (*)(uint32_t ms);
void SetClockFunction(ClockFunction f);
void SetSleepFunction(SleepFunction f);

#endif
