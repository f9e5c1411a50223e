// The target's side of the calibration link: a request body read into the
// arguments of the function its operation names, the call, and the answer
// body written from its result and outputs (docksim --modem serves the
// modem model with it).
//
// The target checks every pointer against the table before the call: a
// count other than the table's (or its count argument's) is refused as
// unreadable, and a null pointer the call would use gets "Invalid
// parameter", the model's own text for the null pointers it checks.
#ifndef CALWIRE_SERVE_H
#define CALWIRE_SERVE_H

#include "calapi/calapi.h"
#include "calwire/calwire.h"
#include "calwire/codec.h"

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <vector>

namespace calwire {

// What a call refused before it ran returns, and whether a result is a
// success.
inline TavrelResult Refused(TavrelResult *)
{
    return "Invalid parameter";
}
inline uint32_t Refused(uint32_t *)
{
    return 0; // no key
}
inline bool Succeeded(TavrelResult text)
{
    return text == nullptr;
}
inline bool Succeeded(uint32_t key)
{
    return key != 0;
}

// One argument as it arrived, and what goes back.
template <typename T> struct Slot {
    T value{};
    bool Read(Reader &r) { return r.Get(value); }
    int64_t CountValue() const { return calwire::CountValue(value); }
    bool Fits(int16_t, const int64_t *) const { return true; }
    bool NullButUsed(int16_t, const int64_t *) const { return false; }
    T Argument() { return value; }
    void Answer(Writer &, bool) {}
};

template <typename E> struct Slot<E *> {
    using Plain = std::remove_const_t<E>;
    std::vector<Plain> storage;
    uint8_t kind = kNull;
    uint32_t count = 0;

    bool Read(Reader &r)
    {
        if (!r.Get(kind) || !r.Get(count) || kind > kElements || (kind == kNull && count != 0))
            return false;
        if (count > kMaxBody / WireSize<Plain>())
            return false;
        if (kind == kNull)
            return true;
        storage.assign(count == 0 ? 1 : count, Plain{}); // never null for a pointer that was given
        return kind == kRoom || r.GetArray(storage.data(), count);
    }
    int64_t CountValue() const { return 0; }
    // The call touches as many elements as the table or its count argument
    // says, whatever the request claims: a pointer must come as the host
    // sends it, null or with exactly that many.
    // Null where the call would use elements: the model would follow it.
    bool NullButUsed(int16_t expected, const int64_t *values) const
    {
        return kind == kNull && ElementCount(expected, values) > 0;
    }
    bool Fits(int16_t expected, const int64_t *values) const
    {
        if (kind == kNull)
            return true;
        bool room = !std::is_const_v<E> && expected < 0;
        return kind == (room ? kRoom : kElements) && count == ElementCount(expected, values);
    }
    E *Argument() { return kind == kNull ? nullptr : storage.data(); }
    void Answer(Writer &w, bool succeeded)
    {
        if constexpr (!std::is_const_v<E>) {
            if (kind == kNull || (kind == kRoom && !succeeded)) {
                w.Put(uint8_t(kNull));
                return;
            }
            w.Put(uint8_t(kElements));
            w.Put(count);
            w.PutArray(storage.data(), count);
        }
    }
};

namespace detail {

// Whether check(slot, its count from the table, the count arguments' values)
// holds for every argument that arrived.
template <typename... S, typename F> bool EverySlot(std::tuple<S...> &slots, const Operation &operation, F check)
{
    return std::apply(
        [&](auto &...slot) {
            const int64_t values[] = {slot.CountValue()..., 0};
            [[maybe_unused]] size_t i = 0;
            (void)values;
            return (check(slot, operation.counts[i++], values) && ... && true);
        },
        slots);
}

} // namespace detail

// Decodes the arguments, calls fn with handle, and writes the answer body;
// false (nothing called) when the request does not fit fn and its
// operation.
template <typename R, typename... P>
bool Serve(R (*fn)(TavrelCalHandle, P...), const Operation &operation, TavrelCalHandle handle, Reader &in, Writer &out)
{
    if (operation.arguments != sizeof...(P))
        return false;
    std::tuple<Slot<P>...> slots;
    bool read = std::apply([&](auto &...slot) { return (slot.Read(in) && ... && true); }, slots);
    if (!read || !in.AtEnd())
        return false;
    if (!detail::EverySlot(slots, operation,
                           [](auto &slot, int16_t count, const int64_t *values) { return slot.Fits(count, values); }))
        return false;
    // A host's null pointer must not bring the target down: the call is
    // refused as the model refuses the null pointers it checks itself.
    bool null = !detail::EverySlot(slots, operation, [](auto &slot, int16_t count, const int64_t *values) {
        return !slot.NullButUsed(count, values);
    });
    R result = null ? Refused(static_cast<R *>(nullptr))
                    : std::apply([&](auto &...slot) { return fn(handle, slot.Argument()...); }, slots);
    PutResult(out, result);
    bool succeeded = Succeeded(result);
    std::apply([&](auto &...slot) { (slot.Answer(out, succeeded), ...); }, slots);
    return true;
}

} // namespace calwire

#endif
