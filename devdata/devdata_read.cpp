// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "devdata/devdata_read.h"

int CmdReadDevDataBlock(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdReadDevDataBytes(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetDevDataRegionSizeByID(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdReadDevDataRegionByID(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

