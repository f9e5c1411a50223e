// Round trips: every operation of the table, with arguments a seeded
// generator makes; the arguments reach the function bit for bit, and what
// it writes reaches the caller's buffers. One generic case per operation,
// made from the C function's type and its table entry.
//
// The 75 operations' templates make a heavy file: it is compiled once per
// shard (ROUND_TRIP_SHARD of kRoundTripShards, tests/calwire/CMakeLists.txt),
// each taking the operations whose number falls to it.
#include "callib/host_codec.h"
#include "calwire/calwire.h"
#include "calwire/serve.h"
#include "tests/calwire/stub.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#ifndef ROUND_TRIP_SHARD
#error "ROUND_TRIP_SHARD names the shard this object holds"
#endif

namespace calwiretest {
namespace {

constexpr int kRoundTripShards = 8;
static_assert(ROUND_TRIP_SHARD >= 0 && ROUND_TRIP_SHARD < kRoundTripShards);

template <typename T> T Pick(std::mt19937_64 &rng, std::initializer_list<uint64_t> edges)
{
    uint64_t bits = rng() % 3 == 0 ? rng() : edges.begin()[rng() % edges.size()];
    T value{};
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool IsCount(const calwire::Operation &operation, size_t index)
{
    for (size_t i = 0; i < operation.arguments; ++i) {
        if (operation.counts[i] == calwire::From(int(index)))
            return true;
    }
    return false;
}

// A value: edges or random bits; a count stays small, and so do its buffers.
template <typename T> T MakeValue(std::mt19937_64 &rng, bool count)
{
    if constexpr (std::is_same_v<T, double>) {
        return Pick<double>(rng, {0x7FF0000000000001, 0xFFF8DEADBEEF1234,                     // NaNs with payloads
                                  0x8000000000000000, 0x0000000000000001, 0x800FFFFFFFFFFFFF, // -0, denormals
                                  0x7FF0000000000000, 0xFFF0000000000000, 0x7FEFFFFFFFFFFFFF});
    } else if (count) {
        int64_t n = int64_t(rng() % 41);
        return T(std::is_signed_v<T> && rng() % 8 == 0 ? -n - 1 : n); // a negative count sizes nothing
    } else {
        using L = std::numeric_limits<T>;
        return Pick<T>(rng, {0, 1, uint64_t(L::max()), uint64_t(L::min()), uint64_t(L::max()) - 1});
    }
}

// One argument on the host side, with the buffer a pointer points to.
template <typename T> struct HostArgument {
    T value{};
    void Make(std::mt19937_64 &rng, bool count) { value = MakeValue<T>(rng, count); }
    void MakeBuffer(std::mt19937_64 &, int16_t, const int64_t *) {}
    T Get() const { return value; }
    Bytes Contents() const { return {}; }
    bool NullButUsed() const { return false; }
};

template <typename E> struct HostArgument<E *> {
    std::unique_ptr<std::remove_const_t<E>[]> buffer; // not null even for no elements
    size_t elements = 0;
    bool null = false;
    void Make(std::mt19937_64 &, bool) {}
    void MakeBuffer(std::mt19937_64 &rng, int16_t count, const int64_t *values)
    {
        null = rng() % 6 == 0;
        elements = ElementCount(count, values);
        buffer = std::make_unique<std::remove_const_t<E>[]>(elements);
        for (size_t i = 0; i < elements; ++i)
            buffer[i] = MakeValue<std::remove_const_t<E>>(rng, false);
    }
    E *Get() const { return null ? nullptr : buffer.get(); }
    bool NullButUsed() const { return null && elements > 0; }
    Bytes Contents() const { return null ? Bytes{} : BytesOf(buffer.get(), elements); }
};

template <const calwire::Operation &Op, typename Fn> struct RoundTrip;

template <const calwire::Operation &Op, typename R, typename... P> struct RoundTrip<Op, R (*)(TavrelCalHandle, P...)> {
    static_assert(calwire::Matches(static_cast<R (*)(TavrelCalHandle, P...)>(nullptr), Op));

    static void Run(uint64_t seed) { Run(seed, std::index_sequence_for<P...>{}); }

    template <size_t... I> static void Run(uint64_t seed, std::index_sequence<I...>)
    {
        SCOPED_TRACE(testing::Message() << Op.name << ", seed " << seed);
        std::mt19937_64 rng(seed);
        std::tuple<HostArgument<P>...> host;
        (std::get<I>(host).Make(rng, IsCount(Op, I)), ...);
        const int64_t values[] = {CountOf(std::get<I>(host).Get())..., 0};
        (std::get<I>(host).MakeBuffer(rng, Op.counts[I], values), ...);
        (void)values;
        const std::vector<Bytes> before = {std::get<I>(host).Contents()...};
        calwire::Writer request;
        ASSERT_TRUE(callib::EncodeArguments(request, Op, std::get<I>(host).Get()...));

        // Success, or an error text: empty, past ASCII, longer than a text can be.
        StubState &stub = Stub();
        stub = StubState{};
        stub.rng.seed(rng());
        const std::string texts[] = {"", "Device busy \x80\xFF", std::string(70000, 'e')};
        stub.text = rng() % 2 ? nullptr : texts[rng() % 3].c_str();
        stub.key = rng() % 3 == 0 ? 0 : uint32_t(rng() | 1);
        calwire::Reader in(request.bytes.data(), request.bytes.size());
        calwire::Writer answer;
        ASSERT_TRUE(calwire::Serve(&StubCall<Op, R, P...>, Op, &stub, in, answer));
        // A null pointer the call would use is refused, as the model refuses
        // those it checks itself: the target never follows it.
        const bool refused = (std::get<I>(host).NullButUsed() || ... || false);
        if (refused) {
            EXPECT_EQ(stub.calls, 0);
            stub.text = "Invalid parameter";
            stub.key = 0;
            stub.wrote.assign(sizeof...(P), Bytes{});
        } else {
            ASSERT_EQ(stub.calls, 1);
            EXPECT_EQ(stub.handle, &stub);
            EXPECT_EQ(stub.seen, (std::vector<Seen>{Describe<P>(Op.counts[I], values, std::get<I>(host).Get())...}));
        }

        calwire::Reader back(answer.bytes.data(), answer.bytes.size());
        bool succeeded = false;
        if constexpr (std::is_same_v<R, uint32_t>) {
            uint32_t key = 0;
            ASSERT_TRUE(back.Get(key));
            EXPECT_EQ(key, stub.key);
            succeeded = key != 0;
        } else {
            bool failed = false;
            std::string text;
            ASSERT_TRUE(calwire::GetResult(back, failed, text));
            EXPECT_EQ(text, stub.text == nullptr ? "" : std::string(stub.text).substr(0, 0xFFFF));
            succeeded = !failed;
            EXPECT_EQ(succeeded, stub.text == nullptr);
        }
        ASSERT_TRUE(callib::DecodeOutputs(back, Op, std::get<I>(host).Get()...));

        // Room comes back only from a call that succeeded; the small outputs
        // always, with what the call left alone as it was.
        const std::vector<Bytes> after = {std::get<I>(host).Contents()...};
        for (size_t i = 0; i < sizeof...(P); ++i) {
            bool kept = stub.wrote[i].empty() || (stub.seen[i].room && !succeeded);
            EXPECT_EQ(after[i], kept ? before[i] : stub.wrote[i]) << "argument " << i;
        }
    }
};

// Only the shard's operations are instantiated: the others' case is a
// discarded branch of a template.
template <int Number, const calwire::Operation &Op, typename Fn> void RunInShard(uint64_t seed)
{
    if constexpr (Number % kRoundTripShards == ROUND_TRIP_SHARD)
        RoundTrip<Op, Fn>::Run(seed);
}

#define ROUND_TRIP_NAME2(shard_) EveryOperationCarriesItsArgumentsAndOutputsBitForBit_Shard##shard_
#define ROUND_TRIP_NAME(shard_) ROUND_TRIP_NAME2(shard_)

TEST(RoundTrip, ROUND_TRIP_NAME(ROUND_TRIP_SHARD))
{
    for (uint64_t seed = 1; seed <= 120 && !HasFailure(); ++seed) {
#define CALWIRE_TEST_ROUND_TRIP(number_, name_, ...)                                                                   \
    RunInShard<number_, calwire::op::name_, decltype(&::name_)>(seed * 1000 + number_);
        CALWIRE_OPERATIONS(CALWIRE_TEST_ROUND_TRIP)
#undef CALWIRE_TEST_ROUND_TRIP
    }
}

} // namespace
} // namespace calwiretest
