// The threads of one link: started one by one, joined together, counted so
// that the end of the process can wait for them a bounded time.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "proxy/wire/fd_io.h"

namespace ferry {

class LinkThreads {
public:
    LinkThreads() = default;
    ~LinkThreads() { Join(); }
    LinkThreads(const LinkThreads &) = delete;
    LinkThreads &operator=(const LinkThreads &) = delete;

    // Runs body on a new thread of the link.
    void Start(std::function<void()> body);
    bool Empty() const { return threads_.empty(); }
    // True when called from one of these threads, which must not wait for
    // itself.
    bool ContainsCaller() const;
    // Waits for every thread to end; they must have been told to.
    void Join();
    // Waits at most `limit` for every thread to end, then joins them, or lets
    // go of them all if one is still running (a thread held up in the host's
    // callback must not hold up the end of the process). True when all ended.
    bool JoinWithin(Millis limit);

private:
    std::vector<std::thread> threads_; // changed only by the thread that owns the link
    std::mutex mutex_;
    std::condition_variable ended_;
    int running_ = 0;
};

// True on any thread a LinkThreads started: the callback's thread.
bool OnLinkThread();

} // namespace ferry
