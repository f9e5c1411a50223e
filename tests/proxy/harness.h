// Helpers shared by the proxy tests: open records, a recorder for the
// callback, packet builders and process resource counts.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "docksim/docksim.h"
#include <ferrylink.h>
#include "proxy/time_limits.h"
#include "proxy/wire/wire.h"

namespace proxytest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The proxy's limits in these tests: a silent target costs 200 ms, not ten
// seconds, and a target that answers at all answers well within that, even
// under a sanitizer. The serial quiet gap keeps its real length, which the
// framing tests time against.
inline const ferry::Limits kTestLimits{
    .reply = 200ms, .sendStall = 1000ms, .connect = 1000ms, .openAck = 200ms, .serialQuiet = 500ms};
// The same with a shorter quiet gap, for tests whose pauses are in
// proportion to it.
inline const ferry::Limits kQuickLineLimits{
    .reply = 200ms, .sendStall = 1000ms, .connect = 1000ms, .openAck = 200ms, .serialQuiet = 200ms};

// Other limits for one test; the test limits come back at the end of scope.
class ScopedLimits {
public:
    explicit ScopedLimits(const ferry::Limits &limits) { ferry::SetLimits(limits); }
    ~ScopedLimits() { ferry::SetLimits(kTestLimits); }
    ScopedLimits(const ScopedLimits &) = delete;
    ScopedLimits &operator=(const ScopedLimits &) = delete;
};

FerryOpenRecord MakeRecord(uint8_t transport, const std::string &text, uint32_t number);
int32_t OpenTcp(uint16_t basePort);
int32_t OpenSerial(const std::string &tty);

// EncodePacket(type, payload): a whole packet, as the target sends it and
// as docksim records a request.
using ferry::EncodePacket;
Bytes Le32(uint32_t a, uint32_t b);

// A whole data message of `payload` bytes numbered from `first`, so that a
// payload cut or spliced on its way shows.
Bytes NumberedMessage(size_t payload, uint8_t first);

// What a `count`-byte remote read at `address` must hold when its reply
// carried `good` bytes: the target's initial memory, then zeros.
Bytes MemoryAt(uint32_t address, size_t count, size_t good);

struct Delivery {
    Bytes payload;
    std::thread::id thread;
};

// Records every call of the callback. The callback has no context pointer,
// so there is one recorder per process.
class CallbackLog {
public:
    static int32_t Callback(int32_t reserved, const uint8_t *payload, int32_t length);
    void Clear();
    bool WaitFor(size_t count, std::chrono::milliseconds timeout = 5s);
    std::vector<Delivery> Items();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> items_;
};
CallbackLog &Deliveries();

// Entries of /proc/self/task. A joined thread may stay listed for a moment
// (the kernel wakes the joiner before it removes the task), so compare it
// with Eventually.
size_t ThreadCount();
size_t DescriptorCount(); // entries of /proc/self/fd
long CpuTicks();          // user + system clock ticks of the process

// Sends `packet` as the target's answer once the target has received its
// `nth` request, from a thread of its own, so that the answer never comes
// before the question (on serial a reply that does is thrown away). Joins
// at the end of scope.
class AnswerWhenAsked {
public:
    AnswerWhenAsked(docksim::DockSim &sim, size_t nth, Bytes packet);
    ~AnswerWhenAsked();
    AnswerWhenAsked(const AnswerWhenAsked &) = delete;
    AnswerWhenAsked &operator=(const AnswerWhenAsked &) = delete;

private:
    std::thread thread_;
};

// The callback got exactly one call so far: the link-failure notification.
void ExpectOneLinkFailureNotice();

// A target the test drives by hand, on a free pair of loopback ports or on
// a pty: it acknowledges the device open and then reads, sends and ends
// nothing unless told, so that a test can stop reading or end one
// connection alone.
class RawTarget {
public:
    // receiveBuffer: the TCP receive buffer of its connections (0: the
    // system's), small to make a host's sends stall soon.
    explicit RawTarget(bool serial, int receiveBuffer = 0);
    bool Valid() const { return serial_ ? pty_.master.Valid() : listenCommand_.Valid(); }
    // Opens the proxy on it, acknowledging the device open: the open's result.
    int32_t Open();
    // The connection's descriptor; on serial both are the line.
    int Fd(docksim::Channel channel) const;
    void Send(docksim::Channel channel, const Bytes &bytes);
    // Ends one connection (on serial: the line).
    void End(docksim::Channel channel);
    // The bytes that came from the host on the command connection since the
    // open, until none came for `quiet`.
    Bytes Drain(std::chrono::milliseconds quiet);
    std::string TtyName() const { return pty_.name; }

private:
    bool serial_;
    uint16_t basePort_ = 0;
    ferry::UniqueFd listenCommand_;
    ferry::UniqueFd listenNotify_;
    ferry::UniqueFd command_;
    ferry::UniqueFd notify_;
    docksim::PtyPair pty_;
};

// Waits until `predicate` holds or the timeout passes.
bool Eventually(const std::function<bool()> &predicate, std::chrono::milliseconds timeout = 5s);

// A docksim for each test, on TCP or on a pty, and the proxy closed after it.
class LinkTest : public ::testing::Test {
protected:
    explicit LinkTest(bool serial) : serial_(serial) {}
    void SetUp() override;
    void TearDown() override;
    // Replaces the docksim with one made with these options.
    void Restart(const docksim::Options &options);
    int32_t Open();
    // Opens and registers the recorder as callback.
    void OpenOk();
    // Ends the target's side of the link and waits until it has (use with
    // ASSERT_NO_FATAL_FAILURE).
    void DropPeer();

    bool serial_;
    std::unique_ptr<docksim::DockSim> sim_;
};

struct TcpTest : LinkTest {
    TcpTest() : LinkTest(false) {}
};

struct SerialTest : LinkTest {
    SerialTest() : LinkTest(true) {}
};

// Cases that both transports must handle alike; the parameter is "serial".
struct BothTest : LinkTest, ::testing::WithParamInterface<bool> {
    BothTest() : LinkTest(GetParam()) {}
};

std::string TransportName(const ::testing::TestParamInfo<bool> &info);

} // namespace proxytest
