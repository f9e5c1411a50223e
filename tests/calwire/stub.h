// A stub for every operation's function on the target side: it records
// what it was called with, writes random bits into the buffers it may
// write, and returns the result the test chose.
#ifndef TESTS_CALWIRE_STUB_H
#define TESTS_CALWIRE_STUB_H

#include "calapi/calapi.h"
#include "calwire/calwire.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

namespace calwiretest {

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
inline size_t ElementCount(int16_t count, const int64_t *values)
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

inline StubState &Stub()
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

} // namespace calwiretest

#endif
