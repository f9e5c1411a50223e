// Loopback calibration commands. Unlike the other groups, headers have no
// leading line feed, prompts end in a colon and results are unindented.
// Common shape otherwise: null handle -> -1 silently; header; prompts; one
// library call; "\nERROR: %s\n" and -1, or the results and the success line.
#include "commands/loopback_commands.h"

#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"

#include <cstdint>
#include <string>

void PrintTxStepTables(const double paDrvSteps[TAVREL_TX_PADRV_STEPS], const double pgaSteps[TAVREL_TX_PGA_STEPS])
{
    con::Print("\n");
    for (int i = 0; i < TAVREL_TX_PADRV_STEPS; ++i)
        con::Print("TxPADrvStepArray[%2d] = %5.2f dB\n", i, paDrvSteps[i]);
    for (int i = 0; i < TAVREL_TX_PGA_STEPS; ++i)
        con::Print("TxPGAStepArray[%2d]   = %5.2f dB\n", i, pgaSteps[i]);
    results::MeasureSeries("TxPADrvStepArray", paDrvSteps, TAVREL_TX_PADRV_STEPS, "dB");
    results::MeasureSeries("TxPGAStepArray", pgaSteps, TAVREL_TX_PGA_STEPS, "dB");
}

void PrintTxPoutFreqCorr(const double freqCorr[TAVREL_SCAN_LIST_SIZE], const double extAttnStep[TAVREL_SCAN_LIST_SIZE])
{
    con::Print("\n");
    for (int i = 0; i < TAVREL_SCAN_LIST_SIZE; ++i)
        con::Print("TxFreqCorrArray[%2d] = %6.2f\n", i, freqCorr[i]);
    for (int i = 0; i < TAVREL_SCAN_LIST_SIZE; ++i)
        con::Print("TxExtAttnStepArray[%2d] = %6.2f\n", i, extAttnStep[i]);
    results::MeasureSeries("TxFreqCorrArray", freqCorr, TAVREL_SCAN_LIST_SIZE, "dB");
    results::MeasureSeries("TxExtAttnStepArray", extAttnStep, TAVREL_SCAN_LIST_SIZE, "dB");
}

void PrintLNASteps(const double pgaGainCorr[2], const double lnaMidStep[2], const double lnaHighStep[2],
                   const double lnaExtStep[2])
{
    con::Print("\n");
    con::Print("                      %6s %6s\n", "Rx1", "Rx2");
    con::Print("PGA gain correction = %6.2f %6.2f dB\n", pgaGainCorr[0], pgaGainCorr[1]);
    con::Print("LNA mid gain step   = %6.2f %6.2f dB\n", lnaMidStep[0], lnaMidStep[1]);
    con::Print("LNA high gain step  = %6.2f %6.2f dB\n", lnaHighStep[0], lnaHighStep[1]);
    con::Print("LNA ext gain step   = %6.2f %6.2f dB\n", lnaExtStep[0], lnaExtStep[1]);
    // One value per antenna: a limit is set per receiver, not per table.
    static const char *const kAntennas[2] = {"Rx1", "Rx2"};
    for (int rx = 0; rx < 2; ++rx) {
        std::string antenna = kAntennas[rx];
        results::Measure(antenna + " PGA gain correction", pgaGainCorr[rx], "dB");
        results::Measure(antenna + " LNA mid gain step", lnaMidStep[rx], "dB");
        results::Measure(antenna + " LNA high gain step", lnaHighStep[rx], "dB");
        results::Measure(antenna + " LNA ext gain step", lnaExtStep[rx], "dB");
    }
}

void PrintTxExtAttnStep(double stepGainDb, double loopbackAmplitudeDb, double backoffDb, int32_t pgaIndex,
                        int32_t paDriverIndex, int32_t extAttnEnable)
{
    con::Print("\n");
    con::Print("Tx step gain               = %0.2f dB\n", stepGainDb);
    con::Print("Loopback signal amplitude  = %0.2f dB\n", loopbackAmplitudeDb);
    con::Print("Backoff                    = %0.2f dB\n", backoffDb);
    con::Print("PGA attenuator index       = %d\n", pgaIndex);
    con::Print("PA driver attenuator index = %d\n", paDriverIndex);
    con::Print("External attenuator enable = %d\n", extAttnEnable);
    // The settings the step was measured with have names of their own: after
    // a post-step calibration they are not the Tx1 settings.
    results::Measure("Tx step gain", stepGainDb, "dB");
    results::Measure("Loopback signal amplitude", loopbackAmplitudeDb, "dB");
    results::Measure("Tx step backoff", backoffDb, "dB");
    results::Measure("Tx step PGA attenuator index", pgaIndex);
    results::Measure("Tx step PA driver attenuator index", paDriverIndex);
    results::Measure("Tx step external attenuator enable", extAttnEnable);
}

int CmdSetTRSwitch(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("Set TR Switch:\n");
    uint32_t state =
        con::AskUnsigned("Please specify the state for the TR switch.\n0 = Tx OFF & Rx ON, 1 = Tx ON & Rx OFF: ");
    if (const char *error = SetTRSwitch(handle, state))
        return ReportError(error);
    return ReportSuccess("SetTRSwitch");
}

int CmdCalibrateLCTrim(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("Calibrate LC Trim:\n");
    int32_t lcTrim[TAVREL_LCTRIM_COUNT] = {};
    uint32_t count = 0;
    if (const char *error = CalibrateLCTrim(handle, lcTrim, &count))
        return ReportError(error);
    // The table holds twelve entries: a larger count from the library lists
    // those twelve and says how many were claimed, never reading past it.
    uint32_t shown = count < TAVREL_LCTRIM_COUNT ? count : TAVREL_LCTRIM_COUNT;
    for (uint32_t i = 0; i < shown; ++i)
        con::Print("LCTrimArray[%u] = %d\n", i, lcTrim[i]);
    if (count > shown)
        con::Print("Only the %u entries of LCTrimArray are listed: the library reported %u.\n", shown, count);
    results::MeasureSeries("LCTrimArray", lcTrim, shown);
    results::Measure("LCTrimArray count", count);
    return ReportSuccess("CalibrateLCTrim");
}

int CmdCalibrateTxSteps(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("Calibrate TX Steps:\n");
    uint32_t frequency = con::AskUnsigned("Please specify the center frequency in kHz: ");
    double paDrvSteps[TAVREL_TX_PADRV_STEPS] = {};
    double pgaSteps[TAVREL_TX_PGA_STEPS] = {};
    if (const char *error = CalibrateTxSteps(handle, frequency, paDrvSteps, pgaSteps))
        return ReportError(error);
    PrintTxStepTables(paDrvSteps, pgaSteps);
    return ReportSuccess("CalibrateTxSteps");
}

int CmdCalibrateLimitedTxSteps(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("Calibrate Limited TX Steps:\n");
    con::Print("Please specify:\n");
    uint32_t frequency = con::AskUnsigned("    Center frequency in kHz:       ");
    uint32_t minIndex = con::AskUnsigned("    Minimum PA driver atten index: ");
    double paDrvSteps[TAVREL_TX_PADRV_STEPS] = {};
    double pgaSteps[TAVREL_TX_PGA_STEPS] = {};
    if (const char *error = CalibrateLimitedTxSteps(handle, frequency, minIndex, paDrvSteps, pgaSteps))
        return ReportError(error);
    PrintTxStepTables(paDrvSteps, pgaSteps);
    return ReportSuccess("CalibrateLimitedTxSteps");
}

int CmdCalibrateTxPoutFreqCorr(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("Calibrate Tx Pout frequency correction:\n");
    uint32_t index = con::AskUnsigned("Please specify index of frequency in scan list [0:11]: ");
    double correction = con::AskDouble("Correction value measured at reference frequency, in dB: ");
    con::Print("Loopback path cable loss at each frequency: \n");
    // All twelve losses, whatever the reference index: the library judges it.
    double cableLoss[TAVREL_SCAN_LIST_SIZE] = {};
    for (int i = 0; i < TAVREL_SCAN_LIST_SIZE; ++i)
        cableLoss[i] = con::AskDouble("Loss at F%d: ", i);
    double freqCorr[TAVREL_SCAN_LIST_SIZE] = {};
    double extAttnStep[TAVREL_SCAN_LIST_SIZE] = {};
    if (const char *error = CalibrateTxPoutFreqCorr(handle, index, correction, cableLoss, freqCorr, extAttnStep))
        return ReportError(error);
    PrintTxPoutFreqCorr(freqCorr, extAttnStep);
    return ReportSuccess("CalibrateTxPoutFreqCorr");
}

int CmdCalibrateLNASteps(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("Calibrate LNA Steps:\n");
    uint32_t index = con::AskUnsigned("Please specify the scan list index for the center frequency: ");
    double rx1Amplitude = con::AskDouble("Amplitude of signal in dBm at RX1 antenna: ");
    double rx2Amplitude = con::AskDouble("Amplitude of signal in dBm at RX2 antenna: ");
    double pgaGainCorr[2] = {};
    double lnaMidStep[2] = {};
    double lnaHighStep[2] = {};
    double lnaExtStep[2] = {};
    if (const char *error = CalibrateLNASteps(handle, index, rx1Amplitude, rx2Amplitude, pgaGainCorr, lnaMidStep,
                                              lnaHighStep, lnaExtStep))
        return ReportError(error);
    PrintLNASteps(pgaGainCorr, lnaMidStep, lnaHighStep, lnaExtStep);
    return ReportSuccess("CalibrateLNASteps");
}

int CmdCalibrateTxExtAttnStep(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("Calibrate Tx external attenuator step:\n");
    uint32_t index = con::AskUnsigned("Please specify the measurement frequency index into the scan table: ");
    uint32_t calType = con::AskUnsigned("Calibration type (0=Pre-step, 1=Post-step): ");
    double stepGain = 0.0;
    double amplitude = 0.0;
    double backoff = 0.0;
    int32_t pgaIndex = 0;
    int32_t driverIndex = 0;
    int32_t extEnable = 0;
    if (const char *error = CalibrateTxExtAttnStep(handle, index, calType, &stepGain, &amplitude, &backoff, &pgaIndex,
                                                   &driverIndex, &extEnable))
        return ReportError(error);
    PrintTxExtAttnStep(stepGain, amplitude, backoff, pgaIndex, driverIndex, extEnable);
    return ReportSuccess("CalibrateTxExtAttnStep");
}
