// soak_peer: a target that misbehaves on purpose, for the proxy soak test
// (soak_test.cpp; what both sides agree on is in soak_protocol.h).
//
// Usage: soak_peer tcp|serial LATE_MS
// It serves the wire format on 127.0.0.1 (a free base port and base + 10)
// or on a pty of its own, and takes its orders on stdin one round at a
// time, answering on stdout:
//   begin MISBEHAVIOUR TARGET ROUND  ->  ready WHERE  (the base port, or the pty's path)
//   end                              ->  done BAD     (malformed requests seen in the round)
// Memory byte a holds docksim's InitialByte(a) until the host writes it.
// The program ends at the end of its input, or after a minute without orders.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "docksim/docksim.h"
#include "proxy/wire/fd_io.h"
#include "tests/proxy/soak_protocol.h"
#include "proxy/wire/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ferry::EncodePacket;
using ferry::UniqueFd;
using soak::Misbehaviour;
using soak::Target;

constexpr ferry::Millis kWriteStall{1000}; // a host that takes nothing for this long has gone
constexpr int kIdleMs = 60000;             // no order for this long: the test has gone

// Noise in 8-byte blocks without the signature's first byte: on TCP each
// block is dropped as one header with a wrong signature, and on the serial
// line the search for a signature never starts inside it.
Bytes Garbage(uint32_t salt)
{
    Bytes bytes(8 * (1 + salt % 3));
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint8_t b = uint8_t(salt * 97u + i * 29u + 3u);
        bytes[i] = b == 0xCE ? 0x31 : b;
    }
    return bytes;
}

// A header whose length no packet can have.
Bytes HugeHeader()
{
    Bytes header(ferry::kHeaderSize);
    ferry::PutU32(header.data(), ferry::kPacketSignature);
    ferry::PutU32(header.data() + 4, 0xFFFFFFF0);
    return header;
}

Bytes FirstHalf(const Bytes &packet)
{
    return Bytes(packet.begin(), packet.begin() + long(packet.size() / 2));
}

void Append(Bytes &to, const Bytes &from)
{
    to.insert(to.end(), from.begin(), from.end());
}

// A data message the proxy must drop: alternately one whose payload length
// claims more than the packet carries, and one cut to its command type.
Bytes LyingMessage(uint32_t seq, uint32_t i)
{
    Bytes packet = EncodePacket(ferry::kCmdDataMessage, soak::Message(seq));
    if (i % 2 == 0) {
        ferry::PutU16(&packet[10], uint16_t(ferry::GetU16(&packet[10]) + 16));
    } else {
        ferry::PutU32(&packet[4], 2);
        packet.resize(ferry::kHeaderSize + 2);
    }
    return packet;
}

// Ends a TCP connection with a reset rather than an orderly close.
void ResetConnection(UniqueFd &conn)
{
    linger hard{1, 0};
    ::setsockopt(conn.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    conn.Reset();
}

class Peer {
public:
    Peer(bool serial, int lateMs) : serial_(serial), late_(lateMs) {}
    bool Start();
    int Run();

private:
    int Line() const { return serial_ ? pty_.master.Get() : cmd_.Get(); }
    int Notify();
    void Send(int fd, const Bytes &bytes);
    void HangUp();
    void CutOff(UniqueFd &conn);
    bool Obey(const std::string &order);
    void EndRound();
    void AcceptOn(const UniqueFd &listener, UniqueFd &conn);
    void TakeRequests();
    void Handle(const uint8_t *tlv, uint32_t length);
    void AnswerRead(uint32_t address, uint32_t count);
    void SendMessages(uint32_t count, uint32_t first);
    Bytes Memory(uint32_t address, uint32_t count) const;

    const bool serial_;
    const std::chrono::milliseconds late_;
    uint16_t basePort_ = 0;
    UniqueFd listenCmd_, listenNtf_, cmd_, ntf_;
    docksim::PtyPair pty_; // the slave stays open so the line outlives each host
    Bytes in_;             // request bytes not yet parsed
    std::string orders_;
    std::map<uint32_t, uint8_t> written_;

    // The round under way.
    Misbehaviour act_ = Misbehaviour::Good;
    Target target_ = Target::Read0;
    int round_ = 0;
    int reads_ = 0;
    int bad_ = 0;
    bool silent_ = false;
    std::optional<Bytes> lateReply_;
    Clock::time_point lateDue_{};
};

bool Peer::Start()
{
    if (serial_)
        return true; // the pty is made by the first round
    for (int attempt = 0; attempt < 200 && !listenCmd_.Valid(); ++attempt) {
        basePort_ = uint16_t(20000 + (unsigned(::getpid()) * 7919u + unsigned(attempt) * 104729u) % 12000);
        listenCmd_ = docksim::BindLoopback(basePort_, true);
        listenNtf_ = docksim::BindLoopback(uint16_t(basePort_ + 10), true);
        if (!listenNtf_.Valid())
            listenCmd_.Reset();
    }
    return listenCmd_.Valid() && ferry::SetNonblocking(listenCmd_.Get()) && ferry::SetNonblocking(listenNtf_.Get());
}

int Peer::Run()
{
    for (;;) {
        pollfd fds[5] = {{STDIN_FILENO, POLLIN, 0},
                         {listenCmd_.Get(), POLLIN, 0},
                         {listenNtf_.Get(), POLLIN, 0},
                         {Line(), POLLIN, 0},
                         {ntf_.Get(), POLLIN, 0}};
        int timeout = kIdleMs;
        if (lateReply_) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(lateDue_ - Clock::now());
            timeout = int(std::max<long>(0, long(left.count())));
        }
        int ready = ::poll(fds, 5, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (ready == 0 && !lateReply_))
            return 3;
        if (lateReply_ && Clock::now() >= lateDue_) {
            Send(Line(), *lateReply_);
            lateReply_.reset();
        }
        if (fds[1].revents & POLLIN)
            AcceptOn(listenCmd_, cmd_);
        if (fds[2].revents & POLLIN)
            AcceptOn(listenNtf_, ntf_);
        if (fds[3].revents != 0)
            TakeRequests();
        if (fds[4].revents != 0) {
            char sink[256];
            ssize_t r = ::read(ntf_.Get(), sink, sizeof sink);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
                ntf_.Reset();
        }
        // Orders come last: an order may close the descriptors polled above.
        if (fds[0].revents != 0) {
            char chunk[256];
            ssize_t r = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (r == 0)
                return 0;
            if (r < 0 && errno != EINTR)
                return 3;
            if (r > 0)
                orders_.append(chunk, size_t(r));
            for (size_t eol; (eol = orders_.find('\n')) != std::string::npos;) {
                std::string order = orders_.substr(0, eol);
                orders_.erase(0, eol + 1);
                if (!Obey(order))
                    return 2;
            }
        }
    }
}

bool Peer::Obey(const std::string &order)
{
    std::string answer;
    int act = 0, target = 0, round = 0;
    if (std::sscanf(order.c_str(), "begin %d %d %d", &act, &target, &round) == 3) {
        if (act < 0 || act >= int(Misbehaviour::Count) || target < 0 || target > int(Target::Read2)) {
            return false;
        }
        act_ = Misbehaviour(act);
        target_ = Target(target);
        round_ = round;
        reads_ = bad_ = 0;
        silent_ = false;
        if (serial_ && !pty_.master.Valid()) {
            pty_ = docksim::OpenRawPty();
            in_.clear();
            if (!pty_.master.Valid() || !ferry::SetNonblocking(pty_.master.Get()))
                return false;
        }
        answer = "ready " + (serial_ ? pty_.name : std::to_string(basePort_));
    } else if (order == "end") {
        EndRound();
        answer = "done " + std::to_string(bad_);
    } else {
        return false;
    }
    answer += '\n';
    return ::write(STDOUT_FILENO, answer.data(), answer.size()) == ssize_t(answer.size());
}

// Whatever the round left pending goes out now, before the next round's
// open: a late reply must never reach the host in a later round.
void Peer::EndRound()
{
    if (lateReply_)
        Send(Line(), *lateReply_);
    lateReply_.reset();
    if (serial_)
        return;
    cmd_.Reset();
    ntf_.Reset();
    in_.clear();
    for (const UniqueFd *listener : {&listenCmd_, &listenNtf_}) {
        while (UniqueFd(::accept4(listener->Get(), nullptr, nullptr, SOCK_CLOEXEC)).Valid()) {
        }
    }
}

void Peer::AcceptOn(const UniqueFd &listener, UniqueFd &conn)
{
    UniqueFd fd(::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid())
        return;
    int one = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conn = std::move(fd);
    if (&conn == &cmd_)
        in_.clear();
}

// Data messages go out on the notification connection, which the host
// makes right after the command connection.
int Peer::Notify()
{
    if (serial_)
        return pty_.master.Get();
    if (!ntf_.Valid()) {
        pollfd p{listenNtf_.Get(), POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0)
            AcceptOn(listenNtf_, ntf_);
    }
    return ntf_.Get();
}

// Writes the bytes unless the host stops taking them: it takes nothing for
// a while, or its next order comes, which ends the round and leaves the
// rest for nobody (a flood the close cut off, say).
void Peer::Send(int fd, const Bytes &bytes)
{
    constexpr ferry::Millis kSlice{50};
    size_t done = 0;
    for (int idle = 0; fd >= 0 && done < bytes.size() && idle * kSlice < kWriteStall;) {
        ferry::WriteResult w = ferry::WriteFully(fd, bytes.data() + done, bytes.size() - done, !serial_, kSlice);
        if (w.failed)
            return;
        done += w.sent;
        idle = w.sent > 0 ? 0 : idle + 1;
        pollfd order{STDIN_FILENO, POLLIN, 0};
        if (::poll(&order, 1, 0) > 0)
            return;
    }
}

// The connections, or the pty, end for good.
void Peer::HangUp()
{
    cmd_.Reset();
    ntf_.Reset();
    pty_ = docksim::PtyPair();
}

// After a packet cut short: a reset over TCP, silence on the serial line,
// where a cut packet stays cut only if nothing follows it.
void Peer::CutOff(UniqueFd &conn)
{
    if (serial_) {
        silent_ = true;
    } else {
        ResetConnection(conn);
    }
}

void Peer::TakeRequests()
{
    uint8_t chunk[4096];
    bool ended = false;
    for (;;) {
        ssize_t r = ::read(Line(), chunk, sizeof chunk);
        if (r > 0) {
            in_.insert(in_.end(), chunk, chunk + r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        ended = !(r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        break;
    }
    size_t pos = 0;
    while (Line() >= 0 && in_.size() - pos >= ferry::kHeaderSize) {
        uint32_t length = ferry::GetU32(&in_[pos + 4]);
        if (ferry::GetU32(&in_[pos]) != ferry::kPacketSignature || length < ferry::kTlvHeaderSize + 1 ||
            length > ferry::kRequestBufferSize) {
            ++bad_;
            ++pos;
            continue;
        }
        if (in_.size() - pos < ferry::kHeaderSize + length)
            break;
        Handle(&in_[pos + ferry::kHeaderSize], length);
        pos += ferry::kHeaderSize + length;
    }
    in_.erase(in_.begin(), in_.begin() + long(std::min(pos, in_.size())));
    if (ended && !serial_) {
        cmd_.Reset();
        in_.clear();
    }
}

void Peer::Handle(const uint8_t *tlv, uint32_t length)
{
    uint16_t type = ferry::GetU16(tlv);
    uint16_t n = ferry::GetU16(tlv + 2);
    const uint8_t *p = tlv + ferry::kTlvHeaderSize;
    uint16_t expectedN = type == ferry::kCmdDeviceOpen || type == ferry::kCmdClose ? 0 : 8;
    bool known = type == ferry::kCmdDeviceOpen || type == ferry::kCmdClose || type == ferry::kCmdReadMemory ||
                 type == ferry::kCmdWriteMemory || type == ferry::kCmdDataMessage;
    if (!known || n != expectedN || length != n + ferry::kTlvHeaderSize + 1 || tlv[length - 1] != 0) {
        ++bad_;
        return;
    }
    switch (type) {
    case ferry::kCmdDeviceOpen:
        if (act_ == Misbehaviour::NoAck)
            break;
        if (act_ == Misbehaviour::WrongAck) {
            uint16_t wrong = round_ % 2 ? ferry::kCmdReadMemory : ferry::kCmdClose;
            Send(Line(), EncodePacket(wrong, {0, 0, 0, 0}));
            break;
        }
        Send(Line(), EncodePacket(ferry::kCmdDeviceOpen, {}));
        break;
    case ferry::kCmdReadMemory:
        AnswerRead(ferry::GetU32(p), ferry::GetU32(p + 4));
        break;
    case ferry::kCmdWriteMemory:
        for (uint32_t i = 0; i < 4; ++i)
            written_[ferry::GetU32(p) + i] = p[4 + i];
        break;
    case ferry::kCmdDataMessage:
        SendMessages(ferry::GetU32(p), ferry::GetU32(p + 4));
        break;
    default:
        break;
    }
}

void Peer::AnswerRead(uint32_t address, uint32_t count)
{
    static const Target kReads[] = {Target::Read0, Target::Read1, Target::Read2};
    Target event = kReads[std::min(reads_++, 2)];
    if (silent_)
        return;
    Bytes reply = EncodePacket(ferry::kCmdReadMemory, Memory(address, count));
    if (event != target_)
        return Send(Line(), reply);
    Bytes out;
    switch (act_) {
    case Misbehaviour::Garbage:
        if (serial_) {
            out = Garbage(address);
        } else {
            Send(Notify(), Garbage(address)); // a TCP reply stream has no room for noise
        }
        Append(out, reply);
        return Send(Line(), out);
    case Misbehaviour::Cut:
        Send(Line(), FirstHalf(reply));
        return CutOff(cmd_);
    case Misbehaviour::Huge:
        // The serial framer takes the header for noise and finds the reply
        // after it; over TCP the host waits for the body until the close.
        out = HugeHeader();
        Append(out, reply);
        Send(Line(), out);
        if (!serial_)
            cmd_.Reset();
        return;
    case Misbehaviour::Lying:
        if (soak::LieOf(round_) == soak::Lie::TypeOnly) {
            ferry::PutU32(&reply[4], 2);
            reply.resize(ferry::kHeaderSize + 2);
        } else if (soak::LieOf(round_) == soak::Lie::Half) {
            reply = EncodePacket(ferry::kCmdReadMemory, Memory(address, count / 2));
            ferry::PutU16(&reply[10], uint16_t(count));
        } else {
            reply = EncodePacket(ferry::kCmdReadMemory, Memory(address, count + soak::kOverBy));
        }
        return Send(Line(), reply);
    case Misbehaviour::Stall:
        silent_ = true;
        return;
    case Misbehaviour::Late:
        lateReply_ = reply;
        lateDue_ = Clock::now() + late_;
        silent_ = true;
        return;
    case Misbehaviour::Drop:
        Send(Line(), FirstHalf(reply));
        return HangUp();
    default:
        return Send(Line(), reply);
    }
}

// count messages numbered from first, shaped by the misbehaviour when it
// strikes here: from the middle on, a Cut or (over TCP) a Huge header ends
// the stream; Garbage and Lying mix in what must be dropped.
void Peer::SendMessages(uint32_t count, uint32_t first)
{
    if (silent_)
        return;
    bool strike = target_ == Target::Messages;
    Bytes out;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t seq = first + i;
        Bytes packet = EncodePacket(ferry::kCmdDataMessage, soak::Message(seq));
        if (strike && i == count / 2 && act_ == Misbehaviour::Cut) {
            Append(out, FirstHalf(EncodePacket(ferry::kCmdDataMessage, soak::Message(seq | soak::kBogus))));
            Send(Notify(), out);
            return CutOff(ntf_);
        }
        if (strike && i == count / 2 && act_ == Misbehaviour::Huge) {
            Append(out, HugeHeader());
            if (!serial_) {
                Append(out, packet);
                Send(Notify(), out);
                ntf_.Reset();
                return;
            }
        }
        if (strike && act_ == Misbehaviour::Garbage)
            Append(out, Garbage(seq));
        Append(out, packet);
        if (strike && act_ == Misbehaviour::Lying && i % 3 == 0) {
            Append(out, LyingMessage(seq | soak::kBogus, i / 3));
        }
    }
    Send(Notify(), out);
}

Bytes Peer::Memory(uint32_t address, uint32_t count) const
{
    Bytes bytes(count);
    for (uint32_t i = 0; i < count; ++i) {
        auto it = written_.find(address + i);
        bytes[i] = it != written_.end() ? it->second : docksim::DockSim::InitialByte(address + i);
    }
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    std::string transport = argc == 3 ? argv[1] : "";
    if (transport != "tcp" && transport != "serial") {
        std::fprintf(stderr, "usage: soak_peer tcp|serial LATE_MS\n");
        return 2;
    }
    Peer peer(transport == "serial", std::atoi(argv[2]));
    return peer.Start() ? peer.Run() : 1;
}
