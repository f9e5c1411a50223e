#include "proxy/delivery.h"

#include "proxy/wire/wire.h"

namespace ferry {

bool Delivery::NextKept(std::vector<uint8_t> &message, FerryCallback &callback)
{
    std::lock_guard<std::mutex> lock(mutex_);
    callback = callback_.load();
    if (callback == nullptr || kept_.empty())
        return false;
    message = std::move(kept_.front());
    kept_.pop_front();
    keptBytes_ -= message.size();
    return true;
}

void Delivery::Flush()
{
    std::vector<uint8_t> message;
    FerryCallback callback = nullptr;
    while (NextKept(message, callback))
        callback(0, message.data(), int32_t(message.size()));
}

void Delivery::Deliver(const uint8_t *payload, size_t n)
{
    Flush();
    FerryCallback callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        callback = callback_.load();
        // Kept ones are older: while any is left (a callback unregistered
        // during the flush), this one queues behind them.
        if (callback == nullptr || !kept_.empty()) {
            if (n > FERRYLINK_EARLY_LIMIT - keptBytes_ || kept_.size() >= kEarlyMessages) {
                dropped_.fetch_add(1);
                return;
            }
            kept_.emplace_back(payload, payload + n);
            keptBytes_ += n;
            return;
        }
    }
    callback(0, payload, int32_t(n));
}

void Delivery::DiscardKept()
{
    std::lock_guard<std::mutex> lock(mutex_);
    dropped_.fetch_add(kept_.size());
    kept_.clear();
    keptBytes_ = 0;
}

void Delivery::NotifyLinkFailure(FerryCallback callback)
{
    if (callback == nullptr)
        return;
    uint8_t payload[4];
    PutU16(payload, 12);
    PutU16(payload + 2, 2);
    callback(0, payload, 4);
}

} // namespace ferry
