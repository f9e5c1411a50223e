// The menu loop: screens, navigation, invalid choices, dispatch, and the
// limits of the real table. (Every row of the real table runs its command in
// the end-to-end group sessions.)
#include "tuneprobe/menu.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing_support::Bench;
using testing_support::Count;

namespace {

std::vector<std::string> g_calls;
int FirstHandler(TavrelCalHandle)
{
    g_calls.push_back("first");
    return 0;
}
int SecondHandler(TavrelCalHandle)
{
    g_calls.push_back("second");
    return -1;
}
int ThirdHandler(TavrelCalHandle)
{
    g_calls.push_back("third");
    return 0;
}

const MenuRow kSmallTable[] = {
    {"Alpha", "First", FirstHandler},
    {nullptr, "Second", SecondHandler},
    {"Beta", "Third", ThirdHandler},
    {nullptr, nullptr, nullptr},
};

} // namespace

TEST(Menu, MainAndGroupScreensExactly)
{
    Bench bench;
    g_calls.clear();
    std::string out = bench.RunCode([&] { RunMenuTable(bench.handle(), kSmallTable); }, "2 1 -1 -1\n");
    const std::string mainScreen = "\n\n******** Cal API Main Menu ********"
                                   "\n\n    1. Alpha"
                                   "\n\n    2. Beta"
                                   "\n\n   -1. Exit application"
                                   "\n\n***********************************\n"
                                   "\nENTER OPTION : ";
    const std::string betaScreen = "\n\n******** Beta ********"
                                   "\n\n    1. Third"
                                   "\n\n   -1. Main Menu"
                                   "\n\n**********************\n"
                                   "\nENTER OPTION : ";
    EXPECT_EQ(out, mainScreen + betaScreen + betaScreen + mainScreen);
    EXPECT_EQ(g_calls, std::vector<std::string>{"third"});
}

TEST(Menu, InvalidChoicesKeepTheSameScreen)
{
    Bench bench;
    g_calls.clear();
    // Main menu: 0, 3 and a word are invalid; in Alpha: 3 and -2 are invalid,
    // "2x" reads 2 and runs Second, whose failure changes nothing.
    std::string out = bench.RunCode([&] { RunMenuTable(bench.handle(), kSmallTable); }, "0 3 abc 1 3 -2 2x 1 -1 -1\n");
    EXPECT_EQ(Count(out, "\nSorry. Invalid option selected."), 5);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"second", "first"}));
    EXPECT_EQ(Count(out, "******** Alpha ********"), 5);
    EXPECT_EQ(Count(out, "******** Cal API Main Menu ********"), 5);
}

// Every screen of the real table, each group's asterisk line, and a choice
// just past the main menu, the largest group and the smallest one.
TEST(Menu, RealTableScreensMatchTheRecording)
{
    Bench bench;
    std::string out =
        bench.RunCode([&] { RunMenu(bench.handle()); }, "10 1 -1 2 -1 3 -1 4 -1 5 -1 6 13 -1 7 -1 8 3 -1 9 6 -1 -1\n");
    testing_support::ExpectMatchesTranscript("menu_screens.txt", out);
}

TEST(Menu, EndOfInputLeavesTheLoop)
{
    Bench bench;
    bool ended = false;
    bench.RunCode([&] { RunMenu(bench.handle()); }, "1\n", &ended);
    EXPECT_TRUE(ended);
}
