#include "proxy/link.h"

#include <sys/resource.h>
#include <unistd.h>

#include "proxy/library.h"
#include "proxy/wire/wire.h"

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

Sent Link::SendPacket(const uint8_t *data, size_t n)
{
    std::lock_guard<std::mutex> lock(send_);
    return Write(data, n);
}

void Link::MarkFailed()
{
    // Live becomes Failed; a link already ending stays so.
    LinkState live = LinkState::Live;
    state_.compare_exchange_strong(live, LinkState::Failed);
    // Seen at once by FerryLinkState, before any call notices.
    int32_t open = FERRYLINK_STATE_OPEN;
    lib_.state.compare_exchange_strong(open, FERRYLINK_STATE_FAILED);
}

void Link::EndThreads()
{
    state_.store(LinkState::Ending);
    wake_.Raise();
    WakeThreads();
}

void Link::StopThreads()
{
    EndThreads();
    threads_.Join();
}

void Link::DeliverDataMessage(const uint8_t *tlv, size_t carried, bool complete)
{
    if (!complete) {
        // Longer than FERRYLINK_MAX_MESSAGE: what arrived was read through.
        lib_.delivery.CountDrop();
        return;
    }
    if (carried < kTlvHeaderSize)
        return;
    size_t n = GetU16(tlv + 2);
    if (n + kTlvHeaderSize > carried)
        return;
    lib_.delivery.Deliver(tlv + kTlvHeaderSize, n);
}

void RaiseThreadPriority()
{
    // Failure (an unprivileged process) leaves the thread at normal priority.
    pid_t tid = ::gettid();
    int now = ::getpriority(PRIO_PROCESS, id_t(tid));
    [[maybe_unused]] int r = ::setpriority(PRIO_PROCESS, id_t(tid), now - 1);
}

} // namespace ferry
