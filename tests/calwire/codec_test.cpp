// The codec of the link's operations, host to target and back. A stub
// stands in for every operation's function on the target side: it records
// what it was called with, writes random bits into the buffers it may
// write, and returns the result the test chose.
#include "calwire/calwire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace calwiretest {
namespace {

using Bytes = std::vector<uint8_t>;

template <typename E> Bytes BytesOf(const E *elements, size_t count)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(elements);
    return Bytes(bytes, bytes + count * sizeof(E));
}

template <typename T> int64_t CountOf(T argument)
{
    if constexpr (std::is_integral_v<T>)
        return int64_t(argument);
    return 0;
}

// The table's count, or the value of the argument it names (nothing for a
// negative one).
size_t ElementCount(int16_t count, const int64_t *values)
{
    int64_t n = count >= 0 ? count : values[-count - 1];
    return n > 0 ? size_t(n) : 0;
}

template <typename T> constexpr bool kWritable = std::is_pointer_v<T> && !std::is_const_v<std::remove_pointer_t<T>>;

// One argument as a function sees it.
struct Seen {
    bool null = false;
    bool room = false;   // a buffer for the call to fill: its contents do not travel
    size_t elements = 0; // how many the call may touch
    Bytes bytes;         // a value's bits, or the elements the call was given
    bool operator==(const Seen &) const = default;
};

template <typename T> Seen Describe(int16_t count, const int64_t *values, T argument)
{
    Seen seen;
    if constexpr (!std::is_pointer_v<T>) {
        seen.bytes = BytesOf(&argument, 1);
    } else if (argument == nullptr) {
        seen.null = true;
    } else {
        seen.room = kWritable<T> && count < 0;
        seen.elements = ElementCount(count, values);
        if (!seen.room)
            seen.bytes = BytesOf(argument, seen.elements);
    }
    return seen;
}

struct StubState {
    int calls = 0;
    TavrelCalHandle handle = nullptr;
    std::vector<Seen> seen;
    std::vector<Bytes> wrote; // every writable buffer as the call left it
    std::mt19937_64 rng;
    TavrelResult text = nullptr; // the result to return
    uint32_t key = 0;            // ... for the key request
};

StubState &Stub()
{
    static StubState state;
    return state;
}

// Fills a buffer sized by another argument whole, and about three in four
// elements of the others: the rest must come back as the caller had them.
template <typename T> Bytes Write(std::mt19937_64 &rng, int16_t count, const int64_t *values, T argument)
{
    if constexpr (kWritable<T>) {
        size_t n = argument == nullptr ? 0 : ElementCount(count, values);
        for (size_t i = 0; i < n; ++i) {
            if (count > 0 && rng() % 4 == 0)
                continue;
            uint64_t bits = rng();
            std::memcpy(&argument[i], &bits, sizeof argument[i]);
        }
        return BytesOf(argument, n);
    }
    return {};
}

template <const calwire::Operation &Op, typename R, typename... P> R StubCall(TavrelCalHandle handle, P... arguments)
{
    StubState &stub = Stub();
    ++stub.calls;
    stub.handle = handle;
    const int64_t values[] = {CountOf(arguments)..., 0};
    [[maybe_unused]] size_t i = 0;
    stub.seen = {Describe<P>(Op.counts[i++], values, arguments)...};
    i = 0;
    stub.wrote = {Write<P>(stub.rng, Op.counts[i++], values, arguments)...};
    (void)values;
    if constexpr (std::is_same_v<R, uint32_t>)
        return stub.key;
    else
        return stub.text;
}

// Round trips: every operation of the table, with arguments a seeded
// generator makes; the arguments reach the function bit for bit, and what
// it writes reaches the caller's buffers. One generic case per operation,
// made from the C function's type and its table entry.

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
        ASSERT_TRUE(calwire::EncodeArguments(request, Op, std::get<I>(host).Get()...));

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
        ASSERT_TRUE(calwire::DecodeOutputs(back, Op, std::get<I>(host).Get()...));

        // Room comes back only from a call that succeeded; the small outputs
        // always, with what the call left alone as it was.
        const std::vector<Bytes> after = {std::get<I>(host).Contents()...};
        for (size_t i = 0; i < sizeof...(P); ++i) {
            bool kept = stub.wrote[i].empty() || (stub.seen[i].room && !succeeded);
            EXPECT_EQ(after[i], kept ? before[i] : stub.wrote[i]) << "argument " << i;
        }
    }
};

TEST(RoundTrip, EveryOperationCarriesItsArgumentsAndOutputsBitForBit)
{
    for (uint64_t seed = 1; seed <= 120 && !HasFailure(); ++seed) {
#define CALWIRE_TEST_ROUND_TRIP(number_, name_, ...)                                                                   \
    RoundTrip<calwire::op::name_, decltype(&::name_)>::Run(seed * 1000 + number_);
        CALWIRE_OPERATIONS(CALWIRE_TEST_ROUND_TRIP)
#undef CALWIRE_TEST_ROUND_TRIP
    }
}

// The layout spelled out once: host and target share the code above, and
// could agree on a wrong one.
TEST(RoundTrip, RequestAndAnswerLayout)
{
    double spectrum[2] = {};
    uint32_t length = 0x01020304;
    calwire::Writer w;
    ASSERT_TRUE(calwire::EncodeArguments(w, calwire::op::GetRxSpectrum, uint32_t(2), spectrum, &length));
    EXPECT_EQ(w.bytes, (Bytes{2, 0, 0, 0, calwire::kRoom, 2, 0, 0, 0, calwire::kElements, 1, 0, 0, 0, 4, 3, 2, 1}));

    const Bytes answer = {1, 2, 0, 'N', 'o', calwire::kNull, calwire::kElements, 1, 0, 0, 0, 9, 0, 0, 0};
    calwire::Reader r(answer.data(), answer.size());
    bool failed = false;
    std::string text;
    ASSERT_TRUE(calwire::GetResult(r, failed, text));
    EXPECT_EQ(text, "No");
    ASSERT_TRUE(calwire::DecodeOutputs(r, calwire::op::GetRxSpectrum, uint32_t(2), spectrum, &length));
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
        return calwire::DecodeOutputs(r, calwire::op::GetMACAddress, mac);
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
    ASSERT_TRUE(calwire::EncodeArguments(w, calwire::op::WriteFlash2xBytesWithHeader, uint32_t(9), data, uint32_t(5),
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
    EXPECT_FALSE(calwire::EncodeArguments(w, calwire::op::WriteDevDataBytes, uint32_t(1), &one, 0xFFFFFFFFu,
                                          uint32_t(0), &written));
    // The body may be kMaxBody long and no longer: the data and 26 bytes of
    // the other arguments.
    const Bytes data(calwire::kMaxBody - 25);
    w = {};
    EXPECT_FALSE(calwire::EncodeArguments(w, calwire::op::WriteDevDataBytes, uint32_t(1), data.data(),
                                          uint32_t(data.size()), uint32_t(0), &written));
    w = {};
    ASSERT_TRUE(calwire::EncodeArguments(w, calwire::op::WriteDevDataBytes, uint32_t(1), data.data(),
                                         uint32_t(data.size() - 1), uint32_t(0), &written));
    EXPECT_EQ(w.bytes.size(), calwire::kMaxBody);
}

} // namespace
} // namespace calwiretest
