// What each export puts on the wire, byte for byte, on both transports.
#include "harness.h"
#include "wire.h"

namespace proxytest {
namespace {

TEST_P(BothTest, EveryRequestGoesOutByteForByte)
{
    OpenOk();
    const uint8_t payload[3] = {0xA1, 0xB2, 0xC3};
    EXPECT_EQ(SendDataMessage(payload, 3, 0x12345), 0); // only the low 16 bits travel
    EXPECT_EQ(SendDataMessage(nullptr, 0, 4), 0);       // an empty payload: 13 bytes
    uint32_t value = 0xCAFEF00D;
    EXPECT_EQ(wrmremote(0x10203040, &value), 0);
    EXPECT_EQ(value, 0xCAFEF00Du);
    uint8_t memory[4] = {};
    EXPECT_EQ(rdmremote(0x1000, memory, 4), 0);
    CloseCommunicationPort();

    ASSERT_TRUE(sim_->WaitRequests(6, 5s));
    std::vector<Bytes> got = sim_->Requests();
    std::vector<Bytes> expected = {
        EncodePacket(6, {}),
        EncodePacket(0x2345, {0xA1, 0xB2, 0xC3}),
        EncodePacket(4, {}),
        EncodePacket(2, Le32(0x10203040, 0xCAFEF00D)),
        EncodePacket(1, Le32(0x1000, 4)),
        EncodePacket(5, {}),
    };
    EXPECT_EQ(got, expected);
    // Spelled out once, so that the helper cannot hide a wrong layout.
    EXPECT_EQ(got[0], (Bytes{0xCE, 0xFA, 0xBE, 0xBA, 5, 0, 0, 0, 6, 0, 0, 0, 0}));
    EXPECT_EQ(got[4], (Bytes{0xCE, 0xFA, 0xBE, 0xBA, 13, 0, 0, 0, 1, 0, 8, 0, 0x00, 0x10, 0, 0, 4, 0, 0, 0, 0}));
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(memory[i], docksim::DockSim::InitialByte(0x1000 + i));
}

TEST_P(BothTest, PayloadsUpToTheRequestBufferAreSentLargerOnesRefused)
{
    OpenOk();
    Bytes largest(ferry::kMaxRequestPayload);
    for (size_t i = 0; i < largest.size(); ++i)
        largest[i] = uint8_t(i * 3);
    EXPECT_EQ(SendDataMessage(largest.data(), int32_t(largest.size()), 4), 0);

    Bytes tooLarge(ferry::kMaxRequestPayload + 1, 0x55);
    EXPECT_EQ(SendDataMessage(tooLarge.data(), int32_t(tooLarge.size()), 4), -1);
    EXPECT_EQ(SendDataMessage(largest.data(), -1, 4), -1);
    EXPECT_EQ(SendDataMessage(nullptr, 4, 4), -1);
    // Refusals are not link failures: the port stays open and nobody is told.
    EXPECT_EQ(SendDataMessage(largest.data(), 1, 4), 0);
    ASSERT_TRUE(sim_->WaitRequests(3, 5s));
    std::vector<Bytes> got = sim_->Requests();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].size(), ferry::kRequestBufferSize);
    EXPECT_EQ(got[1], EncodePacket(4, largest));
    EXPECT_EQ(got[2], EncodePacket(4, {largest[0]}));
    EXPECT_TRUE(Deliveries().Items().empty());
}

TEST_P(BothTest, RemoteReadSeesRemoteWritesAndLargestCount)
{
    OpenOk();
    Bytes memory(ferry::kMaxRequestPayload, 0xEE);
    ASSERT_EQ(rdmremote(0x2000, memory.data(), uint32_t(memory.size())), 0);
    for (uint32_t i = 0; i < memory.size(); ++i) {
        ASSERT_EQ(memory[i], docksim::DockSim::InitialByte(0x2000 + i)) << i;
    }
    uint32_t value = 0x11223344;
    ASSERT_EQ(wrmremote(0x2002, &value), 0);
    uint8_t word[8] = {};
    ASSERT_EQ(rdmremote(0x2000, word, 8), 0);
    EXPECT_EQ(word[2], 0x44);
    EXPECT_EQ(word[5], 0x11);
    EXPECT_EQ(word[6], docksim::DockSim::InitialByte(0x2006));

    // More than one reply can carry is refused before anything is sent.
    size_t sent = sim_->Requests().size();
    Bytes big(ferry::kMaxRequestPayload + 1, 0xEE);
    EXPECT_EQ(rdmremote(0x2000, big.data(), uint32_t(big.size())), -1);
    EXPECT_EQ(rdmremote(0x2000, nullptr, 4), -1);
    EXPECT_EQ(wrmremote(0x2000, nullptr), -1);
    EXPECT_EQ(sim_->Requests().size(), sent);
    EXPECT_EQ(big[0], 0xEE);
}

TEST_P(BothTest, RemoteReadCopiesOnlyWhatTheReplyCarried)
{
    sim_->SetHostile(docksim::Hostile::Silent); // replies come from the test
    OpenOk();
    // A reply whose payload is shorter than asked for (the open was request 1).
    uint8_t out[8];
    std::memset(out, 0xAA, sizeof out);
    {
        AnswerWhenAsked answer(*sim_, 2, EncodePacket(1, {0x11, 0x22}));
        ASSERT_EQ(rdmremote(0, out, 8), 0);
    }
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0x11, 0x22, 0, 0, 0, 0, 0, 0}));

    // A reply that claims 8 payload bytes but whose header carries only 2.
    Bytes lying = {0xCE, 0xFA, 0xBE, 0xBA, 6, 0, 0, 0, 1, 0, 8, 0, 0x33, 0x44};
    std::memset(out, 0xAA, sizeof out);
    {
        AnswerWhenAsked answer(*sim_, 3, lying);
        ASSERT_EQ(rdmremote(0, out, 8), 0);
    }
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0x33, 0x44, 0, 0, 0, 0, 0, 0}));
}

} // namespace
} // namespace proxytest
