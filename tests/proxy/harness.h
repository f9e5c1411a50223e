// Helpers shared by the proxy tests: open records, a recorder for the
// callback, packet builders and process resource counts.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "docksim.h"
#include "ferrylink.h"
#include "time_limits.h"
#include "wire.h"

namespace proxytest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The proxy's limits in these tests: a silent target costs a second, not
// ten. The serial quiet gap keeps its real length, which the framing tests
// time against.
inline const ferry::Limits kTestLimits{
    .reply = 1000ms, .send_stall = 2000ms, .connect = 2000ms, .open_ack = 1000ms,
    .serial_quiet = 500ms};

// Other limits for one test; the test limits come back at the end of scope.
class ScopedLimits {
 public:
  explicit ScopedLimits(const ferry::Limits& limits) { ferry::set_limits(limits); }
  ~ScopedLimits() { ferry::set_limits(kTestLimits); }
  ScopedLimits(const ScopedLimits&) = delete;
  ScopedLimits& operator=(const ScopedLimits&) = delete;
};

FerryOpenRecord make_record(uint8_t transport, const std::string& text, uint32_t number);
int32_t open_tcp(uint16_t base_port);
int32_t open_serial(const std::string& tty);

// encode_packet(type, payload): a whole packet, as the target sends it and
// as docksim records a request.
using ferry::encode_packet;
Bytes le32(uint32_t a, uint32_t b);

struct Delivery {
  Bytes payload;
  std::thread::id thread;
};

// Records every call of the callback. The callback has no context pointer,
// so there is one recorder per process.
class CallbackLog {
 public:
  static int32_t callback(int32_t reserved, const uint8_t* payload, int32_t length);
  void clear();
  bool wait_for(size_t count, std::chrono::milliseconds timeout = 5s);
  std::vector<Delivery> items();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Delivery> items_;
};
CallbackLog& callback_log();

size_t thread_count();      // entries of /proc/self/task
size_t descriptor_count();  // entries of /proc/self/fd
long cpu_ticks();           // user + system clock ticks of the process

// Sends `packet` as the target's answer once the target has received its
// `nth` request, from a thread of its own, so that the answer never comes
// before the question (on serial a reply that does is thrown away). Joins
// at the end of scope.
class AnswerWhenAsked {
 public:
  AnswerWhenAsked(docksim::DockSim& sim, size_t nth, Bytes packet);
  ~AnswerWhenAsked();
  AnswerWhenAsked(const AnswerWhenAsked&) = delete;
  AnswerWhenAsked& operator=(const AnswerWhenAsked&) = delete;

 private:
  std::thread thread_;
};

// Waits until `predicate` holds or the timeout passes.
bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 5s);

// A docksim for each test, on TCP or on a pty, and the proxy closed after it.
class LinkTest : public ::testing::Test {
 protected:
  explicit LinkTest(bool serial) : serial_(serial) {}
  void SetUp() override;
  void TearDown() override;
  // Replaces the docksim with one made with these options.
  void restart(const docksim::Options& options);
  int32_t open();
  // Opens and registers the recorder as callback.
  void open_ok();

  bool serial_;
  std::unique_ptr<docksim::DockSim> sim_;
};

struct TcpTest : LinkTest {
  TcpTest() : LinkTest(false) {}
};

struct SerialTest : LinkTest {
  SerialTest() : LinkTest(true) {}
};

// Cases that both transports must handle alike; the parameter is "serial".
struct BothTest : LinkTest, ::testing::WithParamInterface<bool> {
  BothTest() : LinkTest(GetParam()) {}
};

std::string transport_name(const ::testing::TestParamInfo<bool>& info);

}  // namespace proxytest
