// FerryInterrupt's state. Raising it is safe in a signal handler (an atomic
// flag and an eventfd write); each host call takes it back as it starts, so
// an interrupt ends only the waits of the call under way, never a later one.
#pragma once

namespace ferry {

// Async-signal-safe.
void RaiseInterrupt();

// The calling thread starts a host call (the outermost one): an interrupt
// raised before now is forgotten, and the waits of this thread end on a
// new one until EndInterruptibleCall.
void BeginInterruptibleCall();
void EndInterruptibleCall();

// For the waits of the calling thread: a descriptor that becomes readable
// when the call is interrupted (-1 outside an interruptible call, so that
// the link's own threads are never interrupted), and whether it has been.
int CallInterruptFd();
bool CallInterrupted();

} // namespace ferry
