// Byte-level I/O on sockets and serial lines: bounded waits with poll(),
// a buffered reader that a wake-up descriptor can interrupt, and a writer
// that gives up when the peer takes nothing for too long.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "proxy/wire/unique_fd.h"

namespace ferry {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The time after which a wait gives up; unbounded when made by never().
class Deadline {
public:
    static Deadline Never() { return Deadline(); }
    static Deadline After(Millis span) { return At(Clock::now() + span); }
    static Deadline At(Clock::time_point when)
    {
        Deadline d;
        d.bounded_ = true;
        d.at_ = when;
        return d;
    }
    // Milliseconds left, rounded up, as poll() takes them (-1: no limit).
    int PollTimeout() const;

private:
    bool bounded_ = false;
    Clock::time_point at_{};
};

enum class ReadStatus { Complete, TimedOut, Closed, Failed, Woken };

// Lets one thread wake others that wait on a descriptor. Once raised it
// stays raised, so a late waiter returns at once too.
class WakeSignal {
public:
    WakeSignal();
    void Raise();
    // Lowers it again, for a signal that is raised more than once.
    void Clear();
    int Fd() const { return fd_.Get(); }
    // False when no descriptor could be had: nothing could ever be woken.
    bool Valid() const { return fd_.Valid(); }

private:
    UniqueFd fd_;
};

// Blocks until the wake signal behind wakeFd is raised.
void WaitForWake(int wakeFd);

// Reads a non-blocking descriptor through a buffer, so that many small
// packets cost one system call. A wake descriptor of -1 is never polled.
class FdReader {
public:
    FdReader(int fd, int wakeFd);

    // Collects n bytes into dst (discards them when dst is null). Returns
    // Complete when all arrived; otherwise got tells how many did.
    ReadStatus Read(uint8_t *dst, size_t n, const Deadline &deadline, size_t &got);
    // Takes whatever has arrived, at most n bytes, waiting for the first
    // one until the deadline. Complete means got > 0.
    ReadStatus ReadSome(uint8_t *dst, size_t n, const Deadline &deadline, size_t &got);
    // True when bytes wait in the buffer, so that a read needs no wait.
    bool Buffered() const { return begin_ != end_; }
    // Another wake descriptor (-1: none) for the reads that follow, for a
    // reader whose reads are made on behalf of different callers.
    void SetWakeFd(int wakeFd) { wakeFd_ = wakeFd; }

private:
    ReadStatus Fill(const Deadline &deadline);

    static constexpr size_t kBufferSize = 16384;
    int fd_;
    int wakeFd_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

struct WriteResult {
    size_t sent;
    bool failed;
    bool woken = false;
};

// Writes all n bytes to a non-blocking descriptor. Stops early with
// failed = false when the peer takes nothing for `stall`, with
// failed = true on an error, and with woken = true when wakeFd (unless -1)
// becomes readable while it waits. Sockets are written with MSG_NOSIGNAL
// so a dead peer never raises SIGPIPE.
WriteResult WriteFully(int fd, const uint8_t *data, size_t n, bool isSocket, Millis stall, int wakeFd = -1);

bool SetNonblocking(int fd);

} // namespace ferry
