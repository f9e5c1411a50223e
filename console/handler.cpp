#include "console/console_io.h"
#include "console/handler.h"

int PlaceholderHandler(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    con::Print("\nThis command is not available in this build of tuneprobe yet.\n");
    return -1;
}

int ReportError(const char *error)
{
    con::Print("\nERROR: %s\n", error);
    return -1;
}

int ReportSuccess(const char *name)
{
    con::Print("\n%s was SUCCESSFUL.\n", name);
    return 0;
}
