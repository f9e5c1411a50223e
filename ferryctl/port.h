// The link through ferrylink: opening it (with an honest reason when that
// fails), the remote calls with one clear line per failure, the library's
// time limits, and the signals that end a command, at once even while a
// call waits for the target.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ferryctl/args.h"
#include <ferrylink.h>

// The library keeps one link per process, so there is one Port at a time.
// It closes the link when it goes.
class Port {
public:
    Port() = default;
    ~Port() { Close(); }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    // Opens the link and registers `callback` at once (one that drops what
    // comes when none is given). kExitOk, or the status to end with once
    // the failure has been said on standard error.
    int Open(const LinkChoice &link, FerryCallback callback = nullptr);
    void Close();
    // Milliseconds the open with its handshake took.
    double OpenMillis() const { return openMillis_; }

    // Each gives kExitOk, or says what failed and gives the status to end
    // with: kExitShortReply for a short read reply, 128 + the signal when
    // one stopped the call, kExitFailed otherwise.
    int Read(uint32_t address, uint8_t *destination, uint32_t count);
    int Write(uint32_t address, uint32_t value);
    int Send(uint16_t type, const std::vector<uint8_t> &payload);

private:
    bool open_ = false;
    double openMillis_ = 0;
};

// Sets the library's reply, send and connect limits to `millis`, and its
// acknowledgement limit to no more than that; 0 leaves the library's own.
// False, said on standard error, when the library refuses them.
bool ApplyTimeout(uint32_t millis);

// The first SIGINT or SIGTERM is noted and ends the library call under way
// (FerryInterrupt); a second one ends the program at once. Handlers are
// installed for the object's life, which must span every library call;
// after it the signals act as they normally do.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard &) = delete;
    SignalGuard &operator=(const SignalGuard &) = delete;

private:
    int wake_[2] = {-1, -1}; // the handler's byte to the relay thread
    std::thread relay_;
};

// A temporary file for a second signal to remove before it ends the program
// at once (empty: none).
void RemoveOnAbort(const std::string &path);
int PendingSignal(); // 0 when none came
// "interrupted" said, and 128 + the signal.
int Interrupted(int signal);

// Runs `body` on a new thread with SIGINT and SIGTERM blocked, so that the
// signals reach the main thread, and every thread the library starts inside
// `body` inherits the same mask.
std::thread ThreadWithoutSignals(std::function<void()> body);
