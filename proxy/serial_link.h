// Serial transport: one line carries requests, replies and data messages.
// A reader thread finds packets in the line's bytes (serial_framer.h) and
// queues them; a dispatcher thread hands data messages to the host and
// stores remote read replies for the waiting caller. The reader never waits
// for the dispatcher: while 4 MiB of packets wait (the host's callback
// cannot keep up) new packets are dropped, never spliced.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "proxy/link.h"
#include "proxy/sync.h"

namespace ferry {

// Bytes of packets waiting for the dispatcher at most (each counted with a
// little extra for its bookkeeping).
inline constexpr size_t kQueueLimit = 4u << 20;
inline constexpr size_t kQueuedPacketOverhead = 64;

class SerialLink final : public Link {
public:
    explicit SerialLink(Library &lib) : Link(lib) {}
    ~SerialLink() override;

    // One of the codes of OpenSerialPort.
    int Open(const std::string &name, uint32_t baud);

    Reply ReadReply(uint8_t *buffer, size_t capacity) override;
    void DiscardStaleReply() override { reply_.Clear(); }
    // The dispatcher is the thread that stores replies: a read from inside
    // the callback would wait for itself.
    bool CanAwaitReply() const override { return !OnOwnThread(); }
    void StartThreads() override;
    int32_t AwaitOpenAck(uint8_t *replyArea, size_t capacity) override;
    void Poke() override;

private:
    // What the reader hands the dispatcher: a packet, or word that the
    // kept messages may go to a callback now, or that the line has failed
    // (both never refused, so that they cannot be lost to a full queue).
    enum class Item { Packet, Flush, LineFailed };
    struct QueuedPacket {
        Item item = Item::Packet;
        std::vector<uint8_t> bytes; // from the command type on
        bool complete = false;
        Clock::time_point readAt{}; // when its last byte was read
    };

    Sent Write(const uint8_t *data, size_t n) override;
    void WakeThreads() override { queue_.Close(); }
    void ReaderLoop();
    void DispatchLoop();
    void Dispatch(const QueuedPacket &packet);
    // Waits in short slices until `done` holds, so that FerryInterrupt and a
    // failed link end the wait at once: 1 done, kInterrupted, or
    // kReceiveFailed (the limit passed or the link failed).
    template <typename Done> int32_t WaitFor(Millis limit, Done done);

    UniqueFd port_;
    std::unique_ptr<FdReader> reader_;
    BlockingQueue<QueuedPacket> queue_{kQueueLimit};
    ReplySlot reply_;  // the remote memory read reply, until a read takes it
    Event deviceOpen_; // the device-open acknowledgement arrived
};

} // namespace ferry
