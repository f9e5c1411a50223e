// The write key command and the block write dialogue: transcripts, the
// patterns, and every failure path with its line, result and device state.
#include "calsim/control_devdata.h"
#include "devdata/devdata_write.h"
#include "tests/devdata/devdata_test_support.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <cstring>

using testing_support::Bench;
using testing_support::Contains;
using testing_support::EndsWith;

namespace {

std::vector<uint32_t> WordsAt(uint32_t address, uint32_t count)
{
    std::vector<uint8_t> bytes = devdata_test::SectionBytes(0, address, 4 * count);
    std::vector<uint32_t> words(count);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

const char kHead[] = "\nWrite Device Data Block:\n"
                     "\nNote: Block size is the number of 32-bit unsigned integers (not bytes).\n"
                     "    NVM mode is 0\n"
                     "    Device Data address (hex) ?     Block size (dec)          ? ";

} // namespace

TEST(DevDataKey, FreshKeyOrFailure)
{
    Bench bench;
    int result = 1;
    std::string out = bench.Run(CmdRequestDevDataWriteKey, "", &result);
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(out.starts_with("\nRequest Device Data Write Key:\n    New Device Data key is ")) << out;
    EXPECT_TRUE(EndsWith(out, "\n\nRequestDevDataWriteKey was SUCCESSFUL.\n"));
    EXPECT_FALSE(Contains(out, "is 00000000"));

    calsim::FailOperation("RequestDevDataWriteKey", "No key");
    EXPECT_EQ(bench.Run(CmdRequestDevDataWriteKey, "", &result),
              "\nRequest Device Data Write Key:\n    New Device Data key is 00000000\n"
              "RequestDevDataWriteKey operation FAILED with return value 0.\n");
    EXPECT_EQ(result, -1);
}

TEST(DevDataBlockWrite, SaveWriteVerifyRestoreTranscript)
{
    Bench bench;
    std::vector<uint8_t> before = calsim::DevDataSection(0);
    int result = 1;
    EXPECT_EQ(bench.Run(CmdWriteDevDataBlock, "100 3 1 1 2 fffffffe 1 1\n", &result),
              std::string(kHead) + "\n    Auto Device Data key (1=yes/0=no) ? "
                                   "\n    Restore contents (1=yes/0=no) ? "
                                   "\n    Data pattern (0=user 1=random 2=increment 3=constant) ? "
                                   "    Starting value (hex) ?     Increment      (hex) ? "
                                   "\nNumber of 32-bit words actually written = 3\n"
                                   "\n    Verify write     (1=yes/0=no) ? "
                                   "\n0 verify errors.\n"
                                   "\nRestoring original Device Data values ... \n"
                                   "\n    Number of 32-bit words actually written = 3\n"
                                   "\nWriteDevDataBlock was SUCCESSFUL.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calsim::DevDataSection(0), before);
    EXPECT_EQ(calsim::CallCount("RequestDevDataWriteKey"), 2); // the restore has its own key
}

TEST(DevDataBlockWrite, Patterns)
{
    Bench bench;
    int result = 1;
    // Increment wraps past 0xFFFFFFFF.
    bench.Run(CmdWriteDevDataBlock, "100 3 1 0 2 fffffffe 1 0\n", &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(WordsAt(0x100, 3), (std::vector<uint32_t>{0xFFFFFFFE, 0xFFFFFFFF, 0}));

    // User values: one question per word; a bad pattern number asks again.
    std::string out = bench.Run(CmdWriteDevDataBlock, "200 2 1 0 7 0 12345678 abc 0\n", &result);
    EXPECT_TRUE(Contains(out, "? ERROR: Invalid selection = 7\n"
                              "\n    Data pattern (0=user 1=random 2=increment 3=constant) ? "
                              "    Value 1 of 2 (hex) ?     Value 2 of 2 (hex) ? \nNumber"));
    EXPECT_EQ(WordsAt(0x200, 2), (std::vector<uint32_t>{0x12345678, 0xABC}));

    bench.Run(CmdWriteDevDataBlock, "300 2 1 0 3 a5a5a5a5 0\n", &result);
    EXPECT_EQ(WordsAt(0x300, 2), (std::vector<uint32_t>{0xA5A5A5A5, 0xA5A5A5A5}));

    bench.Run(CmdWriteDevDataBlock, "400 4 1 0 1 0\n", &result);
    for (uint32_t word : WordsAt(0x400, 4))
        EXPECT_NE(word, 0u);
}

// N = 0: nothing allocated; increment still asks its values; the write and
// the verify handle no data.
TEST(DevDataBlockWrite, ZeroWords)
{
    Bench bench;
    int result = 1;
    std::string out = bench.Run(CmdWriteDevDataBlock, "100 0 1 1 2 5 1 1\n", &result);
    EXPECT_TRUE(Contains(out, "    Starting value (hex) ?     Increment      (hex) ? "
                              "\nNumber of 32-bit words actually written = 0\n"));
    EXPECT_TRUE(EndsWith(out, "\n0 verify errors.\n\nRestoring original Device Data values ... \n"
                              "\n    Number of 32-bit words actually written = 0\n"
                              "\nWriteDevDataBlock was SUCCESSFUL.\n"));
    EXPECT_EQ(result, 0);
}

// One word reads back wrong: the count, no restore, no success line.
TEST(DevDataBlockWrite, VerifyErrorsBlockTheRestore)
{
    Bench bench;
    calsim::CorruptDevDataReads(0x104, 0x01, 1, 1); // the read-back only
    int result = 1;
    std::string out = bench.Run(CmdWriteDevDataBlock, "100 2 1 1 3 abcd 1\n", &result);
    EXPECT_TRUE(EndsWith(out, "\n    Verify write     (1=yes/0=no) ? "
                              "\n00000104: Wrote 0000ABCD - Read back 0000ABCC - Verify ERROR"
                              "\n1 verify errors.\n"));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(WordsAt(0x100, 2), (std::vector<uint32_t>{0xABCD, 0xABCD}));
}

TEST(DevDataBlockWrite, TypedKeysAndAnUnknownNvmMode)
{
    Bench bench;
    uint32_t key = RequestDevDataWriteKey(bench.handle());
    char answers[64];
    std::snprintf(answers, sizeof answers, "100 1 0 %x 0 3 1 0\n", key);
    int result = 1;
    EXPECT_TRUE(Contains(bench.Run(CmdWriteDevDataBlock, answers, &result),
                         "(1=yes/0=no) ?     Device Data Key (hex)     ? \n"));
    EXPECT_EQ(result, 0);
    // The same key again has been used.
    EXPECT_TRUE(Contains(bench.Run(CmdWriteDevDataBlock, answers, &result), "has been used or replaced\n"));
    EXPECT_EQ(result, -1);

    calsim::FailOperation("GetOptionByID", "Option table unavailable", 0, 1);
    std::string out = bench.Run(CmdWriteDevDataBlock, "100 0 1 0 1 0\n", &result);
    EXPECT_TRUE(
        Contains(out, "(not bytes).\n    NVM mode is unknown (Option table unavailable)\n    Device Data address"));
}
