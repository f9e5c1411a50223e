// Configuration commands: connection, device mode, band configuration, CW offset.
#ifndef TUNEPROBE_CONFIG_COMMANDS_H
#define TUNEPROBE_CONFIG_COMMANDS_H

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
