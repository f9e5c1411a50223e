// A live link to the target: one transport (TCP or serial), the threads
// that read from it, and the flags they share with the callers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "proxy/wire/fd_io.h"
#include <ferrylink.h>
#include "proxy/link_threads.h"

namespace ferry {

struct Library;

// What a reply read gives: the reply's size or a negative code, how many
// bytes of it were placed in the caller's buffer, and whether the link is
// still in step. A reply that did not come whole in time may still come,
// or come on, and would then be taken for the answer to a later request:
// such a read leaves the link out of step.
struct Reply {
    int32_t code;
    size_t carried;
    bool inStep;
};

inline constexpr int32_t kNotConnected = FERRYLINK_E_NOT_OPEN;
inline constexpr int32_t kReceiveFailed = FERRYLINK_E_NO_REPLY;
inline constexpr int32_t kSendFailed = FERRYLINK_E_SEND;
inline constexpr int32_t kBadArgument = FERRYLINK_E_ARGUMENT;
inline constexpr int32_t kShortReply = FERRYLINK_E_SHORT_REPLY;
inline constexpr int32_t kInterrupted = FERRYLINK_E_INTERRUPTED;

// How a packet went out. Anything but Whole leaves the target mid-packet
// or the link unusable: the caller fails the link.
enum class Sent { Whole, Failed, Interrupted };

// How far a link is from live. A link only ever moves down this list.
//   Live    requests and replies flow.
//   Failed  the link is no longer usable: it was closed, a send failed, the
//           handshake failed, a reply did not come whole in time, or a
//           connection or the line ended. A reply read returns at once;
//           the threads deliver nothing more; an open does not reuse it.
//   Ending  the threads must end now: their waits are woken and they leave
//           without finishing a packet. Set only by EndThreads.
enum class LinkState { Live, Failed, Ending };

class Link {
public:
    explicit Link(Library &lib) : lib_(lib) {}
    virtual ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Puts a whole packet on the link, one packet at a time whichever
    // thread sends. A caller's FerryInterrupt ends a send that waits.
    Sent SendPacket(const uint8_t *data, size_t n);
    // Reads the next reply into buffer, from its command type on, within the
    // reply limit for header and body together. A failed link reads nothing.
    // Hold ExchangeLock over the request and its reply.
    virtual Reply ReadReply(uint8_t *buffer, size_t capacity) = 0;
    // Forgets a reply that came before the request now being sent, so that
    // it cannot be taken for that request's answer.
    virtual void DiscardStaleReply() {}
    // False where the calling thread could never see a reply (see the serial
    // link); the request is then not sent at all.
    virtual bool CanAwaitReply() const { return true; }
    // Starts the receive threads unless they already exist.
    virtual void StartThreads() = 0;
    // Waits for the target's acknowledgement of the device open: 1, -1, or
    // kInterrupted. replyArea may be used to read it.
    virtual int32_t AwaitOpenAck(uint8_t *replyArea, size_t capacity) = 0;
    // Ends the connections as the peer sees them; descriptors are closed
    // only once the threads are gone.
    virtual void CloseConnections() {}
    // True when this link is a live one to the peer that text and number
    // name, so that an open can keep it.
    virtual bool ReusableFor(const std::string &text, uint32_t number) const;
    // Asks the delivering thread to hand the kept messages to a callback
    // just registered, and (TCP) to look at the command connection again.
    virtual void Poke() {}

    // A request and its reply, kept together against other threads'.
    std::unique_lock<std::mutex> ExchangeLock() { return std::unique_lock<std::mutex>(exchange_); }

    // The state changes (see LinkState).
    void MarkFailed();
    bool Failed() const { return state_.load() != LinkState::Live; }
    // Tells every thread of the link to end and wakes it, without waiting.
    void EndThreads();
    // EndThreads, then waits for them.
    void StopThreads();
    // EndThreads, then waits at most `limit` (see LinkThreads::JoinWithin).
    // For the end of the process only.
    bool StopThreadsWithin(Millis limit)
    {
        EndThreads();
        return threads_.JoinWithin(limit);
    }
    bool OnOwnThread() const { return threads_.ContainsCaller(); }

protected:
    bool Ending() const { return state_.load() == LinkState::Ending; }
    // The transport's write of a whole packet, under the send lock.
    virtual Sent Write(const uint8_t *data, size_t n) = 0;
    // Lets threads and callers blocked elsewhere than on the wake signal go
    // (a queue, a reply wait).
    virtual void WakeThreads() {}
    // Hands a data message (a TLV packet of `carried` bytes, from its command
    // type on) to the host. One that did not arrive whole is dropped and
    // counted; one that claims more payload than it carried is dropped.
    void DeliverDataMessage(const uint8_t *tlv, size_t carried, bool complete);

    Library &lib_;
    WakeSignal wake_; // raised by EndThreads; the threads poll it
    LinkThreads threads_;

private:
    std::atomic<LinkState> state_{LinkState::Live};
    std::mutex exchange_;
    std::mutex send_;
};

// Raises the calling thread's priority above normal where permitted.
void RaiseThreadPriority();

} // namespace ferry
