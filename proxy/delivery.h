// The host's side of the data messages: the registered callback, the
// messages kept while none is registered, and the count of those dropped.
// Only the delivering thread of the link (the TCP receive thread, the
// serial dispatcher) calls Deliver and Flush; the rest may come from any
// thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include <ferrylink.h>

namespace ferry {

// At most this many messages are kept, however small: a flood of empty
// ones must not grow the queue without end either.
inline constexpr size_t kEarlyMessages = 65536;

class Delivery {
public:
    void SetCallback(FerryCallback callback) { callback_.store(callback); }
    FerryCallback Callback() const { return callback_.load(); }

    // A whole data message. With a callback registered it goes to it, after
    // every message kept before it; otherwise it is kept, or dropped and
    // counted when the kept ones already fill the bound.
    void Deliver(const uint8_t *payload, size_t n);
    // Hands the kept messages to a callback registered since they came.
    void Flush();
    // A data message that could not be delivered at all.
    void CountDrop() { dropped_.fetch_add(1); }
    uint64_t Dropped() const { return dropped_.load(); }
    // At an open: nothing dropped yet.
    void ResetDropped() { dropped_.store(0); }
    // The link is gone: the kept messages will never find a taker.
    void DiscardKept();
    // The link-failure notification (message type 12, subtype 2) to
    // `callback`, unless it is null.
    static void NotifyLinkFailure(FerryCallback callback);

private:
    // Takes the oldest kept message into `message` while a callback is
    // registered; false when there is none or nobody to take it.
    bool NextKept(std::vector<uint8_t> &message, FerryCallback &callback);

    std::atomic<FerryCallback> callback_{nullptr};
    std::atomic<uint64_t> dropped_{0};
    std::mutex mutex_; // kept_, keptBytes_
    std::deque<std::vector<uint8_t>> kept_;
    size_t keptBytes_ = 0;
};

} // namespace ferry
