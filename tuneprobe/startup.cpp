#include "tuneprobe/startup.h"

#include "console/console_io.h"
#include "console/clock.h"
#include "console/run_events.h"

#include <string>

const char kDefaultProxyAddress[] = "192.168.10.1";
const char kDefaultSerialPort[] = "COM1";

namespace {

constexpr uint32_t kExitChoice = 4294967295u; // -1 typed at an unsigned question
constexpr uint32_t kRetryPauseMs = 1000;

// The interface opened while its device is being connected, for an interrupt
// to close.
TavrelCalHandle g_opening = nullptr;
bool g_waitForKey = true;
uint32_t g_connectAttempts = 10;
std::string g_lastConnectError; // the last failed attempt's text

// Asked until it names a TCP port: -1 or 70000 would reach the library as
// some other number.
uint32_t AskPort()
{
    for (;;) {
        uint32_t port = con::AskUnsigned("  Port number ? ");
        if (port >= kMinPort && port <= kMaxPort)
            return port;
        con::Print("Port numbers run from %u to %u. Please try again.\n", kMinPort, kMaxPort);
    }
}

} // namespace

int ConnectWithRetry(TavrelCalHandle handle)
{
    if (handle == nullptr)
        return -1;
    for (uint32_t attempt = 0; attempt < g_connectAttempts; ++attempt) {
        con::Print("\nTrying to open handle to Device...");
        const char *error = ConnectDevice(handle);
        if (error == nullptr) {
            con::Print("Success!!\n");
            return 0;
        }
        // Recorded before the pause: an interrupt during it ends the program
        // at the print that follows. A failed attempt is tried again, so it
        // is no error of the run by itself.
        results::ExpectedLibraryError(error);
        g_lastConnectError = error;
        SleepMs(kRetryPauseMs);
        con::Print("\nFailed because: %s\n", error);
    }
    return -1;
}

StartUp SelectInterface()
{
    uint32_t type = 0;
    uint32_t number = 0;
    std::string address;

    for (;;) {
        con::Print("\n\nSelect Interface Type\n");
        con::Print("\n     0. Local");
        con::Print("\n     1. Ethernet proxy connection to target");
        con::Print("\n     2. Serial proxy connection to target");
        con::Print("\n");
        con::Print("\n    -1. Exit");
        type = con::AskUnsigned("\n\nINTERFACE TYPE : ");

        if (type == 0) {
            address.clear();
            number = 0;
            break;
        }
        if (type == 1) {
            con::Print("Enter . for default values (%s:%u)\n", kDefaultProxyAddress, kDefaultProxyPort);
            address = con::AskText(kAddressFieldLength, "  IP Address  ? ");
            if (address[0] == '.') {
                address = kDefaultProxyAddress;
                number = kDefaultProxyPort;
            } else {
                number = AskPort();
            }
            con::Print("   Using %s:%u\n", address.c_str(), number);
            break;
        }
        if (type == 2) {
            con::Print("Enter . for default values (COM1:115200)\n");
            address = con::AskText(kSerialNameFieldLength, "  Serial port name ? ");
            if (address[0] == '.') {
                address = "COM1";
                number = kDefaultBaudRate;
            } else {
                number = con::AskUnsigned("  Baud rate        ? ");
            }
            con::Print("   Using %s:%u\n", address.c_str(), number);
            break;
        }
        if (type == kExitChoice)
            return {nullptr, 0, "No interface was chosen"};
        con::Print("\nInvalid interface type. Please try again ...");
    }

    return OpenInterface(type, address, number);
}

StartUp OpenInterface(uint32_t type, const std::string &address, uint32_t number)
{
    TavrelCalHandle handle = GetCalInterface(type, address.c_str(), number);
    g_opening = handle;
    int connected = ConnectWithRetry(handle);
    g_opening = nullptr;
    if (connected != 0) {
        std::string reason = handle == nullptr
                                 ? "The interface could not be opened (GetCalInterface gave no handle)"
                                 : "The device did not connect in " + std::to_string(g_connectAttempts) +
                                       (g_connectAttempts == 1 ? " attempt: " : " attempts: ") + g_lastConnectError;
        if (type == 0)
            con::Print("\nERROR: Unable to open a Local Cal API interface\n\n");
        else
            con::Print("\nERROR: Unable to open a Host Proxy Cal API interface\n\n");
        if (g_waitForKey) {
            con::Print("Press ENTER to exit ...");
            con::WaitForKey();
        }
        return {nullptr, 1, reason};
    }
    return {handle, 0, ""};
}

void CloseInterfaceBeingOpened()
{
    if (g_opening != nullptr)
        CloseCalInterface();
    g_opening = nullptr;
}

void SetConnectAttempts(uint32_t attempts)
{
    g_connectAttempts = attempts;
}

void SkipKeyAfterFailedStart()
{
    g_waitForKey = false;
}

const char *ShutDown(TavrelCalHandle handle)
{
    con::Print("\nClosing application...\n");
    const char *error = DisconnectDevice(handle);
    CloseCalInterface();
    con::Flush();
    return error;
}
