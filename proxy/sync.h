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
    void Put(std::vector<uint8_t> bytes, bool complete)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
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
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.clear();
        stored_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<uint8_t> bytes_;
    bool complete_ = false;
    bool stored_ = false;
};

// Bounded queue: the producer waits while it is full, so a fast line never
// grows memory without limit, and no item is overwritten before it is taken.
template <typename T> class BlockingQueue {
public:
    explicit BlockingQueue(size_t limit) : limit_(limit) {}

    bool Push(T &&item)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [this] { return closed_ || items_.size() < limit_; });
        if (closed_)
            return false;
        items_.push_back(std::move(item));
        lock.unlock();
        notEmpty_.notify_one();
        return true;
    }

    std::optional<T> Pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [this] { return closed_ || !items_.empty(); });
        if (closed_)
            return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        notFull_.notify_one();
        return item;
    }

    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable notFull_;
    std::condition_variable notEmpty_;
    std::deque<T> items_;
    size_t limit_;
    bool closed_ = false;
};

} // namespace ferry
