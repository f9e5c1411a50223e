#include "serial_link.h"

#include <algorithm>
#include <cstring>

#include "serial_framer.h"
#include "serial_port.h"
#include "time_limits.h"
#include "wire.h"

namespace ferry {

SerialLink::~SerialLink() { stop_threads(); }

int SerialLink::open(const std::string& name, uint32_t baud) {
  int result = open_serial_port(name, baud, port_);
  if (result == kSerialOpened) reader_ = std::make_unique<FdReader>(port_.get(), wake_.fd());
  return result;
}

int32_t SerialLink::send_packet(const uint8_t* data, size_t n) {
  if (!port_.valid()) return 0;
  WriteResult w = write_fully(port_.get(), data, n, false, current_limits().send_stall);
  return w.failed ? 0 : int32_t(w.sent);
}

Reply SerialLink::read_reply(uint8_t* buffer, size_t capacity) {
  if (failed()) return {kNotConnected, 0, true};
  std::vector<uint8_t> stored;
  bool complete = false;
  if (!reply_.take(current_limits().reply, stored, complete)) return {kReceiveFailed, 0, false};
  size_t take = std::min(stored.size(), capacity);
  if (take > 0) std::memcpy(buffer, stored.data(), take);
  // The whole packet has left the line either way, so the link is in step.
  if (!complete || stored.size() > capacity) return {kReceiveFailed, take, true};
  return {int32_t(stored.size()), take, true};
}

void SerialLink::start_threads() {
  if (!threads_.empty()) return;
  threads_.start([this] { reader_loop(); });
  threads_.start([this] { dispatch_loop(); });
}

bool SerialLink::await_open_ack(uint8_t*, size_t) {
  return device_open_.wait_for(current_limits().open_ack);
}

void SerialLink::reader_loop() {
  raise_thread_priority();
  const Millis quiet = current_limits().serial_quiet;
  SerialFramer framer(kThreadBufferSize);
  SerialFramer::Sink queue_packet = [this](const FramedPacket& p) {
    QueuedPacket packet{std::vector<uint8_t>(p.tlv, p.tlv + p.carried), p.complete};
    return queue_.push(std::move(packet));
  };
  std::vector<uint8_t> chunk(kThreadBufferSize);
  Clock::time_point last_byte{};
  while (!ending()) {
    // Only a packet under way has a quiet gap to watch for; otherwise the
    // reader sleeps until a byte comes or the link stops.
    Deadline wait = framer.mid_packet() ? Deadline::at(last_byte + quiet) : Deadline::never();
    size_t got = 0;
    ReadStatus st = reader_->read_some(chunk.data(), chunk.size(), wait, got);
    if (st == ReadStatus::Complete) {
      last_byte = Clock::now();
      if (!framer.feed(chunk.data(), got, queue_packet)) return;
    } else if (st == ReadStatus::TimedOut) {
      framer.line_quiet();
    } else if (st == ReadStatus::Woken) {
      return;
    } else {
      // The line failed; reading again would only spin.
      wait_for_wake(wake_.fd());
      return;
    }
  }
}

void SerialLink::dispatch_loop() {
  raise_thread_priority();
  if (failed()) return;
  while (!ending()) {
    std::optional<QueuedPacket> packet = queue_.pop();
    if (!packet || ending()) return;
    dispatch(*packet);
    if (failed()) return;
  }
}

void SerialLink::dispatch(const QueuedPacket& packet) {
  const std::vector<uint8_t>& bytes = packet.bytes;
  if (bytes.size() < 2) return;
  // A packet too short for its payload length is still a reply, with no payload.
  size_t n = bytes.size() >= kTlvHeaderSize ? get_u16(bytes.data() + 2) : 0;
  switch (get_u16(bytes.data())) {
    case kCmdReadMemory: {
      // Kept apart from the packets that follow until a read takes it.
      size_t keep = std::min(n + kTlvHeaderSize + 1, bytes.size());
      reply_.put(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(keep)), packet.complete);
      break;
    }
    case kCmdDataMessage:
      // With no callback registered the message is simply not delivered.
      deliver_data_message(bytes.data(), bytes.size(), packet.complete);
      break;
    case kCmdDeviceOpen:
      device_open_.set();
      break;
    default:
      break;
  }
}

}  // namespace ferry
