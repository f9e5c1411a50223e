#include "serial_link.h"

#include <algorithm>
#include <cstring>

#include "serial_framer.h"
#include "serial_port.h"
#include "time_limits.h"
#include "wire.h"

namespace ferry {

SerialLink::~SerialLink()
{
    StopThreads();
}

int SerialLink::Open(const std::string &name, uint32_t baud)
{
    if (!wake_.Valid())
        return kSerialSetupFailed; // threads that could never be stopped
    int result = OpenSerialPort(name, baud, port_);
    if (result == kSerialOpened)
        reader_ = std::make_unique<FdReader>(port_.Get(), wake_.Fd());
    return result;
}

int32_t SerialLink::SendPacket(const uint8_t *data, size_t n)
{
    if (!port_.Valid())
        return 0;
    WriteResult w = WriteFully(port_.Get(), data, n, false, CurrentLimits().sendStall);
    return w.failed ? 0 : int32_t(w.sent);
}

Reply SerialLink::ReadReply(uint8_t *buffer, size_t capacity)
{
    if (Failed())
        return {kNotConnected, 0, true};
    std::vector<uint8_t> stored;
    bool complete = false;
    if (!reply_.Take(CurrentLimits().reply, stored, complete))
        return {kReceiveFailed, 0, false};
    size_t take = std::min(stored.size(), capacity);
    if (take > 0)
        std::memcpy(buffer, stored.data(), take);
    // The whole packet has left the line either way, so the link is in step.
    if (!complete || stored.size() > capacity)
        return {kReceiveFailed, take, true};
    return {int32_t(stored.size()), take, true};
}

void SerialLink::StartThreads()
{
    if (!threads_.Empty())
        return;
    threads_.Start([this] { ReaderLoop(); });
    threads_.Start([this] { DispatchLoop(); });
}

bool SerialLink::AwaitOpenAck(uint8_t *, size_t)
{
    return deviceOpen_.WaitFor(CurrentLimits().openAck);
}

void SerialLink::ReaderLoop()
{
    RaiseThreadPriority();
    const Millis quiet = CurrentLimits().serialQuiet;
    SerialFramer framer(kThreadBufferSize);
    Clock::time_point lastByte{};
    SerialFramer::Sink queuePacket = [this, &lastByte](const FramedPacket &p) {
        QueuedPacket packet{std::vector<uint8_t>(p.tlv, p.tlv + p.carried), p.complete, lastByte};
        return queue_.Push(std::move(packet), p.carried + kQueuedPacketOverhead) != PushResult::Closed;
    };
    std::vector<uint8_t> chunk(kThreadBufferSize);
    while (!Ending()) {
        // Only a packet under way has a quiet gap to watch for; otherwise the
        // reader sleeps until a byte comes or the link stops.
        Deadline wait = framer.MidPacket() ? Deadline::At(lastByte + quiet) : Deadline::Never();
        size_t got = 0;
        ReadStatus st = reader_->ReadSome(chunk.data(), chunk.size(), wait, got);
        if (st == ReadStatus::Complete) {
            lastByte = Clock::now();
            if (!framer.Feed(chunk.data(), got, queuePacket))
                return;
        } else if (st == ReadStatus::TimedOut) {
            framer.LineQuiet();
        } else if (st == ReadStatus::Woken) {
            return;
        } else {
            // The line failed; reading again would only spin.
            WaitForWake(wake_.Fd());
            return;
        }
    }
}

void SerialLink::DispatchLoop()
{
    RaiseThreadPriority();
    if (Failed())
        return;
    while (!Ending()) {
        std::optional<QueuedPacket> packet = queue_.Pop();
        if (!packet || Ending())
            return;
        Dispatch(*packet);
        if (Failed())
            return;
    }
}

void SerialLink::Dispatch(const QueuedPacket &packet)
{
    const std::vector<uint8_t> &bytes = packet.bytes;
    if (bytes.size() < 2)
        return;
    // A packet too short for its payload length is still a reply, with no payload.
    size_t n = bytes.size() >= kTlvHeaderSize ? GetU16(bytes.data() + 2) : 0;
    switch (GetU16(bytes.data())) {
    case kCmdReadMemory: {
        // Kept apart from the packets that follow until a read takes it.
        size_t keep = std::min(n + kTlvHeaderSize + 1, bytes.size());
        reply_.Put(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(keep)), packet.complete, packet.readAt);
        break;
    }
    case kCmdDataMessage:
        // With no callback registered the message is simply not delivered.
        DeliverDataMessage(bytes.data(), bytes.size(), packet.complete);
        break;
    case kCmdDeviceOpen:
        deviceOpen_.Set();
        break;
    default:
        break;
    }
}

} // namespace ferry
