// The codec of the link's operations, host to target and back: the
// layout spelled out, and what either side must refuse. The round trips of
// every operation are in round_trip.cpp.
#include "callib/host_codec.h"
#include "calwire/calwire.h"
#include "calwire/serve.h"
#include "tests/calwire/stub.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace calwiretest {
namespace {

// The layout spelled out once: host and target share the code above, and
// could agree on a wrong one.
TEST(RoundTrip, RequestAndAnswerLayout)
{
    double spectrum[2] = {};
    uint32_t length = 0x01020304;
    calwire::Writer w;
    ASSERT_TRUE(callib::EncodeArguments(w, calwire::op::GetRxSpectrum, uint32_t(2), spectrum, &length));
    EXPECT_EQ(w.bytes, (Bytes{2, 0, 0, 0, calwire::kRoom, 2, 0, 0, 0, calwire::kElements, 1, 0, 0, 0, 4, 3, 2, 1}));

    const Bytes answer = {1, 2, 0, 'N', 'o', calwire::kNull, calwire::kElements, 1, 0, 0, 0, 9, 0, 0, 0};
    calwire::Reader r(answer.data(), answer.size());
    bool failed = false;
    std::string text;
    ASSERT_TRUE(calwire::GetResult(r, failed, text));
    EXPECT_EQ(text, "No");
    ASSERT_TRUE(callib::DecodeOutputs(r, calwire::op::GetRxSpectrum, uint32_t(2), spectrum, &length));
    EXPECT_EQ(length, 9u);
}

// Requests the target must refuse without calling anything, and calls or
// answers the host must refuse: the function never gets a buffer shorter
// than it may touch, nor the caller an answer longer than its buffers, and
// nothing is allocated past kMaxBody.

using calwire::kElements;
using calwire::kNull;
using calwire::kRoom;

// The target side of an operation with the stub behind: true when it
// called the stub.
template <const calwire::Operation &Op, typename R, typename... P>
bool ServeWith(R (*)(TavrelCalHandle, P...), const Bytes &body)
{
    Stub() = StubState{};
    calwire::Reader in(body.data(), body.size());
    calwire::Writer out;
    bool served = calwire::Serve(&StubCall<Op, R, P...>, Op, &Stub(), in, out);
    EXPECT_EQ(Stub().calls, served ? 1 : 0);
    return served;
}

#define SERVE(name_, ...) ServeWith<calwire::op::name_>(static_cast<decltype(&::name_)>(nullptr), Bytes(__VA_ARGS__))

TEST(Refusal, PointersThatDisagreeWithTheirCountsAreRefused)
{
    // Six bytes, as the table says; any other count or kind is refused.
    EXPECT_TRUE(SERVE(GetMACAddress, {kElements, 6, 0, 0, 0, 1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(SERVE(GetMACAddress, {kElements, 0, 0, 0, 0}));
    EXPECT_FALSE(SERVE(GetMACAddress, {kElements, 7, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_FALSE(SERVE(GetMACAddress, {kRoom, 6, 0, 0, 0}));
    EXPECT_FALSE(SERVE(GetMACAddress, {3, 0, 0, 0, 0}));
    EXPECT_FALSE(SERVE(GetMACAddress, {kNull, 6, 0, 0, 0}));

    // GetRxSpectrum(capacity, room for capacity doubles, length).
    const Bytes length = {kElements, 1, 0, 0, 0, 0, 0, 0, 0};
    auto spectrum = [&](uint8_t capacity, uint8_t kind, uint8_t count) {
        Bytes body = {capacity, 0, 0, 0, kind, count, 0, 0, 0};
        body.insert(body.end(), length.begin(), length.end());
        return SERVE(GetRxSpectrum, body);
    };
    EXPECT_TRUE(spectrum(40, kRoom, 40));
    EXPECT_FALSE(spectrum(40, kRoom, 1));
    EXPECT_FALSE(spectrum(1, kRoom, 40));

    // The count follows the buffer; data sent as room is refused.
    EXPECT_TRUE(SERVE(ReadDevDataBytes, {kRoom, 3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(SERVE(ReadDevDataBytes, {kRoom, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(SERVE(WriteDevDataBytes, {1, 0, 0, 0, kRoom, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, kNull, 0, 0, 0, 0}));
}

// The host's side of the same: an answer never writes past the caller's
// buffers, nor into a pointer it did not pass.
TEST(Refusal, AnswersThatDoNotFitTheCallAreRefused)
{
    auto decode = [](const Bytes &answer, uint8_t *mac) {
        calwire::Reader r(answer.data(), answer.size());
        return callib::DecodeOutputs(r, calwire::op::GetMACAddress, mac);
    };
    uint8_t mac[6] = {};
    EXPECT_TRUE(decode({kElements, 6, 0, 0, 0, 1, 2, 3, 4, 5, 6}, mac));
    EXPECT_EQ(mac[5], 6);
    EXPECT_FALSE(decode({kElements, 7, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7}, mac));
    EXPECT_FALSE(decode({kElements, 5, 0, 0, 0, 1, 2, 3, 4, 5}, mac));
    EXPECT_FALSE(decode({kElements, 6, 0, 0, 0, 1, 2, 3, 4, 5, 6, 0}, mac)); // one byte more
    EXPECT_FALSE(decode({kRoom, 6, 0, 0, 0}, mac));
    EXPECT_FALSE(decode({kElements, 6, 0, 0, 0, 1, 2, 3, 4, 5, 6}, nullptr));
}

TEST(Refusal, TruncatedOrLongerRequestsAreRefused)
{
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    const uint32_t header[2] = {7, 8};
    uint32_t written = 0;
    calwire::Writer w;
    ASSERT_TRUE(callib::EncodeArguments(w, calwire::op::WriteFlash2xBytesWithHeader, uint32_t(9), data, uint32_t(5),
                                        uint32_t(0x40), header, uint32_t(2), uint32_t(1), &written));
    EXPECT_TRUE(SERVE(WriteFlash2xBytesWithHeader, w.bytes));
    for (size_t n = 0; n < w.bytes.size(); ++n)
        EXPECT_FALSE(SERVE(WriteFlash2xBytesWithHeader, w.bytes.begin(), w.bytes.begin() + long(n))) << n << " bytes";
    w.bytes.push_back(0);
    EXPECT_FALSE(SERVE(WriteFlash2xBytesWithHeader, w.bytes));
}

TEST(Refusal, CountsPastTheLargestBodyAreRefusedOnBothSides)
{
    // Target: the count alone is refused, before anything is allocated.
    EXPECT_FALSE(SERVE(ReadDevDataBytes, {kRoom, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    EXPECT_FALSE(SERVE(ReadDevDataBlock, {kRoom, 1, 0, 4, 0, 1, 0, 4, 0, 0, 0, 0, 0})); // kMaxBody / 4 + 1 words
    EXPECT_FALSE(SERVE(WriteDevDataBytes, {1, 0, 0, 0, kElements, 0xFF, 0xFF, 0xFF, 0xFF}));

    // Host: a count that could never travel is refused before the buffer
    // is read (it is one byte long here).
    const uint8_t one = 0;
    uint32_t written = 0;
    calwire::Writer w;
    EXPECT_FALSE(callib::EncodeArguments(w, calwire::op::WriteDevDataBytes, uint32_t(1), &one, 0xFFFFFFFFu, uint32_t(0),
                                         &written));
    // The body may be kMaxBody long and no longer: the data and 26 bytes of
    // the other arguments.
    const Bytes data(calwire::kMaxBody - 25);
    w = {};
    EXPECT_FALSE(callib::EncodeArguments(w, calwire::op::WriteDevDataBytes, uint32_t(1), data.data(),
                                         uint32_t(data.size()), uint32_t(0), &written));
    w = {};
    ASSERT_TRUE(callib::EncodeArguments(w, calwire::op::WriteDevDataBytes, uint32_t(1), data.data(),
                                        uint32_t(data.size() - 1), uint32_t(0), &written));
    EXPECT_EQ(w.bytes.size(), calwire::kMaxBody);
}

} // namespace
} // namespace calwiretest
