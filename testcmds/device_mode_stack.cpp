#include "testcmds/device_mode_stack.h"

#include "console/console_io.h"
#include "console/run_events.h"

namespace {

struct DeviceModeEntry {
    uint32_t mode;
    uint32_t modulation;
};

// Slot 0 is the bottom, always mode 0 with modulation 0; pushed entries
// occupy slots 1 to depth.
struct DeviceModeStack {
    DeviceModeEntry slots[kDeviceModeStackMax + 1];
    uint32_t depth;
};

DeviceModeStack g_stack = {};

} // namespace

void PushDeviceMode(TavrelCalHandle handle, uint32_t mode, uint32_t modulation)
{
    if (g_stack.depth >= kDeviceModeStackMax) {
        con::Print("ERROR: Device mode stack OVERFLOW\n");
        return;
    }
    ++g_stack.depth;
    g_stack.slots[g_stack.depth] = DeviceModeEntry{mode, modulation};
    results::LibraryError(SetDeviceMode(handle, mode, modulation)); // not shown; a recorded run notes it
    con::Print("Push[%2u] - set device mode: mode = %u modulation = %u\n", g_stack.depth, mode, modulation);
}

void PopDeviceMode(TavrelCalHandle handle)
{
    if (g_stack.depth == 0) {
        con::Print("ERROR: Device mode stack UNDERFLOW\n");
        return;
    }
    --g_stack.depth;
    const DeviceModeEntry &top = g_stack.slots[g_stack.depth];
    results::LibraryError(SetDeviceMode(handle, top.mode, top.modulation));
    con::Print("Pop [%2u] - set device mode: mode = %u modulation = %u\n", g_stack.depth, top.mode, top.modulation);
}

uint32_t DeviceModeStackDepth()
{
    return g_stack.depth;
}

void ResetDeviceModeStack()
{
    g_stack = DeviceModeStack{};
}
