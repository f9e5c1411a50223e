#include "docksim/capture.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace docksim {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4; // microsecond timestamps
constexpr uint32_t kSnapLength = 262144;
constexpr size_t kIpHeaderSize = 20;
constexpr size_t kTcpHeaderSize = 20;
// Long reads and writes become several segments, as a real stack would send.
constexpr size_t kMaxSegment = 16384;
constexpr uint32_t kLoopback = 0x7F000001;

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;

// The pcap headers are in the writer's byte order; the frames are in
// network order.
void PutHost32(uint8_t *p, uint32_t v)
{
    std::memcpy(p, &v, 4);
}

void PutHost16(uint8_t *p, uint16_t v)
{
    std::memcpy(p, &v, 2);
}

void PutNet16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void PutNet32(uint8_t *p, uint32_t v)
{
    PutNet16(p, uint16_t(v >> 16));
    PutNet16(p + 2, uint16_t(v));
}

// The ones' complement sum of RFC 1071, continued from `sum`.
uint32_t SumWords(const uint8_t *p, size_t n, uint32_t sum)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += uint32_t(p[i] << 8 | p[i + 1]);
    if (n % 2 != 0)
        sum += uint32_t(p[n - 1] << 8);
    return sum;
}

uint16_t FoldChecksum(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

// Initial sequence numbers: any will do, but distinct per connection makes
// the capture look like one.
uint32_t InitialSequence(uint16_t port, bool fromDock)
{
    return (uint32_t(port) * 2654435761u) ^ (fromDock ? 0x5A5A0000u : 0x00A5A500u);
}

} // namespace

std::unique_ptr<Capture> Capture::Create(const std::string &path, bool serial, std::string *error)
{
    std::unique_ptr<Capture> capture(new Capture());
    capture->path_ = path;
    uint8_t header[24];
    PutHost32(header, kPcapMagic);
    PutHost16(header + 4, 2); // version 2.4
    PutHost16(header + 6, 4);
    PutHost32(header + 8, 0); // time zone offset
    PutHost32(header + 12, 0);
    PutHost32(header + 16, kSnapLength);
    PutHost32(header + 20, serial ? kLinkTypeUser0 : kLinkTypeRaw);
    int failed = capture->file_.Open(path);
    if (failed == 0)
        failed = capture->file_.Write(header, sizeof header);
    // Records go on after Commit, which closes the writer's own descriptor:
    // a duplicate keeps the file open.
    if (failed == 0) {
        capture->fd_.Reset(::fcntl(capture->file_.Fd(), F_DUPFD_CLOEXEC, 0));
        failed = capture->fd_.Valid() ? 0 : errno;
    }
    if (failed != 0) {
        if (error != nullptr)
            *error = "cannot write " + path + ": " + std::strerror(failed);
        return nullptr;
    }
    return capture;
}

bool Capture::Commit(std::string *error)
{
    int failed = file_.Commit();
    if (failed != 0 && error != nullptr)
        *error = "cannot write " + path_ + ": " + std::strerror(failed);
    return failed == 0;
}

void Capture::Record(const uint8_t *frame, size_t n)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::vector<uint8_t> record(16 + n);
    PutHost32(record.data(), uint32_t(now.tv_sec));
    PutHost32(record.data() + 4, uint32_t(now.tv_nsec / 1000));
    PutHost32(record.data() + 8, uint32_t(n));
    PutHost32(record.data() + 12, uint32_t(n));
    if (n > 0)
        std::memcpy(record.data() + 16, frame, n);
    // One write per record: a reader (or a kill) never sees half of one,
    // short of a full disk.
    size_t done = 0;
    while (done < record.size()) {
        ssize_t w = ::write(fd_.Get(), record.data() + done, record.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        done += size_t(w);
    }
}

void Capture::TcpSegment(TcpFlow &flow, bool fromDock, uint8_t flags, const uint8_t *data, size_t n)
{
    std::vector<uint8_t> frame(kIpHeaderSize + kTcpHeaderSize + n);
    uint8_t *ip = frame.data();
    ip[0] = 0x45; // IPv4, 20-byte header
    PutNet16(ip + 2, uint16_t(frame.size()));
    PutNet16(ip + 4, ipId_++);
    PutNet16(ip + 6, 0x4000); // don't fragment
    ip[8] = 64;
    ip[9] = 6; // TCP
    PutNet32(ip + 12, kLoopback);
    PutNet32(ip + 16, kLoopback);
    PutNet16(ip + 10, FoldChecksum(SumWords(ip, kIpHeaderSize, 0)));

    uint8_t *tcp = ip + kIpHeaderSize;
    uint32_t &seq = fromDock ? flow.dockSeq : flow.hostSeq;
    uint32_t ack = fromDock ? flow.hostSeq : flow.dockSeq;
    PutNet16(tcp, fromDock ? flow.dockPort : flow.hostPort);
    PutNet16(tcp + 2, fromDock ? flow.hostPort : flow.dockPort);
    PutNet32(tcp + 4, seq);
    PutNet32(tcp + 8, (flags & kAck) ? ack : 0);
    tcp[12] = uint8_t(kTcpHeaderSize / 4) << 4;
    tcp[13] = flags;
    PutNet16(tcp + 14, 65535); // window
    if (n > 0)
        std::memcpy(tcp + kTcpHeaderSize, data, n);
    uint8_t pseudo[12];
    PutNet32(pseudo, kLoopback);
    PutNet32(pseudo + 4, kLoopback);
    pseudo[8] = 0;
    pseudo[9] = 6;
    PutNet16(pseudo + 10, uint16_t(kTcpHeaderSize + n));
    uint32_t sum = SumWords(pseudo, sizeof pseudo, 0);
    PutNet16(tcp + 16, FoldChecksum(SumWords(tcp, kTcpHeaderSize + n, sum)));

    // SYN and FIN take a sequence number each, like a byte.
    seq += uint32_t(n) + ((flags & (kSyn | kFin)) ? 1 : 0);
    Record(frame.data(), frame.size());
}

void Capture::TcpAccepted(TcpFlow &flow, uint16_t hostPort, uint16_t dockPort)
{
    flow.open = true;
    flow.hostPort = hostPort;
    flow.dockPort = dockPort;
    flow.hostSeq = InitialSequence(hostPort, false);
    flow.dockSeq = InitialSequence(hostPort, true);
    TcpSegment(flow, false, kSyn, nullptr, 0);
    TcpSegment(flow, true, kSyn | kAck, nullptr, 0);
    TcpSegment(flow, false, kAck, nullptr, 0);
}

void Capture::TcpData(TcpFlow &flow, bool fromDock, const uint8_t *data, size_t n)
{
    if (!flow.open)
        return;
    for (size_t done = 0; done < n;) {
        size_t take = n - done < kMaxSegment ? n - done : kMaxSegment;
        TcpSegment(flow, fromDock, kPsh | kAck, data + done, take);
        done += take;
    }
}

void Capture::TcpClosed(TcpFlow &flow, bool byHost)
{
    if (!flow.open)
        return;
    TcpSegment(flow, !byHost, kFin | kAck, nullptr, 0);
    TcpSegment(flow, byHost, kFin | kAck, nullptr, 0);
    TcpSegment(flow, !byHost, kAck, nullptr, 0);
    flow.open = false;
}

void Capture::SerialData(bool fromDock, const uint8_t *data, size_t n)
{
    std::vector<uint8_t> frame(1 + n);
    frame[0] = fromDock ? kSerialFromDock : kSerialToDock;
    if (n > 0)
        std::memcpy(frame.data() + 1, data, n);
    Record(frame.data(), frame.size());
}

} // namespace docksim
