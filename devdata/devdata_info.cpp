// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "devdata/devdata_info.h"

int CmdLoadDevData(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdIsDevDataValid(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdAreDevDataChecksumsValidArray(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetDevDataChecksumsArray(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdIsCalibrationValid(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetCalibrationInfo(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetMACAddress(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetDevDataSize(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetDevDataInfo(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdGetFlash2xDevDataInfo(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSelectActiveDevDataSection(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdInitializeFlash(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSelectCurrentDevDataSection(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdCopyDevDataSection(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

