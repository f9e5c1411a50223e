// Configuration commands: connection, device mode, band configuration, CW offset.
#ifndef COMMANDS_CONFIG_COMMANDS_H
#define COMMANDS_CONFIG_COMMANDS_H

#include "calapi/calapi.h"

int CmdConnectDevice(TavrelCalHandle handle);
int CmdDisconnectDevice(TavrelCalHandle handle);
int CmdGetDeviceMode(TavrelCalHandle handle);
int CmdSetDeviceMode(TavrelCalHandle handle);
int CmdGetBandConfig(TavrelCalHandle handle);
int CmdSetBandConfig(TavrelCalHandle handle);
int CmdGetCWOffset(TavrelCalHandle handle);
int CmdSetCWOffset(TavrelCalHandle handle);

#endif
