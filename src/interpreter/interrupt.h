// Stopping Python code that runs for host code: Coilwork.Interrupt from any
// thread, and Coilwork.SetTimeLimit on every outermost call.
//
// The entries' fast ways are not touched. A watchdog thread (started by the
// first limit or Interrupt) "arms" a host thread that it sees inside a call:
// it makes that thread's next entry and every thread's next return take the
// slow ways, whose hooks below disarm it. A thread still armed is therefore
// still in the call it was armed in, and only such a call is ever stopped,
// with an asynchronous KeyboardInterrupt set on that thread's own state.
#pragma once

#include <stdint.h>

// A thread made its first entry while an interpreter runs (slow way of the
// entry, before the lock is taken).
void InterruptJoinHostThread();
// An outermost entry begins (slow way of the entry, lock held).
void InterruptCallStarted();
// An outermost entry returns (slow way of the return, lock still held).
void InterruptCallEnded();
// Whether some thread's return must take the slow way to be seen.
bool InterruptWatchesReturns();

// With the lock of the interpreter the calling thread is in, its state
// current: withdraws a stop sent to the thread (ident) and not raised yet,
// leaving Python's word that makes threads look for stops as it was before.
void TakeBackStop(unsigned long ident);
// After Py_Initialize, on the thread running Init, lock held: the rest of
// Init is never stopped; stops may be sent from now on.
void InterruptAfterInit();
// Before Py_Finalize, lock held: no stop is sent from now on, and none that
// was sent for this call stays waiting.
void InterruptBeforeFinalize();
// Inside an outermost call that does the plugin's own work in Python (Reset),
// lock held: the rest of the call is never stopped, and a stop already sent
// for it is taken back.
void InterruptSpareThisCall();

// The Coilwork shared methods.
void Python_Interrupt();
void Python_SetTimeLimit(int32_t milliseconds);
