// Packets on the serial line: found byte by byte after noise, ended by a
// quiet line measured from the last byte, never completed with the bytes
// of a later packet.
#include "tests/proxy/harness.h"
#include "proxy/serial_framer.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

using docksim::Channel;

struct Found {
    Bytes tlv;
    uint32_t length;
    bool complete;
    bool operator==(const Found &) const = default;
};

// Feeds the framer `stream` in pieces of `step` bytes; a quiet gap after
// each piece whose index is in `quietAfter`.
std::vector<Found> Frame(const Bytes &stream, size_t step, size_t capacity = 64,
                         const std::vector<size_t> &quietAfter = {})
{
    std::vector<Found> found;
    ferry::SerialFramer framer(capacity);
    auto sink = [&](const ferry::FramedPacket &p) {
        found.push_back({Bytes(p.tlv, p.tlv + p.carried), p.length, p.complete});
        return true;
    };
    size_t piece = 0;
    for (size_t at = 0; at < stream.size(); at += step, ++piece) {
        size_t n = std::min(step, stream.size() - at);
        framer.Feed(stream.data() + at, n, sink);
        for (size_t q : quietAfter) {
            if (q == piece)
                framer.LineQuiet();
        }
    }
    return found;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes TlvOf(const Bytes &packet)
{
    return Bytes(packet.begin() + 8, packet.end());
}

TEST(SerialFramer, NoiseLyingLengthsAndPartSignaturesLoseOnlyThemselves)
{
    Bytes a = EncodePacket(4, {1, 2, 3});
    Bytes b = EncodePacket(1, {});
    Bytes lying = {0xCE, 0xFA, 0xBE, 0xBA, 0xF0, 0xFF, 0xFF, 0xFF};
    // Noise, a packet, a part of a signature, a header whose length no
    // packet can have, and a packet whose first byte ends that noise.
    Bytes stream = Cat({{0x55, 0xCE, 0xCE, 0xFA}, a, {0xCE, 0xFA, 0xBE}, lying, b});
    std::vector<Found> want = {{TlvOf(a), uint32_t(a.size() - 8), true}, {TlvOf(b), uint32_t(b.size() - 8), true}};
    // However the bytes are cut up on their way, the same packets come out.
    for (size_t step : {size_t(1), size_t(3), size_t(8), stream.size()}) {
        EXPECT_EQ(Frame(stream, step), want) << "step " << step;
    }
}

TEST(SerialFramer, QuietLineDropsWhatIsUnderWayAndOversizedPacketsAreMarked)
{
    Bytes a = EncodePacket(4, {1, 2, 3, 4, 5, 6});
    Bytes b = EncodePacket(4, {7});
    // Cut after 2, 6 and 12 bytes (in the signature, the length, the body):
    // each time only b, which follows the gap whole, comes out.
    for (size_t cut : {size_t(2), size_t(6), size_t(12)}) {
        Bytes stream = Cat({Bytes(a.begin(), a.begin() + long(cut)), b});
        std::vector<Found> got = Frame(stream, cut, 64, {0});
        ASSERT_EQ(got.size(), 1u) << "cut " << cut;
        EXPECT_EQ(got[0].tlv, TlvOf(b));
    }
    // A packet larger than the capacity is read through and marked
    // incomplete; the packet after it is found.
    std::vector<Found> got = Frame(Cat({a, b}), 5, 6);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Found{Bytes(a.begin() + 8, a.begin() + 14), uint32_t(a.size() - 8), false}));
    EXPECT_EQ(got[1].tlv, TlvOf(b));
}

TEST_F(SerialTest, MessageCutShortIsDroppedNotCompletedWithTheNext)
{
    ScopedLimits limits(kQuickLineLimits);
    OpenOk();
    struct Case {
        std::chrono::milliseconds gap;
        size_t secondSize; // the whole second packet, header included
    };
    for (Case c : {Case{280ms, 400}, Case{240ms, 40}, Case{360ms, 40}}) {
        Deliveries().Clear();
        Bytes first = NumberedMessage(300, 0);
        Bytes second = NumberedMessage(c.secondSize - ferry::kPacketOverhead, 100);
        sim_->SendRaw(Channel::Command, Bytes(first.begin(), first.begin() + 100));
        std::this_thread::sleep_for(c.gap);
        sim_->SendRaw(Channel::Command, second);
        ASSERT_TRUE(Deliveries().WaitFor(1)) << "gap " << c.gap.count();
        std::this_thread::sleep_for(50ms);
        std::vector<Delivery> got = Deliveries().Items();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].payload, Bytes(second.begin() + 12, second.end() - 1));
    }
}

TEST_F(SerialTest, PacketTrickledWithShortGapsArrivesWhole)
{
    ScopedLimits limits(kQuickLineLimits);
    OpenOk();
    Bytes packet = NumberedMessage(50, 1);
    for (size_t at = 0; at < packet.size(); at += 16) {
        sim_->SendRaw(Channel::Command,
                      Bytes(packet.begin() + long(at), packet.begin() + long(std::min(at + 16, packet.size()))));
        std::this_thread::sleep_for(100ms); // more than the quiet gap in all, never the gap at once
    }
    ASSERT_TRUE(Deliveries().WaitFor(1));
    EXPECT_EQ(Deliveries().Items()[0].payload, Bytes(packet.begin() + 12, packet.end() - 1));
}

TEST_F(SerialTest, NoiseBeforeAPacketLosesOnlyTheNoise)
{
    OpenOk();
    Bytes first = EncodePacket(4, {1, 1, 1});
    Bytes second = EncodePacket(4, {2, 2});
    sim_->SendRaw(Channel::Command, Cat({{0x55, 0x55, 0x55}, first, {0xCE, 0xFA}, second}));
    ASSERT_TRUE(Deliveries().WaitFor(2, 400ms)); // no waiting for a quiet line
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].payload, (Bytes{1, 1, 1}));
    EXPECT_EQ(got[1].payload, (Bytes{2, 2}));
}

} // namespace
} // namespace proxytest
