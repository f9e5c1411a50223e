// Start-up and shutdown of tuneprobe: the interface dialogue, the connection
// attempts and the orderly close.
#ifndef TUNEPROBE_STARTUP_H
#define TUNEPROBE_STARTUP_H

#include "calapi/calapi.h"

#include <cstddef>
#include <string>

// The Ethernet proxy default, a fixed private address; the simulated library
// never connects to it.
extern const char kDefaultProxyAddress[];
constexpr uint32_t kDefaultProxyPort = 2800;
constexpr uint32_t kDefaultBaudRate = 115200;

// The address or port name field holds 15 characters and its NUL.
constexpr std::size_t kAddressFieldLength = 15;
constexpr std::size_t kSerialNameLength = 63;
constexpr uint32_t kMinTcpPort = 1;
constexpr uint32_t kMaxTcpPort = 65535;
extern const char kDefaultSerialPort[];

// What the start-up came to: the handle of a connected device, or no handle
// and the status the program leaves with: 0 when the operator typed -1, 1
// when the interface could not be opened or connected.
struct StartUp {
    TavrelCalHandle handle;
    int exitStatus;
};

// Runs the interface dialogue, opens the interface and connects the device.
StartUp SelectInterface();

// Opens the interface the dialogue's answers describe and connects the
// device; on failure the error lines and the exit key, as after the dialogue.
StartUp OpenInterface(uint32_t type, const std::string &address, uint32_t number);

// Up to ten ConnectDevice attempts one second apart; 0 when connected.
int ConnectWithRetry(TavrelCalHandle handle);

// "Closing application", disconnect (result ignored) and close.
void ShutDown(TavrelCalHandle handle);

#endif
