// Robustness sweep over the whole menu, generated from the menu table: for
// every item, end of input after each of its prompts, and a word that is
// not a number and a 1,000-character word at each prompt. The real binary
// runs each answer file under a time limit, so a crash, a hang or a loop on
// a closed input fails the case.
//
// The long word is 1,000 letters x: a number in no base that a prompt reads,
// so it tries the length of a word at every kind of prompt (text fields,
// numbers, menu choices, pauses). A huge number is an operator's explicit
// request (4294967295 words for the write test runs that many writes) and is
// not part of the sweep.
//
// Every prompt is answered "1" (one line per answer, so an answer also
// serves a pause). An item's prompt count is found on the way: the smallest
// number of answers after which the group menu is shown again. Items that
// keep asking (an option command loops until -1) get end of input up to
// kMaxPrompts answers, and the bad words at their first kLoopPrompts
// prompts: the later ones ask the same question again.
//
// One run takes both bad words at a prompt, the long word first: a prompt
// that reads a number asks again after each; a text prompt takes the long
// word, and the short one goes to the prompt after it.
//
// The two items that sleep are driven less (RunProgram's virtual time makes
// their sleeps instant, but a run that did sleep would take seconds): the
// sleep test has no prompt and runs once (10 s of sleeps); the automated
// test runs three times: end of input at its first pause, end of input at
// the load mode question, and once with every pause answered by a
// 1,000-character line and the load mode first by a word and a long word.
// Its other pauses share the first pause's code path.
#include "tuneprobe/menu.h"
#include "testcmds/test_commands.h"
#include "tests/support/console_harness.h"
#include "tests/support/text_checks.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using testing_support::ProgramRun;
using testing_support::RunProgram;
using testing_support::TuneprobePath;
using testing_support::Count;

namespace {

constexpr int kMaxPrompts = 20;
constexpr int kLoopPrompts = 3;
constexpr int kRunTimeoutMs = 15000;
constexpr int kSleepyRunTimeoutMs = 90000;
const char kClosing[] = "\nClosing application...\n";
const char kMenuQuestion[] = "\nENTER OPTION : ";
const char kNotNumber[] = "Please enter a number.\n";

struct SweepItem {
    int group;
    int item;
    const char *label;
    CommandHandler handler;
};

// The numbering the menu shows: groups from 1 in table order, items from 1
// within their group.
std::vector<SweepItem> MenuItems()
{
    std::vector<SweepItem> items;
    int group = 0;
    int item = 0;
    for (const MenuRow *row = MenuTable; row->label != nullptr && row->label[0] != '\0'; ++row) {
        if (row->groupTitle != nullptr && row->groupTitle[0] != '\0') {
            ++group;
            item = 0;
        }
        items.push_back(SweepItem{group, ++item, row->label, row->handler});
    }
    return items;
}

std::string Lines(const std::string &word, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += word + "\n";
    return text;
}

std::string PathTo(const SweepItem &item)
{
    return "0\n" + std::to_string(item.group) + "\n" + std::to_string(item.item) + "\n";
}

// Deterministic simulated device, the product's own environment otherwise.
ProgramRun Run(const std::string &input, int timeoutMs = kRunTimeoutMs)
{
    return RunProgram(TuneprobePath(), input, {"CALSIM_SEED=1"}, timeoutMs);
}

// The program ended by itself, normally, and closed the device.
void ExpectCleanEnd(const ProgramRun &run, const std::string &input)
{
    SCOPED_TRACE("answers: " + input.substr(0, 200));
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(run.output.ends_with(kClosing))
        << run.output.substr(run.output.size() > 400 ? run.output.size() - 400 : 0);
}

const std::string &LongWord()
{
    static const std::string word(1000, 'x'); // no decimal, hex or real number
    return word;
}

void PrintTo(const SweepItem &item, std::ostream *os)
{
    *os << item.group << "." << item.item << " " << item.label;
}

class MenuSweep : public ::testing::TestWithParam<SweepItem> {};

void SweepOrdinaryItem(const SweepItem &item)
{
    const std::string path = PathTo(item);
    int prompts = kMaxPrompts;
    for (int answered = 0; answered <= kMaxPrompts; ++answered) {
        std::string input = path + Lines("1", answered);
        ProgramRun run = Run(input);
        ExpectCleanEnd(run, input);
        if (Count(run.output, kMenuQuestion) >= 3) { // back at the group menu
            prompts = answered;
            break;
        }
    }
    const int swept = prompts == kMaxPrompts ? kLoopPrompts : prompts;
    for (int at = 0; at < swept; ++at) {
        // The bad words, then the answers the item still needs, then leave.
        std::string input = path + Lines("1", at) + LongWord() + "\nabc\n" + Lines("1", prompts - at) + "-1\n-1\n";
        ExpectCleanEnd(Run(input), input);
    }
}

void SweepSleepTest(const SweepItem &item)
{
    ProgramRun run = Run(PathTo(item), kSleepyRunTimeoutMs);
    ExpectCleanEnd(run, PathTo(item));
    EXPECT_EQ(Count(run.output, " ms - Nominal = "), 5);
    EXPECT_NE(run.output.find("\nSleepAccuracyTest was SUCCESSFUL.\n"), std::string::npos);
}

void SweepAutomatedTest(const SweepItem &item)
{
    const std::string path = PathTo(item);
    ProgramRun atFirstPause = Run(path, kSleepyRunTimeoutMs);
    ExpectCleanEnd(atFirstPause, path);
    EXPECT_TRUE(atFirstPause.output.ends_with("\nPress Enter to continue" + std::string(kClosing)));

    std::string toLoadMode = path + Lines("", 6);
    ProgramRun atLoadMode = Run(toLoadMode, kSleepyRunTimeoutMs);
    ExpectCleanEnd(atLoadMode, toLoadMode);
    EXPECT_EQ(Count(atLoadMode.output, "\nPress Enter to continue\n"), 6);

    std::string longLines =
        path + Lines(LongWord(), 6) + "abc\n" + LongWord() + "\n1\n" + Lines(LongWord(), 2) + "-1\n-1\n";
    ProgramRun whole = Run(longLines, kSleepyRunTimeoutMs);
    ExpectCleanEnd(whole, longLines);
    EXPECT_EQ(Count(whole.output, "\nPress Enter to continue\n"), 8);
    EXPECT_EQ(Count(whole.output, kNotNumber), 2);
    EXPECT_NE(whole.output.find("Pop [ 1] - set device mode: mode = 4 modulation = 1\n"), std::string::npos);
}

TEST_P(MenuSweep, EndOfInputAndBadWordsAtEveryPrompt)
{
    const SweepItem &item = GetParam();
    SCOPED_TRACE(item.label);
    if (item.handler == CmdSleepAccuracyTest)
        SweepSleepTest(item);
    else if (item.handler == CmdAutomatedTest)
        SweepAutomatedTest(item);
    else
        SweepOrdinaryItem(item);
}

std::string ItemName(const ::testing::TestParamInfo<SweepItem> &info)
{
    return "Group" + std::to_string(info.param.group) + "Item" + std::to_string(info.param.item);
}

INSTANTIATE_TEST_SUITE_P(Menu, MenuSweep, ::testing::ValuesIn(MenuItems()), ItemName);

} // namespace

TEST(MenuSweepTable, CoversAllSeventySixItemsInNineGroups)
{
    std::vector<SweepItem> items = MenuItems();
    EXPECT_EQ(items.size(), 76u);
    EXPECT_EQ(items.back().group, 9);
    int sleepy = 0;
    for (const SweepItem &item : items)
        sleepy += item.handler == CmdSleepAccuracyTest || item.handler == CmdAutomatedTest;
    EXPECT_EQ(sleepy, 2);
}
