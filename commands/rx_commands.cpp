// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "commands/rx_commands.h"

int CmdGetRxAntConfig(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetRxAntConfig(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdIsSync(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdForceReSync(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetAGCMode(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetRxGainState(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetRxGainState(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetRSSIReport(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetCINR(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetPerAntCINR(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetPerAntThermalNoise(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdResetFrameErrorStatistics(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetFrameErrorStatistics(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetPDUErrorStatistics(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

