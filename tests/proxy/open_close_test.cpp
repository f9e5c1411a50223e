// Opening, closing and reopening the port, the handshake, the refusals
// while the port is closed and the resources a link holds.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

TEST_P(BothTest, RefusesEverythingWhileClosed)
{
    EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), -1);
    CloseCommunicationPort(); // not open: only unregisters
    uint8_t buffer[8] = {};
    uint32_t value = 1;
    EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
    OpenOk();
    CloseCommunicationPort();
    EXPECT_EQ(SendDataMessage(buffer, 1, 4), -1);
    EXPECT_EQ(rdmremote(0, buffer, 4), -1);
    EXPECT_EQ(wrmremote(0, &value), -1);
    EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), -1);
    EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
    // Open, close and nothing else went out.
    ASSERT_TRUE(sim_->WaitRequests(2, 5s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sim_->Requests(), (std::vector<Bytes>{EncodePacket(6, {}), EncodePacket(5, {})}));
}

std::set<std::string> Tasks()
{
    std::set<std::string> tasks;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        tasks.insert(task.path().filename());
    return tasks;
}

// A signal for the host (its Ctrl-C handler) must reach the host's own
// threads, where its blocking calls return EINTR, never the link's.
TEST_P(BothTest, TheLinkThreadsBlockEverySignal)
{
    std::set<std::string> before = Tasks();
    OpenOk();
    size_t linkThreads = serial_ ? 2 : 1;
    std::set<std::string> started;
    EXPECT_TRUE(Eventually([&] {
        started.clear();
        for (const std::string &task : Tasks())
            if (before.count(task) == 0)
                started.insert(task);
        return started.size() == linkThreads;
    }));
    const uint64_t mustBlock = 1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1) | 1ull << (SIGHUP - 1);
    for (const std::string &task : started) {
        std::ifstream status("/proc/self/task/" + task + "/status");
        std::string line;
        while (std::getline(status, line) && line.rfind("SigBlk:", 0) != 0) {
        }
        ASSERT_FALSE(line.empty()) << task;
        EXPECT_EQ(std::stoull(line.substr(7), nullptr, 16) & mustBlock, mustBlock) << line;
    }
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGINT), 0); // the caller's own mask is as it was
    CloseCommunicationPort();
}

TEST_P(BothTest, ReopenAfterCloseWorksAndForgetsTheCallback)
{
    size_t threads = ThreadCount();
    size_t descriptors = DescriptorCount();
    int spawned = serial_ ? 2 : 1;
    for (int round = 0; round < 3; ++round) {
        OpenOk();
        EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads + spawned; }));
        uint8_t word[4] = {};
        ASSERT_EQ(rdmremote(0x40, word, 4), 0);
        EXPECT_EQ(word[3], docksim::DockSim::InitialByte(0x43));
        CloseCommunicationPort();
        EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
        // docksim closes its side of the connections once it sees ours end.
        EXPECT_TRUE(Eventually([&] { return DescriptorCount() == descriptors; }))
            << DescriptorCount() << " != " << descriptors;
    }
    ASSERT_EQ(Open(), 1);
    sim_->SendDataMessage({1});
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(Deliveries().Items().empty());
}

// A target that goes away is told at once, from the library's thread, even
// to a host that only waits for data messages; every call after that is
// refused, and nobody is told twice.
TEST_P(BothTest, TargetThatGoesAwayIsToldOnceAndCloseReleasesTheLink)
{
    size_t threads = ThreadCount();
    size_t descriptors = DescriptorCount();
    OpenOk();
    ASSERT_NO_FATAL_FAILURE(DropPeer());
    ASSERT_TRUE(Deliveries().WaitFor(1, 2s));
    std::vector<Delivery> got = Deliveries().Items();
    EXPECT_EQ(got[0].payload, (Bytes{12, 0, 2, 0}));
    EXPECT_NE(got[0].thread, std::this_thread::get_id());
    EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_FAILED);

    uint8_t byte = 1;
    uint32_t value = 0;
    EXPECT_EQ(SendDataMessage(&byte, 1, 4), -1);
    EXPECT_EQ(rdmremote(0, &value, 4), -1);
    EXPECT_EQ(wrmremote(0, &value), -1);
    EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), -1);

    // A link whose peer has gone must not busy the CPU while it waits.
    long ticks = CpuTicks();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(CpuTicks() - ticks, 5);
    EXPECT_EQ(Deliveries().Items().size(), 1u);

    CloseCommunicationPort();
    EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_CLOSED);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
    // On serial docksim has closed its pty for good, two descriptors fewer.
    EXPECT_EQ(DescriptorCount(), serial_ ? descriptors - 2 : descriptors);
}

TEST_F(TcpTest, OpenAfterTheTargetLeftMakesANewLink)
{
    OpenOk();
    ASSERT_NO_FATAL_FAILURE(DropPeer());
    ASSERT_TRUE(Deliveries().WaitFor(1, 2s));
    // No close: the open itself must not take the dead connections again.
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_OPEN);
    EXPECT_TRUE(Eventually([&] { return sim_->Connections() == 2; }));
    uint8_t word[4] = {};
    ASSERT_EQ(rdmremote(0x40, word, 4), 0);
    EXPECT_EQ(word[0], docksim::DockSim::InitialByte(0x40));
}

TEST_P(BothTest, CloseFromInsideTheCallbackDoesNotDeadlock)
{
    static std::atomic<int> calls{0};
    calls = 0;
    size_t threads = ThreadCount();
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(RegisterCallbackForProxy([](int32_t, const uint8_t *, int32_t) -> int32_t {
                  CloseCommunicationPort();
                  ++calls;
                  return 0;
              }),
              0);
    sim_->SendDataMessage({1});
    ASSERT_TRUE(Eventually([] { return calls.load() == 1; }));
    uint8_t byte = 0;
    EXPECT_EQ(SendDataMessage(&byte, 1, 4), -1);
    CloseCommunicationPort(); // from outside: the threads are joined now
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
}

TEST_F(TcpTest, SecondOpenReusesTheConnectionsAndRepeatsTheHandshake)
{
    size_t threads = ThreadCount();
    OpenOk();
    ASSERT_EQ(Open(), 1);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads + 1; }));
    EXPECT_EQ(sim_->Connections(), 2u);
    ASSERT_TRUE(sim_->WaitRequests(2, 5s));
    EXPECT_EQ(sim_->Requests(), (std::vector<Bytes>{EncodePacket(6, {}), EncodePacket(6, {})}));
}

TEST_F(TcpTest, WrongAcknowledgementFailsTheOpenAndClosesTheConnections)
{
    size_t threads = ThreadCount();
    size_t descriptors = DescriptorCount();
    sim_->SetHostile(docksim::Hostile::WrongAck);
    EXPECT_EQ(Open(), -1);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
    EXPECT_TRUE(Eventually([&] { return sim_->Connections() == 0; }));
    EXPECT_EQ(DescriptorCount(), descriptors);
    EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), -1);
}

TEST_F(TcpTest, OpenGoesOnWithoutTheNotificationConnection)
{
    docksim::Options options;
    options.listenNotify = false;
    Restart(options);
    size_t threads = ThreadCount();
    OpenOk();
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads + 1; }));
    uint8_t word[4] = {};
    ASSERT_EQ(rdmremote(8, word, 4), 0);
    EXPECT_EQ(word[0], docksim::DockSim::InitialByte(8));
    long ticks = CpuTicks();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(CpuTicks() - ticks, 5); // the receive thread waits, it does not spin
    CloseCommunicationPort();
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
}

// True when someone connected to the listener within 100 ms.
bool ConnectionWaiting(const ferry::UniqueFd &listener)
{
    pollfd p{listener.Get(), POLLIN, 0};
    return ::poll(&p, 1, 100) > 0;
}

TEST_F(TcpTest, BasePortsWithoutARealNotificationPortAreRefusedBeforeConnecting)
{
    EXPECT_EQ(OpenTcp(0), -1);
    // 65526 + 10 would be port 4 once cut to 16 bits; nothing may be dialled.
    ferry::UniqueFd listener = docksim::BindLoopback(65526, true);
    if (listener.Valid()) {
        EXPECT_EQ(OpenTcp(65526), -1);
        EXPECT_FALSE(ConnectionWaiting(listener));
    }
    // A number whose low 16 bits name the live target is not cut to them.
    FerryOpenRecord record = MakeRecord(FERRYLINK_TRANSPORT_TCP, "127.0.0.1", 0x10000u + sim_->BasePort());
    EXPECT_EQ(OpenCommunicatonPort(&record), -1);
    EXPECT_EQ(sim_->Connections(), 0u);

    // The highest base port whose notification port is 65535 is fine.
    sim_.reset();
    sim_ = docksim::DockSim::ListenTcp(65525, {});
    if (!sim_)
        GTEST_SKIP() << "ports 65525 and 65535 are not both free here";
    OpenOk();
    sim_->SendDataMessage({7});
    ASSERT_TRUE(Deliveries().WaitFor(1));
    EXPECT_EQ(Deliveries().Items()[0].payload, Bytes{7});
}

TEST_F(TcpTest, BadRecordsAndUnreachablePeersFailTheOpen)
{
    FerryOpenRecord record = MakeRecord(FERRYLINK_TRANSPORT_TCP, "localhost", sim_->BasePort());
    EXPECT_EQ(OpenCommunicatonPort(&record), -1); // names are not looked up
    record = MakeRecord(3, "127.0.0.1", sim_->BasePort());
    EXPECT_EQ(OpenCommunicatonPort(&record), -1);
    EXPECT_EQ(OpenCommunicatonPort(nullptr), -1);
    // A text with no terminator within the 128 bytes.
    record = MakeRecord(FERRYLINK_TRANSPORT_TCP, std::string(128, '1'), sim_->BasePort());
    EXPECT_EQ(OpenCommunicatonPort(&record), -1);

    // A port that is bound but not listening refuses the connection.
    ferry::UniqueFd holder = docksim::BindLoopback(0, false);
    ASSERT_TRUE(holder.Valid());
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(holder.Get(), reinterpret_cast<sockaddr *>(&addr), &len);
    EXPECT_EQ(OpenTcp(ntohs(addr.sin_port)), -1);
    holder.Reset();
    EXPECT_TRUE(sim_->Requests().empty());
}

TEST_F(SerialTest, PortNamesUpToSixtyThreeCharactersAreUsed)
{
    char dirTemplate[] = "/tmp/ferrylink-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    std::string dir = dirTemplate;
    std::string longest = dir + "/" + std::string(63 - dir.size() - 1, 'p');
    std::string tooLong = longest + "q";
    ASSERT_EQ(::symlink(sim_->TtyName().c_str(), longest.c_str()), 0);
    ASSERT_EQ(::symlink(sim_->TtyName().c_str(), tooLong.c_str()), 0);

    EXPECT_EQ(OpenSerial(tooLong), -1);
    EXPECT_EQ(OpenSerial(longest), 1);
    CloseCommunicationPort();
    EXPECT_EQ(OpenSerial("/dev/null"), -1); // not a serial line
    EXPECT_EQ(OpenSerial(dir + "/missing"), -1);
    FerryOpenRecord record = MakeRecord(FERRYLINK_TRANSPORT_SERIAL, sim_->TtyName(), 12345);
    EXPECT_EQ(OpenCommunicatonPort(&record), -1); // no such baud rate
    ::unlink(longest.c_str());
    ::unlink(tooLong.c_str());
    ::rmdir(dir.c_str());
}

TEST_P(BothTest, OpenWithoutAcknowledgementGivesUpAndReleasesEverything)
{
    size_t threads = ThreadCount();
    size_t descriptors = DescriptorCount();
    sim_->SetHostile(docksim::Hostile::NoAck);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Open(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::max(kTestLimits.openAck, kTestLimits.reply) + 1s);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
    EXPECT_TRUE(Eventually([&] { return DescriptorCount() == descriptors; }));
    // The line or the target is free for the next open.
    sim_->SetHostile(docksim::Hostile::None);
    OpenOk();
}

} // namespace
} // namespace proxytest
