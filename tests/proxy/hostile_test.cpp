// A target that misbehaves never crashes, hangs or corrupts the host.
#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

using docksim::Hostile;

// Reads 8 bytes at `address` with the link in `mode`, expecting `result`;
// the buffer starts filled with 0xAA so that untouched bytes show.
Bytes ReadInMode(docksim::DockSim &sim, Hostile mode, uint32_t address, int32_t result = 0)
{
    sim.SetHostile(mode);
    Bytes out(8, 0xAA);
    EXPECT_EQ(rdmremote(address, out.data(), 8), result);
    return out;
}

TEST_P(BothTest, ShortLengthRepliesAreRefusedAndMessagesDroppedInStep)
{
    OpenOk();
    EXPECT_EQ(ReadInMode(*sim_, Hostile::ShortLength, 0x100, -7), Bytes(8, 0));
    sim_->SendDataMessage({1, 2, 3});
    EXPECT_EQ(ReadInMode(*sim_, Hostile::None, 0x100), MemoryAt(0x100, 8, 8));
    sim_->SendDataMessage({4});
    ASSERT_TRUE(Deliveries().WaitFor(1));
    EXPECT_EQ(Deliveries().Items()[0].payload, Bytes{4});
}

TEST_P(BothTest, BadSignatureMessagesAreDropped)
{
    OpenOk();
    ::testing::internal::CaptureStderr();
    sim_->SetHostile(Hostile::BadSignature);
    sim_->SendDataMessage({1, 2, 3}); // header and body: exactly two 8-byte blocks
    sim_->SetHostile(Hostile::None);
    sim_->SendDataMessage({5});
    bool delivered = Deliveries().WaitFor(1);
    std::string out = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(delivered);
    EXPECT_EQ(Deliveries().Items().size(), 1u);
    EXPECT_EQ(Deliveries().Items()[0].payload, Bytes{5});
    std::string diagnostic = "if(stCommandHeader.uiSignature != PACKET_SIGNATURE)";
    EXPECT_EQ(out, serial_ ? "" : diagnostic + diagnostic);
}

TEST_F(TcpTest, ReplySignatureIsNotExamined)
{
    OpenOk();
    EXPECT_EQ(ReadInMode(*sim_, Hostile::BadSignature, 0x300), MemoryAt(0x300, 8, 8));
}

// A read that got no whole reply: -4, zeros where the 0xAA fill was, the
// host told once that the link failed, and the port closed until the next
// open, so that the reply cannot turn up as a later read's answer.
void ExpectReadFailedAndLinkClosed(docksim::DockSim &sim, Hostile mode, uint32_t address)
{
    sim.SetHostile(mode);
    Bytes out(8, 0xAA);
    EXPECT_EQ(rdmremote(address, out.data(), 8), -4);
    EXPECT_EQ(out, Bytes(8, 0));
    ExpectOneLinkFailureNotice();
    EXPECT_EQ(rdmremote(address, out.data(), 8), -1);
    uint32_t value = 1;
    EXPECT_EQ(wrmremote(address, &value), -1);
    uint8_t buffer[16];
    EXPECT_EQ(ReadDataMessage(buffer, sizeof buffer), -1);
    EXPECT_EQ(Deliveries().Items().size(), 1u);
}

TEST_P(BothTest, HugeLengthNeverAllocatesOrOverreads)
{
    OpenOk();
    // The reply claims 0xFFFFFFF0 bytes, carries 13 and the target goes quiet
    // (serial) or closes (TCP): no whole reply came.
    ExpectReadFailedAndLinkClosed(*sim_, Hostile::HugeLength, 0x200);
}

TEST_P(BothTest, TruncatedReplyFailsTheRead)
{
    OpenOk();
    // 13 bytes of TLV cut to 6: command type, length and two payload bytes.
    ExpectReadFailedAndLinkClosed(*sim_, Hostile::Truncated, 0x400);
}

TEST_P(BothTest, SilentTargetFailsTheReadWithinTheLimitAndAReopenIsInStep)
{
    size_t threads = ThreadCount();
    size_t descriptors = DescriptorCount();
    OpenOk();
    auto start = std::chrono::steady_clock::now();
    ExpectReadFailedAndLinkClosed(*sim_, Hostile::Silent, 0x500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kTestLimits.reply + 1s);
    // The late reply comes after all; the reopened link never hands it out.
    sim_->SendRaw(docksim::Channel::Command, EncodePacket(1, {0xEE, 0xEE, 0xEE, 0xEE}));
    CloseCommunicationPort(); // and the close does not wait on the silent target
    // The failed link's threads end on their own; under the thread sanitizer
    // the last one may still be on its way out here.
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
    EXPECT_TRUE(Eventually([&] { return DescriptorCount() == descriptors; }));
    sim_->SetHostile(Hostile::None);
    OpenOk();
    Bytes out(8, 0xAA);
    ASSERT_EQ(rdmremote(0x600, out.data(), 8), 0);
    EXPECT_EQ(out, MemoryAt(0x600, 8, 8));
}

} // namespace
} // namespace proxytest
