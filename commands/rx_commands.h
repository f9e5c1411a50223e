// Rx commands.
#ifndef COMMANDS_RX_COMMANDS_H
#define COMMANDS_RX_COMMANDS_H

#include "calapi/calapi.h"

int CmdGetRxAntConfig(TavrelCalHandle handle);
int CmdSetRxAntConfig(TavrelCalHandle handle);
int CmdIsSync(TavrelCalHandle handle);
int CmdForceReSync(TavrelCalHandle handle);
int CmdSetAGCMode(TavrelCalHandle handle);
int CmdGetRxGainState(TavrelCalHandle handle);
int CmdSetRxGainState(TavrelCalHandle handle);
int CmdGetRSSIReport(TavrelCalHandle handle);
int CmdGetCINR(TavrelCalHandle handle);
int CmdGetPerAntCINR(TavrelCalHandle handle);
int CmdGetPerAntThermalNoise(TavrelCalHandle handle);
int CmdResetFrameErrorStatistics(TavrelCalHandle handle);
int CmdGetFrameErrorStatistics(TavrelCalHandle handle);
int CmdGetPDUErrorStatistics(TavrelCalHandle handle);

#endif
