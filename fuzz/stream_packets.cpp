// The TCP notification stream reader against a plain model of the stream:
// 8-byte headers back to back, a header with a wrong signature dropped
// alone, a packet of the header's length handed out whole up to the
// capacity and thrown away beyond it (all but its TLV header), and no
// packet before all of it arrived.
//
// Input: byte 0 picks the capacity; the rest is what the connection
// carries. It goes through a socket as the receive thread reads it: at
// once, a byte at a time (a cut at every offset of every packet) and in
// pieces of 7 bytes (cuts that leave part of the next packet behind).
#include "fuzz/fuzz_target.h"
#include "proxy/packet_reader.h"
#include "proxy/wire/unique_fd.h"
#include "proxy/wire/wire.h"

#include <sys/socket.h>

#include <algorithm>
#include <vector>

namespace {

// The stream as it should be read: what came so far and how far the
// reader should have got.
struct Model {
    const uint8_t *s;
    size_t arrived;
    size_t at;
    size_t capacity;

    // True when a whole packet, or a header with a wrong signature, starts
    // at `at` among the bytes that arrived.
    bool WholeAhead() const
    {
        if (arrived - at < ferry::kHeaderSize)
            return false;
        if (ferry::GetU32(s + at) != ferry::kPacketSignature)
            return true;
        return arrived - at - ferry::kHeaderSize >= ferry::GetU32(s + at + 4);
    }
};

// Takes every packet the reader has and checks it against the model
// (which counts as arrived what may still wait in the socket).
void Drain(ferry::StreamReader &reader, Model &m)
{
    for (;;) {
        ferry::StreamPacket p;
        ferry::PacketResult r = reader.Next(p);
        if (r == ferry::PacketResult::NeedMore)
            return;
        fuzz::Require(m.WholeAhead(), "no packet before all of it arrived");
        if (ferry::GetU32(m.s + m.at) != ferry::kPacketSignature) {
            fuzz::Require(r == ferry::PacketResult::BadSignature, "a wrong signature drops 8 bytes");
            m.at += ferry::kHeaderSize;
            continue;
        }
        fuzz::Require(r == ferry::PacketResult::Packet, "a whole packet is read");
        uint32_t length = ferry::GetU32(m.s + m.at + 4);
        bool whole = length <= m.capacity;
        size_t kept = whole ? length : std::min<size_t>(length, ferry::kTlvHeaderSize);
        const uint8_t *body = m.s + m.at + ferry::kHeaderSize;
        fuzz::Require(p.length == length && p.carried == kept && p.complete == whole,
                      "the packet's sizes are the header's");
        fuzz::Require(std::equal(body, body + kept, p.tlv), "the packet holds the body's bytes");
        m.at += ferry::kHeaderSize + length;
    }
}

// Sends the n bytes at s in pieces of `step`, reading after each, then
// ends the stream.
void Check(const uint8_t *s, size_t n, size_t capacity, size_t step)
{
    int pair[2];
    fuzz::Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0,
                  "a socket pair carries the stream");
    ferry::UniqueFd host(pair[0]);
    ferry::UniqueFd target(pair[1]);
    ferry::StreamReader reader(host.Get(), capacity);
    Model m{s, 0, 0, capacity};
    while (m.arrived < n) {
        size_t piece = std::min(step, n - m.arrived);
        ferry::WriteResult w = ferry::WriteFully(target.Get(), s + m.arrived, piece, true, ferry::Millis(1000));
        fuzz::Require(!w.failed && w.sent == piece, "the socket takes each piece");
        m.arrived += piece;
        ferry::FillResult f;
        while ((f = reader.Fill()) == ferry::FillResult::Some)
            Drain(reader, m);
        fuzz::Require(f == ferry::FillResult::Nothing, "a read of nothing waits for more");
        fuzz::Require(!m.WholeAhead(), "every whole packet that arrived is handed out");
    }
    target.Reset();
    fuzz::Require(reader.Fill() == ferry::FillResult::Gone, "the end of the stream ends the reader");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t capacity = data[0] == 0xFF ? ferry::kThreadBufferSize : size_t(data[0] % 48);
    // Whole pieces stay well within the socket's buffer, so a write never
    // waits for the reader.
    for (size_t step : {size_t(32768), size_t(1), size_t(7)})
        Check(data + 1, size - 1, capacity, step);
    return 0;
}
