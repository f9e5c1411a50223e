// Loopback calibration commands.
#ifndef COMMANDS_LOOPBACK_COMMANDS_H
#define COMMANDS_LOOPBACK_COMMANDS_H

#include "calapi/calapi.h"

int CmdSetTRSwitch(TavrelCalHandle handle);
int CmdCalibrateLCTrim(TavrelCalHandle handle);
int CmdCalibrateTxSteps(TavrelCalHandle handle);
int CmdCalibrateLimitedTxSteps(TavrelCalHandle handle);
int CmdCalibrateTxPoutFreqCorr(TavrelCalHandle handle);
int CmdCalibrateLNASteps(TavrelCalHandle handle);
int CmdCalibrateTxExtAttnStep(TavrelCalHandle handle);

// The result listings of these commands, each led by an empty line; the
// automated test prints the same results the same way. Each also records
// what it lists as measurements, so it is called only after the library
// call that produced the results succeeded.
void PrintTxStepTables(const double paDrvSteps[TAVREL_TX_PADRV_STEPS], const double pgaSteps[TAVREL_TX_PGA_STEPS]);
void PrintTxPoutFreqCorr(const double freqCorr[TAVREL_SCAN_LIST_SIZE], const double extAttnStep[TAVREL_SCAN_LIST_SIZE]);
void PrintLNASteps(const double pgaGainCorr[2], const double lnaMidStep[2], const double lnaHighStep[2],
                   const double lnaExtStep[2]);
void PrintTxExtAttnStep(double stepGainDb, double loopbackAmplitudeDb, double backoffDb, int32_t pgaIndex,
                        int32_t paDriverIndex, int32_t extAttnEnable);

#endif
