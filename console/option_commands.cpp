// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "console/option_commands.h"

int CmdGetOptionByID(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSetOptionByID(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

