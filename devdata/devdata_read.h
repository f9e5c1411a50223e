// Device Data read commands.
#ifndef TUNEPROBE_DEVDATA_READ_H
#define TUNEPROBE_DEVDATA_READ_H

#include "calapi/calapi.h"

int CmdReadDevDataBlock(TavrelCalHandle handle);
int CmdReadDevDataBytes(TavrelCalHandle handle);
int CmdGetDevDataRegionSizeByID(TavrelCalHandle handle);
int CmdReadDevDataRegionByID(TavrelCalHandle handle);

#endif
