// Device Data read commands.
#ifndef DEVDATA_DEVDATA_READ_H
#define DEVDATA_DEVDATA_READ_H

#include "calapi/calapi.h"

int CmdReadDevDataBlock(TavrelCalHandle handle);
int CmdReadDevDataBytes(TavrelCalHandle handle);
int CmdGetDevDataRegionSizeByID(TavrelCalHandle handle);
int CmdReadDevDataRegionByID(TavrelCalHandle handle);

#endif
