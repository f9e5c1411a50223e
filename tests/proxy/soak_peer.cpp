// soak_peer: a target that misbehaves on purpose, for the proxy soak test
// (soak_test.cpp; what both sides agree on is in soak_protocol.h).
//
// Usage: soak_peer tcp|serial LATE_MS
// It serves the wire format on 127.0.0.1 (a free base port and base + 10)
// or on a pty of its own, and takes its orders on stdin one round at a
// time, answering on stdout:
//   begin MISBEHAVIOUR TARGET ROUND  ->  ready WHERE  (the base port, or the pty's path)
//   end                              ->  done BAD     (malformed requests seen in the round)
// Memory byte a holds docksim's initial_byte(a) until the host writes it.
// The program ends at the end of its input, or after a minute without orders.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "docksim.h"
#include "fd_io.h"
#include "soak_protocol.h"
#include "wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ferry::encode_packet;
using ferry::UniqueFd;
using soak::Misbehaviour;
using soak::Target;

constexpr ferry::Millis kWriteStall{1000};  // a host that takes nothing for this long has gone
constexpr int kIdleMs = 60000;              // no order for this long: the test has gone

// Noise in 8-byte blocks without the signature's first byte: on TCP each
// block is dropped as one header with a wrong signature, and on the serial
// line the search for a signature never starts inside it.
Bytes garbage(uint32_t salt) {
  Bytes bytes(8 * (1 + salt % 3));
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint8_t b = uint8_t(salt * 97u + i * 29u + 3u);
    bytes[i] = b == 0xCE ? 0x31 : b;
  }
  return bytes;
}

// A header whose length no packet can have.
Bytes huge_header() {
  Bytes header(ferry::kHeaderSize);
  ferry::put_u32(header.data(), ferry::kPacketSignature);
  ferry::put_u32(header.data() + 4, 0xFFFFFFF0);
  return header;
}

Bytes first_half(const Bytes& packet) {
  return Bytes(packet.begin(), packet.begin() + long(packet.size() / 2));
}

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

// A data message the proxy must drop: alternately one whose payload length
// claims more than the packet carries, and one cut to its command type.
Bytes lying_message(uint32_t seq, uint32_t i) {
  Bytes packet = encode_packet(ferry::kCmdDataMessage, soak::message(seq));
  if (i % 2 == 0) {
    ferry::put_u16(&packet[10], uint16_t(ferry::get_u16(&packet[10]) + 16));
  } else {
    ferry::put_u32(&packet[4], 2);
    packet.resize(ferry::kHeaderSize + 2);
  }
  return packet;
}

// Ends a TCP connection with a reset rather than an orderly close.
void reset_connection(UniqueFd& conn) {
  linger hard{1, 0};
  ::setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  conn.reset();
}

class Peer {
 public:
  Peer(bool serial, int late_ms) : serial_(serial), late_(late_ms) {}
  bool start();
  int run();

 private:
  int line() const { return serial_ ? pty_.master.get() : cmd_.get(); }
  int notify();
  void send(int fd, const Bytes& bytes);
  void hang_up();
  void cut_off(UniqueFd& conn);
  bool obey(const std::string& order);
  void end_round();
  void accept_on(const UniqueFd& listener, UniqueFd& conn);
  void take_requests();
  void handle(const uint8_t* tlv, uint32_t length);
  void answer_read(uint32_t address, uint32_t count);
  void send_messages(uint32_t count, uint32_t first);
  Bytes memory(uint32_t address, uint32_t count) const;

  const bool serial_;
  const std::chrono::milliseconds late_;
  uint16_t base_port_ = 0;
  UniqueFd listen_cmd_, listen_ntf_, cmd_, ntf_;
  docksim::PtyPair pty_;  // the slave stays open so the line outlives each host
  Bytes in_;              // request bytes not yet parsed
  std::string orders_;
  std::map<uint32_t, uint8_t> written_;

  // The round under way.
  Misbehaviour act_ = Misbehaviour::Good;
  Target target_ = Target::Read0;
  int round_ = 0;
  int reads_ = 0;
  int bad_ = 0;
  bool silent_ = false;
  std::optional<Bytes> late_reply_;
  Clock::time_point late_due_{};
};

bool Peer::start() {
  if (serial_) return true;  // the pty is made by the first round
  for (int attempt = 0; attempt < 200 && !listen_cmd_.valid(); ++attempt) {
    base_port_ =
        uint16_t(20000 + (unsigned(::getpid()) * 7919u + unsigned(attempt) * 104729u) % 12000);
    listen_cmd_ = docksim::bind_loopback(base_port_, true);
    listen_ntf_ = docksim::bind_loopback(uint16_t(base_port_ + 10), true);
    if (!listen_ntf_.valid()) listen_cmd_.reset();
  }
  return listen_cmd_.valid() && ferry::set_nonblocking(listen_cmd_.get()) &&
         ferry::set_nonblocking(listen_ntf_.get());
}

int Peer::run() {
  for (;;) {
    pollfd fds[5] = {{STDIN_FILENO, POLLIN, 0},
                     {listen_cmd_.get(), POLLIN, 0},
                     {listen_ntf_.get(), POLLIN, 0},
                     {line(), POLLIN, 0},
                     {ntf_.get(), POLLIN, 0}};
    int timeout = kIdleMs;
    if (late_reply_) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(late_due_ - Clock::now());
      timeout = int(std::max<long>(0, long(left.count())));
    }
    int ready = ::poll(fds, 5, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (ready == 0 && !late_reply_)) return 3;
    if (late_reply_ && Clock::now() >= late_due_) {
      send(line(), *late_reply_);
      late_reply_.reset();
    }
    if (fds[1].revents & POLLIN) accept_on(listen_cmd_, cmd_);
    if (fds[2].revents & POLLIN) accept_on(listen_ntf_, ntf_);
    if (fds[3].revents != 0) take_requests();
    if (fds[4].revents != 0) {
      char sink[256];
      ssize_t r = ::read(ntf_.get(), sink, sizeof sink);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) ntf_.reset();
    }
    // Orders come last: an order may close the descriptors polled above.
    if (fds[0].revents != 0) {
      char chunk[256];
      ssize_t r = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (r == 0) return 0;
      if (r < 0 && errno != EINTR) return 3;
      if (r > 0) orders_.append(chunk, size_t(r));
      for (size_t eol; (eol = orders_.find('\n')) != std::string::npos;) {
        std::string order = orders_.substr(0, eol);
        orders_.erase(0, eol + 1);
        if (!obey(order)) return 2;
      }
    }
  }
}

bool Peer::obey(const std::string& order) {
  std::string answer;
  int act = 0, target = 0, round = 0;
  if (std::sscanf(order.c_str(), "begin %d %d %d", &act, &target, &round) == 3) {
    if (act < 0 || act >= int(Misbehaviour::Count) || target < 0 || target > int(Target::Read2)) {
      return false;
    }
    act_ = Misbehaviour(act);
    target_ = Target(target);
    round_ = round;
    reads_ = bad_ = 0;
    silent_ = false;
    if (serial_ && !pty_.master.valid()) {
      pty_ = docksim::open_raw_pty();
      in_.clear();
      if (!pty_.master.valid() || !ferry::set_nonblocking(pty_.master.get())) return false;
    }
    answer = "ready " + (serial_ ? pty_.name : std::to_string(base_port_));
  } else if (order == "end") {
    end_round();
    answer = "done " + std::to_string(bad_);
  } else {
    return false;
  }
  answer += '\n';
  return ::write(STDOUT_FILENO, answer.data(), answer.size()) == ssize_t(answer.size());
}

// Whatever the round left pending goes out now, before the next round's
// open: a late reply must never reach the host in a later round.
void Peer::end_round() {
  if (late_reply_) send(line(), *late_reply_);
  late_reply_.reset();
  if (serial_) return;
  cmd_.reset();
  ntf_.reset();
  in_.clear();
  for (const UniqueFd* listener : {&listen_cmd_, &listen_ntf_}) {
    while (UniqueFd(::accept4(listener->get(), nullptr, nullptr, SOCK_CLOEXEC)).valid()) {
    }
  }
}

void Peer::accept_on(const UniqueFd& listener, UniqueFd& conn) {
  UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!fd.valid()) return;
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  conn = std::move(fd);
  if (&conn == &cmd_) in_.clear();
}

// Data messages go out on the notification connection, which the host
// makes right after the command connection.
int Peer::notify() {
  if (serial_) return pty_.master.get();
  if (!ntf_.valid()) {
    pollfd p{listen_ntf_.get(), POLLIN, 0};
    if (::poll(&p, 1, 1000) > 0) accept_on(listen_ntf_, ntf_);
  }
  return ntf_.get();
}

// Writes the bytes unless the host stops taking them: it takes nothing for
// a while, or its next order comes, which ends the round and leaves the
// rest for nobody (a flood the close cut off, say).
void Peer::send(int fd, const Bytes& bytes) {
  constexpr ferry::Millis kSlice{50};
  size_t done = 0;
  for (int idle = 0; fd >= 0 && done < bytes.size() && idle * kSlice < kWriteStall;) {
    ferry::WriteResult w =
        ferry::write_fully(fd, bytes.data() + done, bytes.size() - done, !serial_, kSlice);
    if (w.failed) return;
    done += w.sent;
    idle = w.sent > 0 ? 0 : idle + 1;
    pollfd order{STDIN_FILENO, POLLIN, 0};
    if (::poll(&order, 1, 0) > 0) return;
  }
}

// The connections, or the pty, end for good.
void Peer::hang_up() {
  cmd_.reset();
  ntf_.reset();
  pty_ = docksim::PtyPair();
}

// After a packet cut short: a reset over TCP, silence on the serial line,
// where a cut packet stays cut only if nothing follows it.
void Peer::cut_off(UniqueFd& conn) {
  if (serial_) {
    silent_ = true;
  } else {
    reset_connection(conn);
  }
}

void Peer::take_requests() {
  uint8_t chunk[4096];
  bool ended = false;
  for (;;) {
    ssize_t r = ::read(line(), chunk, sizeof chunk);
    if (r > 0) {
      in_.insert(in_.end(), chunk, chunk + r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    ended = !(r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    break;
  }
  size_t pos = 0;
  while (line() >= 0 && in_.size() - pos >= ferry::kHeaderSize) {
    uint32_t length = ferry::get_u32(&in_[pos + 4]);
    if (ferry::get_u32(&in_[pos]) != ferry::kPacketSignature ||
        length < ferry::kTlvHeaderSize + 1 || length > ferry::kRequestBufferSize) {
      ++bad_;
      ++pos;
      continue;
    }
    if (in_.size() - pos < ferry::kHeaderSize + length) break;
    handle(&in_[pos + ferry::kHeaderSize], length);
    pos += ferry::kHeaderSize + length;
  }
  in_.erase(in_.begin(), in_.begin() + long(std::min(pos, in_.size())));
  if (ended && !serial_) {
    cmd_.reset();
    in_.clear();
  }
}

void Peer::handle(const uint8_t* tlv, uint32_t length) {
  uint16_t type = ferry::get_u16(tlv);
  uint16_t n = ferry::get_u16(tlv + 2);
  const uint8_t* p = tlv + ferry::kTlvHeaderSize;
  uint16_t expected_n = type == ferry::kCmdDeviceOpen || type == ferry::kCmdClose ? 0 : 8;
  bool known = type == ferry::kCmdDeviceOpen || type == ferry::kCmdClose ||
               type == ferry::kCmdReadMemory || type == ferry::kCmdWriteMemory ||
               type == ferry::kCmdDataMessage;
  if (!known || n != expected_n || length != n + ferry::kTlvHeaderSize + 1 ||
      tlv[length - 1] != 0) {
    ++bad_;
    return;
  }
  switch (type) {
    case ferry::kCmdDeviceOpen:
      if (act_ == Misbehaviour::NoAck) break;
      if (act_ == Misbehaviour::WrongAck) {
        uint16_t wrong = round_ % 2 ? ferry::kCmdReadMemory : ferry::kCmdClose;
        send(line(), encode_packet(wrong, {0, 0, 0, 0}));
        break;
      }
      send(line(), encode_packet(ferry::kCmdDeviceOpen, {}));
      break;
    case ferry::kCmdReadMemory:
      answer_read(ferry::get_u32(p), ferry::get_u32(p + 4));
      break;
    case ferry::kCmdWriteMemory:
      for (uint32_t i = 0; i < 4; ++i) written_[ferry::get_u32(p) + i] = p[4 + i];
      break;
    case ferry::kCmdDataMessage:
      send_messages(ferry::get_u32(p), ferry::get_u32(p + 4));
      break;
    default:
      break;
  }
}

void Peer::answer_read(uint32_t address, uint32_t count) {
  static const Target kReads[] = {Target::Read0, Target::Read1, Target::Read2};
  Target event = kReads[std::min(reads_++, 2)];
  if (silent_) return;
  Bytes reply = encode_packet(ferry::kCmdReadMemory, memory(address, count));
  if (event != target_) return send(line(), reply);
  Bytes out;
  switch (act_) {
    case Misbehaviour::Garbage:
      if (serial_) {
        out = garbage(address);
      } else {
        send(notify(), garbage(address));  // a TCP reply stream has no room for noise
      }
      append(out, reply);
      return send(line(), out);
    case Misbehaviour::Cut:
      send(line(), first_half(reply));
      return cut_off(cmd_);
    case Misbehaviour::Huge:
      // The serial framer takes the header for noise and finds the reply
      // after it; over TCP the host waits for the body until the close.
      out = huge_header();
      append(out, reply);
      send(line(), out);
      if (!serial_) cmd_.reset();
      return;
    case Misbehaviour::Lying:
      if (soak::lie_of(round_) == soak::Lie::TypeOnly) {
        ferry::put_u32(&reply[4], 2);
        reply.resize(ferry::kHeaderSize + 2);
      } else if (soak::lie_of(round_) == soak::Lie::Half) {
        reply = encode_packet(ferry::kCmdReadMemory, memory(address, count / 2));
        ferry::put_u16(&reply[10], uint16_t(count));
      } else {
        reply = encode_packet(ferry::kCmdReadMemory, memory(address, count + soak::kOverBy));
      }
      return send(line(), reply);
    case Misbehaviour::Stall:
      silent_ = true;
      return;
    case Misbehaviour::Late:
      late_reply_ = reply;
      late_due_ = Clock::now() + late_;
      silent_ = true;
      return;
    case Misbehaviour::Drop:
      send(line(), first_half(reply));
      return hang_up();
    default:
      return send(line(), reply);
  }
}

// count messages numbered from first, shaped by the misbehaviour when it
// strikes here: from the middle on, a Cut or (over TCP) a Huge header ends
// the stream; Garbage and Lying mix in what must be dropped.
void Peer::send_messages(uint32_t count, uint32_t first) {
  if (silent_) return;
  bool strike = target_ == Target::Messages;
  Bytes out;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t seq = first + i;
    Bytes packet = encode_packet(ferry::kCmdDataMessage, soak::message(seq));
    if (strike && i == count / 2 && act_ == Misbehaviour::Cut) {
      append(out,
             first_half(encode_packet(ferry::kCmdDataMessage, soak::message(seq | soak::kBogus))));
      send(notify(), out);
      return cut_off(ntf_);
    }
    if (strike && i == count / 2 && act_ == Misbehaviour::Huge) {
      append(out, huge_header());
      if (!serial_) {
        append(out, packet);
        send(notify(), out);
        ntf_.reset();
        return;
      }
    }
    if (strike && act_ == Misbehaviour::Garbage) append(out, garbage(seq));
    append(out, packet);
    if (strike && act_ == Misbehaviour::Lying && i % 3 == 0) {
      append(out, lying_message(seq | soak::kBogus, i / 3));
    }
  }
  send(notify(), out);
}

Bytes Peer::memory(uint32_t address, uint32_t count) const {
  Bytes bytes(count);
  for (uint32_t i = 0; i < count; ++i) {
    auto it = written_.find(address + i);
    bytes[i] = it != written_.end() ? it->second : docksim::DockSim::initial_byte(address + i);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  std::string transport = argc == 3 ? argv[1] : "";
  if (transport != "tcp" && transport != "serial") {
    std::fprintf(stderr, "usage: soak_peer tcp|serial LATE_MS\n");
    return 2;
  }
  Peer peer(transport == "serial", std::atoi(argv[2]));
  return peer.start() ? peer.run() : 1;
}
