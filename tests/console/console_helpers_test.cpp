// The console helpers (menu input, generator, layout, clock): the edge
// cases that catch real faults.
#include "console/random_word.h"
#include "console/clock.h"
#include "console/text_layout.h"
#include "console/console_io.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing_support::Bench;

TEST(AskDecimal, LeadingNumberOfEachWord)
{
    Bench bench;
    std::vector<int32_t> got;
    std::string longWord = "123" + std::string(57, 'z'); // 60 characters, read whole
    std::string out = bench.RunCode(
        [&] {
            for (int i = 0; i < 7; ++i)
                got.push_back(con::AskDecimal("%d? ", i));
        },
        "12 -1 x 3abc\n" + longWord + " -0 +7\n");
    EXPECT_EQ(got, (std::vector<int32_t>{12, -1, 0, 3, 123, 0, 7}));
    EXPECT_EQ(out, "0? 1? 2? 3? 4? 5? 6? "); // no notice for a word that is not a number
}

TEST(AskDecimal, ANumberPast32BitsIsAskedAgainNotWrapped)
{
    Bench bench;
    std::vector<int32_t> got;
    std::string out = bench.RunCode(
        [&] {
            for (int i = 0; i < 2; ++i)
                got.push_back(con::AskDecimal("\nENTER OPTION : "));
        },
        "99999999999999999999 4294967297 4294967295 -2147483649 2\n");
    EXPECT_EQ(got, (std::vector<int32_t>{-1, 2}));
    EXPECT_EQ(out, "\nENTER OPTION : Please enter a number.\n\nENTER OPTION : Please enter a number.\n"
                   "\nENTER OPTION : \nENTER OPTION : Please enter a number.\n\nENTER OPTION : ");
}

TEST(RandomWord, FollowsTheOriginalGenerator)
{
    // Seed 1 gives the generator's well-known first values 41, 18467, 6334.
    SeedRandom(1);
    EXPECT_EQ(NextRandom15(), 41u);
    EXPECT_EQ(NextRandom15(), 18467u);
    EXPECT_EQ(NextRandom15(), 6334u);
    SeedRandom(1);
    EXPECT_EQ(RandomWord(), (41u << 17) ^ (18467u << 2) ^ 6334u);
    for (int i = 0; i < 100000; ++i)
        ASSERT_NE(RandomWord(), 0u);
}

TEST(PrintHexDump, LinesOfSixteenLabelledFromTheLabel)
{
    Bench bench;
    uint8_t data[17];
    for (int i = 0; i < 17; ++i)
        data[i] = static_cast<uint8_t>(0xF0 + i);
    EXPECT_EQ(bench.RunCode([&] { PrintHexDump(data, 0x100, 17); }),
              "0100:  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\n0110:  00\n");
    EXPECT_EQ(bench.RunCode([&] { PrintHexDump(data, 0x10000, 16); }),
              "10000:  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\n");
    EXPECT_EQ(bench.RunCode([&] { PrintHexDump(nullptr, 0, 0); }), "\n");
}

TEST(PadText, PadsCutsAndRefuses)
{
    EXPECT_EQ(std::string(PadText("All options", ' ', 30)), "All options" + std::string(19, ' '));
    std::string name35(35, 'n');
    EXPECT_EQ(std::string(PadText(name35.c_str(), ' ', 30)), std::string(30, 'n'));
    EXPECT_EQ(std::string(PadText("", '*', 35)), std::string(35, '*'));
    EXPECT_EQ(PadText(nullptr, ' ', 10), nullptr);
    std::string text81(81, 'x');
    EXPECT_EQ(PadText(text81.c_str(), ' ', 10), nullptr);
    std::string text80(80, 'x');
    EXPECT_EQ(std::string(PadText(text80.c_str(), ' ', 80)), text80);
    // A length past the buffer is cut to the buffer, never written beyond it.
    EXPECT_EQ(std::string(PadText("", '-', 200)), std::string(80, '-'));
}

TEST(ReadClock, WholeMillisecondsThatNeverGoBack)
{
    double previous = ReadClock();
    for (int i = 0; i < 100000; ++i) {
        double now = ReadClock();
        ASSERT_GE(now, previous);
        ASSERT_EQ(now, static_cast<double>(static_cast<long long>(now)));
        previous = now;
    }
    double before = ReadClock();
    SleepMs(20);
    EXPECT_GE(ReadClock() - before, 19.0); // a wall clock, not CPU time
}
