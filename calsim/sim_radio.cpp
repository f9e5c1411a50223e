// Rx, Tx and loopback calibration of the simulated radio (first cut: state
// is kept and read back; measurements are plausible).
#include "calsim/control.h"
#include "calsim/sim_core.h"

#include <cmath>
#include <cstring>

namespace {

struct GainState {
    uint32_t extLna = 0;
    uint32_t lnaGain = 2;
    uint32_t mixerGain = 1;
    int32_t pgaIndex = 20;
};

struct Radio {
    uint32_t rxAntConfig = 2;
    uint32_t agcMode = 0;
    uint32_t agcBackoffDb = 0;
    GainState gain[2];
    double frameEpochMs = 0;
    uint32_t framesInErrorBase = 0;
    double txBackoffDb = 0.0;
    uint32_t txPgaIndex = 0;
    uint32_t txPaDriverIndex = 0;
    uint32_t txExtAttenuator = 0;
    double txPowerDbm = 0.0;
    uint32_t diversitySwitch = 0;
    uint32_t trSwitch = 0;
};
Radio g_radio;

void ResetRadio()
{
    g_radio = Radio{};
}
calsim::ResetRegistration g_reset(ResetRadio);

double TotalGainDb(const GainState &g)
{
    static const double kLna[] = {-26.0, -12.0, 0.0};
    double lna = kLna[g.lnaGain < 3 ? g.lnaGain : 2];
    return 60.0 + (g.extLna ? 15.0 : 0.0) + lna + (g.mixerGain ? 0.0 : -5.0) + g.pgaIndex;
}

} // namespace

using namespace calsim;

extern "C" {

TavrelResult GetRxAntConfig(TavrelCalHandle h, uint32_t *config)
{
    if (const char *error = Enter("GetRxAntConfig", h))
        return error;
    *config = g_radio.rxAntConfig;
    return nullptr;
}

TavrelResult SetRxAntConfig(TavrelCalHandle h, uint32_t config)
{
    if (const char *error = Enter("SetRxAntConfig", h))
        return error;
    if (config > 2)
        return Textf("Invalid Rx antenna configuration %u (0 to 2)", config);
    g_radio.rxAntConfig = config;
    return nullptr;
}

TavrelResult IsSync(TavrelCalHandle h, double *freqOffsetPpm, uint32_t *syncFreqKHz, uint32_t *syncStatus)
{
    if (const char *error = Enter("IsSync", h))
        return error;
    *freqOffsetPpm = RandomUniform(-0.5, 0.5);
    *syncFreqKHz = CenterFrequencyKHz();
    *syncStatus = 1;
    return nullptr;
}

TavrelResult ForceReSync(TavrelCalHandle h)
{
    return Enter("ForceReSync", h);
}

TavrelResult SetAGCMode(TavrelCalHandle h, uint32_t mode, uint32_t backoffDb)
{
    if (const char *error = Enter("SetAGCMode", h))
        return error;
    if (mode > 2)
        return Textf("Invalid AGC mode %u (0 to 2)", mode);
    if (backoffDb > 64)
        return Textf("AGC backoff %u dB out of range (0 to 64 dB)", backoffDb);
    g_radio.agcMode = mode;
    g_radio.agcBackoffDb = backoffDb;
    return nullptr;
}

TavrelResult GetRxGainState(TavrelCalHandle h, uint32_t path, uint32_t *extLna, uint32_t *lnaGain,
                            uint32_t *mixerGain, int32_t *pgaIndex, double *totalGain)
{
    if (const char *error = Enter("GetRxGainState", h))
        return error;
    if (path > 1)
        return Textf("Invalid Rx path %u (0 or 1)", path);
    const GainState &g = g_radio.gain[path];
    *extLna = g.extLna;
    *lnaGain = g.lnaGain;
    *mixerGain = g.mixerGain;
    *pgaIndex = g.pgaIndex;
    *totalGain = TotalGainDb(g);
    return nullptr;
}

TavrelResult SetRxGainState(TavrelCalHandle h, uint32_t path, uint32_t extLna, uint32_t lnaGain, uint32_t mixerGain,
                            int32_t pgaIndex)
{
    if (const char *error = Enter("SetRxGainState", h))
        return error;
    if (path > 2)
        return Textf("Invalid Rx path %u (0 to 2)", path);
    if (extLna > 1 || lnaGain > 2 || mixerGain > 1 || pgaIndex < 0 || pgaIndex > 31)
        return "Rx gain state out of range";
    GainState g{extLna, lnaGain, mixerGain, pgaIndex};
    if (path == 2)
        g_radio.gain[0] = g_radio.gain[1] = g;
    else
        g_radio.gain[path] = g;
    return nullptr;
}

TavrelResult GetRSSIReport(TavrelCalHandle h, double *rx1Rssi, double *rx2Rssi, double *combinedRssi,
                           double *rx1AdcPower, double *rx2AdcPower, uint32_t *rx1ClipCount, uint32_t *rx2ClipCount,
                           uint32_t *adcSamples)
{
    if (const char *error = Enter("GetRSSIReport", h))
        return error;
    *rx1Rssi = -60.0 + RandomUniform(-0.5, 0.5);
    *rx2Rssi = -61.0 + RandomUniform(-0.5, 0.5);
    *combinedRssi = 10.0 * std::log10(std::pow(10.0, *rx1Rssi / 10.0) + std::pow(10.0, *rx2Rssi / 10.0));
    *rx1AdcPower = *rx1Rssi + TotalGainDb(g_radio.gain[0]);
    *rx2AdcPower = *rx2Rssi + TotalGainDb(g_radio.gain[1]);
    *adcSamples = 102400;
    *rx1ClipCount = *rx1AdcPower > 0.0 ? 2048 : 0;
    *rx2ClipCount = *rx2AdcPower > 0.0 ? 2048 : 0;
    return nullptr;
}

TavrelResult GetCINR(TavrelCalHandle h, double *cinrDb)
{
    if (const char *error = Enter("GetCINR", h))
        return error;
    *cinrDb = 25.0 + RandomUniform(-1.0, 1.0);
    return nullptr;
}

TavrelResult GetPerAntCINR(TavrelCalHandle h, double *combinedDb, double *ant1Db, double *ant2Db)
{
    if (const char *error = Enter("GetPerAntCINR", h))
        return error;
    *ant1Db = 24.0 + RandomUniform(-1.0, 1.0);
    *ant2Db = 23.0 + RandomUniform(-1.0, 1.0);
    *combinedDb = 27.0 + RandomUniform(-1.0, 1.0);
    return nullptr;
}

TavrelResult GetPerAntThermalNoise(TavrelCalHandle h, double *ant1Dbm, double *ant2Dbm)
{
    if (const char *error = Enter("GetPerAntThermalNoise", h))
        return error;
    *ant1Dbm = -104.0 + RandomUniform(-0.5, 0.5);
    *ant2Dbm = -103.5 + RandomUniform(-0.5, 0.5);
    return nullptr;
}

TavrelResult ResetFrameErrorStatistics(TavrelCalHandle h)
{
    if (const char *error = Enter("ResetFrameErrorStatistics", h))
        return error;
    g_radio.frameEpochMs = NowMs();
    return nullptr;
}

TavrelResult GetFrameErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError)
{
    if (const char *error = Enter("GetFrameErrorStatistics", h))
        return error;
    uint32_t frames = static_cast<uint32_t>((NowMs() - g_radio.frameEpochMs) / 5.0); // 5 ms frames
    *totalFrames = frames;
    *framesInError = frames / 1000;
    return nullptr;
}

TavrelResult GetPDUErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError,
                                   uint32_t *fchErrors, uint32_t *dlMapErrors, uint32_t pduCount[13],
                                   uint32_t hcsErrors[13], uint32_t crcErrors[13], uint32_t burstSizes[13])
{
    if (const char *error = Enter("GetPDUErrorStatistics", h))
        return error;
    uint32_t frames = static_cast<uint32_t>((NowMs() - g_radio.frameEpochMs) / 5.0);
    *totalFrames = frames;
    *framesInError = frames / 1000;
    *fchErrors = frames / 5000;
    *dlMapErrors = frames / 4000;
    for (int d = 0; d < 13; ++d) {
        pduCount[d] = d < 7 ? frames * static_cast<uint32_t>(7 - d) : 0;
        hcsErrors[d] = pduCount[d] / 2000;
        crcErrors[d] = pduCount[d] / 1000;
        burstSizes[d] = d < 7 ? 48u * static_cast<uint32_t>(d + 1) : 0;
    }
    return nullptr;
}

TavrelResult GetTx1Attn(TavrelCalHandle h, double *bbicBackoffDb, uint32_t *pgaIndex, uint32_t *paDriverIndex,
                        uint32_t *extAttenuator)
{
    if (const char *error = Enter("GetTx1Attn", h))
        return error;
    *bbicBackoffDb = g_radio.txBackoffDb;
    *pgaIndex = g_radio.txPgaIndex;
    *paDriverIndex = g_radio.txPaDriverIndex;
    *extAttenuator = g_radio.txExtAttenuator;
    return nullptr;
}

TavrelResult SetTx1Attn(TavrelCalHandle h, double bbicBackoffDb, uint32_t pgaIndex, uint32_t paDriverIndex,
                        uint32_t extAttenuator)
{
    if (const char *error = Enter("SetTx1Attn", h))
        return error;
    if (pgaIndex > 11 || paDriverIndex > 21 || extAttenuator > 1)
        return "Tx1 attenuator setting out of range";
    g_radio.txBackoffDb = bbicBackoffDb;
    g_radio.txPgaIndex = pgaIndex;
    g_radio.txPaDriverIndex = paDriverIndex;
    g_radio.txExtAttenuator = extAttenuator;
    return nullptr;
}

TavrelResult GetTx1OutputPower(TavrelCalHandle h, double *powerDbm)
{
    if (const char *error = Enter("GetTx1OutputPower", h))
        return error;
    *powerDbm = g_radio.txPowerDbm;
    return nullptr;
}

TavrelResult SetTx1OutputPower(TavrelCalHandle h, double powerDbm)
{
    if (const char *error = Enter("SetTx1OutputPower", h))
        return error;
    if (!(powerDbm >= -40.0 && powerDbm <= 35.0))
        return "Tx1 output power out of range (-40 to +35 dBm)";
    g_radio.txPowerDbm = powerDbm;
    return nullptr;
}

TavrelResult GetTxDiversitySwitch(TavrelCalHandle h, uint32_t *antennaSwitch)
{
    if (const char *error = Enter("GetTxDiversitySwitch", h))
        return error;
    *antennaSwitch = g_radio.diversitySwitch;
    return nullptr;
}

TavrelResult SetTxDiversitySwitch(TavrelCalHandle h, uint32_t antennaSwitch)
{
    if (const char *error = Enter("SetTxDiversitySwitch", h))
        return error;
    if (antennaSwitch > 1)
        return Textf("Invalid Tx diversity switch %u (0 or 1)", antennaSwitch);
    g_radio.diversitySwitch = antennaSwitch;
    return nullptr;
}

TavrelResult SetTRSwitch(TavrelCalHandle h, uint32_t state)
{
    if (const char *error = Enter("SetTRSwitch", h))
        return error;
    if (state > 1)
        return Textf("Invalid TR switch state %u (0 or 1)", state);
    g_radio.trSwitch = state;
    return nullptr;
}

TavrelResult CalibrateLCTrim(TavrelCalHandle h, int32_t lcTrim[12], uint32_t *count)
{
    if (const char *error = Enter("CalibrateLCTrim", h))
        return error;
    for (int i = 0; i < 12; ++i)
        lcTrim[i] = 40 + i * 3 + static_cast<int32_t>(RandomU32() % 3);
    *count = 12;
    return nullptr;
}

TavrelResult CalibrateTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz, double paDrvSteps[21], double pgaSteps[11])
{
    if (const char *error = Enter("CalibrateTxSteps", h))
        return error;
    double tilt = (static_cast<double>(centerFreqKHz) - 2500000.0) / 1.0e6;
    for (int i = 0; i < 21; ++i)
        paDrvSteps[i] = 1.0 + 0.02 * i + 0.1 * tilt;
    for (int i = 0; i < 11; ++i)
        pgaSteps[i] = 2.0 - 0.03 * i + 0.1 * tilt;
    return nullptr;
}

TavrelResult CalibrateLimitedTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz, uint32_t minPaDrvIndex,
                                     double paDrvSteps[21], double pgaSteps[11])
{
    if (const char *error = Enter("CalibrateLimitedTxSteps", h))
        return error;
    if (minPaDrvIndex > 21)
        return Textf("Minimum PA driver index %u out of range (0 to 21)", minPaDrvIndex);
    double tilt = (static_cast<double>(centerFreqKHz) - 2500000.0) / 1.0e6;
    for (uint32_t i = 0; i < 21; ++i)
        paDrvSteps[i] = i < minPaDrvIndex ? 0.0 : 1.0 + 0.02 * i + 0.1 * tilt;
    for (int i = 0; i < 11; ++i)
        pgaSteps[i] = 2.0 - 0.03 * i + 0.1 * tilt;
    return nullptr;
}

TavrelResult CalibrateTxPoutFreqCorr(TavrelCalHandle h, uint32_t scanListIndex, double correctionDb,
                                     const double cableLoss[12], double freqCorr[12], double extAttnStep[12])
{
    if (const char *error = Enter("CalibrateTxPoutFreqCorr", h))
        return error;
    if (scanListIndex > 11)
        return Textf("Scan list index %u out of range (0 to 11)", scanListIndex);
    for (int i = 0; i < 12; ++i) {
        freqCorr[i] = correctionDb + 0.1 * (i - static_cast<int>(scanListIndex)) + 0.01 * cableLoss[i];
        extAttnStep[i] = 15.0 + 0.05 * i;
    }
    return nullptr;
}

TavrelResult CalibrateLNASteps(TavrelCalHandle h, uint32_t scanListIndex, double rx1AmplitudeDbm,
                               double rx2AmplitudeDbm, double pgaGainCorr[2], double lnaMidStep[2],
                               double lnaHighStep[2], double lnaExtStep[2])
{
    if (const char *error = Enter("CalibrateLNASteps", h))
        return error;
    if (scanListIndex > 11)
        return Textf("Scan list index %u out of range (0 to 11)", scanListIndex);
    double amplitude[2] = {rx1AmplitudeDbm, rx2AmplitudeDbm};
    for (int p = 0; p < 2; ++p) {
        pgaGainCorr[p] = 0.01 * (amplitude[p] + 40.0);
        lnaMidStep[p] = 14.0 + 0.05 * scanListIndex;
        lnaHighStep[p] = 12.0 + 0.05 * scanListIndex;
        lnaExtStep[p] = 15.0 - 0.02 * scanListIndex;
    }
    return nullptr;
}

TavrelResult CalibrateTxExtAttnStep(TavrelCalHandle h, uint32_t freqIndex, uint32_t calType, double *stepGainDb,
                                    double *loopbackAmplitudeDb, double *backoffDb, int32_t *pgaIndex,
                                    int32_t *paDriverIndex, int32_t *extAttnEnable)
{
    if (const char *error = Enter("CalibrateTxExtAttnStep", h))
        return error;
    if (freqIndex > 11)
        return Textf("Scan list index %u out of range (0 to 11)", freqIndex);
    if (calType > 1)
        return Textf("Invalid calibration type %u (0 or 1)", calType);
    *stepGainDb = 15.0 + 0.05 * freqIndex;
    *loopbackAmplitudeDb = -20.0 - 0.1 * freqIndex;
    *backoffDb = g_radio.txBackoffDb;
    *pgaIndex = static_cast<int32_t>(g_radio.txPgaIndex);
    *paDriverIndex = static_cast<int32_t>(g_radio.txPaDriverIndex);
    *extAttnEnable = calType == 1 ? 1 : 0;
    return nullptr;
}

} // extern "C"
