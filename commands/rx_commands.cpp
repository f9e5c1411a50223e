// Rx commands: antenna configuration, sync, AGC, gain state, RSSI, CINR,
// thermal noise and the downlink error counters. Every handler follows the
// common shape: null handle -> -1 silently; header; prompts; one library
// call; on an error text "\nERROR: %s\n" and -1; else the outputs and the
// success line. The automated test calls several of them directly, so each
// prints its whole text itself.
#include "commands/rx_commands.h"

#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"

#include <cstdint>
#include <string>

namespace {

const char *RxAntConfigName(uint32_t config)
{
    static const char *const kNames[] = {"Rx1 only", "Rx2 only", "Rx1 + Rx2"};
    return config < sizeof kNames / sizeof kNames[0] ? kNames[config] : "Unknown value";
}

const char *LnaGainName(uint32_t gain)
{
    if (gain == 0)
        return "Low    (Max gain - 26 dB)";
    if (gain == 1)
        return "Medium (Max gain - 12 dB)";
    return "High   (Max gain)";
}

// One clip count line. With no ADC samples the percentage has no value, so
// "n/a" stands in its place instead of a platform's spelling of NaN.
void PrintClipLine(const char *path, uint32_t clips, uint32_t samples)
{
    results::Measure(std::string(path) + " ADC clip count", clips);
    if (samples == 0) {
        con::Print("    %s ADC clip count    = %u (n/a %%)\n", path, clips);
        return;
    }
    double percent = static_cast<double>(clips) * 100.0 / static_cast<double>(samples);
    con::Print("    %s ADC clip count    = %u (%0.2f %%)\n", path, clips, percent);
    results::Measure(std::string(path) + " ADC clip percentage", percent, "%");
}

} // namespace

int CmdGetRxAntConfig(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetRxAntConfig:\n");
    uint32_t config = 0;
    if (const char *error = GetRxAntConfig(handle, &config))
        return ReportError(error);
    con::Print("    RxAntConfig = %s\n", RxAntConfigName(config));
    results::Measure("Rx antenna configuration", config);
    return ReportSuccess("GetRxAntConfig");
}

int CmdSetRxAntConfig(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetRxAntConfig:\n");
    con::Print("Rx ant config: 0 = Rx1 only; 1 = Rx2 only; 2 = Rx1+Rx2\n");
    uint32_t config = con::AskUnsigned("    Rx antenna configuration ? ");
    if (const char *error = SetRxAntConfig(handle, config))
        return ReportError(error);
    return ReportSuccess("SetRxAntConfig");
}

int CmdIsSync(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nIsSync:\n");
    double offsetPpm = 0.0;
    uint32_t frequency = 0;
    uint32_t status = 0;
    if (const char *error = IsSync(handle, &offsetPpm, &frequency, &status))
        return ReportError(error);
    con::Print("    Frequency offset (PPM) = %0.3f\n", offsetPpm);
    con::Print("    Sync frequency (kHz)   = %u\n", frequency);
    con::Print("    Sync status            = %s\n", status != 0 ? "Sync achieved" : "Sync not achieved");
    results::Measure("Frequency offset", offsetPpm, "ppm");
    results::Measure("Sync frequency", frequency, "kHz");
    results::Measure("Sync status", status != 0 ? 1.0 : 0.0);
    return ReportSuccess("IsSync");
}

int CmdForceReSync(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nForce Re-sync:\n");
    if (const char *error = ForceReSync(handle))
        return ReportError(error);
    return ReportSuccess("ForceReSync");
}

int CmdSetAGCMode(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetAGCMode:\n");
    con::Print("AGC mode:    0=Normal, 1=Back off AGC, 2=Freeze AGC\n");
    con::Print("AGC backoff: 0 to 64 dB, in 1 dB steps (enter as decimal integer)\n");
    uint32_t mode = con::AskUnsigned("    AGC mode                ? ");
    // Asked whatever the mode: the library decides what it uses.
    uint32_t backoff = con::AskUnsigned("    AGC backoff in dB (dec) ? ");
    if (const char *error = SetAGCMode(handle, mode, backoff))
        return ReportError(error);
    return ReportSuccess("SetAGCMode");
}

int CmdGetRxGainState(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetRxGainState:\n");
    uint32_t path = con::AskUnsigned("    Rx path (0=Rx1; 1=Rx2) ? ");
    uint32_t extLna = 0;
    uint32_t lnaGain = 0;
    uint32_t mixerGain = 0;
    int32_t pgaIndex = 0;
    double totalGain = 0.0;
    if (const char *error = GetRxGainState(handle, path, &extLna, &lnaGain, &mixerGain, &pgaIndex, &totalGain))
        return ReportError(error);
    con::Print("    External LNA   = %s (%u)\n", extLna != 0 ? "Enabled" : "Disabled", extLna);
    con::Print("    LNA gain       = %s (%u)\n", LnaGainName(lnaGain), lnaGain);
    con::Print("    Mixer gain     = %s (%u)\n", mixerGain != 0 ? "High (Max gain)" : "Low (Max gain - 5 dB)",
               mixerGain);
    con::Print("    PGA gain index = %d\n", pgaIndex);
    con::Print("    Total gain     = %g\n", totalGain);
    // The library accepts paths 0 and 1 only, so the names stay few.
    std::string name = "Rx path " + std::to_string(path);
    results::Measure(name + " external LNA", extLna);
    results::Measure(name + " LNA gain", lnaGain);
    results::Measure(name + " mixer gain", mixerGain);
    results::Measure(name + " PGA index", pgaIndex);
    results::Measure(name + " total gain", totalGain, "dB");
    return ReportSuccess("GetRxGainState");
}

int CmdSetRxGainState(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetRxGainState:\n");
    uint32_t path = con::AskUnsigned("    Rx path (0=Rx1; 1=Rx2; 2=Rx1 & Rx2)? ");
    uint32_t extLna = con::AskUnsigned("    Enable external LNA (1=yes; 0=no)  ? ");
    con::Print("  For the LNA gain, please enter: 0=minimum (max gain - 26 dB)\n");
    con::Print("                                  1=middle  (max gain - 12 dB)\n");
    con::Print("                                  2=high    (max gain)\n");
    uint32_t lnaGain = con::AskUnsigned("    LNA gain                           ? ");
    con::Print("  For the Mixer gain, please enter: 0=low   (max gain - 5 dB)\n");
    con::Print("                                    1=high  (max gain)\n");
    uint32_t mixerGain = con::AskUnsigned("    Mixer gain                         ? ");
    con::Print("  Please enter the PGA gain as an even integer (dec)\n");
    int32_t pgaIndex = con::AskSigned("    PGA gain index (0 to 31)           ? ");
    if (const char *error = SetRxGainState(handle, path, extLna, lnaGain, mixerGain, pgaIndex))
        return ReportError(error);
    return ReportSuccess("SetRxGainState");
}

int CmdGetRSSIReport(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetRSSIReport:\n");
    double rx1Rssi = 0.0;
    double rx2Rssi = 0.0;
    double combinedRssi = 0.0;
    double rx1AdcPower = 0.0;
    double rx2AdcPower = 0.0;
    uint32_t rx1Clips = 0;
    uint32_t rx2Clips = 0;
    uint32_t samples = 0;
    if (const char *error = GetRSSIReport(handle, &rx1Rssi, &rx2Rssi, &combinedRssi, &rx1AdcPower, &rx2AdcPower,
                                          &rx1Clips, &rx2Clips, &samples))
        return ReportError(error);
    con::Print("    Rx1 RSSI              = %7.2f dBm\n", rx1Rssi);
    con::Print("    Rx2 RSSI              = %7.2f dBm\n", rx2Rssi);
    con::Print("    Combined RSSI         = %7.2f dBm\n", combinedRssi);
    con::Print("    Rx1 ADC input power   = %7.2f dBm\n", rx1AdcPower);
    con::Print("    Rx2 ADC input power   = %7.2f dBm\n", rx2AdcPower);
    results::Measure("Rx1 RSSI", rx1Rssi, "dBm");
    results::Measure("Rx2 RSSI", rx2Rssi, "dBm");
    results::Measure("Combined RSSI", combinedRssi, "dBm");
    results::Measure("Rx1 ADC input power", rx1AdcPower, "dBm");
    results::Measure("Rx2 ADC input power", rx2AdcPower, "dBm");
    PrintClipLine("Rx1", rx1Clips, samples);
    PrintClipLine("Rx2", rx2Clips, samples);
    con::Print("    Number of ADC samples = %u\n", samples);
    results::Measure("ADC samples", samples);
    return ReportSuccess("GetRSSIReport");
}

int CmdGetCINR(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetCINR:\n");
    double cinr = 0.0;
    if (const char *error = GetCINR(handle, &cinr))
        return ReportError(error);
    con::Print("    CINR = %0.2f dB\n", cinr);
    results::Measure("CINR", cinr, "dB");
    return ReportSuccess("GetCINR");
}

int CmdGetPerAntCINR(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetPerAntCINR:\n");
    double combined = 0.0;
    double ant1 = 0.0;
    double ant2 = 0.0;
    if (const char *error = GetPerAntCINR(handle, &combined, &ant1, &ant2))
        return ReportError(error);
    con::Print("    Combined CINR  = %0.2f dB\n", combined);
    con::Print("    Antenna 1 CINR = %0.2f dB\n", ant1);
    con::Print("    Antenna 2 CINR = %0.2f dB\n", ant2);
    results::Measure("Combined CINR", combined, "dB");
    results::Measure("Antenna 1 CINR", ant1, "dB");
    results::Measure("Antenna 2 CINR", ant2, "dB");
    return ReportSuccess("GetPerAntCINR");
}

int CmdGetPerAntThermalNoise(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetPerAntThermalNoise:\n");
    double ant1 = 0.0;
    double ant2 = 0.0;
    if (const char *error = GetPerAntThermalNoise(handle, &ant1, &ant2))
        return ReportError(error);
    con::Print("    Antenna 1 thermal noise = %0.2f dBm\n", ant1);
    con::Print("    Antenna 2 thermal noise = %0.2f dBm\n", ant2);
    results::Measure("Antenna 1 thermal noise", ant1, "dBm");
    results::Measure("Antenna 2 thermal noise", ant2, "dBm");
    return ReportSuccess("GetPerAntThermalNoise");
}

int CmdResetFrameErrorStatistics(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nResetFrameErrorStatistics:\n");
    if (const char *error = ResetFrameErrorStatistics(handle))
        return ReportError(error);
    return ReportSuccess("ResetFrameErrorStatistics");
}

int CmdGetFrameErrorStatistics(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetFrameErrorStatistics:\n");
    uint32_t total = 0;
    uint32_t inError = 0;
    if (const char *error = GetFrameErrorStatistics(handle, &total, &inError))
        return ReportError(error);
    con::Print("    Total frames elapsed  = %u\n", total);
    results::Measure("Frames elapsed", total);
    con::Print("    Frames in error       = ");
    // All ones is the device's "not available"; every other value is a count.
    if (inError == 0xFFFFFFFFu) {
        con::Print("N/A\n");
    } else {
        con::Print("%u\n", inError);
        results::Measure("Frames in error", inError);
    }
    return ReportSuccess("GetFrameErrorStatistics");
}

int CmdGetPDUErrorStatistics(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetPDUErrorStatistics:\n");
    uint32_t total = 0;
    uint32_t inError = 0;
    uint32_t fchErrors = 0;
    uint32_t dlMapErrors = 0;
    uint32_t pduCount[TAVREL_PDU_DIUC_COUNT] = {};
    uint32_t hcsErrors[TAVREL_PDU_DIUC_COUNT] = {};
    uint32_t crcErrors[TAVREL_PDU_DIUC_COUNT] = {};
    uint32_t burstSizes[TAVREL_PDU_DIUC_COUNT] = {};
    if (const char *error = GetPDUErrorStatistics(handle, &total, &inError, &fchErrors, &dlMapErrors, pduCount,
                                                  hcsErrors, crcErrors, burstSizes))
        return ReportError(error);
    con::Print("    Total frames received  = %u\n", total);
    con::Print("    Frames in error        = %u\n", inError);
    con::Print("    FCH errors             = %u\n", fchErrors);
    con::Print("    DL Map errors          = %u\n\n", dlMapErrors);
    con::Print("    DIUC     PDU Count    HCS Errors    CRC Errors   Burst Sizes\n");
    for (int diuc = 0; diuc < TAVREL_PDU_DIUC_COUNT; ++diuc)
        con::Print("    %3d     %10u    %10u    %10u    %10u\n", diuc, pduCount[diuc], hcsErrors[diuc], crcErrors[diuc],
                   burstSizes[diuc]);
    // The frame counts here cover received frames only, unlike the frame
    // error statistics: they get names of their own.
    results::Measure("Frames received", total);
    results::Measure("Received frames in error", inError);
    results::Measure("FCH errors", fchErrors);
    results::Measure("DL Map errors", dlMapErrors);
    results::MeasureSeries("PDU count", pduCount, TAVREL_PDU_DIUC_COUNT);
    results::MeasureSeries("HCS errors", hcsErrors, TAVREL_PDU_DIUC_COUNT);
    results::MeasureSeries("CRC errors", crcErrors, TAVREL_PDU_DIUC_COUNT);
    results::MeasureSeries("Burst sizes", burstSizes, TAVREL_PDU_DIUC_COUNT, "bytes");
    return ReportSuccess("GetPDUErrorStatistics");
}
