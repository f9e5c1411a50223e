// Library configuration commands: read and write the library's options.
#ifndef TUNEPROBE_OPTION_COMMANDS_H
#define TUNEPROBE_OPTION_COMMANDS_H

#include "console/calapi.h"

int CmdGetOptionByID(TavrelCalHandle handle);
int CmdSetOptionByID(TavrelCalHandle handle);

#endif
