// Takes whole packets off a TCP connection. The body is read up to the
// caller's capacity; whatever does not fit is read and thrown away, so the
// stream stays in step and nothing is allocated on a length that came off
// the wire. (The serial line has its own framing: serial_framer.h.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "fd_io.h"

namespace ferry {

enum class PacketResult {
    Packet,       // a packet (see PacketInfo for how much of it is held)
    BadSignature, // 8 bytes dropped as a header with a wrong signature
    Gone,         // the connection failed; nothing more will come
    Stopped,      // the wake signal was raised
};

struct PacketInfo {
    uint32_t length = 0;   // the header's length field
    size_t carried = 0;    // bytes placed in the buffer
    bool complete = false; // all `length` bytes arrived and fitted
};

// Reads the body of a packet whose header said `length`, until it is in,
// the deadline passes or the stream ends.
ReadStatus ReadBody(FdReader &reader, uint8_t *buffer, size_t capacity, uint32_t length, const Deadline &deadline,
                    PacketInfo &info);

// A packet from the notification connection. A wrong signature prints the
// diagnostic and consumes just the 8 header bytes.
PacketResult ReadStreamPacket(FdReader &reader, uint8_t *buffer, size_t capacity, PacketInfo &info);

} // namespace ferry
