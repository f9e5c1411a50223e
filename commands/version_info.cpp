#include "commands/version_info.h"

#include <cstdint>
#include <cstdio>

namespace {

std::string Hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, unsigned(value));
    return text;
}

std::string Dotted(const uint32_t parts[3])
{
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

} // namespace

TavrelResult ReadVersionTexts(TavrelCalHandle handle, VersionTexts &texts)
{
    uint32_t phyFirmware = 0;
    uint32_t macFirmware[3] = {};
    char driver[TAVREL_DRIVER_VERSION_SIZE] = {};
    uint32_t calApi[3] = {};
    uint32_t basebandChip = 0;
    uint32_t rfChip = 0;
    if (TavrelResult error = GetVersionInfo(handle, &phyFirmware, macFirmware, driver, calApi, &basebandChip, &rfChip))
        return error;
    // A driver text that fills the whole buffer has no terminator of its own.
    driver[TAVREL_DRIVER_VERSION_SIZE - 1] = '\0';
    texts.phyFirmware = Hex(phyFirmware, 8);
    texts.macFirmware = Dotted(macFirmware);
    texts.driver = driver;
    texts.calApi = Dotted(calApi);
    texts.basebandChip = Hex(basebandChip, 8);
    texts.rfChip = Hex(rfChip, 4);
    return nullptr;
}
