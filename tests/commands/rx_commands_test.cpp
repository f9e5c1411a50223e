// Rx commands: exact texts on success (seeded device, or values forced into
// it), on a library error, and on the odd values the device may report.
#include "calsim/control_radio.h"
#include "commands/config_commands.h"
#include "commands/rx_commands.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

namespace {

const std::string kSetGainPrompts = "\nSetRxGainState:\n"
                                    "    Rx path (0=Rx1; 1=Rx2; 2=Rx1 & Rx2)? "
                                    "    Enable external LNA (1=yes; 0=no)  ? "
                                    "  For the LNA gain, please enter: 0=minimum (max gain - 26 dB)\n"
                                    "                                  1=middle  (max gain - 12 dB)\n"
                                    "                                  2=high    (max gain)\n"
                                    "    LNA gain                           ? "
                                    "  For the Mixer gain, please enter: 0=low   (max gain - 5 dB)\n"
                                    "                                    1=high  (max gain)\n"
                                    "    Mixer gain                         ? "
                                    "  Please enter the PGA gain as an even integer (dec)\n"
                                    "    PGA gain index (0 to 31)           ? ";

} // namespace

TEST(RxCommands, AntennaConfigurationReadsBackAndNamesUnknownValues)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdSetRxAntConfig, "0\n", &result), "\nSetRxAntConfig:\n"
                                                             "Rx ant config: 0 = Rx1 only; 1 = Rx2 only; 2 = Rx1+Rx2\n"
                                                             "    Rx antenna configuration ? "
                                                             "\nSetRxAntConfig was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdGetRxAntConfig, "", &result), "\nGetRxAntConfig:\n"
                                                        "    RxAntConfig = Rx1 only\n"
                                                        "\nGetRxAntConfig was SUCCESSFUL.\n");

    // The device refuses a configuration it does not have...
    EXPECT_EQ(bench.Run(CmdSetRxAntConfig, "3\n", &result), "\nSetRxAntConfig:\n"
                                                             "Rx ant config: 0 = Rx1 only; 1 = Rx2 only; 2 = Rx1+Rx2\n"
                                                             "    Rx antenna configuration ? "
                                                             "\nERROR: Invalid Rx antenna configuration 3 (0 to 2)\n");
    EXPECT_EQ(result, -1);
    // ...but whatever it reports is named, and still a success.
    calsim::ForceRxAntConfig(3);
    EXPECT_EQ(bench.Run(CmdGetRxAntConfig, "", &result), "\nGetRxAntConfig:\n"
                                                        "    RxAntConfig = Unknown value\n"
                                                        "\nGetRxAntConfig was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    calsim::ForceRxAntConfig(0xFFFFFFFFu);
    EXPECT_NE(bench.Run(CmdGetRxAntConfig).find("= Unknown value\n"), std::string::npos);
}

TEST(RxCommands, SyncFollowsReSyncAndTheBand)
{
    Bench bench;
    EXPECT_EQ(bench.Run(CmdIsSync), "\nIsSync:\n"
                                    "    Frequency offset (PPM) = -0.229\n"
                                    "    Sync frequency (kHz)   = 2593000\n"
                                    "    Sync status            = Sync achieved\n"
                                    "\nIsSync was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdForceReSync), "\nForce Re-sync:\n\nForceReSync was SUCCESSFUL.\n");
    // Right after a re-sync the receiver is still searching.
    EXPECT_EQ(bench.Run(CmdIsSync), "\nIsSync:\n"
                                    "    Frequency offset (PPM) = 0.000\n"
                                    "    Sync frequency (kHz)   = 2593000\n"
                                    "    Sync status            = Sync not achieved\n"
                                    "\nIsSync was SUCCESSFUL.\n");
    for (int i = 0; i < 4; ++i)
        bench.Run(CmdGetRxAntConfig);
    EXPECT_NE(bench.Run(CmdIsSync).find("    Sync status            = Sync achieved\n"), std::string::npos);

    bench.Run(CmdSetBandConfig, "2533500 5000\n");
    std::string out = bench.Run(CmdIsSync);
    EXPECT_NE(out.find("    Sync frequency (kHz)   = 2533500\n"), std::string::npos);
    EXPECT_NE(out.find("    Sync status            = Sync not achieved\n"), std::string::npos);
}

TEST(RxCommands, AgcModeAsksTheBackoffForEveryModeAndPassesIt)
{
    Bench bench;
    int result = 1;
    for (const char *input : {"0 7\n", "2 64\n", "1 10\n"}) {
        EXPECT_EQ(bench.Run(CmdSetAGCMode, input, &result),
                  "\nSetAGCMode:\n"
                  "AGC mode:    0=Normal, 1=Back off AGC, 2=Freeze AGC\n"
                  "AGC backoff: 0 to 64 dB, in 1 dB steps (enter as decimal integer)\n"
                  "    AGC mode                ? "
                  "    AGC backoff in dB (dec) ? "
                  "\nSetAGCMode was SUCCESSFUL.\n");
        EXPECT_EQ(result, 0);
    }
    // In back-off mode the ADC sees the gain state less the backoff.
    double rssi[3];
    double adc[2];
    uint32_t counts[3];
    ASSERT_EQ(GetRSSIReport(bench.handle(), &rssi[0], &rssi[1], &rssi[2], &adc[0], &adc[1], &counts[0], &counts[1],
                            &counts[2]),
              nullptr);
    EXPECT_NEAR(adc[0] - rssi[0], 50.0 - 10.0, 1e-9);

    std::string out = bench.Run(CmdSetAGCMode, "1 65\n", &result);
    EXPECT_EQ(out.substr(out.find("? \n") + 2), "\nERROR: AGC backoff 65 dB out of range (0 to 64 dB)\n");
    EXPECT_EQ(result, -1);
}

TEST(RxCommands, GainStateWritesReadBackPerPathAndForBoth)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdSetRxGainState, "0 1 0 0 25\n", &result),
              kSetGainPrompts + "\nSetRxGainState was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdGetRxGainState, "0\n", &result), "\nGetRxGainState:\n"
                                                            "    Rx path (0=Rx1; 1=Rx2) ? "
                                                            "    External LNA   = Enabled (1)\n"
                                                            "    LNA gain       = Low    (Max gain - 26 dB) (0)\n"
                                                            "    Mixer gain     = Low (Max gain - 5 dB) (0)\n"
                                                            "    PGA gain index = 25\n"
                                                            "    Total gain     = 39\n"
                                                            "\nGetRxGainState was SUCCESSFUL.\n");
    // Path 1 kept its power-on state.
    EXPECT_EQ(bench.Run(CmdGetRxGainState, "1\n"), "\nGetRxGainState:\n"
                                                   "    Rx path (0=Rx1; 1=Rx2) ? "
                                                   "    External LNA   = Disabled (0)\n"
                                                   "    LNA gain       = High   (Max gain) (2)\n"
                                                   "    Mixer gain     = High (Max gain) (1)\n"
                                                   "    PGA gain index = 22\n"
                                                   "    Total gain     = 52\n"
                                                   "\nGetRxGainState was SUCCESSFUL.\n");
    // Path 2 sets both paths.
    bench.Run(CmdSetRxGainState, "2 0 1 1 31\n");
    for (const char *path : {"0\n", "1\n"}) {
        std::string out = bench.Run(CmdGetRxGainState, path);
        EXPECT_NE(out.find("    LNA gain       = Medium (Max gain - 12 dB) (1)\n"), std::string::npos);
        EXPECT_NE(out.find("    PGA gain index = 31\n    Total gain     = 49\n"), std::string::npos);
    }
}

TEST(RxCommands, GainStateNamesRawValuesTheDeviceReports)
{
    Bench bench;
    calsim::ForceRxGainState(0, 7, 5, 7, -2);
    EXPECT_EQ(bench.Run(CmdGetRxGainState, "0\n"), "\nGetRxGainState:\n"
                                                   "    Rx path (0=Rx1; 1=Rx2) ? "
                                                   "    External LNA   = Enabled (7)\n"
                                                   "    LNA gain       = High   (Max gain) (5)\n"
                                                   "    Mixer gain     = High (Max gain) (7)\n"
                                                   "    PGA gain index = -2\n"
                                                   "    Total gain     = 43\n"
                                                   "\nGetRxGainState was SUCCESSFUL.\n");
}

TEST(RxCommands, GainStateRefusalsShowNoValues)
{
    Bench bench;
    int result = 1;
    // A library error after all five replies: only the error line follows.
    EXPECT_EQ(bench.Run(CmdSetRxGainState, "0 0 2 1 32\n", &result),
              kSetGainPrompts + "\nERROR: PGA gain index 32 out of range (0 to 31)\n");
    EXPECT_EQ(result, -1);
    // A negative index reaches the library as typed.
    EXPECT_EQ(bench.Run(CmdSetRxGainState, "0 0 2 1 -4\n"),
              kSetGainPrompts + "\nERROR: PGA gain index -4 out of range (0 to 31)\n");
    // A negative path typed at "%u" is the 32-bit pattern.
    EXPECT_EQ(bench.Run(CmdGetRxGainState, "-1\n", &result), "\nGetRxGainState:\n"
                                                             "    Rx path (0=Rx1; 1=Rx2) ? "
                                                             "\nERROR: Invalid Rx path 4294967295 (0=Rx1, 1=Rx2)\n");
    EXPECT_EQ(result, -1);
}

TEST(RxCommands, RssiReportOfTheSeededDevice)
{
    Bench bench;
    EXPECT_EQ(bench.Run(CmdGetRSSIReport), "\nGetRSSIReport:\n"
                                           "    Rx1 RSSI              =  -59.75 dBm\n"
                                           "    Rx2 RSSI              =  -61.28 dBm\n"
                                           "    Combined RSSI         =  -57.44 dBm\n"
                                           "    Rx1 ADC input power   =   -9.75 dBm\n"
                                           "    Rx2 ADC input power   =   -9.28 dBm\n"
                                           "    Rx1 ADC clip count    = 8 (0.01 %)\n"
                                           "    Rx2 ADC clip count    = 19 (0.02 %)\n"
                                           "    Number of ADC samples = 102400\n"
                                           "\nGetRSSIReport was SUCCESSFUL.\n");
}

TEST(RxCommands, ClipPercentagesOfOddCounts)
{
    Bench bench;
    calsim::ForceRssiReport({-45.5, -46.25, -42.86, -3.0, -120.0, 50, 0x80000000u, 1000});
    EXPECT_EQ(bench.Run(CmdGetRSSIReport), "\nGetRSSIReport:\n"
                                           "    Rx1 RSSI              =  -45.50 dBm\n"
                                           "    Rx2 RSSI              =  -46.25 dBm\n"
                                           "    Combined RSSI         =  -42.86 dBm\n"
                                           "    Rx1 ADC input power   =   -3.00 dBm\n"
                                           "    Rx2 ADC input power   = -120.00 dBm\n"
                                           "    Rx1 ADC clip count    = 50 (5.00 %)\n"
                                           "    Rx2 ADC clip count    = 2147483648 (214748364.80 %)\n"
                                           "    Number of ADC samples = 1000\n"
                                           "\nGetRSSIReport was SUCCESSFUL.\n");
    // No samples: the percentage has no value and says so.
    calsim::ForceRssiReport({-60, -60, -57, -10, -10, 0xFFFFFFFFu, 0, 0});
    std::string out = bench.Run(CmdGetRSSIReport);
    EXPECT_NE(out.find("    Rx1 ADC clip count    = 4294967295 (n/a %)\n"
                       "    Rx2 ADC clip count    = 0 (n/a %)\n"
                       "    Number of ADC samples = 0\n"),
              std::string::npos);
}

TEST(RxCommands, CinrAndThermalNoiseOfTheSeededDevice)
{
    Bench bench;
    EXPECT_EQ(bench.Run(CmdGetCINR), "\nGetCINR:\n    CINR = 31.82 dB\n\nGetCINR was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdGetPerAntCINR), "\nGetPerAntCINR:\n"
                                           "    Combined CINR  = 31.65 dB\n"
                                           "    Antenna 1 CINR = 31.47 dB\n"
                                           "    Antenna 2 CINR = 30.62 dB\n"
                                           "\nGetPerAntCINR was SUCCESSFUL.\n");
    EXPECT_EQ(bench.Run(CmdGetPerAntThermalNoise), "\nGetPerAntThermalNoise:\n"
                                                   "    Antenna 1 thermal noise = -99.22 dBm\n"
                                                   "    Antenna 2 thermal noise = -99.12 dBm\n"
                                                   "\nGetPerAntThermalNoise was SUCCESSFUL.\n");
}

TEST(RxCommands, FrameErrorStatisticsCountAndReset)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdResetFrameErrorStatistics, "", &result),
              "\nResetFrameErrorStatistics:\n\nResetFrameErrorStatistics was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    // One exchange (10 ms of device time) later: two 5 ms frames, none in error.
    EXPECT_EQ(bench.Run(CmdGetFrameErrorStatistics, "", &result), "\nGetFrameErrorStatistics:\n"
                                                                   "    Total frames elapsed  = 2\n"
                                                                   "    Frames in error       = 0\n"
                                                                   "\nGetFrameErrorStatistics was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
}

TEST(RxCommands, FramesInErrorAllOnesIsNotAvailable)
{
    Bench bench;
    calsim::ForceFrameErrorStatistics(4294967295u, 0xFFFFFFFFu);
    EXPECT_EQ(bench.Run(CmdGetFrameErrorStatistics), "\nGetFrameErrorStatistics:\n"
                                                     "    Total frames elapsed  = 4294967295\n"
                                                     "    Frames in error       = N/A\n"
                                                     "\nGetFrameErrorStatistics was SUCCESSFUL.\n");
    calsim::ForceFrameErrorStatistics(0x80000000u, 0xFFFFFFFEu);
    EXPECT_EQ(bench.Run(CmdGetFrameErrorStatistics), "\nGetFrameErrorStatistics:\n"
                                                     "    Total frames elapsed  = 2147483648\n"
                                                     "    Frames in error       = 4294967294\n"
                                                     "\nGetFrameErrorStatistics was SUCCESSFUL.\n");
}

TEST(RxCommands, PduStatisticsAlwaysListThirteenRows)
{
    Bench bench;
    calsim::PduStatistics s{};
    s.totalFrames = 0xFFFFFFFFu;
    s.framesInError = 0x80000000u;
    s.fchErrors = 3;
    s.dlMapErrors = 4;
    s.pduCount[0] = 4294967295u;
    s.hcsErrors[5] = 2147483648u;
    s.crcErrors[12] = 7;
    s.burstSizes[12] = 1234567890u;
    calsim::ForcePduStatistics(s);
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetPDUErrorStatistics, "", &result),
              "\nGetPDUErrorStatistics:\n"
              "    Total frames received  = 4294967295\n"
              "    Frames in error        = 2147483648\n"
              "    FCH errors             = 3\n"
              "    DL Map errors          = 4\n\n"
              "    DIUC     PDU Count    HCS Errors    CRC Errors   Burst Sizes\n"
              "      0     4294967295             0             0             0\n"
              "      1              0             0             0             0\n"
              "      2              0             0             0             0\n"
              "      3              0             0             0             0\n"
              "      4              0             0             0             0\n"
              "      5              0    2147483648             0             0\n"
              "      6              0             0             0             0\n"
              "      7              0             0             0             0\n"
              "      8              0             0             0             0\n"
              "      9              0             0             0             0\n"
              "     10              0             0             0             0\n"
              "     11              0             0             0             0\n"
              "     12              0             0             7    1234567890\n"
              "\nGetPDUErrorStatistics was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
}
