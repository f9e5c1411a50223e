// Device Data write commands: key, block, byte, Flash 2.x and region writes.
#ifndef DEVDATA_DEVDATA_WRITE_H
#define DEVDATA_DEVDATA_WRITE_H

#include "calapi/calapi.h"

int CmdRequestDevDataWriteKey(TavrelCalHandle handle);
int CmdWriteDevDataBlock(TavrelCalHandle handle);
int CmdWriteDevDataBytes(TavrelCalHandle handle);
int CmdWriteFlash2xBytesWithHeader(TavrelCalHandle handle);
int CmdWriteDevDataRegionByID(TavrelCalHandle handle);

#endif
