// Byte-level I/O on sockets and serial lines: bounded waits with poll(),
// a buffered reader that a wake-up descriptor can interrupt, and a writer
// that gives up when the peer takes nothing for too long.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "unique_fd.h"

namespace ferry {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The time after which a wait gives up; unbounded when made by never().
class Deadline {
 public:
  static Deadline never() { return Deadline(); }
  static Deadline after(Millis span) { return at(Clock::now() + span); }
  static Deadline at(Clock::time_point when) {
    Deadline d;
    d.bounded_ = true;
    d.at_ = when;
    return d;
  }
  // Milliseconds left, rounded up, as poll() takes them (-1: no limit).
  int poll_timeout() const;

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
  void raise();
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};

// Blocks until the wake signal behind wake_fd is raised.
void wait_for_wake(int wake_fd);

// Reads a non-blocking descriptor through a buffer, so that many small
// packets cost one system call. A wake descriptor of -1 is never polled.
class FdReader {
 public:
  FdReader(int fd, int wake_fd);

  // Collects n bytes into dst (discards them when dst is null). Returns
  // Complete when all arrived; otherwise got tells how many did.
  ReadStatus read(uint8_t* dst, size_t n, const Deadline& deadline, size_t& got);
  // Takes whatever has arrived, at most n bytes, waiting for the first
  // one until the deadline. Complete means got > 0.
  ReadStatus read_some(uint8_t* dst, size_t n, const Deadline& deadline, size_t& got);

 private:
  ReadStatus fill(const Deadline& deadline);

  static constexpr size_t kBufferSize = 16384;
  int fd_;
  int wake_fd_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

struct WriteResult {
  size_t sent;
  bool failed;
};

// Writes all n bytes to a non-blocking descriptor. Stops early with
// failed = false when the peer takes nothing for `stall`, and with
// failed = true on an error. Sockets are written with MSG_NOSIGNAL so a
// dead peer never raises SIGPIPE.
WriteResult write_fully(int fd, const uint8_t* data, size_t n, bool is_socket, Millis stall);

bool set_nonblocking(int fd);

}  // namespace ferry
