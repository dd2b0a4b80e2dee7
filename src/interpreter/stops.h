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

// With the lock of the calling thread's interpreter held: whether a stop
// raised now in the thread (ident) of that interpreter would land inside
// Python's import machinery. Its own code between taking the import lock and
// the block that gives it back runs unguarded, and an exception raised there
// leaves the lock held for good, so every later import in the process waits
// for ever. Such a stop is sent once the thread has left that code.
bool StopWouldBreakAnImport(unsigned long ident);

// After Py_Initialize, lock held: how this Python lets a stop be withdrawn.
void StopsAfterInit();
