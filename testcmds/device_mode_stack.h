// DeviceModeStack: the automated test switches the device's DUT mode with
// pushes and restores it with pops. One stack per process; its depth carries
// over from one automated test to the next.
#ifndef TESTCMDS_DEVICE_MODE_STACK_H
#define TESTCMDS_DEVICE_MODE_STACK_H

#include "calapi/calapi.h"

#include <cstdint>

// The DUT modes and modulation types that the test scripts switch between.
constexpr uint32_t kModeNormal = 0;
constexpr uint32_t kModeCalibration = 1;
constexpr uint32_t kModeTxCw = 2;
constexpr uint32_t kModeAgcFreeRun = 4;
constexpr uint32_t kModeLoopback = 5;
constexpr uint32_t kModulation4Qam = 0;
constexpr uint32_t kModulation16Qam = 1;

// Deepest the stack goes: 15 pushed entries above the fixed bottom slot.
constexpr uint32_t kDeviceModeStackMax = 15;

// Stores (mode, modulation) and applies it; at the maximum depth only the
// overflow message is printed.
void PushDeviceMode(TavrelCalHandle handle, uint32_t mode, uint32_t modulation);

// Drops the top entry and re-applies the pair below it (mode 0, modulation 0
// at the bottom); on an empty stack only the underflow message is printed.
void PopDeviceMode(TavrelCalHandle handle);

uint32_t DeviceModeStackDepth();

// For tests only: the program never empties the stack.
void ResetDeviceModeStack();

#endif
