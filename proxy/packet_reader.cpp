#include "proxy/packet_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ferry {

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

StreamReader::StreamReader(int fd, size_t capacity)
    : fd_(fd), capacity_(std::min(capacity, kMaxCapacity)), buffer_(std::make_unique<uint8_t[]>(kBufferSize))
{
}

FillResult StreamReader::Fill()
{
    // What is left is at most one packet that the last read cut in two.
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == kBufferSize)
        return FillResult::Some; // a whole packet waits (Next was not asked)
    for (;;) {
        ssize_t r = ::read(fd_, buffer_.get() + end_, kBufferSize - end_);
        if (r > 0) {
            end_ += size_t(r);
            return FillResult::Some;
        }
        if (r == 0)
            return FillResult::Gone;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return FillResult::Nothing;
        return FillResult::Gone;
    }
}

PacketResult StreamReader::Next(StreamPacket &packet)
{
    if (skipping_)
        return Skip(packet);
    size_t buffered = end_ - begin_;
    if (buffered < kHeaderSize)
        return PacketResult::NeedMore;
    const uint8_t *header = buffer_.get() + begin_;
    if (GetU32(header) != kPacketSignature) {
        begin_ += kHeaderSize;
        return PacketResult::BadSignature;
    }
    uint32_t length = GetU32(header + 4);
    const uint8_t *body = header + kHeaderSize;
    if (length <= capacity_) {
        if (buffered - kHeaderSize < length)
            return PacketResult::NeedMore;
        begin_ += kHeaderSize + length;
        packet = {body, length, length, true};
        return PacketResult::Packet;
    }
    // Too long to keep: the TLV header is kept to name it by, the rest is
    // thrown away as it comes, so the stream stays in step.
    size_t head = std::min<size_t>(length, kTlvHeaderSize);
    if (buffered - kHeaderSize < head)
        return PacketResult::NeedMore;
    std::memcpy(skippedHead_, body, head);
    skippedHeadSize_ = head;
    skippedLength_ = length;
    skip_ = length - head;
    skipping_ = true;
    begin_ += kHeaderSize + head;
    return Skip(packet);
}

PacketResult StreamReader::Skip(StreamPacket &packet)
{
    size_t n = std::min(skip_, end_ - begin_);
    begin_ += n;
    skip_ -= n;
    if (skip_ > 0)
        return PacketResult::NeedMore;
    skipping_ = false;
    packet = {skippedHead_, skippedHeadSize_, skippedLength_, false};
    return PacketResult::Packet;
}

} // namespace ferry
