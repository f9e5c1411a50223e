// Finds packets in the bytes of a serial line, where nothing marks where a
// packet starts but its signature.
//
// A packet is the 8-byte header (signature, length) and `length` bytes of
// TLV packet. The signature is searched for byte by byte, so noise before
// a packet loses only the noise. A quiet line (no byte for the quiet gap,
// measured from the last byte that arrived) ends whatever was under way: a
// packet cut short is dropped, never completed with the bytes of a later
// one. A header whose length no TLV packet can have (over kMaxPacketLength)
// is taken for noise and the search goes on from the byte after its
// signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "proxy/wire/wire.h"

namespace ferry {

// The longest TLV packet: a 16-bit payload length, its 4-byte header and
// the trailing byte.
inline constexpr uint32_t kMaxPacketLength = 0xFFFF + kTlvHeaderSize + 1;

struct FramedPacket {
    const uint8_t *tlv; // the packet from its command type on
    size_t carried;     // bytes of it held (at most the framer's capacity)
    uint32_t length;    // the header's length field
    bool complete;      // all `length` bytes arrived and were held
};

class SerialFramer {
public:
    // Called for each packet found; false stops the feed at once.
    using Sink = std::function<bool(const FramedPacket &)>;

    // Keeps at most `capacity` bytes of a packet; the rest is read and
    // thrown away, and the packet counts as incomplete.
    explicit SerialFramer(size_t capacity);

    // Takes the next bytes off the line. False when the sink stopped it (the
    // bytes after that packet are not taken).
    bool Feed(const uint8_t *data, size_t n, const Sink &sink);
    // The line has been quiet for the gap: a packet under way is dropped.
    void LineQuiet();
    // True while bytes are held that a quiet line would throw away (a part
    // of a signature, a header or a body): only then does quiet matter.
    bool MidPacket() const { return state_ != State::Hunting || matched_ > 0; }

private:
    enum class State { Hunting, Length, Body };

    void Hunt(uint8_t byte);
    bool Finish(const Sink &sink);

    size_t capacity_;
    std::unique_ptr<uint8_t[]> body_;
    State state_ = State::Hunting;
    size_t matched_ = 0; // signature bytes matched so far
    uint8_t lengthBytes_[4] = {};
    size_t lengthGot_ = 0;
    uint32_t length_ = 0;
    size_t bodyGot_ = 0;
};

} // namespace ferry
