// Hand-over between the serial reader, the dispatcher and the callers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace ferry {

// Auto-reset event: a set that nobody waits for stays set until the next
// wait takes it.
class Event {
public:
    void Set()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }
    bool WaitFor(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [this] { return signalled_; }))
            return false;
        signalled_ = false;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// The stored reply to a remote read: put by the dispatcher, taken once by
// the caller that waits for it. Taking it leaves nothing behind, so a wait
// that timed out cannot make a later one return at once.
class ReplySlot {
public:
    // readAt: when the reply's last byte was read off the line. A reply read
    // before the last Clear is stale and is not stored.
    void Put(std::vector<uint8_t> bytes, bool complete, std::chrono::steady_clock::time_point readAt)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (readAt < clearedAt_)
                return;
            bytes_ = std::move(bytes);
            complete_ = complete;
            stored_ = true;
        }
        cv_.notify_one();
    }
    // False when no reply was stored within the timeout.
    bool Take(std::chrono::milliseconds timeout, std::vector<uint8_t> &bytes, bool &complete)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [this] { return stored_; }))
            return false;
        bytes = std::move(bytes_);
        complete = complete_;
        bytes_.clear();
        stored_ = false;
        return true;
    }
    // Forgets the stored reply and any reply read until now that is still
    // on its way to Put.
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.clear();
        stored_ = false;
        clearedAt_ = std::chrono::steady_clock::now();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<uint8_t> bytes_;
    bool complete_ = false;
    bool stored_ = false;
    std::chrono::steady_clock::time_point clearedAt_{};
};

// Bounded queue between a producer that must never wait (the serial reader,
// whose sense of a quiet line depends on reading promptly) and a consumer
// that may be slow (the dispatcher, held up in the host's callback). Each
// item has a weight (its size); a push that would take the waiting weight
// past the limit is refused, never overwrites, and never blocks.
enum class PushResult { Pushed, Full, Closed };

template <typename T> class BlockingQueue {
public:
    explicit BlockingQueue(size_t limit) : limit_(limit) {}

    PushResult Push(T &&item, size_t weight)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_)
            return PushResult::Closed;
        if (weight > limit_ - waiting_)
            return PushResult::Full;
        waiting_ += weight;
        items_.push_back({std::move(item), weight});
        lock.unlock();
        notEmpty_.notify_one();
        return PushResult::Pushed;
    }

    std::optional<T> Pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [this] { return closed_ || !items_.empty(); });
        if (closed_)
            return std::nullopt;
        Weighed front = std::move(items_.front());
        items_.pop_front();
        waiting_ -= front.weight;
        return std::move(front.item);
    }

    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        notEmpty_.notify_all();
    }

private:
    struct Weighed {
        T item;
        size_t weight;
    };

    std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::deque<Weighed> items_;
    size_t limit_;
    size_t waiting_ = 0;
    bool closed_ = false;
};

} // namespace ferry
