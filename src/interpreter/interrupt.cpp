// Stopping Python code that runs for host code (interrupt.h): the records of
// the host threads, the watchdog thread, and the shared methods Interrupt and
// SetTimeLimit.
//
// The host thread that runs the code is busy in Python, so another thread
// has to act. PyThreadState_SetAsyncExc raises an exception in exactly the
// thread whose state carries the host thread's id, whichever host thread
// that is, at its next check between instructions, on every supported
// version. It needs the interpreter lock, which code running in Python hands
// over within the switch interval (5 ms) once another thread asks for it.
// Py_AddPendingCall needs no lock, but Python runs pending calls on its main
// thread only, so it could not stop a call made on any other host thread; a
// signal would need a handler in the host's process, which the plugin never
// installs. Python's own threads carry ids of their own and are never hit.
//
// Knowing which call runs, without a cost on every entry: the watchdog (and
// Interrupt) "arm" a thread they see inside a call (depth above 0). Arming
// points every thread's returns at the slow way (WatchNothing) and this
// thread's entries too (a null watch); the slow ways disarm the thread at its
// next outermost return or entry. A thread still armed is thus still inside
// the call it was armed in, and only such a call is stopped: a stop can never
// hit a later call. Between arming rounds the fast ways stay as they are.
//
// A call's time counts from the first moment the watchdog saw it, which is
// at most one polling period (a tenth of the limit, 1 to 100 ms) after it
// began: a call is stopped late by at most that period, never early.
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "interpreter/interrupt.h"
#include "interpreter/stops.h"
#include "python/refs.h"

namespace {

struct HostThreadRecord {
  // The thread's lock state (its depth and watch); null once the thread has
  // ended and the record waits for another thread.
  HostThreadState* state;
  unsigned long ident;  // the id Python's thread states carry for the thread
  uint32_t generation;  // changes whenever the record passes to another thread
  // Set by the watchdog or Interrupt while the thread is in an outermost
  // call, cleared by the thread itself at its next outermost entry or return.
  std::atomic<int> armed;
  // The current call is the plugin's own work (Init, Reset): it is never
  // stopped. Cleared at its return.
  std::atomic<int> exempt;
  // Interrupt asked for the armed call to be stopped.
  std::atomic<int> stopWanted;
  // A stop that could not be sent yet, to send again soon while the call is
  // still armed: 1 for an Interrupt, 2 for the limit.
  std::atomic<int> retry;
  // A KeyboardInterrupt was set for the current call, and the limit that set
  // it (0: Interrupt). Written with the interpreter lock held.
  std::atomic<int> stopSent;
  std::atomic<int32_t> limitStopped;
  // Under the registry's lock: when the call was first seen, and how many
  // periods of the limit it has been stopped for.
  int64_t armedAt;
  int64_t periodsStopped;
  HostThreadRecord* next;
};

// Records are never freed: a pointer the watchdog took stays valid, and a
// record whose thread ended serves a later thread.
struct Registry {
  std::mutex lock;
  HostThreadRecord* records = nullptr;
  pthread_key_t key;
  bool keyMade = false;
};

// Made once, never destroyed: threads that end and the watchdog may still
// use it while the process exits.
Registry& Records() {
  static Registry* registry = new Registry;
  return *registry;
}

struct Watchdog {
  std::mutex lock;
  std::condition_variable wake;  // a new limit, or an Interrupt to serve
  std::condition_variable left;  // the watchdog gave the interpreter lock back
  bool started = false;
  bool kicked = false;
  bool inPython = false;  // holds or waits for the interpreter lock
  // An interpreter runs and is not being finalized: stops may be sent.
  std::atomic<bool> pythonOpen{false};
};

Watchdog& Dog() {
  static Watchdog* dog = new Watchdog;
  return *dog;
}

__thread HostThreadRecord* tRecord __attribute__((tls_model("initial-exec")));

std::atomic<int32_t> gLimit{0};  // milliseconds, 0 for none

int64_t NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// How soon a stop that could not be sent is sent again.
constexpr int64_t kRetryMs = 2;

// How often the watchdog looks for calls while a limit is set.
int64_t PeriodMs(int32_t limit) {
  int64_t p = limit / 10;
  return p < 1 ? 1 : p > 100 ? 100 : p;
}

bool StopEntriesBound() {
  return EPyThreadState_SetAsyncExc && EPyThread_get_thread_ident && EPyGILState_Ensure &&
         EPyGILState_Release && EPyEval_SaveThread && EPyEval_RestoreThread &&
         e__PyExc_KeyboardInterrupt && *e__PyExc_KeyboardInterrupt;
}

int32_t DepthOf(const HostThreadRecord* r) { return __atomic_load_n(&r->state->depth, __ATOMIC_SEQ_CST); }

// Under the registry's lock. Arms the record's thread if it is inside a
// call; true when it is (armed now or before). The count and the slow
// returns come first, then the flag, then the depth is read again: a call
// that ended meanwhile disarms itself or is disarmed here.
bool Arm(HostThreadRecord* r, int64_t now) {
  if (!r->state) return false;
  if (r->armed.load()) return true;
  if (DepthOf(r) <= 0) return false;
  gWatchers.fetch_add(1);
  WatchNothing();
  r->armedAt = now;
  r->periodsStopped = 0;
  r->armed.store(1);
  __atomic_store_n(&r->state->watch, nullptr, __ATOMIC_SEQ_CST);
  if (DepthOf(r) > 0) return true;
  if (r->armed.exchange(0)) gWatchers.fetch_sub(1);
  return false;
}

// On the record's own thread: its entries take the fast way again where
// they may (the thread keeps the lock as the one that started Python).
void RestoreWatch(HostThreadRecord* r) {
  HostThreadState& t = tHostThread;
  PyThreadState* fast = WatchWhileHeld(t);
  if (!fast || __atomic_load_n(&t.watch, __ATOMIC_SEQ_CST)) return;
  __atomic_store_n(&t.watch, fast, __ATOMIC_SEQ_CST);
  if (r->armed.load()) __atomic_store_n(&t.watch, nullptr, __ATOMIC_SEQ_CST);
}

// On the record's own thread, at an outermost boundary.
void Disarm(HostThreadRecord* r) {
  int gone = 0;
  if (r->armed.load(std::memory_order_relaxed)) gone += r->armed.exchange(0);
  if (r->exempt.load(std::memory_order_relaxed)) gone += r->exempt.exchange(0);
  if (gone) gWatchers.fetch_sub(gone);
  RestoreWatch(r);
}

// Python's interpreter lock is held by this thread, inside a call.
bool HoldsPython() {
  return __atomic_load_n(&gLockManaged, __ATOMIC_ACQUIRE) && tHostThread.held != kLockNotHeld &&
         StopEntriesBound();
}

// A pending KeyboardInterrupt without arguments, raised by the limit, gets
// the message that says so. Anything else pending is left as it is.
void StateTheLimit(int32_t limit) {
  if (!EPyErr_Occurred || !EPyErr_Fetch || !EPyErr_Restore || !EPyErr_NormalizeException ||
      !EPyErr_GivenExceptionMatches || !EPyObject_GetAttrString || !EPyTuple_Size ||
      !EPy_BuildValue || !EPyObject_CallObject || !EPyErr_Clear)
    return;
  PyObject* interrupt = *e__PyExc_KeyboardInterrupt;
  PyObject* pending = EPyErr_Occurred();  // borrowed
  if (!pending || !EPyErr_GivenExceptionMatches(pending, interrupt)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  EPyErr_Fetch(&type, &value, &traceback);
  EPyErr_NormalizeException(&type, &value, &traceback);
  if (value && reinterpret_cast<PyObject*>(Py_TYPE(value)) == interrupt) {
    PyRef args(EPyObject_GetAttrString(value, "args"));
    if (args && EPyTuple_Size(args.get()) == 0) {
      char text[64];
      snprintf(text, sizeof text, "time limit of %ld millisecond%s exceeded", long(limit),
               limit == 1 ? "" : "s");
      PyRef message(EPy_BuildValue("(s)", text));
      PyObject* stated = message ? EPyObject_CallObject(interrupt, message.get()) : nullptr;
      if (stated) {
        PyRelease(value);
        value = stated;
      }
    }
    EPyErr_Clear();
  }
  EPyErr_Restore(type, value, traceback);  // the references pass back to Python
}

// The generation of the sub-interpreter the record's thread is in now (0:
// the main interpreter). Python stops a thread only from inside the
// interpreter whose code it runs.
uint32_t InSubInterpreter(HostThreadRecord* r) {
  HostThreadState* t = r->state;
  return t ? __atomic_load_n(&t->enteredGeneration, __ATOMIC_ACQUIRE) : 0;
}

// On the record's own thread at an outermost boundary: a stop sent for the
// call that ends (or for one that ended unseen) stays waiting nowhere.
void ForgetStop(HostThreadRecord* r) {
  if (!r->stopSent.load(std::memory_order_relaxed)) return;
  int32_t limit = r->limitStopped.exchange(0);
  r->stopSent.store(0);
  if (!HoldsPython()) return;
  TakeBackStop(r->ident);
  if (limit > 0) StateTheLimit(limit);
}

// Interpreter lock held. Raises KeyboardInterrupt in the record's thread if
// its call may be stopped; true when it was set.
bool Stop(HostThreadRecord* r, int32_t limit) {
  if (!r->state || !r->armed.load() || r->exempt.load()) return false;
  // A thread the call has just started carries the caller's id until it
  // runs (up to 3.11), and Python stops only the first state it finds with
  // the id, which is the newer one: the stop waits until the thread has an
  // id of its own.
  if (!InSubInterpreter(r) && ThreadStatesCarrying(r->ident) > 1) return false;
  if (StopWouldBreakAnImport(r->ident)) return false;
  if (EPyThreadState_SetAsyncExc(r->ident, *e__PyExc_KeyboardInterrupt) <= 0) return false;
  if (limit > 0) r->limitStopped.store(limit);
  r->stopSent.store(1);
  return true;
}

void ThreadEnded(void* record) {
  HostThreadRecord* r = static_cast<HostThreadRecord*>(record);
  std::lock_guard<std::mutex> guard(Records().lock);
  int gone = r->armed.exchange(0) + r->exempt.exchange(0);
  if (gone) gWatchers.fetch_sub(gone);
  r->stopWanted.store(0);
  r->retry.store(0);
  r->stopSent.store(0);
  r->limitStopped.store(0);
  r->state = nullptr;
  ++r->generation;
}

// --- The watchdog.

struct Due {
  HostThreadRecord* record;
  uint32_t generation;
  int32_t limit;  // the limit whose period ran out, 0 for an Interrupt
};

// Takes the interpreter lock and stops the calls that are due and still
// armed. Never while Finalize runs: it waits for this to end first. True
// when a stop could not be sent yet and is to be sent again soon.
bool StopDue(const std::vector<Due>& due) {
  Watchdog& dog = Dog();
  bool again = false;
  {
    std::lock_guard<std::mutex> guard(dog.lock);
    if (!dog.pythonOpen.load() || !StopEntriesBound()) return false;
    dog.inPython = true;
  }
  // Sends one stop, with the lock of the interpreter the thread is in held.
  auto send = [&](const Due& d) {
    HostThreadRecord* r = d.record;
    bool wanted = r->stopWanted.exchange(0) != 0;
    bool stopped = Stop(r, wanted ? 0 : d.limit);
    if (stopped && d.limit > 0 && !wanted) ++r->periodsStopped;
    if (!stopped && r->armed.load() && !r->exempt.load()) {
      r->retry.store(wanted ? 1 : 2);
      again = true;
    }
  };
  // Calls running in sub-interpreters are stopped from inside each one,
  // first: the main interpreter's lock may be kept by an idle host thread
  // meanwhile, and is taken only for calls in the main interpreter.
  std::vector<Due> inSubs, inMain;
  for (const Due& d : due) (InSubInterpreter(d.record) ? inSubs : inMain).push_back(d);
  for (const Due& d : inSubs) {
    uint32_t g = InSubInterpreter(d.record);
    SubInterpreter* sub = g ? SubOf(g) : nullptr;
    if (!sub || !dog.pythonOpen.load()) continue;
    InterpreterScope in(sub);
    if (!in.ok()) continue;
    std::lock_guard<std::mutex> guard(Records().lock);
    HostThreadRecord* r = d.record;
    if (r->generation != d.generation) continue;
    if (InSubInterpreter(r) != g) {
      r->retry.store(r->stopWanted.load() ? 1 : 2);  // moved on: sent again where it is
      again = true;
      continue;
    }
    send(d);
  }
  if (!inMain.empty()) {
    int state = EPyGILState_Ensure();
    if (dog.pythonOpen.load()) {
      std::lock_guard<std::mutex> guard(Records().lock);
      for (const Due& d : inMain) {
        HostThreadRecord* r = d.record;
        if (r->generation != d.generation) continue;
        if (InSubInterpreter(r)) {
          r->retry.store(r->stopWanted.load() ? 1 : 2);  // moved on: sent again where it is
          again = true;
          continue;
        }
        send(d);
      }
    }
    EPyGILState_Release(state);
  }
  std::lock_guard<std::mutex> guard(dog.lock);
  dog.inPython = false;
  dog.left.notify_all();
  return again;
}

// One look at every host thread: arms those in a call, stops those due.
// The time of the next look, or -1 when only an Interrupt can bring one.
int64_t Look() {
  int64_t now = NowMs();
  int32_t limit = gLimit.load();
  int64_t next = limit > 0 ? now + PeriodMs(limit) : -1;
  std::vector<Due> due;
  {
    std::lock_guard<std::mutex> guard(Records().lock);
    for (HostThreadRecord* r = Records().records; r; r = r->next) {
      // A stop not sent yet goes again only to the call it was meant for,
      // still armed; a call that ended took it back with its disarming.
      if (int again = r->retry.exchange(0)) {
        if (r->state && r->armed.load() && !r->exempt.load()) {
          if (again == 1) r->stopWanted.store(1);
          due.push_back({r, r->generation, limit});
        }
        continue;
      }
      bool wanted = r->stopWanted.load() != 0;
      if (!r->state || (limit <= 0 && !wanted) || r->exempt.load()) {
        r->stopWanted.store(0);
        continue;
      }
      if (!Arm(r, now)) {
        r->stopWanted.store(0);
        continue;
      }
      int64_t deadline = limit > 0 ? r->armedAt + (r->periodsStopped + 1) * int64_t(limit) : -1;
      if (wanted || (limit > 0 && now >= deadline)) {
        due.push_back({r, r->generation, limit});
      } else if (deadline >= 0 && deadline < next) {
        next = deadline;
      }
    }
  }
  if (!due.empty()) {
    // A stop that could not be sent is tried again soon.
    if (StopDue(due) && (next < 0 || next > now + kRetryMs)) next = now + kRetryMs;
    if (limit > 0 && next > now + PeriodMs(limit)) next = now + PeriodMs(limit);
  }
  return next;
}

void RunWatchdog() {
  Watchdog& dog = Dog();
  std::unique_lock<std::mutex> lock(dog.lock);
  int64_t next = -1;
  for (;;) {
    while (!dog.kicked) {
      if (next < 0) {
        dog.wake.wait(lock);
      } else {
        int64_t wait = next - NowMs();
        if (wait <= 0) break;
        dog.wake.wait_for(lock, std::chrono::milliseconds(wait));
      }
    }
    dog.kicked = false;
    lock.unlock();
    next = Look();
    lock.lock();
  }
}

// Starts the watchdog on first use and makes it look at once.
void Kick() {
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> guard(dog.lock);
  if (!dog.started) {
    try {
      std::thread(RunWatchdog).detach();
      dog.started = true;
    } catch (const std::exception&) {
      return;  // no thread: no limit and no Interrupt from other threads
    }
  }
  dog.kicked = true;
  dog.wake.notify_one();
}

}  // namespace

void InterruptJoinHostThread() {
  if (tRecord || !EPyThread_get_thread_ident) return;
  Registry& registry = Records();
  HostThreadRecord* r = nullptr;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    if (!registry.keyMade) {
      if (pthread_key_create(&registry.key, ThreadEnded) != 0) return;
      registry.keyMade = true;
    }
    for (HostThreadRecord* free = registry.records; free && !r; free = free->next)
      if (!free->state) r = free;
    if (!r) {
      r = new (std::nothrow) HostThreadRecord();
      if (!r) return;
      r->next = registry.records;
      registry.records = r;
    }
    r->state = &tHostThread;
    r->ident = EPyThread_get_thread_ident();
    ++r->generation;
  }
  pthread_setspecific(registry.key, r);
  tRecord = r;
}

void InterruptCallStarted() {
  if (HostThreadRecord* r = tRecord) {
    ForgetStop(r);
    Disarm(r);
  }
}

void InterruptCallEnded() {
  if (HostThreadRecord* r = tRecord) {
    ForgetStop(r);
    Disarm(r);
  }
}

void InterruptAfterInit() {
  StopsAfterInit();
  InterruptJoinHostThread();
  if (HostThreadRecord* r = tRecord) {
    if (!r->exempt.exchange(1)) {
      gWatchers.fetch_add(1);
      WatchNothing();
    }
  }
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> guard(dog.lock);
  dog.pythonOpen.store(true);
}

void InterruptSpareThisCall() {
  HostThreadRecord* r = tRecord;
  if (!r || !HoldsPython()) return;
  {
    // Stop runs with both the interpreter lock (held here) and the registry's
    // lock: after this no stop is sent, and one sent before is taken back.
    std::lock_guard<std::mutex> guard(Records().lock);
    if (!r->exempt.exchange(1)) {
      gWatchers.fetch_add(1);
      WatchNothing();
    }
    r->stopWanted.store(0);
    r->retry.store(0);
  }
  ForgetStop(r);
}

void InterruptBeforeFinalize() {
  Watchdog& dog = Dog();
  std::unique_lock<std::mutex> lock(dog.lock);
  dog.pythonOpen.store(false);
  // The watchdog may be waiting for the lock this thread holds: it is given
  // over until the watchdog has let it go again.
  if (dog.inPython && StopEntriesBound()) {
    PyThreadState* saved = EPyEval_SaveThread();
    dog.left.wait(lock, [&] { return !dog.inPython; });
    lock.unlock();
    EPyEval_RestoreThread(saved);
  } else {
    lock.unlock();
  }
  if (HostThreadRecord* r = tRecord) ForgetStop(r);
}

void Python_Interrupt() {
  if (!__atomic_load_n(&gLockManaged, __ATOMIC_ACQUIRE) || !StopEntriesBound()) return;
  HostThreadRecord* self = tRecord;
  // Called by host code that Python called on this very thread: stopped
  // here and now, on the way back into Python.
  bool here = self && tHostThread.depth > 0 && HoldsPython() && Dog().pythonOpen.load();
  bool others = false;
  int64_t now = NowMs();
  {
    std::lock_guard<std::mutex> guard(Records().lock);
    for (HostThreadRecord* r = Records().records; r; r = r->next) {
      if (r->exempt.load() || !Arm(r, now)) continue;
      // This very thread is stopped on its way back into Python; any other
      // call (or this one, when the stop must wait) by the watchdog.
      if (r != self || !here || !Stop(r, 0)) {
        r->stopWanted.store(1);
        others = true;
      }
    }
  }
  if (others) Kick();
}

void Python_SetTimeLimit(int32_t milliseconds) {
  int32_t limit = milliseconds > 0 ? milliseconds : 0;
  gLimit.store(limit);
  bool started;
  {
    std::lock_guard<std::mutex> guard(Dog().lock);
    started = Dog().started;
  }
  if (limit > 0 || started) Kick();
}
