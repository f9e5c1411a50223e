// The simulated library's proxy mode against docksim --modem in a process
// of its own, over TCP and a pty: long calls cut into fragments both ways,
// a failed link reported and reopened, the receive thread and the caller
// sharing the answer (this test runs under the thread sanitizer too).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calapi/calapi.h"
#include "calwire/calwire.h"

extern char **environ;

namespace {

// The proxy mode, with an answer limit that no test waits out: read at the
// library's first use, which comes after this.
const bool g_proxyMode = setenv("CALSIM_PROXY", "1", 1) == 0 && setenv("CALSIM_PROXY_TIMEOUT_MS", "30000", 1) == 0;

// docksim --modem with the given options, ended at the end of scope.
class Target {
public:
    Target(bool serial, std::vector<std::string> options)
    {
        std::vector<std::string> args{DOCKSIM_PATH, serial ? "serial" : "tcp"};
        if (!serial)
            args.insert(args.end(), {"--port", "0"});
        args.push_back("--modem");
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        char c = 0;
        while (line.size() < 200 && ::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        std::smatch match;
        if (std::regex_search(line, match, std::regex("ports (\\d+) and")))
            port_ = uint32_t(std::stoul(match[1]));
        else if (std::regex_search(line, match, std::regex("serial line (\\S+)")))
            tty_ = match[1];
    }
    ~Target()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Target(const Target &) = delete;
    Target &operator=(const Target &) = delete;

    TavrelCalHandle Open() const
    {
        return tty_.empty() ? GetCalInterface(TAVREL_IF_ETHERNET_PROXY, "127.0.0.1", port_)
                            : GetCalInterface(TAVREL_IF_SERIAL_PROXY, tty_.c_str(), 115200);
    }

private:
    pid_t pid_ = -1;
    uint32_t port_ = 0;
    std::string tty_;
};

// The interface is closed before the target ends: a close with no target
// would wait out the answer limit.
class CalibrationLink : public ::testing::TestWithParam<bool> {
protected:
    TavrelCalHandle Open(std::vector<std::string> options = {})
    {
        target_ = std::make_unique<Target>(GetParam(), std::move(options));
        return target_->Open();
    }
    void TearDown() override
    {
        CloseCalInterface();
        target_.reset();
    }

private:
    std::unique_ptr<Target> target_;
};

std::string Text(TavrelResult result)
{
    return result == nullptr ? "success" : result;
}

TEST_P(CalibrationLink, DeviceDataOfTheFullSizeTravelsBothWays)
{
    ASSERT_TRUE(g_proxyMode);
    TavrelCalHandle h = Open();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(Text(ConnectDevice(h)), "success");

    // 32 KB out (17 request fragments) and back (4 answer fragments).
    std::vector<uint8_t> old(32768), pattern(32768), back(32768);
    ASSERT_EQ(Text(ReadDevDataBytes(h, old.data(), uint32_t(old.size()), 0)), "success");
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = uint8_t(i * 131 + 7);
    uint32_t key = RequestDevDataWriteKey(h);
    ASSERT_NE(key, 0u);
    uint32_t written = 0;
    ASSERT_EQ(Text(WriteDevDataBytes(h, key, pattern.data(), uint32_t(pattern.size()), 0, &written)), "success");
    EXPECT_EQ(written, pattern.size());
    ASSERT_EQ(Text(ReadDevDataBytes(h, back.data(), uint32_t(back.size()), 0)), "success");
    EXPECT_EQ(back, pattern);

    // A read that fails leaves the buffer as it was; the error text arrives.
    std::vector<uint8_t> untouched(16, 0xA5);
    EXPECT_EQ(Text(ReadDevDataBytes(h, untouched.data(), 16, 0xFFFFFFF0)), "Device Data address range out of bounds");
    EXPECT_EQ(untouched, std::vector<uint8_t>(16, 0xA5));

    // The largest answer: a spectrum buffer of the longest body.
    std::vector<double> spectrum(calwire::kMaxBody / sizeof(double));
    uint32_t length = 0;
    ASSERT_EQ(Text(ResetRxSpectrum(h, 0, 0)), "success");
    ASSERT_EQ(Text(GetRxSpectrum(h, uint32_t(spectrum.size()), spectrum.data(), &length)), "success");
    EXPECT_GT(length, 0u);
    EXPECT_NE(spectrum[0], 0.0);

    // The option table comes from the target and outlives the call.
    const TavrelOptionInfo *info = GetOptionInfo(7);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->name, "NVM mode");
    EXPECT_EQ(Text(DisconnectDevice(h)), "success");
}

TEST_P(CalibrationLink, ADroppedLinkFailsTheCallAndConnectingOpensItAgain)
{
    TavrelCalHandle h = Open({"--mode", "drop", "--at", "GetTemperature"});
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(Text(ConnectDevice(h)), "success");
    // The waiting call's probes meet the closed connection or line: the
    // failure shows long before the answer limit.
    double celsius = 0;
    EXPECT_EQ(Text(GetTemperature(h, &celsius)), "The proxy link to the target failed; the proxy link is closed");
    EXPECT_EQ(Text(GetTemperature(h, &celsius)),
              "The proxy link to the target is closed: the proxy link to the target failed");
    // The target drops the link once: a new one serves the call. On serial
    // the line is gone for good and the reason is the link's.
    if (GetParam())
        return;
    ASSERT_EQ(Text(ConnectDevice(h)), "success");
    EXPECT_EQ(Text(GetTemperature(h, &celsius)), "success");
    EXPECT_GT(celsius, -40.0);
}

TEST(CalibrationLinkOpen, NoTargetAndAnotherVersionAreTheConnectError)
{
    {
        Target target(false, {"--modem-version", "9"});
        TavrelCalHandle h = target.Open();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(Text(ConnectDevice(h)),
                  "The target speaks calibration link version 9, this library version 1; the proxy link is closed");
        CloseCalInterface();
    }
    // A port nobody listens on: the one just freed by the target above.
    TavrelCalHandle h = GetCalInterface(TAVREL_IF_ETHERNET_PROXY, "127.0.0.1", 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Text(ConnectDevice(h)), "No proxy link to the target at 127.0.0.1 port 1");
    EXPECT_EQ(GetCalInterface(TAVREL_IF_ETHERNET_PROXY, "not an address", 5000), nullptr);
    CloseCalInterface();
}

INSTANTIATE_TEST_SUITE_P(Links, CalibrationLink, ::testing::Values(false, true),
                         [](const auto &link) { return link.param ? "Pty" : "Tcp"; });

} // namespace
