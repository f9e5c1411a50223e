#include "proxy/tcp_link.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "proxy/interrupt.h"
#include "proxy/library.h"
#include "linkrules/link_text.h"
#include "proxy/packet_reader.h"
#include "proxy/time_limits.h"
#include "proxy/wire/wire.h"

namespace ferry {

namespace {

// A connected non-blocking socket, or an invalid one (interrupted set when
// FerryInterrupt ended the wait). The connect itself is bounded so an
// unreachable address cannot hang the open.
UniqueFd ConnectTo(in_addr address, uint16_t port, bool &interrupted)
{
    interrupted = false;
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
    pollfd p[2] = {{fd.Get(), POLLOUT, 0}, {CallInterruptFd(), POLLIN, 0}};
    int r;
    while ((r = ::poll(p, 2, deadline.PollTimeout())) < 0 && errno == EINTR) {
    }
    if (r > 0 && p[1].revents != 0) {
        interrupted = true;
        return UniqueFd();
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (r <= 0 || ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        return UniqueFd();
    }
    return fd;
}

// True when the peer has ended or reset the connection (its bytes not yet
// read do not count).
bool HungUp(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

} // namespace

TcpLink::~TcpLink()
{
    StopThreads();
}

int32_t TcpLink::Connect(const std::string &address, uint32_t basePort)
{
    in_addr ip{};
    // Strictly four decimal numbers: inet_aton would take "127.1", hex and
    // octal ("127.0.0.010" is 127.0.0.8) and ignore anything after a blank.
    if (!linkrules::DottedDecimal(address) || ::inet_pton(AF_INET, address.c_str(), &ip) != 1)
        return kNotConnected; // names are not looked up
    if (!linkrules::UsableBasePort(basePort) || !wake_.Valid() || !poke_.Valid())
        return kNotConnected;
    address_ = address;
    basePort_ = basePort;

    bool interrupted = false;
    command_ = ConnectTo(ip, uint16_t(basePort), interrupted);
    if (!command_.Valid())
        return interrupted ? kInterrupted : kNotConnected;
    int one = 1;
    // Requests are small and each waits for its reply: do not hold them back.
    ::setsockopt(command_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    commandReader_ = std::make_unique<FdReader>(command_.Get(), -1);

    notify_ = ConnectTo(ip, uint16_t(basePort + FERRYLINK_NOTIFY_OFFSET), interrupted);
    if (interrupted)
        return kInterrupted;
    if (notify_.Valid())
        notifyReader_ = std::make_unique<StreamReader>(notify_.Get(), kThreadBufferSize);
    return 1;
}

bool TcpLink::ReusableFor(const std::string &text, uint32_t number) const
{
    // A connection the target has ended is not reused, even before the
    // receive thread has seen it end.
    return command_.Valid() && notify_.Valid() && !Failed() && text == address_ && number == basePort_ &&
           !HungUp(command_.Get()) && !HungUp(notify_.Get());
}

Sent TcpLink::Write(const uint8_t *data, size_t n)
{
    if (!command_.Valid())
        return Sent::Failed;
    WriteResult w = WriteFully(command_.Get(), data, n, true, CurrentLimits().sendStall, CallInterruptFd());
    if (w.woken)
        return Sent::Interrupted;
    return !w.failed && w.sent == n ? Sent::Whole : Sent::Failed;
}

Reply TcpLink::ReadReply(uint8_t *buffer, size_t capacity)
{
    if (!command_.Valid() || Failed())
        return {kNotConnected, 0, true};
    // Only a host call's read ends on FerryInterrupt; the exchange lock
    // keeps the reads of different threads apart.
    commandReader_->SetWakeFd(CallInterruptFd());
    // One deadline for the whole reply: a peer that sends the header just in
    // time and then stalls does not get a second allowance for the body.
    Deadline deadline = Deadline::After(CurrentLimits().reply);
    uint8_t header[kHeaderSize];
    size_t got = 0;
    // The signature is not examined here; the header only gives the length.
    ReadStatus st = commandReader_->Read(header, kHeaderSize, deadline, got);
    if (st != ReadStatus::Complete)
        return {st == ReadStatus::Woken ? kInterrupted : kReceiveFailed, 0, false};
    PacketInfo info;
    st = ReadBody(*commandReader_, buffer, capacity, GetU32(header + 4), deadline, info);
    // A reply larger than the buffer was drained whole: still in step.
    if (st != ReadStatus::Complete)
        return {st == ReadStatus::Woken ? kInterrupted : kReceiveFailed, info.carried, false};
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

int32_t TcpLink::AwaitOpenAck(uint8_t *replyArea, size_t capacity)
{
    // The acknowledgement comes on the command connection; the receive
    // thread plays no part in it. One that came only in part leaves the
    // stream out of step, so it does not open the port.
    Reply r = ReadReply(replyArea, capacity);
    if (r.code == kInterrupted)
        return kInterrupted;
    return r.inStep && r.carried >= 2 && GetU16(replyArea) == kCmdDeviceOpen ? 1 : kNotConnected;
}

void TcpLink::CloseConnections()
{
    if (command_.Valid())
        ::shutdown(command_.Get(), SHUT_RDWR);
    if (notify_.Valid())
        ::shutdown(notify_.Get(), SHUT_RDWR);
}

bool TcpLink::AwaitNotification(bool &watchCommand)
{
    for (;;) {
        // Negative descriptors are left out by poll.
        pollfd fds[4] = {{wake_.Fd(), POLLIN, 0},
                         {poke_.Fd(), POLLIN, 0},
                         {watchCommand ? command_.Get() : -1, POLLRDHUP, 0},
                         {notify_.Get(), POLLIN, 0}};
        int r = ::poll(fds, 4, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || fds[0].revents != 0 || Failed())
            return false;
        if (fds[1].revents != 0) {
            poke_.Clear();
            watchCommand = true;
            lib_.delivery.Flush();
        }
        // What the target sent before it went away is delivered before the
        // end is told.
        if (fds[3].revents != 0)
            return true;
        if (fds[2].revents != 0) {
            // While a call uses the connection it sees the end itself; the
            // thread looks again once that call is over.
            if (NoHostCallOrPokeLater(lib_)) {
                LinkLost(lib_, *this);
                return false;
            }
            watchCommand = false;
        }
    }
}

void TcpLink::TakePacket(const StreamPacket &packet)
{
    if (packet.carried < kTlvHeaderSize)
        return;
    uint16_t type = GetU16(packet.tlv);
    if (type == kCmdDataMessage)
        DeliverDataMessage(packet.tlv, packet.carried, packet.complete);
    else
        std::fprintf(stderr, "\npTLVFormat_Packet->usCommandType %d\n", int(type));
}

void TcpLink::ReceiveLoop()
{
    RaiseThreadPriority();
    bool watchCommand = true;
    while (!Failed()) {
        StreamPacket packet;
        PacketResult r = notifyReader_ ? notifyReader_->Next(packet) : PacketResult::NeedMore;
        if (r == PacketResult::Packet) {
            TakePacket(packet);
            continue;
        }
        // Diagnostics go to standard error: standard output is the host's.
        if (r == PacketResult::BadSignature) {
            std::fputs("if(stCommandHeader.uiSignature != PACKET_SIGNATURE)", stderr);
            continue;
        }
        // Every whole packet buffered is handled: the thread sleeps until
        // more bytes come or something else needs it.
        if (!AwaitNotification(watchCommand))
            return;
        if (notifyReader_->Fill() == FillResult::Gone) {
            if (!Failed())
                LinkLost(lib_, *this);
            return;
        }
    }
}

} // namespace ferry
