// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "devdata/devdata_write.h"

int CmdRequestDevDataWriteKey(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdWriteDevDataBlock(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdWriteDevDataBytes(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdWriteFlash2xBytesWithHeader(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdWriteDevDataRegionByID(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

