#include "tests/support/console_harness.h"

#include "calsim/control.h"
#include "console/console_io.h"
#include "console/random_word.h"
#include "console/clock.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {
namespace {

void ThrowInputEnded()
{
    throw InputEnded{};
}

// Tests never wait for real: sleeps return at once.
void NoSleep(uint32_t) {}

// What a started program gets on top of the inherited environment: virtual
// time (see virtual_time.c), the simulated library's proxy mode off (a
// session that answers "." must never dial the default target), then the
// caller's entries, which may replace them.
std::vector<std::string> ProgramEnvironment(const std::vector<std::string> &extra)
{
    std::string preload = std::string("LD_PRELOAD=") + VIRTUAL_TIME_PATH;
    if (const char *inherited = std::getenv("LD_PRELOAD"); inherited != nullptr && inherited[0] != '\0')
        preload += std::string(":") + inherited;
    std::vector<std::string> env{preload, "CALSIM_PROXY=0"};
#if defined(__SANITIZE_ADDRESS__)
    // The preloaded library is loaded ahead of the sanitizer's runtime, which
    // would take that for a wrong link order and refuse to start.
    std::string options = "ASAN_OPTIONS=";
    if (const char *inherited = std::getenv("ASAN_OPTIONS"); inherited != nullptr && inherited[0] != '\0')
        options += std::string(inherited) + ":";
    env.push_back(options + "verify_asan_link_order=0");
#endif
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::string DataPath(const std::string &name)
{
    return std::string(TESTS_DATA_DIR) + "/" + name;
}

// The whole file into text; false, and text empty, when it cannot be read.
bool ReadWholeFile(const std::string &path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
    return static_cast<bool>(in);
}

bool UpdatingTranscripts()
{
    const char *value = std::getenv("TUNEPROBE_UPDATE_TRANSCRIPTS");
    return value != nullptr && std::string_view(value) == "1";
}

// Through a file of its own and a rename: the test programs run at the same
// time, and two of them record automated_test.txt.
bool WriteDataFile(const std::string &name, const std::string &text)
{
    const std::string path = DataPath(name);
    const std::string temporary = path + ".new" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

Bench::Bench(uint32_t seed, bool connect)
{
    calsim::Reset(seed);
    SeedRandom(seed);
    SetSleepFunction(NoSleep);
    handle_ = GetCalInterface(TAVREL_IF_LOCAL, "", 0);
    if (connect)
        ConnectDevice(handle_);
    con::SetEndOfInputHook(ThrowInputEnded);
}

Bench::~Bench()
{
    con::CaptureOutput(nullptr);
    con::UseStandardInput();
    con::SetEndOfInputHook(nullptr);
    SetSleepFunction(nullptr);
    SetClockFunction(nullptr);
    calsim::Reset(1);
}

void Bench::Begin(const std::string &input)
{
    output_.clear();
    con::UseMemoryInput(input);
    con::CaptureOutput(&output_);
}

std::string Bench::End()
{
    con::CaptureOutput(nullptr);
    return output_;
}

std::string Bench::Run(CommandHandler handler, const std::string &input, int *result, bool *ended)
{
    return RunCode(
        [&] {
            int r = handler(handle_);
            if (result)
                *result = r;
        },
        input, ended);
}

std::string RunSession(Bench &bench, std::span<const SessionStep> steps)
{
    std::string session;
    for (const SessionStep &step : steps) {
        if (step.setup)
            step.setup();
        int result = 1;
        bool ended = true;
        std::string out = bench.Run(step.handler, step.answers, &result, &ended);
        EXPECT_FALSE(ended) << out;
        EXPECT_EQ(result, out.find("ERROR: ") == std::string::npos ? 0 : -1) << out;
        session += out;
    }
    return session;
}

void ExpectMatchesTranscript(const std::string &name, const std::string &actual, std::source_location caller)
{
    ::testing::ScopedTrace trace(caller.file_name(), static_cast<int>(caller.line()), "transcript tests/data/" + name);
    std::string expected;
    ReadWholeFile(DataPath(name), expected); // one not yet recorded compares as empty
    if (UpdatingTranscripts()) {
        if (actual != expected && !WriteDataFile(name, actual))
            ADD_FAILURE() << "cannot write " << DataPath(name);
        return;
    }
    EXPECT_EQ(actual, expected) << "TUNEPROBE_UPDATE_TRANSCRIPTS=1 rewrites the transcript from a run";
}

std::string ReadAnswerFile(const std::string &name)
{
    const std::string path = DataPath("answers/" + name);
    std::string text;
    if (!ReadWholeFile(path, text))
        ADD_FAILURE() << "cannot read " << path;
    return StripAnswerComments(text);
}

std::string StripAnswerComments(const std::string &text)
{
    std::string answers;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + from, end - from);
        line = line.substr(0, line.find('#'));
        std::size_t last = line.find_last_not_of(" \t\r");
        line = last == std::string_view::npos ? std::string_view() : line.substr(0, last + 1);
        answers.append(line);
        answers += '\n';
        from = end + 1;
    }
    return answers;
}

std::string TuneprobePath()
{
    return TUNEPROBE_PATH;
}

ProgramRun RunProgram(const std::string &path, const std::string &input, const std::vector<std::string> &env,
                      int timeoutMs)
{
    ProgramRun run;
    const std::vector<std::string> childEnv = ProgramEnvironment(env);
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        return run;
    // Spawned rather than forked: the sweeps start hundreds of runs, and a
    // fork would copy this process's page tables for each.
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string &given : childEnv)
            replaced = replaced || given.compare(0, name.size(), name) == 0;
        if (!replaced)
            entries.push_back(text);
    }
    entries.insert(entries.end(), childEnv.begin(), childEnv.end());
    std::vector<char *> envp;
    for (std::string &entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::string program = path;
    char *argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    if (spawned != 0) {
        close(toChild[1]);
        close(fromChild[0]);
        run.exitStatus = 127;
        return run;
    }
    signal(SIGPIPE, SIG_IGN);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t written = 0;
    int writeFd = toChild[1];
    if (input.empty()) {
        close(writeFd);
        writeFd = -1;
    }
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{fromChild[0], POLLIN, 0}, {writeFd, POLLOUT, 0}};
        int n = poll(fds, writeFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (writeFd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write(writeFd, input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<std::size_t>(w);
            if (w < 0 || written == input.size()) {
                close(writeFd);
                writeFd = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[8192];
            ssize_t r = read(fromChild[0], buffer, sizeof buffer);
            if (r <= 0)
                break;
            run.output.append(buffer, static_cast<std::size_t>(r));
        }
    }
    if (writeFd >= 0)
        close(writeFd);
    close(fromChild[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!run.timedOut && WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    return run;
}

} // namespace testing_support
