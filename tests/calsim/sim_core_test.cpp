// The simulated library's core: opening interfaces, the connection gate,
// options, fault injection and the environment it reads.
#include "calsim/control.h"
#include "calapi/calapi.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(SimInterface, OpensLikeTheLibraryWithoutAnyNetwork)
{
    calsim::Reset();
    EXPECT_NE(GetCalInterface(0, "", 0), nullptr);
    EXPECT_NE(GetCalInterface(1, "192.168.10.1", 2800), nullptr);
    EXPECT_EQ(GetCalInterface(1, "proxy.local", 2800), nullptr); // no name look-up
    EXPECT_EQ(GetCalInterface(1, "10.0.0", 2800), nullptr);
    EXPECT_NE(GetCalInterface(2, "COM1", 115200), nullptr);
    EXPECT_EQ(GetCalInterface(2, "", 115200), nullptr);
    EXPECT_EQ(GetCalInterface(3, "", 0), nullptr);
    calsim::SetNullInterface(true);
    EXPECT_EQ(GetCalInterface(0, "", 0), nullptr);
    calsim::Reset();
}

TEST(SimInterface, OperationsNeedTheOpenHandleAndAConnectedDevice)
{
    calsim::Reset();
    TavrelCalHandle h = GetCalInterface(0, "", 0);
    uint32_t mode = 0, modulation = 0;
    EXPECT_STREQ(GetDeviceMode(h, &mode, &modulation), "Device is not connected");
    EXPECT_EQ(ConnectDevice(h), nullptr);
    EXPECT_EQ(GetDeviceMode(h, &mode, &modulation), nullptr);
    int other = 0;
    EXPECT_STREQ(GetDeviceMode(&other, &mode, &modulation), "Invalid Cal API interface handle");
    EXPECT_STREQ(GetDeviceMode(nullptr, &mode, &modulation), "Invalid Cal API interface handle");
    EXPECT_EQ(DisconnectDevice(h), nullptr);
    EXPECT_NE(DisconnectDevice(h), nullptr); // already disconnected
    CloseCalInterface();
    EXPECT_STREQ(ConnectDevice(h), "Invalid Cal API interface handle"); // closed handles are dead
    calsim::Reset();
}

TEST(SimOptions, NamesReservedFlagsAndRanges)
{
    calsim::Reset();
    TavrelCalHandle h = GetCalInterface(0, "", 0);
    ConnectDevice(h);
    int reserved = 0;
    for (uint32_t i = 0; i < 8; ++i) {
        const TavrelOptionInfo *info = GetOptionInfo(i);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->optionId, i);
        ASSERT_NE(info->name, nullptr);
        EXPECT_LE(std::strlen(info->name), 35u); // fits the padded column
        reserved += info->reserved ? 1 : 0;
    }
    EXPECT_GT(reserved, 0);
    EXPECT_STREQ(GetOptionInfo(7)->name, "NVM mode");
    EXPECT_EQ(GetOptionInfo(7)->reserved, 0u);

    uint32_t value = 99;
    EXPECT_EQ(SetOptionByID(h, 7, 2), nullptr);
    EXPECT_EQ(GetOptionByID(h, 7, &value), nullptr);
    EXPECT_EQ(value, 2u);
    EXPECT_NE(SetOptionByID(h, 7, 3), nullptr); // NVM modes are 0 to 2
    EXPECT_NE(SetOptionByID(h, 8, 0), nullptr);
    EXPECT_NE(SetOptionByID(h, 3, 0), nullptr); // reserved
    EXPECT_NE(GetOptionByID(h, 6, &value), nullptr);
    calsim::Reset();
}

TEST(SimFaults, SkipTimesAndClear)
{
    calsim::Reset();
    TavrelCalHandle h = GetCalInterface(0, "", 0);
    ConnectDevice(h);
    int32_t offset = 0;
    calsim::FailOperation("GetCWOffset", "Busy", 1, 2);
    EXPECT_EQ(GetCWOffset(h, &offset), nullptr);
    EXPECT_STREQ(GetCWOffset(h, &offset), "Busy");
    EXPECT_STREQ(GetCWOffset(h, &offset), "Busy");
    EXPECT_EQ(GetCWOffset(h, &offset), nullptr);
    calsim::FailOperation("GetCWOffset", "Down");
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(GetCWOffset(h, &offset), "Down");
    calsim::ClearFaults();
    EXPECT_EQ(GetCWOffset(h, &offset), nullptr);
    EXPECT_EQ(calsim::CallCount("GetCWOffset"), 10);
    calsim::Reset();
}

// CALSIM_TEMPERATURE pins the die temperature for a whole program run; a
// value that is not a whole finite number leaves the warming die (38 C just
// after power-on on the virtual clock).
TEST(SimEnvironment, TemperatureIsForcedOnlyByAFiniteNumber)
{
    static const struct {
        const char *value;
        const char *shown;
    } kCases[] = {
        {"95", "Temperature = 95 C\n"},  {"-40.4", "Temperature = -40 C\n"}, {"nan", "Temperature = 38 C\n"},
        {"inf", "Temperature = 38 C\n"}, {"hot", "Temperature = 38 C\n"},    {"70C", "Temperature = 38 C\n"},
    };
    for (const auto &c : kCases) {
        // Interface local, Other Commands, Get temperature, then leave.
        testing_support::ProgramRun run =
            testing_support::RunProgram(testing_support::TuneprobePath(), "0\n5\n6\n-1\n-1\n",
                                        {"CALSIM_SEED=1", std::string("CALSIM_TEMPERATURE=") + c.value});
        EXPECT_EQ(run.exitStatus, 0) << c.value;
        EXPECT_NE(run.output.find(c.shown), std::string::npos) << c.value << "\n" << run.output;
    }
}
