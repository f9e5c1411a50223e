// The automated test's driver: one device-mode level for the whole script,
// the seven groups with a pause after each.
#include "testcmds/automated_test.h"

#include "console/console_io.h"
#include "testcmds/device_mode_stack.h"
#include "testcmds/test_commands.h"

namespace {

using Group = int (*)(TavrelCalHandle);

const Group kGroups[] = {
    RunConfigurationGroup,     RunRxGroup,          RunTxGroup, RunLoopbackGroup, RunOtherCommandsGroup,
    RunDevDataManagementGroup, RunDevDataReadGroup,
};

} // namespace

void PauseForEnter()
{
    con::Print("\nPress Enter to continue");
    con::WaitForEnter();
    con::Print("\n");
}

void PrintSectionHeader(const char *title)
{
    con::Print("\n%s Testing %s\n", "-------------", title);
}

void PrintIfError(const char *error)
{
    if (error != nullptr)
        con::Print("ERROR: %s\n", error);
}

const char *Verdict(bool pass)
{
    return pass ? "PASS" : "FAIL";
}

int CmdAutomatedTest(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    PushDeviceMode(handle, kModeAgcFreeRun, kModulation16Qam);
    for (Group group : kGroups) {
        group(handle);
        PauseForEnter();
    }
    PopDeviceMode(handle);
    return 0;
}
