// Test commands: echo, automated, sleep accuracy, Device Data write and NVM mode tests.
#ifndef TESTCMDS_TEST_COMMANDS_H
#define TESTCMDS_TEST_COMMANDS_H

#include "calapi/calapi.h"

int CmdEchoTest(TavrelCalHandle handle);
int CmdAutomatedTest(TavrelCalHandle handle);
int CmdSleepAccuracyTest(TavrelCalHandle handle);
int CmdDevDataWriteTest(TavrelCalHandle handle);
int CmdNvmModeTest(TavrelCalHandle handle);

#endif
