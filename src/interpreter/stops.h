// Stops as the code below the watchdog (interrupt.h) meets them. The
// watchdog and Interrupt raise KeyboardInterrupt asynchronously in a host
// thread's Python code; while they watch a call, every return takes the slow
// way, and a stop sent for a call that ended is withdrawn where that call
// ends: in its own interpreter, before the thread leaves it.
#pragma once

#include <atomic>

// Host threads' records armed or exempt (interrupt.cpp): while any is,
// returns take the slow way.
extern std::atomic<int> gWatchers;
// Whether some thread's return must take the slow way to be seen.
bool InterruptWatchesReturns();

// With the lock of the interpreter the calling thread is in, its state
// current: withdraws a stop sent to the thread (ident) and not raised yet,
// leaving Python's word that makes threads look for stops as it was before.
void TakeBackStop(unsigned long ident);

// After Py_Initialize, lock held: how this Python lets a stop be withdrawn.
void StopsAfterInit();
