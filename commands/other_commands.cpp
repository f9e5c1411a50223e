// Other hardware commands: GPIO, RF chip registers, temperature, GP ADC and
// DAC, the Rx spectrum and the version report. Common shape: null handle ->
// -1 silently; header; prompts; one library call; "\nERROR: %s\n" and -1, or
// the results and the success line.
#include "commands/other_commands.h"
#include "commands/version_info.h"

#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"

#include <cstdint>
#include <cstdio>
#include <string>

int CmdReadGPIOState(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nReadGPIOState:\n");
    uint32_t state = 0;
    uint32_t direction = 0;
    uint32_t permission = 0;
    if (const char *error = ReadGPIOState(handle, &state, &direction, &permission))
        return ReportError(error);
    con::Print("     GPIO pin state            = %08X\n", state);
    con::Print("     GPIO pin direction        = %08X (1=Input; 0=Output)\n", direction);
    con::Print("     GPIO pin write permission = %08X (0=read-only; 1=read-write)\n", permission);
    results::Measure("GPIO pin state", state);
    results::Measure("GPIO direction", direction);
    results::Measure("GPIO write permission", permission);
    return ReportSuccess("ReadGPIOState");
}

int CmdSetGPIOConfiguration(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetGPIOConfiguration:\n");
    con::Print("The parameters specify the configuration of each pin:\n");
    con::Print("  GPIO write permission: 0=read-only; 1=read-write\n");
    con::Print("Please enter:\n");
    uint32_t permission = con::AskHex("    GPIO write permission (hex) ? ");
    if (const char *error = SetGPIOConfiguration(handle, permission))
        return ReportError(error);
    return ReportSuccess("SetGPIOConfiguration");
}

int CmdSetGPIOPinState(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetGPIOPinState:\n");
    uint32_t pin = con::AskUnsigned("    GPIO pin number (0-31) ? ");
    uint32_t state = con::AskUnsigned("    GPIO pin state (0-1)   ? ");
    if (const char *error = SetGPIOPinState(handle, pin, state))
        return ReportError(error);
    return ReportSuccess("SetGPIOPinState");
}

int CmdReadRFICRegister(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nReadRFICRegister:\n");
    uint32_t reg = con::AskHex("     RFIC register number (hex)                  ? ");
    uint32_t timing = con::AskUnsigned("     RFIC read timing (0=GTB based, 1=Immediate) ? ");
    uint32_t data = 0;
    if (const char *error = ReadRFICRegister(handle, reg, timing, &data))
        return ReportError(error);
    con::Print("\n");
    con::Print("     RFIC register data = %08X\n", data);
    // Only registers 0x00 to 0x7F read, so the names stay few.
    results::Measure("RFIC register " + std::to_string(reg), data);
    return ReportSuccess("ReadRFICRegister");
}

int CmdWriteRFICRegister(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nWriteRFICRegister:\n");
    uint32_t reg = con::AskHex("     RFIC register number (hex)                   ? ");
    uint32_t data = con::AskHex("     RFIC register data (hex)                     ? ");
    uint32_t timing = con::AskUnsigned("     RFIC write timing (0=GTB based, 1=Immediate) ? ");
    if (const char *error = WriteRFICRegister(handle, reg, data, timing))
        return ReportError(error);
    con::Print("\n");
    return ReportSuccess("WriteRFICRegister");
}

int CmdGetTemperature(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetTemperature:\n");
    double celsius = 0.0;
    if (const char *error = GetTemperature(handle, &celsius))
        return ReportError(error);
    con::Print("    Temperature = %.0f C\n", celsius);
    results::Measure("Temperature", celsius, "C");
    return ReportSuccess("GetTemperature");
}

int CmdGetGPADCValue(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetGPADCValue:\n");
    uint32_t mux = con::AskUnsigned("     GP ADC mux setting (0-3) ? ");
    uint32_t value = 0;
    if (const char *error = GetGPADCValue(handle, mux, &value))
        return ReportError(error);
    con::Print("     Value = %u\n", value);
    results::Measure("GP ADC input " + std::to_string(mux), value);
    return ReportSuccess("GetGPADCValue");
}

int CmdSetGPDACValue(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetGPDACValue:\n");
    uint32_t mux = con::AskUnsigned("     GP DAC mux setting (0-3) ? ");
    double volts = con::AskDouble("     GP DAC voltage (Volts)   ? ");
    if (const char *error = SetGPDACValue(handle, mux, volts))
        return ReportError(error);
    return ReportSuccess("SetGPDACValue");
}

int CmdResetRxSpectrum(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nResetRxSpectrum\n");
    uint32_t shift = con::AskUnsigned("     Shift for IIR filter alpha (0-16) ? ");
    uint32_t symbol = con::AskUnsigned("     Symbol index to be captured       ? ");
    if (const char *error = ResetRxSpectrum(handle, shift, symbol))
        return ReportError(error);
    return ReportSuccess("ResetRxSpectrum");
}

int CmdGetRxSpectrum(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetRxSpectrum\n");
    double spectrum[TAVREL_SPECTRUM_CAPACITY] = {};
    uint32_t length = 0;
    if (const char *error = GetRxSpectrum(handle, TAVREL_SPECTRUM_CAPACITY, spectrum, &length))
        return ReportError(error);
    con::Print("\nSpectrum length = %u\n", length);
    results::Measure("Spectrum length", length);
    // A length beyond the table lists what the table holds, never past it,
    // and says how many values the library claimed.
    uint32_t shown = length < TAVREL_SPECTRUM_CAPACITY ? length : TAVREL_SPECTRUM_CAPACITY;
    for (uint32_t i = 0; i < shown; ++i) {
        if (i % 16 == 0)
            con::Print("\n%4u:", i);
        con::Print("%7.1f", spectrum[i]);
    }
    con::Print("\n");
    if (length > shown)
        con::Print("Only the %u values of the spectrum table are listed: the library reported %u.\n", shown, length);
    results::MeasureSeries("Rx spectrum", spectrum, shown, "dB");
    return ReportSuccess("GetRxSpectrum");
}

int CmdGetVersionInfo(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetVersionInfo:\n");
    VersionTexts v;
    if (TavrelResult error = ReadVersionTexts(handle, v))
        return ReportError(error);
    con::Print("    PHY firmware version    = %s\n", v.phyFirmware.c_str());
    con::Print("    MAC firmware version    = %s\n", v.macFirmware.c_str());
    con::Print("    Driver version          = %s\n", v.driver.c_str());
    con::Print("    Cal API library version = %s\n", v.calApi.c_str());
    con::Print("    Baseband chip version   = %s\n", v.basebandChip.c_str());
    con::Print("    RF chip version         = %s\n", v.rfChip.c_str());
    // The recorded texts are the ones shown.
    results::MeasureText("PHY firmware version", v.phyFirmware);
    results::MeasureText("MAC firmware version", v.macFirmware);
    results::MeasureText("Driver version", v.driver);
    results::MeasureText("Cal API library version", v.calApi);
    results::MeasureText("Baseband chip version", v.basebandChip);
    results::MeasureText("RF chip version", v.rfChip);
    return ReportSuccess("GetVersionInfo");
}
