// The commands, one function each. Each checks its arguments before it
// opens anything and returns the exit status.
#pragma once

#include "ferryctl/args.h"

int RunPing(const Invocation &invocation);
int RunRead(const Invocation &invocation);
int RunWrite(const Invocation &invocation);
int RunLoad(const Invocation &invocation);
int RunMonitor(const Invocation &invocation);
int RunSend(const Invocation &invocation);
