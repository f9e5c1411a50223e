// Property: any write dialogue with the restore asked for and a clean
// verify leaves every simulated memory byte-identical to what it was.
#include "calsim/control_devdata.h"
#include "devdata/devdata_write.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <random>

using testing_support::Bench;

namespace {

struct Memories {
    std::vector<uint8_t> sections[3];
    std::vector<uint8_t> buffer;
    bool operator==(const Memories &) const = default;
};

Memories Snapshot()
{
    Memories m;
    for (uint32_t s = 0; s < 3; ++s)
        m.sections[s] = calsim::DevDataSection(s);
    m.buffer = calsim::DevDataBuffer();
    return m;
}

// The answers of a random pattern over count values.
std::string PatternAnswers(std::mt19937 &rng, uint32_t count)
{
    uint32_t pattern = rng() % 4;
    std::string answers = std::to_string(pattern);
    char word[16];
    uint32_t values = pattern == 0 ? count : pattern == 2 ? 2 : pattern == 3 ? 1 : 0;
    for (uint32_t i = 0; i < values; ++i) {
        std::snprintf(word, sizeof word, " %x", static_cast<unsigned>(rng()));
        answers += word;
    }
    return answers;
}

uint32_t Below(std::mt19937 &rng, uint32_t limit)
{
    return static_cast<uint32_t>(rng() % limit);
}

} // namespace

TEST(DevDataProperty, RestoredDialoguesLeaveTheMemoryAsItWas)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 80; ++round) {
        Bench bench(static_cast<uint32_t>(round) + 1);
        uint32_t kind = Below(rng, 4);
        bool buffered = kind != 2 && Below(rng, 3) == 0;
        calsim::ForceOptionValue(TAVREL_OPTION_NVM_MODE, buffered ? 1 + Below(rng, 2) : 0);
        ASSERT_EQ(SelectCurrentDevDataSection(bench.handle(), Below(rng, 2) * 2), nullptr);
        uint32_t memory = buffered ? calsim::kDevDataImageSize : calsim::kDevDataSectionSize;
        Memories before = Snapshot();

        char head[96];
        std::string answers;
        CommandHandler handler = nullptr;
        if (kind == 0) { // block of words at any byte address
            uint32_t words = Below(rng, 65);
            std::snprintf(head, sizeof head, "%x %u 1 1 ", Below(rng, memory - 4 * words + 1), words);
            answers = head + PatternAnswers(rng, words) + " 1\n";
            handler = CmdWriteDevDataBlock;
        } else if (kind == 1) {
            uint32_t size = Below(rng, 300);
            std::snprintf(head, sizeof head, "%x %u 1 1 ", Below(rng, memory - size + 1), size);
            answers = head + PatternAnswers(rng, size) + " 1\n";
            handler = CmdWriteDevDataBytes;
        } else if (kind == 2) { // Flash 2.x block clear of the header
            uint32_t size = Below(rng, 2000);
            std::snprintf(head, sizeof head, "%x %u %u %u %u 1 1 ", Below(rng, calsim::kDsdHeaderOffset - size + 1),
                          size, 1 + Below(rng, 2), 1 + Below(rng, 63), Below(rng, 11));
            answers = head + PatternAnswers(rng, size) + " 1\n";
            handler = CmdWriteFlash2xBytesWithHeader;
        } else {
            std::snprintf(head, sizeof head, "%u 1 %u 1 1\n", 1 + Below(rng, 11), Below(rng, 1100));
            answers = head;
            handler = CmdWriteDevDataRegionByID;
        }

        int result = 1;
        std::string out = bench.Run(handler, answers, &result);
        ASSERT_EQ(result, 0) << "round " << round << " answers " << answers << out;
        ASSERT_TRUE(testing_support::Contains(out, "\n0 verify errors.\n")) << out;
        ASSERT_TRUE(testing_support::Contains(out, "\nRestoring original Device Data values ... \n")) << out;
        ASSERT_TRUE(Snapshot() == before) << "round " << round << " answers " << answers;
    }
}
