#include "link_threads.h"

namespace ferry {

void LinkThreads::Start(std::function<void()> body)
{
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

bool LinkThreads::ContainsCaller() const
{
    for (const std::thread &t : threads_) {
        if (t.get_id() == std::this_thread::get_id())
            return true;
    }
    return false;
}

void LinkThreads::Join()
{
    for (std::thread &t : threads_) {
        if (t.joinable())
            t.join();
    }
    threads_.clear();
}

bool LinkThreads::JoinWithin(Millis limit)
{
    bool ended;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ended = ended_.wait_for(lock, limit, [this] { return running_ == 0; });
    }
    if (ended) {
        Join();
        return true;
    }
    for (std::thread &t : threads_)
        t.detach();
    threads_.clear();
    return false;
}

} // namespace ferry
