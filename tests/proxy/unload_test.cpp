// The library's load and unload, seen from a separate process.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/proxy/harness.h"

namespace proxytest {
namespace {

TEST(Unload, UnloadingWithAnOpenLinkNeitherEndsNorHangsTheProcess)
{
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char probe[] = UNLOAD_PROBE;
    char library[] = FERRYLINK_PATH;
    char *argv[] = {probe, library, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, probe, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    int status = 0;
    bool ended = Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30s);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    std::string text;
    char chunk[256];
    ssize_t r;
    while ((r = ::read(out[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(r));
    ::close(out[0]);

    ASSERT_TRUE(ended) << "the probe hung";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, "after unload\n");
}

} // namespace
} // namespace proxytest
