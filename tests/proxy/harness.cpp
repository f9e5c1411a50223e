#include "harness.h"

#include <dirent.h>
#include <sys/times.h>

#include <cstring>
#include <fstream>

#include "wire.h"

namespace proxytest {

FerryOpenRecord make_record(uint8_t transport, const std::string& text, uint32_t number) {
  FerryOpenRecord record{};
  record.transport = transport;
  std::memcpy(record.text, text.data(), std::min(text.size(), sizeof record.text));
  record.number = number;
  return record;
}

int32_t open_tcp(uint16_t base_port) {
  FerryOpenRecord record = make_record(FERRYLINK_TRANSPORT_TCP, "127.0.0.1", base_port);
  return OpenCommunicatonPort(&record);
}

int32_t open_serial(const std::string& tty) {
  FerryOpenRecord record = make_record(FERRYLINK_TRANSPORT_SERIAL, tty, 115200);
  return OpenCommunicatonPort(&record);
}

Bytes le32(uint32_t a, uint32_t b) {
  Bytes out(8);
  ferry::put_u32(out.data(), a);
  ferry::put_u32(out.data() + 4, b);
  return out;
}

int32_t CallbackLog::callback(int32_t reserved, const uint8_t* payload, int32_t length) {
  EXPECT_EQ(reserved, 0);
  CallbackLog& log = callback_log();
  {
    std::lock_guard<std::mutex> lock(log.mutex_);
    log.items_.push_back({Bytes(payload, payload + length), std::this_thread::get_id()});
  }
  log.changed_.notify_all();
  return 0;
}

void CallbackLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
}

bool CallbackLog::wait_for(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
}

std::vector<Delivery> CallbackLog::items() {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_;
}

CallbackLog& callback_log() {
  static CallbackLog log;
  return log;
}

namespace {
size_t entries(const char* path) {
  size_t count = 0;
  if (DIR* dir = ::opendir(path)) {
    while (dirent* e = ::readdir(dir)) {
      if (e->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}
}  // namespace

size_t thread_count() { return entries("/proc/self/task"); }

// The directory stream itself holds one descriptor while it is read.
size_t descriptor_count() { return entries("/proc/self/fd") - 1; }

long cpu_ticks() {
  tms t{};
  ::times(&t);
  return long(t.tms_utime + t.tms_stime);
}

AnswerWhenAsked::AnswerWhenAsked(docksim::DockSim& sim, size_t nth, Bytes packet)
    : thread_([&sim, nth, packet = std::move(packet)] {
        if (sim.wait_requests(nth, 5s)) sim.send_raw(docksim::Channel::Command, packet);
      }) {}

AnswerWhenAsked::~AnswerWhenAsked() { thread_.join(); }

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void LinkTest::SetUp() {
  ferry::set_limits(kTestLimits);
  callback_log().clear();
  restart({});
}

void LinkTest::TearDown() {
  CloseCommunicationPort();
  sim_.reset();
}

void LinkTest::restart(const docksim::Options& options) {
  sim_.reset();
  sim_ = serial_ ? docksim::DockSim::serve_pty(options) : docksim::DockSim::listen_tcp_any(options);
  ASSERT_TRUE(sim_);
}

int32_t LinkTest::open() {
  return serial_ ? open_serial(sim_->tty_name()) : open_tcp(sim_->base_port());
}

void LinkTest::open_ok() {
  ASSERT_EQ(open(), 1);
  ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::callback), 0);
}

std::string transport_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Serial" : "Tcp";
}

INSTANTIATE_TEST_SUITE_P(Transports, BothTest, ::testing::Bool(), transport_name);

}  // namespace proxytest
