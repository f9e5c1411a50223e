// TCP transport: the command connection on the base port carries requests
// and their replies; the notification connection on base port + 10
// carries the target's data messages, read by one receive thread, which
// also watches the command connection for its end while no call uses it.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>

#include "proxy/link.h"
#include "proxy/packet_reader.h"

namespace ferry {

class TcpLink final : public Link {
public:
    explicit TcpLink(Library &lib) : Link(lib) {}
    ~TcpLink() override;

    // Connects both connections: 1, -1 or kInterrupted. Fails when the
    // address is not dotted-decimal IPv4, the base port is not a usable one,
    // or the command connection cannot be made; without the notification
    // connection data messages never arrive.
    int32_t Connect(const std::string &address, uint32_t basePort);

    Reply ReadReply(uint8_t *buffer, size_t capacity) override;
    void StartThreads() override;
    int32_t AwaitOpenAck(uint8_t *replyArea, size_t capacity) override;
    void CloseConnections() override;
    bool ReusableFor(const std::string &text, uint32_t number) const override;
    void Poke() override { poke_.Raise(); }

private:
    Sent Write(const uint8_t *data, size_t n) override;
    void ReceiveLoop();
    // Waits for a data message to start, a poke, the end of the command
    // connection or the end of the thread; false when the thread must end.
    bool AwaitNotification(bool &watchCommand);
    void TakePacket(const StreamPacket &packet);

    std::string address_;
    uint32_t basePort_ = 0;
    UniqueFd command_;
    UniqueFd notify_;
    std::unique_ptr<FdReader> commandReader_;
    std::unique_ptr<StreamReader> notifyReader_;
    WakeSignal poke_; // a callback registered, or no call uses the command connection now
};

} // namespace ferry
