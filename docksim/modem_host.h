// docksim --modem: the simulated modem on the target side of the
// calibration link. It joins the host's request fragments, calls the
// modem model, and answers with data messages (calwire/codec.h).
#ifndef DOCKSIM_MODEM_HOST_H
#define DOCKSIM_MODEM_HOST_H

#include "calapi/calapi.h"
#include "calwire/codec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace docksim {

// How the modem may misbehave from one request on, for the host's failure
// paths: fall silent (answer nothing from it on) or end the link at it.
enum class ModemFault { None, Silent, Drop };

struct ModemSettings {
    uint16_t version = calwire::kVersion; // the link version it speaks
    ModemFault fault = ModemFault::None;
    std::string faultAt;    // operation name; the fault strikes at its request
    unsigned faultSkip = 0; // ... after this many of them
};

// Parses OPERATION[/SKIP]; false for an unknown operation or a bad count.
bool ParseFaultAt(const std::string &text, ModemSettings &settings);

class ModemHost {
public:
    explicit ModemHost(const ModemSettings &settings) : settings_(settings) {}

    struct Reply {
        std::vector<std::vector<uint8_t>> messages; // data messages to send back
        bool drop = false;                          // end the link now
        std::string log;                            // one line for -v, or empty
    };
    // One data message from the host.
    Reply Take(const std::vector<uint8_t> &message);

private:
    std::vector<uint8_t> Answer(const calwire::Header &header, std::vector<uint8_t> &body, std::string &note);

    ModemSettings settings_;
    calwire::Assembler assembler_;
    TavrelCalHandle handle_ = nullptr;
    unsigned faultSeen_ = 0;
    bool silent_ = false;
};

} // namespace docksim

#endif
