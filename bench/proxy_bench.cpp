// Benchmarks of ferrylink against raw baselines measured in the same run:
// a remote read round trip against a raw socket ping-pong of the same
// bytes, a write followed by a read, data-message delivery to the callback
// against a raw socket reader, and the serial round trip against a raw pty
// ping-pong. Prints the ratios and the CPU an idle open link uses.
// Times are reported, never judged.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "docksim.h"
#include "ferrylink.h"
#include "unique_fd.h"
#include "wire.h"

namespace {

using ferry::UniqueFd;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMessageSize = 1024;
constexpr int kMessagesPerIteration = 1000;

// ---- raw baselines: blocking reads and writes, nothing else ----

bool read_all(int fd, uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, data, n);
    if (r <= 0) return false;
    data += r;
    n -= size_t(r);
  }
  return true;
}

bool write_all(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t r = ::write(fd, data, n);
    if (r <= 0) return false;
    data += r;
    n -= size_t(r);
  }
  return true;
}

// The target of every round trip, raw or through the proxy, so that the
// ratios show the proxy's own cost: read a packet, acknowledge a device
// open, answer a remote read with `count` bytes. Ends when the other side
// goes away.
void raw_target(int fd) {
  Bytes packet(ferry::kHeaderSize + 64);
  Bytes reply;
  Bytes ack = ferry::encode_packet(ferry::kCmdDeviceOpen, {});
  Bytes memory(ferry::kMaxRequestPayload, 0x5A);
  while (read_all(fd, packet.data(), ferry::kHeaderSize)) {
    uint32_t length = ferry::get_u32(packet.data() + 4);
    if (length > 64 || !read_all(fd, packet.data() + 8, length)) return;
    uint16_t type = ferry::get_u16(packet.data() + 8);
    if (type == ferry::kCmdDeviceOpen && !write_all(fd, ack.data(), ack.size())) return;
    if (type != ferry::kCmdReadMemory) continue;
    uint32_t count = std::min<uint32_t>(ferry::get_u32(packet.data() + 16), ferry::kMaxRequestPayload);
    reply.resize(count + ferry::kPacketOverhead);
    ferry::encode_packet(reply.data(), ferry::kCmdReadMemory, memory.data(), count);
    if (!write_all(fd, reply.data(), reply.size())) return;
  }
}

// 1 KB data messages, written back to back until the reader goes away.
void message_stream(int fd) {
  Bytes message = ferry::encode_packet(ferry::kCmdDataMessage, Bytes(kMessageSize, 7));
  Bytes chunk;
  for (int i = 0; i < 64; ++i) chunk.insert(chunk.end(), message.begin(), message.end());
  while (write_all(fd, chunk.data(), chunk.size())) {
  }
}

// Serves the command port with raw_target and the notification port
// (base + 10) with message_stream, one connection after another. The
// stream starts on start_stream(): a data message that finds no callback
// registered would end the proxy's receive thread.
class TcpTarget {
 public:
  TcpTarget() {
    for (uint16_t base = 31000; base > 21000 && !command_.valid(); base -= 97) {
      command_ = docksim::bind_loopback(base, true);
      notify_ = docksim::bind_loopback(uint16_t(base + 10), true);
      if (!notify_.valid()) command_.reset();
      port_ = base;
    }
    threads_.emplace_back(serve, command_.get(), raw_target);
    threads_.emplace_back(serve, notify_.get(), [this](int fd) {
      std::unique_lock<std::mutex> lock(mutex_);
      go_changed_.wait(lock, [this] { return go_ != 0; });
      if (go_ > 0) {
        lock.unlock();
        message_stream(fd);
      }
    });
  }
  ~TcpTarget() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (go_ == 0) go_ = -1;  // a stream never started ends at once
    }
    go_changed_.notify_all();
    ::shutdown(command_.get(), SHUT_RDWR);  // wakes the accepts
    ::shutdown(notify_.get(), SHUT_RDWR);
    for (std::thread& t : threads_) t.join();
  }
  void start_stream() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      go_ = 1;
    }
    go_changed_.notify_all();
  }
  uint16_t port() const { return port_; }

  int connect_to(uint16_t port) const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
  }

 private:
  static void serve(int listener, const std::function<void(int)>& handler) {
    for (;;) {
      UniqueFd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn.valid()) return;
      int one = 1;
      ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      handler(conn.get());
    }
  }

  UniqueFd command_;
  UniqueFd notify_;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable go_changed_;
  int go_ = 0;
  std::vector<std::thread> threads_;
};

// One remote read as a raw exchange: 21 bytes out, count + 13 back.
void raw_round_trip(benchmark::State& state, int fd, uint32_t count, bool write_first) {
  Bytes write = ferry::encode_packet(ferry::kCmdWriteMemory, Bytes(8, 1));
  Bytes read = ferry::encode_packet(ferry::kCmdReadMemory, {0, 0, 0, 0, uint8_t(count), uint8_t(count >> 8), 0, 0});
  Bytes reply(count + ferry::kPacketOverhead);
  for (auto _ : state) {
    if (write_first) write_all(fd, write.data(), write.size());
    write_all(fd, read.data(), read.size());
    if (!read_all(fd, reply.data(), reply.size())) state.SkipWithError("target went away");
  }
}

void BM_RawTcpRoundTrip(benchmark::State& state) {
  TcpTarget target;
  UniqueFd fd(target.connect_to(target.port()));
  raw_round_trip(state, fd.get(), uint32_t(state.range(0)), state.range(1) != 0);
}

void BM_RawPtyRoundTrip(benchmark::State& state) {
  docksim::PtyPair pair = docksim::open_raw_pty();
  std::thread target(raw_target, pair.master.get());
  raw_round_trip(state, pair.slave.get(), uint32_t(state.range(0)), false);
  pair.slave.reset();  // the target's read fails and it ends
  target.join();
}

void BM_RawReader(benchmark::State& state) {
  TcpTarget target;
  UniqueFd fd(target.connect_to(uint16_t(target.port() + 10)));
  target.start_stream();
  Bytes header(ferry::kHeaderSize), body(8192);
  for (auto _ : state) {
    for (int i = 0; i < kMessagesPerIteration; ++i) {
      read_all(fd.get(), header.data(), header.size());
      read_all(fd.get(), body.data(), ferry::get_u32(header.data() + 4));
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kMessagesPerIteration);
  ::shutdown(fd.get(), SHUT_RDWR);
}

// ---- the proxy ----

int32_t open_link(const std::string& text, uint32_t number, bool serial) {
  FerryOpenRecord record{};
  record.transport = serial ? FERRYLINK_TRANSPORT_SERIAL : FERRYLINK_TRANSPORT_TCP;
  std::snprintf(record.text, sizeof record.text, "%s", text.c_str());
  record.number = number;
  return OpenCommunicatonPort(&record);
}

void proxy_round_trips(benchmark::State& state, bool write_first) {
  uint32_t count = uint32_t(state.range(0));
  Bytes out(count);
  uint32_t value = 0x01020304;
  for (auto _ : state) {
    if (write_first) wrmremote(0x100, &value);
    rdmremote(0x100, out.data(), count);
  }
  CloseCommunicationPort();
}

void BM_ProxyTcpRoundTrip(benchmark::State& state) {
  TcpTarget target;
  if (open_link("127.0.0.1", target.port(), false) != 1) {
    state.SkipWithError("cannot open the link");
    return;
  }
  proxy_round_trips(state, state.range(1) != 0);
}

void BM_ProxyPtyRoundTrip(benchmark::State& state) {
  docksim::PtyPair pair = docksim::open_raw_pty();
  std::thread target(raw_target, pair.master.get());
  if (open_link(pair.name, 115200, true) == 1) {
    proxy_round_trips(state, false);
  } else {
    state.SkipWithError("cannot open the link");
  }
  pair.slave.reset();
  target.join();
}

std::mutex g_mutex;
std::condition_variable g_delivered_changed;
std::atomic<uint64_t> g_delivered{0};
std::atomic<uint64_t> g_wanted{0};

int32_t count_message(int32_t, const uint8_t*, int32_t) {
  uint64_t now = g_delivered.fetch_add(1) + 1;
  if (now >= g_wanted.load()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_delivered_changed.notify_all();
  }
  return 0;
}

void BM_ProxyCallbackDelivery(benchmark::State& state) {
  g_delivered = 0;
  g_wanted = 0;
  TcpTarget target;
  if (open_link("127.0.0.1", target.port(), false) != 1) {
    state.SkipWithError("cannot open the link");
    return;
  }
  RegisterCallbackForProxy(count_message);
  target.start_stream();
  for (auto _ : state) {
    g_wanted += kMessagesPerIteration;
    std::unique_lock<std::mutex> lock(g_mutex);
    g_delivered_changed.wait(lock, [] { return g_delivered.load() >= g_wanted.load(); });
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kMessagesPerIteration);
  CloseCommunicationPort();
}

BENCHMARK(BM_RawTcpRoundTrip)->Args({4, 0})->Args({2043, 0})->Args({4, 1})->UseRealTime();
BENCHMARK(BM_ProxyTcpRoundTrip)->Args({4, 0})->Args({2043, 0})->Args({4, 1})->UseRealTime();
BENCHMARK(BM_RawPtyRoundTrip)->Arg(4)->UseRealTime();
BENCHMARK(BM_ProxyPtyRoundTrip)->Arg(4)->UseRealTime();
BENCHMARK(BM_RawReader)->UseRealTime();
BENCHMARK(BM_ProxyCallbackDelivery)->UseRealTime();

// Keeps each benchmark's time per iteration and throughput for the
// ratios: the median when repetitions are asked for, else the one run.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      std::string name = run.run_name.str();
      time_[name] = run.GetAdjustedRealTime();
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) rate_[name] = items->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> time_;
  std::map<std::string, double> rate_;
};

void print_ratio(const std::map<std::string, double>& values, const char* label, const std::string& ours,
                 const std::string& raw, const char* goal) {
  auto a = values.find(ours);
  auto b = values.find(raw);
  if (a == values.end() || b == values.end() || b->second == 0) return;
  std::printf("  %-44s %6.2f   (goal %s)\n", label, a->second / b->second, goal);
}

// CPU used by the whole process while a link to a quiet docksim stays open.
double idle_cpu_ms(bool serial, double seconds) {
  docksim::Options options;
  options.record = false;
  auto sim = serial ? docksim::DockSim::serve_pty(options) : docksim::DockSim::listen_tcp_any(options);
  if (!sim) return -1;
  if (open_link(serial ? sim->tty_name() : "127.0.0.1", serial ? 115200 : sim->base_port(), serial) != 1) {
    return -1;
  }
  auto cpu = [] {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
  };
  double before = cpu();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double used = cpu() - before;
  CloseCommunicationPort();
  return used;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // the raw baselines write with plain write()
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto& t = reporter.time_;
  const auto& r = reporter.rate_;
  std::printf("\nferrylink against raw baselines (time ratio: lower is better)\n");
  print_ratio(t, "rdmremote 4 bytes / raw TCP ping-pong", "BM_ProxyTcpRoundTrip/4/0/real_time",
              "BM_RawTcpRoundTrip/4/0/real_time", "<= 1.3");
  print_ratio(t, "rdmremote 2043 bytes / raw TCP ping-pong", "BM_ProxyTcpRoundTrip/2043/0/real_time",
              "BM_RawTcpRoundTrip/2043/0/real_time", "<= 1.3");
  print_ratio(t, "wrmremote + rdmremote / raw write + ping-pong", "BM_ProxyTcpRoundTrip/4/1/real_time",
              "BM_RawTcpRoundTrip/4/1/real_time", "<= 1.3");
  print_ratio(t, "serial rdmremote 4 bytes / raw pty ping-pong", "BM_ProxyPtyRoundTrip/4/real_time",
              "BM_RawPtyRoundTrip/4/real_time", "<= 2");
  std::printf("throughput ratio (higher is better)\n");
  print_ratio(r, "callback delivery 1 KB / raw socket reader", "BM_ProxyCallbackDelivery/real_time",
              "BM_RawReader/real_time", ">= 0.7");
  double seconds = 2.0;
  std::printf("CPU of the whole process over %.0f s with an idle open link:\n", seconds);
  std::printf("  TCP    %.1f ms\n", idle_cpu_ms(false, seconds));
  std::printf("  serial %.1f ms\n", idle_cpu_ms(true, seconds));
  return 0;
}
