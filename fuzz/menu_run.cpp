// Fuzz target menu_run: the whole menu loop over the simulated device, with
// the operator's answers and injected library failures taken from the input
// (see menu_input.h), until the answers run out.
//
// The menu runs over a copy of the menu table whose handlers end the run
// once it has made some 1000 library calls or printed 256 KB, so that no
// input takes long: a few thousand bytes of answers could otherwise start
// hundreds of automated tests or Device Data dumps.
//
// Checked: no crash and no sanitizer report whatever is answered or fails,
// and afterwards the interface is still open (no answer closes it) and the
// program's shutdown disconnects the device.
//
// MENU_RUN_TRANSCRIPT set in the environment prints each run's console
// output to standard error.
#include "calsim/control.h"
#include "console/console_io.h"
#include "console/random_word.h"
#include "console/clock.h"
#include "tuneprobe/menu.h"
#include "tuneprobe/startup.h"
#include "fuzz/fuzz_target.h"
#include "fuzz/menu_input.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

using fuzz::Require;

namespace {

// The end of the answers or of the budget.
struct RunEnded {};

void EndRun()
{
    throw RunEnded{};
}

// The simulator's virtual clock moves 10 ms per library call.
constexpr double kBudgetMs = 1000 * 10.0;
constexpr std::size_t kOutputBudget = 256u << 10;
// The sleep accuracy test reads the clock a million times and calls the
// library not at all: two of them per input, and the run ends.
constexpr uint64_t kClockReadingBudget = 2500000;

uint64_t g_clockReadings = 0;

std::string g_output;

// Menu row Row's handler, then the budget check.
template <std::size_t Row> int Guarded(TavrelCalHandle handle)
{
    int result = MenuTable[Row].handler(handle);
    if (calsim::NowMs() > kBudgetMs || g_output.size() > kOutputBudget || g_clockReadings > kClockReadingBudget)
        EndRun();
    return result;
}

constexpr std::size_t kMaxRows = 128;

template <std::size_t... Rows> std::vector<MenuRow> MakeGuardedTable(std::index_sequence<Rows...>)
{
    const CommandHandler guarded[] = {Guarded<Rows>...};
    std::vector<MenuRow> table;
    for (std::size_t row = 0; MenuTable[row].label != nullptr; ++row) {
        Require(row < kMaxRows, "the menu table fits the guarded copy");
        table.push_back(MenuTable[row]);
        if (table.back().handler != nullptr)
            table.back().handler = guarded[row];
    }
    table.push_back(MenuRow{nullptr, nullptr, nullptr});
    return table;
}

// Waits cost no real time: the clock moves only by what was slept.
double g_virtualMs = 0;

double VirtualClock()
{
    ++g_clockReadings;
    return g_virtualMs;
}

void VirtualSleep(uint32_t ms)
{
    g_virtualMs += ms;
}

// Once: the answers keep every count small, whatever the word table says.
void CheckCountsStaySmall()
{
    for (int byte = 0; byte < 256; ++byte) {
        uint32_t count = 0;
        if (con::ParseUnsigned(fuzz::AnswerWord(static_cast<uint8_t>(byte)), 10, count))
            Require(count <= fuzz::kLargestCount, "no answer word asks for a large count");
    }
}

// The simulator at power-on with the input's faults; a fault on
// ConnectDevice leaves the device disconnected, as the operator may find it.
TavrelCalHandle StartDevice(const fuzz::MenuInput &input)
{
    calsim::Reset(input.seed);
    SeedRandom(input.seed);
    g_virtualMs = 0;
    g_clockReadings = 0;
    SetClockFunction(VirtualClock);
    SetSleepFunction(VirtualSleep);
    for (const fuzz::InjectedFault &fault : input.faults)
        calsim::FailOperation(fault.operation, fault.text, fault.skip, fault.times);
    TavrelCalHandle handle = GetCalInterface(TAVREL_IF_LOCAL, "", 0);
    ConnectDevice(handle);
    return handle;
}

void RunAnswers(TavrelCalHandle handle, const std::string &answers)
{
    static const std::vector<MenuRow> table = MakeGuardedTable(std::make_index_sequence<kMaxRows>());
    con::UseMemoryInput(answers);
    con::SetEndOfInputHook(EndRun);
    try {
        RunMenuTable(handle, table.data());
    } catch (const RunEnded &) {
    }
    con::SetEndOfInputHook(nullptr);
    con::UseStandardInput();
}

void CheckShutDown(TavrelCalHandle handle)
{
    calsim::ClearFaults();
    uint32_t level = 0;
    Require(GetOptionByID(handle, 0, &level) == nullptr, "the interface is still open after the menu");
    ShutDown(handle);
    Require(!calsim::IsConnected(), "the shutdown disconnects the device");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool wordsChecked = false;
    if (!wordsChecked) {
        CheckCountsStaySmall();
        wordsChecked = true;
    }
    fuzz::MenuInput input = fuzz::DecodeMenuInput(data, size);
    g_output.clear(); // keeps its capacity from run to run
    con::CaptureOutput(&g_output);

    TavrelCalHandle handle = StartDevice(input);
    Require(handle != nullptr, "a local interface opens");
    RunAnswers(handle, input.answers);
    CheckShutDown(handle);

    con::CaptureOutput(nullptr);
    // What the operator would have seen, for writing seed inputs.
    if (std::getenv("MENU_RUN_TRANSCRIPT") != nullptr)
        std::fwrite(g_output.data(), 1, g_output.size(), stderr);
    SetClockFunction(nullptr);
    SetSleepFunction(nullptr);
    return 0;
}
