// Test control of the simulated radio and hardware: the bench around the
// device, and raw values the device would not produce by itself (so that
// the console's handling of odd values can be exercised). Everything set
// here lasts until calsim::Reset.
#ifndef CALSIM_CONTROL_RADIO_H
#define CALSIM_CONTROL_RADIO_H

#include "calsim/control.h"
#include "calapi/calapi.h"

#include <cstddef>
#include <cstdint>

namespace calsim {

// The signal generator on the bench: level at each receive antenna, dBm
// (power-on: -60 and -61.5).
void SetBenchSignal(double rx1Dbm, double rx2Dbm);

// Rx state taken as is, without the checks of the Set operations.
void ForceRxAntConfig(uint32_t config);
void ForceRxGainState(uint32_t path, uint32_t extLna, uint32_t lnaGain, uint32_t mixerGain, int32_t pgaIndex);

// GetRSSIReport returns exactly these values from now on.
struct RssiReport {
    double rx1Rssi;
    double rx2Rssi;
    double combinedRssi;
    double rx1AdcPower;
    double rx2AdcPower;
    uint32_t rx1ClipCount;
    uint32_t rx2ClipCount;
    uint32_t adcSamples;
};
void ForceRssiReport(const RssiReport &report);

// GetFrameErrorStatistics returns exactly these counters from now on.
void ForceFrameErrorStatistics(uint32_t totalFrames, uint32_t framesInError);

// GetPDUErrorStatistics returns exactly these counters and tables from now on.
struct PduStatistics {
    uint32_t totalFrames;
    uint32_t framesInError;
    uint32_t fchErrors;
    uint32_t dlMapErrors;
    uint32_t pduCount[TAVREL_PDU_DIUC_COUNT];
    uint32_t hcsErrors[TAVREL_PDU_DIUC_COUNT];
    uint32_t crcErrors[TAVREL_PDU_DIUC_COUNT];
    uint32_t burstSizes[TAVREL_PDU_DIUC_COUNT];
};
void ForcePduStatistics(const PduStatistics &statistics);

// Tx state taken as is.
void ForceTx1Attn(double backoffDb, uint32_t pgaIndex, uint32_t paDriverIndex, uint32_t extAttenuator);
void ForceTxDiversitySwitch(uint32_t antennaSwitch);

// The count CalibrateLCTrim reports (the twelve entries are still the only
// ones written).
void ForceLCTrimCount(uint32_t count);

// GPIO pin directions (bit set = input) and the level the input pins see.
void ForceGpioDirection(uint32_t direction);
void SetGpioInputLevel(uint32_t level);

// GetTemperature returns exactly this from now on.
void ForceTemperature(double celsius);

// The length GetRxSpectrum reports; it never writes past the capacity it
// is given.
void ForceSpectrumLength(uint32_t length);

// The driver version buffer's 32 bytes: `size` bytes of `bytes`, the rest
// zero (32 bytes without a zero give an unterminated text).
void ForceDriverVersion(const char *bytes, std::size_t size);
void ForceChipVersions(uint32_t basebandChip, uint32_t rfChip);

} // namespace calsim

#endif
