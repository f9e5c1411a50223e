#include "tests/proxy/harness.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/times.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "proxy/wire/fd_io.h"
#include "proxy/wire/wire.h"

namespace proxytest {

FerryOpenRecord MakeRecord(uint8_t transport, const std::string &text, uint32_t number)
{
    FerryOpenRecord record{};
    record.transport = transport;
    std::memcpy(record.text, text.data(), std::min(text.size(), sizeof record.text));
    record.number = number;
    return record;
}

int32_t OpenTcp(uint16_t basePort)
{
    FerryOpenRecord record = MakeRecord(FERRYLINK_TRANSPORT_TCP, "127.0.0.1", basePort);
    return OpenCommunicatonPort(&record);
}

int32_t OpenSerial(const std::string &tty)
{
    FerryOpenRecord record = MakeRecord(FERRYLINK_TRANSPORT_SERIAL, tty, 115200);
    return OpenCommunicatonPort(&record);
}

Bytes Le32(uint32_t a, uint32_t b)
{
    Bytes out(8);
    ferry::PutU32(out.data(), a);
    ferry::PutU32(out.data() + 4, b);
    return out;
}

Bytes MemoryAt(uint32_t address, size_t count, size_t good)
{
    Bytes expected(count, 0);
    for (size_t i = 0; i < good && i < count; ++i)
        expected[i] = docksim::DockSim::InitialByte(address + uint32_t(i));
    return expected;
}

Bytes NumberedMessage(size_t payload, uint8_t first)
{
    Bytes p(payload);
    for (size_t i = 0; i < payload; ++i)
        p[i] = uint8_t(first + i);
    return EncodePacket(4, p);
}

int32_t CallbackLog::Callback(int32_t reserved, const uint8_t *payload, int32_t length)
{
    EXPECT_EQ(reserved, 0);
    CallbackLog &log = Deliveries();
    {
        std::lock_guard<std::mutex> lock(log.mutex_);
        log.items_.push_back({Bytes(payload, payload + length), std::this_thread::get_id()});
    }
    log.changed_.notify_all();
    return 0;
}

void CallbackLog::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
}

bool CallbackLog::WaitFor(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
}

std::vector<Delivery> CallbackLog::Items()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
}

CallbackLog &Deliveries()
{
    static CallbackLog log;
    return log;
}

namespace {
size_t Entries(const char *path)
{
    size_t count = 0;
    if (DIR *dir = ::opendir(path)) {
        while (dirent *e = ::readdir(dir)) {
            if (e->d_name[0] != '.')
                ++count;
        }
        ::closedir(dir);
    }
    return count;
}
} // namespace

size_t ThreadCount()
{
    return Entries("/proc/self/task");
}

// The directory stream itself holds one descriptor while it is read.
size_t DescriptorCount()
{
    return Entries("/proc/self/fd") - 1;
}

long CpuTicks()
{
    tms t{};
    ::times(&t);
    return long(t.tms_utime + t.tms_stime);
}

AnswerWhenAsked::AnswerWhenAsked(docksim::DockSim &sim, size_t nth, Bytes packet)
    : thread_([&sim, nth, packet = std::move(packet)] {
          if (sim.WaitRequests(nth, 5s))
              sim.SendRaw(docksim::Channel::Command, packet);
      })
{
}

AnswerWhenAsked::~AnswerWhenAsked()
{
    thread_.join();
}

bool Eventually(const std::function<bool()> &predicate, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void LinkTest::SetUp()
{
    ferry::SetLimits(kTestLimits);
    Deliveries().Clear();
    Restart({});
}

void LinkTest::TearDown()
{
    CloseCommunicationPort();
    sim_.reset();
}

void LinkTest::Restart(const docksim::Options &options)
{
    sim_.reset();
    sim_ = serial_ ? docksim::DockSim::ServePty(options) : docksim::DockSim::ListenTcpAny(options);
    ASSERT_TRUE(sim_);
}

int32_t LinkTest::Open()
{
    return serial_ ? OpenSerial(sim_->TtyName()) : OpenTcp(sim_->BasePort());
}

void LinkTest::OpenOk()
{
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
}

void LinkTest::DropPeer()
{
    sim_->DropConnections();
    ASSERT_TRUE(Eventually([&] { return sim_->Connections() == 0; }));
}

void ExpectOneLinkFailureNotice()
{
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payload, (Bytes{12, 0, 2, 0}));
}

namespace {

// Blocks until fd is readable, at most `timeout`.
bool Readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, int(timeout.count())) > 0;
}

ferry::UniqueFd AcceptWithin(const ferry::UniqueFd &listener, std::chrono::milliseconds timeout)
{
    if (!Readable(listener.Get(), timeout))
        return ferry::UniqueFd();
    return ferry::UniqueFd(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

} // namespace

RawTarget::RawTarget(bool serial, int receiveBuffer) : serial_(serial)
{
    if (serial) {
        pty_ = docksim::OpenRawPty();
        return;
    }
    for (unsigned attempt = 0; attempt < 200 && !listenCommand_.Valid(); ++attempt) {
        basePort_ = uint16_t(33000 + (unsigned(::getpid()) * 7919u + attempt * 104729u) % 8000);
        listenCommand_ = docksim::BindLoopback(basePort_, true);
        listenNotify_ = docksim::BindLoopback(uint16_t(basePort_ + 10), true);
        if (!listenNotify_.Valid())
            listenCommand_.Reset();
    }
    if (receiveBuffer > 0) {
        for (const ferry::UniqueFd *listener : {&listenCommand_, &listenNotify_})
            ::setsockopt(listener->Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
}

int32_t RawTarget::Open()
{
    std::thread acknowledge([this] {
        if (!serial_) {
            command_ = AcceptWithin(listenCommand_, 5s);
            notify_ = AcceptWithin(listenNotify_, 5s);
        }
        Bytes open = EncodePacket(ferry::kCmdDeviceOpen, {});
        Bytes got(open.size());
        size_t have = 0;
        int fd = Fd(docksim::Channel::Command);
        while (have < got.size() && Readable(fd, 5s)) {
            ssize_t r = ::read(fd, got.data() + have, got.size() - have);
            if (r <= 0)
                return;
            have += size_t(r);
        }
        if (got == open)
            Send(docksim::Channel::Command, open);
    });
    int32_t opened = serial_ ? OpenSerial(pty_.name) : OpenTcp(basePort_);
    acknowledge.join();
    return opened;
}

int RawTarget::Fd(docksim::Channel channel) const
{
    if (serial_)
        return pty_.master.Get();
    return channel == docksim::Channel::Command ? command_.Get() : notify_.Get();
}

void RawTarget::Send(docksim::Channel channel, const Bytes &bytes)
{
    ferry::WriteFully(Fd(channel), bytes.data(), bytes.size(), !serial_, 5000ms);
}

void RawTarget::End(docksim::Channel channel)
{
    if (serial_) {
        pty_ = docksim::PtyPair();
        return;
    }
    (channel == docksim::Channel::Command ? command_ : notify_).Reset();
}

Bytes RawTarget::Drain(std::chrono::milliseconds quiet)
{
    Bytes bytes;
    uint8_t chunk[4096];
    int fd = Fd(docksim::Channel::Command);
    while (Readable(fd, quiet)) {
        ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + r);
    }
    return bytes;
}

std::string TransportName(const ::testing::TestParamInfo<bool> &info)
{
    return info.param ? "Serial" : "Tcp";
}

INSTANTIATE_TEST_SUITE_P(Transports, BothTest, ::testing::Bool(), TransportName);

} // namespace proxytest
