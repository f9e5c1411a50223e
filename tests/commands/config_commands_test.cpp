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

namespace {

struct Case {
    CommandHandler handler;
    const char *operation; // the library operation a fault is put on
    const char *input;
    const char *success; // whole output on success
    const char *failure; // whole output when the operation fails
};

// From power-on state: mode 0/0, band 2593000/10000, CW offset 0.
const Case kCases[] = {
    {CmdConnectDevice, "ConnectDevice", "", "\nConnectDevice:\n     Device connected.\n",
     "\nConnectDevice:\n\nERROR: Device refused\n"},
    {CmdDisconnectDevice, "DisconnectDevice", "", "\nDisconnectDevice:\n     Device disconnected.\n",
     "\nDisconnectDevice:\n\nERROR: Device refused\n"},
    {CmdGetDeviceMode, "GetDeviceMode", "",
     "\nGetDeviceMode:\n    DUT Mode        = Normal (0)\n    Modulation type = 4 QAM (0)\n"
     "\nGetDeviceMode was SUCCESSFUL.\n",
     "\nGetDeviceMode:\n\nERROR: Device refused\n"},
    {CmdSetDeviceMode, "SetDeviceMode", "3 1\n",
     "\nSetDeviceMode:\n"
     "For DUT Mode, please enter: 0=Normal  1=Calibration  2=Tx CW  3=Tx OFDMA  4=AGC free-run 5=Loopback\n"
     "    DUT Mode        ? "
     "For Modulation Type, please enter: 0=4 QAM  1=16 QAM  2=64 QAM\n"
     "    Modulation Type ? \nSetDeviceMode was SUCCESSFUL.\n",
     "\nSetDeviceMode:\n"
     "For DUT Mode, please enter: 0=Normal  1=Calibration  2=Tx CW  3=Tx OFDMA  4=AGC free-run 5=Loopback\n"
     "    DUT Mode        ? "
     "For Modulation Type, please enter: 0=4 QAM  1=16 QAM  2=64 QAM\n"
     "    Modulation Type ? \nERROR: Device refused\n"},
    {CmdGetBandConfig, "GetBandConfig", "",
     "\nGetBandConfig:\n    Center frequency (kHz)  = 2593000\n    Bandwidth (kHz)         = 10000\n"
     "\nGetBandConfig was SUCCESSFUL.\n",
     "\nGetBandConfig:\n\nERROR: Device refused\n"},
    {CmdSetBandConfig, "SetBandConfig", "2500000 5000\n",
     "\nSetBandConfig:\n    Center frequency (kHz)  ?     Bandwidth (kHz)         ? \nSetBandConfig was SUCCESSFUL.\n",
     "\nSetBandConfig:\n    Center frequency (kHz)  ?     Bandwidth (kHz)         ? \nERROR: Device refused\n"},
    {CmdGetCWOffset, "GetCWOffset", "", "\nGetCWOffset:\n    CW freq offset = 0 kHz\n\nGetCWOffset was SUCCESSFUL.\n",
     "\nGetCWOffset:\n\nERROR: Device refused\n"},
    {CmdSetCWOffset, "SetCWOffset", "250\n",
     "\nSetCWOffset:\n    CW freq offset (kHz) ? \nSetCWOffset was SUCCESSFUL.\n",
     "\nSetCWOffset:\n    CW freq offset (kHz) ? \nERROR: Device refused\n"},
};

} // namespace

TEST(ConfigCommands, EachCommandOnSuccessOnErrorAndWithoutHandle)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.operation);
        {
            Bench bench;
            int result = 1;
            EXPECT_EQ(bench.Run(c.handler, c.input, &result), c.success);
            EXPECT_EQ(result, 0);
        }
        {
            Bench bench;
            calsim::FailOperation(c.operation, "Device refused");
            int result = 1;
            EXPECT_EQ(bench.Run(c.handler, c.input, &result), c.failure);
            EXPECT_EQ(result, -1);
        }
        {
            Bench bench;
            int result = 1;
            int callsBefore = calsim::CallCount(c.operation);
            EXPECT_EQ(bench.RunCode([&] { result = c.handler(nullptr); }, c.input), "");
            EXPECT_EQ(result, -1);
            EXPECT_EQ(calsim::CallCount(c.operation), callsBefore);
        }
    }
}

TEST(ConfigCommands, ValuesReachTheDeviceAndComeBack)
{
    Bench bench;
    // A negative offset typed at the unsigned prompt is the same 32-bit pattern.
    bench.Run(CmdSetCWOffset, "-100\n");
    EXPECT_NE(bench.Run(CmdGetCWOffset).find("    CW freq offset = -100 kHz\n"), std::string::npos);

    bench.Run(CmdSetDeviceMode, "5 2\n");
    EXPECT_NE(bench.Run(CmdGetDeviceMode).find("= Loopback (5)\n    Modulation type = 64 QAM (2)\n"),
              std::string::npos);

    bench.Run(CmdSetBandConfig, "2533500 5000\n");
    EXPECT_NE(bench.Run(CmdGetBandConfig).find("= 2533500\n    Bandwidth (kHz)         = 5000\n"), std::string::npos);

    // Values outside the tables are passed on; the device's refusal is shown as it is.
    int result = 0;
    std::string out = bench.Run(CmdSetDeviceMode, "9 7\n", &result);
    EXPECT_TRUE(out.ends_with("\nERROR: Invalid DUT mode 9 (0 to 5)\n"));
    EXPECT_EQ(result, -1);
}

TEST(ConfigCommands, DisconnectThenConnectUseTheSameInterface)
{
    Bench bench;
    bench.Run(CmdDisconnectDevice);
    int result = 0;
    std::string out = bench.Run(CmdGetDeviceMode, "", &result);
    EXPECT_EQ(out, "\nGetDeviceMode:\n\nERROR: Device is not connected\n");
    EXPECT_EQ(result, -1);
    bench.Run(CmdConnectDevice);
    bench.Run(CmdGetDeviceMode, "", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calsim::CallCount("GetCalInterface"), 1); // the interface is never opened again
}
