// What each export puts on the wire, byte for byte, on both transports.
#include "tests/proxy/harness.h"
#include "proxy/wire/wire.h"

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

// A remote read whose reply carries fewer bytes than the count is refused
// (-7, the destination all zeros), whatever its header claims; the whole
// reply has been read, so the link stays in step and open.
TEST_P(BothTest, RemoteReadReplyShorterThanTheCountIsRefusedInStep)
{
    struct Case {
        const char *what;
        Bytes reply; // whole packet, as the target sends it
        int32_t result;
        Bytes memory; // the 8-byte destination afterwards
    };
    const Bytes none(8, 0);
    const Case cases[] = {
        {"just the command type", {0xCE, 0xFA, 0xBE, 0xBA, 2, 0, 0, 0, 1, 0}, -7, none},
        {"two of eight bytes", EncodePacket(1, {0x11, 0x22}), -7, none},
        {"claims eight, carries two", {0xCE, 0xFA, 0xBE, 0xBA, 6, 0, 0, 0, 1, 0, 8, 0, 0x33, 0x44}, -7, none},
        {"seven of eight bytes", EncodePacket(1, {1, 2, 3, 4, 5, 6, 7}), -7, none},
        {"all eight", EncodePacket(1, {1, 2, 3, 4, 5, 6, 7, 8}), 0, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"more than asked for", EncodePacket(1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 0, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    sim_->SetHostile(docksim::Hostile::Silent); // replies come from the test
    OpenOk();
    size_t asked = 1; // the open
    for (const Case &c : cases) {
        Bytes out(8, 0xAA);
        {
            AnswerWhenAsked answer(*sim_, ++asked, c.reply);
            EXPECT_EQ(rdmremote(0, out.data(), 8), c.result) << c.what;
        }
        EXPECT_EQ(out, c.memory) << c.what;
    }
    EXPECT_EQ(FerryLinkState(), FERRYLINK_STATE_OPEN);
    EXPECT_TRUE(Deliveries().Items().empty()); // no link failure
    // A count of 0 asks for nothing, so an empty reply is whole.
    {
        AnswerWhenAsked answer(*sim_, ++asked, EncodePacket(1, {}));
        EXPECT_EQ(rdmremote(0, nullptr, 0), 0);
    }
}

} // namespace
} // namespace proxytest
