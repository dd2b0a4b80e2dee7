// The interpreter lock between the host's threads and Python's (host_call.h),
// and the Coilwork shared methods AllowThreads and DeliverOutput.
#include "interpreter/interpreter.h"
#include "interpreter/output_queue.h"

thread_local HostThreadState tHostThread __attribute__((tls_model("initial-exec")));
bool gLockManaged;

namespace {

PyThreadState* gMainState;       // the thread state Py_Initialize made
PyInterpreterState* gInterpreter;
bool gAllowThreads;              // every outermost entry gives the lock back

bool LockEntriesBound() {
  return EPyEval_SaveThread && EPyGILState_Ensure && EPyGILState_Release && EPyThreadState_Get &&
         EPyInterpreterState_Head && EPyInterpreterState_ThreadHead && EPyThreadState_Next;
}

// Whether a thread state other than the main one exists. Python adds new
// thread states at the head of the interpreter's list, so the main state,
// made first, stays last: the list holds nothing else exactly when the main
// state is its head and has no successor.
bool OtherThreadsExist() {
  return EPyInterpreterState_ThreadHead(gInterpreter) != gMainState ||
         EPyThreadState_Next(gMainState) != nullptr;
}

void ReleaseLock(HostThreadState& t) {
  if (t.held == kLockHeldSinceInit) {
    // The main state stays bound to this thread: PyGILState_Ensure finds it.
    EPyEval_SaveThread();
  } else if (t.held == kLockHeldEnsured) {
    EPyGILState_Release(t.gilState);
  }
  t.held = kLockNotHeld;
}

}  // namespace

void EnterLockSlow() {
  HostThreadState& t = tHostThread;
  t.host = 1;
  if (t.held == kLockNotHeld) {
    t.gilState = EPyGILState_Ensure();
    t.held = kLockHeldEnsured;
  }
  if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
}

void LeaveLockSlow() {
  HostThreadState& t = tHostThread;
  if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
  // Delivery runs host code, which may even have stopped the interpreter.
  if (!gLockManaged || t.held == kLockNotHeld) return;
  if (gAllowThreads || OtherThreadsExist()) ReleaseLock(t);
}

void ThreadsAfterInit() {
  tHostThread.host = 1;
  if (!LockEntriesBound()) return;
  // Before 3.7 the lock exists only once asked for; from 3.7 on this does
  // nothing.
  if (EPyEval_InitThreads) EPyEval_InitThreads();
  gMainState = EPyThreadState_Get();
  gInterpreter = EPyInterpreterState_Head();
  if (!gMainState || !gInterpreter) return;
  tHostThread.held = kLockHeldSinceInit;
  gLockManaged = true;
}

void ThreadsAfterFinalize() {
  gLockManaged = false;
  tHostThread.held = kLockNotHeld;
  gMainState = nullptr;
  gInterpreter = nullptr;
  DeliverQueuedWork();
}

void Python_AllowThreads(int8_t allow) { gAllowThreads = allow != 0; }

void Python_DeliverOutput() {
  if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
}
