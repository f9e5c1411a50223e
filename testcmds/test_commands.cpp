// Commands not built yet; each stands in with the placeholder handler.
#include "console/handler.h"
#include "testcmds/test_commands.h"

int CmdEchoTest(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdAutomatedTest(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdSleepAccuracyTest(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdDevDataWriteTest(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

int CmdNvmModeTest(TavrelCalHandle handle)
{
    return PlaceholderHandler(handle);
}

