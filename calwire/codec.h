// The calibration link's codec: how its messages are laid out in
// ferrylink's data messages, cut into fragments and joined again, and how
// values are written into a body and read back. What the operations are
// and what their arguments look like is the operation table's
// (calwire.h); the target's serving is serve.h, the host's side
// callib/host_codec.h.
//
// Messages. Every message is one or more ferrylink data messages; each
// begins with the same 16-byte header, in every version of the link, so
// that each side can always tell what the other speaks (little-endian):
//
//   0  u16  message type      kMessageType
//   2  u16  subtype           kRequest or kProbe (host to target), kAnswer
//   4  u16  link version      kVersion of the sender
//   6  u16  operation         the operation number (calwire.h)
//   8  u32  request number    chosen by the host, echoed in the answer
//  12  u16  fragment index    0 to count - 1
//  14  u16  fragment count    at least 1
//  16       body fragment     at most kMaxRequestPiece or kMaxAnswerPiece
//
// A body longer than one data message can carry is cut into fragments
// sent in order; the receiver joins the fragments of one request number.
// A target answers a request of another version with an empty answer of
// its own version and does nothing else; the host then refuses the target.
//
// Request body: the arguments after the handle, in order. Integers and
// characters as themselves (u8, u16, u32, i32), a double as its 64 bits (so
// every value, NaN payloads and -0 included, arrives bit for bit). A
// pointer is a u8 kind and a u32 element count: kind 0 null (count 0),
// kind 1 room for `count` elements that the call fills (a buffer sized by
// another argument: nothing follows), kind 2 `count` elements follow (what
// the call reads, and the small fixed-size outputs, which travel both ways
// so that what the call leaves alone stays as it was).
//
// Answer body: the result (a u8 flag and, when set, a u16 length and the
// error text; RequestDevDataWriteKey: the key as a u32), then for every
// pointer the call may write, in order, a u8 kind and, for kind 2, a u32
// count and the elements. Kind 0: nothing comes back (a null pointer, or a
// buffer of kind 1 after a failed call: reads fill their buffers only when
// they succeed). A buffer of kind 1 comes back whole, so elements past what
// the call filled arrive as zeros (locally they keep what they held).
//
// A text is a u16 length and that many bytes.
#ifndef CALWIRE_CODEC_H
#define CALWIRE_CODEC_H

#include "calapi/calapi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace calwire {

inline constexpr uint16_t kVersion = 1;
inline constexpr uint16_t kMessageType = 0x0CA1; // never 12: that is ferrylink's link-failure notice
inline constexpr uint16_t kRequest = 1;
inline constexpr uint16_t kAnswer = 2;
// Header alone, sent by a host while it waits for an answer; the target
// ignores it. It makes a connection that the target closed show at once
// (the send after the peer's reset fails) instead of at the time limit.
inline constexpr uint16_t kProbe = 3;

inline constexpr size_t kHeaderSize = 16;
// ferrylink sends at most 2,043 payload bytes and delivers at most 8,187.
inline constexpr size_t kMaxRequestPiece = 2043 - kHeaderSize;
inline constexpr size_t kMaxAnswerPiece = 8187 - kHeaderSize;
// The longest body either side takes: a little over the largest Device
// Data transfer, far below what a confused count could ask for.
inline constexpr size_t kMaxBody = 1u << 20;
// The longest message joined: an answer carries a buffer of up to kMaxBody
// and, beside it, the result and the small outputs.
inline constexpr size_t kMaxMessage = kMaxBody + 4096;

// Fragment headers.

struct Header {
    uint16_t subtype = 0;
    uint16_t version = kVersion;
    uint16_t operation = 0;
    uint32_t request = 0;
    uint16_t index = 0;
    uint16_t count = 1;
};

// Reads the header of a data message of this link; false for anything else
// (another message type, too short, a fragment count of 0 or an index past it).
bool ReadHeader(const uint8_t *message, size_t length, Header &header);

// The data messages that carry body: header's fields, with index and count
// filled in; every piece but the last holds maxPiece bytes. An empty body
// is one message of the header alone.
std::vector<std::vector<uint8_t>> Fragment(Header header, const std::vector<uint8_t> &body, size_t maxPiece);

// Joins the fragments of one message, of up to kMaxMessage bytes. A
// fragment of another request, or one out of order, drops what was
// collected and starts over with it (if it is a first fragment).
class Assembler {
public:
    // True when this fragment completed the message: Head() and Body().
    bool Add(const Header &header, const uint8_t *piece, size_t length);
    const Header &Head() const { return head_; }
    std::vector<uint8_t> &Body() { return body_; }
    void Clear();

private:
    Header head_;
    std::vector<uint8_t> body_;
    bool collecting_ = false;
};

// Values.

// The bytes a value of type T takes in a body.
template <typename T> constexpr size_t WireSize()
{
    static_assert(std::is_arithmetic_v<T>, "values only");
    return std::is_same_v<T, double> ? 8 : sizeof(T);
}

class Writer {
public:
    std::vector<uint8_t> bytes;

    template <typename T> void Put(T value)
    {
        static_assert(std::is_arithmetic_v<T>, "values only");
        if constexpr (std::is_same_v<T, double>) {
            uint64_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            PutBits(bits, 8);
        } else {
            PutBits(static_cast<uint64_t>(static_cast<std::make_unsigned_t<T>>(value)), sizeof(T));
        }
    }
    template <typename T> void PutArray(const T *values, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            Put(values[i]);
    }
    // Null is the same as empty; longer texts are cut at 65,535 bytes.
    void PutText(const char *text);

private:
    void PutBits(uint64_t bits, size_t size)
    {
        for (size_t i = 0; i < size; ++i)
            bytes.push_back(uint8_t(bits >> (8 * i)));
    }
};

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    template <typename T> bool Get(T &value)
    {
        constexpr size_t size = WireSize<T>();
        if (size_ - used_ < size)
            return Fail();
        uint64_t bits = 0;
        for (size_t i = 0; i < size; ++i)
            bits |= uint64_t(data_[used_ + i]) << (8 * i);
        used_ += size;
        if constexpr (std::is_same_v<T, double>)
            std::memcpy(&value, &bits, sizeof value);
        else
            value = static_cast<T>(static_cast<std::make_unsigned_t<T>>(bits));
        return true;
    }
    template <typename T> bool GetArray(T *values, size_t count)
    {
        if (Left() / WireSize<T>() < count)
            return Fail();
        for (size_t i = 0; i < count; ++i)
            Get(values[i]);
        return true;
    }
    bool GetText(std::string &text);
    size_t Left() const { return size_ - used_; }
    bool AtEnd() const { return ok_ && used_ == size_; }
    bool Ok() const { return ok_; }

private:
    bool Fail()
    {
        ok_ = false;
        used_ = size_;
        return false;
    }
    const uint8_t *data_;
    size_t size_;
    size_t used_ = 0;
    bool ok_ = true;
};

// The kinds of a pointer in a body.
enum : uint8_t { kNull = 0, kRoom = 1, kElements = 2 };

// Results: an error text or none, or a key.
inline void PutResult(Writer &w, TavrelResult text)
{
    w.Put(uint8_t(text != nullptr));
    if (text != nullptr)
        w.PutText(text);
}
inline void PutResult(Writer &w, uint32_t key)
{
    w.Put(key);
}

// An error text, or none; false when unreadable.
inline bool GetResult(Reader &r, bool &failed, std::string &text)
{
    uint8_t flag = 0;
    if (!r.Get(flag) || flag > 1)
        return false;
    failed = flag == 1;
    return !failed || r.GetText(text);
}

} // namespace calwire

#endif
