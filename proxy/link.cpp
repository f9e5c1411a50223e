#include "link.h"

#include <sys/resource.h>
#include <unistd.h>

#include "wire.h"

namespace ferry {

Link::~Link() {
  // Derived links stop their threads before their members go away; this
  // catches any that did not.
  stop_threads();
}

bool Link::reusable_for(const std::string&, uint32_t) const { return false; }

void Link::clear_flags() {
  stop_.store(false);
  terminate_.store(false);
}

void Link::request_stop() {
  stop_.store(true);
  terminate_.store(true);
  callback_.store(nullptr);
  wake_.raise();
  wake_threads();
}

void Link::join_threads() {
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

bool Link::deliver_data_message(const uint8_t* tlv, size_t carried, bool complete) {
  if (!complete || carried < kTlvHeaderSize) return true;
  size_t n = get_u16(tlv + 2);
  if (n + kTlvHeaderSize > carried) return true;
  FerryCallback callback = callback_.load();
  if (callback == nullptr) return false;
  callback(0, tlv + kTlvHeaderSize, int32_t(n));
  return true;
}

void Link::spawn(std::function<void()> body) {
  {
    std::lock_guard<std::mutex> lock(running_mutex_);
    ++running_;
  }
  threads_.emplace_back([this, body = std::move(body)] {
    body();
    {
      std::lock_guard<std::mutex> lock(running_mutex_);
      --running_;
    }
    running_changed_.notify_all();
  });
}

bool Link::stop_threads_within(Millis limit) {
  request_stop();
  bool ended;
  {
    std::unique_lock<std::mutex> lock(running_mutex_);
    ended = running_changed_.wait_for(lock, limit, [this] { return running_ == 0; });
  }
  if (ended) {
    join_threads();
    return true;
  }
  for (std::thread& t : threads_) t.detach();
  threads_.clear();
  return false;
}

bool Link::on_own_thread() const {
  for (const std::thread& t : threads_) {
    if (t.get_id() == std::this_thread::get_id()) return true;
  }
  return false;
}

void raise_thread_priority() {
  // Failure (an unprivileged process) leaves the thread at normal priority.
  pid_t tid = ::gettid();
  int now = ::getpriority(PRIO_PROCESS, id_t(tid));
  [[maybe_unused]] int r = ::setpriority(PRIO_PROCESS, id_t(tid), now - 1);
}

}  // namespace ferry
