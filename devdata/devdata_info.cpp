// Device Data information and management commands. Each calls the library
// operation of its own name and follows the common handler shape. The NVM
// mode test and the automated test call some of them directly, so every
// handler's output is complete in itself.
#include "devdata/devdata_info.h"

#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kBlockLabels = TAVREL_DEVDATA_BLOCKS;

const char *const kBlockLabel[kBlockLabels] = {"Compatibility", "      RF", "     PHY", "     MAC", "     CAL",
                                               "      HW",      "     MIB", "Security", "  OMA DM", "(Unused)"};

const char *NvmTypeName(uint32_t type)
{
    static const char *const kNames[] = {"EEPROM", "Flash"};
    return type < 2 ? kNames[type] : "INVALID VALUE";
}

const char *FlashMapName(uint32_t type)
{
    static const char *const kNames[] = {"Not applicable", "Flash 1.x", "Flash 2.x"};
    return type < 3 ? kNames[type] : "INVALID VALUE";
}

// The device may have more blocks than the console has labels for.
uint32_t ShownBlocks(uint32_t count)
{
    return count > kBlockLabels ? kBlockLabels : count;
}

// The per-block commands print their block lines first and only then look
// at the library's result; the lines' values are recorded only after that.
int FinishBlockReport(const char *name, const char *error, uint32_t shown)
{
    if (error != nullptr)
        return ReportError(error);
    con::Print("%3d Device Data blocks found.\n", static_cast<int32_t>(shown));
    results::Measure("Device Data blocks", shown);
    return ReportSuccess(name);
}

int SelectSection(TavrelCalHandle handle, const char *name, TavrelResult (*select)(TavrelCalHandle, uint32_t))
{
    if (handle == nullptr)
        return -1;
    con::Print("\n%s:\n", name);
    uint32_t section = con::AskUnsigned("    Device data section (0-2) ? ");
    if (const char *error = select(handle, section))
        return ReportError(error);
    return ReportSuccess(name);
}

int g_presetLoadMode = -1;

} // namespace

void PresetLoadMode(uint32_t mode)
{
    g_presetLoadMode = static_cast<int>(mode);
}

int CmdLoadDevData(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nLoadDevData:\n");
    con::Print("    Load mode: 0=Unchanged; 1=From NVM; 2=From DDR\n");
    uint32_t mode = 0;
    if (g_presetLoadMode >= 0) {
        con::Print("    Device Data address ? ");
        mode = static_cast<uint32_t>(g_presetLoadMode);
        con::EchoAnswer(std::to_string(mode) + "\n");
    } else {
        mode = con::AskUnsigned("    Device Data address ? ");
    }
    if (const char *error = LoadDevData(handle, mode))
        return ReportError(error);
    return ReportSuccess("LoadDevData");
}

int CmdIsDevDataValid(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nIsDevDataValid:\n");
    int32_t valid = 0;
    if (const char *error = IsDevDataValid(handle, &valid))
        return ReportError(error);
    // A self-check of the device: a verdict in a recorded run, though the
    // console's line carries no PASS or FAIL.
    results::Judge(valid != 0, {{"Device Data checksum valid", valid ? 1.0 : 0.0, 1.0, nullptr}});
    con::Print("    %s checksum is %s VALID\n", "Device Data", valid ? "" : "NOT");
    return ReportSuccess("IsDevDataValid");
}

int CmdAreDevDataChecksumsValidArray(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    uint8_t valid[TAVREL_DEVDATA_BLOCKS] = {};
    uint32_t count = 0;
    con::Print("\nAreDevDataChecksumsValidArray:\n");
    const char *error = AreDevDataChecksumsValidArray(handle, valid, &count);
    uint32_t shown = ShownBlocks(count);
    for (uint32_t i = 0; i < shown; ++i)
        con::Print("    %s checksum is %s VALID\n", kBlockLabel[i], valid[i] ? "" : "NOT");
    if (error == nullptr && results::Recording()) {
        std::vector<double> series;
        for (uint32_t i = 0; i < shown; ++i)
            series.push_back(valid[i] ? 1.0 : 0.0);
        results::MeasureSeries("Device Data block checksum valid", series);
    }
    return FinishBlockReport("AreDevDataChecksumsValidArray", error, shown);
}

int CmdGetDevDataChecksumsArray(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    uint16_t checksums[TAVREL_DEVDATA_BLOCKS];
    for (uint16_t &checksum : checksums)
        checksum = 0xFFFF;
    uint32_t count = 0;
    con::Print("\nGetDevDataChecksumsArray:\n");
    const char *error = GetDevDataChecksumsArray(handle, checksums, &count);
    uint32_t shown = ShownBlocks(count);
    for (uint32_t i = 0; i < shown; ++i)
        con::Print("    %s checksum = %04X\n", kBlockLabel[i], checksums[i]);
    if (error == nullptr)
        results::MeasureSeries("Device Data block checksum", checksums, shown);
    return FinishBlockReport("GetDevDataChecksumsArray", error, shown);
}

int CmdIsCalibrationValid(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nIsCalibrationValid:\n");
    int32_t valid = 0;
    if (const char *error = IsCalibrationValid(handle, &valid))
        return ReportError(error);
    results::Judge(valid != 0, {{"Calibration valid", valid ? 1.0 : 0.0, 1.0, nullptr}});
    con::Print("    Calibration state = %s\n", valid ? "VALID" : "NOT VALID");
    return ReportSuccess("IsCalibrationValid");
}

int CmdGetCalibrationInfo(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetCalibrationInfo:\n");
    uint8_t flag = 0;
    uint8_t vendor = 0;
    uint8_t date[4] = {};
    uint8_t time[4] = {};
    uint8_t version[4] = {};
    if (const char *error = GetCalibrationInfo(handle, &flag, &vendor, date, time, version))
        return ReportError(error);
    // BCD bytes in hexadecimal read as decimal digits; the fourth byte is not
    // shown. The texts are recorded as shown.
    char dateText[16];
    char timeText[16];
    char versionText[16];
    std::snprintf(dateText, sizeof dateText, "%02X/%02X/%02X", date[0], date[1], date[2]);
    std::snprintf(timeText, sizeof timeText, "%02X:%02X:%02X", time[0], time[1], time[2]);
    std::snprintf(versionText, sizeof versionText, "%02X.%02X.%02X", version[0], version[1], version[2]);
    con::Print("    Cal flag    = %u\n", flag);
    con::Print("    Vendor ID   = %02X\n", vendor);
    con::Print("    Cal date    = %s\n", dateText);
    con::Print("    Cal time    = %s\n", timeText);
    con::Print("    SW Version  = %s\n", versionText);
    results::Measure("Cal flag", flag);
    results::Measure("Vendor ID", vendor);
    results::MeasureText("Cal date", dateText);
    results::MeasureText("Cal time", timeText);
    results::MeasureText("Cal SW version", versionText);
    return ReportSuccess("GetCalibrationInfo");
}

int CmdGetMACAddress(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetMACAddress:\n");
    uint8_t mac[6] = {};
    if (const char *error = GetMACAddress(handle, mac))
        return ReportError(error);
    char text[24];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    con::Print("    MAC address = %s\n", text);
    results::MeasureText("MAC address", text);
    return ReportSuccess("GetMACAddress");
}

int CmdGetDevDataSize(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetDevDataSize:\n");
    int32_t size = 0;
    if (const char *error = GetDevDataSize(handle, &size))
        return ReportError(error);
    con::Print("    Device Data size = %d bytes\n", size);
    results::Measure("Device Data size", size, "bytes");
    return ReportSuccess("GetDevDataSize");
}

int CmdGetDevDataInfo(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetDevDataInfo:\n");
    uint32_t nvmType = 0;
    int32_t size = 0;
    uint32_t mapType = 0;
    if (const char *error = GetDevDataInfo(handle, &nvmType, &size, &mapType))
        return ReportError(error);
    con::Print("    NVM type         = %s (%d)\n", NvmTypeName(nvmType), static_cast<int32_t>(nvmType));
    con::Print("    Device Data size = %d bytes\n", size);
    con::Print("    Flash map type   = %s (%d)\n", FlashMapName(mapType), static_cast<int32_t>(mapType));
    results::Measure("NVM type", nvmType);
    results::Measure("Device Data size", size, "bytes");
    results::Measure("Flash map type", mapType);
    return ReportSuccess("GetDevDataInfo");
}

int CmdGetFlash2xDevDataInfo(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetFlash2xDevDataInfo:\n");
    uint32_t flags[3] = {};
    if (const char *error = GetFlash2xDevDataInfo(handle, flags))
        return ReportError(error);
    con::Print("  Section    Bitmap    Present  Valid  Read-Only  Active\n");
    for (uint32_t i = 0; i < 3; ++i) {
        auto mark = [&](uint32_t bit) { return (flags[i] & (1u << bit)) ? 'X' : ' '; };
        con::Print("   %3d        0x%02X        %c       %c        %c         %c\n", static_cast<int32_t>(i), flags[i],
                   mark(0), mark(1), mark(2), mark(3));
    }
    results::MeasureSeries("Flash 2.x section flags", flags, 3);
    return ReportSuccess("GetFlash2xDevDataInfo");
}

int CmdSelectActiveDevDataSection(TavrelCalHandle handle)
{
    return SelectSection(handle, "SelectActiveDevDataSection", SelectActiveDevDataSection);
}

int CmdSelectCurrentDevDataSection(TavrelCalHandle handle)
{
    return SelectSection(handle, "SelectCurrentDevDataSection", SelectCurrentDevDataSection);
}

int CmdCopyDevDataSection(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nCopyDevDataSection:\n");
    uint32_t source = con::AskUnsigned("    Source device data section (0-2) ? ");
    uint32_t target = con::AskUnsigned("    Target device data section (0-2) ? ");
    uint32_t count = con::AskUnsigned("    Number of bytes to copy (dec)    ? ");
    uint32_t offset = con::AskHex("    Starting offset in section (hex) ? ");
    if (const char *error = CopyDevDataSection(handle, source, target, count, offset))
        return ReportError(error);
    return ReportSuccess("CopyDevDataSection");
}

int CmdInitializeFlash(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nInitializeFlash:\n");
    uint32_t desired = con::AskUnsigned("    Desired flash memory sector size (bytes) ? ");
    uint32_t actual = 0;
    if (const char *error = InitializeFlash(handle, desired, &actual))
        return ReportError(error);
    con::Print("    Actual flash memory sector size = %d bytes\n", static_cast<int32_t>(actual));
    results::Measure("Flash sector size", actual, "bytes");
    return ReportSuccess("InitializeFlash");
}
