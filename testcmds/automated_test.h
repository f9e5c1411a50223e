// The automated test's groups and the conventions they share. Each group
// takes the interface handle and returns 0, or -1 where it stops early; the
// driver ignores the result. Library errors are printed and the group goes
// on, unless the group says otherwise.
#ifndef TESTCMDS_AUTOMATED_TEST_H
#define TESTCMDS_AUTOMATED_TEST_H

#include "calapi/calapi.h"

int RunConfigurationGroup(TavrelCalHandle handle);
int RunRxGroup(TavrelCalHandle handle);
int RunTxGroup(TavrelCalHandle handle);
int RunLoopbackGroup(TavrelCalHandle handle);
int RunOtherCommandsGroup(TavrelCalHandle handle);
int RunDevDataManagementGroup(TavrelCalHandle handle);
int RunDevDataReadGroup(TavrelCalHandle handle);

// "\nPress Enter to continue", one line of input, "\n".
void PauseForEnter();
// Unattended runs: the pauses print their texts but wait for nothing.
void SkipPauses(bool skip);

// A line break, then "------------- Testing <title>".
void PrintSectionHeader(const char *title);

// "ERROR: <text>" when the library returned an error text.
void PrintIfError(const char *error);
// The same for an error the script provokes on purpose: recorded as
// expected, so it does not leave the step in error.
void PrintIfExpectedError(const char *error);

// Pause after a write before reading the setting back.
constexpr uint32_t kSettleMs = 500;

#endif
