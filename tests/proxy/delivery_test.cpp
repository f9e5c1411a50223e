// Data messages from the target reach the callback; replies reach readers.
#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

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

// The host's standard output is its own: diagnostics go to standard error.
TEST_F(TcpTest, WrongSignatureAndOtherTypesAreNamedOnStandardError)
{
    OpenOk();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    sim_->SendRaw(Channel::Notify, {0x01, 0x02, 0x03, 0x04, 5, 0, 0, 0});
    sim_->SendRaw(Channel::Notify, EncodePacket(9, {1}));
    sim_->SendDataMessage({4, 4});
    bool delivered = Deliveries().WaitFor(1);
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(delivered);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "if(stCommandHeader.uiSignature != PACKET_SIGNATURE)"
                   "\npTLVFormat_Packet->usCommandType 9\n");
    EXPECT_EQ(Deliveries().Items()[0].payload, (Bytes{4, 4}));
}

// One message too long to deliver: it comes after everything sent before
// it and is dropped and counted, so once the count shows it, they are in.
void SendMarkerAndWait(docksim::DockSim &sim, uint64_t dropped)
{
    sim.SendDataMessage(Bytes(FERRYLINK_MAX_MESSAGE + 1, 0xEE));
    ASSERT_TRUE(Eventually([&] { return FerryDroppedMessages() == dropped; }));
}

// The documented order is open, then register: what the target sends in
// between waits for the callback, in order, and so does what comes while
// the host has unregistered; the receive thread goes on either way.
TEST_P(BothTest, MessagesWithoutACallbackAreKeptAndDeliveredFirstInOrder)
{
    ASSERT_EQ(Open(), 1);
    for (uint8_t i = 1; i <= 3; ++i)
        sim_->SendDataMessage({i});
    ASSERT_NO_FATAL_FAILURE(SendMarkerAndWait(*sim_, 1));
    EXPECT_TRUE(Deliveries().Items().empty());
    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
    sim_->SendDataMessage({4});
    ASSERT_TRUE(Deliveries().WaitFor(4));

    ASSERT_EQ(RegisterCallbackForProxy(nullptr), 0);
    sim_->SendDataMessage({5});
    sim_->SendDataMessage({6});
    ASSERT_NO_FATAL_FAILURE(SendMarkerAndWait(*sim_, 2));
    EXPECT_EQ(Deliveries().Items().size(), 4u);
    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
    ASSERT_TRUE(Deliveries().WaitFor(6));
    std::this_thread::sleep_for(20ms);

    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), 6u);
    for (uint8_t i = 0; i < 6; ++i) {
        EXPECT_EQ(got[i].payload, Bytes{uint8_t(i + 1)});
        EXPECT_NE(got[i].thread, std::this_thread::get_id());
    }
    EXPECT_EQ(FerryDroppedMessages(), 2u); // the two markers alone
}

TEST_P(BothTest, KeptMessagesAreBoundedAndTheRestDroppedAndCounted)
{
    ASSERT_EQ(Open(), 1);
    // Exactly the bound: the largest messages, and one of what is left.
    const size_t largest = FERRYLINK_MAX_MESSAGE;
    const size_t full = FERRYLINK_EARLY_LIMIT / largest;
    const size_t rest = FERRYLINK_EARLY_LIMIT - full * largest;
    for (size_t i = 0; i < full; ++i)
        sim_->SendDataMessage(Bytes(largest, uint8_t(i)));
    sim_->SendDataMessage(Bytes(rest, 0xFF));
    sim_->SendDataMessage({0x01}); // one byte beyond the bound
    ASSERT_NO_FATAL_FAILURE(SendMarkerAndWait(*sim_, 2));

    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
    ASSERT_TRUE(Deliveries().WaitFor(full + 1));
    sim_->SendDataMessage({0x02});
    ASSERT_TRUE(Deliveries().WaitFor(full + 2));
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), full + 2);
    for (size_t i = 0; i < full; ++i)
        ASSERT_EQ(got[i].payload, Bytes(largest, uint8_t(i))) << i;
    EXPECT_EQ(got[full].payload, Bytes(rest, 0xFF));
    EXPECT_EQ(got[full + 1].payload, Bytes{0x02});
    EXPECT_EQ(FerryDroppedMessages(), 2u);

    // What is still kept when the port closes was dropped too; the next
    // open counts from nothing.
    ASSERT_EQ(RegisterCallbackForProxy(nullptr), 0);
    sim_->SendDataMessage({0x03});
    ASSERT_NO_FATAL_FAILURE(SendMarkerAndWait(*sim_, 3));
    CloseCommunicationPort();
    EXPECT_EQ(FerryDroppedMessages(), 4u);
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(FerryDroppedMessages(), 0u);
}

} // namespace
} // namespace proxytest
