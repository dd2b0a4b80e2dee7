// The interpreter lock around every plugin entry a host thread makes.
//
// While no thread but the host's uses Python, the thread that started the
// interpreter keeps its lock between calls, and an entry costs a few loads
// and stores. As soon as another thread exists in Python (one Python code
// started, a native thread that asked for the interpreter, a second host
// thread waiting to call), or the host asked for it with AllowThreads(True),
// each outermost entry gives the lock back when it returns, so that those
// threads run while host code works or idles; the next entry takes it again.
// Work that arrived from other threads for a host thread (output, releases of
// host references) is delivered as an outermost entry starts and ends.
#pragma once

#include <atomic>

#include "python/pyapi.h"

// How a thread holds the interpreter lock outside Python's own bookkeeping.
enum : int32_t {
  kLockNotHeld = 0,
  kLockHeldSinceInit = 1,  // the thread that ran Py_Initialize, never given back since
  kLockHeldEnsured = 2,    // taken with PyGILState_Ensure; gilState to give it back
};

struct HostThreadState {
  int32_t depth;     // plugin entries running on this thread
  int32_t held;      // kLock*: how this thread holds the lock, also between calls
  int32_t gilState;  // PyGILState_Ensure's answer while held is kLockHeldEnsured
  int32_t host;      // 1 once the thread made a plugin entry with Python running
};

// Initial-exec, and plain data (no initialisation hook): one load relative to
// the thread pointer on every entry.
extern __thread HostThreadState tHostThread __attribute__((tls_model("initial-exec")));

// True while an interpreter the plugin started runs and the lock entries are
// bound: only then is the lock managed.
extern bool gLockManaged;
// Every outermost entry gives the lock back (AllowThreads(True)).
extern bool gAllowThreads;
// Every outermost entry that returns takes the slow way: AllowThreads(True),
// or the head of the thread list could not be found. One byte for both, so
// that the fast way reads one flag fewer.
extern bool gLeaveSlowly;
// Set when work from other threads waits for a host thread.
extern std::atomic<bool> gHostWorkPending;
// The interpreter's list of thread states: where its head is kept, and the
// state Py_Initialize made, which stays last. The list holds that state alone
// exactly when the head is that state. Never null: while no interpreter runs,
// or where the head's place could not be told, it points at gMainState itself
// (and gLeaveSlowly makes Python's own functions be asked instead).
extern PyThreadState* const* gThreadHead;
extern PyThreadState* gMainState;

// The slow ways in and out, kept out of line so that the fast way of every
// entry stays a few instructions without spilled registers.
__attribute__((noinline, cold)) void EnterLockSlow();
__attribute__((noinline, cold)) void LeaveLockSlow();

// True on a thread that has called into the plugin: code Python runs there
// may call host functions and raise host events.
COILWORK_HOT bool OnHostThread() { return tHostThread.host != 0; }

// Whether an outermost entry that returns must do more than return: deliver
// work, or give the lock back because the host asked for it or because
// another thread may exist in Python.
COILWORK_HOT bool LeaveNeedsWork() {
  return gHostWorkPending.load(std::memory_order_relaxed) || gLeaveSlowly ||
         __atomic_load_n(gThreadHead, __ATOMIC_RELAXED) != gMainState;
}

// One plugin entry from host code: the lock for its whole duration. The
// thread that started the interpreter and keeps its lock passes with a few
// loads; everything else (no interpreter, another thread, work waiting) goes
// to EnterLockSlow, which sorts it out.
struct HostCall {
  COILWORK_HOT HostCall() {
    HostThreadState& t = tHostThread;
    if (t.depth++ == 0 &&
        (t.held != kLockHeldSinceInit || gHostWorkPending.load(std::memory_order_relaxed)))
      EnterLockSlow();
  }
  COILWORK_HOT ~HostCall() {
    HostThreadState& t = tHostThread;
    // While no interpreter runs, gThreadHead points at gMainState and only
    // work waiting for a host thread leads to LeaveLockSlow, which delivers it.
    if (t.depth == 1 && LeaveNeedsWork()) LeaveLockSlow();
    --t.depth;
  }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
};

// The record word of a member, constructor, destructor or property accessor:
// a function of the same signature that holds the lock around the call.
template <class F, F f>
struct HostEntry;
template <class R, class... A, R (*f)(A...)>
struct HostEntry<R (*)(A...), f> {
  static R Call(A... a) {
    HostCall call;
    return f(a...);
  }
};
