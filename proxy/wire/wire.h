// Wire format shared by the proxy and its test peer: an 8-byte command
// header (signature, length) followed by a TLV packet (command type,
// payload length, payload, trailing byte). All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ferry {

inline constexpr uint32_t kPacketSignature = 0xBABEFACE;
inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kTlvHeaderSize = 4;
inline constexpr size_t kPacketOverhead = kHeaderSize + kTlvHeaderSize + 1;
inline constexpr size_t kRequestBufferSize = 2056;
inline constexpr size_t kMaxRequestPayload = kRequestBufferSize - kPacketOverhead; // 2043
inline constexpr size_t kReplyCapacity = kRequestBufferSize - kHeaderSize;         // 2048
inline constexpr size_t kThreadBufferSize = 8192;

inline constexpr uint16_t kCmdReadMemory = 1;
inline constexpr uint16_t kCmdWriteMemory = 2;
inline constexpr uint16_t kCmdDataMessage = 4;
inline constexpr uint16_t kCmdClose = 5;
inline constexpr uint16_t kCmdDeviceOpen = 6;

inline void PutU16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void PutU32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

inline uint16_t GetU16(const uint8_t *p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

inline uint32_t GetU32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Writes header, TLV header, n payload bytes and the trailing zero into out,
// which must hold n + kPacketOverhead bytes. Returns the packet size.
inline size_t EncodePacket(uint8_t *out, uint16_t type, const void *payload, size_t n)
{
    PutU32(out, kPacketSignature);
    PutU32(out + 4, uint32_t(n + kTlvHeaderSize + 1));
    PutU16(out + 8, type);
    PutU16(out + 10, uint16_t(n));
    if (n > 0)
        std::memcpy(out + 12, payload, n);
    out[12 + n] = 0;
    return n + kPacketOverhead;
}

// The same packet as a vector of exactly its bytes.
inline std::vector<uint8_t> EncodePacket(uint16_t type, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> packet(payload.size() + kPacketOverhead);
    EncodePacket(packet.data(), type, payload.data(), payload.size());
    return packet;
}

// Payload bytes that a TLV packet of `carried` bytes really holds: its own
// payload length, but never more than arrived.
inline size_t CarriedPayload(const uint8_t *tlv, size_t carried)
{
    if (carried < kTlvHeaderSize)
        return 0;
    size_t n = GetU16(tlv + 2);
    size_t available = carried - kTlvHeaderSize;
    return n < available ? n : available;
}

} // namespace ferry
