// The other hardware commands from the menu of the real binary.
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::RunProgram;
using testing_support::TuneprobePath;

TEST(OtherEndToEnd, GpioRficSpectrumAndVersionFromTheMenu)
{
    auto run = RunProgram(TuneprobePath(),
                          "0\n5\n"
                          "2\n1c00\n3\n11\n1\n1\n"
                          "5\n1e\nffff\n1\n4\n1e\n1\n"
                          "10\n9\n16 0\n10\n"
                          "8\n1 1.5\n7\n1\n"
                          "11\n"
                          "-1\n-1\n",
                          {"CALSIM_SEED=5"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    const std::string &out = run.output;
    EXPECT_NE(out.find("     GPIO pin state            = 5A00A800\n"
                       "     GPIO pin direction        = FF00E000 (1=Input; 0=Output)\n"
                       "     GPIO pin write permission = 00001C00 (0=read-only; 1=read-write)\n"),
              std::string::npos);
    EXPECT_NE(out.find("     RFIC write timing (0=GTB based, 1=Immediate) ? \n\nWriteRFICRegister was SUCCESSFUL.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\n     RFIC register data = 0000FFFF\n\nReadRFICRegister was SUCCESSFUL.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nGetRxSpectrum\n\nERROR: No Rx spectrum captured: reset the Rx spectrum first\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nSpectrum length = 1024\n\n   0:  -95.0  -95.0"), std::string::npos);
    EXPECT_NE(out.find("\n1008:  -95.0"), std::string::npos);
    EXPECT_NE(out.find("     Value = 81\n"), std::string::npos);
    EXPECT_NE(out.find("    Cal API library version = 3.5.0\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 24), "\nClosing application...\n");
}

TEST(OtherEndToEnd, LibraryErrorFromOutside)
{
    auto run = RunProgram(TuneprobePath(), "0\n5\n6\n-1\n-1\n", {"CALSIM_FAULTS=GetTemperature=Sensor not ready"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.output.find("\nGetTemperature:\n\nERROR: Sensor not ready\n"), std::string::npos);
}
