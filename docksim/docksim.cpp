#include "docksim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "fd_io.h"
#include "wire.h"

namespace docksim {

using ferry::encode_packet;
using ferry::get_u16;
using ferry::get_u32;
using ferry::UniqueFd;

namespace {

constexpr size_t kOutboxTarget = 1 << 16;     // how far a burst runs ahead of the reader
constexpr uint32_t kMaxReadCount = 65536;     // largest remote read answered
constexpr uint32_t kMaxInboundLength = 1 << 20;
constexpr size_t kMaxRecorded = 100000;

void make_raw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return;
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
}

// A data message payload: message type 1, subtype 1, then a byte pattern.
std::vector<uint8_t> sample_message(size_t size, uint32_t seed) {
  std::vector<uint8_t> payload(size);
  for (size_t i = 0; i < size; ++i) payload[i] = uint8_t(seed + i);
  if (size >= 4) {
    ferry::put_u16(payload.data(), 1);
    ferry::put_u16(payload.data() + 2, 1);
  }
  return payload;
}

}  // namespace

UniqueFd bind_loopback(uint16_t port, bool do_listen) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
  if (do_listen && ::listen(fd.get(), 4) != 0) return UniqueFd();
  return fd;
}

PtyPair open_raw_pty() {
  PtyPair pty;
  pty.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128];
  if (!pty.master.valid() || ::grantpt(pty.master.get()) != 0 || ::unlockpt(pty.master.get()) != 0 ||
      ::ptsname_r(pty.master.get(), name, sizeof name) != 0) {
    return PtyPair();
  }
  pty.slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!pty.slave.valid()) return PtyPair();
  make_raw(pty.slave.get());
  pty.name = name;
  return pty;
}

bool parse_hostile(const std::string& name, Hostile& mode) {
  static const std::pair<const char*, Hostile> kNames[] = {
      {"none", Hostile::None},           {"bad-signature", Hostile::BadSignature},
      {"huge-length", Hostile::HugeLength}, {"short-length", Hostile::ShortLength},
      {"truncated", Hostile::Truncated}, {"silent", Hostile::Silent},
      {"no-ack", Hostile::NoAck},        {"wrong-ack", Hostile::WrongAck},
      {"drop", Hostile::Drop},
  };
  for (const auto& [text, value] : kNames) {
    if (name == text) {
      mode = value;
      return true;
    }
  }
  return false;
}

std::unique_ptr<DockSim> DockSim::listen_tcp(uint16_t base_port, const Options& options) {
  std::unique_ptr<DockSim> sim(new DockSim(options));
  sim->base_port_ = base_port;
  sim->listen_command_ = bind_loopback(base_port, true);
  // Without a notification listener the port is still held, so that a
  // connection to it is refused rather than reaching someone else.
  sim->listen_notify_ = bind_loopback(uint16_t(base_port + 10), options.listen_notify);
  if (!sim->listen_command_.valid() || !sim->listen_notify_.valid()) return nullptr;
  // The loop polls its listeners and must never block in accept.
  ferry::set_nonblocking(sim->listen_command_.get());
  ferry::set_nonblocking(sim->listen_notify_.get());
  return sim->start() ? std::move(sim) : nullptr;
}

std::unique_ptr<DockSim> DockSim::listen_tcp_any(const Options& options) {
  static std::atomic<unsigned> attempt{0};
  for (int i = 0; i < 500; ++i) {
    unsigned key = unsigned(::getpid()) * 131u + attempt.fetch_add(1) * 17u;
    auto sim = listen_tcp(uint16_t(20000 + key % 12000), options);
    if (sim) return sim;
  }
  return nullptr;
}

std::unique_ptr<DockSim> DockSim::serve_pty(const Options& options) {
  PtyPair pty = open_raw_pty();
  if (!pty.slave.valid()) return nullptr;
  ferry::set_nonblocking(pty.master.get());
  std::unique_ptr<DockSim> sim(new DockSim(options));
  sim->serial_ = true;
  sim->tty_name_ = pty.name;
  sim->command_.fd = std::move(pty.master);
  sim->slave_hold_ = std::move(pty.slave);
  return sim->start() ? std::move(sim) : nullptr;
}

std::unique_ptr<DockSim> DockSim::serve_tty(const std::string& path, const Options& options) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return nullptr;
  make_raw(fd.get());
  std::unique_ptr<DockSim> sim(new DockSim(options));
  sim->serial_ = true;
  sim->tty_name_ = path;
  sim->command_.fd = std::move(fd);
  return sim->start() ? std::move(sim) : nullptr;
}

bool DockSim::start() {
  control_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!control_.valid()) return false;
  next_tick_ = std::chrono::steady_clock::now();
  thread_ = std::thread([this] { loop(); });
  return true;
}

DockSim::~DockSim() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  poke();
  if (thread_.joinable()) thread_.join();
}

void DockSim::poke() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(control_.get(), &one, sizeof one);
}

void DockSim::set_hostile(Hostile mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.hostile = mode;
}

DockSim::Conn& DockSim::channel_conn(Channel channel) {
  return serial_ || channel == Channel::Command ? command_ : notify_;
}

void DockSim::send_data_message(const std::vector<uint8_t>& payload) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    emit(channel_conn(Channel::Notify), ferry::kCmdDataMessage, payload);
  }
  poke();
}

void DockSim::send_data_burst(size_t size, uint64_t count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    burst_packet_ = encode_packet(ferry::kCmdDataMessage, sample_message(size, 7));
    burst_left_ = count;
  }
  poke();
}

void DockSim::send_raw(Channel channel, const std::vector<uint8_t>& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Conn& conn = channel_conn(channel);
    if (conn.fd.valid()) conn.out.insert(conn.out.end(), bytes.begin(), bytes.end());
  }
  poke();
}

void DockSim::drop_connections() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drop_pending_ = true;
  }
  poke();
}

std::vector<std::vector<uint8_t>> DockSim::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool DockSim::wait_requests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

size_t DockSim::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_t(command_.fd.valid()) + size_t(notify_.fd.valid());
}

uint8_t DockSim::initial_byte(uint32_t address) { return uint8_t((address * 2654435761u) >> 24); }

std::vector<uint8_t> DockSim::read_memory(uint32_t address, uint32_t count) const {
  std::vector<uint8_t> bytes(count);
  for (uint32_t i = 0; i < count; ++i) {
    auto it = written_.find(address + i);
    bytes[i] = it != written_.end() ? it->second : initial_byte(address + i);
  }
  return bytes;
}

// Everything below runs on the loop thread, with mutex_ held except while
// polling. Only this thread opens or closes descriptors, so the ones it
// polls stay valid.

void DockSim::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    pollfd fds[5];
    nfds_t count = 0;
    auto add = [&](const UniqueFd& fd, short events) {
      fds[count++] = {fd.get(), events, 0};
    };
    add(control_, POLLIN);
    add(listen_command_, POLLIN);
    // A socket that is only bound reports a hang-up at once: leave it out.
    fds[count++] = {options_.listen_notify ? listen_notify_.get() : -1, POLLIN, 0};
    // A burst in progress is topped up whenever its connection can take more.
    Conn& burst_target = channel_conn(Channel::Notify);
    auto events = [&](const Conn& conn) {
      bool more = !conn.out.empty() || (burst_left_ > 0 && &conn == &burst_target);
      return short(POLLIN | (more ? POLLOUT : 0));
    };
    add(command_.fd, events(command_));
    add(notify_.fd, events(notify_));
    int timeout = -1;
    if (options_.rate_hz > 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(next_tick_ -
                                                               std::chrono::steady_clock::now());
      timeout = int(std::max<long>(0, long(left.count())));
    }
    lock.unlock();
    ::poll(fds, count, timeout);
    lock.lock();
    if (stopping_) break;

    if (fds[0].revents != 0) {
      uint64_t value;
      [[maybe_unused]] ssize_t r = ::read(control_.get(), &value, sizeof value);
    }
    if (fds[1].revents & POLLIN) accept_on(listen_command_.get(), command_);
    if (fds[2].revents & POLLIN) accept_on(listen_notify_.get(), notify_);
    if (fds[3].revents != 0) read_from(command_, true);
    if (fds[4].revents != 0) read_from(notify_, false);

    if (options_.rate_hz > 0 && std::chrono::steady_clock::now() >= next_tick_) {
      Conn& target = channel_conn(Channel::Notify);
      if (target.fd.valid()) {
        emit(target, ferry::kCmdDataMessage, sample_message(options_.message_size, ticks_++));
      }
      next_tick_ = std::chrono::steady_clock::now() +
                   std::chrono::microseconds(1000000 / options_.rate_hz);
    }
    top_up_burst();
    flush(command_);
    flush(notify_);
    if (drop_pending_ && command_.out.empty() && notify_.out.empty()) {
      drop_pending_ = false;
      end_conn(command_);
      end_conn(notify_);
      slave_hold_.reset();
    }
    changed_.notify_all();
  }
}

void DockSim::accept_on(int listener, Conn& conn) {
  UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!fd.valid()) return;
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  end_conn(conn);  // a new connection replaces the old one
  conn.fd = std::move(fd);
}

void DockSim::read_from(Conn& conn, bool parse) {
  uint8_t buffer[65536];
  bool ended = false;
  for (;;) {
    ssize_t r = ::read(conn.fd.get(), buffer, sizeof buffer);
    if (r > 0) {
      if (parse) conn.in.insert(conn.in.end(), buffer, buffer + r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    // Otherwise nothing more for now, or the peer closed or failed. A
    // serial line stays: the next host simply opens it again.
    ended = !serial_ && !(r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    break;
  }
  if (parse) parse_packets(conn);
  if (ended) end_conn(conn);
}

void DockSim::parse_packets(Conn& conn) {

  size_t pos = 0;
  std::vector<uint8_t>& in = conn.in;
  while (in.size() - pos >= ferry::kHeaderSize) {
    if (get_u32(&in[pos]) != ferry::kPacketSignature) {
      ++pos;  // hunt for the next header
      continue;
    }
    uint32_t length = get_u32(&in[pos + 4]);
    if (length > kMaxInboundLength) {
      pos += ferry::kHeaderSize;
      continue;
    }
    if (in.size() - pos < ferry::kHeaderSize + length) break;
    std::vector<uint8_t> packet(in.begin() + long(pos),
                                in.begin() + long(pos + ferry::kHeaderSize + length));
    pos += packet.size();
    handle_packet(conn, packet);
  }
  in.erase(in.begin(), in.begin() + long(pos));
}

void DockSim::handle_packet(Conn& conn, const std::vector<uint8_t>& packet) {
  if (options_.record && requests_.size() < kMaxRecorded) requests_.push_back(packet);
  if (packet.size() < ferry::kHeaderSize + ferry::kTlvHeaderSize) return;
  uint16_t type = get_u16(&packet[8]);
  size_t n = std::min<size_t>(get_u16(&packet[10]), packet.size() - 12);
  const uint8_t* payload = &packet[12];
  Hostile mode = options_.hostile;

  if (type == ferry::kCmdDeviceOpen) {
    if (mode == Hostile::NoAck) return;
    uint16_t ack = mode == Hostile::WrongAck ? ferry::kCmdClose : ferry::kCmdDeviceOpen;
    std::vector<uint8_t> bytes = encode_packet(ack, {});
    conn.out.insert(conn.out.end(), bytes.begin(), bytes.end());
    if (mode == Hostile::Drop) drop_pending_ = true;
  } else if (type == ferry::kCmdReadMemory && n >= 8 && mode != Hostile::Silent) {
    uint32_t count = std::min(get_u32(payload + 4), kMaxReadCount);
    emit(conn, ferry::kCmdReadMemory, read_memory(get_u32(payload), count));
  } else if (type == ferry::kCmdWriteMemory && n >= 8) {
    uint32_t address = get_u32(payload);
    for (uint32_t i = 0; i < 4; ++i) written_[address + i] = payload[4 + i];
  }
}

void DockSim::emit(Conn& conn, uint16_t type, const std::vector<uint8_t>& payload) {
  if (!conn.fd.valid()) return;
  std::vector<uint8_t> packet = encode_packet(type, payload);
  switch (options_.hostile) {
    case Hostile::BadSignature:
      ferry::put_u32(packet.data(), 0xDEADBEEF);
      break;
    case Hostile::HugeLength:
      ferry::put_u32(packet.data() + 4, 0xFFFFFFF0);
      conn.close_when_flushed = !serial_;
      break;
    case Hostile::ShortLength:
      ferry::put_u32(packet.data() + 4, 2);
      packet.resize(ferry::kHeaderSize + 2);
      break;
    case Hostile::Truncated:
      packet.resize(ferry::kHeaderSize + (payload.size() + 5) / 2);
      conn.close_when_flushed = !serial_;
      break;
    default:
      break;
  }
  conn.out.insert(conn.out.end(), packet.begin(), packet.end());
}

void DockSim::top_up_burst() {
  Conn& target = channel_conn(Channel::Notify);
  if (!target.fd.valid()) return;
  while (burst_left_ > 0 && target.out.size() < kOutboxTarget) {
    target.out.insert(target.out.end(), burst_packet_.begin(), burst_packet_.end());
    --burst_left_;
  }
}

void DockSim::flush(Conn& conn) {
  size_t done = 0;
  while (conn.fd.valid() && done < conn.out.size()) {
    ssize_t w = serial_ ? ::write(conn.fd.get(), conn.out.data() + done, conn.out.size() - done)
                        : ::send(conn.fd.get(), conn.out.data() + done, conn.out.size() - done,
                                 MSG_NOSIGNAL);
    if (w > 0) {
      done += size_t(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    end_conn(conn);
    return;
  }
  conn.out.erase(conn.out.begin(), conn.out.begin() + long(done));
  if (conn.out.empty() && conn.close_when_flushed) end_conn(conn);
}

void DockSim::end_conn(Conn& conn) {
  conn.fd.reset();
  conn.in.clear();
  conn.out.clear();
  conn.close_when_flushed = false;
}

}  // namespace docksim
