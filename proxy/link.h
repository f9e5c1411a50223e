// A live link to the target: one transport (TCP or serial), the threads
// that read from it, and the flags they share with the callers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fd_io.h"
#include "ferrylink.h"

namespace ferry {

// What a reply read gives: the reply's size or a negative code, how many
// bytes of it were placed in the caller's buffer, and whether the link is
// still in step. A reply that did not come whole in time may still come,
// or come on, and would then be taken for the answer to a later request:
// such a read leaves the link out of step.
struct Reply {
  int32_t code;
  size_t carried;
  bool in_step;
};

inline constexpr int32_t kNotConnected = -1;
inline constexpr int32_t kReceiveFailed = -4;
inline constexpr int32_t kSendFailed = -5;
inline constexpr int32_t kBadArgument = -6;

class Link {
 public:
  explicit Link(std::atomic<FerryCallback>& callback) : callback_(callback) {}
  virtual ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Puts a whole packet on the link: the bytes sent, or 0 or a negative
  // code when nothing could be sent.
  virtual int32_t send_packet(const uint8_t* data, size_t n) = 0;
  // Reads the next reply into buffer, from its command type on, within the
  // reply limit for header and body together. A stopped link reads nothing.
  virtual Reply read_reply(uint8_t* buffer, size_t capacity) = 0;
  // Forgets a reply that came before the request now being sent, so that
  // it cannot be taken for that request's answer.
  virtual void discard_stale_reply() {}
  // Starts the receive threads unless they already exist.
  virtual void start_threads() = 0;
  // Waits for the target's acknowledgement of the device open; reply_area
  // may be used to read it.
  virtual bool await_open_ack(uint8_t* reply_area, size_t capacity) = 0;
  // Ends the connections as the peer sees them; descriptors are closed
  // only once the threads are gone.
  virtual void close_connections() {}
  // True when this link is a live one to the peer that text and number
  // name, so that an open can keep it.
  virtual bool reusable_for(const std::string& text, uint32_t number) const;

  // Raised by a close, a failed send or a failed handshake: the threads end
  // after their current packet.
  void raise_stop() { stop_.store(true); }
  void clear_flags();
  // Asks every thread of the link to end and wakes it, without waiting.
  void request_stop();
  // Waits for the threads to end; request_stop must come first.
  void join_threads();
  void stop_threads() {
    request_stop();
    join_threads();
  }
  // Waits at most `limit` for the threads to end, then joins those that
  // did and lets go of the rest. For the end of the process only, where a
  // thread stuck in the host's callback must not hold up the exit. True
  // when all ended.
  bool stop_threads_within(Millis limit);
  bool on_own_thread() const;

 protected:
  virtual void wake_threads() {}
  // Hands a data message (a TLV packet of `carried` bytes, from its command
  // type on) to the registered callback. A message that did not arrive
  // whole, or that claims more payload than it carried, is dropped rather
  // than delivered cut short. False only when a whole message finds no
  // callback registered.
  bool deliver_data_message(const uint8_t* tlv, size_t carried, bool complete);
  // Starts a thread of the link running `body`.
  void spawn(std::function<void()> body);

  std::atomic<bool> stop_{false};
  std::atomic<bool> terminate_{false};
  std::atomic<FerryCallback>& callback_;
  WakeSignal wake_;
  std::vector<std::thread> threads_;

 private:
  std::mutex running_mutex_;
  std::condition_variable running_changed_;
  int running_ = 0;
};

// Raises the calling thread's priority above normal where permitted.
void raise_thread_priority();

}  // namespace ferry
