// The echo test (the library's exchange with the device) and the host's
// sleep-accuracy test (no library call at all).
#include "console/console_io.h"
#include "console/handler.h"
#include "console/clock.h"
#include "console/run_events.h"

#include <iterator>
#include "testcmds/test_commands.h"

namespace {

constexpr uint32_t kClockReadings = 1000000;
constexpr double kNoStepYet = 100000000.0; // ms; shown when the clock never moved
constexpr uint32_t kSleepsPerNominal = 200;
constexpr uint32_t kNominalMs[] = {0, 5, 10, 15, 20};
const char *const kSleepNames[] = {"Sleep of 0 ms", "Sleep of 5 ms", "Sleep of 10 ms", "Sleep of 15 ms",
                                   "Sleep of 20 ms"};
static_assert(std::size(kSleepNames) == std::size(kNominalMs));

} // namespace

int CmdEchoTest(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nEcho test:\n");
    uint32_t length = con::AskUnsigned("    Message length in bytes (dec) ? ");
    if (const char *error = EchoTest(handle, length))
        return ReportError(error);
    con::Print("\nEcho test operation was SUCCESSFUL.\n");
    return ReportSuccess("TestEchoTest");
}

int CmdSleepAccuracyTest(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;

    // The smallest non-zero step between back-to-back readings estimates the
    // clock's granularity; nothing else may run inside this loop.
    con::Print("Checking time resolution over %u iterations ...\n", kClockReadings);
    double previous = ReadClock();
    double smallest = kNoStepYet;
    for (uint32_t i = 0; i < kClockReadings; ++i) {
        double now = ReadClock();
        double step = now - previous;
        previous = now;
        if (step != 0.0 && step < smallest)
            smallest = step;
    }
    con::Print("Estimated resolution = %0.4f ms\n", smallest);
    results::Measure("Clock resolution", smallest, "ms");

    con::Print("Checking sleep function over %u iterations ...\n", kSleepsPerNominal);
    std::size_t index = 0;
    for (uint32_t nominal : kNominalMs) {
        double start = ReadClock();
        for (uint32_t i = 0; i < kSleepsPerNominal; ++i)
            SleepMs(nominal);
        double actual = (ReadClock() - start) / kSleepsPerNominal;
        double nominalMs = nominal;
        con::Print("Actual %5.2f ms - Nominal = %5.2f ms - Excess = %4.2f ms\n", actual, nominalMs, actual - nominalMs);
        results::Measure(kSleepNames[index++], actual, "ms");
    }
    con::Print("\n");
    return ReportSuccess("SleepAccuracyTest");
}
