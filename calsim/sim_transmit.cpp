// The transmit side of the simulated radio and its loopback calibrations.
// Settings are held exactly as written (doubles bit for bit); calibration
// results come from a fixed model of the transmitter and receiver over the
// twelve frequencies of the scan list, plus a little measurement noise, so
// they depend on what the operator enters and vary slightly between runs.
#include "calsim/control_radio.h"
#include "calsim/sim_core.h"
#include "calsim/model.h"

#include <cmath>

namespace {

constexpr uint32_t kDutModeLoopback = 5;
constexpr uint32_t kMaxTxPgaIndex = 11;
constexpr uint32_t kMaxPaDriverIndex = 21;
constexpr double kMinBackoffDb = -20.0;
constexpr double kMaxBackoffDb = 60.0;
constexpr double kMinPowerDbm = -40.0;
constexpr double kMaxPowerDbm = 35.0;
constexpr double kTxFullScaleDbm = 23.0; // output with no attenuation at all
constexpr double kPgaStepDb = 2.0;
constexpr double kPaDriverStepDb = 1.0;
constexpr double kExtAttnStepDb = 15.0;
constexpr double kLoopbackCouplingDb = 45.0; // transmitter to receiver through the loopback path
constexpr double kBenchCableLossDb = 20.0;   // the loss of the cable actually on the bench
// What a loopback correction and a cable loss may sensibly be; the checks
// also turn away NaN and infinities, which would spread through every result.
constexpr double kMaxCorrectionDb = 20.0;
constexpr double kMaxCableLossDb = 60.0;

// The scan list: the twelve calibration frequencies F0 to F11, in MHz.
constexpr double kScanListMHz[TAVREL_SCAN_LIST_SIZE] = {2300, 2350, 2400, 2496, 2550, 2600,
                                                        2650, 2690, 3300, 3400, 3500, 3600};

struct Transmitter {
    double backoffDb = 3.0;
    uint32_t pgaIndex = 2;
    uint32_t paDriverIndex = 4;
    uint32_t extAttenuator = 0;
    double powerDbm = 12.0;
    uint32_t diversitySwitch = 0;
    bool lcTrimCountForced = false;
    uint32_t lcTrimCount = 0;
};
Transmitter g_tx;

void ResetTransmitter()
{
    g_tx = Transmitter{};
}
calsim::ResetRegistration g_reset(ResetTransmitter);

// Output power that the attenuator settings give, before any calibration.
double AttenuatedPowerDbm()
{
    return kTxFullScaleDbm - g_tx.backoffDb - kPgaStepDb * g_tx.pgaIndex - kPaDriverStepDb * g_tx.paDriverIndex -
           (g_tx.extAttenuator ? kExtAttnStepDb : 0.0);
}

// The frequency a calibration runs at, in GHz, kept within the band the
// PA is specified for (its response outside is taken as at the edge).
double BandGHz(double mhz)
{
    double ghz = mhz / 1000.0;
    return ghz < 2.0 ? 2.0 : (ghz > 6.0 ? 6.0 : ghz);
}

// Deviation of the transmitter's output from its nominal power, by frequency.
double PowerDeviationDb(double ghz)
{
    return 0.6 * std::sin(ghz * 5.0) + 0.3 * (ghz - 2.5);
}

double ExtAttnStepDb(double ghz)
{
    return kExtAttnStepDb + 0.4 * (ghz - 2.5);
}

double Noise(double amplitude)
{
    return calsim::RandomUniform(-amplitude, amplitude);
}

const char *NeedLoopbackMode()
{
    if (calsim::DutMode() != kDutModeLoopback)
        return calsim::Textf("Loopback calibration needs DUT mode 5 (Loopback); the device is in mode %u",
                             calsim::DutMode());
    return nullptr;
}

const char *CheckScanIndex(uint32_t index)
{
    if (index >= TAVREL_SCAN_LIST_SIZE)
        return calsim::Textf("Scan list index %u out of range (0 to 11)", index);
    return nullptr;
}

const char *CheckCenterFrequency(uint32_t kHz)
{
    if (kHz == 0 || kHz > 6000000)
        return calsim::Textf("Center frequency %u kHz out of range (1 to 6000000 kHz)", kHz);
    return nullptr;
}

void MeasureTxSteps(uint32_t centerFreqKHz, uint32_t minPaDrvIndex, double paDrvSteps[TAVREL_TX_PADRV_STEPS],
                    double pgaSteps[TAVREL_TX_PGA_STEPS])
{
    double tilt = BandGHz(centerFreqKHz / 1000.0) - 2.5;
    // Steps below the minimum index are not measured and read 0.
    for (uint32_t i = 0; i < TAVREL_TX_PADRV_STEPS; ++i)
        paDrvSteps[i] = i < minPaDrvIndex ? 0.0 : kPaDriverStepDb + 0.015 * i + 0.08 * tilt + Noise(0.03);
    for (uint32_t i = 0; i < TAVREL_TX_PGA_STEPS; ++i)
        pgaSteps[i] = kPgaStepDb - 0.02 * i - 0.05 * tilt + Noise(0.03);
}

} // namespace

namespace calsim {

void ForceTx1Attn(double backoffDb, uint32_t pgaIndex, uint32_t paDriverIndex, uint32_t extAttenuator)
{
    g_tx.backoffDb = backoffDb;
    g_tx.pgaIndex = pgaIndex;
    g_tx.paDriverIndex = paDriverIndex;
    g_tx.extAttenuator = extAttenuator;
}

void ForceTxDiversitySwitch(uint32_t antennaSwitch)
{
    g_tx.diversitySwitch = antennaSwitch;
}

void ForceLCTrimCount(uint32_t count)
{
    g_tx.lcTrimCountForced = true;
    g_tx.lcTrimCount = count;
}

} // namespace calsim

using namespace calsim;

namespace calsim::model {

TavrelResult GetTx1Attn(TavrelCalHandle h, double *bbicBackoffDb, uint32_t *pgaIndex, uint32_t *paDriverIndex,
                        uint32_t *extAttenuator)
{
    if (const char *error = Enter("GetTx1Attn", h))
        return error;
    *bbicBackoffDb = g_tx.backoffDb;
    *pgaIndex = g_tx.pgaIndex;
    *paDriverIndex = g_tx.paDriverIndex;
    *extAttenuator = g_tx.extAttenuator;
    return nullptr;
}

TavrelResult SetTx1Attn(TavrelCalHandle h, double bbicBackoffDb, uint32_t pgaIndex, uint32_t paDriverIndex,
                        uint32_t extAttenuator)
{
    if (const char *error = Enter("SetTx1Attn", h))
        return error;
    if (!(bbicBackoffDb >= kMinBackoffDb && bbicBackoffDb <= kMaxBackoffDb))
        return Textf("BBIC backoff %g dB out of range (-20 to 60 dB)", bbicBackoffDb);
    if (pgaIndex > kMaxTxPgaIndex)
        return Textf("Tx1 PGA attenuation index %u out of range (0 to 11)", pgaIndex);
    if (paDriverIndex > kMaxPaDriverIndex)
        return Textf("PA driver attenuation index %u out of range (0 to 21)", paDriverIndex);
    if (extAttenuator > 1)
        return Textf("Invalid external attenuator setting %u (1=enabled, 0=disabled)", extAttenuator);
    g_tx.backoffDb = bbicBackoffDb;
    g_tx.pgaIndex = pgaIndex;
    g_tx.paDriverIndex = paDriverIndex;
    g_tx.extAttenuator = extAttenuator;
    return nullptr;
}

TavrelResult GetTx1OutputPower(TavrelCalHandle h, double *powerDbm)
{
    if (const char *error = Enter("GetTx1OutputPower", h))
        return error;
    *powerDbm = g_tx.powerDbm;
    return nullptr;
}

TavrelResult SetTx1OutputPower(TavrelCalHandle h, double powerDbm)
{
    if (const char *error = Enter("SetTx1OutputPower", h))
        return error;
    if (!(powerDbm >= kMinPowerDbm && powerDbm <= kMaxPowerDbm))
        return Textf("Tx1 output power %g dBm out of range (-40 to +35 dBm)", powerDbm);
    g_tx.powerDbm = powerDbm;
    return nullptr;
}

TavrelResult GetTxDiversitySwitch(TavrelCalHandle h, uint32_t *antennaSwitch)
{
    if (const char *error = Enter("GetTxDiversitySwitch", h))
        return error;
    *antennaSwitch = g_tx.diversitySwitch;
    return nullptr;
}

TavrelResult SetTxDiversitySwitch(TavrelCalHandle h, uint32_t antennaSwitch)
{
    if (const char *error = Enter("SetTxDiversitySwitch", h))
        return error;
    if (antennaSwitch > 1)
        return Textf("Invalid Tx diversity switch %u (0=antenna 1, 1=antenna 2)", antennaSwitch);
    g_tx.diversitySwitch = antennaSwitch;
    return nullptr;
}

TavrelResult SetTRSwitch(TavrelCalHandle h, uint32_t state)
{
    if (const char *error = Enter("SetTRSwitch", h))
        return error;
    if (state > 1)
        return Textf("Invalid TR switch state %u (0=Tx off & Rx on, 1=Tx on & Rx off)", state);
    return nullptr;
}

TavrelResult CalibrateLCTrim(TavrelCalHandle h, int32_t lcTrim[TAVREL_LCTRIM_COUNT], uint32_t *count)
{
    if (const char *error = Enter("CalibrateLCTrim", h))
        return error;
    // One trim code per VCO sub-band; the codes shift with the tuned band.
    double ghz = BandGHz(CenterFrequencyKHz() / 1000.0);
    int32_t base = static_cast<int32_t>(std::lround(70.0 - 12.0 * (ghz - 2.0)));
    for (int32_t i = 0; i < TAVREL_LCTRIM_COUNT; ++i)
        lcTrim[i] = base - 4 * i + static_cast<int32_t>(RandomU32() % 3) - 1;
    *count = g_tx.lcTrimCountForced ? g_tx.lcTrimCount : TAVREL_LCTRIM_COUNT;
    return nullptr;
}

TavrelResult CalibrateTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz, double paDrvSteps[TAVREL_TX_PADRV_STEPS],
                              double pgaSteps[TAVREL_TX_PGA_STEPS])
{
    if (const char *error = Enter("CalibrateTxSteps", h))
        return error;
    if (const char *error = NeedLoopbackMode())
        return error;
    if (const char *error = CheckCenterFrequency(centerFreqKHz))
        return error;
    MeasureTxSteps(centerFreqKHz, 0, paDrvSteps, pgaSteps);
    return nullptr;
}

TavrelResult CalibrateLimitedTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz, uint32_t minPaDrvIndex,
                                     double paDrvSteps[TAVREL_TX_PADRV_STEPS], double pgaSteps[TAVREL_TX_PGA_STEPS])
{
    if (const char *error = Enter("CalibrateLimitedTxSteps", h))
        return error;
    if (const char *error = NeedLoopbackMode())
        return error;
    if (const char *error = CheckCenterFrequency(centerFreqKHz))
        return error;
    if (minPaDrvIndex > kMaxPaDriverIndex)
        return Textf("Minimum PA driver index %u out of range (0 to 21)", minPaDrvIndex);
    MeasureTxSteps(centerFreqKHz, minPaDrvIndex, paDrvSteps, pgaSteps);
    return nullptr;
}

TavrelResult CalibrateTxPoutFreqCorr(TavrelCalHandle h, uint32_t scanListIndex, double correctionDb,
                                     const double cableLoss[TAVREL_SCAN_LIST_SIZE],
                                     double freqCorr[TAVREL_SCAN_LIST_SIZE], double extAttnStep[TAVREL_SCAN_LIST_SIZE])
{
    if (const char *error = Enter("CalibrateTxPoutFreqCorr", h))
        return error;
    if (const char *error = NeedLoopbackMode())
        return error;
    if (const char *error = CheckScanIndex(scanListIndex))
        return error;
    if (!(correctionDb >= -kMaxCorrectionDb && correctionDb <= kMaxCorrectionDb))
        return Textf("Correction value %g dB out of range (-20 to 20 dB)", correctionDb);
    for (uint32_t i = 0; i < TAVREL_SCAN_LIST_SIZE; ++i) {
        if (!(cableLoss[i] >= 0.0 && cableLoss[i] <= kMaxCableLossDb))
            return Textf("Cable loss at F%u of %g dB out of range (0 to 60 dB)", i, cableLoss[i]);
    }
    // The loopback measures output minus the real cable loss; the library
    // adds back the loss the operator entered. A wrong entry shows up as a
    // correction of the same size. The reference frequency gets the
    // measured correction itself.
    double refGHz = BandGHz(kScanListMHz[scanListIndex]);
    double refError = cableLoss[scanListIndex] - kBenchCableLossDb;
    for (uint32_t i = 0; i < TAVREL_SCAN_LIST_SIZE; ++i) {
        double ghz = BandGHz(kScanListMHz[i]);
        double lossError = cableLoss[i] - kBenchCableLossDb;
        double noise = i == scanListIndex ? 0.0 : Noise(0.02);
        freqCorr[i] = correctionDb + PowerDeviationDb(refGHz) - PowerDeviationDb(ghz) - (lossError - refError) + noise;
        extAttnStep[i] = ExtAttnStepDb(ghz) + Noise(0.02);
    }
    return nullptr;
}

TavrelResult CalibrateLNASteps(TavrelCalHandle h, uint32_t scanListIndex, double rx1AmplitudeDbm,
                               double rx2AmplitudeDbm, double pgaGainCorr[2], double lnaMidStep[2],
                               double lnaHighStep[2], double lnaExtStep[2])
{
    if (const char *error = Enter("CalibrateLNASteps", h))
        return error;
    if (const char *error = CheckScanIndex(scanListIndex))
        return error;
    double amplitude[2] = {rx1AmplitudeDbm, rx2AmplitudeDbm};
    for (int p = 0; p < 2; ++p) {
        // Too strong a signal saturates the high-gain steps; too weak a one
        // drowns the low-gain steps in noise.
        if (!(amplitude[p] >= -90.0 && amplitude[p] <= -20.0))
            return Textf("Rx%d signal of %g dBm outside the LNA calibration range (-90 to -20 dBm)", p + 1,
                         amplitude[p]);
    }
    double tilt = BandGHz(kScanListMHz[scanListIndex]) - 2.5;
    for (int p = 0; p < 2; ++p) {
        // Measurement noise grows as the signal weakens.
        double noise = 0.02 * std::pow(10.0, (-40.0 - amplitude[p]) / 40.0);
        pgaGainCorr[p] = (p == 0 ? 0.35 : -0.25) - 0.2 * tilt + Noise(noise);
        lnaMidStep[p] = 14.0 + 0.3 * tilt + 0.1 * p + Noise(noise);
        lnaHighStep[p] = 12.0 - 0.2 * tilt - 0.1 * p + Noise(noise);
        lnaExtStep[p] = 15.0 - 0.4 * tilt + Noise(noise);
    }
    return nullptr;
}

TavrelResult CalibrateTxExtAttnStep(TavrelCalHandle h, uint32_t freqIndex, uint32_t calType, double *stepGainDb,
                                    double *loopbackAmplitudeDb, double *backoffDb, int32_t *pgaIndex,
                                    int32_t *paDriverIndex, int32_t *extAttnEnable)
{
    if (const char *error = Enter("CalibrateTxExtAttnStep", h))
        return error;
    if (const char *error = NeedLoopbackMode())
        return error;
    if (const char *error = CheckScanIndex(freqIndex))
        return error;
    if (calType > 1)
        return Textf("Invalid calibration type %u (0=pre-step, 1=post-step)", calType);
    double ghz = BandGHz(kScanListMHz[freqIndex]);
    double step = ExtAttnStepDb(ghz) + Noise(0.02);
    int32_t pga = static_cast<int32_t>(g_tx.pgaIndex);
    int32_t driver = static_cast<int32_t>(g_tx.paDriverIndex);
    double power = AttenuatedPowerDbm() + PowerDeviationDb(ghz);
    if (calType == 1) {
        // After the step the external attenuator is in and the PGA gives
        // back what it took; an index below 0 says the PGA cannot make up
        // the whole step.
        pga -= static_cast<int32_t>(std::lround(step / kPgaStepDb));
        power += kPgaStepDb * std::lround(step / kPgaStepDb) - step;
    }
    *stepGainDb = step;
    *loopbackAmplitudeDb = power - kLoopbackCouplingDb + Noise(0.05);
    *backoffDb = g_tx.backoffDb;
    *pgaIndex = pga;
    *paDriverIndex = driver;
    *extAttnEnable = calType == 1 ? 1 : 0;
    return nullptr;
}

} // namespace calsim::model
