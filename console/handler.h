// The shape every command handler shares: it takes the interface handle and
// returns 0 on success or -1 on failure; a null handle returns -1 at once
// with nothing printed. Handlers print everything themselves.
#ifndef CONSOLE_HANDLER_H
#define CONSOLE_HANDLER_H

#include "calapi/calapi.h"

using CommandHandler = int (*)(TavrelCalHandle handle);

// The two endings of the common shape: "\nERROR: %s\n" with the library's
// text and -1, or "\n%s was SUCCESSFUL.\n" with the operation's name and 0.
int ReportError(const char *error);
int ReportSuccess(const char *name);

#endif
