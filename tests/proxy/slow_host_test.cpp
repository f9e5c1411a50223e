// A host whose callback is slow, or that calls back into the library from
// its callback, and acknowledgements that come in part: the serial reader
// keeps its sense of time, a stale answer queued behind the callback is
// never taken, and nothing opens on a stream that is out of step.
#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

#include <atomic>

namespace proxytest {
namespace {

using docksim::Channel;
using docksim::Hostile;

// A callback held at a gate, so that the dispatcher stays busy.
class Gate {
public:
    void Shut()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    void Open()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void Pass()
    {
        ++entered_;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }
    int Entered() const { return entered_.load(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    std::atomic<int> entered_{0};
};

Gate g_gate;

int32_t GatedCallback(int32_t reserved, const uint8_t *payload, int32_t length)
{
    g_gate.Pass();
    return CallbackLog::Callback(reserved, payload, length);
}

TEST_F(SerialTest, SlowCallbackNeverMakesTheReaderSpliceACutMessage)
{
    ScopedLimits limits(kQuickLineLimits);
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(RegisterCallbackForProxy(&GatedCallback), 0);
    g_gate.Shut();
    for (int i = 0; i < 40; ++i)
        sim_->SendRaw(Channel::Command, NumberedMessage(8, uint8_t(i)));
    std::this_thread::sleep_for(100ms);
    // A message cut short, a quiet line, then a whole one, all while the
    // callback holds the dispatcher up.
    Bytes cut = NumberedMessage(300, 0);
    Bytes whole = NumberedMessage(300, 100);
    sim_->SendRaw(Channel::Command, Bytes(cut.begin(), cut.begin() + 100));
    std::this_thread::sleep_for(300ms);
    sim_->SendRaw(Channel::Command, whole);
    std::this_thread::sleep_for(100ms);
    g_gate.Open();
    ASSERT_TRUE(Deliveries().WaitFor(41, 2s));
    std::this_thread::sleep_for(100ms);
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), 41u);
    EXPECT_EQ(got.back().payload, Bytes(whole.begin() + 12, whole.end() - 1));
}

TEST_F(SerialTest, StaleAnswerQueuedBehindASlowCallbackIsNotTaken)
{
    sim_->SetHostile(Hostile::Silent);
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(RegisterCallbackForProxy(&GatedCallback), 0);
    g_gate.Shut();
    int entered = g_gate.Entered();
    sim_->SendRaw(Channel::Command, NumberedMessage(4, 1)); // holds the dispatcher in the callback
    ASSERT_TRUE(Eventually([&] { return g_gate.Entered() > entered; }));
    sim_->SendRaw(Channel::Command, EncodePacket(1, {0x33, 0x33, 0x33, 0x33})); // queued behind it
    std::this_thread::sleep_for(100ms);
    std::thread release([] {
        std::this_thread::sleep_for(50ms);
        g_gate.Open();
    });
    Bytes out(4, 0xAA);
    {
        AnswerWhenAsked answer(*sim_, 2, EncodePacket(1, {0x44, 0x44, 0x44, 0x44}));
        EXPECT_EQ(rdmremote(0x100, out.data(), 4), 0);
    }
    release.join();
    EXPECT_EQ(out, Bytes(4, 0x44));
}

TEST_F(TcpTest, AcknowledgementThatComesOnlyInPartOpensNothing)
{
    Restart({.hostile = Hostile::NoAck});
    Bytes ack = EncodePacket(6, {});
    std::thread late([&] {
        if (!sim_->WaitRequests(1, 5s))
            return;
        sim_->SendRaw(Channel::Command, Bytes(ack.begin(), ack.begin() + 10)); // header and type
        std::this_thread::sleep_for(kTestLimits.reply + 50ms);
        sim_->SendRaw(Channel::Command, Bytes(ack.begin() + 10, ack.end()));
    });
    EXPECT_EQ(Open(), -1);
    late.join();
}

std::atomic<int32_t> g_fromCallback{99};

int32_t ReadingCallback(int32_t, const uint8_t *, int32_t)
{
    uint8_t out[4];
    g_fromCallback = rdmremote(0x100, out, 4);
    return 0;
}

TEST_P(BothTest, RemoteReadFromTheCallbackIsAnsweredOrRefusedAtOnce)
{
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(RegisterCallbackForProxy(&ReadingCallback), 0);
    g_fromCallback = 99;
    auto start = std::chrono::steady_clock::now();
    sim_->SendDataMessage({1, 2, 3});
    ASSERT_TRUE(Eventually([] { return g_fromCallback.load() != 99; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, kTestLimits.reply);
    // On serial the callback's thread is the one that delivers replies: the
    // read is refused and the link stays up.
    EXPECT_EQ(g_fromCallback.load(), serial_ ? -1 : 0);
    Bytes out(4, 0xAA);
    EXPECT_EQ(rdmremote(0x100, out.data(), 4), 0);
}

} // namespace
} // namespace proxytest
