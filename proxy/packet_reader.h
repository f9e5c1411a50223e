// Takes whole packets off a TCP connection: the replies on the command
// connection one at a time (ReadBody), the data messages on the
// notification connection in bulk (StreamReader). Nothing is ever
// allocated on a length that came off the wire. (The serial line has its
// own framing: serial_framer.h.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "proxy/wire/fd_io.h"
#include "proxy/wire/wire.h"

namespace ferry {

struct PacketInfo {
    uint32_t length = 0;   // the header's length field
    size_t carried = 0;    // bytes placed in the buffer
    bool complete = false; // all `length` bytes arrived and fitted
};

// Reads the body of a packet whose header said `length`, until it is in,
// the deadline passes or the stream ends. The body is read up to the
// caller's capacity; whatever does not fit is read and thrown away, so the
// stream stays in step.
ReadStatus ReadBody(FdReader &reader, uint8_t *buffer, size_t capacity, uint32_t length, const Deadline &deadline,
                    PacketInfo &info);

enum class PacketResult {
    Packet,       // a packet (see StreamPacket)
    BadSignature, // 8 bytes dropped as a header with a wrong signature
    NeedMore,     // no whole packet is buffered: Fill, then ask again
};

enum class FillResult {
    Some,    // bytes came
    Nothing, // none had arrived (the reader never waits)
    Gone,    // the connection ended or failed; nothing more will come
};

// A packet as the stream reader hands it out.
struct StreamPacket {
    const uint8_t *tlv = nullptr; // from its command type on; valid until the next Fill
    size_t carried = 0;           // bytes at tlv
    uint32_t length = 0;          // the header's length field
    bool complete = false;        // false: longer than the capacity, thrown away
                                  // but for its TLV header (at most that is at tlv)
};

// The notification connection's reader. It reads in 64 KB chunks and hands
// every whole packet out of its own buffer, so that a flood of messages
// costs one system call per chunk and no copy; only the packet that a read
// cut in two moves to the front before the next read. Packets longer than
// the capacity are thrown away as they come, however long. The descriptor
// must be non-blocking: the caller waits for it to become readable.
class StreamReader {
public:
    // capacity: the longest packet (after its header) handed out whole, at
    // most kMaxCapacity.
    StreamReader(int fd, size_t capacity);

    // Reads what has arrived, as much as the buffer has room for. Call it
    // once Next has said NeedMore.
    FillResult Fill();
    // The next packet, or NeedMore when no whole one is buffered.
    PacketResult Next(StreamPacket &packet);

    // Larger chunks help a host that shares its core with the target's
    // writer, but cost more than they save when each has a core.
    static constexpr size_t kBufferSize = 65536;
    static constexpr size_t kMaxCapacity = kBufferSize - kHeaderSize;

private:
    // Throws away what is buffered of the packet being skipped; that packet
    // once all of it has gone.
    PacketResult Skip(StreamPacket &packet);

    int fd_;
    size_t capacity_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    // The packet too long to keep that is being thrown away: the bytes of it
    // still to come, its length and its first bytes, to name it by.
    bool skipping_ = false;
    size_t skip_ = 0;
    uint32_t skippedLength_ = 0;
    uint8_t skippedHead_[kTlvHeaderSize] = {};
    size_t skippedHeadSize_ = 0;
};

} // namespace ferry
