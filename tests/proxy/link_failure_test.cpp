// A link that fails is always told, once, and never used again: a
// connection or the line that ends, a send that stalls half-way.
#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

using docksim::Channel;

// Tests with a hand-driven target instead of docksim.
class RawTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ferry::SetLimits(kTestLimits);
        Deliveries().Clear();
    }
    void TearDown() override { CloseCommunicationPort(); }
};

TEST_F(RawTest, EndOfAnyConnectionIsToldByTheLibraryThread)
{
    struct Case {
        const char *what;
        bool serial;
        Channel ended;
    };
    for (Case c : {Case{"tcp command", false, Channel::Command}, Case{"tcp notification", false, Channel::Notify},
                   Case{"serial line", true, Channel::Command}}) {
        SCOPED_TRACE(c.what);
        Deliveries().Clear();
        RawTarget target(c.serial);
        ASSERT_TRUE(target.Valid());
        ASSERT_EQ(target.Open(), 1);
        ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
        target.End(c.ended);
        // The host makes no call: only the library's thread can tell it.
        ASSERT_TRUE(Deliveries().WaitFor(1, 2s));
        std::vector<Delivery> got = Deliveries().Items();
        EXPECT_EQ(got[0].payload, (Bytes{12, 0, 2, 0}));
        EXPECT_NE(got[0].thread, std::this_thread::get_id());
        EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_FAILED);
        uint8_t byte = 1;
        EXPECT_EQ(SendDataMessage(&byte, 1, 4), -1);
        EXPECT_EQ(Deliveries().Items().size(), 1u);
        CloseCommunicationPort();
    }
}

// A target that sends a burst and goes away: every message that came before
// the end reaches the host before the end is told.
TEST_F(RawTest, WhatCameBeforeTheEndIsDeliveredBeforeTheEndIsTold)
{
    RawTarget target(false);
    ASSERT_TRUE(target.Valid());
    ASSERT_EQ(target.Open(), 1);
    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
    // More than one read of the receive thread: bytes still wait in the
    // socket when the command connection's end shows.
    constexpr size_t kMessages = 400;
    Bytes burst;
    for (size_t i = 0; i < kMessages; ++i) {
        Bytes payload(1000, uint8_t(i));
        payload[0] = uint8_t(i >> 8);
        Bytes packet = ferry::EncodePacket(ferry::kCmdDataMessage, payload);
        burst.insert(burst.end(), packet.begin(), packet.end());
    }
    target.Send(Channel::Notify, burst);
    target.End(Channel::Command);
    ASSERT_TRUE(Deliveries().WaitFor(kMessages + 1, 5s));
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), kMessages + 1);
    for (size_t i = 0; i < kMessages; ++i)
        ASSERT_EQ(got[i].payload.size(), 1000u) << i;
    EXPECT_EQ(got.back().payload, (Bytes{12, 0, 2, 0}));
}

// The call under way finds the end itself and tells it; the library's
// thread, which saw it too, does not tell it again.
TEST_F(RawTest, LinkLostDuringACallIsToldOnceByThatCall)
{
    ScopedLimits limits(
        {.reply = 3000ms, .sendStall = 1000ms, .connect = 1000ms, .openAck = 200ms, .serialQuiet = 500ms});
    for (bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "serial" : "tcp");
        Deliveries().Clear();
        RawTarget target(serial);
        ASSERT_TRUE(target.Valid());
        ASSERT_EQ(target.Open(), 1);
        ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
        std::thread leave([&] {
            std::this_thread::sleep_for(50ms);
            target.End(Channel::Notify); // the notification connection first
            std::this_thread::sleep_for(50ms);
            target.End(Channel::Command);
        });
        auto start = std::chrono::steady_clock::now();
        Bytes out(4, 0xAA);
        EXPECT_EQ(rdmremote(0x100, out.data(), 4), -4);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        leave.join();
        std::this_thread::sleep_for(50ms);
        std::vector<Delivery> got = Deliveries().Items();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].payload, (Bytes{12, 0, 2, 0}));
        EXPECT_EQ(got[0].thread, std::this_thread::get_id());
        CloseCommunicationPort();
    }
}

// A target that stops reading: sooner or later a packet goes out only in
// part. The stream is then out of step, so the link fails at once, as
// after a send where nothing went out, and nothing follows the cut packet.
TEST_F(RawTest, SendThatStallsFailsTheLinkEvenWhenPartWentOut)
{
    ScopedLimits limits(
        {.reply = 200ms, .sendStall = 100ms, .connect = 1000ms, .openAck = 200ms, .serialQuiet = 500ms});
    struct Case {
        bool serial;
        bool remoteWrite; // wrmremote instead of SendDataMessage
        int32_t failure;
    };
    Bytes payload(FERRYLINK_MAX_REQUEST, 0x5A);
    // (A remote write over TCP would take a hundred thousand packets to fill
    // the buffers; the serial line shows its code.)
    for (Case c : {Case{false, false, -1}, Case{true, false, -1}, Case{true, true, -5}}) {
        SCOPED_TRACE(std::string(c.serial ? "serial" : "tcp") + (c.remoteWrite ? " wrmremote" : " send"));
        Deliveries().Clear();
        RawTarget target(c.serial, 4096);
        ASSERT_TRUE(target.Valid());
        ASSERT_EQ(target.Open(), 1);
        ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
        const size_t packet = c.remoteWrite ? 8 + ferry::kPacketOverhead : payload.size() + ferry::kPacketOverhead;
        uint32_t value = 0x01020304;
        int32_t result = 0;
        size_t sent = 0;
        auto end = std::chrono::steady_clock::now() + 5s;
        while (result == 0 && std::chrono::steady_clock::now() < end) {
            result =
                c.remoteWrite ? wrmremote(0x100, &value) : SendDataMessage(payload.data(), int32_t(payload.size()), 4);
            sent += result == 0 ? 1 : 0;
        }
        EXPECT_EQ(result, c.failure);
        ASSERT_NO_FATAL_FAILURE(ExpectOneLinkFailureNotice());
        EXPECT_EQ(Deliveries().Items()[0].thread, std::this_thread::get_id());
        EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_FAILED);
        EXPECT_EQ(SendDataMessage(payload.data(), 1, 4), -1);
        // The target reads on: the whole packets, then at most the cut one.
        Bytes got = target.Drain(50ms);
        EXPECT_GE(got.size(), sent * packet);
        EXPECT_LT(got.size(), (sent + 1) * packet);
        CloseCommunicationPort();
    }
}

} // namespace
} // namespace proxytest
