// The console's reading rules: conversions as formatted input, re-asking on
// words that are not numbers, overlong fields, the pause, end of input.
#include "console/console_io.h"
#include "tests/support/console_harness.h"

#include <gtest/gtest.h>

using testing_support::Bench;

TEST(ConsoleInput, ConversionsTakeTheLeadingNumber)
{
    Bench bench;
    uint32_t u1 = 0, u2 = 0, h1 = 0, h2 = 0;
    int32_t s = 0;
    double d = 0;
    std::string out = bench.RunCode(
        [&] {
            u1 = con::AskUnsigned("u? ");
            u2 = con::AskUnsigned("u? ");
            h1 = con::AskHex("h? ");
            h2 = con::AskHex("h? ");
            s = con::AskSigned("s? ");
            d = con::AskDouble("d? ");
        },
        "-100 3abc 1a 0xFFFFFFFF -7 23.5\n");
    EXPECT_EQ(out, "u? u? h? h? s? d? ");
    EXPECT_EQ(u1, 4294967196u); // the 32-bit pattern of -100
    EXPECT_EQ(u2, 3u);
    EXPECT_EQ(h1, 0x1Au);
    EXPECT_EQ(h2, 0xFFFFFFFFu);
    EXPECT_EQ(s, -7);
    EXPECT_EQ(d, 23.5);
}

TEST(ConsoleInput, AWordThatIsNotANumberIsConsumedAndAskedAgain)
{
    Bench bench;
    uint32_t v = 0;
    std::string out = bench.RunCode([&] { v = con::AskUnsigned("    Value ? "); }, "abc - 42\n");
    EXPECT_EQ(out, "    Value ? Please enter a number.\n    Value ? Please enter a number.\n    Value ? ");
    EXPECT_EQ(v, 42u);
}

TEST(ConsoleInput, OverlongTextIsRefusedNotTruncated)
{
    Bench bench;
    std::string word;
    std::string out =
        bench.RunCode([&] { word = con::AskText(15, "  Name ? "); }, "0123456789abcdef 0123456789abcde\n");
    EXPECT_EQ(out, "  Name ? That is too long (at most 15 characters). Please try again.\n  Name ? ");
    EXPECT_EQ(word, "0123456789abcde");
}

TEST(ConsoleInput, EndOfInputLeavesThroughTheHookEvenWhileReasking)
{
    Bench bench;
    bool ended = false;
    bench.RunCode([&] { con::AskUnsigned("? "); }, "  \n\t", &ended);
    EXPECT_TRUE(ended);
    ended = false;
    bench.RunCode([&] { con::AskUnsigned("? "); }, "x y z", &ended);
    EXPECT_TRUE(ended);
}

TEST(ConsoleInput, PauseDropsTheRestOfTheLineAndTakesOneLine)
{
    Bench bench;
    std::string a, b, c;
    bench.RunCode(
        [&] {
            a = con::ReadWord();
            con::WaitForEnter(); // drops " rest of line", then takes "pause answer"
            b = con::ReadWord();
            con::WaitForEnter(); // the line of "b" is left: its end, then an empty line
            c = con::ReadWord();
        },
        "2 rest of line\npause answer\nb\n\nc\n");
    EXPECT_EQ(a, "2");
    EXPECT_EQ(b, "b");
    EXPECT_EQ(c, "c");

    // Right after a pause, the next pause takes the next line, whole.
    bench.RunCode(
        [&] {
            con::WaitForEnter();
            con::WaitForEnter();
            c = con::ReadWord();
        },
        "first\nsecond\nthird\n");
    EXPECT_EQ(c, "third");

    bool ended = false;
    bench.RunCode([&] { con::WaitForEnter(); }, "", &ended);
    EXPECT_TRUE(ended);
}

TEST(ConsoleInput, KeyReadReturnsOnEndOfInput)
{
    Bench bench;
    bool ended = true;
    bench.RunCode([&] { con::WaitForKey(); }, "", &ended);
    EXPECT_FALSE(ended);
}
