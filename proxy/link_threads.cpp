#include "link_threads.h"

namespace ferry {

void LinkThreads::start(std::function<void()> body) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
  }
  threads_.emplace_back([this, body = std::move(body)] {
    body();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
    }
    ended_.notify_all();
  });
}

bool LinkThreads::contains_caller() const {
  for (const std::thread& t : threads_) {
    if (t.get_id() == std::this_thread::get_id()) return true;
  }
  return false;
}

void LinkThreads::join() {
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

bool LinkThreads::join_within(Millis limit) {
  bool ended;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    ended = ended_.wait_for(lock, limit, [this] { return running_ == 0; });
  }
  if (ended) {
    join();
    return true;
  }
  for (std::thread& t : threads_) t.detach();
  threads_.clear();
  return false;
}

}  // namespace ferry
