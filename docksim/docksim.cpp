#include "docksim/docksim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "proxy/wire/fd_io.h"
#include "proxy/wire/wire.h"

namespace docksim {

using ferry::EncodePacket;
using ferry::GetU16;
using ferry::GetU32;
using ferry::UniqueFd;

namespace {

constexpr size_t kOutboxTarget = 1 << 16; // how far a burst runs ahead of the reader
constexpr uint32_t kMaxReadCount = 65536; // largest remote read answered
constexpr uint32_t kMaxInboundLength = 1 << 20;
constexpr size_t kMaxRecorded = 100000;
constexpr int64_t kNanosPerSecond = 1000000000;

void MakeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
}

// A data message payload: message type 1, subtype 1, then a byte pattern.
std::vector<uint8_t> SampleMessage(size_t size, uint32_t seed)
{
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; ++i)
        payload[i] = uint8_t(seed + i);
    if (size >= 4) {
        ferry::PutU16(payload.data(), 1);
        ferry::PutU16(payload.data() + 2, 1);
    }
    return payload;
}

std::string Reason(const std::string &what, int error)
{
    return what + ": " + std::strerror(error);
}

void SetError(std::string *error, const std::string &text)
{
    if (error != nullptr)
        *error = text;
}

// "type 1 subtype 1" of a data message payload, when it has them.
std::string MessageKind(const std::vector<uint8_t> &payload)
{
    if (payload.size() < 4)
        return "no type";
    char text[48];
    std::snprintf(text, sizeof text, "type %u subtype %u", unsigned(GetU16(payload.data())),
                  unsigned(GetU16(payload.data() + 2)));
    return text;
}

} // namespace

uint64_t RateSchedule::TakeDue(Clock::time_point now)
{
    if (now < start_)
        return 0;
    // Whole seconds and the rest apart: elapsed nanoseconds times the rate
    // would overflow after a day.
    int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
    uint64_t due = uint64_t(elapsed / kNanosPerSecond) * hz_ +
                   uint64_t(elapsed % kNanosPerSecond) * hz_ / uint64_t(kNanosPerSecond) + 1;
    uint64_t taken = due - taken_;
    taken_ = due;
    return taken;
}

RateSchedule::Clock::time_point RateSchedule::NextDue() const
{
    uint64_t seconds = taken_ / hz_;
    // Rounded up, so that at NextDue() the message is due.
    uint64_t nanos = ((taken_ % hz_) * uint64_t(kNanosPerSecond) + hz_ - 1) / hz_;
    return start_ + std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos);
}

UniqueFd BindLoopback(uint16_t port, bool doListen)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        return fd;
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (doListen && ::listen(fd.Get(), 4) != 0)) {
        int saved = errno; // close() must not hide why
        fd.Reset();
        errno = saved;
    }
    return fd;
}

PtyPair OpenRawPty()
{
    PtyPair pty;
    pty.master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (!pty.master.Valid() || ::grantpt(pty.master.Get()) != 0 || ::unlockpt(pty.master.Get()) != 0 ||
        ::ptsname_r(pty.master.Get(), name, sizeof name) != 0) {
        return PtyPair();
    }
    pty.slave.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.slave.Valid())
        return PtyPair();
    MakeRaw(pty.slave.Get());
    pty.name = name;
    return pty;
}

bool ParseHostile(const std::string &name, Hostile &mode)
{
    static const std::pair<const char *, Hostile> kNames[] = {
        {"none", Hostile::None},
        {"bad-signature", Hostile::BadSignature},
        {"huge-length", Hostile::HugeLength},
        {"short-length", Hostile::ShortLength},
        {"truncated", Hostile::Truncated},
        {"silent", Hostile::Silent},
        {"no-ack", Hostile::NoAck},
        {"wrong-ack", Hostile::WrongAck},
        {"drop", Hostile::Drop},
    };
    for (const auto &[text, value] : kNames) {
        if (name == text) {
            mode = value;
            return true;
        }
    }
    return false;
}

std::unique_ptr<DockSim> DockSim::ListenTcp(uint16_t basePort, const Options &options, std::string *error)
{
    if (basePort == 0 || basePort > kMaxBasePort) {
        SetError(error, "base port " + std::to_string(basePort) + " is not from 1 to " + std::to_string(kMaxBasePort));
        return nullptr;
    }
    std::unique_ptr<DockSim> sim(new DockSim(options));
    sim->basePort_ = basePort;
    sim->listenCommand_ = BindLoopback(basePort, true);
    if (!sim->listenCommand_.Valid()) {
        SetError(error, Reason("cannot listen on 127.0.0.1:" + std::to_string(basePort), errno));
        return nullptr;
    }
    // Without a notification listener the port is still held, so that a
    // connection to it is refused rather than reaching someone else.
    sim->listenNotify_ = BindLoopback(uint16_t(basePort + 10), options.listenNotify);
    if (!sim->listenNotify_.Valid()) {
        SetError(error, Reason("cannot listen on 127.0.0.1:" + std::to_string(basePort + 10), errno));
        return nullptr;
    }
    // The loop polls its listeners and must never block in accept.
    ferry::SetNonblocking(sim->listenCommand_.Get());
    ferry::SetNonblocking(sim->listenNotify_.Get());
    return sim->Start(error) ? std::move(sim) : nullptr;
}

std::unique_ptr<DockSim> DockSim::ListenTcpAny(const Options &options, std::string *error)
{
    static std::atomic<unsigned> attempt{0};
    for (int i = 0; i < 500; ++i) {
        unsigned key = unsigned(::getpid()) * 131u + attempt.fetch_add(1) * 17u;
        auto sim = ListenTcp(uint16_t(20000 + key % 12000), options, error);
        if (sim)
            return sim;
    }
    SetError(error, "no free pair of ports found from 20000 to 32009");
    return nullptr;
}

std::unique_ptr<DockSim> DockSim::ServePty(const Options &options, std::string *error)
{
    PtyPair pty = OpenRawPty();
    if (!pty.slave.Valid()) {
        SetError(error, Reason("no pseudo-terminal", errno));
        return nullptr;
    }
    ferry::SetNonblocking(pty.master.Get());
    std::unique_ptr<DockSim> sim(new DockSim(options));
    sim->serial_ = true;
    sim->ttyName_ = pty.name;
    sim->command_.fd = std::move(pty.master);
    sim->slaveHold_ = std::move(pty.slave);
    return sim->Start(error) ? std::move(sim) : nullptr;
}

std::unique_ptr<DockSim> DockSim::ServeTty(const std::string &path, const Options &options, std::string *error)
{
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) {
        SetError(error, Reason("cannot open " + path, errno));
        return nullptr;
    }
    struct stat st {};
    termios tio{};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISCHR(st.st_mode) || ::tcgetattr(fd.Get(), &tio) != 0) {
        SetError(error, path + " is not a terminal device");
        return nullptr;
    }
    MakeRaw(fd.Get());
    std::unique_ptr<DockSim> sim(new DockSim(options));
    sim->serial_ = true;
    sim->ttyName_ = path;
    sim->command_.fd = std::move(fd);
    return sim->Start(error) ? std::move(sim) : nullptr;
}

bool DockSim::Start(std::string *error)
{
    command_.name = serial_ ? "serial line" : "command connection";
    notify_.name = "notification connection";
    control_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!control_.Valid()) {
        SetError(error, Reason("no eventfd", errno));
        return false;
    }
    thread_ = std::thread([this] { Loop(); });
    return true;
}

DockSim::~DockSim()
{
    Stop();
}

void DockSim::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (!thread_.joinable())
        return;
    Poke();
    thread_.join();
    // The capture sees the connections end as the host will, after all the
    // host had sent: a close request that came in with the quit is recorded.
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.capture != nullptr) {
        if (command_.fd.Valid())
            ReadFrom(command_, false);
        if (notify_.fd.Valid())
            ReadFrom(notify_, false);
    }
    EndConn(command_);
    EndConn(notify_);
}

void DockSim::Log(const char *format, ...)
{
    if (!options_.log)
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    options_.log(line);
}

void DockSim::Poke()
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(control_.Get(), &one, sizeof one);
}

void DockSim::SetHostile(Hostile mode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_.hostile = mode;
}

void DockSim::SetRate(unsigned hz)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        options_.rateHz = hz;
        rate_.reset();
    }
    Poke();
}

RateTotals DockSim::Rate() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rateTotals_;
}

DockSim::Conn &DockSim::ChannelConn(Channel channel)
{
    return serial_ || channel == Channel::Command ? command_ : notify_;
}

void DockSim::SendDataMessage(const std::vector<uint8_t> &payload)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Emit(ChannelConn(Channel::Notify), ferry::kCmdDataMessage, payload);
    }
    Poke();
}

void DockSim::SendDataBurst(size_t size, uint64_t count)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        burstPacket_ = EncodePacket(ferry::kCmdDataMessage, SampleMessage(size, 7));
        burstLeft_ = count;
        Log("burst: %llu data messages of %zu bytes", static_cast<unsigned long long>(count), size);
    }
    Poke();
}

void DockSim::SendRaw(Channel channel, const std::vector<uint8_t> &bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Conn &conn = ChannelConn(channel);
        if (conn.fd.Valid())
            conn.out.insert(conn.out.end(), bytes.begin(), bytes.end());
    }
    Poke();
}

void DockSim::DropConnections()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropPending_ = true;
    }
    Poke();
}

std::vector<std::vector<uint8_t>> DockSim::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool DockSim::WaitRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

size_t DockSim::Connections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return size_t(command_.fd.Valid()) + size_t(notify_.fd.Valid());
}

uint8_t DockSim::InitialByte(uint32_t address)
{
    return uint8_t((address * 2654435761u) >> 24);
}

std::vector<uint8_t> DockSim::ReadMemory(uint32_t address, uint32_t count) const
{
    std::vector<uint8_t> bytes(count);
    for (uint32_t i = 0; i < count; ++i) {
        auto it = written_.find(address + i);
        bytes[i] = it != written_.end() ? it->second : InitialByte(address + i);
    }
    return bytes;
}

// Everything below runs on the loop thread, with mutex_ held except while
// polling. Only this thread opens or closes descriptors, so the ones it
// polls stay valid.

void DockSim::Loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        pollfd fds[5];
        nfds_t count = 0;
        auto add = [&](const UniqueFd &fd, short events) { fds[count++] = {fd.Get(), events, 0}; };
        add(control_, POLLIN);
        add(listenCommand_, POLLIN);
        // A socket that is only bound reports a hang-up at once: leave it out.
        fds[count++] = {options_.listenNotify ? listenNotify_.Get() : -1, POLLIN, 0};
        // A burst in progress is topped up whenever its connection can take more.
        Conn &burstTarget = ChannelConn(Channel::Notify);
        auto events = [&](const Conn &conn) {
            bool more = !conn.out.empty() || (burstLeft_ > 0 && &conn == &burstTarget);
            return short(POLLIN | (more ? POLLOUT : 0));
        };
        add(command_.fd, events(command_));
        add(notify_.fd, events(notify_));
        // Sleeps until the next rate message is due, to the microsecond: a
        // millisecond poll() would cap the rate near 1000 a second.
        timespec wait{};
        timespec *timeout = nullptr;
        if (options_.rateHz > 0 && burstTarget.fd.Valid()) {
            // A schedule not started yet (a serial line has no accept to
            // wake the loop) starts at once.
            auto now = std::chrono::steady_clock::now();
            auto left = std::max((rate_ ? rate_->NextDue() : now) - now, std::chrono::steady_clock::duration::zero());
            auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = time_t(nanos / kNanosPerSecond);
            wait.tv_nsec = long(nanos % kNanosPerSecond);
            timeout = &wait;
        }
        lock.unlock();
        ::ppoll(fds, count, timeout, nullptr);
        lock.lock();
        if (stopping_)
            break;

        if (fds[0].revents != 0) {
            uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(control_.Get(), &value, sizeof value);
        }
        if (fds[1].revents & POLLIN)
            AcceptOn(listenCommand_.Get(), command_, basePort_);
        if (fds[2].revents & POLLIN)
            AcceptOn(listenNotify_.Get(), notify_, uint16_t(basePort_ + 10));
        if (fds[3].revents != 0)
            ReadFrom(command_, true);
        if (fds[4].revents != 0)
            ReadFrom(notify_, false);

        SendRateMessages();
        TopUpBurst();
        Flush(command_);
        Flush(notify_);
        if (dropPending_ && command_.out.empty() && notify_.out.empty()) {
            dropPending_ = false;
            Log("dropping the connections");
            EndConn(command_);
            EndConn(notify_);
            slaveHold_.Reset();
        }
        changed_.notify_all();
    }
}

void DockSim::AcceptOn(int listener, Conn &conn, uint16_t port)
{
    sockaddr_in peer{};
    socklen_t peerSize = sizeof peer;
    UniqueFd fd(::accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peerSize, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid())
        return;
    int one = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (conn.fd.Valid())
        Log("%s replaced by a new one", conn.name);
    EndConn(conn); // a new connection replaces the old one
    conn.fd = std::move(fd);
    uint16_t hostPort = ntohs(peer.sin_port);
    Log("%s from 127.0.0.1:%u on port %u", conn.name, unsigned(hostPort), unsigned(port));
    if (options_.capture != nullptr)
        options_.capture->TcpAccepted(conn.flow, hostPort, port);
}

void DockSim::ReadFrom(Conn &conn, bool parse)
{
    uint8_t buffer[65536];
    bool ended = false;
    for (;;) {
        ssize_t r = ::read(conn.fd.Get(), buffer, sizeof buffer);
        if (r > 0) {
            if (options_.capture != nullptr && serial_)
                options_.capture->SerialData(false, buffer, size_t(r));
            else if (options_.capture != nullptr)
                options_.capture->TcpData(conn.flow, false, buffer, size_t(r));
            if (parse)
                conn.in.insert(conn.in.end(), buffer, buffer + r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        // Otherwise nothing more for now, or the peer closed or failed. A
        // serial line stays: the next host simply opens it again.
        ended = !serial_ && !(r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        break;
    }
    if (parse)
        ParsePackets(conn);
    if (ended)
        EndConn(conn, true);
}

void DockSim::ParsePackets(Conn &conn)
{

    size_t pos = 0;
    std::vector<uint8_t> &in = conn.in;
    while (in.size() - pos >= ferry::kHeaderSize) {
        if (GetU32(&in[pos]) != ferry::kPacketSignature) {
            ++pos; // hunt for the next header
            continue;
        }
        uint32_t length = GetU32(&in[pos + 4]);
        if (length > kMaxInboundLength) {
            pos += ferry::kHeaderSize;
            continue;
        }
        if (in.size() - pos < ferry::kHeaderSize + length)
            break;
        std::vector<uint8_t> packet(in.begin() + long(pos), in.begin() + long(pos + ferry::kHeaderSize + length));
        pos += packet.size();
        HandlePacket(conn, packet);
    }
    in.erase(in.begin(), in.begin() + long(pos));
}

void DockSim::HandlePacket(Conn &conn, const std::vector<uint8_t> &packet)
{
    if (options_.record && requests_.size() < kMaxRecorded)
        requests_.push_back(packet);
    if (packet.size() < ferry::kHeaderSize + ferry::kTlvHeaderSize)
        return;
    uint16_t type = GetU16(&packet[8]);
    size_t n = std::min<size_t>(GetU16(&packet[10]), packet.size() - 12);
    const uint8_t *payload = &packet[12];
    Hostile mode = options_.hostile;

    if (type == ferry::kCmdDeviceOpen) {
        if (mode == Hostile::NoAck) {
            Log("device open: not acknowledged (mode no-ack)");
            return;
        }
        uint16_t ack = mode == Hostile::WrongAck ? ferry::kCmdClose : ferry::kCmdDeviceOpen;
        Log("device open: acknowledged with command type %u", unsigned(ack));
        std::vector<uint8_t> bytes = EncodePacket(ack, {});
        conn.out.insert(conn.out.end(), bytes.begin(), bytes.end());
        if (mode == Hostile::Drop)
            dropPending_ = true;
    } else if (type == ferry::kCmdReadMemory && n >= 8) {
        uint32_t count = std::min(GetU32(payload + 4), kMaxReadCount);
        Log("remote read: address 0x%08X count %u%s", unsigned(GetU32(payload)), unsigned(GetU32(payload + 4)),
            mode == Hostile::Silent ? ", not answered (mode silent)" : "");
        if (mode != Hostile::Silent)
            Emit(conn, ferry::kCmdReadMemory, ReadMemory(GetU32(payload), count));
    } else if (type == ferry::kCmdWriteMemory && n >= 8) {
        uint32_t address = GetU32(payload);
        Log("remote write: address 0x%08X value 0x%08X", unsigned(address), unsigned(GetU32(payload + 4)));
        for (uint32_t i = 0; i < 4; ++i)
            written_[address + i] = payload[4 + i];
    } else if (type == ferry::kCmdClose) {
        Log("close");
    } else if (type == ferry::kCmdDataMessage && options_.answerData) {
        DataReply reply = options_.answerData(std::vector<uint8_t>(payload, payload + n));
        bool held = mode == Hostile::Silent && !reply.messages.empty();
        if (!reply.log.empty())
            Log("%s%s", reply.log.c_str(), held ? ", held back (mode silent)" : "");
        for (const std::vector<uint8_t> &message : held ? std::vector<std::vector<uint8_t>>{} : reply.messages)
            Emit(ChannelConn(Channel::Notify), ferry::kCmdDataMessage, message);
        if (reply.drop)
            dropPending_ = true;
    } else if (type == ferry::kCmdDataMessage) {
        Log("data message from the host: %zu bytes, %s, ignored", n,
            MessageKind(std::vector<uint8_t>(payload, payload + n)).c_str());
    } else {
        Log("packet of command type %u with %zu payload bytes, ignored", unsigned(type), n);
    }
}

void DockSim::Emit(Conn &conn, uint16_t type, const std::vector<uint8_t> &payload)
{
    if (!conn.fd.Valid()) {
        if (type == ferry::kCmdDataMessage)
            Log("data message of %zu bytes dropped: no %s", payload.size(), conn.name);
        return;
    }
    if (type == ferry::kCmdDataMessage)
        Log("data message sent: %zu bytes, %s", payload.size(), MessageKind(payload).c_str());
    std::vector<uint8_t> packet = EncodePacket(type, payload);
    switch (options_.hostile) {
    case Hostile::BadSignature:
        ferry::PutU32(packet.data(), 0xDEADBEEF);
        break;
    case Hostile::HugeLength:
        ferry::PutU32(packet.data() + 4, 0xFFFFFFF0);
        conn.closeWhenFlushed = !serial_;
        break;
    case Hostile::ShortLength:
        ferry::PutU32(packet.data() + 4, 2);
        packet.resize(ferry::kHeaderSize + 2);
        break;
    case Hostile::Truncated:
        packet.resize(ferry::kHeaderSize + (payload.size() + 5) / 2);
        conn.closeWhenFlushed = !serial_;
        break;
    default:
        break;
    }
    conn.out.insert(conn.out.end(), packet.begin(), packet.end());
}

void DockSim::TopUpBurst()
{
    Conn &target = ChannelConn(Channel::Notify);
    if (!target.fd.Valid())
        return;
    while (burstLeft_ > 0 && target.out.size() < kOutboxTarget) {
        target.out.insert(target.out.end(), burstPacket_.begin(), burstPacket_.end());
        --burstLeft_;
    }
}

void DockSim::SendRateMessages()
{
    Conn &target = ChannelConn(Channel::Notify);
    if (options_.rateHz == 0 || !target.fd.Valid()) {
        rate_.reset(); // nobody to send to: a new connection starts afresh
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (!rate_)
        rate_.emplace(options_.rateHz, now);
    uint64_t due = rate_->TakeDue(now);
    if (due == 0)
        return;
    // Every message due goes out at once; what a slow host leaves queued is
    // bounded, so a late wake-up catches up but a stalled host costs no memory.
    size_t packetSize = options_.messageSize + ferry::kPacketOverhead;
    uint64_t room = target.out.size() < kRateBacklog ? (kRateBacklog - target.out.size()) / packetSize : 0;
    uint64_t queued = std::min(due, room);
    for (uint64_t i = 0; i < queued; ++i)
        Emit(target, ferry::kCmdDataMessage, SampleMessage(options_.messageSize, ticks_++));
    ticks_ += uint32_t(due - queued); // the dropped keep their place in the byte pattern
    rateTotals_.sent += queued;
    rateTotals_.dropped += due - queued;
    // Once a second at most: a stalled host at 100000 a second would flood the log.
    if (rateTotals_.dropped > dropsLogged_ && now >= nextDropLog_) {
        Log("%llu data messages dropped: the host is not taking them in time (%llu in all)",
            static_cast<unsigned long long>(rateTotals_.dropped - dropsLogged_),
            static_cast<unsigned long long>(rateTotals_.dropped));
        dropsLogged_ = rateTotals_.dropped;
        nextDropLog_ = now + std::chrono::seconds(1);
    }
}

void DockSim::Flush(Conn &conn)
{
    size_t done = 0;
    while (conn.fd.Valid() && done < conn.out.size()) {
        ssize_t w = serial_ ? ::write(conn.fd.Get(), conn.out.data() + done, conn.out.size() - done)
                            : ::send(conn.fd.Get(), conn.out.data() + done, conn.out.size() - done, MSG_NOSIGNAL);
        if (w > 0) {
            if (options_.capture != nullptr && serial_)
                options_.capture->SerialData(true, conn.out.data() + done, size_t(w));
            else if (options_.capture != nullptr)
                options_.capture->TcpData(conn.flow, true, conn.out.data() + done, size_t(w));
            done += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        EndConn(conn);
        return;
    }
    conn.out.erase(conn.out.begin(), conn.out.begin() + long(done));
    if (conn.out.empty() && conn.closeWhenFlushed)
        EndConn(conn);
}

void DockSim::EndConn(Conn &conn, bool byHost)
{
    if (conn.fd.Valid() && serial_) {
        Log("serial line closed");
    } else if (conn.fd.Valid()) {
        Log("%s closed by %s", conn.name, byHost ? "the host" : "docksim");
        if (options_.capture != nullptr)
            options_.capture->TcpClosed(conn.flow, byHost);
    }
    conn.fd.Reset();
    conn.in.clear();
    conn.out.clear();
    conn.closeWhenFlushed = false;
}

} // namespace docksim
