// Data messages from the target reach the callback; replies reach readers.
#include "harness.h"
#include "wire.h"

namespace proxytest {
namespace {

using docksim::Channel;

TEST_P(BothTest, DataMessagesReachTheCallbackOnTheReceiveThread)
{
    OpenOk();
    sim_->SendDataMessage({}); // a 13-byte packet: the callback gets length 0
    Bytes message(1000);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = uint8_t(i * 7);
    sim_->SendDataMessage(message);

    // One written a few bytes at a time arrives whole.
    Bytes pieces = EncodePacket(4, {0x0C, 0x00, 0x07, 0x00, 1, 2, 3, 4, 5});
    for (size_t at = 0; at < pieces.size(); at += 3) {
        sim_->SendRaw(Channel::Notify,
                      Bytes(pieces.begin() + long(at), pieces.begin() + long(std::min(at + 3, pieces.size()))));
        std::this_thread::sleep_for(3ms);
    }
    // Eight bytes with a wrong signature are dropped; the next header is read on.
    sim_->SendRaw(Channel::Notify, {0xEF, 0xBE, 0xAD, 0xDE, 5, 0, 0, 0});
    sim_->SendDataMessage({9, 9});

    ASSERT_TRUE(Deliveries().WaitFor(4));
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(got[0].payload.empty());
    EXPECT_EQ(got[1].payload, message);
    EXPECT_EQ(got[2].payload, (Bytes{0x0C, 0x00, 0x07, 0x00, 1, 2, 3, 4, 5}));
    EXPECT_EQ(got[3].payload, (Bytes{9, 9}));
    for (const Delivery &d : got)
        EXPECT_NE(d.thread, std::this_thread::get_id());
}

TEST_P(BothTest, ReplyLargerThanTheCapacityIsRefusedAndTheStreamStaysInStep)
{
    sim_->SetHostile(docksim::Hostile::Silent);
    OpenOk();
    sim_->SendRaw(Channel::Command, EncodePacket(1, {1, 2, 3, 4, 5, 6, 7, 8}));
    uint8_t small[6] = {};
    EXPECT_EQ(ReadDataMessage(small, sizeof small), -4);
    EXPECT_EQ(Bytes(small, small + 6), (Bytes{1, 0, 8, 0, 1, 2}));

    sim_->SendRaw(Channel::Command, EncodePacket(1, {0x42}));
    uint8_t buffer[64] = {};
    ASSERT_EQ(ReadDataMessage(buffer, sizeof buffer), 6);
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{1, 0, 1, 0, 0x42, 0}));
    EXPECT_EQ(ReadDataMessage(nullptr, 8), -6);
    EXPECT_EQ(ReadDataMessage(buffer, 0), -6);
}

TEST_F(TcpTest, ReadDataMessageReturnsTheNextPacketOfAnyType)
{
    sim_->SetHostile(docksim::Hostile::Silent);
    OpenOk();
    sim_->SendRaw(Channel::Command, EncodePacket(9, {1, 2, 3}));
    uint8_t buffer[32] = {};
    ASSERT_EQ(ReadDataMessage(buffer, sizeof buffer), 8);
    EXPECT_EQ(Bytes(buffer, buffer + 8), (Bytes{9, 0, 3, 0, 1, 2, 3, 0}));
}

TEST_F(SerialTest, ReplyArrivingBeforeTheReadIsReturnedAtOnce)
{
    sim_->SetHostile(docksim::Hostile::Silent);
    OpenOk();
    sim_->SendRaw(Channel::Command, EncodePacket(9, {7})); // not a reply: ignored
    sim_->SendRaw(Channel::Command, EncodePacket(1, {0xAB, 0xCD}));
    std::this_thread::sleep_for(100ms); // the reply is stored, nobody waits yet
    uint8_t buffer[32] = {};
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ReadDataMessage(buffer, sizeof buffer), 7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(Bytes(buffer, buffer + 7), (Bytes{1, 0, 2, 0, 0xAB, 0xCD, 0}));
}

TEST_F(TcpTest, WrongSignaturePrintsOnceAndOtherTypesAreNamed)
{
    OpenOk();
    ::testing::internal::CaptureStdout();
    sim_->SendRaw(Channel::Notify, {0x01, 0x02, 0x03, 0x04, 5, 0, 0, 0});
    sim_->SendRaw(Channel::Notify, EncodePacket(9, {1}));
    sim_->SendDataMessage({4, 4});
    bool delivered = Deliveries().WaitFor(1);
    std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(delivered);
    EXPECT_EQ(out, "if(stCommandHeader.uiSignature != PACKET_SIGNATURE)"
                   "\npTLVFormat_Packet->usCommandType 9\n");
    EXPECT_EQ(Deliveries().Items()[0].payload, (Bytes{4, 4}));
}

TEST_F(TcpTest, DataMessageWithoutCallbackEndsTheReceiveThread)
{
    size_t before = ThreadCount();
    ASSERT_EQ(Open(), 1);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == before + 1; }));
    sim_->SendDataMessage({1});
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == before; }));
    // Registering later does not bring the thread back; a new open does.
    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
    sim_->SendDataMessage({2});
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(Deliveries().Items().empty());
    CloseCommunicationPort();
    OpenOk();
    sim_->SendDataMessage({3});
    ASSERT_TRUE(Deliveries().WaitFor(1));
    EXPECT_EQ(Deliveries().Items()[0].payload, Bytes{3});
}

TEST_F(SerialTest, DataMessageWithoutCallbackIsDroppedAndLaterOnesDelivered)
{
    ASSERT_EQ(Open(), 1);
    sim_->SendDataMessage({1});
    sim_->SendDataMessage({2});
    // The reply comes down the same line after them, so once it is back the
    // two messages have been dispatched.
    uint8_t word[4];
    ASSERT_EQ(rdmremote(0, word, 4), 0);
    ASSERT_EQ(word[0], docksim::DockSim::InitialByte(0));
    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
    sim_->SendDataMessage({3});
    ASSERT_TRUE(Deliveries().WaitFor(1));
    std::this_thread::sleep_for(50ms);
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payload, Bytes{3});
}

} // namespace
} // namespace proxytest
