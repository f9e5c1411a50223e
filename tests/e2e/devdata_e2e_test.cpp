// Device Data commands through the real tuneprobe binary, driven by answer
// files: main menu 6 (management) and 7 (read/write).
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

#include <string>

using testing_support::ProgramRun;
using testing_support::RunProgram;
using testing_support::TuneprobePath;

namespace {

bool Contains(const std::string &output, const std::string &part)
{
    return output.find(part) != std::string::npos;
}

} // namespace

TEST(DevDataEndToEnd, ManagementAndReadsFromTheMenu)
{
    ProgramRun run = RunProgram(TuneprobePath(),
                                "0\n"
                                "6\n2\n6\n7\n10\n-1\n"
                                "7\n1\n100 5\n4\n4\n-1\n"
                                "-1\n",
                                {"CALSIM_SEED=4"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(Contains(run.output, "\nIsDevDataValid:\n    Device Data checksum is  VALID\n"));
    EXPECT_TRUE(Contains(run.output, "    Cal date    = 09/10/23\n    Cal time    = 14:35:07\n"));
    EXPECT_TRUE(Contains(run.output, "    MAC address = 00:1D:88:4C:21:07\n"));
    EXPECT_TRUE(Contains(run.output, "     0        0x0B        X       X                  X\n"));
    EXPECT_TRUE(Contains(run.output, "\n\nResults returned:\n0100:  11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C 73 7A\n"
                                     "0110:  81 88 8F 96\n\nReadDevDataBlock was SUCCESSFUL.\n"));
    EXPECT_TRUE(Contains(run.output, "\nDevData region size = 16 bytes\n0000:  A4 00 06 00 1D 88 4C 21 07"));
}

// Write, reload, see the checksum fail; then a restored write and a section
// copy, all in one session (the simulated memory lives as long as the
// process).
TEST(DevDataEndToEnd, WritesPersistForTheSession)
{
    ProgramRun run = RunProgram(TuneprobePath(),
                                "0\n"
                                "7\n6\n200 2 1 0 3 0 1\n"      // block write, no restore
                                "7\n40 4 1 1 2 10 1 1\n"       // byte write, restored
                                "9\n4 1 10 1 1\n"              // region write, restored
                                "11\n0 2 65536 0\n-1\n"        // copy section 0 to 2
                                "6\n1\n1\n3\n10\n-1\n"         // load, checksums, sections
                                "-1\n",
                                {"CALSIM_SEED=4"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(Contains(run.output, "\n0 verify errors.\n\nWriteDevDataBlock was SUCCESSFUL.\n"));
    EXPECT_TRUE(Contains(run.output, "\nWrote 4 bytes to dev data memory\n\nTestWriteDevDataBytes was SUCCESSFUL.\n"));
    EXPECT_TRUE(Contains(run.output, "\n    Number of bytes actually written = 16\n\nWriteDevDataRegionByID was SUCCESSFUL.\n"));
    EXPECT_TRUE(Contains(run.output, "\nCopyDevDataSection was SUCCESSFUL.\n"));
    EXPECT_TRUE(Contains(run.output, "      RF checksum is NOT VALID\n"));
    EXPECT_TRUE(Contains(run.output, "     PHY checksum is  VALID\n"));
    EXPECT_TRUE(Contains(run.output, "     2        0x03        X       X                   \n"));
}

// Faults from outside the process: the verify read fails, and a write key
// cannot be had; the menu carries on after each.
TEST(DevDataEndToEnd, InjectedFaultsReachTheOperator)
{
    ProgramRun run = RunProgram(TuneprobePath(),
                                "0\n7\n"
                                "7\n40 4 1 1 3 5 1\n"
                                "5\n"
                                "6\n100 1 1 0 3 1 0\n"
                                "1\n0 1073741824\n"
                                "-1\n-1\n",
                                {"CALSIM_SEED=4", "CALSIM_FAULTS=ReadDevDataBytes/1:1=Bus error;RequestDevDataWriteKey/1=No key"});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(Contains(run.output, "\nRead 4 bytes from dev data memory\n\nREAD ERROR: Bus error\n"));
    EXPECT_TRUE(Contains(run.output, "    New Device Data key is 00000000\n"
                                     "RequestDevDataWriteKey operation FAILED with return value 0.\n"));
    EXPECT_TRUE(Contains(run.output, "\nWRITE ERROR: No Device Data write key (0)\n"));
    EXPECT_TRUE(Contains(run.output, "? \nERROR: Data block memory allocation failed\n"));
    EXPECT_TRUE(Contains(run.output, "Closing application"));
}
