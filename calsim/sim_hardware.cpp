// GPIO, RF chip registers, temperature, GP ADC and DAC, the Rx spectrum and
// the version report of the simulated modem.
#include "calsim/control_radio.h"
#include "calsim/sim_core.h"
#include "calsim/model.h"

#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t kRficChipId = 0x5A31;
constexpr uint32_t kRficRegisterCount = 0x80; // addresses 0x00 to 0x7F
constexpr uint32_t kMaxIirShift = 16;
constexpr uint32_t kSymbolsPerFrame = 48;
constexpr uint32_t kFftSize = 1024;    // 10 MHz channel
constexpr uint32_t kFirstUsedBin = 92; // guard bands either side
constexpr uint32_t kLastUsedBin = 931;
constexpr double kDacFullScaleVolts = 3.3;
constexpr uint32_t kAdcMax = 255; // 8-bit converter over 0 to 3.3 V

struct Hardware {
    // GPIO 10 to 12 drive the bench LEDs (outputs); 13 to 15 and 24 to 31
    // are inputs (buttons and strap pins). Pin writes need permission.
    uint32_t gpioLatch = 0;
    uint32_t gpioDirection = 0xFF00E000;
    uint32_t gpioPermission = 0;
    uint32_t gpioInputLevel = 0x5A00A000;
    uint16_t rfic[kRficRegisterCount] = {};
    double dacVolts[4] = {0, 0, 0, 0};
    bool spectrumCaptured = false;
    uint32_t spectrumShift = 0;
    bool temperatureForced = false;
    double forcedCelsius = 0.0;
    bool spectrumLengthForced = false;
    uint32_t spectrumLength = 0;
    char driverVersion[TAVREL_DRIVER_VERSION_SIZE] = "calsim 1.0.0";
    uint32_t basebandChip = 0xB0C20002;
    uint32_t rfChip = kRficChipId;
};
Hardware g_hw;

// Power-on register contents: the chip ID, then a fixed pattern per address.
void ResetHardware()
{
    g_hw = Hardware{};
    g_hw.rfic[0] = kRficChipId;
    for (uint32_t reg = 1; reg < kRficRegisterCount; ++reg)
        g_hw.rfic[reg] = static_cast<uint16_t>(0x1000u | (reg * 0x0101u & 0x0FFFu));
}
calsim::ResetRegistration g_reset(ResetHardware);

uint32_t PinState()
{
    return (g_hw.gpioLatch & ~g_hw.gpioDirection) | (g_hw.gpioInputLevel & g_hw.gpioDirection);
}

const char *CheckRficAccess(uint32_t reg, uint32_t timing)
{
    if (reg >= kRficRegisterCount)
        return calsim::Textf("Invalid RFIC register 0x%X (0x00 to 0x7F)", reg);
    if (timing > 1)
        return calsim::Textf("Invalid RFIC access timing %u (0=GTB based, 1=immediate)", timing);
    return nullptr;
}

// The die warms up after power-on towards its working temperature.
double DieTemperature()
{
    double minutes = calsim::NowMs() / 60000.0;
    return 38.0 + 6.0 * (1.0 - std::exp(-minutes / 5.0)) + calsim::RandomUniform(-0.15, 0.15);
}

// One spectrum bin in dB: the occupied subcarriers stand above the noise,
// the DC bin is empty; the IIR filter averages the noise down.
double SpectrumBin(uint32_t bin, double noiseAmplitude)
{
    uint32_t fftBin = bin % kFftSize;
    double level = -95.0;
    if (fftBin >= kFirstUsedBin && fftBin <= kLastUsedBin && fftBin != kFftSize / 2)
        level = -55.0;
    return level + calsim::RandomUniform(-noiseAmplitude, noiseAmplitude);
}

} // namespace

namespace calsim {

void ForceGpioDirection(uint32_t direction)
{
    g_hw.gpioDirection = direction;
}

void SetGpioInputLevel(uint32_t level)
{
    g_hw.gpioInputLevel = level;
}

void ForceTemperature(double celsius)
{
    g_hw.temperatureForced = true;
    g_hw.forcedCelsius = celsius;
}

void ForceSpectrumLength(uint32_t length)
{
    g_hw.spectrumLengthForced = true;
    g_hw.spectrumLength = length;
}

void ForceDriverVersion(const char *bytes, std::size_t size)
{
    std::memset(g_hw.driverVersion, 0, sizeof g_hw.driverVersion);
    std::memcpy(g_hw.driverVersion, bytes, size < sizeof g_hw.driverVersion ? size : sizeof g_hw.driverVersion);
}

void ForceChipVersions(uint32_t basebandChip, uint32_t rfChip)
{
    g_hw.basebandChip = basebandChip;
    g_hw.rfChip = rfChip;
}

} // namespace calsim

using namespace calsim;

namespace calsim::model {

TavrelResult ReadGPIOState(TavrelCalHandle h, uint32_t *pinState, uint32_t *pinDirection, uint32_t *writePermission)
{
    if (const char *error = Enter("ReadGPIOState", h))
        return error;
    *pinState = PinState();
    *pinDirection = g_hw.gpioDirection;
    *writePermission = g_hw.gpioPermission;
    return nullptr;
}

TavrelResult SetGPIOConfiguration(TavrelCalHandle h, uint32_t writePermission)
{
    if (const char *error = Enter("SetGPIOConfiguration", h))
        return error;
    g_hw.gpioPermission = writePermission;
    return nullptr;
}

TavrelResult SetGPIOPinState(TavrelCalHandle h, uint32_t pin, uint32_t state)
{
    if (const char *error = Enter("SetGPIOPinState", h))
        return error;
    if (pin > 31)
        return Textf("Invalid GPIO pin %u (0 to 31)", pin);
    if (state > 1)
        return Textf("Invalid GPIO pin state %u (0 or 1)", state);
    uint32_t bit = 1u << pin;
    if (!(g_hw.gpioPermission & bit))
        return Textf("GPIO pin %u is read-only", pin);
    if (g_hw.gpioDirection & bit)
        return Textf("GPIO pin %u is an input", pin);
    g_hw.gpioLatch = state ? (g_hw.gpioLatch | bit) : (g_hw.gpioLatch & ~bit);
    return nullptr;
}

TavrelResult ReadRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t timing, uint32_t *data)
{
    if (const char *error = Enter("ReadRFICRegister", h))
        return error;
    if (const char *error = CheckRficAccess(reg, timing))
        return error;
    *data = g_hw.rfic[reg];
    return nullptr;
}

TavrelResult WriteRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t data, uint32_t timing)
{
    if (const char *error = Enter("WriteRFICRegister", h))
        return error;
    if (const char *error = CheckRficAccess(reg, timing))
        return error;
    if (reg == 0)
        return "RFIC register 0 (chip ID) is read-only";
    if (data > 0xFFFF)
        return Textf("RFIC register data 0x%X wider than 16 bits", data);
    g_hw.rfic[reg] = static_cast<uint16_t>(data);
    return nullptr;
}

TavrelResult GetTemperature(TavrelCalHandle h, double *celsius)
{
    if (const char *error = Enter("GetTemperature", h))
        return error;
    *celsius = g_hw.temperatureForced ? g_hw.forcedCelsius : DieTemperature();
    return nullptr;
}

TavrelResult GetGPADCValue(TavrelCalHandle h, uint32_t mux, uint32_t *value)
{
    if (const char *error = Enter("GetGPADCValue", h))
        return error;
    if (mux > 3)
        return Textf("Invalid GP ADC mux setting %u (0 to 3)", mux);
    // Each ADC input sees its DAC output through a divider, on a bias.
    double volts = 0.3 + 0.5 * g_hw.dacVolts[mux];
    double code = volts / kDacFullScaleVolts * kAdcMax + RandomUniform(-0.5, 0.5);
    long rounded = std::lround(code);
    *value = rounded < 0 ? 0 : (rounded > static_cast<long>(kAdcMax) ? kAdcMax : static_cast<uint32_t>(rounded));
    return nullptr;
}

TavrelResult SetGPDACValue(TavrelCalHandle h, uint32_t mux, double volts)
{
    if (const char *error = Enter("SetGPDACValue", h))
        return error;
    if (mux > 3)
        return Textf("Invalid GP DAC mux setting %u (0 to 3)", mux);
    if (!(volts >= 0.0 && volts <= kDacFullScaleVolts))
        return Textf("GP DAC voltage %g V out of range (0 to 3.3 V)", volts);
    g_hw.dacVolts[mux] = volts;
    return nullptr;
}

TavrelResult ResetRxSpectrum(TavrelCalHandle h, uint32_t iirShift, uint32_t symbolIndex)
{
    if (const char *error = Enter("ResetRxSpectrum", h))
        return error;
    if (iirShift > kMaxIirShift)
        return Textf("IIR filter shift %u out of range (0 to 16)", iirShift);
    if (symbolIndex >= kSymbolsPerFrame)
        return Textf("Symbol index %u out of range (0 to %u)", symbolIndex, kSymbolsPerFrame - 1);
    g_hw.spectrumCaptured = true;
    g_hw.spectrumShift = iirShift;
    return nullptr;
}

TavrelResult GetRxSpectrum(TavrelCalHandle h, uint32_t capacity, double *spectrum, uint32_t *length)
{
    if (const char *error = Enter("GetRxSpectrum", h))
        return error;
    if (!g_hw.spectrumCaptured)
        return "No Rx spectrum captured: reset the Rx spectrum first";
    uint32_t available = g_hw.spectrumLengthForced ? g_hw.spectrumLength : kFftSize;
    uint32_t filled = available < capacity ? available : capacity;
    // A longer IIR average (larger shift) leaves less noise on each bin.
    double noise = 3.0 / std::sqrt(static_cast<double>(1u << g_hw.spectrumShift));
    for (uint32_t i = 0; i < filled; ++i)
        spectrum[i] = SpectrumBin(i, noise);
    // A forced length is reported as it stands, beyond the capacity too:
    // the caller must not trust it blindly.
    *length = g_hw.spectrumLengthForced ? available : filled;
    return nullptr;
}

TavrelResult GetVersionInfo(TavrelCalHandle h, uint32_t *phyFirmware, uint32_t macFirmware[3],
                            char driverVersion[TAVREL_DRIVER_VERSION_SIZE], uint32_t calApiVersion[3],
                            uint32_t *basebandChip, uint32_t *rfChip)
{
    if (const char *error = Enter("GetVersionInfo", h))
        return error;
    *phyFirmware = 0x02070314;
    macFirmware[0] = 2;
    macFirmware[1] = 7;
    macFirmware[2] = 41;
    std::memcpy(driverVersion, g_hw.driverVersion, TAVREL_DRIVER_VERSION_SIZE);
    calApiVersion[0] = 3;
    calApiVersion[1] = 5;
    calApiVersion[2] = 0;
    *basebandChip = g_hw.basebandChip;
    *rfChip = g_hw.rfChip;
    return nullptr;
}

} // namespace calsim::model
