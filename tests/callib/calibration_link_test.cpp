// The simulated library's proxy mode against docksim --modem in a process
// of its own, over TCP and a pty: long calls cut into fragments both ways,
// a failed link reported and reopened, the receive thread and the caller
// sharing the answer (this test runs under the thread sanitizer too); and
// against a target of the test's own that misbehaves in ways docksim does not.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
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

// What the link would refuse never gets a handle: the console then says
// that the interface could not be opened, as for any refused parameter.
TEST(CalibrationLinkOpen, WhatTheLinkRefusesIsRefusedAtOnce)
{
    ASSERT_TRUE(g_proxyMode);
    const std::string longName = "/nonexistent/" + std::string(51, 'x'); // 64 bytes
    struct Case {
        uint32_t type;
        std::string address;
        uint32_t number;
    } cases[] = {
        {TAVREL_IF_ETHERNET_PROXY, "127.1", 5000},           {TAVREL_IF_ETHERNET_PROXY, "127.0.0.010", 5000},
        {TAVREL_IF_ETHERNET_PROXY, "127.0.0.1 ", 5000},      {TAVREL_IF_ETHERNET_PROXY, "127.0.0.1", 0},
        {TAVREL_IF_ETHERNET_PROXY, "127.0.0.1", 65526},      {TAVREL_IF_SERIAL_PROXY, "", 115200},
        {TAVREL_IF_SERIAL_PROXY, longName, 115200},          {TAVREL_IF_SERIAL_PROXY, "/nonexistent/tty", 0},
        {TAVREL_IF_SERIAL_PROXY, "/nonexistent/tty", 12345},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(GetCalInterface(c.type, c.address.c_str(), c.number), nullptr)
            << c.type << " " << c.address << " " << c.number;
        CloseCalInterface();
    }
}

// A TCP target on loopback that speaks ferrylink's wire format itself: it
// acknowledges the device open and opens its interface, then answers any
// other request with the first of two fragments and sends that fragment
// again once a second, never the second. After kGiveUp it ends the link.
class RepeatingTarget {
public:
    static constexpr auto kGiveUp = std::chrono::seconds(10);

    RepeatingTarget()
    {
        // A free base port whose notification port, 10 above, is free too.
        for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
            int command = Listen(0);
            uint16_t port = LocalPort(command);
            int notify = port != 0 && port + 10 <= 65535 ? Listen(uint16_t(port + 10)) : -1;
            if (notify >= 0) {
                listeners_[0] = command;
                listeners_[1] = notify;
                port_ = port;
            } else if (command >= 0) {
                ::close(command);
            }
        }
        if (port_ != 0)
            thread_ = std::thread([this] { Serve(); });
    }
    ~RepeatingTarget()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (int fd : {listeners_[0], listeners_[1], connections_[0], connections_[1]}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    RepeatingTarget(const RepeatingTarget &) = delete;
    RepeatingTarget &operator=(const RepeatingTarget &) = delete;

    uint32_t Port() const { return port_; }

private:
    static int Listen(uint16_t port)
    {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (fd >= 0 &&
            (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)) {
            ::close(fd);
            fd = -1;
        }
        return fd;
    }
    static uint16_t LocalPort(int fd)
    {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return 0;
        return ntohs(address.sin_port);
    }
    // A packet: signature and length, then command type, payload length,
    // payload and a trailing zero, all little-endian.
    static std::vector<uint8_t> Packet(uint16_t type, const std::vector<uint8_t> &payload)
    {
        std::vector<uint8_t> packet;
        auto put = [&packet](uint32_t value, int bytes) {
            for (int i = 0; i < bytes; ++i)
                packet.push_back(uint8_t(value >> (8 * i)));
        };
        put(0xBABEFACE, 4);
        put(uint32_t(payload.size() + 5), 4);
        put(type, 2);
        put(uint32_t(payload.size()), 2);
        packet.insert(packet.end(), payload.begin(), payload.end());
        packet.push_back(0);
        return packet;
    }
    void Send(int which, const std::vector<uint8_t> &packet)
    {
        if (connections_[which] >= 0 && ::send(connections_[which], packet.data(), packet.size(), MSG_NOSIGNAL) < 0) {
            // The host has gone: the test sees it from its side.
        }
    }
    // Answers one data message of the calibration link.
    void Answer(const uint8_t *payload, size_t length)
    {
        constexpr uint16_t kDataMessage = 4;
        calwire::Header request;
        if (!calwire::ReadHeader(payload, length, request) || request.subtype != calwire::kRequest)
            return;
        calwire::Header answer;
        answer.subtype = calwire::kAnswer;
        answer.operation = request.operation;
        answer.request = request.request;
        if (request.operation == calwire::kOpOpen || request.operation == calwire::kOpClose) {
            std::vector<uint8_t> body =
                request.operation == calwire::kOpOpen ? std::vector<uint8_t>{1} : std::vector<uint8_t>(4, 0);
            Send(1, Packet(kDataMessage, calwire::Fragment(answer, body, calwire::kMaxAnswerPiece).front()));
            return;
        }
        repeat_ = Packet(kDataMessage, calwire::Fragment(answer, {0, 0}, 1).front());
        Send(1, repeat_);
        firstSent_ = lastSent_ = std::chrono::steady_clock::now();
    }
    // Whole packets from the host's command connection.
    void Take(std::vector<uint8_t> &in)
    {
        constexpr uint16_t kDeviceOpen = 6;
        constexpr uint16_t kDataMessage = 4;
        while (in.size() >= 12) {
            uint32_t length = uint32_t(in[4] | in[5] << 8 | in[6] << 16 | uint32_t(in[7]) << 24);
            if (length < 5 || in.size() < 8 + size_t(length))
                break;
            uint16_t type = uint16_t(in[8] | in[9] << 8);
            size_t n = std::min<size_t>(uint16_t(in[10] | in[11] << 8), length - 5);
            if (type == kDeviceOpen)
                Send(0, Packet(kDeviceOpen, {}));
            else if (type == kDataMessage)
                Answer(in.data() + 12, n);
            in.erase(in.begin(), in.begin() + 8 + long(length));
        }
    }
    void Serve()
    {
        using Clock = std::chrono::steady_clock;
        std::vector<uint8_t> in;
        while (!stop_) {
            pollfd fds[3] = {{listeners_[0], POLLIN, 0}, {listeners_[1], POLLIN, 0}, {connections_[0], POLLIN, 0}};
            if (::poll(fds, 3, 50) > 0) {
                for (int i = 0; i < 2; ++i) {
                    if ((fds[i].revents & POLLIN) != 0 && connections_[i] < 0)
                        connections_[i] = ::accept4(listeners_[i], nullptr, nullptr, SOCK_CLOEXEC);
                }
                uint8_t chunk[4096];
                ssize_t got = fds[2].revents != 0 ? ::read(connections_[0], chunk, sizeof chunk) : -1;
                if (got > 0) {
                    in.insert(in.end(), chunk, chunk + got);
                    Take(in);
                } else if (got == 0) {
                    ::close(connections_[0]); // the host closed the link
                    connections_[0] = -1;
                }
            }
            if (repeat_.empty())
                continue;
            if (Clock::now() - firstSent_ > kGiveUp) {
                for (int &fd : connections_) {
                    if (fd >= 0)
                        ::close(fd);
                    fd = -1;
                }
                return;
            }
            if (Clock::now() - lastSent_ >= std::chrono::seconds(1)) {
                Send(1, repeat_);
                lastSent_ = Clock::now();
            }
        }
    }

    int listeners_[2] = {-1, -1};
    int connections_[2] = {-1, -1}; // command, notification
    uint32_t port_ = 0;
    std::vector<uint8_t> repeat_;
    std::chrono::steady_clock::time_point firstSent_;
    std::chrono::steady_clock::time_point lastSent_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(CalibrationLinkAnswer, AFragmentSentAgainDoesNotHoldTheCallPastTheLimit)
{
    ASSERT_TRUE(g_proxyMode);
    RepeatingTarget target;
    ASSERT_NE(target.Port(), 0u);
    // The limit is read when the interface opens: a short one for this one.
    setenv("CALSIM_PROXY_TIMEOUT_MS", "2000", 1);
    TavrelCalHandle h = GetCalInterface(TAVREL_IF_ETHERNET_PROXY, "127.0.0.1", target.Port());
    setenv("CALSIM_PROXY_TIMEOUT_MS", "30000", 1);
    ASSERT_NE(h, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Text(ConnectDevice(h)), "The target did not answer within 2 s; the proxy link is closed");
    EXPECT_LT(std::chrono::steady_clock::now() - start, RepeatingTarget::kGiveUp);
    CloseCalInterface();
}

INSTANTIATE_TEST_SUITE_P(Links, CalibrationLink, ::testing::Values(false, true),
                         [](const auto &link) { return link.param ? "Pty" : "Tcp"; });

} // namespace
