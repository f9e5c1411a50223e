// tuneprobe: the operator's console for the calibration library. Without
// arguments it is the interactive console; the options run menu items
// unattended and write their results as data (see options.h).
#include "console/console_io.h"
#include "console/random_word.h"
#include "console/run_events.h"
#include "devdata/devdata_info.h"
#include "testcmds/automated_test.h"
#include "tuneprobe/limits.h"
#include "tuneprobe/menu.h"
#include "tuneprobe/menu_items.h"
#include "tuneprobe/options.h"
#include "tuneprobe/startup.h"
#include "tuneprobe/unattended.h"

#include <cstdio>
#include <ctime>

namespace {

TavrelCalHandle g_handle = nullptr;
Unattended *g_run = nullptr; // set while items run from the command line

void CloseDevice()
{
    TavrelCalHandle handle = g_handle;
    g_handle = nullptr;
    if (handle == nullptr)
        return;
    const char *error = ShutDown(handle);
    if (error != nullptr && g_run != nullptr)
        g_run->Disconnected(error);
}

// End of input anywhere: close what was opened; the console I/O module then
// ends the program. Items cut short by it leave the run incomplete.
void EndOfInput()
{
    CloseDevice();
    if (g_run != nullptr)
        std::exit(g_run->InputEnded());
}

// SIGINT, SIGTERM, SIGHUP or SIGPIPE, acted on between library calls.
void Interrupted(int signal)
{
    CloseInterfaceBeingOpened();
    CloseDevice();
    if (g_run != nullptr)
        g_run->Interrupted(signal);
}

void CopyToRun(const char *text, std::size_t length)
{
    if (g_run != nullptr)
        g_run->Console(text, length);
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string message;
    if (!ParseOptions(argc, argv, options, message)) {
        std::fprintf(stderr, "tuneprobe: %s\n", message.c_str());
        return kUsageError;
    }
    if (options.help || options.version || options.listItems) {
        if (options.help)
            std::fputs(UsageText(), stdout);
        else if (options.version)
            std::printf("tuneprobe %s\n", TUNEPROBE_VERSION);
        else
            std::fputs(MenuItemList(MenuTable).c_str(), stdout);
        return 0;
    }

    Limits limits;
    if (!options.limitsPath.empty() && !limits.Load(options.limitsPath, message)) {
        std::fprintf(stderr, "tuneprobe: --limits %s\n", message.c_str());
        return kUsageError;
    }
    SetConnectAttempts(options.connectAttempts);

    Unattended run(options, limits.Empty() ? nullptr : &limits);
    if (!run.CreateFiles(message)) {
        std::fprintf(stderr, "tuneprobe: %s\n", message.c_str());
        return kUsageError;
    }
    if (run.Active()) {
        g_run = &run;
        con::SetCopyHook(CopyToRun);
    }
    if (!options.items.empty())
        SkipKeyAfterFailedStart();
    SkipPauses(options.noPause);
    if (options.loadMode != 0)
        PresetLoadMode(options.loadMode);
    con::SetEndOfInputHook(EndOfInput);
    con::CatchInterrupts(Interrupted);
    SeedRandom(static_cast<uint32_t>(std::time(nullptr)));

    con::Print("\nWelcome to the Tavrel Cal API Test Application");
    con::Print("\nFor Cal API Library Version %s\n\n", "3.5.0");

    StartUp start = options.interfaceGiven ? OpenInterface(options.interfaceType, options.address, options.number)
                                           : SelectInterface();
    g_handle = start.handle;
    if (options.items.empty()) {
        if (g_handle != nullptr) {
            RunMenu(g_handle);
            CloseDevice();
        }
        int written = run.Finish(true);
        return start.exitStatus != 0 ? start.exitStatus : written;
    }

    run.Begin(g_handle);
    if (g_handle == nullptr) {
        // -1 at the interface question runs nothing: not a pass either.
        if (start.exitStatus == 0)
            return run.NoInterface();
        std::fprintf(stderr, "tuneprobe: %s\n", start.reason.c_str());
        run.StartFailed(start.reason);
        return start.exitStatus;
    }
    for (int row : options.items)
        run.RunItem(g_handle, row);
    CloseDevice();
    return run.Finish(true);
}
