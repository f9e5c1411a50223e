// The simulated Device Data memory: its power-on contents, the layout
// helpers the operations share, and the test control of control_devdata.h.
#include "calsim/sim_core.h"
#include "calsim/sim_devdata.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace calsim::dd {

const Extent kBlocks[kMaxBlocks] = {
    {0x0000, 0x0100}, // Compatibility
    {0x0100, 0x0C00}, // RF
    {0x0D00, 0x0800}, // PHY
    {0x1500, 0x0400}, // MAC
    {0x1900, 0x2000}, // CAL
    {0x3900, 0x0400}, // HW
    {0x3D00, 0x1000}, // MIB
    {0x4D00, 0x0800}, // Security
    {0x5500, 0x1000}, // OMA DM
    {0x6500, 0x1B00}, // unused, to the end of the 32 KB
};

// Regions lie inside blocks and clear of the stored checksums.
const Extent kRegions[kMaxRegion + 1] = {
    {0, 0},           // regions count from 1
    {0x0020, 0x0020}, // product identity
    {0x0100, 0x0400}, // RF tables
    {0x0D00, 0x0200}, // PHY parameters
    {0x1500, 0x0010}, // MAC: 3-byte prefix, MAC address, spare
    {0x1900, 0x0010}, // calibration stamp
    {0x1920, 0x1000}, // calibration tables
    {0x3900, 0x0100}, // hardware options
    {0x3D00, 0x0800}, // MIB
    {0x4D00, 0x0400}, // security
    {0x5500, 0x0800}, // OMA DM
    {0x6500, 0x0040}, // spare
};

namespace {

State g_state;

void PutBigEndian(uint8_t *at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

uint32_t GetBigEndian(const uint8_t *at)
{
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
           at[3];
}

void StoreChecksums(std::vector<uint8_t> &image)
{
    for (uint32_t b = 0; b < kMaxBlocks; ++b) {
        uint16_t crc = Crc16(image.data() + kBlocks[b].start, kBlocks[b].size - 2);
        uint32_t at = kBlocks[b].start + kBlocks[b].size - 2;
        image[at] = static_cast<uint8_t>(crc >> 8);
        image[at + 1] = static_cast<uint8_t>(crc);
    }
}

struct Stamp {
    uint8_t date[3];
    uint8_t time[3];
    uint32_t priority;
};

// A calibrated section image: Device Data, erased space, DSD header.
std::vector<uint8_t> FactoryImage(const Stamp &stamp)
{
    std::vector<uint8_t> image(kDevDataSectionSize, 0xFF);
    for (uint32_t i = 0; i < kDevDataImageSize; ++i)
        image[i] = static_cast<uint8_t>((i * 7 + (i >> 8) + stamp.date[1]) & 0xFF);
    const uint8_t stampBytes[14] = {1,
                                    0x2A,
                                    stamp.date[0],
                                    stamp.date[1],
                                    stamp.date[2],
                                    0,
                                    stamp.time[0],
                                    stamp.time[1],
                                    stamp.time[2],
                                    0,
                                    0x03,
                                    0x05,
                                    0x00,
                                    0};
    std::memcpy(image.data() + kStampAddress, stampBytes, sizeof stampBytes);
    const uint8_t mac[kMacPrefixBytes + 6] = {0xA4, 0x00, 0x06, 0x00, 0x1D, 0x88, 0x4C, 0x21, 0x07};
    std::memcpy(image.data() + kRegions[kMacRegion].start, mac, sizeof mac);
    StoreChecksums(image);
    LayDsdHeader(image.data(), kDevDataImageSize, stamp.priority);
    return image;
}

// Power-on: section 0 active with the latest calibration, section 1 a
// read-only factory copy, section 2 erased; the device has loaded section 0.
// The two calibrated images never change, so they are built once.
void ResetDevData()
{
    static const std::vector<uint8_t> latest = FactoryImage({{0x09, 0x10, 0x23}, {0x14, 0x35, 0x07}, 10});
    static const std::vector<uint8_t> factory = FactoryImage({{0x08, 0x03, 0x17}, {0x09, 0x12, 0x44}, 5});
    g_state = State{};
    g_state.sections[0].image = latest;
    g_state.sections[1].image = factory;
    g_state.sections[1].readOnly = true;
    g_state.sections[2].image.assign(kDevDataSectionSize, 0xFF);
    g_state.buffer.assign(g_state.sections[0].image.begin(), g_state.sections[0].image.begin() + kDevDataImageSize);
    g_state.loaded = g_state.buffer;
}
ResetRegistration g_reset(ResetDevData);

} // namespace

State &Dev()
{
    return g_state;
}

// CRC-16 (polynomial 0x1021, initial value 0xFFFF): an all-zero block with
// a zero checksum does not pass. A byte at a time through a table: the
// power-on images are checksummed at every start of the program.
uint16_t Crc16(const uint8_t *data, uint32_t count)
{
    static constexpr std::array<uint16_t, 256> kTable = [] {
        std::array<uint16_t, 256> table{};
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint16_t crc = static_cast<uint16_t>(byte << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
            table[byte] = crc;
        }
        return table;
    }();
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < count; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

uint16_t BlockChecksum(const std::vector<uint8_t> &image, uint32_t block)
{
    return Crc16(image.data() + kBlocks[block].start, kBlocks[block].size - 2);
}

bool BlockValid(const std::vector<uint8_t> &image, uint32_t block)
{
    uint32_t at = kBlocks[block].start + kBlocks[block].size - 2;
    uint16_t stored = static_cast<uint16_t>((image[at] << 8) | image[at + 1]);
    return stored == BlockChecksum(image, block);
}

bool SectionValid(const Section &section)
{
    return section.present && GetBigEndian(section.image.data() + kDevDataSectionSize - 4) == kMagic;
}

void LayDsdHeader(uint8_t *image, uint32_t size, uint32_t priority)
{
    std::memset(image + kDsdHeaderOffset, 0xFF, kDevDataSectionSize - kDsdHeaderOffset);
    PutBigEndian(image + kDsdHeaderOffset, size);
    PutBigEndian(image + kDsdHeaderOffset + 8, priority);
    PutBigEndian(image + kDevDataSectionSize - 4, kMagic);
}

int32_t RegionReportedSize(int32_t regionId)
{
    auto it = g_state.regionSizes.find(regionId);
    return it != g_state.regionSizes.end() ? it->second : static_cast<int32_t>(kRegions[regionId].size);
}

const char *CheckRegion(int32_t regionId)
{
    if (regionId < 1 || regionId > kMaxRegion)
        return Textf("Unknown Device Data region ID %d", regionId);
    return nullptr;
}

Extent RegionExtent(int32_t regionId)
{
    Extent extent = kRegions[regionId];
    int32_t size = RegionReportedSize(regionId);
    uint32_t room = kDevDataImageSize - extent.start;
    extent.size = size < 0 ? 0 : std::min(static_cast<uint32_t>(size), room);
    return extent;
}

bool InRange(uint64_t address, uint64_t count, std::size_t size)
{
    return address <= size && count <= size - address;
}

std::vector<uint8_t> *Target(bool forWrite, const char **error)
{
    if (OptionValue(TAVREL_OPTION_NVM_MODE) != 0)
        return &g_state.buffer;
    Section &section = g_state.sections[g_state.current];
    if (!section.present) {
        *error = Textf("Device Data section %u is not present", g_state.current);
        return nullptr;
    }
    if (forWrite && section.readOnly) {
        *error = Textf("Device Data section %u is read-only", g_state.current);
        return nullptr;
    }
    return &section.image;
}

void ReadOut(const std::vector<uint8_t> &memory, uint32_t address, uint8_t *out, uint32_t count)
{
    if (count == 0)
        return;
    std::memcpy(out, memory.data() + address, count);
    for (Corruption &c : g_state.corruptions) {
        if (c.address >= address && c.address - address < count && c.fault.Hit())
            out[c.address - address] ^= c.mask;
    }
}

const char *UseKey(uint32_t key)
{
    if (key == 0)
        return "No Device Data write key (0)";
    if (key != g_state.key) {
        if (g_state.issuedKeys.count(key) != 0)
            return Textf("Device Data write key %08X has been used or replaced", key);
        return Textf("Invalid Device Data write key %08X", key);
    }
    g_state.key = 0; // a key serves one write
    return nullptr;
}

const char *PartialWriteLimit(const char *operation, uint32_t &n)
{
    auto it = g_state.partialWrites.find(operation);
    if (it == g_state.partialWrites.end())
        return nullptr;
    n = std::min(n, it->second.bytes);
    const char *text = Text(it->second.text);
    g_state.partialWrites.erase(it);
    return text;
}

} // namespace calsim::dd

namespace calsim {

using dd::g_state;

std::vector<uint8_t> DevDataSection(uint32_t section)
{
    return section < dd::kSections ? g_state.sections[section].image : std::vector<uint8_t>{};
}

std::vector<uint8_t> DevDataBuffer()
{
    return g_state.buffer;
}

void DumpDevDataIfAsked()
{
    const char *path = std::getenv("CALSIM_DEVDATA_DUMP");
    if (path == nullptr || path[0] == '\0')
        return;
    std::FILE *file = std::fopen(path, "wb");
    if (file == nullptr)
        return;
    for (const dd::Section &section : g_state.sections)
        std::fwrite(section.image.data(), 1, section.image.size(), file);
    std::fwrite(g_state.buffer.data(), 1, g_state.buffer.size(), file);
    std::fwrite(g_state.loaded.data(), 1, g_state.loaded.size(), file);
    std::fclose(file);
}

void PokeDevDataSection(uint32_t section, uint32_t address, const std::vector<uint8_t> &bytes)
{
    if (section < dd::kSections && dd::InRange(address, bytes.size(), kDevDataSectionSize))
        std::copy(bytes.begin(), bytes.end(), g_state.sections[section].image.begin() + address);
}

uint32_t FlashSectorSize()
{
    return g_state.sectorSize;
}

void SetDevDataSectionState(uint32_t section, bool present, bool readOnly)
{
    if (section < dd::kSections) {
        g_state.sections[section].present = present;
        g_state.sections[section].readOnly = readOnly;
    }
}

void SetDevDataInfo(uint32_t nvmType, int32_t sizeBytes, uint32_t flashMapType)
{
    g_state.nvmType = nvmType;
    g_state.sizeBytes = sizeBytes;
    g_state.flashMapType = flashMapType;
}

void ForceDevDataBlockCount(int64_t count)
{
    g_state.forcedBlockCount = count;
}

void SetDevDataRegionSize(int32_t regionId, int32_t size)
{
    g_state.regionSizes[regionId] = size;
}

void FailDevDataWritePartway(const char *operation, uint32_t bytes, const char *text)
{
    g_state.partialWrites[operation] = dd::PartialWrite{bytes, text ? text : "Simulated write failure"};
}

void CorruptDevDataReads(uint32_t address, uint8_t mask, int times, int skip)
{
    g_state.corruptions.push_back({address, mask, {.skip = skip, .times = times}});
}

void ShortenRegionReads(uint32_t missing, int times, int skip)
{
    g_state.regionShortfall = missing;
    g_state.shortRegionRead = {.skip = skip, .times = times};
}

} // namespace calsim
