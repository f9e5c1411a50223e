// A live link to the target: one transport (TCP or serial), the threads
// that read from it, and the flags they share with the callers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fd_io.h"
#include "ferrylink.h"
#include "link_threads.h"

namespace ferry {

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

inline constexpr int32_t kNotConnected = -1;
inline constexpr int32_t kReceiveFailed = -4;
inline constexpr int32_t kSendFailed = -5;
inline constexpr int32_t kBadArgument = -6;

// How far a link is from live. A link only ever moves down this list,
// except that the handshake brings it back to Live before its threads start.
//   Live    requests and replies flow.
//   Failed  the link is no longer usable: it was closed, a send failed, the
//           handshake failed, or a reply did not come whole in time. A reply
//           read returns at once; the receive threads end after the packet
//           they are on; an open does not reuse the link.
//   Ending  the threads must end now: their waits are woken and they leave
//           without finishing a packet. Set only by EndThreads.
enum class LinkState { Live, Failed, Ending };

class Link {
public:
    explicit Link(std::atomic<FerryCallback> &callback) : callback_(callback) {}
    virtual ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Puts a whole packet on the link: the bytes sent, or 0 or a negative
    // code when nothing could be sent.
    virtual int32_t SendPacket(const uint8_t *data, size_t n) = 0;
    // Reads the next reply into buffer, from its command type on, within the
    // reply limit for header and body together. A failed link reads nothing.
    virtual Reply ReadReply(uint8_t *buffer, size_t capacity) = 0;
    // Forgets a reply that came before the request now being sent, so that
    // it cannot be taken for that request's answer.
    virtual void DiscardStaleReply() {}
    // False where the calling thread could never see a reply (see the serial
    // link); the request is then not sent at all.
    virtual bool CanAwaitReply() const { return true; }
    // Starts the receive threads unless they already exist.
    virtual void StartThreads() = 0;
    // Waits for the target's acknowledgement of the device open; replyArea
    // may be used to read it.
    virtual bool AwaitOpenAck(uint8_t *replyArea, size_t capacity) = 0;
    // Ends the connections as the peer sees them; descriptors are closed
    // only once the threads are gone.
    virtual void CloseConnections() {}
    // True when this link is a live one to the peer that text and number
    // name, so that an open can keep it.
    virtual bool ReusableFor(const std::string &text, uint32_t number) const;

    // The state changes (see LinkState).
    void MarkLive() { state_.store(LinkState::Live); }
    void MarkFailed();
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
    bool Failed() const { return state_.load() != LinkState::Live; }
    bool Ending() const { return state_.load() == LinkState::Ending; }
    // Lets threads blocked elsewhere than on the wake signal go (a queue).
    virtual void WakeThreads() {}
    // Hands a data message (a TLV packet of `carried` bytes, from its command
    // type on) to the registered callback. A message that did not arrive
    // whole, or that claims more payload than it carried, is dropped rather
    // than delivered cut short. False only when a whole message finds no
    // callback registered.
    bool DeliverDataMessage(const uint8_t *tlv, size_t carried, bool complete);

    std::atomic<FerryCallback> &callback_;
    WakeSignal wake_; // raised by EndThreads; the threads poll it
    LinkThreads threads_;

private:
    std::atomic<LinkState> state_{LinkState::Live};
};

// Raises the calling thread's priority above normal where permitted.
void RaiseThreadPriority();

} // namespace ferry
