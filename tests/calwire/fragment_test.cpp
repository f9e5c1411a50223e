// Fragment headers, cutting a body into data messages and joining them.
#include "calwire/calwire.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace calwiretest {
namespace {

using Bytes = std::vector<uint8_t>;
using calwire::kHeaderSize;
using calwire::kMaxRequestPiece;

Bytes Body(size_t size, uint8_t salt)
{
    Bytes body(size);
    for (size_t i = 0; i < size; ++i)
        body[i] = uint8_t(i * 7 + salt + i / 251);
    return body;
}

std::vector<Bytes> Cut(uint32_t request, const Bytes &body, size_t maxPiece = kMaxRequestPiece)
{
    calwire::Header header;
    header.subtype = calwire::kRequest;
    header.operation = calwire::op::WriteDevDataBytes.number;
    header.request = request;
    return calwire::Fragment(header, body, maxPiece);
}

// As the target takes a message: true when it completed a body.
bool Add(calwire::Assembler &assembler, const Bytes &message)
{
    calwire::Header header;
    EXPECT_TRUE(calwire::ReadHeader(message.data(), message.size(), header));
    return assembler.Add(header, message.data() + kHeaderSize, message.size() - kHeaderSize);
}

TEST(Fragments, BodiesOfEverySizeAreCutAndJoinedUnchanged)
{
    for (size_t size : {size_t(0), size_t(1), kMaxRequestPiece, kMaxRequestPiece + 1, size_t(70000)}) {
        SCOPED_TRACE(size);
        const Bytes body = Body(size, uint8_t(size));
        const std::vector<Bytes> messages = Cut(0xA1B2C3D4, body);
        ASSERT_FALSE(messages.empty());
        calwire::Assembler assembler;
        for (size_t i = 0; i < messages.size(); ++i) {
            // Full pieces but the last, which holds the rest.
            EXPECT_EQ(messages[i].size(), kHeaderSize + std::min(kMaxRequestPiece, size - i * kMaxRequestPiece));
            calwire::Header h;
            ASSERT_TRUE(calwire::ReadHeader(messages[i].data(), messages[i].size(), h));
            EXPECT_TRUE(h.subtype == calwire::kRequest && h.version == calwire::kVersion &&
                        h.operation == calwire::op::WriteDevDataBytes.number && h.request == 0xA1B2C3D4 &&
                        h.index == i && h.count == messages.size());
            EXPECT_EQ(Add(assembler, messages[i]), i + 1 == messages.size());
        }
        EXPECT_EQ(assembler.Body(), body);
    }
}

TEST(Fragments, HeaderLayoutAndWhatReadHeaderRefuses)
{
    calwire::Header header;
    header.subtype = calwire::kAnswer;
    header.operation = 0x0102;
    header.request = 0x0A0B0C0D;
    const Bytes good = calwire::Fragment(header, {0xEE}, calwire::kMaxAnswerPiece).at(0);
    EXPECT_EQ(good, (Bytes{0xA1, 0x0C, 2, 0, calwire::kVersion, 0, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A, 0, 0, 1, 0, 0xEE}));
    EXPECT_TRUE(calwire::ReadHeader(good.data(), kHeaderSize, header));
    EXPECT_FALSE(calwire::ReadHeader(good.data(), kHeaderSize - 1, header));
    EXPECT_FALSE(calwire::ReadHeader(nullptr, 0, header));

    auto with = [&](std::initializer_list<std::pair<size_t, uint8_t>> changes) {
        Bytes message = good;
        for (auto [at, value] : changes)
            message[at] = value;
        return calwire::ReadHeader(message.data(), message.size(), header);
    };
    EXPECT_FALSE(with({{0, 0xA2}})); // another message type
    EXPECT_FALSE(with({{0, 12}, {1, 0}}));
    EXPECT_FALSE(with({{14, 0}})); // count 0
    EXPECT_FALSE(with({{12, 1}})); // index 1 of 1
    EXPECT_TRUE(with({{12, 1}, {14, 2}}));
}

TEST(Fragments, AnythingButTheNextFragmentStartsOver)
{
    const Bytes a = Body(3 * kMaxRequestPiece, 1);
    const Bytes b = Body(kMaxRequestPiece + 5, 2);
    const std::vector<Bytes> first = Cut(5, a);
    const std::vector<Bytes> second = Cut(6, b);
    const std::vector<Bytes> twin = Cut(8, Body(a.size(), 4)); // as many fragments as the first
    const Bytes single = Cut(7, {0x42}).at(0);
    calwire::Assembler assembler;

    // The next index of another request is no continuation.
    EXPECT_FALSE(Add(assembler, first[0]));
    EXPECT_FALSE(Add(assembler, twin[1]));
    EXPECT_FALSE(Add(assembler, twin[2]));

    // Another request's start in the middle: it is joined, the first one's rest dropped.
    EXPECT_FALSE(Add(assembler, first[0]));
    EXPECT_FALSE(Add(assembler, first[1]));
    EXPECT_FALSE(Add(assembler, second[0]));
    ASSERT_TRUE(Add(assembler, second[1]));
    EXPECT_EQ(assembler.Body(), b);
    EXPECT_EQ(assembler.Head().request, 6u);
    EXPECT_FALSE(Add(assembler, first[2]));

    // A non-first fragment alone, or out of order, leaves nothing behind.
    EXPECT_FALSE(Add(assembler, first[1]));
    ASSERT_TRUE(Add(assembler, single));
    EXPECT_EQ(assembler.Body(), Bytes{0x42});
    EXPECT_FALSE(Add(assembler, first[0]));
    EXPECT_FALSE(Add(assembler, first[2]));
    EXPECT_FALSE(Add(assembler, first[1]));

    // The same request sent again from its start is joined once, whole.
    for (size_t i : {0, 0, 1})
        EXPECT_FALSE(Add(assembler, first[i]));
    ASSERT_TRUE(Add(assembler, first[2]));
    EXPECT_EQ(assembler.Body(), a);
}

TEST(Fragments, BodiesPastTheLargestAreNotJoined)
{
    calwire::Assembler assembler;
    for (const Bytes &message : Cut(9, Body(calwire::kMaxMessage + 1, 3), calwire::kMaxAnswerPiece))
        EXPECT_FALSE(Add(assembler, message));
    EXPECT_TRUE(assembler.Body().empty());
}

} // namespace
} // namespace calwiretest
