// Opening, closing and reopening the port, the handshake, the refusals
// while the port is closed and the resources a link holds.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "harness.h"
#include "wire.h"

namespace proxytest {
namespace {

TEST_P(BothTest, RefusesEverythingWhileClosed) {
  EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::callback), -1);
  CloseCommunicationPort();  // not open: only unregisters
  uint8_t buffer[8] = {};
  uint32_t value = 1;
  EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
  open_ok();
  CloseCommunicationPort();
  EXPECT_EQ(SendDataMessage(buffer, 1, 4), -1);
  EXPECT_EQ(rdmremote(0, buffer, 4), -1);
  EXPECT_EQ(wrmremote(0, &value), -1);
  EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::callback), -1);
  EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
  // Open, close and nothing else went out.
  ASSERT_TRUE(sim_->wait_requests(2, 5s));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sim_->requests(), (std::vector<Bytes>{encode_packet(6, {}), encode_packet(5, {})}));
}

TEST_P(BothTest, ReopenAfterCloseWorksAndForgetsTheCallback) {
  size_t threads = thread_count();
  size_t descriptors = descriptor_count();
  int spawned = serial_ ? 2 : 1;
  for (int round = 0; round < 3; ++round) {
    open_ok();
    EXPECT_EQ(thread_count(), threads + spawned);
    uint8_t word[4] = {};
    ASSERT_EQ(rdmremote(0x40, word, 4), 0);
    EXPECT_EQ(word[3], docksim::DockSim::initial_byte(0x43));
    CloseCommunicationPort();
    EXPECT_EQ(thread_count(), threads);
    // docksim closes its side of the connections once it sees ours end.
    EXPECT_TRUE(eventually([&] { return descriptor_count() == descriptors; }))
        << descriptor_count() << " != " << descriptors;
  }
  ASSERT_EQ(open(), 1);
  sim_->send_data_message({1});
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(callback_log().items().empty());
}

TEST_P(BothTest, LinkFailureIsNotifiedOnceAndCloseReleasesTheLink) {
  size_t threads = thread_count();
  size_t descriptors = descriptor_count();
  open_ok();
  sim_->drop_connections();
  ASSERT_TRUE(eventually([&] { return sim_->connections() == 0; }));
  // The first send after the peer left may still be taken by the kernel.
  uint8_t byte = 1;
  int32_t result = 0;
  ASSERT_TRUE(eventually([&] {
    result = SendDataMessage(&byte, 1, 4);
    return result == -1;
  }));
  std::vector<Delivery> got = callback_log().items();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, (Bytes{12, 0, 2, 0}));
  EXPECT_EQ(got[0].thread, std::this_thread::get_id());

  uint32_t value = 0;
  EXPECT_EQ(SendDataMessage(&byte, 1, 4), -1);
  EXPECT_EQ(rdmremote(0, &value, 4), -1);
  EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::callback), -1);
  EXPECT_EQ(callback_log().items().size(), 1u);

  // A link whose peer has gone must not busy the CPU while it waits.
  long ticks = cpu_ticks();
  std::this_thread::sleep_for(300ms);
  EXPECT_LE(cpu_ticks() - ticks, 5);

  CloseCommunicationPort();
  EXPECT_EQ(thread_count(), threads);
  // On serial docksim has closed its pty for good, two descriptors fewer.
  EXPECT_EQ(descriptor_count(), serial_ ? descriptors - 2 : descriptors);
}

TEST_P(BothTest, CloseFromInsideTheCallbackDoesNotDeadlock) {
  static std::atomic<int> calls{0};
  calls = 0;
  size_t threads = thread_count();
  ASSERT_EQ(open(), 1);
  ASSERT_EQ(RegisterCallbackForProxy([](int32_t, const uint8_t*, int32_t) -> int32_t {
              CloseCommunicationPort();
              ++calls;
              return 0;
            }),
            0);
  sim_->send_data_message({1});
  ASSERT_TRUE(eventually([] { return calls.load() == 1; }));
  uint8_t byte = 0;
  EXPECT_EQ(SendDataMessage(&byte, 1, 4), -1);
  CloseCommunicationPort();  // from outside: the threads are joined now
  EXPECT_EQ(thread_count(), threads);
}

TEST_F(TcpTest, SecondOpenReusesTheConnectionsAndRepeatsTheHandshake) {
  size_t threads = thread_count();
  open_ok();
  ASSERT_EQ(open(), 1);
  EXPECT_EQ(thread_count(), threads + 1);
  EXPECT_EQ(sim_->connections(), 2u);
  ASSERT_TRUE(sim_->wait_requests(2, 5s));
  EXPECT_EQ(sim_->requests(), (std::vector<Bytes>{encode_packet(6, {}), encode_packet(6, {})}));
}

TEST_F(TcpTest, WrongAcknowledgementFailsTheOpenAndClosesTheConnections) {
  size_t threads = thread_count();
  size_t descriptors = descriptor_count();
  sim_->set_hostile(docksim::Hostile::WrongAck);
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(thread_count(), threads);
  EXPECT_TRUE(eventually([&] { return sim_->connections() == 0; }));
  EXPECT_EQ(descriptor_count(), descriptors);
  EXPECT_EQ(RegisterCallbackForProxy(&CallbackLog::callback), -1);
}

TEST_F(TcpTest, OpenGoesOnWithoutTheNotificationConnection) {
  docksim::Options options;
  options.listen_notify = false;
  restart(options);
  size_t threads = thread_count();
  open_ok();
  EXPECT_EQ(thread_count(), threads + 1);
  uint8_t word[4] = {};
  ASSERT_EQ(rdmremote(8, word, 4), 0);
  EXPECT_EQ(word[0], docksim::DockSim::initial_byte(8));
  long ticks = cpu_ticks();
  std::this_thread::sleep_for(300ms);
  EXPECT_LE(cpu_ticks() - ticks, 5);  // the receive thread waits, it does not spin
  CloseCommunicationPort();
  EXPECT_EQ(thread_count(), threads);
}

// True when someone connected to the listener within 100 ms.
bool connection_waiting(const ferry::UniqueFd& listener) {
  pollfd p{listener.get(), POLLIN, 0};
  return ::poll(&p, 1, 100) > 0;
}

TEST_F(TcpTest, BasePortsWithoutARealNotificationPortAreRefusedBeforeConnecting) {
  EXPECT_EQ(open_tcp(0), -1);
  // 65526 + 10 would be port 4 once cut to 16 bits; nothing may be dialled.
  ferry::UniqueFd listener = docksim::bind_loopback(65526, true);
  if (listener.valid()) {
    EXPECT_EQ(open_tcp(65526), -1);
    EXPECT_FALSE(connection_waiting(listener));
  }
  // A number whose low 16 bits name the live target is not cut to them.
  FerryOpenRecord record =
      make_record(FERRYLINK_TRANSPORT_TCP, "127.0.0.1", 0x10000u + sim_->base_port());
  EXPECT_EQ(OpenCommunicatonPort(&record), -1);
  EXPECT_EQ(sim_->connections(), 0u);

  // The highest base port whose notification port is 65535 is fine.
  sim_.reset();
  sim_ = docksim::DockSim::listen_tcp(65525, {});
  if (!sim_) GTEST_SKIP() << "ports 65525 and 65535 are not both free here";
  open_ok();
  sim_->send_data_message({7});
  ASSERT_TRUE(callback_log().wait_for(1));
  EXPECT_EQ(callback_log().items()[0].payload, Bytes{7});
}

TEST_F(TcpTest, BadRecordsAndUnreachablePeersFailTheOpen) {
  FerryOpenRecord record = make_record(FERRYLINK_TRANSPORT_TCP, "localhost", sim_->base_port());
  EXPECT_EQ(OpenCommunicatonPort(&record), -1);  // names are not looked up
  record = make_record(3, "127.0.0.1", sim_->base_port());
  EXPECT_EQ(OpenCommunicatonPort(&record), -1);
  EXPECT_EQ(OpenCommunicatonPort(nullptr), -1);
  // A text with no terminator within the 128 bytes.
  record = make_record(FERRYLINK_TRANSPORT_TCP, std::string(128, '1'), sim_->base_port());
  EXPECT_EQ(OpenCommunicatonPort(&record), -1);

  // A port that is bound but not listening refuses the connection.
  ferry::UniqueFd holder = docksim::bind_loopback(0, false);
  ASSERT_TRUE(holder.valid());
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(holder.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  EXPECT_EQ(open_tcp(ntohs(addr.sin_port)), -1);
  holder.reset();
  EXPECT_TRUE(sim_->requests().empty());
}

TEST_F(SerialTest, PortNamesUpToSixtyThreeCharactersAreUsed) {
  char dir_template[] = "/tmp/ferrylink-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  std::string dir = dir_template;
  std::string longest = dir + "/" + std::string(63 - dir.size() - 1, 'p');
  std::string too_long = longest + "q";
  ASSERT_EQ(::symlink(sim_->tty_name().c_str(), longest.c_str()), 0);
  ASSERT_EQ(::symlink(sim_->tty_name().c_str(), too_long.c_str()), 0);

  EXPECT_EQ(open_serial(too_long), -1);
  EXPECT_EQ(open_serial(longest), 1);
  CloseCommunicationPort();
  EXPECT_EQ(open_serial("/dev/null"), -1);  // not a serial line
  EXPECT_EQ(open_serial(dir + "/missing"), -1);
  FerryOpenRecord record = make_record(FERRYLINK_TRANSPORT_SERIAL, sim_->tty_name(), 12345);
  EXPECT_EQ(OpenCommunicatonPort(&record), -1);  // no such baud rate
  ::unlink(longest.c_str());
  ::unlink(too_long.c_str());
  ::rmdir(dir.c_str());
}

// The waits below are real: the open gives up after 5 s on serial and 10 s
// on TCP. Each sits in a test of its own so they run side by side.
TEST_P(BothTest, OpenWithoutAcknowledgementGivesUpAndReleasesEverything) {
  size_t threads = thread_count();
  size_t descriptors = descriptor_count();
  sim_->set_hostile(docksim::Hostile::NoAck);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(open(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  EXPECT_EQ(thread_count(), threads);
  EXPECT_TRUE(eventually([&] { return descriptor_count() == descriptors; }));
  // The line or the target is free for the next open.
  sim_->set_hostile(docksim::Hostile::None);
  open_ok();
}

}  // namespace
}  // namespace proxytest
