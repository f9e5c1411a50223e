// Configuration commands: texts on success, on a library error, on odd values.
#include "calsim/control.h"
#include "commands/config_commands.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

TEST(ConfigCommands, GetDeviceModeNamesCodesAndUnknowns)
{
    Bench bench;
    calsim::ForceDeviceMode(5, 2);
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetDeviceMode, "", &result), "\nGetDeviceMode:\n"
                                                      "    DUT Mode        = Loopback (5)\n"
                                                      "    Modulation type = 64 QAM (2)\n"
                                                      "\nGetDeviceMode was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);

    calsim::ForceDeviceMode(9, 0x80000000u);
    std::string out = bench.Run(CmdGetDeviceMode);
    EXPECT_NE(out.find("    DUT Mode        = Unknown DUT Mode (9)\n"), std::string::npos);
    EXPECT_NE(out.find("    Modulation type = Unknown modulation type (-2147483648)\n"), std::string::npos);
}
