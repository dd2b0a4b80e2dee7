// The interpreter lock around every plugin entry a host thread makes.
//
// While no thread but the host's uses Python, the thread that started the
// interpreter keeps its lock between calls, and an entry costs a few loads.
// As soon as another thread exists in Python (one Python code started, a
// native thread that asked for the interpreter, a second host thread waiting
// to call), or the host asked for it with AllowThreads(True),
// each outermost entry gives the lock back when it returns, so that those
// threads run while host code works or idles; the next entry takes it again.
// Work that arrived from other threads for a host thread (output, releases of
// host references) is delivered as an outermost entry ends.
#pragma once

#include <atomic>

#include "python/pyapi.h"

// How a thread holds the interpreter lock outside Python's own bookkeeping.
enum : int32_t {
  kLockNotHeld = 0,
  kLockHeldMain = 1,     // the thread that ran Py_Initialize, with the main thread state
  kLockHeldEnsured = 2,  // taken with PyGILState_Ensure; gilState to give it back
  kLockHeldSub = 3,      // a sub-interpreter's, with this thread's state there
  kLockHeldPinned = 4,   // the main one, with the thread's own kept state
};

struct SubInterpreter;

struct HostThreadState {
  // What the head of the interpreter's thread list must be for a returning
  // entry to have nothing to do: the main thread state while this thread
  // keeps the lock as the thread that started the interpreter, otherwise
  // null, which no head is while Python runs, so that every entry of this
  // thread takes the slow ways.
  PyThreadState* watch;
  int32_t depth;     // plugin entries running on this thread
  int32_t held;      // kLock*: how this thread holds the lock, also between calls
  int8_t gilState;  // PyGILState_Ensure's answer while held is kLockHeldEnsured
  int8_t host;      // 1 once the thread made a plugin entry with Python running
  // Sub-interpreters (interpreters.h): nonzero while the thread has an
  // activation, a switch frame, a copy or an error kept of one, so that its
  // entries and returns take the slow ways.
  int8_t subBusy;
  // The generation of the sub-interpreter current on this thread inside a
  // call (0: the main interpreter); which one it is, interpreters.cpp keeps.
  uint32_t enteredGeneration;
  // The error a thread without a thread state of its own between calls left
  // pending, kept for it until its next call (the state Python keeps errors
  // in goes when the lock is given back): null type when none.
  PyObject* errorType;
  PyObject* errorValue;
  PyObject* errorTraceback;
  uint32_t errorGeneration;  // the interpreter the error's objects belong to
  // KeepLock(True) in the interpreter of this number: the thread keeps the
  // lock across its returns whatever other threads exist (0: not kept).
  uint32_t keepGeneration;
};

// Initial-exec, and plain data (no initialisation hook): one load relative to
// the thread pointer on every entry. Kept to 56 bytes: a plugin loaded more
// than once in a process takes its initial-exec storage from a small reserve.
extern __thread HostThreadState tHostThread __attribute__((tls_model("initial-exec")));

// A thread's depth and watch are written by the thread itself and read, or
// the watch cleared, by the interrupt watchdog: every access is a relaxed
// atomic one, which compiles to the same plain loads and stores.
COILWORK_HOT int32_t Depth(const HostThreadState& t) { return __atomic_load_n(&t.depth, __ATOMIC_RELAXED); }
COILWORK_HOT void SetDepth(HostThreadState& t, int32_t d) { __atomic_store_n(&t.depth, d, __ATOMIC_RELAXED); }
// One step of the depth in one instruction where the processor adds to
// memory (x86): the same store the relaxed load and store make, without the
// register round trip, on the two steps every entry takes. A thread
// sanitizer build keeps the atomic steps, which it sees.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define COILWORK_ATOMIC_DEPTH 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define COILWORK_ATOMIC_DEPTH 1
#endif
COILWORK_HOT void StepDepth(HostThreadState& t, int32_t by) {
#if (defined(__x86_64__) || defined(__i386__)) && !defined(COILWORK_ATOMIC_DEPTH)
  asm volatile("addl %1, %0" : "+m"(t.depth) : "ri"(by));
#else
  SetDepth(t, Depth(t) + by);
#endif
}
COILWORK_HOT PyThreadState* Watch(const HostThreadState& t) { return __atomic_load_n(&t.watch, __ATOMIC_RELAXED); }
COILWORK_HOT void SetWatch(HostThreadState& t, PyThreadState* w) { __atomic_store_n(&t.watch, w, __ATOMIC_RELAXED); }

// True while an interpreter the plugin started runs and the lock entries are
// bound: only then is the lock managed.
extern bool gLockManaged;
// Every outermost entry gives the lock back (AllowThreads(True)).
// (KeepLock: see threads.cpp.)
extern bool gAllowThreads;
// The word a returning entry compares with its thread's watch: the place
// where the interpreter keeps the head of its thread list, whose head is the
// main thread state exactly when no other thread state exists. Whenever a
// returning entry must do more than that (no interpreter, the head's place
// unknown, AllowThreads(True), work waiting), it points at a word that holds
// no thread state, so that every returning entry takes the slow way, which
// sorts it out and points it back.
extern PyThreadState* const* gThreadHead;
extern PyThreadState* gMainState;
// The word that holds no thread state: what returning entries read while
// they must take the slow way.
extern PyThreadState* gNoHead;

// The slow ways in and out, kept out of line so that the fast way of every
// entry stays a few instructions without spilled registers.
__attribute__((noinline, cold)) void EnterLockSlow();
__attribute__((noinline, cold)) void LeaveLockSlow();
// Where another interpreter of the running Python keeps the head of its
// thread list (the same place as the main one's), or null where unknown.
PyThreadState* const* ThreadHeadOf(PyInterpreterState* interp);
// Makes every returning entry take the slow way until an outermost one has
// looked at what waits (safe from any thread).
void WatchNothing();
// Whether the thread keeps the lock across its returns (KeepLock(True) in the
// running interpreter), and the watch that lets its entries take the fast
// ways while it holds the lock: null where they must take the slow ones.
bool KeepsLock(const HostThreadState& t);
// With the lock held: how many thread states carry the thread id (more than
// one while a thread that thread started has not run yet, up to 3.11); -1
// where that cannot be told.
int ThreadStatesCarrying(unsigned long ident);
// With the lock of the calling thread's interpreter held and its state
// current: look(state) for the first state of that interpreter that carries
// ident, kept from deletion meanwhile. False when none carries it.
bool LookAtStateCarrying(unsigned long ident, bool (*look)(PyThreadState*));
PyThreadState* WatchWhileHeld(const HostThreadState& t);
// Points the thread's entries at the fast ways again where they may take
// them (after its sub-interpreter business ended).
void RestoreFastWatch(HostThreadState& t);

// A host thread other than the home thread keeps one thread state of its
// own in the main interpreter from its first call until it ends or Python
// stops, so that Python sees it as one thread across its calls (its
// threading.local values, its threading.current_thread()). Made on first
// use; null on the home thread, or where no state can be made.
PyThreadState* OwnMainState();

// True on a thread that has called into the plugin: code Python runs there
// may call host functions and raise host events.
COILWORK_HOT bool OnHostThread() { return tHostThread.host != 0; }

// The record of the home thread: the host thread that called Init last. Work
// Python's threads hand to the host runs there only.
extern HostThreadState* gHomeThread;
COILWORK_HOT bool OnHomeThread() {
  return &tHostThread == __atomic_load_n(&gHomeThread, __ATOMIC_RELAXED);
}
// On the home thread, between pieces of queued work: takes the lock again
// where host code that ran meanwhile gave it back (an outermost call of its
// own returning). False when no interpreter runs.
bool HoldHomeLock();

// How many hold or wait for the main interpreter's lock besides the home
// thread: host threads other than the home one inside a call that uses it
// (in the main interpreter or in one that shares its lock, including the
// interrupt watchdog's visits), and sub-interpreters sharing it with Python
// threads of their own. Code those run gives the lock away inside Python
// (a sleep, I/O, an import lock) and waits for it again there, where the
// home thread cannot see it; so while any is counted, the home thread gives
// the lock back as its calls return, as it does for the main interpreter's
// own threads.
extern std::atomic<int> gSharedLockWanted;
// A host thread other than the home one begins to use the main lock for its
// current outermost call (counted once), and has given it back.
void CountMainLockUse();
void UncountMainLockUse();
// Set for good once an interpreter with a lock of its own has been made:
// from then on, plugin state that the main lock alone kept in order is
// guarded by locks of its own.
extern std::atomic<bool> gOwnLockInterpreters;

// One plugin entry from host code: the lock for its whole duration. The
// thread that started the interpreter and keeps its lock enters with one
// load and returns with three, and counts its depth on the way, which no
// other instruction waits for; everything else (no interpreter, another
// thread, work waiting, AllowThreads) goes to the slow ways, which sort it out.
struct HostCall {
  COILWORK_HOT HostCall() {
    HostThreadState& t = tHostThread;
    StepDepth(t, 1);
    if (__builtin_expect(Watch(t) == nullptr, 0)) EnterLockSlow();
  }
  COILWORK_HOT ~HostCall() {
    HostThreadState& t = tHostThread;
    StepDepth(t, -1);
    PyThreadState* const* head = __atomic_load_n(&gThreadHead, __ATOMIC_RELAXED);
    if (__builtin_expect(__atomic_load_n(head, __ATOMIC_RELAXED) != Watch(t), 0)) LeaveLockSlow();
  }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
};

// Whether an entry of this thread would do nothing on its way in and out:
// the thread keeps the main lock with the main state (its watch), nobody
// waits for the lock (the thread list's head is that state), and no
// sub-interpreter is entered. Members that can run no Python code take no
// entry steps then (the int readers, the holder's end).
COILWORK_HOT bool EntryWouldDoNothing(const HostThreadState& t) {
  PyThreadState* w = Watch(t);
  return __builtin_expect(w == gMainState && w != nullptr, 1) &&
         __atomic_load_n(__atomic_load_n(&gThreadHead, __ATOMIC_RELAXED), __ATOMIC_RELAXED) == w &&
         !t.enteredGeneration;
}

// The word of the main thread state that is set exactly while an error is
// pending (found at Init), or -1.
extern int gErrorWord;
// The main thread state while that word is known, and the word's address;
// otherwise a value that no thread's watch ever holds.
extern PyThreadState* gErrorWatch;
extern PyObject* const* gErrorSlot;

// Whether an error is pending on this thread. The thread that keeps the lock
// with the main thread state reads the state's word itself, which is all
// PyErr_Occurred does there; any other thread asks Python.
COILWORK_HOT bool ErrorPending() {
  if (__builtin_expect(Watch(tHostThread) == gErrorWatch, 1)) return *gErrorSlot != nullptr;
  return PythonRunning() && EPyErr_Occurred && EPyErr_Occurred();
}

// An error still pending from an earlier call (host code did not read or
// clear it), set aside while a member runs Python code: Python must never run
// with an exception set, which release builds turn into a SystemError that
// hides the member's real answer and debug builds into a fatal error. When
// the member raises, its own error is the one left pending; when it does
// not, the earlier error is pending again, unchanged.
struct PendingErrorAside {
  PyObject* type = nullptr;  // the rest is set with it
  PyObject* value;
  PyObject* traceback;
  uint32_t generation;

  COILWORK_HOT PendingErrorAside() {
    if (__builtin_expect(ErrorPending(), 0)) SetAside();
  }
  COILWORK_HOT ~PendingErrorAside() {
    if (__builtin_expect(type != nullptr, 0)) PutBack();
  }
  PendingErrorAside(const PendingErrorAside&) = delete;
  PendingErrorAside& operator=(const PendingErrorAside&) = delete;

 private:
  __attribute__((noinline, cold)) void SetAside();
  __attribute__((noinline, cold)) void PutBack();
};

// The record word of a member, constructor, destructor or property accessor:
// a function of the same signature that holds the lock around the call. For
// a member that runs Python code (calls, imports, code strings, attribute
// access, comparisons), SetAside also sets an earlier pending error aside
// for the member's duration.
template <class F, F f, bool SetAside = false>
struct HostEntry;
template <class R, class... A, R (*f)(A...), bool SetAside>
struct HostEntry<R (*)(A...), f, SetAside> {
  static R Call(A... a) noexcept {
    HostCall call;
    if constexpr (SetAside) {
      PendingErrorAside aside;
      return f(a...);
    } else {
      return f(a...);
    }
  }
};

// ---------------------------------------------------------------------------
// The lock layer's own steps, for the slow ways of the entries (threads.cpp).

// Whether a thread other than this one wants the lock (with the lock held).
bool OtherThreadsExist();
// Takes the lock for a thread that holds none.
void TakeLock(HostThreadState& t);
// The watch of the thread that asked KeepLock(True) last (null: none).
PyThreadState* KeepersWatch();
void SetKeepersWatch(PyThreadState* w);
// The word returning entries are to compare with, as far as the lock decides
// it: the thread list's head, the keeper's watch, or gNoHead.
PyThreadState* const* HeadForReturns();
// At an outermost return of the thread that keeps the lock with the main
// state: its entries take the fast ways again.
void WatchHeadAtReturn(HostThreadState& t);
// Whether the thread has its own state in the main interpreter; as the
// thread ends, that state taken from it (null where it has none that the
// running interpreter knows), and handed to the home thread to delete.
bool HasOwnMainState();
PyThreadState* TakeOwnMainState();
void HandOverOwnState(PyThreadState* own);
// On the home thread with the main interpreter's lock: whether ended
// threads' states wait, and their deletion.
bool StatesEnded();
void DeleteEndedStates();
// After Py_Initialize, on the thread that ran it with the lock held: finds
// what the entries read; false when the lock cannot be managed. Before and
// after Py_Finalize: forgets what goes with the interpreter.
bool HostLockAfterInit();
void HostLockBeforeFinalize();
void HostLockAfterFinalize();
