// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "commands/other_commands.h"

int CmdReadGPIOState(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetGPIOConfiguration(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetGPIOPinState(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdReadRFICRegister(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdWriteRFICRegister(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetTemperature(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetGPADCValue(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetGPDACValue(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdResetRxSpectrum(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetRxSpectrum(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetVersionInfo(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

