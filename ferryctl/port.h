// The link through ferrylink: opening it (with an honest reason when that
// fails), the remote calls with one clear line per failure, the data
// messages the callback hands to the main thread, and the signals that end
// a command between two calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "args.h"

// The library keeps one link per process, so there is one Port at a time.
// It closes the link when it goes.
class Port {
public:
    Port() = default;
    ~Port() { Close(); }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    // Opens the link and registers the callback at once; on failure says
    // why on standard error.
    bool Open(const LinkChoice &link);
    void Close();
    // Milliseconds the open with its handshake took.
    double OpenMillis() const { return openMillis_; }

    // Each returns true on success, or says what failed and returns false.
    bool Read(uint32_t address, uint8_t *destination, uint32_t count);
    bool Write(uint32_t address, uint32_t value);
    bool Send(uint16_t type, const std::vector<uint8_t> &payload);

private:
    bool open_ = false;
    double openMillis_ = 0;
};

// SIGINT and SIGTERM are noted, to be acted on between library calls.
void InstallSignalHandlers();
// A temporary file for a second signal to remove before it ends the program
// at once (empty: none).
void RemoveOnAbort(const std::string &path);
int PendingSignal(); // 0 when none came

// A data message as the callback copied it.
struct Message {
    std::chrono::system_clock::time_point at;
    std::vector<uint8_t> payload;
};

// Whether the callback keeps what arrives (only monitor wants it).
void KeepMessages(bool keep);
// The next message kept, waiting until `until` at most, or less when a
// signal comes; false if none.
bool NextMessage(std::chrono::steady_clock::time_point until, Message &message);
// Messages thrown away because too many waited to be printed.
uint64_t DroppedMessages();
