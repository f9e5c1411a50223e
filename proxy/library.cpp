#include "proxy/library.h"

#include "proxy/interrupt.h"
#include "proxy/link_threads.h"

namespace ferry {

namespace {

// Calls of exports nested in an export on the same thread (the callback
// given the link-failure notification calls them), and the callback this
// thread owes that notification when its outermost call ends.
thread_local int t_depth = 0;
thread_local bool t_noticeOwed = false;
thread_local FerryCallback t_noticeTo = nullptr;

// The port was open and now is not: true, with the callback to tell (the one
// registered now, so that a close that comes before the telling cannot take
// it away). False when someone else already closed the port.
bool ClosePortForFailure(Library &lib, FerryCallback &tell)
{
    if (!lib.open.exchange(false))
        return false;
    tell = lib.delivery.Callback();
    lib.state.store(FERRYLINK_STATE_FAILED);
    lib.delivery.DiscardKept();
    return true;
}

void OweNotice(Library &lib)
{
    FerryCallback tell = nullptr;
    if (ClosePortForFailure(lib, tell)) {
        t_noticeOwed = true;
        t_noticeTo = tell;
    }
}

} // namespace

Library &TheLibrary()
{
    static Library *instance = new Library();
    return *instance;
}

HostCall::HostCall(Library &lib) : lib_(lib), outermost_(t_depth++ == 0), fromLinkThread_(OnLinkThread())
{
    if (!outermost_ || fromLinkThread_)
        return;
    std::unique_lock<std::mutex> lock(lib_.gateMutex);
    lib_.gateFree.wait(lock, [this] { return !lib_.busy; });
    lib_.busy = true;
    entered_ = true;
    lock.unlock();
    BeginInterruptibleCall();
}

HostCall::~HostCall()
{
    bool poke = false;
    if (entered_) {
        EndInterruptibleCall();
        {
            std::lock_guard<std::mutex> lock(lib_.gateMutex);
            // A link thread that found the link lost while this call ran
            // left the telling to it.
            if (lib_.link && lib_.link->Failed())
                OweNotice(lib_);
            lib_.busy = false;
            poke = std::exchange(lib_.pokeWhenFree, false);
        }
        lib_.gateFree.notify_all();
        if (poke && lib_.link)
            lib_.link->Poke();
    }
    if (--t_depth == 0 && std::exchange(t_noticeOwed, false))
        Delivery::NotifyLinkFailure(std::exchange(t_noticeTo, nullptr));
}

int32_t RunHandshake(Library &lib)
{
    // A callback of a reused link must not read the command connection
    // meanwhile (ReadDataMessage).
    std::unique_lock<std::mutex> exchange = lib.link->ExchangeLock();
    uint8_t request[kPacketOverhead];
    size_t size = EncodePacket(request, kCmdDeviceOpen, nullptr, 0);
    Sent sent = lib.link->SendPacket(request, size);
    if (sent != Sent::Whole)
        return sent == Sent::Interrupted ? kInterrupted : kNotConnected;
    lib.link->StartThreads();
    uint8_t reply[kReplyCapacity] = {};
    int32_t acked = lib.link->AwaitOpenAck(reply, sizeof reply);
    if (acked != 1)
        lib.link->MarkFailed();
    return acked;
}

void ReleaseLink(Library &lib)
{
    lib.delivery.SetCallback(nullptr);
    if (lib.link) {
        lib.link->MarkFailed();
        lib.link->CloseConnections();
        if (lib.link->OnOwnThread()) {
            lib.link->EndThreads(); // cannot wait for the thread we are on
            return;
        }
        lib.link->StopThreads();
        lib.link.reset();
    }
    // Only now that no thread delivers: what they kept goes with the link.
    lib.delivery.DiscardKept();
    std::lock_guard<std::mutex> lock(lib.gateMutex);
    lib.pokeWhenFree = false;
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
    lib.delivery.SetCallback(nullptr);
    if (lib.link->StopThreadsWithin(Millis(500)))
        lib.link.reset();
}

} // namespace

void FailLink(Library &lib)
{
    if (lib.link)
        lib.link->MarkFailed();
    OweNotice(lib);
}

bool PortOpen(Library &lib)
{
    if (!lib.open.load())
        return false;
    if (lib.link && !lib.link->Failed())
        return true;
    FailLink(lib);
    return false;
}

void LinkLost(Library &lib, Link &link)
{
    link.MarkFailed();
    bool closed = false;
    FerryCallback tell = nullptr;
    {
        std::lock_guard<std::mutex> lock(lib.gateMutex);
        if (!lib.busy)
            closed = ClosePortForFailure(lib, tell);
    }
    if (closed)
        Delivery::NotifyLinkFailure(tell);
}

bool NoHostCallOrPokeLater(Library &lib)
{
    std::lock_guard<std::mutex> lock(lib.gateMutex);
    if (lib.busy)
        lib.pokeWhenFree = true;
    return !lib.busy;
}

} // namespace ferry
