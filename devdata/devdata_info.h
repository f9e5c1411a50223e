// Device Data information and management commands.
#ifndef DEVDATA_DEVDATA_INFO_H
#define DEVDATA_DEVDATA_INFO_H

#include "calapi/calapi.h"

int CmdLoadDevData(TavrelCalHandle handle);
// Unattended runs: the load-mode question of LoadDevData takes mode (1 or 2)
// without reading an answer.
void PresetLoadMode(uint32_t mode);
int CmdIsDevDataValid(TavrelCalHandle handle);
int CmdAreDevDataChecksumsValidArray(TavrelCalHandle handle);
int CmdGetDevDataChecksumsArray(TavrelCalHandle handle);
int CmdIsCalibrationValid(TavrelCalHandle handle);
int CmdGetCalibrationInfo(TavrelCalHandle handle);
int CmdGetMACAddress(TavrelCalHandle handle);
int CmdGetDevDataSize(TavrelCalHandle handle);
int CmdGetDevDataInfo(TavrelCalHandle handle);
int CmdGetFlash2xDevDataInfo(TavrelCalHandle handle);
int CmdSelectActiveDevDataSection(TavrelCalHandle handle);
int CmdInitializeFlash(TavrelCalHandle handle);
int CmdSelectCurrentDevDataSection(TavrelCalHandle handle);
int CmdCopyDevDataSection(TavrelCalHandle handle);

#endif
