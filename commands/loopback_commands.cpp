// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "commands/loopback_commands.h"

int CmdSetTRSwitch(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdCalibrateLCTrim(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdCalibrateTxSteps(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdCalibrateLimitedTxSteps(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdCalibrateTxPoutFreqCorr(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdCalibrateLNASteps(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdCalibrateTxExtAttnStep(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

