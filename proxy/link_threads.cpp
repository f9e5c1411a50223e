#include "proxy/link_threads.h"

#include <signal.h>

namespace ferry {
namespace {

// Blocks every signal on the calling thread while it lives, so that the
// threads it starts are born with all signals blocked.
class AllSignalsBlocked {
public:
    AllSignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked &) = delete;
    AllSignalsBlocked &operator=(const AllSignalsBlocked &) = delete;

private:
    sigset_t previous_;
};

// Set once on each thread a LinkThreads starts. Kept per thread, so that
// asking never reads the list of threads while an open adds to it.
thread_local const LinkThreads *t_owner = nullptr;

} // namespace

void LinkThreads::Start(std::function<void()> body)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }
    // The host's signals are the host's: a handler of its own must run on
    // one of its threads, where its blocking calls get EINTR, never on
    // the link's.
    AllSignalsBlocked blocked;
    threads_.emplace_back([this, body = std::move(body)] {
        t_owner = this;
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
    return t_owner == this;
}

bool OnLinkThread()
{
    return t_owner != nullptr;
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
