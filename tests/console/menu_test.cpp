// The menu table and loop: screens, navigation, invalid choices, dispatch.
#include "console/menu.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using testing_support::Bench;

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

std::size_t Count(const std::string &text, const std::string &piece)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(MenuTable, NineGroupsOfSeventySixItems)
{
    int rows = 0;
    std::vector<std::string> groups;
    std::vector<int> sizes;
    for (const MenuRow *row = MenuTable; row->label != nullptr; ++row, ++rows) {
        ASSERT_NE(row->handler, nullptr) << row->label;
        if (row->groupTitle) {
            groups.push_back(row->groupTitle);
            sizes.push_back(0);
        }
        ++sizes.back();
    }
    EXPECT_EQ(rows, 76);
    EXPECT_EQ(groups, (std::vector<std::string>{"Configuration Commands", "Rx Commands", "Tx Commands",
                                                "Loopback Calibration Commands", "Other Commands",
                                                "Device Data Management Commands", "Device Data Read/Write Commands",
                                                "Library Configuration Commands", "Test Commands"}));
    EXPECT_EQ(sizes, (std::vector<int>{8, 14, 6, 7, 11, 12, 11, 2, 5}));
}

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
    std::string out = bench.RunCode([&] { RunMenuTable(bench.handle(), kSmallTable); },
                                    "0 3 abc 1 3 -2 2x 1 -1 -1\n");
    EXPECT_EQ(Count(out, "\nSorry. Invalid option selected."), 5u);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"second", "first"}));
    EXPECT_EQ(Count(out, "******** Alpha ********"), 5u);
    EXPECT_EQ(Count(out, "******** Cal API Main Menu ********"), 5u);
}

TEST(Menu, RealTableLimitsAndAsteriskLines)
{
    Bench bench;
    std::string out = bench.RunCode([&] { RunMenu(bench.handle()); }, "10 6 13 -1 9 6 -1 -1\n");
    EXPECT_EQ(Count(out, "\nSorry. Invalid option selected."), 3u);
    EXPECT_NE(out.find("\n\n" + std::string(35, '*') + "\n"), std::string::npos);
    EXPECT_NE(out.find("******** Device Data Management Commands ********\n\n    1. LoadDevData"), std::string::npos);
    EXPECT_NE(out.find("   12. InitializeFlash\n\n   -1. Main Menu\n\n" + std::string(49, '*') + "\n"),
              std::string::npos);
    EXPECT_NE(out.find("    5. NVM Mode test\n\n   -1. Main Menu"), std::string::npos);
}

TEST(Menu, EndOfInputLeavesTheLoop)
{
    Bench bench;
    bool ended = false;
    bench.RunCode([&] { RunMenu(bench.handle()); }, "1\n", &ended);
    EXPECT_TRUE(ended);
}
