#include "packet_reader.h"

#include <algorithm>
#include <cstdio>

#include "wire.h"

namespace ferry {

namespace {

PacketResult ResultOfFailedRead(ReadStatus st)
{
    return st == ReadStatus::Woken ? PacketResult::Stopped : PacketResult::Gone;
}

} // namespace

ReadStatus ReadBody(FdReader &reader, uint8_t *buffer, size_t capacity, uint32_t length, const Deadline &deadline,
                    PacketInfo &info)
{
    size_t keep = std::min<size_t>(length, capacity);
    size_t got = 0;
    ReadStatus st = reader.Read(buffer, keep, deadline, got);
    if (st == ReadStatus::Complete && length > keep) {
        size_t drained = 0;
        st = reader.Read(nullptr, length - keep, deadline, drained);
    }
    info.length = length;
    info.carried = got;
    info.complete = st == ReadStatus::Complete && length <= capacity;
    return st;
}

PacketResult ReadStreamPacket(FdReader &reader, uint8_t *buffer, size_t capacity, PacketInfo &info)
{
    uint8_t header[kHeaderSize];
    size_t got = 0;
    ReadStatus st = reader.Read(header, kHeaderSize, Deadline::Never(), got);
    if (st != ReadStatus::Complete)
        return ResultOfFailedRead(st);
    if (GetU32(header) != kPacketSignature) {
        std::printf("if(stCommandHeader.uiSignature != PACKET_SIGNATURE)");
        std::fflush(stdout);
        return PacketResult::BadSignature;
    }
    st = ReadBody(reader, buffer, capacity, GetU32(header + 4), Deadline::Never(), info);
    if (st != ReadStatus::Complete)
        return ResultOfFailedRead(st);
    return PacketResult::Packet;
}

} // namespace ferry
