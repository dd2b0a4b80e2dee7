// Work that Python threads the host did not start hand to the host: output
// for a receiver's event, host references to give back, and calls of host
// functions. None of it runs on the thread that produced it; it waits, in
// order, until the home thread (the host thread that called Init) delivers
// it (as an outermost plugin entry returns, on DeliverOutput, while Python
// code it runs executes, and at Finalize).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "plugin/plugin.h"

// One call of host code that a Python thread hands to the home thread
// (home_calls.h). The caller fills the first part and keeps the record alive
// until it has its answer; the rest belongs to the queue.
struct HomeCall {
  // Runs on the home thread with the lock held and no error pending; sets
  // result or status, leaving Python's error set when it fails.
  void (*run)(HomeCall& call);
  int slot;          // which host function, initialiser or module creator
  PyObject* self;    // borrowed from the calling thread, which waits
  PyObject* args;
  PyObject* kwds;
  const char* name;  // "module.name" for messages
  SubInterpreter* sub = nullptr;  // the caller's interpreter, null: the main one
  // Set by CallOnHomeThread: runs run in the caller's interpreter, and moves
  // the error it leaves there to the call (below).
  void (*runInCaller)(HomeCall& call) = nullptr;
  PyObject* result = nullptr;  // a new reference, or null
  int status = 0;

  // Set by the home thread: the error run left, moved to the caller.
  PyObject* errorType = nullptr;
  PyObject* errorValue = nullptr;
  PyObject* errorTraceback = nullptr;
  // kCall*: what became of the call. Its caller waits on this word (a
  // futex); it leaves kCallQueued only under the queue's lock.
  int state = 0;
};

// What became of a handed-over call (HomeCall::state), under QueueLock.
enum : int {
  kCallQueued = 0,
  kCallRunning = 1,   // the home thread has begun it: always waited for
  kCallDone = 2,
  kCallWithdrawn = 3, // never begun: its caller gave up waiting
  kCallRefused = 4,   // never begun, never answered: the interpreter stopped
};

// Set when work from other threads waits for a host thread.
extern std::atomic<bool> gHostWorkPending;

// The queue's lock.
std::mutex& QueueLock();
// Queues a call for the home thread; false (nothing queued) while calls are
// refused.
bool QueueHomeCall(HomeCall* call);
// Under QueueLock, for a call still queued: takes it out, never to run.
void WithdrawHomeCall(HomeCall* call);
// True: takes every queued call out as refused, and refuses new ones; false:
// takes calls again.
void RefuseHomeCalls(bool refuse);
// Whether this is the home thread inside a handed-over call's host code.
bool HomeCallRunning();
// Wakes the callers of the calls delivered with holdAnswers (below).
void WakeHeldAnswers();

// While descriptors 1 and 2 are captured (process_output.cpp): reads what
// they hold into the queue. Null while they are not.
extern std::atomic<void (*)()> gTakeProcessOutput;
COILWORK_HOT void TakeProcessOutput() {
  if (void (*take)() = gTakeProcessOutput.load(std::memory_order_acquire)) take();
}
COILWORK_HOT bool ProcessOutputCaptured() {
  return gTakeProcessOutput.load(std::memory_order_relaxed) != nullptr;
}

// The event a piece of output is raised with (ConsoleOutput and the like).
using OutputEvent = void (*)(REALobject receiver, REALstring text);

// On a host thread: delivers what is queued when it is the home thread (so
// that order is kept) and answers false; the caller raises the event itself. On any other thread:
// queues the text (UTF-8) for the receiver, which keeps one host reference
// until its event has been raised, and answers true.
bool QueueIfForeign(REALobject receiver, const char* utf8, size_t length, OutputEvent event);

// Gives one host reference back: at once on a host thread, otherwise queued.
void ReleaseOnHostThread(REALobject object);

// Releases Python references of the interpreter numbered generation on a
// host thread holding the lock (queued; dropped should that interpreter have
// stopped by then).
void ReleasePythonOnHostThread(PyObject* const* objects, int count, uint32_t generation);

// Queues text read from descriptor 1 or 2 (stream 1 or 2), valid UTF-8, for
// the console receivers, raised with event; and how many bytes of it wait
// undelivered.
void QueueStreamText(int stream, std::string text, OutputEvent event);
size_t StreamTextWaiting();

// Delivers everything queued, oldest first, on the home thread; nothing on
// any other. Work queued while it runs is delivered too. With holdAnswers,
// the callers of the calls it ran are woken only by WakeHeldAnswers
// once the lock they need next has been given back.
void DeliverQueuedWork(bool holdAnswers = false);
