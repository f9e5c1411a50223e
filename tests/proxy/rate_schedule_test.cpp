// docksim's rate: when its messages fall due, on a clock the test moves,
// and what it does with them when the host stops reading.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/proxy/harness.h"
#include "proxy/wire/unique_fd.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

using docksim::RateSchedule;
using Time = RateSchedule::Clock::time_point;
using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

const Time kStart = Time() + hours(5);

TEST(RateScheduleTest, ARateThatDoesNotDivideASecondDoesNotDrift)
{
    RateSchedule schedule(3, kStart);
    uint64_t total = 0;
    // Irregular wake-ups, as a loaded machine gives them.
    for (Time now = kStart; now <= kStart + std::chrono::seconds(10); now += milliseconds(7 + (total % 5) * 13))
        total += schedule.TakeDue(now);
    total += schedule.TakeDue(kStart + std::chrono::seconds(10));
    EXPECT_EQ(total, 31u); // one at the start, then three a second
}

TEST(RateScheduleTest, ALateWakeUpTakesEveryMessageItMissed)
{
    RateSchedule schedule(1000, kStart);
    EXPECT_EQ(schedule.TakeDue(kStart), 1u);
    EXPECT_EQ(schedule.TakeDue(kStart + milliseconds(50)), 50u);
    EXPECT_EQ(schedule.TakeDue(kStart + milliseconds(50)), 0u);
}

TEST(RateScheduleTest, TheHighestRateStaysExactAfterDays)
{
    RateSchedule schedule(100000, kStart);
    EXPECT_EQ(schedule.TakeDue(kStart + hours(72)), 72ull * 3600 * 100000 + 1);
}

TEST(RateScheduleTest, NextDueIsTheMomentTheNextMessageFallsDue)
{
    // Earlier would wake docksim to find nothing due; later would lag.
    for (unsigned hz : {1u, 3u, 7u, 9999u, 10000u, 99991u, 100000u}) {
        RateSchedule schedule(hz, kStart);
        Time now = kStart + milliseconds(1234);
        schedule.TakeDue(now);
        for (int i = 0; i < 5; ++i) {
            Time next = schedule.NextDue();
            EXPECT_GT(next, now) << hz;
            EXPECT_EQ(schedule.TakeDue(next - nanoseconds(1)), 0u) << hz;
            EXPECT_EQ(schedule.TakeDue(next), 1u) << hz;
            now = next;
        }
    }
}

// A host that connects to the notification port with a small receive
// buffer, so that a stall fills it soon.
ferry::UniqueFd ConnectNotify(uint16_t basePort)
{
    ferry::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int small = 4096;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    timeval limit{5, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(basePort + 10));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fd.Reset();
    return fd;
}

bool ReadAll(int fd, uint8_t *data, size_t n)
{
    while (n > 0) {
        ssize_t r = ::read(fd, data, n);
        if (r <= 0)
            return false;
        data += r;
        n -= size_t(r);
    }
    return true;
}

TEST(DocksimRateTest, AHostThatStopsReadingCostsCountedMessagesNotMemory)
{
    docksim::Options options;
    options.record = false;
    options.messageSize = docksim::kMaxDataPayload;
    auto sim = docksim::DockSim::ListenTcpAny(options);
    ASSERT_TRUE(sim);
    ferry::UniqueFd host = ConnectNotify(sim->BasePort());
    ASSERT_TRUE(host.Valid());
    sim->SetRate(100000); // 800 MB a second: no host keeps up
    auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (sim->Rate().dropped == 0 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(10ms);
    docksim::RateTotals totals = sim->Rate();
    ASSERT_GT(totals.dropped, 0u);
    EXPECT_LT(totals.sent * (docksim::kMaxDataPayload + ferry::kPacketOverhead), 64u << 20);

    // Messages are dropped whole: what the host reads on is still in step.
    Bytes packet(ferry::kHeaderSize + ferry::kTlvHeaderSize + docksim::kMaxDataPayload + 1);
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(ReadAll(host.Get(), packet.data(), packet.size())) << i;
        ASSERT_EQ(ferry::GetU32(packet.data()), ferry::kPacketSignature) << i;
        ASSERT_EQ(ferry::GetU32(packet.data() + 4), docksim::kMaxDataPayload + ferry::kTlvHeaderSize + 1) << i;
        ASSERT_EQ(ferry::GetU16(packet.data() + 8), ferry::kCmdDataMessage) << i;
    }
}

} // namespace
} // namespace proxytest
