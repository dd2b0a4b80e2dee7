// Host code called on Python's own threads runs on the home thread
// (home_calls.h): the hand-over, the calling thread's wait, the pending call
// that lets Python code on the home thread serve, Finalize's wait for
// Python's threads, and SetThreadCallTimeout.
//
// The caller keeps its call record on its own stack. The queue's lock guards
// the record's state: a call is withdrawn or refused only while still
// queued (taken out of the queue under the lock), and the home thread
// touches the record only between taking it out and answering it, after
// which it never does again. A call refused at Finalize is taken out of the
// queue and never answered, so nothing refers to it any more: no reference,
// host object or lock is left behind.
#include "interpreter/home_calls.h"
#include "interpreter/interpreters.h"

#include <linux/futex.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <string>

#include "interpreter/interpreter.h"
#include "plugin/output_queue.h"
#include "python/refs.h"

namespace {

std::atomic<int32_t> gTimeoutMs{0};

// A pending call is asked of Python at most once at a time.
std::atomic<bool> gServeScheduled{false};
// Python code may serve calls: from Init until Finalize begins to stop.
std::atomic<bool> gPythonServes{false};

// The caller waits on its call's state word (plugin/output_queue.cpp wakes it).
int State(const HomeCall& call) { return __atomic_load_n(&call.state, __ATOMIC_ACQUIRE); }

// Waits while the word holds seen, at most until the deadline (none: null).
void FutexWait(int* word, int seen, const timespec* deadline) {
  timespec left{}, *limit = nullptr;
  if (deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ns = (int64_t(deadline->tv_sec) - now.tv_sec) * 1000000000 + (deadline->tv_nsec - now.tv_nsec);
    if (ns <= 0) return;
    left.tv_sec = time_t(ns / 1000000000);
    left.tv_nsec = long(ns % 1000000000);
    limit = &left;
  }
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, seen, limit, nullptr, 0);
}

// Wakes a Finalize waiting for Python's threads (under QueueLock).
std::condition_variable& FinalizeWake() {
  static auto* wake = new std::condition_variable();
  return *wake;
}

void Raise(PyObject** type, const std::string& message) {
  if (!EPyErr_SetString) return;
  PyObject* chosen = type && *type ? *type : (e__PyExc_RuntimeError ? *e__PyExc_RuntimeError : nullptr);
  if (chosen) EPyErr_SetString(chosen, message.c_str());
}

std::string NameOf(const HomeCall& call) { return call.name ? call.name : "a host function"; }

// Python runs pending calls on the thread that started it, between two
// instructions of the code running there: the home thread serves calls
// while it runs Python code, be it a busy loop or a wait that wakes now and
// then (a sleep, a queue's get with a timeout).
int ServeFromPython(void*) {
  gServeScheduled.store(false);
  if (gPythonServes.load() && OnHomeThread() && PythonRunning() &&
      gHostWorkPending.load(std::memory_order_acquire))
    DeliverQueuedWork();
  return 0;
}

// Finalize's question to Python: is a non-daemon thread other than this one
// (and Python's main thread) still alive? Those are the threads Python's own
// shutdown waits for.
const char kBusySource[] =
    "import sys\n"
    "def busy():\n"
    "    threading = sys.modules.get('threading')\n"
    "    if threading is None:\n"
    "        return False\n"
    "    me, main = threading.current_thread(), threading.main_thread()\n"
    "    return any(t is not me and t is not main and not t.daemon and t.is_alive()\n"
    "               for t in threading.enumerate())\n";

bool ThreadsStillRun(PyObject* busy) {
  PyObject* answer = EPyObject_CallObject(busy, nullptr);
  if (!answer) {
    EPyErr_Clear();
    return false;
  }
  bool yes = EPyObject_IsTrue(answer) == 1;
  PyRelease(answer);
  return yes;
}

// Serves handed-over calls (and the rest of the queue) while Python's
// non-daemon threads run, giving the lock over between looks.
void ServeUntilThreadsEnd() {
  if (!EPyEval_SaveThread || !EPyEval_RestoreThread || !EPyDict_GetItemString) return;
  PyObject* space = RunPrivateSource(kBusySource);
  if (!space) {
    EPyErr_Clear();
    return;
  }
  PyObject* busy = EPyDict_GetItemString(space, "busy");  // borrowed from the namespace
  while (busy) {
    if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
    if (!ThreadsStillRun(busy)) break;
    PyThreadState* saved = EPyEval_SaveThread();
    {
      std::unique_lock<std::mutex> lock(QueueLock());
      // A thread ending is seen at the next look; a call queued wakes at once.
      FinalizeWake().wait_for(lock, std::chrono::milliseconds(5), [] {
        return gHostWorkPending.load(std::memory_order_relaxed) && OnHomeThread();
      });
    }
    EPyEval_RestoreThread(saved);
  }
  PyRelease(space);
}

// A call was queued: Python code that the home thread is running serves it
// soon, and a Finalize waiting for Python's threads wakes.
void WakeHomeThread() {
  // Only a home thread inside a plugin call can be running Python code; an
  // idle one serves at its next call, whose entry takes the lock and then
  // looks at the queue. On older Pythons a scheduled pending call also makes
  // every other thread check at each instruction until it has run.
  HostThreadState* home = __atomic_load_n(&gHomeThread, __ATOMIC_RELAXED);
  bool inCall = home && Depth(*home) > 0;
  if (inCall && gPythonServes.load() && EPy_AddPendingCall && !gServeScheduled.exchange(true)) {
    if (EPy_AddPendingCall(&ServeFromPython, nullptr) != 0) gServeScheduled.store(false);
  }
  FinalizeWake().notify_all();
}

// On the home thread (plugin/output_queue.cpp), lock held: the call runs in the
// caller's interpreter, whose error the caller gets.
void RunInCallersInterpreter(HomeCall& call) {
  InterpreterScope in(call.sub);
  if (in.ok()) {
    call.run(call);
    if (HoldHomeLock() && ErrorPending())
      EPyErr_Fetch(&call.errorType, &call.errorValue, &call.errorTraceback);
  }
}

}  // namespace

bool CallOnHomeThread(HomeCall& call) {
  // The home thread runs it in the interpreter of the calling thread.
  call.sub = EPyThreadState_Get ? SubOfThreadState(EPyThreadState_Get()) : nullptr;
  call.runInCaller = RunInCallersInterpreter;
  call.result = nullptr;
  call.status = 0;
  call.errorType = call.errorValue = call.errorTraceback = nullptr;
  if (!EPyEval_SaveThread || !EPyEval_RestoreThread || !EPyErr_Restore) {
    Raise(e__PyExc_RuntimeError, NameOf(call) + ": host code cannot be reached from this thread");
    return false;
  }
  if (!QueueHomeCall(&call)) {
    Raise(e__PyExc_RuntimeError, "the interpreter is stopping: " + NameOf(call) + " was not called");
    return false;
  }
  WakeHomeThread();
  const int32_t timeout = gTimeoutMs.load();
  PyThreadState* saved = EPyEval_SaveThread();
  timespec deadline{};
  if (timeout > 0) {
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout / 1000;
    deadline.tv_nsec += long(timeout % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000;
    }
  }
  // Once begun, a call is always waited for. A call still queued when the
  // interpreter stops is never answered: its thread stays parked here, off
  // Python, as a daemon thread blocked in C code does. Woken, it would take
  // the interpreter lock while Py_Finalize runs, or even after a new Init,
  // with a thread state that no longer exists.
  for (int s = State(call); s != kCallDone && s != kCallWithdrawn; s = State(call)) {
    if (s == kCallQueued && timeout > 0) {
      FutexWait(&call.state, s, &deadline);
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      bool late = now.tv_sec > deadline.tv_sec ||
                  (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
      if (late) {
        std::lock_guard<std::mutex> guard(QueueLock());
        if (State(call) == kCallQueued) WithdrawHomeCall(&call);
      }
    } else {
      FutexWait(&call.state, s, nullptr);
    }
  }
  EPyEval_RestoreThread(saved);
  if (State(call) == kCallWithdrawn) {
    Raise(e__PyExc_TimeoutError, NameOf(call) + ": the host's thread did not take the call within " +
                                     std::to_string(timeout) + " ms; it was withdrawn and never ran");
    return false;
  }
  if (call.errorType) EPyErr_Restore(call.errorType, call.errorValue, call.errorTraceback);
  return true;
}

void HomeCallsAfterInit() {
  gServeScheduled.store(false);
  RefuseHomeCalls(false);
  gPythonServes.store(true);
}

void ServeWhileThreadsRun() { ServeUntilThreadsEnd(); }

void HomeCallsBeforeFinalize() {
  ServeUntilThreadsEnd();
  gPythonServes.store(false);
  RefuseHomeCalls(true);
}

void Python_SetThreadCallTimeout(int32_t milliseconds) {
  gTimeoutMs.store(milliseconds > 0 ? milliseconds : 0);
}
