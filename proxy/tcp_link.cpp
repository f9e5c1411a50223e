#include "tcp_link.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "packet_reader.h"
#include "time_limits.h"
#include "wire.h"

namespace ferry {

namespace {

// A connected non-blocking socket, or an invalid one. The connect itself is
// bounded so an unreachable address cannot hang the open.
UniqueFd ConnectTo(in_addr address, uint16_t port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid())
        return fd;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr = address;
    if (::connect(fd.Get(), reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0)
        return fd;
    if (errno != EINPROGRESS)
        return UniqueFd();

    Deadline deadline = Deadline::After(CurrentLimits().connect);
    pollfd p{fd.Get(), POLLOUT, 0};
    int r;
    while ((r = ::poll(&p, 1, deadline.PollTimeout())) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (r <= 0 || ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        return UniqueFd();
    }
    return fd;
}

} // namespace

TcpLink::~TcpLink()
{
    StopThreads();
}

bool TcpLink::Connect(const std::string &address, uint32_t basePort)
{
    in_addr ip{};
    if (::inet_aton(address.c_str(), &ip) == 0)
        return false; // names are not looked up
    if (!ValidBasePort(basePort) || !wake_.Valid())
        return false;
    address_ = address;
    basePort_ = basePort;

    command_ = ConnectTo(ip, uint16_t(basePort));
    if (!command_.Valid())
        return false;
    int one = 1;
    // Requests are small and each waits for its reply: do not hold them back.
    ::setsockopt(command_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    commandReader_ = std::make_unique<FdReader>(command_.Get(), -1);

    notify_ = ConnectTo(ip, uint16_t(basePort + 10));
    if (notify_.Valid())
        notifyReader_ = std::make_unique<FdReader>(notify_.Get(), wake_.Fd());
    return true;
}

bool TcpLink::ReusableFor(const std::string &text, uint32_t number) const
{
    return command_.Valid() && notify_.Valid() && !Failed() && text == address_ && number == basePort_;
}

int32_t TcpLink::SendPacket(const uint8_t *data, size_t n)
{
    if (!command_.Valid())
        return kNotConnected;
    WriteResult w = WriteFully(command_.Get(), data, n, true, CurrentLimits().sendStall);
    if (w.failed)
        return kSendFailed;
    return int32_t(w.sent);
}

Reply TcpLink::ReadReply(uint8_t *buffer, size_t capacity)
{
    if (!command_.Valid() || Failed())
        return {kNotConnected, 0, true};
    // One deadline for the whole reply: a peer that sends the header just in
    // time and then stalls does not get a second allowance for the body.
    Deadline deadline = Deadline::After(CurrentLimits().reply);
    uint8_t header[kHeaderSize];
    size_t got = 0;
    // The signature is not examined here; the header only gives the length.
    if (commandReader_->Read(header, kHeaderSize, deadline, got) != ReadStatus::Complete) {
        return {kReceiveFailed, 0, false};
    }
    PacketInfo info;
    ReadStatus st = ReadBody(*commandReader_, buffer, capacity, GetU32(header + 4), deadline, info);
    // A reply larger than the buffer was drained whole: still in step.
    if (st != ReadStatus::Complete)
        return {kReceiveFailed, info.carried, false};
    if (!info.complete)
        return {kReceiveFailed, info.carried, true};
    return {int32_t(info.length), info.carried, true};
}

void TcpLink::StartThreads()
{
    if (!threads_.Empty())
        return;
    threads_.Start([this] { ReceiveLoop(); });
}

bool TcpLink::AwaitOpenAck(uint8_t *replyArea, size_t capacity)
{
    // The acknowledgement comes on the command connection; the receive
    // thread plays no part in it. One that came only in part leaves the
    // stream out of step, so it does not open the port.
    Reply r = ReadReply(replyArea, capacity);
    return r.inStep && r.carried >= 2 && GetU16(replyArea) == kCmdDeviceOpen;
}

void TcpLink::CloseConnections()
{
    if (command_.Valid())
        ::shutdown(command_.Get(), SHUT_RDWR);
    if (notify_.Valid())
        ::shutdown(notify_.Get(), SHUT_RDWR);
}

void TcpLink::ReceiveLoop()
{
    RaiseThreadPriority();
    if (Failed())
        return;
    if (!notifyReader_) {
        // No notification connection: nothing will ever arrive.
        WaitForWake(wake_.Fd());
        return;
    }
    std::vector<uint8_t> packet(kThreadBufferSize);
    for (;;) {
        PacketInfo info;
        PacketResult r = ReadStreamPacket(*notifyReader_, packet.data(), packet.size(), info);
        if (Failed() || r == PacketResult::Stopped)
            return;
        if (r == PacketResult::Gone) {
            // A failed connection stays failed: wait for the close instead of
            // retrying in a loop.
            WaitForWake(wake_.Fd());
            return;
        }
        if (r != PacketResult::Packet || info.carried < kTlvHeaderSize)
            continue;

        uint16_t type = GetU16(packet.data());
        if (type == kCmdDataMessage) {
            // No taker: the thread ends, as designed.
            if (!DeliverDataMessage(packet.data(), info.carried, info.complete))
                return;
        } else {
            std::printf("\npTLVFormat_Packet->usCommandType %d\n", int(type));
            std::fflush(stdout);
        }
        if (Failed())
            return;
    }
}

} // namespace ferry
