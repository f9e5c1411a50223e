#include "packet_reader.h"

#include <algorithm>
#include <cstdio>

#include "wire.h"

namespace ferry {

namespace {

PacketResult result_of_failed_read(ReadStatus st) {
  return st == ReadStatus::Woken ? PacketResult::Stopped : PacketResult::Gone;
}

}  // namespace

ReadStatus read_body(FdReader& reader, uint8_t* buffer, size_t capacity, uint32_t length,
                     const Deadline& deadline, PacketInfo& info) {
  size_t keep = std::min<size_t>(length, capacity);
  size_t got = 0;
  ReadStatus st = reader.read(buffer, keep, deadline, got);
  if (st == ReadStatus::Complete && length > keep) {
    size_t drained = 0;
    st = reader.read(nullptr, length - keep, deadline, drained);
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
  st = read_body(reader, buffer, capacity, get_u32(header + 4), Deadline::never(), info);
  if (st != ReadStatus::Complete) return result_of_failed_read(st);
  return PacketResult::Packet;
}

}  // namespace ferry
