// Test harness for tuneprobe's handlers: answers from memory, output into a
// string, end of input leaves the handler under test, and a simulated
// device that is open and connected.
#ifndef TESTS_CONSOLE_HARNESS_H
#define TESTS_CONSOLE_HARNESS_H

#include "calapi/calapi.h"
#include "console/handler.h"

#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <vector>

namespace testing_support {

// Thrown by the test's end-of-input hook; caught by Run.
struct InputEnded {};

// One test's simulated device and console. The constructor resets the
// simulator (seeded, virtual clock), opens a local interface, connects, and
// points the console at memory; the destructor restores everything.
class Bench {
public:
    explicit Bench(uint32_t seed = 1, bool connect = true);
    ~Bench();
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    TavrelCalHandle handle() const { return handle_; }

    // Runs handler with `input` as the operator's answers; returns the
    // console output. result receives the handler's result (or is left
    // alone when the input ended first); ended tells whether it did.
    std::string Run(CommandHandler handler, const std::string &input = "", int *result = nullptr,
                    bool *ended = nullptr);

    // The same for any piece of code that talks to the console.
    template <typename F> std::string RunCode(F &&code, const std::string &input = "", bool *ended = nullptr);

private:
    void Begin(const std::string &input);
    std::string End();

    TavrelCalHandle handle_ = nullptr;
    std::string output_;
};

template <typename F> std::string Bench::RunCode(F &&code, const std::string &input, bool *ended)
{
    Begin(input);
    bool stopped = false;
    try {
        code();
    } catch (const InputEnded &) {
        stopped = true;
    }
    if (ended)
        *ended = stopped;
    return End();
}

// One step of a recorded session: device state forced first (or null), then
// a handler with its answers.
struct SessionStep {
    void (*setup)();
    CommandHandler handler;
    const char *answers;
};

// Runs the steps one after another on bench and returns the whole output.
// Each step must have all the answers it asks for, and fail (-1) exactly
// when it prints an error line.
std::string RunSession(Bench &bench, std::span<const SessionStep> steps);

// Expects actual to equal the transcript tests/data/NAME. With
// TUNEPROBE_UPDATE_TRANSCRIPTS=1 in the environment it writes actual to that
// file of the source tree instead and passes, so that changing a console
// text is one test run and a review of the diff. A failure names the caller.
void ExpectMatchesTranscript(const std::string &name, const std::string &actual,
                             std::source_location caller = std::source_location::current());

// The answers of tests/data/answers/NAME as the program is to read them.
// Each line of the file is one line of input, ended by a line end: from '#'
// to the end of the line is a comment, and the blanks then left at the end
// go. A line holding only a comment is therefore an empty input line, the
// answer to a pause of the automated test; an answer file has no other
// comment lines. No answer can contain '#'.
std::string ReadAnswerFile(const std::string &name);

// The same rule on text in memory.
std::string StripAnswerComments(const std::string &text);

// Result of running a program with piped input.
struct ProgramRun {
    std::string output;
    int exitStatus = -1; // -1 when killed
    bool timedOut = false;
};

// Runs `path` with `input` on standard input and extra environment entries
// ("NAME=value"); kills it after timeoutMs. The program runs in virtual
// time: its sleeps return at once and move its clocks on by the time slept.
ProgramRun RunProgram(const std::string &path, const std::string &input, const std::vector<std::string> &env = {},
                      int timeoutMs = 20000);

// The tuneprobe binary of this build.
std::string TuneprobePath();

} // namespace testing_support

#endif
