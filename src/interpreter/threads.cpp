// The slow ways of the plugin's entries (host_call.h): on top of the lock
// layer (host_call.cpp), what an outermost call begins and ends with (the
// thread's activated sub-interpreter and kept error, stops, work waiting for
// the home thread) and what a host thread leaves behind as it ends; and the
// Coilwork shared methods AllowThreads, KeepLock and DeliverOutput.
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "interpreter/interrupt.h"
#include "interpreter/stops.h"
#include "interpreter/thread_identity.h"
#include "plugin/output_queue.h"

namespace {

void ReleaseLock(HostThreadState& t);

// What a host thread leaves behind when it ends: the references of an error
// it kept for a next call it never made, given back on a host thread; a lock
// it kept with KeepLock(True), which no other thread could otherwise ever
// take again; and its own thread state in the main interpreter.
struct HostThreadLife {
  bool armed = false;  // set once, so that the destructor is registered
  ~HostThreadLife();
};
thread_local HostThreadLife tLife;

// Before a thread state that goes with the lock is given back: its pending
// error is kept for the thread's next call.
void KeepPendingError(HostThreadState& t) {
  if (!EPyErr_Occurred || !EPyErr_Fetch || !EPyErr_Occurred()) return;
  if (t.errorType) {
    // An older error kept for another interpreter: this one is newer.
    PyObject* older[] = {t.errorType, t.errorValue, t.errorTraceback};
    t.errorType = t.errorValue = t.errorTraceback = nullptr;
    ReleasePythonOnHostThread(older, 3, t.errorGeneration);
  }
  EPyErr_Fetch(&t.errorType, &t.errorValue, &t.errorTraceback);
  t.errorGeneration = gInterpreterGeneration;
  if (!tLife.armed) tLife.armed = true;  // registers its destructor
}

// After the lock is taken again by the outermost entry: the kept error is
// pending once more, unless it belongs to an interpreter that has stopped
// since (its objects are gone with it).
void RestoreKeptError(HostThreadState& t) {
  // An error of another interpreter that still runs waits until that one
  // is current again (the error members go to it).
  const uint32_t g = t.errorGeneration;
  if (g != CurrentGeneration() && (g == gInterpreterGeneration || SubOf(g))) return;
  PyObject *type = t.errorType, *value = t.errorValue, *traceback = t.errorTraceback;
  t.errorType = t.errorValue = t.errorTraceback = nullptr;
  if (g == CurrentGeneration() && EPyErr_Restore) EPyErr_Restore(type, value, traceback);
}

void ReleaseLock(HostThreadState& t) {
  if (KeepersWatch() == Watch(t)) SetKeepersWatch(nullptr);
  if (t.held == kLockHeldMain) {
    // The main state stays bound to this thread: PyEval_RestoreThread or
    // PyGILState_Ensure finds it again.
    EPyEval_SaveThread();
  } else if (t.held == kLockHeldEnsured) {
    if (t.depth == 0) KeepPendingError(t);
    EPyGILState_Release(t.gilState);
  } else if (t.held == kLockHeldPinned) {
    EPyEval_SaveThread();  // the state is the thread's for good, error and all
  }
  t.held = kLockNotHeld;
  SetWatch(t, nullptr);
  UncountMainLockUse();
}

HostThreadLife::~HostThreadLife() {
  HostThreadState& t = tHostThread;
  if (KeepsLock(t) && t.held != kLockNotHeld && Depth(t) == 0) {
    if (KeepersWatch() == WatchWhileHeld(t)) SetKeepersWatch(nullptr);
    t.keepGeneration = 0;
    ReleaseLock(t);
    WatchNothing();  // other threads' returns look at the rule again
  }
  if (t.errorType) {
    PyObject* objects[] = {t.errorType, t.errorValue, t.errorTraceback};
    t.errorType = t.errorValue = t.errorTraceback = nullptr;
    ReleasePythonOnHostThread(objects, 3, t.errorGeneration);
  }
  // A thread that ends inside a call, or holding the lock, leaves its state.
  if (t.held == kLockNotHeld && Depth(t) == 0) {
    if (PyThreadState* own = TakeOwnMainState()) {
      ForgetHostThreadHooks(gInterpreterGeneration);
      HandOverOwnState(own);
    }
  }
}

// Points returning entries at the thread list's head where that is all they
// need to read; otherwise at gNoHead.
void WatchWhatApplies() {
  PyThreadState* const* head = HeadForReturns();
  // Captured process output is read as each outermost call returns.
  if (InterruptWatchesReturns() || ProcessOutputCaptured()) head = &gNoHead;
  __atomic_store_n(&gThreadHead, head, __ATOMIC_SEQ_CST);
  // A thread armed meanwhile (interrupt.cpp) points returns away again.
  if (head != &gNoHead && InterruptWatchesReturns()) WatchNothing();
}

}  // namespace

// Set while DeliverOutput enters: the calls its entry runs are answered as
// it returns, after the lock has been given back, so that each caller wakes
// once, to a free lock.
thread_local bool tHoldAnswersAtEntry;

void EnterLockSlow() {
  if (!gLockManaged) return;
  HostThreadState& t = tHostThread;
  if (!t.host) InterruptJoinHostThread();
  t.host = 1;
  if (t.subBusy && t.depth == 1 && EnterActivated(t)) {
    // In the activated sub-interpreter, with its lock.
  } else if (t.held == kLockNotHeld) {
    if (!gSharedLockWanted.load(std::memory_order_relaxed) || !TakeMainLockThroughBusySub(t)) TakeLock(t);
  }
  if (__builtin_expect(t.errorType != nullptr, 0) && t.depth == 1) RestoreKeptError(t);
  // A host thread other than the home one, in the main interpreter with its
  // own state: Python's view of it is brought up to date.
  if (t.depth == 1 && t.held == kLockHeldPinned) AdoptHostThread(gInterpreterGeneration);
  if (t.depth == 1) InterruptCallStarted();
  if (t.depth == 1 && gHostWorkPending.load(std::memory_order_acquire))
    DeliverQueuedWork(tHoldAnswersAtEntry);
}

void LeaveLockSlow() {
  HostThreadState& t = tHostThread;
  // Interpreters entered for the member that returns are left.
  if (t.subBusy) {
    LeaveSwitches(t);
    // Where the switch was all that sent the return here, it is done: its
    // watch is the fast one again, and whatever else needs a slow return
    // (work queued, a thread waiting, a stop, AllowThreads) has pointed
    // gThreadHead away from it.
    if (__atomic_load_n(__atomic_load_n(&gThreadHead, __ATOMIC_RELAXED), __ATOMIC_RELAXED) == Watch(t)) return;
  }
  // Only the outermost entry gives the lock back or delivers.
  if (t.depth != 0) return;
  // A state of its own that the thread was given in the main interpreter
  // is handed over as the thread ends.
  if (HasOwnMainState() && !tLife.armed) tLife.armed = true;  // registers its destructor
  // The callers of calls run here wake once the lock is given back.
  struct WakeAtEnd {
    ~WakeAtEnd() { WakeHeldAnswers(); }
  } wake;
  InterruptCallEnded();
  // Pointed back before the queue is looked at: work queued after that
  // points it away again (the queue is filled before gThreadHead is moved).
  WatchWhatApplies();
  if (OnHomeThread()) TakeProcessOutput();
  if (gHostWorkPending.load(std::memory_order_seq_cst)) DeliverQueuedWork(true);
  // Delivery runs host code, which may even have stopped the interpreter.
  if (!gLockManaged || t.held == kLockNotHeld) return;
  if (gSharedLockWanted.load(std::memory_order_relaxed)) LookAtSubThreads();
  if (t.held == kLockHeldMain && StatesEnded()) DeleteEndedStates();
  if (KeepsLock(t)) return;
  // Host code run inside a switch of the thread's own (a handed-over call in
  // a sub-interpreter): the switch gives the lock back as it ends.
  if (t.subBusy && InsideSwitch()) return;
  if (gAllowThreads || OtherThreadsExist() || t.held != kLockHeldMain) {
    ReleaseLock(t);
    return;
  }
  WatchHeadAtReturn(t);
}

void ThreadsAfterInit() {
  if (!HostLockAfterInit()) return;
  InterpretersAfterInit();
  InterruptAfterInit();
  ImportThreadingAtInit();
  WatchWhatApplies();
}

void ThreadsBeforeFinalize() {
  HostLockBeforeFinalize();
  WatchWhatApplies();
}

void ThreadsAfterFinalize() {
  HostLockAfterFinalize();
  WatchWhatApplies();
  DeliverQueuedWork();
}

void Python_AllowThreads(int8_t allow) {
  gAllowThreads = allow != 0;
  // The slow way of this very call's return gives the lock back, or points
  // returning entries at the thread list again.
  WatchNothing();
}

void Python_KeepLock(int8_t keep) {
  HostThreadState& t = tHostThread;
  if (!gLockManaged || t.held == kLockNotHeld) return;
  if (keep) {
    if (!KeepsLock(t)) {
      t.keepGeneration = gInterpreterGeneration;
      if (!tLife.armed) tLife.armed = true;  // registers its destructor
    }
    // A value no thread list's head ever holds (this thread's own record),
    // unless the thread already has one that its head may hold.
    SetWatch(t, WatchWhileHeld(t));
    SetKeepersWatch(Watch(t));
  } else {
    if (!KeepsLock(t)) return;
    t.keepGeneration = 0;
    if (KeepersWatch() == WatchWhileHeld(t)) SetKeepersWatch(nullptr);
    SetWatch(t, t.held == kLockHeldMain ? gMainState : nullptr);
  }
  // This call's return takes the slow way: it points returning entries at
  // what applies now, and gives the lock back where the rule says so.
  WatchNothing();
}

// Without the lock wrapper: a host timer calls this every few milliseconds,
// and with nothing queued it takes no lock at all.
void Python_DeliverOutput() {
  if (!OnHomeThread()) return;
  TakeProcessOutput();
  if (!gHostWorkPending.load(std::memory_order_acquire)) {
    // Nothing queued, but a thread may wait for the lock the home thread
    // keeps between its calls: an entry whose return sees that gives it over,
    // as any other call's return does.
    HostThreadState& t = tHostThread;
    if (Depth(t) == 0 && t.held != kLockNotHeld &&
        __atomic_load_n(__atomic_load_n(&gThreadHead, __ATOMIC_RELAXED), __ATOMIC_RELAXED) != Watch(t)) {
      HostCall call;
    }
    return;
  }
  // Outermost, the entry delivers (or, where the lock is kept, the return
  // does), and the return gives the lock back, then wakes the callers.
  // Inside another call the lock is held already, and callers wake at once.
  const bool outermost = Depth(tHostThread) == 0;
  {
    tHoldAnswersAtEntry = outermost;
    HostCall call;
    tHoldAnswersAtEntry = false;
    if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork(outermost);
  }
  // Whichever way the return went, no caller stays waiting for its wake.
  if (outermost) WakeHeldAnswers();
}
