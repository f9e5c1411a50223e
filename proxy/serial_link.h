// Serial transport: one line carries requests, replies and data messages.
// A reader thread finds packets in the line's bytes (serial_framer.h) and
// queues them; a dispatcher thread hands data messages to the callback and
// stores remote read replies for the waiting caller. The reader never waits
// for the dispatcher: while 4 MiB of packets wait (the host's callback
// cannot keep up) new packets are dropped, never spliced.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link.h"
#include "sync.h"

namespace ferry {

// Bytes of packets waiting for the dispatcher at most (each counted with a
// little extra for its bookkeeping).
inline constexpr size_t kQueueLimit = 4u << 20;
inline constexpr size_t kQueuedPacketOverhead = 64;

class SerialLink final : public Link {
public:
    explicit SerialLink(std::atomic<FerryCallback> &callback) : Link(callback) {}
    ~SerialLink() override;

    // One of the codes of OpenSerialPort.
    int Open(const std::string &name, uint32_t baud);

    int32_t SendPacket(const uint8_t *data, size_t n) override;
    Reply ReadReply(uint8_t *buffer, size_t capacity) override;
    void DiscardStaleReply() override { reply_.Clear(); }
    // The dispatcher is the thread that stores replies: a read from inside
    // the callback would wait for itself.
    bool CanAwaitReply() const override { return !OnOwnThread(); }
    void StartThreads() override;
    bool AwaitOpenAck(uint8_t *replyArea, size_t capacity) override;

private:
    struct QueuedPacket {
        std::vector<uint8_t> bytes; // from the command type on
        bool complete;
        Clock::time_point readAt; // when its last byte was read
    };

    void WakeThreads() override { queue_.Close(); }
    void ReaderLoop();
    void DispatchLoop();
    void Dispatch(const QueuedPacket &packet);

    UniqueFd port_;
    std::unique_ptr<FdReader> reader_;
    BlockingQueue<QueuedPacket> queue_{kQueueLimit};
    ReplySlot reply_;  // the remote memory read reply, until a read takes it
    Event deviceOpen_; // the device-open acknowledgement arrived
};

} // namespace ferry
