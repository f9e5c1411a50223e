// Other hardware commands: GPIO, RFIC registers, temperature, GP ADC/DAC, spectrum, version.
#ifndef COMMANDS_OTHER_COMMANDS_H
#define COMMANDS_OTHER_COMMANDS_H

#include "calapi/calapi.h"

int CmdReadGPIOState(TavrelCalHandle handle);
int CmdSetGPIOConfiguration(TavrelCalHandle handle);
int CmdSetGPIOPinState(TavrelCalHandle handle);
int CmdReadRFICRegister(TavrelCalHandle handle);
int CmdWriteRFICRegister(TavrelCalHandle handle);
int CmdGetTemperature(TavrelCalHandle handle);
int CmdGetGPADCValue(TavrelCalHandle handle);
int CmdSetGPDACValue(TavrelCalHandle handle);
int CmdResetRxSpectrum(TavrelCalHandle handle);
int CmdGetRxSpectrum(TavrelCalHandle handle);
int CmdGetVersionInfo(TavrelCalHandle handle);

#endif
