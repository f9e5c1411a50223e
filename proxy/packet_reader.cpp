#include "packet_reader.h"

#include <algorithm>
#include <cstdio>

#include "wire.h"

namespace ferry {

namespace {

// Collects n bytes (discarding them when dst is null). With a quiet gap,
// each read waits at most that long and the collection ends at the first
// read that brings nothing; otherwise it ends at the deadline.
ReadStatus collect(FdReader& reader, uint8_t* dst, size_t n, const Deadline& deadline,
                   const Millis* quiet, size_t& got) {
  got = 0;
  for (;;) {
    size_t part = 0;
    Deadline wait = quiet != nullptr ? Deadline::after(*quiet) : deadline;
    ReadStatus st = reader.read(dst != nullptr ? dst + got : nullptr, n - got, wait, part);
    got += part;
    if (st != ReadStatus::TimedOut || part == 0 || quiet == nullptr) return st;
  }
}

PacketResult result_of_failed_read(ReadStatus st) {
  return st == ReadStatus::Woken ? PacketResult::Stopped : PacketResult::Gone;
}

}  // namespace

ReadStatus read_body(FdReader& reader, uint8_t* buffer, size_t capacity, uint32_t length,
                     const Deadline& deadline, const Millis* quiet, PacketInfo& info) {
  size_t keep = std::min<size_t>(length, capacity);
  size_t got = 0;
  ReadStatus st = collect(reader, buffer, keep, deadline, quiet, got);
  if (st == ReadStatus::Complete && length > keep) {
    size_t drained = 0;
    st = collect(reader, nullptr, length - keep, deadline, quiet, drained);
  }
  info.length = length;
  info.carried = got;
  info.complete = st == ReadStatus::Complete && length <= capacity;
  return st;
}

PacketResult read_stream_packet(FdReader& reader, uint8_t* buffer, size_t capacity,
                                PacketInfo& info) {
  uint8_t header[kHeaderSize];
  size_t got = 0;
  ReadStatus st = reader.read(header, kHeaderSize, Deadline::never(), got);
  if (st != ReadStatus::Complete) return result_of_failed_read(st);
  if (get_u32(header) != kPacketSignature) {
    std::printf("if(stCommandHeader.uiSignature != PACKET_SIGNATURE)");
    std::fflush(stdout);
    return PacketResult::BadSignature;
  }
  st = read_body(reader, buffer, capacity, get_u32(header + 4), Deadline::never(), nullptr, info);
  if (st != ReadStatus::Complete) return result_of_failed_read(st);
  return PacketResult::Packet;
}

PacketResult read_serial_packet(FdReader& reader, uint8_t* buffer, size_t capacity,
                                const std::atomic<bool>& terminate, PacketInfo& info) {
  uint8_t header[kHeaderSize];
  for (;;) {
    if (terminate.load()) return PacketResult::Stopped;
    size_t got = 0;
    ReadStatus st = reader.read(header, kHeaderSize, Deadline::after(kSerialReadTimeout), got);
    if (st != ReadStatus::Complete && st != ReadStatus::TimedOut) return result_of_failed_read(st);
    if (got == kHeaderSize && get_u32(header) == kPacketSignature) break;
    // A quiet line, a short read or a wrong signature: try the next 8 bytes.
  }
  ReadStatus st = read_body(reader, buffer, capacity, get_u32(header + 4), Deadline::never(),
                            &kSerialReadTimeout, info);
  // A body cut short by a quiet line is still handed on; the dispatcher
  // decides what an incomplete packet is good for.
  if (st != ReadStatus::Complete && st != ReadStatus::TimedOut) return result_of_failed_read(st);
  return PacketResult::Packet;
}

}  // namespace ferry
