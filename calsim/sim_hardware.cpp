// GPIO, RFIC registers, temperature, GP ADC/DAC, spectrum and version of the
// simulated modem (first cut).
#include "calsim/sim_core.h"

#include <cmath>
#include <cstring>
#include <map>

namespace {

struct Hardware {
    uint32_t gpioState = 0;
    uint32_t gpioDirection = 0x0000F000; // pins 12 to 15 are inputs
    uint32_t gpioPermission = 0;
    uint32_t gpioInputLevel = 0x00005000;
    std::map<uint32_t, uint32_t> rficRegisters;
    double dacVolts[4] = {0, 0, 0, 0};
    uint32_t spectrumShift = 0;
    uint32_t spectrumSymbol = 0;
};
Hardware g_hw;

constexpr uint32_t kRficChipId = 0x5A31;

void ResetHardware()
{
    g_hw = Hardware{};
}
calsim::ResetRegistration g_reset(ResetHardware);

uint32_t PinState()
{
    return (g_hw.gpioState & ~g_hw.gpioDirection) | (g_hw.gpioInputLevel & g_hw.gpioDirection);
}

} // namespace

using namespace calsim;

extern "C" {

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
    g_hw.gpioState = state ? (g_hw.gpioState | bit) : (g_hw.gpioState & ~bit);
    return nullptr;
}

TavrelResult ReadRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t timing, uint32_t *data)
{
    if (const char *error = Enter("ReadRFICRegister", h))
        return error;
    if (reg > 0xFF)
        return Textf("Invalid RFIC register 0x%X", reg);
    if (timing > 1)
        return Textf("Invalid RFIC timing %u", timing);
    if (reg == 0) {
        *data = kRficChipId;
    } else {
        auto it = g_hw.rficRegisters.find(reg);
        *data = it == g_hw.rficRegisters.end() ? (0x1000u | reg) : it->second;
    }
    return nullptr;
}

TavrelResult WriteRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t data, uint32_t timing)
{
    if (const char *error = Enter("WriteRFICRegister", h))
        return error;
    if (reg == 0)
        return "RFIC register 0 (chip ID) is read-only";
    if (reg > 0xFF)
        return Textf("Invalid RFIC register 0x%X", reg);
    if (timing > 1)
        return Textf("Invalid RFIC timing %u", timing);
    g_hw.rficRegisters[reg] = data & 0xFFFF;
    return nullptr;
}

TavrelResult GetTemperature(TavrelCalHandle h, double *celsius)
{
    if (const char *error = Enter("GetTemperature", h))
        return error;
    *celsius = 41.0 + RandomUniform(-0.8, 0.8);
    return nullptr;
}

TavrelResult GetGPADCValue(TavrelCalHandle h, uint32_t mux, uint32_t *value)
{
    if (const char *error = Enter("GetGPADCValue", h))
        return error;
    if (mux > 3)
        return Textf("Invalid GP ADC mux setting %u (0 to 3)", mux);
    // 8-bit ADC over 0 to 3.3 V; each input sees its DAC through a divider.
    double volts = 0.3 + 0.5 * g_hw.dacVolts[mux];
    *value = static_cast<uint32_t>(std::lround(volts / 3.3 * 255.0)) & 0xFF;
    return nullptr;
}

TavrelResult SetGPDACValue(TavrelCalHandle h, uint32_t mux, double volts)
{
    if (const char *error = Enter("SetGPDACValue", h))
        return error;
    if (mux > 3)
        return Textf("Invalid GP DAC mux setting %u (0 to 3)", mux);
    if (!(volts >= 0.0 && volts <= 3.3))
        return "GP DAC voltage out of range (0 to 3.3 V)";
    g_hw.dacVolts[mux] = volts;
    return nullptr;
}

TavrelResult ResetRxSpectrum(TavrelCalHandle h, uint32_t iirShift, uint32_t symbolIndex)
{
    if (const char *error = Enter("ResetRxSpectrum", h))
        return error;
    if (iirShift > 16)
        return Textf("IIR filter shift %u out of range (0 to 16)", iirShift);
    g_hw.spectrumShift = iirShift;
    g_hw.spectrumSymbol = symbolIndex;
    return nullptr;
}

TavrelResult GetRxSpectrum(TavrelCalHandle h, uint32_t capacity, double *spectrum, uint32_t *length)
{
    if (const char *error = Enter("GetRxSpectrum", h))
        return error;
    uint32_t n = capacity < 1024 ? capacity : 1024;
    for (uint32_t i = 0; i < n; ++i) {
        bool occupied = i >= 92 && i < 932;
        spectrum[i] = (occupied ? -55.0 : -95.0) + RandomUniform(-1.5, 1.5);
    }
    *length = n;
    return nullptr;
}

TavrelResult GetVersionInfo(TavrelCalHandle h, uint32_t *phyFirmware, uint32_t macFirmware[3],
                            char driverVersion[32], uint32_t calApiVersion[3], uint32_t *basebandChip,
                            uint32_t *rfChip)
{
    if (const char *error = Enter("GetVersionInfo", h))
        return error;
    *phyFirmware = 0x02070314;
    macFirmware[0] = 2;
    macFirmware[1] = 7;
    macFirmware[2] = 41;
    std::memset(driverVersion, 0, 32);
    std::strncpy(driverVersion, "calsim 1.0.0", 31);
    calApiVersion[0] = 3;
    calApiVersion[1] = 5;
    calApiVersion[2] = 0;
    *basebandChip = 0xB0C20002;
    *rfChip = kRficChipId;
    return nullptr;
}

} // extern "C"
