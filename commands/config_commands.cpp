// Configuration commands. Every handler follows the common shape: null
// handle -> -1 silently; header; prompts; one library call; on an error text
// "\nERROR: %s\n" and -1; else the outputs and the success line.
#include "commands/config_commands.h"

#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"

#include <cstdint>

namespace {

const char *DutModeName(uint32_t mode)
{
    static const char *const kNames[] = {"Normal", "Calibration", "Tx CW", "Tx OFDMA", "AGC free-run", "Loopback"};
    return mode < sizeof kNames / sizeof kNames[0] ? kNames[mode] : "Unknown DUT Mode";
}

const char *ModulationName(uint32_t modulation)
{
    static const char *const kNames[] = {"4 QAM", "16 QAM", "64 QAM"};
    return modulation < sizeof kNames / sizeof kNames[0] ? kNames[modulation] : "Unknown modulation type";
}

} // namespace

int CmdConnectDevice(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nConnectDevice:\n");
    if (const char *error = ConnectDevice(handle))
        return ReportError(error);
    con::Print("     Device connected.\n");
    return 0;
}

int CmdDisconnectDevice(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nDisconnectDevice:\n");
    if (const char *error = DisconnectDevice(handle))
        return ReportError(error);
    con::Print("     Device disconnected.\n");
    return 0;
}

int CmdGetDeviceMode(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetDeviceMode:\n");
    uint32_t mode = 0;
    uint32_t modulation = 0;
    if (const char *error = GetDeviceMode(handle, &mode, &modulation))
        return ReportError(error);
    con::Print("    DUT Mode        = %s (%d)\n", DutModeName(mode), static_cast<int32_t>(mode));
    con::Print("    Modulation type = %s (%d)\n", ModulationName(modulation), static_cast<int32_t>(modulation));
    results::Measure("DUT mode", mode);
    results::Measure("Modulation type", modulation);
    return ReportSuccess("GetDeviceMode");
}

int CmdSetDeviceMode(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetDeviceMode:\n");
    con::Print("For DUT Mode, please enter: 0=Normal  1=Calibration  2=Tx CW  3=Tx OFDMA  4=AGC free-run 5=Loopback\n");
    uint32_t mode = con::AskUnsigned("    DUT Mode        ? ");
    con::Print("For Modulation Type, please enter: 0=4 QAM  1=16 QAM  2=64 QAM\n");
    uint32_t modulation = con::AskUnsigned("    Modulation Type ? ");
    if (const char *error = SetDeviceMode(handle, mode, modulation))
        return ReportError(error);
    return ReportSuccess("SetDeviceMode");
}

int CmdGetBandConfig(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetBandConfig:\n");
    uint32_t frequency = 0;
    uint32_t bandwidth = 0;
    if (const char *error = GetBandConfig(handle, &frequency, &bandwidth))
        return ReportError(error);
    con::Print("    Center frequency (kHz)  = %u\n", frequency);
    con::Print("    Bandwidth (kHz)         = %u\n", bandwidth);
    results::Measure("Center frequency", frequency, "kHz");
    results::Measure("Bandwidth", bandwidth, "kHz");
    return ReportSuccess("GetBandConfig");
}

int CmdSetBandConfig(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetBandConfig:\n");
    uint32_t frequency = con::AskUnsigned("    Center frequency (kHz)  ? ");
    uint32_t bandwidth = con::AskUnsigned("    Bandwidth (kHz)         ? ");
    if (const char *error = SetBandConfig(handle, frequency, bandwidth))
        return ReportError(error);
    return ReportSuccess("SetBandConfig");
}

int CmdGetCWOffset(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetCWOffset:\n");
    int32_t offset = 0;
    if (const char *error = GetCWOffset(handle, &offset))
        return ReportError(error);
    con::Print("    CW freq offset = %d kHz\n", offset);
    results::Measure("CW offset", offset, "kHz");
    return ReportSuccess("GetCWOffset");
}

int CmdSetCWOffset(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetCWOffset:\n");
    // Read as unsigned: -100 arrives as the same 32-bit pattern, a signed offset.
    uint32_t offset = con::AskUnsigned("    CW freq offset (kHz) ? ");
    if (const char *error = SetCWOffset(handle, static_cast<int32_t>(offset)))
        return ReportError(error);
    return ReportSuccess("SetCWOffset");
}
