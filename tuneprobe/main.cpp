// tuneprobe: the operator's console for the calibration library.
#include "console/console_io.h"
#include "console/random_word.h"
#include "tuneprobe/menu.h"
#include "tuneprobe/startup.h"

#include <ctime>

namespace {

TavrelCalHandle g_handle = nullptr;

// End of input anywhere: close what was opened; the console I/O module
// then ends the program normally.
void EndOfInput()
{
    if (g_handle != nullptr)
        ShutDown(g_handle);
}

} // namespace

int main()
{
    con::SetEndOfInputHook(EndOfInput);
    SeedRandom(static_cast<uint32_t>(std::time(nullptr)));

    con::Print("\nWelcome to the Tavrel Cal API Test Application");
    con::Print("\nFor Cal API Library Version %s\n\n", "3.5.0");

    StartUp start = SelectInterface();
    if (start.handle == nullptr)
        return start.exitStatus;
    g_handle = start.handle;
    RunMenu(g_handle);
    ShutDown(g_handle);
    g_handle = nullptr;
    return 0;
}
