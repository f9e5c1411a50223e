// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "commands/tx_commands.h"

int CmdGetTx1Attn(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetTx1Attn(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetTx1OutputPower(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetTx1OutputPower(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetTxDiversitySwitch(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetTxDiversitySwitch(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

