// The calibration link's operation table: the number of every operation
// of the calibration interface and the shape of its arguments, from which
// both sides encode and check a call. The codec that carries the calls
// (codec.h) comes with this header: whoever speaks the link needs both.
//
// An operation that takes a handle sends the arguments after it; for each
// pointer the table gives its element count, a fixed number or the value
// of another argument (a buffer sized by the call). Both sides hold a call
// to exactly that many elements.
//
// Three operations take no handle and have bodies of their own:
//   kOpOpen        request: u32 type, text address, u32 number (the
//                  GetCalInterface arguments); answer: u8 1 when the target
//                  opened its interface, 0 when it refused.
//   kOpClose       request: empty; answer: i32 CloseCalInterface's result.
//   kOpOptionInfo  request: u32 index; answer: u32 ID, text name, u32
//                  minimum, maximum, default, reserved flag.
#ifndef CALWIRE_CALWIRE_H
#define CALWIRE_CALWIRE_H

#include "calapi/calapi.h"
#include "calwire/codec.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

namespace calwire {

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

// What an argument says when another argument's count is its value; other
// arguments count nothing.
template <typename T> constexpr int64_t CountValue(const T &value)
{
    if constexpr (std::is_integral_v<T>)
        return static_cast<int64_t>(value);
    else
        return 0;
}

// The elements a pointer stands for: the table's count, or the value of
// the argument it names (values: every argument's CountValue, in order); a
// negative value counts none.
inline size_t ElementCount(int16_t count, const int64_t *values)
{
    if (count > 0)
        return size_t(count);
    int64_t n = values[-count - 1];
    return n > 0 ? size_t(n) : 0;
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
