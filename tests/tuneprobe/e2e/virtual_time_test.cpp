// RunProgram's virtual time on the real binary: the sleep accuracy test
// asks for 10 s of sleeps, which must pass at once while the program's own
// clock still shows every one of them.
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

using testing_support::ProgramRun;
using testing_support::RunProgram;
using testing_support::TuneprobePath;

namespace {

// Half the real time of the sleeps: a run that really sleeps is killed.
constexpr int kTimeoutMs = 5000;

} // namespace

TEST(VirtualTime, SleepsPassAtOnceAndTheProgramsClockCountsThem)
{
    ProgramRun run = RunProgram(TuneprobePath(), "0\n9\n3\n-1\n-1\n", {"CALSIM_SEED=1"}, kTimeoutMs);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(testing_support::Contains(run.output, "\nSleepAccuracyTest was SUCCESSFUL.\n"));

    int lines = 0;
    std::istringstream text(run.output);
    for (std::string line; std::getline(text, line);) {
        double actual = 0;
        double nominal = 0;
        if (std::sscanf(line.c_str(), "Actual %lf ms - Nominal = %lf ms", &actual, &nominal) != 2)
            continue;
        ++lines;
        EXPECT_GE(actual, nominal) << line; // the clock moved on by the time slept
    }
    EXPECT_EQ(lines, 5);
}
