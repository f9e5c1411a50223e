// The TCP notification stream is read in large chunks and its packets are
// handed out of the read buffer: every packet comes out whole and in order
// wherever the reads cut the stream, one too long to keep is thrown away
// whole, and half a packet holds up neither the kept messages nor a close.
#include <sys/socket.h>

#include "tests/proxy/harness.h"
#include "proxy/packet_reader.h"
#include "proxy/wire/wire.h"

namespace proxytest {
namespace {

using docksim::Channel;

// A packet as the reader handed it out, copied.
struct Taken {
    ferry::PacketResult result;
    Bytes tlv;
    uint32_t length;
    bool complete;
};

// The TLV part of a whole packet: what the reader hands out of it.
Bytes TlvOf(const Bytes &packet)
{
    return Bytes(packet.begin() + long(ferry::kHeaderSize), packet.end());
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Slice(const Bytes &bytes, size_t from, size_t to)
{
    return Bytes(bytes.begin() + long(from), bytes.begin() + long(to));
}

// A stream reader on one end of a socket pair, fed through the other.
class Stream {
public:
    Stream()
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0) {
            host_.Reset(pair[0]);
            target_.Reset(pair[1]);
        }
        reader_ = std::make_unique<ferry::StreamReader>(host_.Get(), ferry::kThreadBufferSize);
    }
    bool Valid() const { return host_.Valid(); }

    // Sends `bytes`, reading whenever the socket takes no more, until all
    // of them are read: what the reader handed out meanwhile.
    std::vector<Taken> Send(const Bytes &bytes)
    {
        std::vector<Taken> taken;
        size_t sent = 0;
        for (;;) {
            if (sent < bytes.size()) {
                ssize_t r = ::send(target_.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (r > 0)
                    sent += size_t(r);
            }
            ferry::FillResult f = reader_->Fill();
            if (f == ferry::FillResult::Gone) {
                ADD_FAILURE() << "the stream ended";
                return taken;
            }
            TakeAll(taken);
            if (f == ferry::FillResult::Nothing && sent == bytes.size())
                return taken;
        }
    }

private:
    void TakeAll(std::vector<Taken> &taken)
    {
        ferry::StreamPacket p;
        ferry::PacketResult r;
        while ((r = reader_->Next(p)) != ferry::PacketResult::NeedMore)
            taken.push_back({r, Bytes(p.tlv, p.tlv + p.carried), p.length, p.complete});
    }

    ferry::UniqueFd host_;
    ferry::UniqueFd target_;
    std::unique_ptr<ferry::StreamReader> reader_;
};

void ExpectWhole(const Taken &t, const Bytes &packet)
{
    EXPECT_EQ(t.result, ferry::PacketResult::Packet);
    EXPECT_TRUE(t.complete);
    EXPECT_EQ(t.length, packet.size() - ferry::kHeaderSize);
    EXPECT_EQ(t.tlv, TlvOf(packet));
}

TEST(StreamReaderTest, ManySmallPacketsComeOutWholeAndInOrderAcrossReads)
{
    Stream stream;
    ASSERT_TRUE(stream.Valid());
    // About 150 KB: several reads' worth, cut wherever the reads end.
    std::vector<Bytes> packets;
    for (size_t i = 0; i < 6000; ++i)
        packets.push_back(NumberedMessage(i % 17, uint8_t(i)));
    Bytes all;
    for (const Bytes &p : packets)
        all.insert(all.end(), p.begin(), p.end());
    std::vector<Taken> taken = stream.Send(all);
    ASSERT_EQ(taken.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectWhole(taken[i], packets[i]);
    }
}

TEST(StreamReaderTest, PacketCutAtAnyOffsetComesOutWholeOnceTheRestArrives)
{
    const Bytes first = NumberedMessage(1, 0x10);
    const Bytes cut = NumberedMessage(5, 0x20);
    const Bytes next = NumberedMessage(2, 0x30);
    for (size_t at = 1; at < cut.size(); ++at) {
        SCOPED_TRACE(at);
        Stream stream;
        ASSERT_TRUE(stream.Valid());
        std::vector<Taken> before = stream.Send(Join({first, Slice(cut, 0, at)}));
        ASSERT_EQ(before.size(), 1u);
        ExpectWhole(before[0], first);
        std::vector<Taken> after = stream.Send(Join({Slice(cut, at, cut.size()), next}));
        ASSERT_EQ(after.size(), 2u);
        ExpectWhole(after[0], cut);
        ExpectWhole(after[1], next);
    }
}

TEST(StreamReaderTest, OverLongPacketIsThrownAwayWholeBetweenGoodOnes)
{
    const Bytes good = NumberedMessage(3, 0x40);
    // Longer than the buffer: it goes over several reads.
    const Bytes huge = NumberedMessage(200000, 0x50);
    const Bytes after = NumberedMessage(4, 0x60);
    // 0: all at once; then cut at every offset of its header and TLV header.
    for (size_t at = 0; at <= ferry::kHeaderSize + ferry::kTlvHeaderSize; ++at) {
        SCOPED_TRACE(at);
        Stream stream;
        ASSERT_TRUE(stream.Valid());
        std::vector<Taken> taken = stream.Send(Join({good, Slice(huge, 0, at)}));
        std::vector<Taken> rest = stream.Send(Join({Slice(huge, at, huge.size()), after}));
        taken.insert(taken.end(), rest.begin(), rest.end());
        ASSERT_EQ(taken.size(), 3u);
        ExpectWhole(taken[0], good);
        EXPECT_EQ(taken[1].result, ferry::PacketResult::Packet);
        EXPECT_FALSE(taken[1].complete);
        EXPECT_EQ(taken[1].length, huge.size() - ferry::kHeaderSize);
        EXPECT_EQ(taken[1].tlv, Slice(huge, ferry::kHeaderSize, ferry::kHeaderSize + ferry::kTlvHeaderSize));
        ExpectWhole(taken[2], after);
    }
}

// Through the library: a flood written at once reaches the callback whole
// and in order, nothing dropped.
TEST_F(TcpTest, FloodOfSmallMessagesIsDeliveredWholeAndInOrder)
{
    OpenOk();
    const size_t count = 5000;
    Bytes all;
    for (size_t i = 0; i < count; ++i) {
        Bytes p = NumberedMessage(8 + i % 17, uint8_t(i));
        all.insert(all.end(), p.begin(), p.end());
    }
    sim_->SendRaw(Channel::Notify, all);
    ASSERT_TRUE(Deliveries().WaitFor(count));
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), count);
    for (size_t i = 0; i < count; ++i) {
        Bytes p = NumberedMessage(8 + i % 17, uint8_t(i));
        ASSERT_EQ(got[i].payload, Slice(p, ferry::kHeaderSize + ferry::kTlvHeaderSize, p.size() - 1)) << i;
    }
    EXPECT_EQ(FerryDroppedMessages(), 0u);
}

// Longer than the read buffer, of either type: dropped whole, the other
// type named on standard error, and the stream stays in step.
TEST_F(TcpTest, OverLongPacketsAreDroppedWholeBetweenGoodOnes)
{
    OpenOk();
    ::testing::internal::CaptureStderr();
    sim_->SendRaw(Channel::Notify, Join({EncodePacket(4, {1}), NumberedMessage(150000, 0), EncodePacket(4, {2}),
                                         EncodePacket(9, Bytes(70000, 9)), EncodePacket(4, {3})}));
    bool delivered = Deliveries().WaitFor(3);
    std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(delivered);
    std::vector<Delivery> got = Deliveries().Items();
    ASSERT_EQ(got.size(), 3u);
    for (uint8_t i = 0; i < 3; ++i)
        EXPECT_EQ(got[i].payload, Bytes{uint8_t(i + 1)});
    EXPECT_EQ(FerryDroppedMessages(), 1u);
    EXPECT_EQ(err, "\npTLVFormat_Packet->usCommandType 9\n");
}

// The receive thread waits for the rest of a packet where it waits for
// everything else, so a registration and a close are served meanwhile.
TEST_F(TcpTest, HalfArrivedPacketHoldsUpNeitherTheKeptMessagesNorTheClose)
{
    size_t threads = ThreadCount();
    ASSERT_EQ(Open(), 1);
    sim_->SendDataMessage({1});
    // Dropped as too long: once counted, the message before it is kept.
    sim_->SendDataMessage(Bytes(FERRYLINK_MAX_MESSAGE + 1, 0xEE));
    ASSERT_TRUE(Eventually([] { return FerryDroppedMessages() == 1; }));
    const Bytes half = EncodePacket(4, {2, 2, 2, 2});
    sim_->SendRaw(Channel::Notify, Slice(half, 0, 10));
    std::this_thread::sleep_for(20ms); // lets the thread take the first part
    ASSERT_EQ(RegisterCallbackForProxy(&CallbackLog::Callback), 0);
    ASSERT_TRUE(Deliveries().WaitFor(1));
    EXPECT_EQ(Deliveries().Items().size(), 1u);
    sim_->SendRaw(Channel::Notify, Slice(half, 10, half.size()));
    ASSERT_TRUE(Deliveries().WaitFor(2));
    std::vector<Delivery> got = Deliveries().Items();
    EXPECT_EQ(got[0].payload, Bytes{1});
    EXPECT_EQ(got[1].payload, (Bytes{2, 2, 2, 2}));

    sim_->SendRaw(Channel::Notify, Slice(half, 0, 5));
    std::this_thread::sleep_for(20ms);
    CloseCommunicationPort();
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; }));
    EXPECT_EQ(Deliveries().Items().size(), 2u);
}

} // namespace
} // namespace proxytest
