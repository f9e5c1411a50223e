// The modem target (docksim --modem) as a host meets it: data messages in,
// answers out, the modem model behind.
#include "callib/host_codec.h"
#include "calsim/control.h"
#include "calsim/model.h"
#include "calwire/calwire.h"
#include "docksim/modem_host.h"

#include <gtest/gtest.h>

#include <string>

namespace calwiretest {
namespace {

using Bytes = std::vector<uint8_t>;

class ModemHostTest : public testing::Test {
protected:
    void SetUp() override { calsim::Reset(1); }
    void TearDown() override { calsim::Reset(1); }

    std::vector<Bytes> Request(uint16_t operation, const Bytes &body, uint16_t version = calwire::kVersion)
    {
        calwire::Header header;
        header.subtype = calwire::kRequest;
        header.version = version;
        header.operation = operation;
        header.request = ++number_;
        return calwire::Fragment(header, body, calwire::kMaxRequestPiece);
    }

    // Every message the modem sends back for these.
    static std::vector<Bytes> Send(docksim::ModemHost &host, const std::vector<Bytes> &messages)
    {
        std::vector<Bytes> replies;
        for (const Bytes &message : messages) {
            docksim::ModemHost::Reply reply = host.Take(message);
            replies.insert(replies.end(), reply.messages.begin(), reply.messages.end());
        }
        return replies;
    }

    // The joined answer to one whole request.
    Bytes Exchange(uint16_t operation, const Bytes &body)
    {
        calwire::Assembler assembler;
        bool complete = false;
        for (const Bytes &message : Send(host_, Request(operation, body))) {
            calwire::Header header;
            EXPECT_TRUE(calwire::ReadHeader(message.data(), message.size(), header));
            EXPECT_TRUE(header.subtype == calwire::kAnswer && header.request == number_ && !complete);
            complete =
                assembler.Add(header, message.data() + calwire::kHeaderSize, message.size() - calwire::kHeaderSize);
        }
        EXPECT_TRUE(complete);
        return assembler.Body();
    }

    void OpenAndConnect()
    {
        calwire::Writer open;
        open.Put(uint32_t(TAVREL_IF_LOCAL));
        open.PutText("");
        open.Put(uint32_t(0));
        ASSERT_EQ(Exchange(calwire::kOpOpen, open.bytes), Bytes{1});
        ASSERT_EQ(Exchange(calwire::op::ConnectDevice.number, {}), Bytes{0});
    }

    // A write of 3,000 bytes: two fragments. The data is const, as the call
    // takes it (a writable buffer would go as room).
    std::vector<Bytes> LongWrite(uint16_t version = calwire::kVersion)
    {
        const Bytes data(3000, 0x5A);
        uint32_t written = 0;
        calwire::Writer w;
        EXPECT_TRUE(callib::EncodeArguments(w, calwire::op::WriteDevDataBytes, uint32_t(1), data.data(),
                                            uint32_t(data.size()), uint32_t(0), &written));
        std::vector<Bytes> messages = Request(calwire::op::WriteDevDataBytes.number, w.bytes, version);
        EXPECT_EQ(messages.size(), 2u);
        return messages;
    }

    docksim::ModemHost host_{docksim::ModemSettings{}};
    uint32_t number_ = 0;
};

TEST_F(ModemHostTest, AnotherVersionGetsOneEmptyAnswerAndRunsNothing)
{
    OpenAndConnect();
    docksim::ModemSettings later;
    later.version = calwire::kVersion + 1;
    docksim::ModemHost laterHost(later);
    auto check = [&](docksim::ModemHost &host, const std::vector<Bytes> &request, uint16_t version) {
        std::vector<Bytes> replies = Send(host, request);
        ASSERT_EQ(replies.size(), 1u);
        calwire::Header header;
        ASSERT_TRUE(calwire::ReadHeader(replies[0].data(), replies[0].size(), header));
        EXPECT_EQ(replies[0].size(), calwire::kHeaderSize);
        EXPECT_TRUE(header.subtype == calwire::kAnswer && header.version == version && header.request == number_ &&
                    header.operation == calwire::op::WriteDevDataBytes.number);
    };
    check(host_, LongWrite(later.version), calwire::kVersion); // this modem, a later host
    check(laterHost, LongWrite(), later.version);              // a later modem, this host
    EXPECT_EQ(calsim::CallCount("WriteDevDataBytes"), 0);
}

TEST_F(ModemHostTest, AnIncompleteRequestIsNotAnswered)
{
    OpenAndConnect();
    const std::vector<Bytes> write = LongWrite();
    EXPECT_TRUE(Send(host_, {write[0]}).empty());
    // The next request is answered on its own; the first one's rest alone
    // is then no request at all.
    EXPECT_EQ(Exchange(calwire::op::ForceReSync.number, {}), Bytes{0});
    EXPECT_TRUE(Send(host_, {write[1]}).empty());
    EXPECT_EQ(calsim::CallCount("WriteDevDataBytes"), 0);
}

TEST_F(ModemHostTest, OptionsOpenAndCloseReachTheModel)
{
    // The option table, read before any interface is open; past its end
    // the model gives the last record.
    for (uint32_t index = 0; index <= 8; ++index) {
        calwire::Writer request;
        request.Put(index);
        const Bytes body = Exchange(calwire::kOpOptionInfo, request.bytes);
        const TavrelOptionInfo &expected = *calsim::model::GetOptionInfo(index);
        TavrelOptionInfo got{};
        std::string name;
        calwire::Reader r(body.data(), body.size());
        ASSERT_TRUE(r.Get(got.optionId) && r.GetText(name) && r.Get(got.minValue) && r.Get(got.maxValue) &&
                    r.Get(got.defaultValue) && r.Get(got.reserved) && r.AtEnd());
        EXPECT_TRUE(got.optionId == expected.optionId && name == expected.name && got.minValue == expected.minValue &&
                    got.maxValue == expected.maxValue && got.defaultValue == expected.defaultValue &&
                    got.reserved == expected.reserved)
            << index;
    }

    OpenAndConnect();
    EXPECT_EQ(Exchange(calwire::kOpClose, {}), (Bytes{0, 0, 0, 0}));
    EXPECT_FALSE(calsim::IsConnected());
}

TEST_F(ModemHostTest, AnUnreadableRequestGetsAnErrorAndRunsNothing)
{
    OpenAndConnect();
    // GetMACAddress's six bytes sent as none.
    const Bytes answer = Exchange(calwire::op::GetMACAddress.number, {calwire::kElements, 0, 0, 0, 0});
    calwire::Reader r(answer.data(), answer.size());
    bool failed = false;
    std::string text;
    EXPECT_TRUE(calwire::GetResult(r, failed, text) && failed && r.AtEnd());
    EXPECT_EQ(calsim::CallCount("GetMACAddress"), 0);
    // The key request's error is no key.
    EXPECT_EQ(Exchange(calwire::op::RequestDevDataWriteKey.number, {0}), (Bytes{0, 0, 0, 0}));
}

} // namespace
} // namespace calwiretest
