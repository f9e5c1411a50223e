// The receive side of the simulated radio: antenna configuration, sync, AGC,
// gain state per path, RSSI and clipping, CINR, thermal noise, and the
// downlink frame and PDU counters. A signal generator on the bench feeds
// both antennas; what the device reports follows from that signal, the
// gain state and the simulated clock. The transmit side and the loopback
// calibrations are in sim_transmit.cpp.
#include "calsim/control_radio.h"
#include "calsim/sim_core.h"
#include "calsim/model.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double kFrameMs = 5.0;            // OFDMA frame duration
constexpr double kSyncAcquireMs = 40.0;     // preamble search after a (re-)sync
constexpr double kChannelNoiseDbm = -104.0; // kTB over the 10 MHz channel
constexpr double kAdcFullScaleDbm = 0.0;
constexpr double kFixedGainDb = 30.0; // gain of the stages not in the gain state
constexpr double kExtLnaGainDb = 15.0;
constexpr double kCinrCeilingDb = 32.0;           // the demodulator's own distortion
constexpr uint32_t kAdcSamplesPerReport = 102400; // 100 symbols of 1024 samples
constexpr uint32_t kFramesPerFrameError = 800;    // residual error rate in sync

struct GainState {
    uint32_t extLna;
    uint32_t lnaGain;
    uint32_t mixerGain;
    int32_t pgaIndex;
};

struct Radio {
    double benchSignalDbm[2] = {-60.0, -61.5};
    double crystalPpm = 0.0; // drawn at power-on
    uint32_t rxAntConfig = 2;
    uint32_t agcMode = 0;
    uint32_t agcBackoffDb = 0;
    GainState gain[2] = {{0, 2, 1, 20}, {0, 2, 1, 22}};

    // Sync: the receiver searches for kSyncAcquireMs after syncStartMs, on
    // the band it was tuned to then.
    double syncStartMs = 0.0;
    uint32_t tunedFreqKHz = 0;

    // Frame counters since statsEpochMs; out-of-sync time is accounted up
    // to accountedMs.
    double statsEpochMs = 0.0;
    double accountedMs = 0.0;
    double lostMs = 0.0;

    bool rssiForced = false;
    calsim::RssiReport forcedRssi{};
    bool framesForced = false;
    uint32_t forcedTotalFrames = 0;
    uint32_t forcedFramesInError = 0;
    bool pduForced = false;
    calsim::PduStatistics forcedPdu{};
};
Radio g_radio;

void ResetRadio()
{
    g_radio = Radio{};
    g_radio.crystalPpm = calsim::RandomUniform(-1.5, 1.5);
    g_radio.tunedFreqKHz = calsim::CenterFrequencyKHz();
    // The device comes up already locked to the bench's base station.
    g_radio.syncStartMs = -kSyncAcquireMs;
}
calsim::ResetRegistration g_reset(ResetRadio);

double DbToLinear(double db)
{
    return std::pow(10.0, db / 10.0);
}

double LinearToDb(double linear)
{
    return 10.0 * std::log10(linear);
}

bool PathEnabled(int path)
{
    return g_radio.rxAntConfig == 2 || g_radio.rxAntConfig == static_cast<uint32_t>(path);
}

double TotalGainDb(const GainState &g)
{
    static const double kLnaDb[] = {-26.0, -12.0, 0.0};
    double lna = kLnaDb[g.lnaGain < 3 ? g.lnaGain : 2];
    return kFixedGainDb + (g.extLna ? kExtLnaGainDb : 0.0) + lna + (g.mixerGain ? 0.0 : -5.0) + g.pgaIndex;
}

// Noise figure of a path: the external LNA masks the chip's own noise, a
// low LNA gain lets the later stages add theirs.
double NoiseFigureDb(const GainState &g)
{
    double nf = g.extLna ? 2.0 : 5.0;
    if (g.lnaGain == 0)
        nf += 8.0;
    else if (g.lnaGain == 1)
        nf += 2.0;
    return nf;
}

double NoiseFloorDbm(int path)
{
    return kChannelNoiseDbm + NoiseFigureDb(g_radio.gain[path]);
}

// Signal at the antenna as the receiver measures it; a path that is switched
// off sees only its own noise.
double MeasuredSignalDbm(int path)
{
    if (!PathEnabled(path))
        return NoiseFloorDbm(path) + calsim::RandomUniform(-0.5, 0.5);
    return g_radio.benchSignalDbm[path] + calsim::RandomUniform(-0.25, 0.25);
}

double EffectiveGainDb(int path)
{
    double gain = TotalGainDb(g_radio.gain[path]);
    if (g_radio.agcMode == 1)
        gain -= g_radio.agcBackoffDb;
    return gain;
}

// Samples of a complex Gaussian signal of power p beyond full scale:
// exp(-fullScale / p), the share that clips.
uint32_t ClipCount(double adcPowerDbm)
{
    double share = std::exp(-DbToLinear(kAdcFullScaleDbm - adcPowerDbm));
    double clips = share * kAdcSamplesPerReport * calsim::RandomUniform(0.9, 1.1);
    return clips >= kAdcSamplesPerReport ? kAdcSamplesPerReport : static_cast<uint32_t>(std::lround(clips));
}

double PathSnrDb(int path)
{
    if (!PathEnabled(path))
        return 0.0;
    return g_radio.benchSignalDbm[path] - NoiseFloorDbm(path);
}

// The demodulator cannot do better than its own distortion allows.
double LimitedCinrDb(double snrDb)
{
    return -LinearToDb(DbToLinear(-snrDb) + DbToLinear(-kCinrCeilingDb));
}

double CombinedSnrDb()
{
    double linear = 0.0;
    for (int p = 0; p < 2; ++p)
        if (PathEnabled(p))
            linear += DbToLinear(PathSnrDb(p));
    return linear > 0.0 ? LinearToDb(linear) : 0.0;
}

// Brings the out-of-sync accounting up to now; called before every change
// of the sync state and before the counters are read.
void Account()
{
    double now = calsim::NowMs();
    double from = g_radio.accountedMs;
    double searchEnd = g_radio.syncStartMs + kSyncAcquireMs;
    double lostFrom = from > g_radio.syncStartMs ? from : g_radio.syncStartMs;
    double lostTo = now < searchEnd ? now : searchEnd;
    if (lostTo > lostFrom)
        g_radio.lostMs += lostTo - lostFrom;
    g_radio.accountedMs = now;
}

void StartSearch()
{
    Account();
    g_radio.tunedFreqKHz = calsim::CenterFrequencyKHz();
    g_radio.syncStartMs = calsim::NowMs();
}

// A new band means a new search for the preamble (noticed at the radio's
// next operation).
void FollowBand()
{
    if (calsim::CenterFrequencyKHz() != g_radio.tunedFreqKHz)
        StartSearch();
}

bool InSync()
{
    return calsim::NowMs() - g_radio.syncStartMs >= kSyncAcquireMs;
}

struct FrameCounts {
    uint32_t elapsed;
    uint32_t lost;
    uint32_t received;
    uint32_t inError;
};

FrameCounts CountFrames()
{
    FollowBand();
    Account();
    double elapsedMs = calsim::NowMs() - g_radio.statsEpochMs;
    FrameCounts counts{};
    counts.elapsed = static_cast<uint32_t>(elapsedMs / kFrameMs);
    counts.lost = static_cast<uint32_t>(g_radio.lostMs / kFrameMs);
    if (counts.lost > counts.elapsed)
        counts.lost = counts.elapsed;
    counts.received = counts.elapsed - counts.lost;
    counts.inError = counts.lost + counts.received / kFramesPerFrameError;
    return counts;
}

// Downlink burst profiles of the bench's base station: DIUC d carries
// bursts only while the link's CINR supports its modulation and coding;
// DIUCs 7 to 12 are not in its profile set. Bytes per burst grow with the
// order.
constexpr uint32_t kBurstBytes[TAVREL_PDU_DIUC_COUNT] = {48, 72, 96, 144, 192, 216, 240, 0, 0, 0, 0, 0, 0};
constexpr double kDiucMinCinrDb[TAVREL_PDU_DIUC_COUNT] = {3, 6, 9, 12, 15, 18, 21, 999, 999, 999, 999, 999, 999};

} // namespace

namespace calsim {

void SetBenchSignal(double rx1Dbm, double rx2Dbm)
{
    g_radio.benchSignalDbm[0] = rx1Dbm;
    g_radio.benchSignalDbm[1] = rx2Dbm;
}

void ForceRxAntConfig(uint32_t config)
{
    g_radio.rxAntConfig = config;
}

void ForceRxGainState(uint32_t path, uint32_t extLna, uint32_t lnaGain, uint32_t mixerGain, int32_t pgaIndex)
{
    if (path < 2)
        g_radio.gain[path] = GainState{extLna, lnaGain, mixerGain, pgaIndex};
}

void ForceRssiReport(const RssiReport &report)
{
    g_radio.rssiForced = true;
    g_radio.forcedRssi = report;
}

void ForceFrameErrorStatistics(uint32_t totalFrames, uint32_t framesInError)
{
    g_radio.framesForced = true;
    g_radio.forcedTotalFrames = totalFrames;
    g_radio.forcedFramesInError = framesInError;
}

void ForcePduStatistics(const PduStatistics &statistics)
{
    g_radio.pduForced = true;
    g_radio.forcedPdu = statistics;
}

} // namespace calsim

using namespace calsim;

namespace calsim::model {

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
    FollowBand();
    bool synced = InSync();
    // The offset is known only once the preamble has been found.
    *freqOffsetPpm = synced ? g_radio.crystalPpm + RandomUniform(-0.02, 0.02) : 0.0;
    *syncFreqKHz = g_radio.tunedFreqKHz;
    *syncStatus = synced ? 1 : 0;
    return nullptr;
}

TavrelResult ForceReSync(TavrelCalHandle h)
{
    if (const char *error = Enter("ForceReSync", h))
        return error;
    StartSearch();
    return nullptr;
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

TavrelResult GetRxGainState(TavrelCalHandle h, uint32_t path, uint32_t *extLna, uint32_t *lnaGain, uint32_t *mixerGain,
                            int32_t *pgaIndex, double *totalGain)
{
    if (const char *error = Enter("GetRxGainState", h))
        return error;
    if (path > 1)
        return Textf("Invalid Rx path %u (0=Rx1, 1=Rx2)", path);
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
        return Textf("Invalid Rx path %u (0=Rx1, 1=Rx2, 2=both)", path);
    if (extLna > 1)
        return Textf("Invalid external LNA setting %u (0 or 1)", extLna);
    if (lnaGain > 2)
        return Textf("Invalid LNA gain %u (0 to 2)", lnaGain);
    if (mixerGain > 1)
        return Textf("Invalid mixer gain %u (0 or 1)", mixerGain);
    if (pgaIndex < 0 || pgaIndex > 31)
        return Textf("PGA gain index %d out of range (0 to 31)", pgaIndex);
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
    if (g_radio.rssiForced) {
        const RssiReport &r = g_radio.forcedRssi;
        *rx1Rssi = r.rx1Rssi;
        *rx2Rssi = r.rx2Rssi;
        *combinedRssi = r.combinedRssi;
        *rx1AdcPower = r.rx1AdcPower;
        *rx2AdcPower = r.rx2AdcPower;
        *rx1ClipCount = r.rx1ClipCount;
        *rx2ClipCount = r.rx2ClipCount;
        *adcSamples = r.adcSamples;
        return nullptr;
    }
    double rssi[2];
    double adcPower[2];
    uint32_t clips[2];
    double combined = 0.0;
    for (int p = 0; p < 2; ++p) {
        rssi[p] = MeasuredSignalDbm(p);
        adcPower[p] = rssi[p] + EffectiveGainDb(p);
        clips[p] = PathEnabled(p) ? ClipCount(adcPower[p]) : 0;
        if (PathEnabled(p))
            combined += DbToLinear(rssi[p]);
    }
    *rx1Rssi = rssi[0];
    *rx2Rssi = rssi[1];
    *combinedRssi = LinearToDb(combined);
    *rx1AdcPower = adcPower[0];
    *rx2AdcPower = adcPower[1];
    *rx1ClipCount = clips[0];
    *rx2ClipCount = clips[1];
    *adcSamples = kAdcSamplesPerReport;
    return nullptr;
}

TavrelResult GetCINR(TavrelCalHandle h, double *cinrDb)
{
    if (const char *error = Enter("GetCINR", h))
        return error;
    *cinrDb = LimitedCinrDb(CombinedSnrDb()) + RandomUniform(-0.3, 0.3);
    return nullptr;
}

TavrelResult GetPerAntCINR(TavrelCalHandle h, double *combinedDb, double *ant1Db, double *ant2Db)
{
    if (const char *error = Enter("GetPerAntCINR", h))
        return error;
    *combinedDb = LimitedCinrDb(CombinedSnrDb()) + RandomUniform(-0.3, 0.3);
    *ant1Db = LimitedCinrDb(PathSnrDb(0)) + RandomUniform(-0.3, 0.3);
    *ant2Db = LimitedCinrDb(PathSnrDb(1)) + RandomUniform(-0.3, 0.3);
    return nullptr;
}

TavrelResult GetPerAntThermalNoise(TavrelCalHandle h, double *ant1Dbm, double *ant2Dbm)
{
    if (const char *error = Enter("GetPerAntThermalNoise", h))
        return error;
    *ant1Dbm = NoiseFloorDbm(0) + RandomUniform(-0.3, 0.3);
    *ant2Dbm = NoiseFloorDbm(1) + RandomUniform(-0.3, 0.3);
    return nullptr;
}

TavrelResult ResetFrameErrorStatistics(TavrelCalHandle h)
{
    if (const char *error = Enter("ResetFrameErrorStatistics", h))
        return error;
    Account();
    g_radio.statsEpochMs = NowMs();
    g_radio.lostMs = 0.0;
    g_radio.framesForced = false;
    return nullptr;
}

TavrelResult GetFrameErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError)
{
    if (const char *error = Enter("GetFrameErrorStatistics", h))
        return error;
    if (g_radio.framesForced) {
        *totalFrames = g_radio.forcedTotalFrames;
        *framesInError = g_radio.forcedFramesInError;
        return nullptr;
    }
    FrameCounts counts = CountFrames();
    *totalFrames = counts.elapsed;
    *framesInError = counts.inError;
    return nullptr;
}

TavrelResult GetPDUErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError,
                                   uint32_t *fchErrors, uint32_t *dlMapErrors, uint32_t pduCount[TAVREL_PDU_DIUC_COUNT],
                                   uint32_t hcsErrors[TAVREL_PDU_DIUC_COUNT], uint32_t crcErrors[TAVREL_PDU_DIUC_COUNT],
                                   uint32_t burstSizes[TAVREL_PDU_DIUC_COUNT])
{
    if (const char *error = Enter("GetPDUErrorStatistics", h))
        return error;
    if (g_radio.pduForced) {
        const PduStatistics &s = g_radio.forcedPdu;
        *totalFrames = s.totalFrames;
        *framesInError = s.framesInError;
        *fchErrors = s.fchErrors;
        *dlMapErrors = s.dlMapErrors;
        std::memcpy(pduCount, s.pduCount, sizeof s.pduCount);
        std::memcpy(hcsErrors, s.hcsErrors, sizeof s.hcsErrors);
        std::memcpy(crcErrors, s.crcErrors, sizeof s.crcErrors);
        std::memcpy(burstSizes, s.burstSizes, sizeof s.burstSizes);
        return nullptr;
    }
    FrameCounts counts = CountFrames();
    uint32_t errored = counts.received / kFramesPerFrameError;
    *totalFrames = counts.received;
    *framesInError = errored;
    *fchErrors = errored / 3;
    *dlMapErrors = errored / 2;
    double cinr = LimitedCinrDb(CombinedSnrDb());
    for (int d = 0; d < TAVREL_PDU_DIUC_COUNT; ++d) {
        bool used = cinr >= kDiucMinCinrDb[d];
        // Frames that could not be decoded carry no PDUs; higher orders
        // see more HCS and CRC failures.
        uint32_t pdus = used ? (counts.received - errored) * 2 : 0;
        pduCount[d] = pdus;
        hcsErrors[d] = pdus / (20000u >> d);
        crcErrors[d] = pdus / (5000u >> d);
        burstSizes[d] = used ? kBurstBytes[d] : 0;
    }
    return nullptr;
}

} // namespace calsim::model
