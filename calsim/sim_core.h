// Shared internals of the simulated modem: the gate every operation passes,
// seeded values, the clock, interned error texts and the reset registry.
#ifndef CALSIM_SIM_CORE_H
#define CALSIM_SIM_CORE_H

#include "calapi/calapi.h"

#include <cstdint>
#include <string>

namespace calsim {

// Every operation starts here: records the call, then refuses with an error
// text for an unknown handle, an injected fault or (when needDevice) a
// device that is not connected. Null means go on.
const char *Enter(const char *name, TavrelCalHandle handle, bool needDevice = true);

// Checks only the injected faults of `name` (for the operations that take
// no handle); records the call.
const char *EnterNoHandle(const char *name);

// When an injected fault strikes: after `skip` calls it hits, `times` calls
// (-1: without end). Hit counts one call and tells whether it goes wrong.
struct FaultCount {
    int skip = 0;
    int times = 0;
    bool Hit();
};

// Error texts: returned pointers stay valid for the life of the process.
const char *Text(const std::string &text);
const char *Textf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Seeded values for measurements that vary a little from call to call.
uint32_t RandomU32();
double RandomUniform(double low, double high);

// The area files register how to return to power-on state.
using ResetFunction = void (*)();
struct ResetRegistration {
    explicit ResetRegistration(ResetFunction f);
};

// Option values (option 7 is the NVM mode), read by the Device Data side.
uint32_t OptionValue(uint32_t id);

// With CALSIM_DEVDATA_DUMP=PATH, the interface's close writes the whole
// Device Data memory to PATH (the three sections, the buffer, the image in
// use): a run can then be compared with another byte for byte, wherever
// the model ran.
void DumpDevDataIfAsked();

// Configuration read by the other areas.
uint32_t CenterFrequencyKHz();
uint32_t DutMode();

} // namespace calsim

#endif
