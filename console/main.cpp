// tuneprobe: the operator's console for the calibration library.
#include "console/console_io.h"
#include "console/helpers.h"
#include "console/menu.h"
#include "console/startup.h"

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

    g_handle = SelectInterface();
    RunMenu(g_handle);
    ShutDown(g_handle);
    g_handle = nullptr;
    return 0;
}
