// Internals of the simulated Device Data memory, shared by the state file
// (power-on contents, test control) and the operations file.
//
// The device has three 64 KB Flash 2.x sections; the Device Data proper is
// the first 32 KB of a section, and a DSD header fills the last 1 KB. Beside
// the Flash it has a 32 KB Device Data buffer in its memory (NVM modes 1
// and 2 read and write there) and the image it loaded last, from which it
// reports checksums, calibration stamp and MAC address.
#ifndef CALSIM_SIM_DEVDATA_H
#define CALSIM_SIM_DEVDATA_H

#include "calsim/control_devdata.h"
#include "calsim/sim_core.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace calsim::dd {

constexpr uint32_t kSections = 3;
constexpr uint32_t kMagic = 0xA7C30D5Du;
constexpr uint32_t kMaxBlocks = 10;
constexpr int32_t kMaxRegion = 11;
constexpr uint32_t kMinSectorSize = 4096;

struct Extent {
    uint32_t start;
    uint32_t size;
};

// Checksummed blocks: the last 2 bytes of each hold its CRC-16,
// most significant byte first.
extern const Extent kBlocks[kMaxBlocks];
// Regions 1 to 11 (index 0 unused).
extern const Extent kRegions[kMaxRegion + 1];

// Fields inside the Device Data.
constexpr uint32_t kCalBlock = 4;
constexpr uint32_t kStampAddress = 0x1900; // flag, vendor, date[4], time[4], version[4]
constexpr uint32_t kMacRegion = 4;         // 3-byte prefix, then the MAC address
constexpr uint32_t kMacPrefixBytes = 3;

struct Section {
    std::vector<uint8_t> image;
    bool present = true;
    bool readOnly = false;
};

struct PartialWrite {
    uint32_t bytes = 0;
    std::string text;
};

struct Corruption {
    uint32_t address;
    uint8_t mask;
    FaultCount fault; // counts the reads that cover the address
};

struct State {
    Section sections[kSections];
    std::vector<uint8_t> buffer; // Device Data buffer in device memory
    std::vector<uint8_t> loaded; // the image in use
    uint32_t current = 0;
    uint32_t active = 0;
    uint32_t sectorSize = 65536;
    uint32_t key = 0;              // the one key that a write may use
    std::set<uint32_t> issuedKeys; // never handed out twice
    uint32_t nvmType = 1;          // Flash
    int32_t sizeBytes = static_cast<int32_t>(kDevDataImageSize);
    uint32_t flashMapType = 2;
    int64_t forcedBlockCount = -1;
    std::map<int32_t, int32_t> regionSizes; // sizes set by a test
    std::map<std::string, PartialWrite> partialWrites;
    std::vector<Corruption> corruptions;
    uint32_t regionShortfall = 0;
    FaultCount shortRegionRead;
};

State &Dev();

uint16_t Crc16(const uint8_t *data, uint32_t count);
bool BlockValid(const std::vector<uint8_t> &image, uint32_t block);
uint16_t BlockChecksum(const std::vector<uint8_t> &image, uint32_t block);
bool SectionValid(const Section &section);

// Lays the DSD header over the last 1 KB of a 64 KB section image: 0xFF
// filler, the Device Data size and the priority (most significant byte
// first) and the magic number at the end.
void LayDsdHeader(uint8_t *image, uint32_t size, uint32_t priority);

// Null for a known region ID (1 to kMaxRegion), else the error text.
const char *CheckRegion(int32_t regionId);
// For a known ID: start and size of the region as reads and writes see it,
// and the size reported for it.
Extent RegionExtent(int32_t regionId);
int32_t RegionReportedSize(int32_t regionId);

bool InRange(uint64_t address, uint64_t count, std::size_t size);

// The memory that address-based reads and writes reach in the current NVM
// mode: the current section (mode 0) or the buffer. Null with an error text
// when it cannot be used (a missing section, a read-only one for a write).
std::vector<uint8_t> *Target(bool forWrite, const char **error);

// Copies count bytes from memory at address, with injected corruptions.
void ReadOut(const std::vector<uint8_t> &memory, uint32_t address, uint8_t *out, uint32_t count);

// Takes the key of a write; null when it may go ahead.
const char *UseKey(uint32_t key);

// An armed part-way failure of `operation`: caps n at the bytes it lets
// through, disarms it and returns its text. Null (n untouched) when none is
// armed.
const char *PartialWriteLimit(const char *operation, uint32_t &n);

} // namespace calsim::dd

#endif
