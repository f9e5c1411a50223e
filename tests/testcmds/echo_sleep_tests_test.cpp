// Echo test and sleep-accuracy test, the latter on a scripted clock so that
// every figure is exact.
#include "calsim/control.h"
#include "console/clock.h"
#include "testcmds/test_commands.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

TEST(EchoTest, SuccessLinesOrTheLibrarysError)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdEchoTest, "64\n", &result), "\nEcho test:\n"
                                                       "    Message length in bytes (dec) ? "
                                                       "\nEcho test operation was SUCCESSFUL.\n"
                                                       "\nTestEchoTest was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    // Length 0 is passed on; the library judges it.
    calsim::FailOperation("EchoTest", "Echo timed out", 0, 1);
    EXPECT_EQ(bench.Run(CmdEchoTest, "0\n", &result), "\nEcho test:\n"
                                                      "    Message length in bytes (dec) ? "
                                                      "\nERROR: Echo timed out\n");
    EXPECT_EQ(result, -1);
}

namespace {

// A clock that moves by `tick` at every reading until the first sleep, and
// afterwards only when the fake sleep says so.
double g_now = 0;
double g_tick = 0;
double g_sleepFactor = 1.0;
int g_sleeps = 0;

double ScriptedClock()
{
    g_now += g_tick;
    return g_now;
}

void ScriptedSleep(uint32_t ms)
{
    g_tick = 0;
    ++g_sleeps;
    g_now += ms * g_sleepFactor + 0.5;
}

std::string RunSleepTest(Bench &bench, double tick, double sleepFactor)
{
    g_now = 0;
    g_tick = tick;
    g_sleepFactor = sleepFactor;
    g_sleeps = 0;
    SetClockFunction(ScriptedClock);
    SetSleepFunction(ScriptedSleep);
    return bench.Run(CmdSleepAccuracyTest);
}

} // namespace

TEST(SleepAccuracyTest, ReportsResolutionAndFiveSleepLines)
{
    Bench bench;
    EXPECT_EQ(RunSleepTest(bench, 0.25, 1.0), "Checking time resolution over 1000000 iterations ...\n"
                                              "Estimated resolution = 0.2500 ms\n"
                                              "Checking sleep function over 200 iterations ...\n"
                                              "Actual  0.50 ms - Nominal =  0.00 ms - Excess = 0.50 ms\n"
                                              "Actual  5.50 ms - Nominal =  5.00 ms - Excess = 0.50 ms\n"
                                              "Actual 10.50 ms - Nominal = 10.00 ms - Excess = 0.50 ms\n"
                                              "Actual 15.50 ms - Nominal = 15.00 ms - Excess = 0.50 ms\n"
                                              "Actual 20.50 ms - Nominal = 20.00 ms - Excess = 0.50 ms\n"
                                              "\n"
                                              "\nSleepAccuracyTest was SUCCESSFUL.\n");
    EXPECT_EQ(g_sleeps, 1000);
    EXPECT_EQ(calsim::CallLog().size(), 2u); // the bench's open and connect only
}

TEST(SleepAccuracyTest, StillClockAndEarlySleepsShowAsSuch)
{
    Bench bench;
    std::string out = RunSleepTest(bench, 0.0, 0.8);
    EXPECT_NE(out.find("Estimated resolution = 100000000.0000 ms\n"), std::string::npos);
    EXPECT_NE(out.find("Actual  4.50 ms - Nominal =  5.00 ms - Excess = -0.50 ms\n"), std::string::npos);
    EXPECT_NE(out.find("Actual 16.50 ms - Nominal = 20.00 ms - Excess = -3.50 ms\n"), std::string::npos);
}
