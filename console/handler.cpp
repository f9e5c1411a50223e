#include "console/console_io.h"
#include "console/handler.h"
#include "console/run_events.h"

int ReportError(const char *error)
{
    con::Print("\nERROR: %s\n", error);
    results::LibraryError(error);
    return -1;
}

int ReportSuccess(const char *name)
{
    con::Print("\n%s was SUCCESSFUL.\n", name);
    return 0;
}
