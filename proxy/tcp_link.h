// TCP transport: the command connection on the base port carries requests
// and their replies; the notification connection on base port + 10
// carries the target's data messages, read by one receive thread.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>

#include "link.h"

namespace ferry {

// A base port whose notification port (base + 10) is a real port too.
inline bool ValidBasePort(uint32_t basePort)
{
    return basePort >= 1 && basePort <= 65535 - 10;
}

class TcpLink final : public Link {
public:
    explicit TcpLink(std::atomic<FerryCallback> &callback) : Link(callback) {}
    ~TcpLink() override;

    // Connects both connections. Fails only when the address is not a
    // dotted-decimal IPv4 address, the base port is not ValidBasePort, or
    // the command connection cannot be made; without the notification
    // connection data messages never arrive.
    bool Connect(const std::string &address, uint32_t basePort);

    int32_t SendPacket(const uint8_t *data, size_t n) override;
    Reply ReadReply(uint8_t *buffer, size_t capacity) override;
    void StartThreads() override;
    bool AwaitOpenAck(uint8_t *replyArea, size_t capacity) override;
    void CloseConnections() override;
    bool ReusableFor(const std::string &text, uint32_t number) const override;

private:
    void ReceiveLoop();

    std::string address_;
    uint32_t basePort_ = 0;
    UniqueFd command_;
    UniqueFd notify_;
    std::unique_ptr<FdReader> commandReader_;
    std::unique_ptr<FdReader> notifyReader_;
};

} // namespace ferry
