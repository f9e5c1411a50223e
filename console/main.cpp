// tuneprobe: the operator's console for the calibration library.
#include "console/console_io.h"
#include "console/helpers.h"
#include "console/menu.h"
#include "console/startup.h"

#include <cstdlib>
#include <ctime>

namespace {

TavrelCalHandle g_handle = nullptr;

// End of input anywhere: close what was opened and end normally.
void EndOfInput()
{
    if (g_handle != nullptr)
        ShutDown(g_handle);
    con::Flush();
    std::exit(0);
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
