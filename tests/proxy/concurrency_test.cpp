// Calls from several threads at once, and from the callback while a host
// call waits: each call gets its own reply, every packet reaches the target
// whole, and nothing deadlocks.
#include <atomic>

#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

constexpr uint32_t kReadRegion[2] = {0x10000, 0x20000};
constexpr uint32_t kWriteRegion = 0x80000;

size_t CountOfType(const std::vector<Bytes> &requests, uint16_t type)
{
    size_t n = 0;
    for (const Bytes &r : requests)
        n += r.size() >= 10 && ferry::GetU16(&r[8]) == type ? 1 : 0;
    return n;
}

TEST_P(BothTest, CallsFromThreadsAtOnceEachGetTheirOwnReply)
{
    OpenOk();
    constexpr uint32_t kCalls = 300;
    std::atomic<int> wrong{0};
    auto reader = [&](uint32_t base, uint32_t count) {
        for (uint32_t i = 0; i < kCalls; ++i) {
            uint32_t address = base + i * 16;
            Bytes out(count, 0xAA);
            if (rdmremote(address, out.data(), count) != 0 || out != MemoryAt(address, count, count))
                ++wrong;
        }
    };
    std::thread first(reader, kReadRegion[0], 4);
    std::thread second(reader, kReadRegion[1], 12);
    std::thread writer([&] {
        for (uint32_t i = 0; i < kCalls; ++i) {
            if (wrmremote(kWriteRegion + i * 4, &i) != 0)
                ++wrong;
        }
    });
    first.join();
    second.join();
    writer.join();
    EXPECT_EQ(wrong.load(), 0);

    // Every request reached the target whole, and every write where it was
    // meant. Writes are not answered: the reply to a read that follows them
    // on the link is what says the target has taken them all.
    Bytes written(kCalls * 4);
    ASSERT_EQ(rdmremote(kWriteRegion, written.data(), 1024), 0);
    for (uint32_t i = 0; i < 256; ++i)
        ASSERT_EQ(ferry::GetU32(&written[i * 4]), i) << i;
    std::vector<Bytes> requests = sim_->Requests();
    EXPECT_EQ(CountOfType(requests, ferry::kCmdReadMemory), 2 * kCalls + 1);
    EXPECT_EQ(CountOfType(requests, ferry::kCmdWriteMemory), kCalls);
    EXPECT_TRUE(Deliveries().Items().empty());
}

std::atomic<int> g_callbackWrong{0};
std::atomic<int> g_callbackCalls{0};
std::atomic<bool> g_callbackReads{false};

// Sends, writes and (over TCP) reads from the callback's thread.
int32_t BusyCallback(int32_t, const uint8_t *payload, int32_t length)
{
    if (length != 1)
        return 0;
    uint32_t n = payload[0];
    uint8_t echo[3] = {0xEC, 0x40, payload[0]};
    if (SendDataMessage(echo, sizeof echo, 4) != 0)
        ++g_callbackWrong;
    if (wrmremote(kWriteRegion + n * 4, &n) != 0)
        ++g_callbackWrong;
    if (g_callbackReads) {
        uint32_t address = kReadRegion[1] + n * 8;
        Bytes out(8, 0xAA);
        if (rdmremote(address, out.data(), 8) != 0 || out != MemoryAt(address, 8, 8))
            ++g_callbackWrong;
    }
    ++g_callbackCalls;
    return 0;
}

// On serial the dispatcher that runs the callback also delivers the host's
// replies: a callback that had to wait for the host call would never end.
TEST_P(BothTest, CallbackCallingTheLibraryWhileAHostCallWaitsNeitherDeadlocksNorMixesReplies)
{
    g_callbackWrong = 0;
    g_callbackCalls = 0;
    g_callbackReads = !serial_;
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(RegisterCallbackForProxy(&BusyCallback), 0);
    constexpr int kMessages = 100;
    std::thread target([&] {
        for (int i = 0; i < kMessages; ++i) {
            sim_->SendDataMessage({uint8_t(i)});
            std::this_thread::sleep_for(1ms);
        }
    });
    int wrong = 0;
    for (uint32_t i = 0; i < 400 && (i < 50 || g_callbackCalls < kMessages); ++i) {
        uint32_t address = kReadRegion[0] + i * 8;
        Bytes out(8, 0xAA);
        if (rdmremote(address, out.data(), 8) != 0 || out != MemoryAt(address, 8, 8))
            ++wrong;
    }
    target.join();
    ASSERT_TRUE(Eventually([] { return g_callbackCalls.load() == kMessages; }));
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(g_callbackWrong.load(), 0);
    EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_OPEN);
    // The callback's packets arrived whole among the host's. Writes and data
    // messages are not acknowledged, so the last ones may still be in flight.
    auto counts = [&] {
        std::vector<Bytes> requests = sim_->Requests();
        return std::pair(CountOfType(requests, ferry::kCmdDataMessage), CountOfType(requests, ferry::kCmdWriteMemory));
    };
    Eventually([&] { return counts().first >= size_t(kMessages) && counts().second >= size_t(kMessages); });
    EXPECT_EQ(counts(), std::pair(size_t(kMessages), size_t(kMessages)));
}

} // namespace
} // namespace proxytest
