// The proxy's time limits, process-wide. The library never changes them;
// tests that link the proxy statically shorten them so that a fault shows
// in milliseconds instead of seconds.
#pragma once

#include <chrono>

namespace ferry {

using Millis = std::chrono::milliseconds;

struct Limits {
    Millis reply{10000};     // a whole reply, header and body together
    Millis sendStall{10000}; // a send that makes no progress
    Millis connect{10000};   // each TCP connection
    Millis openAck{5000};    // the serial device-open acknowledgement
    Millis serialQuiet{500}; // no byte for this long ends a serial packet
};

// The limits in force. Read once per wait, so a change applies to the
// waits that start after it.
Limits CurrentLimits();
// For tests only: replaces the limits (Limits{} restores the defaults).
void SetLimits(const Limits &limits);

} // namespace ferry
