// The automated test's driver: one device-mode level for the whole script,
// the seven groups with a pause after each.
#include "testcmds/automated_test.h"

#include "console/console_io.h"
#include "console/run_events.h"
#include "testcmds/device_mode_stack.h"
#include "testcmds/test_commands.h"

namespace {

// Each group is one step of a recorded run, under these names.
const struct {
    const char *name;
    int (*run)(TavrelCalHandle);
} kGroups[] = {
    {"Configuration", RunConfigurationGroup},
    {"Rx", RunRxGroup},
    {"Tx", RunTxGroup},
    {"Loopback calibration", RunLoopbackGroup},
    {"Other commands", RunOtherCommandsGroup},
    {"Device Data management", RunDevDataManagementGroup},
    {"Device Data read", RunDevDataReadGroup},
};

bool g_skipPauses = false;

} // namespace

void SkipPauses(bool skip)
{
    g_skipPauses = skip;
}

void PauseForEnter()
{
    con::Print("\nPress Enter to continue");
    if (g_skipPauses)
        con::EchoAnswer("\n");
    else
        con::WaitForEnter();
    con::Print("\n");
}

void PrintSectionHeader(const char *title)
{
    con::Print("\n%s Testing %s\n", "-------------", title);
}

void PrintIfError(const char *error)
{
    if (error != nullptr) {
        con::Print("ERROR: %s\n", error);
        results::LibraryError(error);
    }
}

void PrintIfExpectedError(const char *error)
{
    if (error != nullptr) {
        con::Print("ERROR: %s\n", error);
        results::ExpectedLibraryError(error);
    }
}

int CmdAutomatedTest(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    PushDeviceMode(handle, kModeAgcFreeRun, kModulation16Qam);
    for (const auto &group : kGroups) {
        results::BeginStep(group.name);
        int result = group.run(handle);
        results::EndStep(result != 0);
        PauseForEnter();
    }
    PopDeviceMode(handle);
    return 0;
}
