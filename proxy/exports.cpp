// The seven exported functions.
#include <cstring>
#include <memory>
#include <string>

#include "ferrylink.h"
#include "library.h"
#include "serial_link.h"
#include "serial_port.h"
#include "tcp_link.h"

using namespace ferry;

namespace {

// The used part of the record's text: at most 63 characters, terminated.
bool record_text(const FerryOpenRecord& record, std::string& text) {
  const void* end = std::memchr(record.text, 0, FERRYLINK_TEXT_MAX + 1);
  if (end == nullptr) return false;
  text.assign(record.text, static_cast<const char*>(end));
  return true;
}

// Makes the link that the record asks for, reusing a live TCP link to the
// same peer so that a second open repeats only the handshake.
bool make_link(Library& lib, uint8_t transport, const std::string& text, uint32_t number) {
  if (transport == FERRYLINK_TRANSPORT_TCP) {
    if (lib.link && lib.link->reusable_for(text, number)) return true;
    release_link(lib);
    auto tcp = std::make_unique<TcpLink>(lib.callback);
    if (!tcp->connect(text, number)) return false;
    lib.link = std::move(tcp);
    return true;
  }
  release_link(lib);
  auto serial = std::make_unique<SerialLink>(lib.callback);
  if (serial->open(text, number) != kSerialOpened) return false;
  lib.link = std::move(serial);
  return true;
}

}  // namespace

extern "C" {

int32_t OpenCommunicatonPort(const FerryOpenRecord* record) {
  Library& lib = library();
  if (record == nullptr || (lib.link && lib.link->on_own_thread())) return -1;
  uint8_t transport = record->transport;
  std::string text;
  bool known = transport == FERRYLINK_TRANSPORT_SERIAL ||
               (transport == FERRYLINK_TRANSPORT_TCP && valid_base_port(record->number));
  bool made = known && record_text(*record, text) && make_link(lib, transport, text, record->number);
  // Open or not before, the port counts as open only once the handshake succeeds.
  lib.open.store(false);
  if (!made) {
    release_link(lib);
    return -1;
  }
  if (!run_handshake(lib)) {
    release_link(lib);
    return -1;
  }
  lib.open.store(true);
  return 1;
}

void CloseCommunicationPort(void) {
  Library& lib = library();
  lib.callback.store(nullptr);
  if (lib.open.load()) send_request(lib, kCmdClose, nullptr, 0);
  // Also frees a link that a failed send left behind.
  release_link(lib);
  lib.open.store(false);
}

int32_t SendDataMessage(const void* data, int32_t length, int32_t command_type) {
  Library& lib = library();
  if (!lib.open.load()) return -1;
  if (length < 0 || size_t(length) > kMaxRequestPayload || (length > 0 && data == nullptr)) {
    return -1;
  }
  int32_t sent = send_request(lib, uint16_t(command_type), data, size_t(length));
  if (sent > 0) return size_t(sent) == size_t(length) + kPacketOverhead ? 0 : -1;
  fail_link(lib);
  return -1;
}

int32_t ReadDataMessage(void* buffer, int32_t capacity) {
  Library& lib = library();
  if (buffer == nullptr || capacity <= 0) return kBadArgument;
  if (!lib.link) return kNotConnected;
  Reply reply = lib.link->read_reply(static_cast<uint8_t*>(buffer), size_t(capacity));
  if (!reply.in_step) fail_link(lib);
  return reply.code;
}

int32_t RegisterCallbackForProxy(FerryCallback callback) {
  Library& lib = library();
  if (!lib.open.load()) return -1;
  lib.callback.store(callback);
  return 0;
}

int32_t rdmremote(uint32_t address, void* destination, uint32_t count) {
  Library& lib = library();
  if (!lib.open.load()) return -1;
  // A reply carries at most kMaxRequestPayload bytes in the request buffer.
  if (count > kMaxRequestPayload || (count > 0 && destination == nullptr)) return -1;
  uint8_t payload[8];
  put_u32(payload, address);
  put_u32(payload + 4, count);
  auto* out = static_cast<uint8_t*>(destination);
  if (count > 0) std::memset(out, 0, count);
  lib.link->discard_stale_reply();
  // A request that went out short leaves the target mid-packet: the link
  // is out of step as much as after a failed send.
  if (send_request(lib, kCmdReadMemory, payload, sizeof payload) !=
      int32_t(sizeof payload + kPacketOverhead)) {
    fail_link(lib);
    return kSendFailed;
  }

  lib.request.fill(0);
  uint8_t* tlv = lib.request.data() + kHeaderSize;
  Reply reply = lib.link->read_reply(tlv, count + kTlvHeaderSize + 1);
  // Only a remote read reply answers the request. Anything else (nothing
  // in time, a reply cut short, a packet of another type) means the answer
  // may still be on its way and would be taken by the next request.
  if (!reply.in_step || reply.carried < 2 || get_u16(tlv) != kCmdReadMemory) {
    fail_link(lib);
    return kReceiveFailed;
  }
  size_t carried = carried_payload(tlv, reply.carried);
  size_t take = carried < count ? carried : count;
  if (take > 0) std::memcpy(out, tlv + kTlvHeaderSize, take);
  return 0;
}

int32_t wrmremote(uint32_t address, const uint32_t* value) {
  Library& lib = library();
  if (!lib.open.load()) return -1;
  if (value == nullptr) return -1;
  // Built in a buffer of its own: the request buffer may hold a reply.
  uint8_t payload[8];
  put_u32(payload, address);
  put_u32(payload + 4, *value);
  uint8_t packet[8 + kPacketOverhead];
  size_t size = encode_packet(packet, kCmdWriteMemory, payload, sizeof payload);
  if (lib.link->send_packet(packet, size) != int32_t(size)) {
    fail_link(lib);
    return kSendFailed;
  }
  return 0;
}

}  // extern "C"
