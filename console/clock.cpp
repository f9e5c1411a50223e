#include "console/clock.h"

#include "console/console_io.h"

#include <chrono>
#include <thread>

namespace {

ClockFunction g_clock = nullptr;
SleepFunction g_sleep = nullptr;

const std::chrono::steady_clock::time_point g_programStart = std::chrono::steady_clock::now();

} // namespace

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

void SetClockFunction(ClockFunction f)
{
    g_clock = f;
}

void SetSleepFunction(SleepFunction f)
{
    g_sleep = f;
}
