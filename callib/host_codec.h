// The host's side of the calibration link: a call's arguments (after the
// handle) written into a request body, and the answer's outputs copied
// back into the caller's buffers, as the operation table
// (calwire/calwire.h) shapes them. The target's side is calwire/serve.h.
#ifndef CALLIB_HOST_CODEC_H
#define CALLIB_HOST_CODEC_H

#include "calwire/calwire.h"
#include "calwire/codec.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace callib {

namespace detail {

template <typename T> inline constexpr bool kIsPointer = std::is_pointer_v<T>;
template <typename T> using Element = std::remove_cv_t<std::remove_pointer_t<T>>;
template <typename T> inline constexpr bool kIsWritable = kIsPointer<T> && !std::is_const_v<std::remove_pointer_t<T>>;

template <typename T> bool PutArgument(calwire::Writer &w, int16_t count, const int64_t *values, T argument)
{
    if constexpr (!kIsPointer<T>) {
        w.Put(argument);
        return true;
    } else {
        using E = Element<T>;
        if (argument == nullptr) {
            w.Put(uint8_t(calwire::kNull));
            w.Put(uint32_t(0));
            return true;
        }
        size_t n = calwire::ElementCount(count, values);
        if (n > calwire::kMaxBody / calwire::WireSize<E>())
            return false;
        bool room = kIsWritable<T> && count < 0;
        w.Put(uint8_t(room ? calwire::kRoom : calwire::kElements));
        w.Put(uint32_t(n));
        if (!room)
            w.PutArray(argument, n);
        return w.bytes.size() <= calwire::kMaxBody;
    }
}

template <typename T> bool GetOutput(calwire::Reader &r, int16_t count, const int64_t *values, T argument)
{
    if constexpr (!kIsWritable<T>) {
        return true;
    } else {
        uint8_t kind = 0;
        if (!r.Get(kind))
            return false;
        if (kind == calwire::kNull)
            return true;
        uint32_t n = 0;
        if (kind != calwire::kElements || argument == nullptr || !r.Get(n) || n != calwire::ElementCount(count, values))
            return false;
        return r.GetArray(argument, n);
    }
}

} // namespace detail

// The request body for a call with these arguments (after the handle);
// false when it would pass kMaxBody.
template <typename... A> bool EncodeArguments(calwire::Writer &w, const calwire::Operation &operation, A... arguments)
{
    const int64_t values[] = {calwire::CountValue(arguments)..., 0};
    [[maybe_unused]] size_t i = 0;
    (void)values; // an operation without arguments reads none
    return (detail::PutArgument(w, operation.counts[i++], values, arguments) && ...);
}

// Copies the answer's outputs into the caller's buffers; false when the
// answer does not fit the call.
template <typename... A> bool DecodeOutputs(calwire::Reader &r, const calwire::Operation &operation, A... arguments)
{
    const int64_t values[] = {calwire::CountValue(arguments)..., 0};
    [[maybe_unused]] size_t i = 0;
    (void)values;
    return (detail::GetOutput(r, operation.counts[i++], values, arguments) && ...) && r.AtEnd();
}

} // namespace callib

#endif
