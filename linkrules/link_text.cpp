#include "linkrules/link_text.h"

namespace linkrules {

namespace {

// The rates the proxy's serial port knows a speed code for.
constexpr uint32_t kBaudRates[] = {300,    600,    1200,   2400,   4800,   9600,    19200,   38400,   57600,
                                   115200, 230400, 460800, 500000, 921600, 1000000, 2000000, 3000000, 4000000};

// One to ten decimal digits (no sign, no blanks, no hex) into value; more
// digits than that are no port or rate, and would overflow nothing either.
bool Digits(const std::string &text, uint64_t &value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = 0;
    for (char c : text)
        value = value * 10 + uint64_t(c - '0');
    return true;
}

bool ParseTcp(const std::string &rest, LinkText &link, std::string &message)
{
    std::size_t colon = rest.find(':');
    std::string address = rest.substr(0, colon);
    if (address.empty()) {
        message = "the address is missing";
        return false;
    }
    if (!DottedDecimal(address)) {
        message = "the address must be an IPv4 address in dotted-decimal form, like 127.0.0.1 (names are not looked "
                  "up)";
        return false;
    }
    uint64_t port = kDefaultPort;
    if (colon != std::string::npos && (!Digits(rest.substr(colon + 1), port) || !UsableBasePort(port))) {
        message = "the TCP port must be a number from 1 to " + std::to_string(kMaxBasePort) +
                  " (data messages come on the port + " + std::to_string(FERRYLINK_NOTIFY_OFFSET) + ")";
        return false;
    }
    link.text = address;
    link.number = uint32_t(port);
    return true;
}

bool ParseSerial(const std::string &rest, LinkText &link, std::string &message)
{
    std::string device = rest;
    uint64_t baud = kDefaultBaud;
    // Only a trailing ":DIGITS" (or a bare trailing colon) is the rate, so
    // that names such as /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0
    // stay whole.
    std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        device = rest.substr(0, colon);
        if (!Digits(rest.substr(colon + 1), baud) || !SupportedBaud(baud)) {
            message = "the baud rate must be one of " + BaudRateList();
            return false;
        }
    }
    if (device.empty()) {
        message = "the serial device is missing";
        return false;
    }
    if (device.find('\0') != std::string::npos) {
        message = "the serial device name holds a null character";
        return false;
    }
    if (device.size() > kMaxDeviceName) {
        message = "the serial device name is longer than " + std::to_string(kMaxDeviceName) + " bytes";
        return false;
    }
    link.text = device;
    link.number = uint32_t(baud);
    return true;
}

} // namespace

bool DottedDecimal(const std::string &address)
{
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = part < 3 ? address.find('.', start) : address.size();
        if (end == std::string::npos)
            return false;
        std::string octet = address.substr(start, end - start);
        uint64_t value = 0;
        if (octet.size() > 3 || !Digits(octet, value) || value > 255 || (octet.size() > 1 && octet[0] == '0'))
            return false;
        start = end + 1;
    }
    return true;
}

bool UsableBasePort(uint64_t port)
{
    return port >= 1 && port <= kMaxBasePort;
}

bool SupportedBaud(uint64_t baud)
{
    for (uint32_t rate : kBaudRates) {
        if (rate == baud)
            return true;
    }
    return false;
}

const uint32_t *BaudRates(std::size_t &count)
{
    count = sizeof kBaudRates / sizeof kBaudRates[0];
    return kBaudRates;
}

std::string BaudRateList()
{
    std::string list;
    for (uint32_t rate : kBaudRates)
        list += (list.empty() ? "" : ", ") + std::to_string(rate);
    return list;
}

bool ParseLinkText(const std::string &text, LinkText &link, std::string &message)
{
    link = LinkText{};
    if (text == "tcp" || text == "serial") {
        link.transport = text == "tcp" ? FERRYLINK_TRANSPORT_TCP : FERRYLINK_TRANSPORT_SERIAL;
        link.bare = true;
        return true;
    }
    if (text.rfind("tcp:", 0) == 0) {
        link.transport = FERRYLINK_TRANSPORT_TCP;
        return ParseTcp(text.substr(4), link, message);
    }
    if (text.rfind("serial:", 0) == 0) {
        link.transport = FERRYLINK_TRANSPORT_SERIAL;
        return ParseSerial(text.substr(7), link, message);
    }
    message = "expected tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD]";
    return false;
}

std::string Describe(const LinkText &link)
{
    return std::string(link.transport == FERRYLINK_TRANSPORT_TCP ? "tcp:" : "serial:") + link.text + ":" +
           std::to_string(link.number);
}

} // namespace linkrules
