#include "tcp_link.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "packet_reader.h"
#include "time_limits.h"
#include "wire.h"

namespace ferry {

namespace {

// A connected non-blocking socket, or an invalid one. The connect itself is
// bounded so an unreachable address cannot hang the open.
UniqueFd connect_to(in_addr address, uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return fd;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr = address;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return fd;
  if (errno != EINPROGRESS) return UniqueFd();

  Deadline deadline = Deadline::after(current_limits().connect);
  pollfd p{fd.get(), POLLOUT, 0};
  int r;
  while ((r = ::poll(&p, 1, deadline.poll_timeout())) < 0 && errno == EINTR) {
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (r <= 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
    return UniqueFd();
  }
  return fd;
}

}  // namespace

TcpLink::~TcpLink() { stop_threads(); }

bool TcpLink::connect(const std::string& address, uint32_t base_port) {
  in_addr ip{};
  if (::inet_aton(address.c_str(), &ip) == 0) return false;  // names are not looked up
  if (!valid_base_port(base_port)) return false;
  address_ = address;
  base_port_ = base_port;

  command_ = connect_to(ip, uint16_t(base_port));
  if (!command_.valid()) return false;
  int one = 1;
  // Requests are small and each waits for its reply: do not hold them back.
  ::setsockopt(command_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  command_reader_ = std::make_unique<FdReader>(command_.get(), -1);

  notify_ = connect_to(ip, uint16_t(base_port + 10));
  if (notify_.valid()) notify_reader_ = std::make_unique<FdReader>(notify_.get(), wake_.fd());
  return true;
}

bool TcpLink::reusable_for(const std::string& text, uint32_t number) const {
  return command_.valid() && notify_.valid() && !failed() && text == address_ &&
         number == base_port_;
}

int32_t TcpLink::send_packet(const uint8_t* data, size_t n) {
  if (!command_.valid()) return kNotConnected;
  WriteResult w = write_fully(command_.get(), data, n, true, current_limits().send_stall);
  if (w.failed) return kSendFailed;
  return int32_t(w.sent);
}

Reply TcpLink::read_reply(uint8_t* buffer, size_t capacity) {
  if (!command_.valid() || failed()) return {kNotConnected, 0, true};
  // One deadline for the whole reply: a peer that sends the header just in
  // time and then stalls does not get a second allowance for the body.
  Deadline deadline = Deadline::after(current_limits().reply);
  uint8_t header[kHeaderSize];
  size_t got = 0;
  // The signature is not examined here; the header only gives the length.
  if (command_reader_->read(header, kHeaderSize, deadline, got) != ReadStatus::Complete) {
    return {kReceiveFailed, 0, false};
  }
  PacketInfo info;
  ReadStatus st = read_body(*command_reader_, buffer, capacity, get_u32(header + 4), deadline, info);
  // A reply larger than the buffer was drained whole: still in step.
  if (st != ReadStatus::Complete) return {kReceiveFailed, info.carried, false};
  if (!info.complete) return {kReceiveFailed, info.carried, true};
  return {int32_t(info.length), info.carried, true};
}

void TcpLink::start_threads() {
  if (!threads_.empty()) return;
  threads_.start([this] { receive_loop(); });
}

bool TcpLink::await_open_ack(uint8_t* reply_area, size_t capacity) {
  // The acknowledgement comes on the command connection; the receive
  // thread plays no part in it.
  Reply r = read_reply(reply_area, capacity);
  return r.carried >= 2 && get_u16(reply_area) == kCmdDeviceOpen;
}

void TcpLink::close_connections() {
  if (command_.valid()) ::shutdown(command_.get(), SHUT_RDWR);
  if (notify_.valid()) ::shutdown(notify_.get(), SHUT_RDWR);
}

void TcpLink::receive_loop() {
  raise_thread_priority();
  if (failed()) return;
  if (!notify_reader_) {
    // No notification connection: nothing will ever arrive.
    wait_for_wake(wake_.fd());
    return;
  }
  std::vector<uint8_t> packet(kThreadBufferSize);
  for (;;) {
    PacketInfo info;
    PacketResult r = read_stream_packet(*notify_reader_, packet.data(), packet.size(), info);
    if (failed() || r == PacketResult::Stopped) return;
    if (r == PacketResult::Gone) {
      // A failed connection stays failed: wait for the close instead of
      // retrying in a loop.
      wait_for_wake(wake_.fd());
      return;
    }
    if (r != PacketResult::Packet || info.carried < kTlvHeaderSize) continue;

    uint16_t type = get_u16(packet.data());
    if (type == kCmdDataMessage) {
      // No taker: the thread ends, as designed.
      if (!deliver_data_message(packet.data(), info.carried, info.complete)) return;
    } else {
      std::printf("\npTLVFormat_Packet->usCommandType %d\n", int(type));
      std::fflush(stdout);
    }
    if (failed()) return;
  }
}

}  // namespace ferry
