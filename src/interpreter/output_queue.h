// Work that Python threads the host did not start hand to the host: output
// for a receiver's event, host references to give back, and calls of host
// functions. None of it runs on the thread that produced it; it waits, in
// order, until the home thread (the host thread that called Init) delivers
// it (as an outermost plugin entry returns, on DeliverOutput, while Python
// code it runs executes, and at Finalize).
#pragma once

#include <mutex>
#include <string>

#include "plugin/plugin.h"

struct HomeCall;

// What became of a handed-over call (HomeCall::state), under QueueLock.
enum : int {
  kCallQueued = 0,
  kCallRunning = 1,   // the home thread has begun it: always waited for
  kCallDone = 2,
  kCallWithdrawn = 3, // never begun: its caller gave up waiting
  kCallRefused = 4,   // never begun, never answered: the interpreter stopped
};

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
// the console receivers; and how many bytes of it wait undelivered.
void QueueStreamText(int stream, std::string text);
size_t StreamTextWaiting();

// Delivers everything queued, oldest first, on the home thread; nothing on
// any other. Work queued while it runs is delivered too. With holdAnswers,
// the callers of the calls it ran are woken only by WakeHeldAnswers
// (home_calls.h), once the lock they need next has been given back.
void DeliverQueuedWork(bool holdAnswers = false);
