// Host code called on Python's own threads: the call is handed to the home
// thread (the host thread that called Init) and the calling thread waits for
// its answer without the interpreter lock.
//
// The home thread runs handed-over calls with the rest of the work queued
// for it, in the order it was made (plugin/output_queue.h): as its outermost plugin
// entries return, in DeliverOutput, while Python code it runs executes (a
// pending call that Python runs on the thread that started it), and while
// Finalize waits for Python's non-daemon threads.
#pragma once

#include "plugin/output_queue.h"

// On a thread the host did not start, with the lock held by it: hands the
// call to the home thread and waits. Afterwards the lock is held again; the
// call's result or status is set, and Python's error is set on this thread
// when it failed. False when the call never ran: withdrawn after the thread
// call timeout (TimeoutError), or made while the interpreter stops
// (RuntimeError).
bool CallOnHomeThread(HomeCall& call);

// Finalize, on the thread that runs it with the lock held, before anything
// is torn down: serves calls until no non-daemon Python thread is left
// (Python's own wait for them at Py_Finalize could never serve one). Calls
// still queued then never run, and new ones get RuntimeError at once.
void HomeCallsBeforeFinalize();
// In the current interpreter, lock held: waits until its non-daemon Python
// threads have ended, serving their calls where this is the home thread.
void ServeWhileThreadsRun();
// After Init: calls are taken again.
void HomeCallsAfterInit();

// The Coilwork shared method.
void Python_SetThreadCallTimeout(int32_t milliseconds);
