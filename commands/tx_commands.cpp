// Tx commands: the Tx1 attenuator settings, the Tx1 output power and the
// transmit diversity switch. Common shape: null handle -> -1 silently;
// header; prompts; one library call; "\nERROR: %s\n" and -1, or the outputs
// and the success line. Ranges in the prompts only inform the operator.
#include "commands/tx_commands.h"

#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"

#include <cstdint>

int CmdGetTx1Attn(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetTx1Attn:\n");
    double backoff = 0.0;
    uint32_t pgaIndex = 0;
    uint32_t driverIndex = 0;
    uint32_t extAttenuator = 0;
    if (const char *error = GetTx1Attn(handle, &backoff, &pgaIndex, &driverIndex, &extAttenuator))
        return ReportError(error);
    con::Print("     BBIC backoff from full scale power = %0.2f dB\n", backoff);
    con::Print("     Tx1 PGA attenuation index          = %u\n", pgaIndex);
    con::Print("     PA driver attenuation index        = %u\n", driverIndex);
    con::Print("     Extenal attenuator                 = %s (%u)\n", extAttenuator != 0 ? "Enabled" : "Disabled",
               extAttenuator);
    results::Measure("Tx1 backoff", backoff, "dB");
    results::Measure("Tx1 PGA", pgaIndex);
    results::Measure("Tx1 driver", driverIndex);
    results::Measure("Tx1 external attenuator", extAttenuator);
    return ReportSuccess("GetTx1Attn");
}

int CmdSetTx1Attn(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetTx1Attn:\n");
    double backoff = con::AskDouble("     BBIC backoff from full scale power (double, in dB) ? ");
    uint32_t pgaIndex = con::AskUnsigned("     Tx1 PGA attenuation index (0 - 11)                 ? ");
    uint32_t driverIndex = con::AskUnsigned("     PA driver attenuation index (0 - 21)               ? ");
    uint32_t extAttenuator = con::AskUnsigned("     Extenal attenuator (1=Enabled; 0=Disabled)         ? ");
    if (const char *error = SetTx1Attn(handle, backoff, pgaIndex, driverIndex, extAttenuator))
        return ReportError(error);
    return ReportSuccess("SetTx1Attn");
}

int CmdGetTx1OutputPower(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetTx1OutputPower:\n");
    double power = 0.0;
    if (const char *error = GetTx1OutputPower(handle, &power))
        return ReportError(error);
    con::Print("    Tx1 output power = %lg dBm\n", power);
    results::Measure("Tx1 output power", power, "dBm");
    return ReportSuccess("GetTx1OutputPower");
}

int CmdSetTx1OutputPower(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetTx1OutputPower:\n");
    double power = con::AskDouble("     Tx1 output power (double, -40 to +35 dBm) ? ");
    if (const char *error = SetTx1OutputPower(handle, power))
        return ReportError(error);
    return ReportSuccess("SetTx1OutputPower");
}

int CmdGetTxDiversitySwitch(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nGetTxDiversitySwitch:\n");
    uint32_t antennaSwitch = 0;
    if (const char *error = GetTxDiversitySwitch(handle, &antennaSwitch))
        return ReportError(error);
    con::Print("    Tx diversity switch = %u (%s)\n", antennaSwitch, antennaSwitch == 0 ? "Antenna 1" : "Antenna 2");
    results::Measure("Tx diversity switch", antennaSwitch);
    return ReportSuccess("GetTxDiversitySwitch");
}

int CmdSetTxDiversitySwitch(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nSetTxDiversitySwitch:\n");
    uint32_t antennaSwitch = con::AskUnsigned("     Tx diversity switch (0=Ant 1; 1=Ant 2) ? ");
    if (const char *error = SetTxDiversitySwitch(handle, antennaSwitch))
        return ReportError(error);
    return ReportSuccess("SetTxDiversitySwitch");
}
