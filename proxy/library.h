// Process-wide state of the proxy: at most one link, the open flag, the
// host's side of the data messages, and the gate that lets one host call
// in at a time.
//
// Locks, outermost first, and why none can wait for its own holder:
//   the gate      one host call at a time. The link's own threads never
//                 enter it (their calls come from the callback, and a
//                 serial caller may be waiting for that very thread), and
//                 neither do calls nested in a call of the same thread (the
//                 callback given the link-failure notification). A link
//                 thread only looks at it: it never waits there.
//   exchange      (Link) a request and its reply, so that a callback's
//                 remote read on TCP cannot take a host call's reply. Its
//                 holder waits only for the target, within the limits.
//   send          (Link) one packet at a time on the wire; its holder waits
//                 only for the wire, within the send limit.
//   delivery      (Delivery) the kept messages; never held over a callback.
// The callback is never called with any of them held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "proxy/delivery.h"
#include <ferrylink.h>
#include "proxy/link.h"
#include "proxy/wire/wire.h"

namespace ferry {

struct Library {
    std::atomic<bool> open{false};
    std::atomic<int32_t> state{FERRYLINK_STATE_CLOSED};
    Delivery delivery;
    std::unique_ptr<Link> link; // changed only by host calls, and only while no link thread runs

    // The gate (see above).
    std::mutex gateMutex;
    std::condition_variable gateFree;
    bool busy = false;
    bool pokeWhenFree = false; // a link thread waits to look at the command connection
};

// The one instance. It is never destroyed, so unloading the library or
// ending the process never waits on a link or runs its teardown twice.
Library &TheLibrary();

// Every export except FerryInterrupt and the ones that only read a value
// makes one at its start. On a host thread the outermost one passes the
// gate, waiting for another thread's call to end, and takes back an earlier
// FerryInterrupt. When it ends, a link failure found meanwhile, by this
// call or by a link thread while this call ran, closes the port and gives
// the callback the link-failure notification on this thread.
class HostCall {
public:
    explicit HostCall(Library &lib);
    ~HostCall();
    HostCall(const HostCall &) = delete;
    HostCall &operator=(const HostCall &) = delete;

    // True when called from one of the link's threads (from the callback).
    bool FromLinkThread() const { return fromLinkThread_; }

private:
    Library &lib_;
    bool outermost_;
    bool fromLinkThread_;
    bool entered_ = false;
};

// Sends the device open and waits for the target's acknowledgement: 1, or
// -1, or FERRYLINK_E_INTERRUPTED.
int32_t RunHandshake(Library &lib);

// Stops the link's threads, ends its connections and frees it; the
// callback is forgotten. Called from one of the link's own threads (a
// callback that closes the port) it only asks them to end; the next open or
// close frees the link.
void ReleaseLink(Library &lib);

// A host call found the link failed (a send failed, or a reply did not come
// whole in time and the stream is out of step): the port counts as closed
// until the next open, and the threads stop delivering. When the port was
// open the callback gets the link-failure notification as the call ends.
void FailLink(Library &lib);

// The port is open and its link has not failed. A link that failed
// without a call noticing fails the port here.
bool PortOpen(Library &lib);

// For the link's threads.
// The link ended under them (a connection or the line closed or failed):
// it fails, and unless a host call is under way (which then tells as it
// ends) the port closes and the callback gets the notification on this
// thread.
void LinkLost(Library &lib, Link &link);
// The command connection looks closed: true when no host call is under way,
// so that it is the link that ended; otherwise false, and the link is poked
// once the call under way ends, to look again.
bool NoHostCallOrPokeLater(Library &lib);

} // namespace ferry
