// The serial framer against a plain reference model of the framing.
//
// Input: byte 0 picks the framer's capacity, bytes 1-4 seed how the line
// cuts the rest into reads and where it falls quiet; the rest is the line.
// The model sees the whole line at once, split at the quiet gaps, and
// scans each stretch for packets; the framer gets the same bytes in pieces.
// Both must find exactly the same packets.
#include "fuzz/fuzz_target.h"
#include "proxy/serial_framer.h"

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Found {
    Bytes tlv;
    uint32_t length;
    bool complete;
    bool operator==(const Found &) const = default;
};

bool SignatureAt(const uint8_t *p)
{
    return ferry::GetU32(p) == ferry::kPacketSignature;
}

// Packets in one stretch of line between quiet gaps: a signature, a length
// that a TLV packet can have and the whole body, all inside the stretch.
void ModelStretch(const uint8_t *s, size_t n, size_t capacity, std::vector<Found> &found)
{
    size_t i = 0;
    while (i + 4 <= n) {
        if (!SignatureAt(s + i)) {
            ++i;
            continue;
        }
        if (i + ferry::kHeaderSize > n)
            return; // the header was cut by the quiet gap
        uint32_t length = ferry::GetU32(s + i + 4);
        if (length > ferry::kMaxPacketLength) {
            ++i;
            continue;
        }
        if (i + ferry::kHeaderSize + length > n)
            return; // the body was cut
        const uint8_t *body = s + i + ferry::kHeaderSize;
        size_t kept = length < capacity ? length : capacity;
        found.push_back({Bytes(body, body + kept), length, length <= capacity});
        i += ferry::kHeaderSize + length;
    }
}

uint32_t Next(uint32_t &state)
{
    state = state * 1103515245u + 12345u;
    return state >> 8;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    // Small capacities make oversized packets common; the real one too.
    size_t capacity = data[0] == 0xFF ? ferry::kThreadBufferSize : size_t(data[0] % 48);
    uint32_t state = ferry::GetU32(data + 1);
    const uint8_t *line = data + 5;
    size_t n = size - 5;

    std::vector<Found> expected;
    std::vector<Found> got;
    ferry::SerialFramer framer(capacity);
    auto sink = [&](const ferry::FramedPacket &p) {
        fuzz::Require(p.carried <= capacity, "a packet never holds more than the capacity");
        got.push_back({Bytes(p.tlv, p.tlv + p.carried), p.length, p.complete});
        return true;
    };
    size_t stretch = 0; // where the current stretch of line began
    size_t at = 0;
    while (at < n) {
        size_t piece = 1 + Next(state) % 24;
        if (piece > n - at)
            piece = n - at;
        framer.Feed(line + at, piece, sink);
        at += piece;
        if (Next(state) % 6 == 0) {
            framer.LineQuiet();
            ModelStretch(line + stretch, at - stretch, capacity, expected);
            stretch = at;
        }
    }
    ModelStretch(line + stretch, n - stretch, capacity, expected);
    fuzz::Require(got == expected, "the framer finds the packets the model finds");
    return 0;
}
