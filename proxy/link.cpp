#include "link.h"

#include <sys/resource.h>
#include <unistd.h>

#include "wire.h"

namespace ferry {

Link::~Link()
{
    // Derived links stop their threads before their members go away; this
    // catches any that did not.
    StopThreads();
}

bool Link::ReusableFor(const std::string &, uint32_t) const
{
    return false;
}

void Link::MarkFailed()
{
    // Live becomes Failed; a link already ending stays so.
    LinkState live = LinkState::Live;
    state_.compare_exchange_strong(live, LinkState::Failed);
}

void Link::EndThreads()
{
    state_.store(LinkState::Ending);
    callback_.store(nullptr);
    wake_.Raise();
    WakeThreads();
}

void Link::StopThreads()
{
    EndThreads();
    threads_.Join();
}

bool Link::DeliverDataMessage(const uint8_t *tlv, size_t carried, bool complete)
{
    if (!complete || carried < kTlvHeaderSize)
        return true;
    size_t n = GetU16(tlv + 2);
    if (n + kTlvHeaderSize > carried)
        return true;
    FerryCallback callback = callback_.load();
    if (callback == nullptr)
        return false;
    callback(0, tlv + kTlvHeaderSize, int32_t(n));
    return true;
}

void RaiseThreadPriority()
{
    // Failure (an unprivileged process) leaves the thread at normal priority.
    pid_t tid = ::gettid();
    int now = ::getpriority(PRIO_PROCESS, id_t(tid));
    [[maybe_unused]] int r = ::setpriority(PRIO_PROCESS, id_t(tid), now - 1);
}

} // namespace ferry
