// Loopback calibration commands.
#ifndef TUNEPROBE_LOOPBACK_COMMANDS_H
#define TUNEPROBE_LOOPBACK_COMMANDS_H

#include "console/calapi.h"

int CmdSetTRSwitch(TavrelCalHandle handle);
int CmdCalibrateLCTrim(TavrelCalHandle handle);
int CmdCalibrateTxSteps(TavrelCalHandle handle);
int CmdCalibrateLimitedTxSteps(TavrelCalHandle handle);
int CmdCalibrateTxPoutFreqCorr(TavrelCalHandle handle);
int CmdCalibrateLNASteps(TavrelCalHandle handle);
int CmdCalibrateTxExtAttnStep(TavrelCalHandle handle);

#endif
