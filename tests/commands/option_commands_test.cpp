// Library option commands: the picker's lists and refusals, the loops of the
// two commands and their endings.
#include "calsim/control.h"
#include "commands/option_commands.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

namespace {

// The simulated library has options 3 and 6 reserved.
const char kOptionRows[] = "\n    0. Debug trace level                 1. Command timeout (ms)          "
                           "\n    2. Connect retry count               3. <Reserved>                    "
                           "\n    4. Auto load Device Data on conne    5. Verify Device Data writes     "
                           "\n    6. <Reserved>                        7. NVM mode                      ";
const char kRefused[] = "ERROR: Invalid option ID. Please try again.\n";
const char kAsk[] = "\n\nENTER Option ID : ";

std::string ReadList()
{
    return std::string(kOptionRows) + "\n    8. All options                      -1. Return to Main Menu" + kAsk;
}

std::string WriteList()
{
    return std::string(kOptionRows) + "\n   -1. Return to Main Menu" + kAsk;
}

} // namespace

TEST(OptionCommands, MinusOneAtTheFirstQuestionEndsWithTheSuccessLine)
{
    Bench bench;
    int result = 1;
    EXPECT_EQ(bench.Run(CmdGetOptionByID, "-1\n", &result),
              "\nGet Option By ID:\n" + ReadList() + "\nTestGetOptionByID was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bench.Run(CmdSetOptionByID, "-1\n", &result),
              "\nSet Option By ID:\n" + WriteList() + "\nTestSetOptionByID was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calsim::CallCount("GetOptionByID") + calsim::CallCount("SetOptionByID"), 0);
}

TEST(OptionCommands, PickerRefusesReservedOutOfRangeAndAllForWrites)
{
    Bench bench;
    int32_t choice = 0;
    // Read picker: 3 and 6 reserved, 9 and -2 out of range; 8 is taken.
    std::string out = bench.RunCode([&] { choice = PickOptionId(true); }, "3 6 9 -2 8\n");
    EXPECT_EQ(choice, 8);
    EXPECT_EQ(out, ReadList() + kRefused + kAsk + kRefused + kAsk + kRefused + kAsk + kRefused + kAsk);

    // Write picker: 8 refused, a word that is not a number reads as 0.
    out = bench.RunCode([&] { choice = PickOptionId(false); }, "8 -2 nine\n");
    EXPECT_EQ(choice, 0);
    EXPECT_EQ(out, WriteList() + kRefused + kAsk + kRefused + kAsk);
}

TEST(OptionCommands, ReadAllShowsEveryUsableOptionThenAsksAgain)
{
    Bench bench;
    calsim::ForceOptionValue(1, 0xFFFFFFFFu); // shown as a signed value
    std::string out = bench.Run(CmdGetOptionByID, "8\n7\n-1\n");
    std::string expected = "\nGet Option By ID:\n" + ReadList() +
                           "\nDebug trace level                   = 0"
                           "\nCommand timeout (ms)                = -1"
                           "\nConnect retry count                 = 3"
                           "\nAuto load Device Data on connect    = 1"
                           "\nVerify Device Data writes           = 0"
                           "\nNVM mode                            = 0"
                           "\n\n" +
                           ReadList() + "\nNVM mode                            = 0\n\n" + ReadList() +
                           "\nTestGetOptionByID was SUCCESSFUL.\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(calsim::CallCount("GetOptionByID"), 7);
}

TEST(OptionCommands, ReadErrorEndsTheCommandKeepingEarlierLines)
{
    Bench bench;
    calsim::FailOperation("GetOptionByID", "Option table busy", 2, 1);
    int result = 0;
    std::string out = bench.Run(CmdGetOptionByID, "8\n-1\n", &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "\nGet Option By ID:\n" + ReadList() +
                       "\nDebug trace level                   = 0"
                       "\nCommand timeout (ms)                = 5000"
                       "\nERROR: Option table busy\n");
}

TEST(OptionCommands, WriteLoopSetsValuesUntilMinusOne)
{
    Bench bench;
    int result = 1;
    std::string out = bench.Run(CmdSetOptionByID, "7\n2\n2\n10\n-1\n", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "\nSet Option By ID:\n" + WriteList() + "\nOption value = \n" + WriteList() + "\nOption value = \n" +
                       WriteList() + "\nTestSetOptionByID was SUCCESSFUL.\n");
    uint32_t value = 0;
    ASSERT_EQ(GetOptionByID(bench.handle(), 7, &value), nullptr);
    EXPECT_EQ(value, 2u);
    ASSERT_EQ(GetOptionByID(bench.handle(), 2, &value), nullptr);
    EXPECT_EQ(value, 10u);
}

TEST(OptionCommands, WriteErrorEndsTheCommand)
{
    Bench bench;
    int result = 0;
    std::string out = bench.Run(CmdSetOptionByID, "5\n7\n-1\n", &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "\nSet Option By ID:\n" + WriteList() +
                       "\nOption value = \n\nERROR: Value 7 out of range for option 5 (0 to 1)\n");
}
