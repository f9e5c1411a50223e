// Library configuration commands: read and write the library's options.
#ifndef COMMANDS_OPTION_COMMANDS_H
#define COMMANDS_OPTION_COMMANDS_H

#include "calapi/calapi.h"

#include <cstdint>

// The pseudo-ID that stands for every option in the read command's picker.
constexpr int32_t kAllOptionsId = 8;

// Shows the library's options and returns the operator's choice: -1, the ID
// of an option that is not reserved, or kAllOptionsId when allowAll is set.
// Anything else is refused and asked again.
int32_t PickOptionId(bool allowAll);

int CmdGetOptionByID(TavrelCalHandle handle);
int CmdSetOptionByID(TavrelCalHandle handle);

#endif
