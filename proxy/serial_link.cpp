#include "serial_link.h"

#include <algorithm>
#include <cstring>

#include "packet_reader.h"
#include "serial_port.h"
#include "wire.h"

namespace ferry {

namespace {
constexpr Millis kOpenAckTimeout{5000};
}

SerialLink::~SerialLink() { stop_threads(); }

int SerialLink::open(const std::string& name, uint32_t baud) {
  int result = open_serial_port(name, baud, port_);
  if (result == kSerialOpened) reader_ = std::make_unique<FdReader>(port_.get(), wake_.fd());
  return result;
}

int32_t SerialLink::send_packet(const uint8_t* data, size_t n) {
  if (!port_.valid()) return 0;
  WriteResult w = write_fully(port_.get(), data, n, false, kSendStall);
  return w.failed ? 0 : int32_t(w.sent);
}

Reply SerialLink::read_reply(uint8_t* buffer, size_t capacity) {
  if (!reply_ready_.wait_for(kReplyTimeout)) return {kReceiveFailed, 0};
  std::lock_guard<std::mutex> lock(reply_mutex_);
  size_t take = std::min(reply_.size(), capacity);
  if (take > 0) std::memcpy(buffer, reply_.data(), take);
  if (reply_.size() > capacity) return {kReceiveFailed, take};
  return {int32_t(reply_.size()), take};
}

void SerialLink::start_threads() {
  if (!threads_.empty()) return;
  spawn([this] { reader_loop(); });
  spawn([this] { dispatch_loop(); });
}

bool SerialLink::await_open_ack(uint8_t*, size_t) { return device_open_.wait_for(kOpenAckTimeout); }

void SerialLink::reader_loop() {
  raise_thread_priority();
  std::vector<uint8_t> raw(kThreadBufferSize);
  while (!terminate_.load()) {
    PacketInfo info;
    PacketResult r = read_serial_packet(*reader_, raw.data(), raw.size(), terminate_, info);
    if (r == PacketResult::Stopped) return;
    if (r == PacketResult::Gone) {
      // The line failed; reading again would only spin.
      wait_for_wake(wake_.fd());
      return;
    }
    QueuedPacket packet{std::vector<uint8_t>(raw.begin(), raw.begin() + long(info.carried)),
                        info.complete};
    if (!queue_.push(std::move(packet))) return;
  }
}

void SerialLink::dispatch_loop() {
  raise_thread_priority();
  if (stop_.load()) return;
  while (!terminate_.load()) {
    std::optional<QueuedPacket> packet = queue_.pop();
    if (!packet || terminate_.load()) return;
    dispatch(*packet);
    if (terminate_.load() || stop_.load()) return;
  }
}

void SerialLink::dispatch(const QueuedPacket& packet) {
  const std::vector<uint8_t>& bytes = packet.bytes;
  if (bytes.size() < 2) return;
  // A packet too short for its payload length is still a reply, with no payload.
  size_t n = bytes.size() >= kTlvHeaderSize ? get_u16(bytes.data() + 2) : 0;
  switch (get_u16(bytes.data())) {
    case kCmdReadMemory: {
      // Kept apart from the packets that follow until a read takes it; a
      // reply cut short keeps only what arrived.
      size_t keep = std::min(n + kTlvHeaderSize + 1, bytes.size());
      {
        std::lock_guard<std::mutex> lock(reply_mutex_);
        reply_.assign(bytes.begin(), bytes.begin() + long(keep));
      }
      reply_ready_.set();
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
