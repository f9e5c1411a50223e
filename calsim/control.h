// Control of the simulated modem, for tests. Not part of the calibration
// library's C interface: libTavrelCalAPI.so does not export it, and a test
// program that uses it links the library's test build instead
// (callib_testing), whose model it then steers. The same faults can be set
// from outside the process through the environment:
//
//   CALSIM_FAULTS="ConnectDevice:3=No answer;GetDeviceMode=Device busy;GetCalInterface"
//     entries separated by ';', each NAME[/SKIP][:TIMES][=TEXT]: the
//     operation NAME fails with TEXT (default "Simulated failure") after
//     SKIP good calls, TIMES times (default: always). GetCalInterface listed
//     returns a null handle.
//   CALSIM_SEED=N   deterministic values and a virtual clock, seeded with N.
//   CALSIM_TEMPERATURE=CELSIUS   GetTemperature returns exactly this (see
//     ForceTemperature); a value that is not a finite number is ignored.
#ifndef CALSIM_CONTROL_H
#define CALSIM_CONTROL_H

#include <cstdint>
#include <string>
#include <vector>

namespace calsim {

// Back to power-on state: interface closed, device disconnected, every
// setting at its default, faults cleared, values seeded with seed and a
// virtual clock (deterministic).
void Reset(uint32_t seed = 1);

// Operation `name` returns `text` after `skip` good calls, `times` times
// (-1: from then on). Names are the C function names.
void FailOperation(const char *name, const char *text, int skip = 0, int times = -1);
void ClearFaults();
// GetCalInterface returns null while set.
void SetNullInterface(bool on);

// How often each operation was called since the last Reset, and the calls
// in order (names only).
int CallCount(const char *name);
std::vector<std::string> CallLog();

bool IsConnected();

// Raw device state, for values the device itself would refuse to take.
void ForceDeviceMode(uint32_t mode, uint32_t modulation);
void ForceOptionValue(uint32_t id, uint32_t value);

// The simulated clock in milliseconds (virtual after Reset or CALSIM_SEED).
double NowMs();

} // namespace calsim

#endif
