// Test control of the simulated Device Data memory: inspection, raw
// contents, device variants and the faults that only a non-volatile memory
// has (a write that stops part-way, a read-back that differs, a short region
// read). Whole operations fail through calsim::FailOperation as usual.
#ifndef CALSIM_CONTROL_DEVDATA_H
#define CALSIM_CONTROL_DEVDATA_H

#include "calsim/control.h"

#include <cstdint>
#include <vector>

namespace calsim {

// Sizes of the simulated memory.
constexpr uint32_t kDevDataSectionSize = 65536; // one Flash 2.x section image
constexpr uint32_t kDevDataImageSize = 32768;   // the Device Data proper
constexpr uint32_t kDsdHeaderOffset = 63 * 1024;

// Copies of the memories: a Flash 2.x section (0-2) and the Device Data
// buffer in device memory (NVM modes 1 and 2).
std::vector<uint8_t> DevDataSection(uint32_t section);
std::vector<uint8_t> DevDataBuffer();

// Raw contents, written as they are (no key, no checksum update).
void PokeDevDataSection(uint32_t section, uint32_t address, const std::vector<uint8_t> &bytes);

// The sector size InitializeFlash settled on.
uint32_t FlashSectorSize();

// Section state: a missing section, or one that refuses writes.
void SetDevDataSectionState(uint32_t section, bool present, bool readOnly);

// What GetDevDataInfo and GetDevDataSize report (a device other than the
// Flash 2.x one; a map type other than 2 also refuses the Flash 2.x
// operations).
void SetDevDataInfo(uint32_t nvmType, int32_t sizeBytes, uint32_t flashMapType);

// Block count reported by the per-block queries (negative: the real 10).
// At most 10 entries are ever filled in.
void ForceDevDataBlockCount(int64_t count);

// Size reported for a region; reads and writes use it too, within the
// Device Data (a negative or huge size is only reported).
void SetDevDataRegionSize(int32_t regionId, int32_t size);

// The next call of `operation` (WriteDevDataBlock, WriteDevDataBytes,
// WriteFlash2xBytesWithHeader or WriteDevDataRegionByID) writes only the
// first `bytes` bytes of its data and then fails with `text`.
void FailDevDataWritePartway(const char *operation, uint32_t bytes, const char *text);

// After `skip` good ones, the next `times` reads (-1: all) that cover
// `address` return that byte XORed with `mask`; the memory is unchanged.
void CorruptDevDataReads(uint32_t address, uint8_t mask, int times = 1, int skip = 0);

// After `skip` good ones, the next `times` region reads (-1: all) return
// `missing` bytes fewer.
void ShortenRegionReads(uint32_t missing, int times = 1, int skip = 0);

} // namespace calsim

#endif
