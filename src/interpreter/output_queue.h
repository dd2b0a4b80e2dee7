// Work that Python threads the host did not start hand to the host: output
// for a receiver's event, and host references to give back. None of it runs
// on the thread that produced it; it waits, in order, until a host thread
// delivers it (as an outermost plugin entry returns, on DeliverOutput, and at
// Finalize).
#pragma once

#include "plugin/plugin.h"

// The event a piece of output is raised with (ConsoleOutput and the like).
using OutputEvent = void (*)(REALobject receiver, REALstring text);

// On a host thread: delivers what is queued (so that order is kept) and
// answers false; the caller raises the event itself. On any other thread:
// queues the text (UTF-8) for the receiver, which keeps one host reference
// until its event has been raised, and answers true.
bool QueueIfForeign(REALobject receiver, const char* utf8, size_t length, OutputEvent event);

// Gives one host reference back: at once on a host thread, otherwise queued.
void ReleaseOnHostThread(REALobject object);

// Releases Python references of the interpreter numbered generation on a
// host thread holding the lock (queued; dropped should that interpreter have
// stopped by then).
void ReleasePythonOnHostThread(PyObject* const* objects, int count, uint32_t generation);

// Delivers everything queued, oldest first; only ever on a host thread.
// Work queued while it runs is delivered too.
void DeliverQueuedWork();
