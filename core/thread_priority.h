// Scheduling of the threads that pace MIDI: the update worker and a port's own delivery thread.
#pragma once

namespace varnet {

// Raises the calling thread's priority above normal where the platform lets this process do it;
// false (and no change) where it does not. Also makes the thread's timed waits end on time (see
// UsePreciseTimers), which needs no privilege.
bool RaiseCurrentThreadPriority();

// Asks the system to end the calling thread's timed sleeps and waits as close to their deadline
// as it can. Linux otherwise lets a normal thread's timer fire up to 50 us late so that it can
// batch wake-ups; a sender that paces 32-byte pieces 10 ms apart and waits for each to leave pays
// that on every piece. Does nothing where there is no such setting.
void UsePreciseTimers();

}  // namespace varnet
