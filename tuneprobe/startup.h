// Start-up and shutdown of tuneprobe: the interface dialogue, the connection
// attempts and the orderly close.
#ifndef TUNEPROBE_STARTUP_H
#define TUNEPROBE_STARTUP_H

#include "calapi/calapi.h"
#include "linkrules/link_text.h"

#include <cstddef>
#include <string>

// The Ethernet proxy default, a fixed private address; the simulated library
// never connects to it.
extern const char kDefaultProxyAddress[];
constexpr uint32_t kDefaultProxyPort = linkrules::kDefaultPort;
constexpr uint32_t kDefaultBaudRate = linkrules::kDefaultBaud;

// The IP address field holds 15 characters and its NUL; a serial port name
// may have 63, what the proxy's open record takes (long /dev/serial/by-id/
// names fit).
constexpr std::size_t kAddressFieldLength = 15;
constexpr std::size_t kSerialNameFieldLength = 63;

// The TCP ports an Ethernet proxy interface can be given.
constexpr uint32_t kMinPort = 1;
constexpr uint32_t kMaxPort = 65535;
extern const char kDefaultSerialPort[];

// What the start-up came to: the handle of a connected device, or no handle
// and the status the program leaves with: 0 when the operator typed -1, 1
// when the interface could not be opened or connected.
struct StartUp {
    TavrelCalHandle handle;
    int exitStatus;
    std::string reason; // why it failed, in a sentence
};

// Runs the interface dialogue, opens the interface and connects the device.
StartUp SelectInterface();

// Opens the interface the dialogue's answers describe and connects the
// device; on failure the error lines and the exit key, as after the dialogue.
StartUp OpenInterface(uint32_t type, const std::string &address, uint32_t number);

// Up to ten ConnectDevice attempts one second apart (or as many as set);
// 0 when connected.
int ConnectWithRetry(TavrelCalHandle handle);
void SetConnectAttempts(uint32_t attempts);

// An interrupt during the connection attempts closes the interface opened
// for them (nothing when none is being opened).
void CloseInterfaceBeingOpened();

// Unattended runs: a failed start exits at once, with no "Press ENTER".
void SkipKeyAfterFailedStart();

// "Closing application", disconnect and close; the disconnect's error text,
// or null (the console shows none: it is closing).
const char *ShutDown(TavrelCalHandle handle);

#endif
