#include "args.h"

#include <arpa/inet.h>

#include <cstdio>

#include "ferrylink.h"

namespace {

constexpr uint32_t kDefaultPort = 2800;
constexpr uint32_t kDefaultBaud = 115200;
constexpr uint64_t kHighestBasePort = 65525; // its notification port, + 10, must exist

// The rates the library can set up a line at.
constexpr uint32_t kBaudRates[] = {300,    600,    1200,   2400,   4800,   9600,    19200,   38400,   57600,
                                   115200, 230400, 460800, 500000, 921600, 1000000, 2000000, 3000000, 4000000};

bool KnownBaud(uint64_t baud)
{
    for (uint32_t known : kBaudRates) {
        if (known == baud)
            return true;
    }
    return false;
}

// Splits "NAME:DIGITS" at its last colon when digits follow it, so that a
// device name may hold colons of its own.
void SplitTrailingNumber(const std::string &text, std::string &name, std::string &number)
{
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        name = text.substr(0, colon);
        number = text.substr(colon + 1);
        if (number.empty())
            number = "-"; // "NAME:" is refused as a malformed number
        return;
    }
    name = text;
    number.clear();
}

bool ParseTcp(const std::string &rest, LinkChoice &link, std::string &message)
{
    std::string address;
    std::string port;
    SplitTrailingNumber(rest, address, port);
    // The library takes nothing but dotted-decimal IPv4 and looks up no names.
    in_addr parsed{};
    if (address.empty() || ::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        message = "tcp:" + rest + ": the address must be dotted-decimal IPv4 (like 127.0.0.1); names are not looked up";
        return false;
    }
    uint64_t number = kDefaultPort;
    if (!port.empty() && !ParseRanged(port, "the TCP port", 1, kHighestBasePort, number, message)) {
        message += " (its notification port, + 10, must stay below 65536)";
        return false;
    }
    link.transport = FERRYLINK_TRANSPORT_TCP;
    link.text = address;
    link.number = uint32_t(number);
    link.shown = "tcp:" + address + ":" + std::to_string(number);
    return true;
}

bool ParseSerial(const std::string &rest, LinkChoice &link, std::string &message)
{
    std::string device;
    std::string baud;
    SplitTrailingNumber(rest, device, baud);
    if (device.empty() || device.size() > FERRYLINK_TEXT_MAX) {
        message = "serial:" + rest + ": the device name must have 1 to 63 characters";
        return false;
    }
    uint64_t number = kDefaultBaud;
    if (!baud.empty() && (!ParseNumber(baud, number) || !KnownBaud(number))) {
        message = "serial:" + rest + ": the baud rate must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, " +
                  "38400, 57600, 115200, 230400, 460800, 500000, 921600, 1000000, 2000000, 3000000, 4000000";
        return false;
    }
    link.transport = FERRYLINK_TRANSPORT_SERIAL;
    link.text = device;
    link.number = uint32_t(number);
    link.shown = "serial:" + device + ":" + std::to_string(number);
    return true;
}

} // namespace

bool ParseNumber(const std::string &text, uint64_t &value)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    size_t start = hex ? 2 : 0;
    if (text.size() <= start || text.find_first_not_of(digits, start) != std::string::npos)
        return false;
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        uint64_t digit = c <= '9' ? uint64_t(c - '0') : uint64_t((c | 0x20) - 'a' + 10);
        uint64_t base = hex ? 16 : 10;
        if (result > (UINT64_MAX - digit) / base)
            return false;
        result = result * base + digit;
    }
    value = result;
    return true;
}

bool ParseRanged(const std::string &text, const char *what, uint64_t low, uint64_t high, uint64_t &value,
                 std::string &message)
{
    uint64_t parsed = 0;
    if (ParseNumber(text, parsed) && parsed >= low && parsed <= high) {
        value = parsed;
        return true;
    }
    message = std::string(what) + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) +
              " (decimal or 0x hex), not \"" + text + "\"";
    return false;
}

bool ParseLink(const std::string &text, LinkChoice &link, std::string &message)
{
    if (text.rfind("tcp:", 0) == 0)
        return ParseTcp(text.substr(4), link, message);
    if (text.rfind("serial:", 0) == 0)
        return ParseSerial(text.substr(7), link, message);
    message = "the link must be tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD], not \"" + text + "\"";
    return false;
}

std::string Hex32(uint64_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}
