// Host code called on Python's own threads: the call is handed to the home
// thread (the host thread that called Init) and the calling thread waits for
// its answer without the interpreter lock.
//
// The home thread runs handed-over calls with the rest of the work queued
// for it, in the order it was made (output_queue.h): as its outermost plugin
// entries return, in DeliverOutput, while Python code it runs executes (a
// pending call that Python runs on the thread that started it), and while
// Finalize waits for Python's non-daemon threads.
#pragma once

#include "plugin/plugin.h"

// One call handed to the home thread. The caller fills the first part and
// keeps the record alive until CallOnHomeThread returns; the rest belongs to
// the queue.
struct HomeCall {
  // Runs on the home thread with the lock held and no error pending; sets
  // result or status, leaving Python's error set when it fails.
  void (*run)(HomeCall& call);
  int slot;          // which host function, initialiser or module creator
  PyObject* self;    // borrowed from the calling thread, which waits
  PyObject* args;
  PyObject* kwds;
  const char* name;  // "module.name" for messages
  PyObject* result = nullptr;  // a new reference, or null
  int status = 0;

  // Set by the home thread: the error run left, moved to the caller.
  PyObject* errorType = nullptr;
  PyObject* errorValue = nullptr;
  PyObject* errorTraceback = nullptr;
  // kCall* (output_queue.h): what became of the call. Its caller waits on
  // this word (a futex); it leaves kCallQueued only under the queue's lock.
  int state = 0;
};

// On a thread the host did not start, with the lock held by it: hands the
// call to the home thread and waits. Afterwards the lock is held again; the
// call's result or status is set, and Python's error is set on this thread
// when it failed. False when the call never ran: withdrawn after the thread
// call timeout (TimeoutError), or made while the interpreter stops
// (RuntimeError).
bool CallOnHomeThread(HomeCall& call);

// On the home thread, lock held, called by the queue: runs one handed-over
// call, with any error of the home thread's own set aside meanwhile.
void RunHomeCall(HomeCall& call);

// The home thread answers a call: its caller may go on. Held answers wait
// until WakeHeldAnswers, so that the home thread can first give the
// interpreter lock back, which the caller needs next.
void AnswerHomeCall(HomeCall& call, bool hold);
void WakeHeldAnswers();

// Whether this is the home thread inside a handed-over call's host code.
bool HomeCallRunning();

// Called by the queue's owner when a call is queued: Python code that the
// home thread is running serves it soon, and a Finalize waiting for Python's
// threads wakes.
void WakeHomeThread();

// Finalize, on the thread that runs it with the lock held, before anything
// is torn down: serves calls until no non-daemon Python thread is left
// (Python's own wait for them at Py_Finalize could never serve one). Calls
// still queued then never run, and new ones get RuntimeError at once.
void HomeCallsBeforeFinalize();
// After Init: calls are taken again.
void HomeCallsAfterInit();

// The Coilwork shared method.
void Python_SetThreadCallTimeout(int32_t milliseconds);
