// A reply is only ever taken by the request it answers: a reply that comes
// too late, or only in part, closes the port instead of turning up as the
// answer to a later request; every wait is bounded; failures are reported.
#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

using docksim::Channel;
using docksim::Hostile;

const ferry::Limits kShortReply{
    .reply = 200ms, .sendStall = 2000ms, .connect = 2000ms, .openAck = 1000ms, .serialQuiet = 500ms};

TEST_P(BothTest, LateReplyIsNeverTakenForALaterRequest)
{
    ScopedLimits limits(kShortReply);
    sim_->SetHostile(Hostile::Silent);
    OpenOk();
    Bytes out(4, 0xAA);
    EXPECT_EQ(rdmremote(0x100, out.data(), 4), -4);
    EXPECT_EQ(out, Bytes(4, 0));
    // The first read's answer turns up after all, before the next read.
    sim_->SendRaw(Channel::Command, EncodePacket(1, {0x11, 0x11, 0x11, 0x11}));
    std::this_thread::sleep_for(50ms);
    out.assign(4, 0xAA);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rdmremote(0x200, out.data(), 4), -1);
    EXPECT_EQ(out, Bytes(4, 0xAA));
    uint8_t buffer[64];
    EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(Deliveries().Items().size(), 1u); // the link-failure notification

    // A new open is in step again: each read gets its own address's bytes.
    CloseCommunicationPort();
    sim_->SetHostile(Hostile::None);
    OpenOk();
    ASSERT_EQ(rdmremote(0x200, out.data(), 4), 0);
    EXPECT_EQ(out, MemoryAt(0x200, 4, 4));
    ASSERT_EQ(rdmremote(0x300, out.data(), 4), 0);
    EXPECT_EQ(out, MemoryAt(0x300, 4, 4));
}

TEST_P(BothTest, ReadDataMessageThatTimesOutClosesThePortToo)
{
    ScopedLimits limits(kShortReply);
    sim_->SetHostile(Hostile::Silent);
    OpenOk();
    uint8_t buffer[64];
    EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -4);
    sim_->SendRaw(Channel::Command, EncodePacket(1, {0x22}));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
    EXPECT_EQ(SendDataMessage(buffer, 1, 4), -1);
}

TEST_F(SerialTest, ReplyStoredBeforeTheRequestIsNotItsAnswer)
{
    sim_->SetHostile(Hostile::Silent);
    OpenOk();
    // An answer nobody asked for (a duplicate, say) waits in the store...
    sim_->SendRaw(Channel::Command, EncodePacket(1, {0x33, 0x33, 0x33, 0x33}));
    std::this_thread::sleep_for(100ms);
    // ... and the next read's own answer is the one it returns.
    Bytes out(4, 0xAA);
    {
        AnswerWhenAsked answer(*sim_, 2, EncodePacket(1, {0x44, 0x44, 0x44, 0x44}));
        EXPECT_EQ(rdmremote(0x100, out.data(), 4), 0);
    }
    EXPECT_EQ(out, Bytes(4, 0x44));
}

TEST_F(TcpTest, HeaderThenStallEndsAtTheReplyLimitNotTwice)
{
    // Long enough that one allowance for the header and another for the body
    // (1,000 ms in all here) stands well apart from one for the whole reply.
    const ferry::Limits limits{
        .reply = 600ms, .sendStall = 1000ms, .connect = 1000ms, .openAck = 300ms, .serialQuiet = 500ms};
    ScopedLimits scoped(limits);
    sim_->SetHostile(Hostile::Silent);
    OpenOk();
    // The header comes late but in time; the body never does.
    std::thread late([&] {
        std::this_thread::sleep_for(400ms);
        Bytes packet = EncodePacket(1, {1, 2, 3, 4});
        sim_->SendRaw(Channel::Command, Bytes(packet.begin(), packet.begin() + 8));
    });
    auto start = std::chrono::steady_clock::now();
    Bytes out(4, 0xAA);
    EXPECT_EQ(rdmremote(0x100, out.data(), 4), -4);
    auto took = std::chrono::steady_clock::now() - start;
    late.join();
    EXPECT_GE(took, limits.reply - 50ms);
    EXPECT_LT(took, limits.reply + 250ms);
    EXPECT_EQ(out, Bytes(4, 0));
}

} // namespace
} // namespace proxytest
