#include "proxy/serial_framer.h"

#include <algorithm>
#include <cstring>

namespace ferry {

namespace {
// The signature as it comes down the line (little-endian).
constexpr uint8_t kSignatureBytes[4] = {uint8_t(kPacketSignature), uint8_t(kPacketSignature >> 8),
                                        uint8_t(kPacketSignature >> 16), uint8_t(kPacketSignature >> 24)};
} // namespace

SerialFramer::SerialFramer(size_t capacity)
    : capacity_(capacity), body_(std::make_unique<uint8_t[]>(capacity > 0 ? capacity : 1))
{
}

// The signature has no prefix that is also its suffix, so after a mismatch
// the only place a new one can start is the mismatching byte itself.
void SerialFramer::Hunt(uint8_t byte)
{
    if (byte == kSignatureBytes[matched_]) {
        if (++matched_ == sizeof kSignatureBytes) {
            matched_ = 0;
            state_ = State::Length;
            lengthGot_ = 0;
        }
        return;
    }
    matched_ = byte == kSignatureBytes[0] ? 1 : 0;
}

bool SerialFramer::Finish(const Sink &sink)
{
    state_ = State::Hunting;
    size_t carried = std::min<size_t>(length_, capacity_);
    return sink(FramedPacket{body_.get(), carried, length_, length_ <= capacity_});
}

bool SerialFramer::Feed(const uint8_t *data, size_t n, const Sink &sink)
{
    size_t i = 0;
    while (i < n) {
        switch (state_) {
        case State::Hunting:
            Hunt(data[i++]);
            break;
        case State::Length:
            lengthBytes_[lengthGot_++] = data[i++];
            if (lengthGot_ < sizeof lengthBytes_)
                break;
            length_ = GetU32(lengthBytes_);
            if (length_ > kMaxPacketLength) {
                // Not a header after all: its length bytes may hold the start
                // of the real one.
                state_ = State::Hunting;
                for (uint8_t b : lengthBytes_)
                    Hunt(b);
                break;
            }
            state_ = State::Body;
            bodyGot_ = 0;
            if (length_ == 0 && !Finish(sink))
                return false;
            break;
        case State::Body: {
            size_t take = std::min<size_t>(n - i, length_ - bodyGot_);
            if (bodyGot_ < capacity_) {
                size_t keep = std::min(take, capacity_ - bodyGot_);
                std::memcpy(body_.get() + bodyGot_, data + i, keep);
            }
            bodyGot_ += take;
            i += take;
            if (bodyGot_ == length_ && !Finish(sink))
                return false;
            break;
        }
        }
    }
    return true;
}

void SerialFramer::LineQuiet()
{
    state_ = State::Hunting;
    matched_ = 0;
}

} // namespace ferry
