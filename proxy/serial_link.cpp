#include "proxy/serial_link.h"

#include <algorithm>
#include <cstring>

#include "proxy/interrupt.h"
#include "proxy/library.h"
#include "proxy/serial_framer.h"
#include "proxy/serial_port.h"
#include "proxy/time_limits.h"
#include "proxy/wire/wire.h"

namespace ferry {

namespace {

// How often a caller's wait looks at FerryInterrupt and the link's state.
constexpr Millis kWaitSlice{10};

bool IsDataMessage(const uint8_t *tlv, size_t carried)
{
    return carried >= 2 && GetU16(tlv) == kCmdDataMessage;
}

} // namespace

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

Sent SerialLink::Write(const uint8_t *data, size_t n)
{
    if (!port_.Valid())
        return Sent::Failed;
    WriteResult w = WriteFully(port_.Get(), data, n, false, CurrentLimits().sendStall, CallInterruptFd());
    if (w.woken)
        return Sent::Interrupted;
    return !w.failed && w.sent == n ? Sent::Whole : Sent::Failed;
}

template <typename Done> int32_t SerialLink::WaitFor(Millis limit, Done done)
{
    const Clock::time_point end = Clock::now() + limit;
    for (;;) {
        Millis left = std::chrono::ceil<Millis>(end - Clock::now());
        if (left <= Millis(0))
            return kReceiveFailed;
        if (done(std::min(left, kWaitSlice)))
            return 1;
        if (CallInterrupted())
            return kInterrupted;
        if (Failed())
            return kReceiveFailed;
    }
}

Reply SerialLink::ReadReply(uint8_t *buffer, size_t capacity)
{
    if (Failed())
        return {kNotConnected, 0, true};
    std::vector<uint8_t> stored;
    bool complete = false;
    int32_t waited = WaitFor(CurrentLimits().reply, [&](Millis slice) { return reply_.Take(slice, stored, complete); });
    if (waited != 1)
        return {waited, 0, false};
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

int32_t SerialLink::AwaitOpenAck(uint8_t *, size_t)
{
    int32_t waited = WaitFor(CurrentLimits().openAck, [this](Millis slice) { return deviceOpen_.WaitFor(slice); });
    return waited == kReceiveFailed ? kNotConnected : waited;
}

void SerialLink::Poke()
{
    QueuedPacket flush;
    flush.item = Item::Flush;
    queue_.Push(std::move(flush), 0);
}

void SerialLink::ReaderLoop()
{
    RaiseThreadPriority();
    const Millis quiet = CurrentLimits().serialQuiet;
    SerialFramer framer(kThreadBufferSize);
    Clock::time_point lastByte{};
    SerialFramer::Sink queuePacket = [this, &lastByte](const FramedPacket &p) {
        QueuedPacket packet{Item::Packet, std::vector<uint8_t>(p.tlv, p.tlv + p.carried), p.complete, lastByte};
        PushResult pushed = queue_.Push(std::move(packet), p.carried + kQueuedPacketOverhead);
        if (pushed == PushResult::Full && IsDataMessage(p.tlv, p.carried))
            lib_.delivery.CountDrop();
        return pushed != PushResult::Closed;
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
            // The line failed; reading again would only spin. Waits end at
            // once; the dispatcher tells the host after the packets before.
            MarkFailed();
            QueuedPacket failed;
            failed.item = Item::LineFailed;
            queue_.Push(std::move(failed), 0);
            return;
        }
    }
}

void SerialLink::DispatchLoop()
{
    RaiseThreadPriority();
    while (!Ending()) {
        std::optional<QueuedPacket> packet = queue_.Pop();
        if (!packet || Ending())
            return;
        if (packet->item == Item::LineFailed) {
            LinkLost(lib_, *this);
        } else if (Failed()) {
            // A failed link delivers nothing more; the thread stays until the close.
        } else if (packet->item == Item::Flush) {
            lib_.delivery.Flush();
        } else {
            Dispatch(*packet);
        }
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
