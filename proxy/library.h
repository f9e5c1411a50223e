// Process-wide state of the proxy: at most one link, the open flag, the
// registered callback and the request buffer that the exports share.
#pragma once

#include <array>
#include <atomic>
#include <memory>

#include "ferrylink.h"
#include "link.h"
#include "wire.h"

namespace ferry {

struct Library {
    std::atomic<bool> open{false};
    std::atomic<FerryCallback> callback{nullptr};
    std::array<uint8_t, kRequestBufferSize> request{};
    std::unique_ptr<Link> link;
};

// The one instance. It is never destroyed, so unloading the library or
// ending the process never waits on a link or runs its teardown twice.
Library &TheLibrary();

// Builds a request in the request buffer and puts it on the link: the
// bytes sent, or 0 or a negative code. n must not exceed kMaxRequestPayload.
int32_t SendRequest(Library &lib, uint16_t type, const void *payload, size_t n);

// Sends the device open and waits for the target's acknowledgement.
bool RunHandshake(Library &lib);

// Stops the link's threads, ends its connections and frees it. Called from
// one of the link's own threads (a callback that closes the port) it only
// asks them to end; the next open or close frees the link.
void ReleaseLink(Library &lib);

// The link failed (a send failed, or a reply did not come whole in time and
// the stream is out of step): the port counts as closed until the next
// open, the threads end after their current packet, and a port that was
// open gives the callback the link-failure notification (type 12,
// subtype 2) on the calling thread.
void FailLink(Library &lib);

} // namespace ferry
