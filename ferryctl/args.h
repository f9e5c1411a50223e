// What the command line asks for, and the parsing of its numbers and link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Exit statuses; a signal ends a command with 128 + its number.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;     // the link, the target or a file failed
constexpr int kExitShortReply = 2; // a remote read came back with fewer bytes than asked
constexpr int kExitDropped = 3;    // monitor: data messages were lost on the way
constexpr int kExitUsage = 64;

constexpr uint64_t kAddressSpace = uint64_t(1) << 32;

struct LinkChoice {
    uint8_t transport = 0; // FERRYLINK_TRANSPORT_TCP or _SERIAL
    std::string text;      // the IPv4 address or the serial device
    uint32_t number = 0;   // the TCP base port or the baud rate
    std::string shown;     // as messages show it: tcp:127.0.0.1:2800
};

struct Invocation {
    LinkChoice link;
    bool quiet = false;
    bool json = false;
    std::vector<std::string> args; // what follows the command's name
    uint64_t pings = 10;
    std::string outFile; // read -o
    bool verify = false;
    uint64_t messages = 0;       // monitor --count; 0: no limit
    uint64_t durationMillis = 0; // monitor --duration; 0: none
    uint32_t timeoutMillis = 0;  // --timeout for the library's limits; 0: its own
};

// A whole number in decimal or with 0x in hex within [low, high]
// (cmdline/numbers.h); otherwise a usage message naming what.
bool ParseRanged(const std::string &text, const char *what, uint64_t low, uint64_t high, uint64_t &value,
                 std::string &message);
// Seconds as a decimal with at most three places ("0.5", "10"), in
// milliseconds within [lowMillis, highMillis]; otherwise a usage message.
bool ParseSeconds(const std::string &text, const char *what, uint64_t lowMillis, uint64_t highMillis, uint64_t &millis,
                  std::string &message);
// "0.5", "10": milliseconds as seconds, without trailing zeros.
std::string SecondsText(uint64_t millis);
// tcp:ADDRESS[:PORT] or serial:DEVICE[:BAUD], by the link's rules
// (linkrules/link_text.h); false with what is wrong, for the caller to put
// after the text and where it came from.
bool ParseLink(const std::string &text, LinkChoice &link, std::string &message);
// 0x0000abcd
std::string Hex32(uint64_t value);
