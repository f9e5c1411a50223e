// Device Data of the simulated modem (first cut): three 64 KB Flash 2.x
// sections, write keys, blocks with checksums, regions and the stamp.
#include "calsim/sim_core.h"

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kSectionSize = 65536;
constexpr uint32_t kDevDataSize = 32768;
constexpr int kBlocks = 8;
// Block table: start and length of each checksummed block.
constexpr uint32_t kBlockStart[kBlocks] = {0x0000, 0x0100, 0x0900, 0x1100, 0x1900, 0x3900, 0x4100, 0x4900};
constexpr uint32_t kBlockLength[kBlocks] = {0x0100, 0x0800, 0x0800, 0x0800, 0x2000, 0x0800, 0x0800, 0x0800};
// Regions 1 to 11: start and size.
constexpr uint32_t kRegionStart[12] = {0, 0x0000, 0x0100, 0x0900, 0x1100, 0x1900, 0x3900, 0x4100, 0x4900, 0x5100, 0x5200, 0x5300};
constexpr uint32_t kRegionSize[12] = {0, 0x100, 0x800, 0x800, 0x800, 0x2000, 0x800, 0x800, 0x800, 0x100, 0x100, 0x40};

struct DevData {
    std::vector<uint8_t> sections[3];
    uint32_t currentSection = 0;
    uint32_t activeSection = 0;
    uint32_t key = 0;
    uint32_t sectorSize = 4096;
};
DevData g_dd;

void ResetDevData()
{
    g_dd = DevData{};
    for (auto &s : g_dd.sections) {
        s.assign(kSectionSize, 0xFF);
        for (uint32_t i = 0; i < kDevDataSize; ++i)
            s[i] = static_cast<uint8_t>((i * 7 + (i >> 8)) & 0xFF);
    }
}
calsim::ResetRegistration g_reset(ResetDevData);

std::vector<uint8_t> &Current()
{
    return g_dd.sections[g_dd.currentSection];
}

bool InRange(uint32_t address, uint64_t bytes)
{
    return address <= kSectionSize && bytes <= kSectionSize - address;
}

const char *UseKey(uint32_t key)
{
    if (key == 0 || key != g_dd.key)
        return "Invalid Device Data write key";
    g_dd.key = 0; // a key serves one write
    return nullptr;
}

uint16_t BlockChecksum(int block)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kBlockLength[block]; ++i)
        sum += Current()[kBlockStart[block] + i];
    return static_cast<uint16_t>(sum);
}

} // namespace

using namespace calsim;

extern "C" {

TavrelResult LoadDevData(TavrelCalHandle h, uint32_t loadMode)
{
    if (const char *error = Enter("LoadDevData", h))
        return error;
    if (loadMode > 2)
        return Textf("Invalid load mode %u (0 to 2)", loadMode);
    return nullptr;
}

TavrelResult IsDevDataValid(TavrelCalHandle h, int32_t *valid)
{
    if (const char *error = Enter("IsDevDataValid", h))
        return error;
    *valid = 1;
    return nullptr;
}

TavrelResult AreDevDataChecksumsValidArray(TavrelCalHandle h, uint8_t valid[10], uint32_t *blockCount)
{
    if (const char *error = Enter("AreDevDataChecksumsValidArray", h))
        return error;
    for (int i = 0; i < kBlocks; ++i)
        valid[i] = 1;
    *blockCount = kBlocks;
    return nullptr;
}

TavrelResult GetDevDataChecksumsArray(TavrelCalHandle h, uint16_t checksums[10], uint32_t *blockCount)
{
    if (const char *error = Enter("GetDevDataChecksumsArray", h))
        return error;
    for (int i = 0; i < kBlocks; ++i)
        checksums[i] = BlockChecksum(i);
    *blockCount = kBlocks;
    return nullptr;
}

TavrelResult IsCalibrationValid(TavrelCalHandle h, int32_t *valid)
{
    if (const char *error = Enter("IsCalibrationValid", h))
        return error;
    *valid = 1;
    return nullptr;
}

TavrelResult GetCalibrationInfo(TavrelCalHandle h, uint8_t *calFlag, uint8_t *vendorId, uint8_t date[4],
                                uint8_t time[4], uint8_t swVersion[4])
{
    if (const char *error = Enter("GetCalibrationInfo", h))
        return error;
    *calFlag = 1;
    *vendorId = 0x2A;
    const uint8_t d[4] = {0x09, 0x10, 0x23, 0x00}, t[4] = {0x14, 0x35, 0x07, 0x00}, v[4] = {0x03, 0x05, 0x00, 0x00};
    std::memcpy(date, d, 4);
    std::memcpy(time, t, 4);
    std::memcpy(swVersion, v, 4);
    return nullptr;
}

TavrelResult GetMACAddress(TavrelCalHandle h, uint8_t mac[6])
{
    if (const char *error = Enter("GetMACAddress", h))
        return error;
    const uint8_t m[6] = {0x00, 0x1D, 0x88, 0x4C, 0x21, 0x07};
    std::memcpy(mac, m, 6);
    return nullptr;
}

TavrelResult GetDevDataSize(TavrelCalHandle h, int32_t *sizeBytes)
{
    if (const char *error = Enter("GetDevDataSize", h))
        return error;
    *sizeBytes = static_cast<int32_t>(kDevDataSize);
    return nullptr;
}

TavrelResult GetDevDataInfo(TavrelCalHandle h, uint32_t *nvmType, int32_t *sizeBytes, uint32_t *flashMapType)
{
    if (const char *error = Enter("GetDevDataInfo", h))
        return error;
    *nvmType = 1;
    *sizeBytes = static_cast<int32_t>(kDevDataSize);
    *flashMapType = 2;
    return nullptr;
}

TavrelResult GetFlash2xDevDataInfo(TavrelCalHandle h, uint32_t sectionFlags[3])
{
    if (const char *error = Enter("GetFlash2xDevDataInfo", h))
        return error;
    for (uint32_t s = 0; s < 3; ++s)
        sectionFlags[s] = 0x3u | (s == g_dd.activeSection ? 0x8u : 0u);
    return nullptr;
}

TavrelResult SelectActiveDevDataSection(TavrelCalHandle h, uint32_t section)
{
    if (const char *error = Enter("SelectActiveDevDataSection", h))
        return error;
    if (section > 2)
        return Textf("Invalid Device Data section %u (0 to 2)", section);
    g_dd.activeSection = section;
    return nullptr;
}

TavrelResult SelectCurrentDevDataSection(TavrelCalHandle h, uint32_t section)
{
    if (const char *error = Enter("SelectCurrentDevDataSection", h))
        return error;
    if (section > 2)
        return Textf("Invalid Device Data section %u (0 to 2)", section);
    g_dd.currentSection = section;
    return nullptr;
}

TavrelResult CopyDevDataSection(TavrelCalHandle h, uint32_t sourceSection, uint32_t targetSection, uint32_t byteCount,
                                uint32_t startOffset)
{
    if (const char *error = Enter("CopyDevDataSection", h))
        return error;
    if (sourceSection > 2 || targetSection > 2)
        return "Invalid Device Data section (0 to 2)";
    if (byteCount == 0 || !InRange(startOffset, byteCount))
        return "Copy range outside the section";
    std::memcpy(g_dd.sections[targetSection].data() + startOffset, g_dd.sections[sourceSection].data() + startOffset,
                byteCount);
    return nullptr;
}

TavrelResult InitializeFlash(TavrelCalHandle h, uint32_t desiredSectorSize, uint32_t *actualSectorSize)
{
    if (const char *error = Enter("InitializeFlash", h))
        return error;
    uint32_t size = 4096;
    while (size < desiredSectorSize && size < 65536)
        size <<= 1;
    g_dd.sectorSize = size;
    *actualSectorSize = size;
    return nullptr;
}

TavrelResult ReadDevDataBlock(TavrelCalHandle h, uint32_t *buffer, uint32_t wordCount, uint32_t address)
{
    if (const char *error = Enter("ReadDevDataBlock", h))
        return error;
    if (!InRange(address, 4ull * wordCount))
        return "Device Data address range out of bounds";
    if (wordCount > 0)
        std::memcpy(buffer, Current().data() + address, 4ull * wordCount);
    return nullptr;
}

TavrelResult ReadDevDataBytes(TavrelCalHandle h, uint8_t *buffer, uint32_t byteCount, uint32_t address)
{
    if (const char *error = Enter("ReadDevDataBytes", h))
        return error;
    if (!InRange(address, byteCount))
        return "Device Data address range out of bounds";
    if (byteCount > 0)
        std::memcpy(buffer, Current().data() + address, byteCount);
    return nullptr;
}

TavrelResult GetDevDataRegionSizeByID(TavrelCalHandle h, int32_t regionId, int32_t *regionSize)
{
    if (const char *error = Enter("GetDevDataRegionSizeByID", h))
        return error;
    if (regionId < 1 || regionId > 11)
        return Textf("Unknown Device Data region ID %d", regionId);
    *regionSize = static_cast<int32_t>(kRegionSize[regionId]);
    return nullptr;
}

TavrelResult ReadDevDataRegionByID(TavrelCalHandle h, int32_t regionId, int32_t regionSize, uint8_t *buffer,
                                   uint32_t *bytesReturned)
{
    if (const char *error = Enter("ReadDevDataRegionByID", h))
        return error;
    if (regionId < 1 || regionId > 11)
        return Textf("Unknown Device Data region ID %d", regionId);
    uint32_t n = regionSize < 0 ? 0 : static_cast<uint32_t>(regionSize);
    if (n > kRegionSize[regionId])
        n = kRegionSize[regionId];
    if (n > 0)
        std::memcpy(buffer, Current().data() + kRegionStart[regionId], n);
    *bytesReturned = n;
    return nullptr;
}

uint32_t RequestDevDataWriteKey(TavrelCalHandle h)
{
    if (Enter("RequestDevDataWriteKey", h) != nullptr)
        return 0;
    do {
        g_dd.key = RandomU32();
    } while (g_dd.key == 0);
    return g_dd.key;
}

TavrelResult WriteDevDataBlock(TavrelCalHandle h, uint32_t key, const uint32_t *data, uint32_t wordCount,
                               uint32_t address, uint32_t *wordsWritten)
{
    if (const char *error = Enter("WriteDevDataBlock", h))
        return error;
    if (const char *error = UseKey(key))
        return error;
    if (!InRange(address, 4ull * wordCount))
        return "Device Data address range out of bounds";
    if (wordCount > 0)
        std::memcpy(Current().data() + address, data, 4ull * wordCount);
    *wordsWritten = wordCount;
    return nullptr;
}

TavrelResult WriteDevDataBytes(TavrelCalHandle h, uint32_t key, const uint8_t *data, uint32_t byteCount,
                               uint32_t address, uint32_t *bytesWritten)
{
    if (const char *error = Enter("WriteDevDataBytes", h))
        return error;
    if (const char *error = UseKey(key))
        return error;
    if (!InRange(address, byteCount))
        return "Device Data address range out of bounds";
    if (byteCount > 0)
        std::memcpy(Current().data() + address, data, byteCount);
    *bytesWritten = byteCount;
    return nullptr;
}

TavrelResult WriteFlash2xBytesWithHeader(TavrelCalHandle h, uint32_t key, const uint8_t *data, uint32_t byteCount,
                                         uint32_t flashOffset, const uint32_t *header, uint32_t headerWords,
                                         uint32_t writeMode, uint32_t *bytesWritten)
{
    if (const char *error = Enter("WriteFlash2xBytesWithHeader", h))
        return error;
    if (const char *error = UseKey(key))
        return error;
    if (headerWords < 3 || header == nullptr)
        return "Invalid DSD header record";
    if (writeMode < 1 || writeMode > 2)
        return Textf("Invalid Flash 2.x write mode %u (1 or 2)", writeMode);
    if (!InRange(flashOffset, byteCount))
        return "Flash 2.x block outside the section image";
    std::vector<uint8_t> &image = Current();
    if (byteCount > 0)
        std::memcpy(image.data() + flashOffset, data, byteCount);
    constexpr uint32_t kHeader = 63 * 1024;
    if (writeMode == 1)
        for (uint32_t i = flashOffset + byteCount; i < kHeader; ++i)
            image[i] = 0xFF;
    auto putBigEndian = [&image](uint32_t at, uint32_t value) {
        image[at] = static_cast<uint8_t>(value >> 24);
        image[at + 1] = static_cast<uint8_t>(value >> 16);
        image[at + 2] = static_cast<uint8_t>(value >> 8);
        image[at + 3] = static_cast<uint8_t>(value);
    };
    std::memset(image.data() + kHeader, 0xFF, 1024);
    putBigEndian(kHeader, header[1]);
    putBigEndian(kHeader + 8, header[2]);
    putBigEndian(kSectionSize - 4, 0xA7C30D5Du);
    *bytesWritten = byteCount;
    return nullptr;
}

TavrelResult WriteDevDataRegionByID(TavrelCalHandle h, uint32_t key, int32_t regionId, uint32_t byteCount,
                                    const uint8_t *data, uint32_t *bytesWritten)
{
    if (const char *error = Enter("WriteDevDataRegionByID", h))
        return error;
    if (const char *error = UseKey(key))
        return error;
    if (regionId < 1 || regionId > 11)
        return Textf("Unknown Device Data region ID %d", regionId);
    uint32_t size = kRegionSize[regionId];
    uint32_t n = byteCount < size ? byteCount : size;
    uint8_t *region = Current().data() + kRegionStart[regionId];
    if (n > 0)
        std::memcpy(region, data, n);
    std::memset(region + n, 0, size - n); // the rest of the region reads back as zero
    *bytesWritten = n;
    return nullptr;
}

} // extern "C"
