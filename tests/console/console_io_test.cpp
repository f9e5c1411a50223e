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

// The integer conversions take -2^31 to 2^32-1 and cut it to 32 bits; any
// other number is refused whole, however far past 64 bits it runs.
TEST(ConsoleInput, IntegerConversionsRefuseNumbersPast32Bits)
{
    struct Case {
        const char *word;
        int base;
        bool taken;
        uint32_t bits;
    };
    const Case cases[] = {
        {"4294967295", 10, true, 0xFFFFFFFFu},
        {"4294967296", 10, false, 0},
        {"+4294967295", 10, true, 0xFFFFFFFFu},
        {"-2147483648", 10, true, 0x80000000u},
        {"-2147483649", 10, false, 0},
        {"-1", 10, true, 0xFFFFFFFFu},
        {"-0", 10, true, 0},
        {"4294968296", 10, false, 0},
        {"18446744073709551615", 10, false, 0},
        {"-18446744073709551615", 10, false, 0},
        {"99999999999999999999x", 10, false, 0},
        {"00000000000000000000042", 10, true, 42},
        {"-+1", 10, false, 0},
        {"0xFFFFFFFF", 16, true, 0xFFFFFFFFu},
        {"100000000", 16, false, 0},
        {"-0x80000000", 16, true, 0x80000000u},
        {"-80000001", 16, false, 0},
        {"0x", 16, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word);
        uint32_t u = 7;
        EXPECT_EQ(con::ParseUnsigned(c.word, c.base, u), c.taken);
        EXPECT_EQ(u, c.taken ? c.bits : 7u); // a refused word leaves the value alone
        if (c.base == 10) {
            int32_t s = 7;
            EXPECT_EQ(con::ParseSigned(c.word, s), c.taken);
            EXPECT_EQ(s, c.taken ? static_cast<int32_t>(c.bits) : 7);
        }
    }
}

TEST(ConsoleInput, ANumberPast32BitsGetsTheNoticeAndTheQuestionAgain)
{
    Bench bench;
    int32_t s = 0;
    uint32_t h = 0;
    std::string out = bench.RunCode(
        [&] {
            s = con::AskSigned("s? ");
            h = con::AskHex("h? ");
        },
        "4294968296 4294967295 123456789a 12345678\n");
    EXPECT_EQ(s, -1);
    EXPECT_EQ(h, 0x12345678u);
    EXPECT_EQ(out, "s? Please enter a number.\ns? h? Please enter a number.\nh? ");
}
