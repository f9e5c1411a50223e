// Tx commands.
#ifndef COMMANDS_TX_COMMANDS_H
#define COMMANDS_TX_COMMANDS_H

#include "calapi/calapi.h"

int CmdGetTx1Attn(TavrelCalHandle handle);
int CmdSetTx1Attn(TavrelCalHandle handle);
int CmdGetTx1OutputPower(TavrelCalHandle handle);
int CmdSetTx1OutputPower(TavrelCalHandle handle);
int CmdGetTxDiversitySwitch(TavrelCalHandle handle);
int CmdSetTxDiversitySwitch(TavrelCalHandle handle);

#endif
