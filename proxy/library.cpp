#include "library.h"

#include <cstring>

namespace ferry {

Library &TheLibrary()
{
    static Library *instance = new Library();
    return *instance;
}

int32_t SendRequest(Library &lib, uint16_t type, const void *payload, size_t n)
{
    if (!lib.link)
        return kNotConnected;
    lib.request.fill(0);
    size_t size = EncodePacket(lib.request.data(), type, payload, n);
    return lib.link->SendPacket(lib.request.data(), size);
}

bool RunHandshake(Library &lib)
{
    if (SendRequest(lib, kCmdDeviceOpen, nullptr, 0) <= 0) {
        lib.open.store(false);
        return false;
    }
    lib.link->MarkLive();
    lib.link->StartThreads();
    lib.request.fill(0);
    if (lib.link->AwaitOpenAck(lib.request.data() + kHeaderSize, kReplyCapacity))
        return true;
    lib.link->MarkFailed();
    return false;
}

void ReleaseLink(Library &lib)
{
    if (!lib.link)
        return;
    lib.link->MarkFailed();
    lib.link->CloseConnections();
    if (lib.link->OnOwnThread()) {
        lib.link->EndThreads(); // cannot wait for the thread we are on
        return;
    }
    lib.link->StopThreads();
    lib.link.reset();
}

namespace {

// The library is never unloaded before the process ends (it is linked so),
// so this runs at exit. A link still open is let go of without the close
// request: its threads are asked to end and given a moment, but a thread
// held up in the host's callback does not hold up the exit.
__attribute__((destructor)) void ReleaseAtExit()
{
    Library &lib = TheLibrary();
    if (!lib.link || lib.link->OnOwnThread())
        return;
    if (lib.link->StopThreadsWithin(Millis(500)))
        lib.link.reset();
}

} // namespace

void FailLink(Library &lib)
{
    bool wasOpen = lib.open.exchange(false);
    if (lib.link)
        lib.link->MarkFailed();
    if (!wasOpen)
        return;
    FerryCallback callback = lib.callback.load();
    if (callback == nullptr)
        return;
    uint8_t payload[4];
    PutU16(payload, 12);
    PutU16(payload + 2, 2);
    callback(0, payload, 4);
}

} // namespace ferry
