// Device configuration: DUT mode and modulation, band, CW offset.
#include "calsim/control.h"
#include "calsim/sim_core.h"
#include "calsim/model.h"

namespace {

struct Config {
    uint32_t dutMode = 0;
    uint32_t modulation = 0;
    uint32_t centerFreqKHz = 2593000;
    uint32_t bandwidthKHz = 10000;
    int32_t cwOffsetKHz = 0;
};
Config g_config;

void ResetConfig()
{
    g_config = Config{};
}
calsim::ResetRegistration g_reset(ResetConfig);

// The radio tunes 2.0 to 6.0 GHz; the bandwidths of the OFDMA profiles.
constexpr uint32_t kMinFreqKHz = 2000000;
constexpr uint32_t kMaxFreqKHz = 6000000;
constexpr uint32_t kBandwidths[] = {3500, 5000, 7000, 8750, 10000, 20000};
constexpr int32_t kMaxCwOffsetKHz = 100000;

} // namespace

namespace calsim {

void ForceDeviceMode(uint32_t mode, uint32_t modulation)
{
    g_config.dutMode = mode;
    g_config.modulation = modulation;
}

// Read by the radio side: the band decides the sync frequency.
uint32_t CenterFrequencyKHz()
{
    return g_config.centerFreqKHz;
}

uint32_t DutMode()
{
    return g_config.dutMode;
}

} // namespace calsim

using namespace calsim;

namespace calsim::model {

TavrelResult GetDeviceMode(TavrelCalHandle h, uint32_t *dutMode, uint32_t *modulation)
{
    if (const char *error = Enter("GetDeviceMode", h))
        return error;
    if (dutMode == nullptr || modulation == nullptr)
        return "Invalid parameter";
    *dutMode = g_config.dutMode;
    *modulation = g_config.modulation;
    return nullptr;
}

TavrelResult SetDeviceMode(TavrelCalHandle h, uint32_t dutMode, uint32_t modulation)
{
    if (const char *error = Enter("SetDeviceMode", h))
        return error;
    if (dutMode > 5)
        return Textf("Invalid DUT mode %u (0 to 5)", dutMode);
    if (modulation > 2)
        return Textf("Invalid modulation type %u (0 to 2)", modulation);
    g_config.dutMode = dutMode;
    g_config.modulation = modulation;
    return nullptr;
}

TavrelResult GetBandConfig(TavrelCalHandle h, uint32_t *centerFreqKHz, uint32_t *bandwidthKHz)
{
    if (const char *error = Enter("GetBandConfig", h))
        return error;
    if (centerFreqKHz == nullptr || bandwidthKHz == nullptr)
        return "Invalid parameter";
    *centerFreqKHz = g_config.centerFreqKHz;
    *bandwidthKHz = g_config.bandwidthKHz;
    return nullptr;
}

TavrelResult SetBandConfig(TavrelCalHandle h, uint32_t centerFreqKHz, uint32_t bandwidthKHz)
{
    if (const char *error = Enter("SetBandConfig", h))
        return error;
    if (centerFreqKHz < kMinFreqKHz || centerFreqKHz > kMaxFreqKHz)
        return Textf("Center frequency %u kHz out of range (%u to %u kHz)", centerFreqKHz, kMinFreqKHz, kMaxFreqKHz);
    bool known = false;
    for (uint32_t bw : kBandwidths)
        known = known || bw == bandwidthKHz;
    if (!known)
        return Textf("Unsupported bandwidth %u kHz", bandwidthKHz);
    g_config.centerFreqKHz = centerFreqKHz;
    g_config.bandwidthKHz = bandwidthKHz;
    return nullptr;
}

TavrelResult GetCWOffset(TavrelCalHandle h, int32_t *offsetKHz)
{
    if (const char *error = Enter("GetCWOffset", h))
        return error;
    if (offsetKHz == nullptr)
        return "Invalid parameter";
    *offsetKHz = g_config.cwOffsetKHz;
    return nullptr;
}

TavrelResult SetCWOffset(TavrelCalHandle h, int32_t offsetKHz)
{
    if (const char *error = Enter("SetCWOffset", h))
        return error;
    if (offsetKHz < -kMaxCwOffsetKHz || offsetKHz > kMaxCwOffsetKHz)
        return Textf("CW offset %d kHz out of range (-%d to %d kHz)", offsetKHz, kMaxCwOffsetKHz, kMaxCwOffsetKHz);
    g_config.cwOffsetKHz = offsetKHz;
    return nullptr;
}

} // namespace calsim::model
