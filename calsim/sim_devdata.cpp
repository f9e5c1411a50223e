// Device Data operations of the simulated modem: management of the loaded
// image and the Flash 2.x sections, reads, keyed writes. The memory itself
// and its power-on contents are in sim_devdata_state.cpp.
#include "calsim/sim_core.h"
#include "calsim/model.h"
#include "calsim/sim_devdata.h"

#include <algorithm>
#include <cstring>

using namespace calsim;
using namespace calsim::dd;

namespace {

const char kInvalidParameter[] = "Invalid parameter";
const char kOutOfBounds[] = "Device Data address range out of bounds";

const char *NeedFlash2x()
{
    return Dev().flashMapType == 2 ? nullptr : "Device Data is not held in a Flash 2.x map";
}

const char *CheckSection(uint32_t section)
{
    if (section >= kSections)
        return Textf("Invalid Device Data section %u (0 to 2)", section);
    if (!Dev().sections[section].present)
        return Textf("Device Data section %u is not present", section);
    return nullptr;
}

uint32_t BlockCount()
{
    int64_t forced = Dev().forcedBlockCount;
    return forced < 0 ? kMaxBlocks : static_cast<uint32_t>(forced);
}

const char *ReadAt(uint8_t *out, uint64_t count, uint32_t address)
{
    const char *error = nullptr;
    std::vector<uint8_t> *memory = Target(false, &error);
    if (memory == nullptr)
        return error;
    if (count > 0 && out == nullptr)
        return kInvalidParameter;
    if (!InRange(address, count, memory->size()))
        return kOutOfBounds;
    ReadOut(*memory, address, out, static_cast<uint32_t>(count));
    return nullptr;
}

// Shared by the word and byte writes; *written is in bytes. A part-way
// failure leaves the bytes before it written.
const char *WriteAt(const char *operation, uint32_t key, const uint8_t *data, uint64_t count, uint32_t address,
                    uint32_t *written)
{
    if (written == nullptr || (count > 0 && data == nullptr))
        return kInvalidParameter;
    if (const char *error = UseKey(key))
        return error;
    const char *error = nullptr;
    std::vector<uint8_t> *memory = Target(true, &error);
    if (memory == nullptr)
        return error;
    if (!InRange(address, count, memory->size()))
        return kOutOfBounds;
    uint32_t n = static_cast<uint32_t>(count); // in range: at most 64 KB
    const char *failure = PartialWriteLimit(operation, n);
    if (n > 0)
        std::memcpy(memory->data() + address, data, n);
    *written = n;
    return failure;
}

} // namespace

namespace calsim::model {

// Mode 1 copies the active section's Device Data into the buffer and loads
// it; mode 2 loads the buffer as the host left it.
TavrelResult LoadDevData(TavrelCalHandle h, uint32_t loadMode)
{
    if (const char *error = Enter("LoadDevData", h))
        return error;
    State &dev = Dev();
    if (loadMode > 2)
        return Textf("Invalid load mode %u (0 to 2)", loadMode);
    if (loadMode == 1) {
        const Section &section = dev.sections[dev.active];
        if (!SectionValid(section))
            return Textf("Device Data section %u holds no valid image", dev.active);
        dev.buffer.assign(section.image.begin(), section.image.begin() + kDevDataImageSize);
    }
    if (loadMode != 0)
        dev.loaded = dev.buffer;
    return nullptr;
}

TavrelResult IsDevDataValid(TavrelCalHandle h, int32_t *valid)
{
    if (const char *error = Enter("IsDevDataValid", h))
        return error;
    if (valid == nullptr)
        return kInvalidParameter;
    bool all = true;
    for (uint32_t b = 0; b < kMaxBlocks; ++b)
        all = all && BlockValid(Dev().loaded, b);
    *valid = all ? 1 : 0;
    return nullptr;
}

TavrelResult AreDevDataChecksumsValidArray(TavrelCalHandle h, uint8_t valid[TAVREL_DEVDATA_BLOCKS],
                                           uint32_t *blockCount)
{
    if (const char *error = Enter("AreDevDataChecksumsValidArray", h))
        return error;
    if (valid == nullptr || blockCount == nullptr)
        return kInvalidParameter;
    uint32_t count = BlockCount();
    for (uint32_t b = 0; b < std::min(count, kMaxBlocks); ++b)
        valid[b] = BlockValid(Dev().loaded, b) ? 1 : 0;
    *blockCount = count;
    return nullptr;
}

TavrelResult GetDevDataChecksumsArray(TavrelCalHandle h, uint16_t checksums[TAVREL_DEVDATA_BLOCKS],
                                      uint32_t *blockCount)
{
    if (const char *error = Enter("GetDevDataChecksumsArray", h))
        return error;
    if (checksums == nullptr || blockCount == nullptr)
        return kInvalidParameter;
    uint32_t count = BlockCount();
    for (uint32_t b = 0; b < std::min(count, kMaxBlocks); ++b)
        checksums[b] = BlockChecksum(Dev().loaded, b);
    *blockCount = count;
    return nullptr;
}

// Calibrated: the CAL block passes its checksum and the stamp's flag is set.
TavrelResult IsCalibrationValid(TavrelCalHandle h, int32_t *valid)
{
    if (const char *error = Enter("IsCalibrationValid", h))
        return error;
    if (valid == nullptr)
        return kInvalidParameter;
    const std::vector<uint8_t> &image = Dev().loaded;
    *valid = BlockValid(image, kCalBlock) && image[kStampAddress] != 0 ? 1 : 0;
    return nullptr;
}

TavrelResult GetCalibrationInfo(TavrelCalHandle h, uint8_t *calFlag, uint8_t *vendorId, uint8_t date[4],
                                uint8_t time[4], uint8_t swVersion[4])
{
    if (const char *error = Enter("GetCalibrationInfo", h))
        return error;
    if (!calFlag || !vendorId || !date || !time || !swVersion)
        return kInvalidParameter;
    const uint8_t *stamp = Dev().loaded.data() + kStampAddress;
    *calFlag = stamp[0];
    *vendorId = stamp[1];
    std::memcpy(date, stamp + 2, 4);
    std::memcpy(time, stamp + 6, 4);
    std::memcpy(swVersion, stamp + 10, 4);
    return nullptr;
}

TavrelResult GetMACAddress(TavrelCalHandle h, uint8_t mac[6])
{
    if (const char *error = Enter("GetMACAddress", h))
        return error;
    if (mac == nullptr)
        return kInvalidParameter;
    std::memcpy(mac, Dev().loaded.data() + kRegions[kMacRegion].start + kMacPrefixBytes, 6);
    return nullptr;
}

TavrelResult GetDevDataSize(TavrelCalHandle h, int32_t *sizeBytes)
{
    if (const char *error = Enter("GetDevDataSize", h))
        return error;
    if (sizeBytes == nullptr)
        return kInvalidParameter;
    *sizeBytes = Dev().sizeBytes;
    return nullptr;
}

TavrelResult GetDevDataInfo(TavrelCalHandle h, uint32_t *nvmType, int32_t *sizeBytes, uint32_t *flashMapType)
{
    if (const char *error = Enter("GetDevDataInfo", h))
        return error;
    if (!nvmType || !sizeBytes || !flashMapType)
        return kInvalidParameter;
    *nvmType = Dev().nvmType;
    *sizeBytes = Dev().sizeBytes;
    *flashMapType = Dev().flashMapType;
    return nullptr;
}

TavrelResult GetFlash2xDevDataInfo(TavrelCalHandle h, uint32_t sectionFlags[3])
{
    if (const char *error = Enter("GetFlash2xDevDataInfo", h))
        return error;
    if (const char *error = NeedFlash2x())
        return error;
    if (sectionFlags == nullptr)
        return kInvalidParameter;
    const State &dev = Dev();
    for (uint32_t s = 0; s < kSections; ++s) {
        const Section &section = dev.sections[s];
        sectionFlags[s] = (section.present ? 0x1u : 0u) | (SectionValid(section) ? 0x2u : 0u) |
                          (section.present && section.readOnly ? 0x4u : 0u) | (s == dev.active ? 0x8u : 0u);
    }
    return nullptr;
}

TavrelResult SelectActiveDevDataSection(TavrelCalHandle h, uint32_t section)
{
    if (const char *error = Enter("SelectActiveDevDataSection", h))
        return error;
    if (const char *error = NeedFlash2x())
        return error;
    if (const char *error = CheckSection(section))
        return error;
    if (!SectionValid(Dev().sections[section]))
        return Textf("Device Data section %u holds no valid image", section);
    Dev().active = section;
    return nullptr;
}

TavrelResult SelectCurrentDevDataSection(TavrelCalHandle h, uint32_t section)
{
    if (const char *error = Enter("SelectCurrentDevDataSection", h))
        return error;
    if (const char *error = NeedFlash2x())
        return error;
    if (const char *error = CheckSection(section))
        return error;
    Dev().current = section;
    return nullptr;
}

TavrelResult CopyDevDataSection(TavrelCalHandle h, uint32_t sourceSection, uint32_t targetSection, uint32_t byteCount,
                                uint32_t startOffset)
{
    if (const char *error = Enter("CopyDevDataSection", h))
        return error;
    if (const char *error = NeedFlash2x())
        return error;
    if (const char *error = CheckSection(sourceSection))
        return error;
    if (const char *error = CheckSection(targetSection))
        return error;
    if (sourceSection == targetSection)
        return "Source and target Device Data sections are the same";
    Section &target = Dev().sections[targetSection];
    if (target.readOnly)
        return Textf("Device Data section %u is read-only", targetSection);
    if (byteCount == 0 || !InRange(startOffset, byteCount, kDevDataSectionSize))
        return Textf("Copy range of %u bytes at 0x%X outside the 64 KB section", byteCount, startOffset);
    const Section &source = Dev().sections[sourceSection];
    std::memcpy(target.image.data() + startOffset, source.image.data() + startOffset, byteCount);
    return nullptr;
}

// Sector sizes are powers of two from 4 KB to 64 KB; a wish is rounded up.
TavrelResult InitializeFlash(TavrelCalHandle h, uint32_t desiredSectorSize, uint32_t *actualSectorSize)
{
    if (const char *error = Enter("InitializeFlash", h))
        return error;
    if (Dev().nvmType != 1)
        return "The Device Data memory is not a Flash";
    if (actualSectorSize == nullptr)
        return kInvalidParameter;
    if (desiredSectorSize == 0 || desiredSectorSize > kDevDataSectionSize)
        return Textf("Flash sector size %u not supported (%u to %u bytes)", desiredSectorSize, kMinSectorSize,
                     kDevDataSectionSize);
    uint32_t size = kMinSectorSize;
    while (size < desiredSectorSize)
        size <<= 1;
    Dev().sectorSize = size;
    *actualSectorSize = size;
    return nullptr;
}

TavrelResult ReadDevDataBlock(TavrelCalHandle h, uint32_t *buffer, uint32_t wordCount, uint32_t address)
{
    if (const char *error = Enter("ReadDevDataBlock", h))
        return error;
    return ReadAt(reinterpret_cast<uint8_t *>(buffer), 4ull * wordCount, address);
}

TavrelResult ReadDevDataBytes(TavrelCalHandle h, uint8_t *buffer, uint32_t byteCount, uint32_t address)
{
    if (const char *error = Enter("ReadDevDataBytes", h))
        return error;
    return ReadAt(buffer, byteCount, address);
}

TavrelResult GetDevDataRegionSizeByID(TavrelCalHandle h, int32_t regionId, int32_t *regionSize)
{
    if (const char *error = Enter("GetDevDataRegionSizeByID", h))
        return error;
    if (regionSize == nullptr)
        return kInvalidParameter;
    if (const char *error = CheckRegion(regionId))
        return error;
    *regionSize = RegionReportedSize(regionId);
    return nullptr;
}

// Returns at most what the region holds, and never more than asked.
TavrelResult ReadDevDataRegionByID(TavrelCalHandle h, int32_t regionId, int32_t regionSize, uint8_t *buffer,
                                   uint32_t *bytesReturned)
{
    if (const char *error = Enter("ReadDevDataRegionByID", h))
        return error;
    if (bytesReturned == nullptr)
        return kInvalidParameter;
    if (const char *error = CheckRegion(regionId))
        return error;
    Extent extent = RegionExtent(regionId);
    const char *error = nullptr;
    std::vector<uint8_t> *memory = Target(false, &error);
    if (memory == nullptr)
        return error;
    uint32_t n = regionSize < 0 ? 0 : std::min(static_cast<uint32_t>(regionSize), extent.size);
    State &dev = Dev();
    if (dev.shortRegionRead.Hit())
        n -= std::min(n, dev.regionShortfall);
    if (n > 0 && buffer == nullptr)
        return kInvalidParameter;
    ReadOut(*memory, extent.start, buffer, n);
    *bytesReturned = n;
    return nullptr;
}

uint32_t RequestDevDataWriteKey(TavrelCalHandle h)
{
    if (Enter("RequestDevDataWriteKey", h) != nullptr)
        return 0;
    State &dev = Dev();
    uint32_t key = 0;
    while (key == 0 || dev.issuedKeys.count(key) != 0)
        key = RandomU32();
    dev.issuedKeys.insert(key);
    dev.key = key; // the previous key is void from now on
    return key;
}

TavrelResult WriteDevDataBlock(TavrelCalHandle h, uint32_t key, const uint32_t *data, uint32_t wordCount,
                               uint32_t address, uint32_t *wordsWritten)
{
    if (const char *error = Enter("WriteDevDataBlock", h))
        return error;
    if (wordsWritten == nullptr)
        return kInvalidParameter;
    uint32_t bytes = 0;
    const char *error =
        WriteAt("WriteDevDataBlock", key, reinterpret_cast<const uint8_t *>(data), 4ull * wordCount, address, &bytes);
    *wordsWritten = bytes / 4;
    return error;
}

TavrelResult WriteDevDataBytes(TavrelCalHandle h, uint32_t key, const uint8_t *data, uint32_t byteCount,
                               uint32_t address, uint32_t *bytesWritten)
{
    if (const char *error = Enter("WriteDevDataBytes", h))
        return error;
    return WriteAt("WriteDevDataBytes", key, data, byteCount, address, bytesWritten);
}

// Writes the block into the current section's image and lays down the DSD
// header (size and priority from the record, most significant byte first,
// 0xFF filler, the magic number). Mode 1 erases the gap between the block
// and the header; mode 2 keeps it.
TavrelResult WriteFlash2xBytesWithHeader(TavrelCalHandle h, uint32_t key, const uint8_t *data, uint32_t byteCount,
                                         uint32_t flashOffset, const uint32_t *header, uint32_t headerWords,
                                         uint32_t writeMode, uint32_t *bytesWritten)
{
    if (const char *error = Enter("WriteFlash2xBytesWithHeader", h))
        return error;
    if (bytesWritten == nullptr || header == nullptr || (byteCount > 0 && data == nullptr))
        return kInvalidParameter;
    if (const char *error = UseKey(key))
        return error;
    if (const char *error = NeedFlash2x())
        return error;
    if (OptionValue(TAVREL_OPTION_NVM_MODE) != 0)
        return "Flash 2.x writes need NVM mode 0";
    if (headerWords != 3)
        return Textf("Invalid DSD header record of %u words (3 expected)", headerWords);
    if (writeMode < 1 || writeMode > 2)
        return Textf("Invalid Flash 2.x write mode %u (1 or 2)", writeMode);
    if (header[1] == 0 || header[1] > kDsdHeaderOffset)
        return Textf("Invalid DSD size of %u bytes (1 to 63 kB)", header[1]);
    if (header[2] > 10)
        return Textf("Invalid DSD priority %u (0 to 10)", header[2]);
    if (!InRange(flashOffset, byteCount, kDevDataSectionSize))
        return "Flash 2.x block outside the 64 KB section image";
    const char *error = nullptr;
    std::vector<uint8_t> *memory = Target(true, &error);
    if (memory == nullptr)
        return error;
    uint8_t *image = memory->data();

    // A part-way failure stops before the gap and the header.
    uint32_t n = byteCount;
    const char *failure = PartialWriteLimit("WriteFlash2xBytesWithHeader", n);
    if (n > 0)
        std::memcpy(image + flashOffset, data, n);
    *bytesWritten = n;
    if (failure != nullptr)
        return failure;
    uint32_t end = flashOffset + byteCount;
    if (writeMode == 1 && end < kDsdHeaderOffset)
        std::memset(image + end, 0xFF, kDsdHeaderOffset - end);
    LayDsdHeader(image, header[1], header[2]);
    return nullptr;
}

// Writes at most the region's size; the rest of the region reads back as 0.
TavrelResult WriteDevDataRegionByID(TavrelCalHandle h, uint32_t key, int32_t regionId, uint32_t byteCount,
                                    const uint8_t *data, uint32_t *bytesWritten)
{
    if (const char *error = Enter("WriteDevDataRegionByID", h))
        return error;
    if (bytesWritten == nullptr)
        return kInvalidParameter;
    if (const char *error = UseKey(key))
        return error;
    if (const char *error = CheckRegion(regionId))
        return error;
    Extent extent = RegionExtent(regionId);
    uint32_t n = std::min(byteCount, extent.size);
    if (n > 0 && data == nullptr)
        return kInvalidParameter;
    const char *error = nullptr;
    std::vector<uint8_t> *memory = Target(true, &error);
    if (memory == nullptr)
        return error;
    uint8_t *region = memory->data() + extent.start;
    // A part-way failure leaves the rest of the region as it was.
    const char *failure = PartialWriteLimit("WriteDevDataRegionByID", n);
    if (n > 0)
        std::memcpy(region, data, n);
    *bytesWritten = n;
    if (failure != nullptr)
        return failure;
    std::memset(region + n, 0, extent.size - n);
    return nullptr;
}

} // namespace calsim::model
