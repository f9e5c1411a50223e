// The link's rules in one place: how a host writes the link it wants
// ("tcp:ADDRESS[:PORT]", "serial:DEVICE[:BAUD]") and what the proxy accepts
// of each part. tuneprobe, ferryctl, the calibration link and the proxy
// itself take them from here; the Python module follows the same rules, and
// tests/data/link_texts.tsv holds the texts both are checked against.
#ifndef LINKRULES_LINK_TEXT_H
#define LINKRULES_LINK_TEXT_H

#include <ferrylink.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace linkrules {

// The public header's numbers, for the hosts whose layer may not include it.
inline constexpr uint32_t kDefaultPort = FERRYLINK_DEFAULT_PORT;
inline constexpr uint32_t kMaxBasePort = FERRYLINK_MAX_BASE_PORT;
inline constexpr uint32_t kDefaultBaud = FERRYLINK_DEFAULT_BAUD;
inline constexpr std::size_t kMaxDeviceName = FERRYLINK_TEXT_MAX;

struct LinkText {
    uint8_t transport = 0; // FERRYLINK_TRANSPORT_TCP or _SERIAL: the scheme, set even when the rest is wrong
    std::string text;      // the address, or the serial device
    uint32_t number = 0;   // the TCP base port, or the baud rate
    bool bare = false;     // "tcp" or "serial" alone: the caller picks a default link
};

// Four decimal numbers from 0 to 255 joined by dots and nothing else: no
// names, no shortened forms ("127.1"), no leading zeros (which some readers
// take for octal), no hex, nothing after.
bool DottedDecimal(const std::string &address);
// A TCP base port whose notification port (base + 10) exists too.
bool UsableBasePort(uint64_t port);
// A rate the proxy can set a serial line to.
bool SupportedBaud(uint64_t baud);
// The supported rates, lowest first.
const uint32_t *BaudRates(std::size_t &count);
// "300, 600, ..., 4000000", for messages.
std::string BaudRateList();

// Parses a link text. Numbers are decimal digits; a missing port or baud
// rate is the default (kDefaultPort, kDefaultBaud); a device name may hold
// colons, only a trailing ":DIGITS" is the baud rate, and it has 1 to
// kMaxDeviceName bytes. False with what is wrong in one line, for the
// caller to put after the text (and where it came from).
bool ParseLinkText(const std::string &text, LinkText &link, std::string &message);

// "tcp:ADDRESS:PORT" or "serial:DEVICE:BAUD", every part given.
std::string Describe(const LinkText &link);

} // namespace linkrules

#endif
