// The calibration link: how the calibration library's calls travel over
// ferrylink's data messages to a target that hosts the modem, and how the
// answers come back. Host and target both build on this one header.
//
// Messages. Every message is one or more ferrylink data messages; each
// begins with the same 16-byte header, in every version of the link, so
// that each side can always tell what the other speaks (little-endian):
//
//   0  u16  message type      kMessageType
//   2  u16  subtype           kRequest or kProbe (host to target), kAnswer
//   4  u16  link version      kVersion of the sender
//   6  u16  operation         the operation number (table below)
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
// The target checks every pointer against the table before the call: a
// count other than the table's (or its count argument's) is refused as
// unreadable, and a null pointer the call would use gets "Invalid
// parameter", the model's own text for the null pointers it checks.
//
// Three operations take no handle and have bodies of their own:
//   kOpOpen        request: u32 type, text address, u32 number (the
//                  GetCalInterface arguments); answer: u8 1 when the target
//                  opened its interface, 0 when it refused.
//   kOpClose       request: empty; answer: i32 CloseCalInterface's result.
//   kOpOptionInfo  request: u32 index; answer: u32 ID, text name, u32
//                  minimum, maximum, default, reserved flag.
// A text is a u16 length and that many bytes.
#ifndef CALWIRE_CALWIRE_H
#define CALWIRE_CALWIRE_H

#include "calapi/calapi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <tuple>
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

inline constexpr uint16_t kOpOpen = 1;
inline constexpr uint16_t kOpClose = 2;
inline constexpr uint16_t kOpOptionInfo = 3;

// Pointer parameters: a positive element count, or the count held by
// another argument (From(i): the i-th argument after the handle).
constexpr int16_t From(int index)
{
    return int16_t(-(index + 1));
}

// Every operation that takes a handle: number, name, and for each argument
// after the handle 0 (a value) or its element count (a pointer). The
// numbers never change; a new operation takes a new number.
#define CALWIRE_OPERATIONS(X)                                                                                          \
    X(4, ConnectDevice)                                                                                                \
    X(5, DisconnectDevice)                                                                                             \
    X(6, GetOptionByID, 0, 1)                                                                                          \
    X(7, SetOptionByID, 0, 0)                                                                                          \
    X(8, GetDeviceMode, 1, 1)                                                                                          \
    X(9, SetDeviceMode, 0, 0)                                                                                          \
    X(10, GetBandConfig, 1, 1)                                                                                         \
    X(11, SetBandConfig, 0, 0)                                                                                         \
    X(12, GetCWOffset, 1)                                                                                              \
    X(13, SetCWOffset, 0)                                                                                              \
    X(14, GetRxAntConfig, 1)                                                                                           \
    X(15, SetRxAntConfig, 0)                                                                                           \
    X(16, IsSync, 1, 1, 1)                                                                                             \
    X(17, ForceReSync)                                                                                                 \
    X(18, SetAGCMode, 0, 0)                                                                                            \
    X(19, GetRxGainState, 0, 1, 1, 1, 1, 1)                                                                            \
    X(20, SetRxGainState, 0, 0, 0, 0, 0)                                                                               \
    X(21, GetRSSIReport, 1, 1, 1, 1, 1, 1, 1, 1)                                                                       \
    X(22, GetCINR, 1)                                                                                                  \
    X(23, GetPerAntCINR, 1, 1, 1)                                                                                      \
    X(24, GetPerAntThermalNoise, 1, 1)                                                                                 \
    X(25, ResetFrameErrorStatistics)                                                                                   \
    X(26, GetFrameErrorStatistics, 1, 1)                                                                               \
    X(27, GetPDUErrorStatistics, 1, 1, 1, 1, TAVREL_PDU_DIUC_COUNT, TAVREL_PDU_DIUC_COUNT, TAVREL_PDU_DIUC_COUNT,      \
      TAVREL_PDU_DIUC_COUNT)                                                                                           \
    X(28, GetTx1Attn, 1, 1, 1, 1)                                                                                      \
    X(29, SetTx1Attn, 0, 0, 0, 0)                                                                                      \
    X(30, GetTx1OutputPower, 1)                                                                                        \
    X(31, SetTx1OutputPower, 0)                                                                                        \
    X(32, GetTxDiversitySwitch, 1)                                                                                     \
    X(33, SetTxDiversitySwitch, 0)                                                                                     \
    X(34, SetTRSwitch, 0)                                                                                              \
    X(35, CalibrateLCTrim, TAVREL_LCTRIM_COUNT, 1)                                                                     \
    X(36, CalibrateTxSteps, 0, TAVREL_TX_PADRV_STEPS, TAVREL_TX_PGA_STEPS)                                             \
    X(37, CalibrateLimitedTxSteps, 0, 0, TAVREL_TX_PADRV_STEPS, TAVREL_TX_PGA_STEPS)                                   \
    X(38, CalibrateTxPoutFreqCorr, 0, 0, TAVREL_SCAN_LIST_SIZE, TAVREL_SCAN_LIST_SIZE, TAVREL_SCAN_LIST_SIZE)          \
    X(39, CalibrateLNASteps, 0, 0, 0, 2, 2, 2, 2)                                                                      \
    X(40, CalibrateTxExtAttnStep, 0, 0, 1, 1, 1, 1, 1, 1)                                                              \
    X(41, ReadGPIOState, 1, 1, 1)                                                                                      \
    X(42, SetGPIOConfiguration, 0)                                                                                     \
    X(43, SetGPIOPinState, 0, 0)                                                                                       \
    X(44, ReadRFICRegister, 0, 0, 1)                                                                                   \
    X(45, WriteRFICRegister, 0, 0, 0)                                                                                  \
    X(46, GetTemperature, 1)                                                                                           \
    X(47, GetGPADCValue, 0, 1)                                                                                         \
    X(48, SetGPDACValue, 0, 0)                                                                                         \
    X(49, ResetRxSpectrum, 0, 0)                                                                                       \
    X(50, GetRxSpectrum, 0, From(0), 1)                                                                                \
    X(51, GetVersionInfo, 1, 3, TAVREL_DRIVER_VERSION_SIZE, 3, 1, 1)                                                   \
    X(52, LoadDevData, 0)                                                                                              \
    X(53, IsDevDataValid, 1)                                                                                           \
    X(54, AreDevDataChecksumsValidArray, TAVREL_DEVDATA_BLOCKS, 1)                                                     \
    X(55, GetDevDataChecksumsArray, TAVREL_DEVDATA_BLOCKS, 1)                                                          \
    X(56, IsCalibrationValid, 1)                                                                                       \
    X(57, GetCalibrationInfo, 1, 1, 4, 4, 4)                                                                           \
    X(58, GetMACAddress, 6)                                                                                            \
    X(59, GetDevDataSize, 1)                                                                                           \
    X(60, GetDevDataInfo, 1, 1, 1)                                                                                     \
    X(61, GetFlash2xDevDataInfo, 3)                                                                                    \
    X(62, SelectActiveDevDataSection, 0)                                                                               \
    X(63, SelectCurrentDevDataSection, 0)                                                                              \
    X(64, CopyDevDataSection, 0, 0, 0, 0)                                                                              \
    X(65, InitializeFlash, 0, 1)                                                                                       \
    X(66, ReadDevDataBlock, From(1), 0, 0)                                                                             \
    X(67, ReadDevDataBytes, From(1), 0, 0)                                                                             \
    X(68, GetDevDataRegionSizeByID, 0, 1)                                                                              \
    X(69, ReadDevDataRegionByID, 0, 0, From(1), 1)                                                                     \
    X(70, RequestDevDataWriteKey)                                                                                      \
    X(71, WriteDevDataBlock, 0, From(2), 0, 0, 1)                                                                      \
    X(72, WriteDevDataBytes, 0, From(2), 0, 0, 1)                                                                      \
    X(73, WriteFlash2xBytesWithHeader, 0, From(2), 0, 0, From(5), 0, 0, 1)                                             \
    X(74, WriteDevDataRegionByID, 0, 0, 0, From(2), 1)                                                                 \
    X(75, EchoTest, 0)

struct Operation {
    uint16_t number;
    const char *name;
    const int16_t *counts; // one per argument after the handle
    size_t arguments;
};

namespace op {
// The three without a handle: bodies of their own, no arguments listed.
inline constexpr Operation Open{kOpOpen, "GetCalInterface", nullptr, 0};
inline constexpr Operation Close{kOpClose, "CloseCalInterface", nullptr, 0};
inline constexpr Operation OptionInfo{kOpOptionInfo, "GetOptionInfo", nullptr, 0};

#define CALWIRE_DEFINE_OPERATION(number_, name_, ...)                                                                  \
    inline constexpr int16_t name_##Counts[] = {0 __VA_OPT__(, ) __VA_ARGS__};                                         \
    inline constexpr Operation name_{number_, #name_, name_##Counts + 1, std::size(name_##Counts) - 1};
CALWIRE_OPERATIONS(CALWIRE_DEFINE_OPERATION)
#undef CALWIRE_DEFINE_OPERATION
} // namespace op

// The operation with that number (any of the three without a handle too,
// with no arguments listed); null for an unknown number.
const Operation *FindOperation(uint16_t number);

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
        static_assert(std::is_arithmetic_v<T>, "values only");
        constexpr size_t size = std::is_same_v<T, double> ? 8 : sizeof(T);
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
        if (Left() / (std::is_same_v<T, double> ? 8 : sizeof(T)) < count)
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

enum : uint8_t { kNull = 0, kRoom = 1, kElements = 2 };

namespace detail {

template <typename T> inline constexpr bool kIsPointer = std::is_pointer_v<T>;
template <typename T> using Element = std::remove_cv_t<std::remove_pointer_t<T>>;
template <typename T> inline constexpr bool kIsWritable = kIsPointer<T> && !std::is_const_v<std::remove_pointer_t<T>>;

// What a count argument says; other arguments count nothing.
template <typename T> int64_t CountValue(const T &value)
{
    if constexpr (std::is_integral_v<T>)
        return static_cast<int64_t>(value);
    else
        return 0;
}

inline size_t ElementCount(int16_t count, const int64_t *values)
{
    if (count > 0)
        return size_t(count);
    int64_t n = values[-count - 1];
    return n > 0 ? size_t(n) : 0;
}

template <typename T> size_t WireSize()
{
    return std::is_same_v<T, double> ? 8 : sizeof(T);
}

template <typename T> bool PutArgument(Writer &w, int16_t count, const int64_t *values, T argument)
{
    if constexpr (!kIsPointer<T>) {
        w.Put(argument);
        return true;
    } else {
        using E = Element<T>;
        if (argument == nullptr) {
            w.Put(uint8_t(kNull));
            w.Put(uint32_t(0));
            return true;
        }
        size_t n = ElementCount(count, values);
        if (n > kMaxBody / WireSize<E>())
            return false;
        bool room = kIsWritable<T> && count < 0;
        w.Put(uint8_t(room ? kRoom : kElements));
        w.Put(uint32_t(n));
        if (!room)
            w.PutArray(argument, n);
        return w.bytes.size() <= kMaxBody;
    }
}

template <typename T> bool GetOutput(Reader &r, int16_t count, const int64_t *values, T argument)
{
    if constexpr (!kIsWritable<T>) {
        return true;
    } else {
        uint8_t kind = 0;
        if (!r.Get(kind))
            return false;
        if (kind == kNull)
            return true;
        uint32_t n = 0;
        if (kind != kElements || argument == nullptr || !r.Get(n) || n != ElementCount(count, values))
            return false;
        return r.GetArray(argument, n);
    }
}

} // namespace detail

// Host side: the request body for a call with these arguments (after the
// handle); false when it would pass kMaxBody.
template <typename... A> bool EncodeArguments(Writer &w, const Operation &operation, A... arguments)
{
    const int64_t values[] = {detail::CountValue(arguments)..., 0};
    [[maybe_unused]] size_t i = 0;
    (void)values; // an operation without arguments reads none
    return (detail::PutArgument(w, operation.counts[i++], values, arguments) && ...);
}

// Host side: copies the answer's outputs into the caller's buffers; false
// when the answer does not fit the call.
template <typename... A> bool DecodeOutputs(Reader &r, const Operation &operation, A... arguments)
{
    const int64_t values[] = {detail::CountValue(arguments)..., 0};
    [[maybe_unused]] size_t i = 0;
    (void)values;
    return (detail::GetOutput(r, operation.counts[i++], values, arguments) && ...) && r.AtEnd();
}

// Results.
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

// An error text, or none; false when unreadable.
inline bool GetResult(Reader &r, bool &failed, std::string &text)
{
    uint8_t flag = 0;
    if (!r.Get(flag) || flag > 1)
        return false;
    failed = flag == 1;
    return !failed || r.GetText(text);
}

// Target side: one argument as it arrived, and what goes back.
template <typename T> struct Slot {
    T value{};
    bool Read(Reader &r) { return r.Get(value); }
    int64_t CountValue() const { return detail::CountValue(value); }
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
        if (count > kMaxBody / detail::WireSize<Plain>())
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
        return kind == kNull && detail::ElementCount(expected, values) > 0;
    }
    bool Fits(int16_t expected, const int64_t *values) const
    {
        if (kind == kNull)
            return true;
        bool room = !std::is_const_v<E> && expected < 0;
        return kind == (room ? kRoom : kElements) && count == detail::ElementCount(expected, values);
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

// Target side: decodes the arguments, calls fn with handle, and writes the
// answer body; false (nothing called) when the request does not fit fn and
// its operation.
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

// The counts of an operation agree with the function it names: a count for
// every pointer and for nothing else.
template <typename R, typename... P> constexpr bool Matches(R (*)(TavrelCalHandle, P...), const Operation &operation)
{
    if (operation.arguments != sizeof...(P))
        return false;
    const bool pointer[] = {std::is_pointer_v<P>..., false};
    for (size_t i = 0; i < sizeof...(P); ++i) {
        int16_t count = operation.counts[i];
        if (pointer[i] != (count != 0))
            return false;
        if (count < 0 && (size_t(-count - 1) >= sizeof...(P) || pointer[size_t(-count - 1)]))
            return false;
    }
    return true;
}

} // namespace calwire

#endif
