#include "proxy/interrupt.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace ferry {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag is set from signal handlers");

// Made when the library is loaded, so that a signal handler never creates it.
struct InterruptState {
    std::atomic<bool> raised{false};
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The library is never unloaded, and a handler may still run at exit:
    // the descriptor stays open for the life of the process.
};

InterruptState g_interrupt;
thread_local bool t_interruptible = false;

} // namespace

void RaiseInterrupt()
{
    g_interrupt.raised.store(true);
    uint64_t one = 1;
    // A full counter already wakes every wait.
    [[maybe_unused]] ssize_t r = ::write(g_interrupt.fd, &one, sizeof one);
}

void BeginInterruptibleCall()
{
    g_interrupt.raised.store(false);
    uint64_t count = 0;
    [[maybe_unused]] ssize_t r = ::read(g_interrupt.fd, &count, sizeof count);
    t_interruptible = true;
}

void EndInterruptibleCall()
{
    t_interruptible = false;
}

int CallInterruptFd()
{
    return t_interruptible ? g_interrupt.fd : -1;
}

bool CallInterrupted()
{
    return t_interruptible && g_interrupt.raised.load();
}

} // namespace ferry
