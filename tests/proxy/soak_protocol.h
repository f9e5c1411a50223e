// What the soak test and its peer program agree on: the ways the peer
// misbehaves, the moment of a round it misbehaves at, and the data messages
// it sends. A message carries its sequence number and its own size, and
// every other byte follows from the number, so a message that was cut,
// padded or spliced from two never passes for one the peer sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "proxy/wire/wire.h"

namespace soak {

enum class Misbehaviour : int {
    Good,     // answers everything as it should
    Garbage,  // noise without a signature between packets
    Cut,      // a packet cut short, then a reset (TCP) or silence (serial)
    Huge,     // a header claiming 0xFFFFFFF0 bytes
    Lying,    // a reply that is not what its length says, or more than was asked for
    Flood,    // hundreds of data messages at once
    Stall,    // no answer, ever
    Late,     // the answer after the reply limit
    Drop,     // the connections (or the pty) closed half-way through a reply
    NoAck,    // the device open is never acknowledged
    WrongAck, // the device open is acknowledged with another command type
    Count
};

inline const char *Name(Misbehaviour m)
{
    static const char *const kNames[] = {"good",  "garbage", "cut",  "huge",   "lying",    "flood",
                                         "stall", "late",    "drop", "no-ack", "wrong-ack"};
    return kNames[int(m)];
}

// A round's events in the order the host makes them; the misbehaviour
// strikes one of them.
enum class Target : int { Read0, Read1, Messages, Read2 };

// Set in the sequence numbers of messages that must never be delivered.
inline constexpr uint32_t kBogus = 0x80000000;

// How a round lies about a reply, by its number: the reply is just the
// command type, or claims the whole count but carries half of it, or
// carries kOverBy bytes more than were asked for.
enum class Lie { TypeOnly, Half, Over };
inline Lie LieOf(int round)
{
    return Lie(round % 3);
}
inline constexpr uint32_t kOverBy = 16;

inline size_t MessageSize(uint32_t seq)
{
    return 8 + ((seq * 2654435761u) >> 20) % 400;
}

inline uint8_t MessageByte(uint32_t seq, size_t i)
{
    return uint8_t(seq * 151u + i * 7u + (i >> 8));
}

inline std::vector<uint8_t> Message(uint32_t seq)
{
    std::vector<uint8_t> payload(MessageSize(seq));
    ferry::PutU32(payload.data(), seq);
    ferry::PutU16(payload.data() + 4, uint16_t(payload.size()));
    for (size_t i = 6; i < payload.size(); ++i)
        payload[i] = MessageByte(seq, i);
    return payload;
}

// True when the payload is exactly one whole message; seq is its number.
inline bool MessageSeq(const uint8_t *payload, size_t n, uint32_t &seq)
{
    if (n < 6)
        return false;
    seq = ferry::GetU32(payload);
    if (n != MessageSize(seq) || ferry::GetU16(payload + 4) != n)
        return false;
    for (size_t i = 6; i < n; ++i) {
        if (payload[i] != MessageByte(seq, i))
            return false;
    }
    return true;
}

} // namespace soak
