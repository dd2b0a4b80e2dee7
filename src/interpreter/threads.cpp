// The interpreter lock between the host's threads and Python's (host_call.h),
// and the Coilwork shared methods AllowThreads and DeliverOutput.
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "interpreter/interrupt.h"
#include "interpreter/output_queue.h"
#include "interpreter/thread_identity.h"

#include <dlfcn.h>
#include <link.h>

#include <mutex>
#include <vector>

__thread HostThreadState tHostThread __attribute__((tls_model("initial-exec")));
HostThreadState* gHomeThread;
bool gLockManaged;
bool gAllowThreads;
PyThreadState* gMainState;
int gErrorWord = -1;

namespace {

// A word that holds no thread state: what returning entries read while they
// must take the slow way.
PyThreadState* gNoHead = reinterpret_cast<PyThreadState*>(uintptr_t{1});

PyInterpreterState* gInterpreter;
// Where the interpreter keeps its thread list's head, null where unknown.
PyThreadState* const* gRealHead;

bool LockEntriesBound() {
  return EPyEval_SaveThread && EPyGILState_Ensure && EPyGILState_Release && EPyThreadState_Get &&
         EPyInterpreterState_Head && EPyInterpreterState_ThreadHead && EPyThreadState_Next;
}

// Host threads' own states in the main interpreter (OwnMainState) that
// exist now, and the lock their deletion takes: the plugin deletes them
// without the interpreter lock, so that a walk of the thread list, made with
// the lock, takes it too and never meets a state being freed.
std::atomic<int> gOwnStates{0};
std::mutex gOwnStatesDeletion;

// Whether a thread other than this one wants the lock: a thread state other
// than the main one and the idle host threads' own ones, or a host thread
// waiting. Python adds new thread states at the head of the interpreter's
// list, so the main state, made first, stays last: the list holds nothing
// else exactly when the main state is its head and has no successor.
bool OtherThreadsExist() {
  if (gSharedLockWanted.load(std::memory_order_relaxed)) return true;
  PyThreadState* head = EPyInterpreterState_ThreadHead(gInterpreter);
  if (head == gMainState && EPyThreadState_Next(gMainState) == nullptr) return false;
  const int own = gOwnStates.load(std::memory_order_acquire);
  if (own == 0) return true;
  // Host threads' own states while those threads wait for nothing: only the
  // states beyond them are threads that run.
  std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
  int others = 0;
  for (PyThreadState* s = EPyInterpreterState_ThreadHead(gInterpreter); s; s = EPyThreadState_Next(s))
    if (s != gMainState && ++others > own) return true;
  return false;
}

// How many words from the interpreter's start may be read. Where it lies
// inside the library's own data (the main interpreter from 3.11 on, whose
// head comes after other state in 3.12 and 3.13), up to the end of that
// object. Otherwise it is a heap block of Python 3.10 or older, whose
// structure starts with the next interpreter and the head of the thread
// list and is no shorter than 4 words (3.6 has about 15): reading further
// would read past the block.
int ReadableWords() {
  constexpr int kAlways = 4, kMost = 4096;
  Dl_info info;
  const ElfW(Sym)* symbol = nullptr;
  void* entry = nullptr;
  if (!dladdr1(gInterpreter, &info, &entry, RTLD_DL_SYMENT)) return kAlways;
  symbol = static_cast<const ElfW(Sym)*>(entry);
  if (!symbol || !info.dli_saddr) return kAlways;
  uintptr_t start = reinterpret_cast<uintptr_t>(gInterpreter);
  uintptr_t end = reinterpret_cast<uintptr_t>(info.dli_saddr) + symbol->st_size;
  if (end <= start) return kAlways;
  size_t words = (end - start) / sizeof(void*);
  return words < size_t(kAlways) ? kAlways : words > size_t(kMost) ? kMost : int(words);
}

// Finds where the interpreter keeps the head of its thread-state list, so
// that every outermost entry can read it with one load instead of a call
// into Python. A thread state made for a moment becomes the head: the one
// word that changes from the main state to it, and back, is the place. Null
// when that is not clear.
PyThreadState* const* FindThreadHead() {
  if (!EPyThreadState_New || !EPyThreadState_Clear || !EPyThreadState_Delete) return nullptr;
  if (EPyInterpreterState_ThreadHead(gInterpreter) != gMainState) return nullptr;
  PyThreadState* const* words = reinterpret_cast<PyThreadState* const*>(gInterpreter);
  int count = ReadableWords();
  std::vector<bool> wasMain(static_cast<size_t>(count), false);
  for (int i = 0; i < count; ++i) wasMain[size_t(i)] = words[i] == gMainState;
  PyThreadState* probe = EPyThreadState_New(gInterpreter);
  if (!probe) return nullptr;
  int found = -1, matches = 0;
  for (int i = 0; i < count; ++i) {
    if (wasMain[size_t(i)] && words[i] == probe) {
      found = i;
      ++matches;
    }
  }
  EPyThreadState_Clear(probe);
  EPyThreadState_Delete(probe);
  if (matches != 1 || words[found] != gMainState) return nullptr;
  return &words[found];
}

// The watch value of the thread that asked KeepLock(True) last, and the word
// returning entries read while it keeps the lock: the two are equal, so that
// its entries return as cheaply as those of a thread alone with Python,
// whatever other threads exist. Every other thread's entries differ from it
// and take the slow way.
PyThreadState* gKeeperWatch;

PyThreadState* KeepersWatch() { return __atomic_load_n(&gKeeperWatch, __ATOMIC_RELAXED); }
void SetKeepersWatch(PyThreadState* w) { __atomic_store_n(&gKeeperWatch, w, __ATOMIC_RELAXED); }

void ReleaseLock(HostThreadState& t);

// What a host thread leaves behind when it ends: the references of an error
// it kept for a next call it never made, given back on a host thread; a lock
// it kept with KeepLock(True), which no other thread could otherwise ever
// take again; and its own thread state in the main interpreter.
struct HostThreadLife {
  bool armed = false;  // set once, so that the destructor is registered
  PyThreadState* own = nullptr;
  uint32_t ownGeneration = 0;  // the interpreter the state belongs to
  ~HostThreadLife();
};
thread_local HostThreadLife tLife;

// Takes the lock with a thread state that is not the main one. The home
// thread keeps the lock between its calls while nothing else wants it; a
// thread waiting here says so, and the home thread gives it over as its next
// call returns.
void RestoreWaiting(PyThreadState* state) {
  gSharedLockWanted.fetch_add(1);
  WatchNothing();
  EPyEval_RestoreThread(state);
  gSharedLockWanted.fetch_sub(1);
}

int gIdentWord = -1;

// Own states of host threads that have ended, for the home thread to delete
// with the lock (gOwnStatesDeletion): an ending thread never waits for the
// lock, which the home thread may keep while it waits for that very thread
// to end.
std::vector<PyThreadState*>& gEndedStates = *new std::vector<PyThreadState*>();
std::atomic<bool> gStatesEnded{false};

void HandOverOwnState(HostThreadLife& life) {
  PyThreadState* own = life.own;
  life.own = nullptr;
  if (!own || life.ownGeneration != gInterpreterGeneration || !PythonRunning()) return;
  ForgetHostThreadHooks(life.ownGeneration);
  {
    std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
    // The thread's id may soon be another thread's: the state no longer
    // carries it, so that a stop sent by id never lands in it.
    if (gIdentWord >= 0) reinterpret_cast<uintptr_t*>(own)[gIdentWord] = 0;
    gEndedStates.push_back(own);
  }
  gStatesEnded.store(true);
  WatchNothing();
}

// On the home thread with the main interpreter's lock: the ended threads'
// states go, and with them their threading.local values and errors.
void DeleteEndedStates() {
  if (!gStatesEnded.exchange(false) || !EPyThreadState_Clear || !EPyThreadState_Delete) return;
  std::vector<PyThreadState*> ended;
  {
    std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
    ended.swap(gEndedStates);
  }
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  if (EPyErr_Fetch) EPyErr_Fetch(&type, &value, &traceback);
  for (PyThreadState* state : ended) {
    EPyThreadState_Clear(state);
    std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
    EPyThreadState_Delete(state);
    gOwnStates.fetch_sub(1, std::memory_order_release);
  }
  if (EPyErr_Restore) EPyErr_Restore(type, value, traceback);
}

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

// Where a thread state keeps the id of its thread, in words from its start;
// -1 when unknown, or when a new state gets no id before its thread runs.
//
// Up to 3.11 Python gives the state of a thread that is being started the
// id of the thread that starts it, until the new thread runs, and puts it at
// the head of the list, where a stop sent by id lands first. The place is
// found in the main state, which carries this thread's id, and kept only if
// a state made here for a moment carries the id too.

void FindIdentWord() {
  gIdentWord = -1;
  if (!EPyThread_get_thread_ident || !EPyThreadState_New || !EPyThreadState_Clear ||
      !EPyThreadState_Delete)
    return;
  const uintptr_t ident = EPyThread_get_thread_ident();
  const uintptr_t* words = reinterpret_cast<const uintptr_t*>(gMainState);
  // The id sits well inside every version's structure: the search stops
  // there, so it reads nothing past it.
  constexpr int kFirst = 3, kLast = 48;
  int found = -1;
  for (int i = kFirst; i < kLast && found < 0; ++i)
    if (words[i] == ident) found = i;
  if (found < 0) return;
  PyThreadState* probe = EPyThreadState_New(gInterpreter);
  if (!probe) return;
  bool carried = reinterpret_cast<const uintptr_t*>(probe)[found] == ident;
  EPyThreadState_Clear(probe);
  EPyThreadState_Delete(probe);
  if (carried) gIdentWord = found;
}

// Finds the word of the main thread state where Python keeps the pending
// error (up to 3.11 its type, from 3.12 on the exception itself): the first
// word that an error being set turns from null to the error, and clearing it
// turns back to null. Python's own PyErr_Occurred reads nothing else.
void FindErrorWord() {
  gErrorWord = -1;
  if (!EPyErr_SetString || !EPyErr_Occurred || !EPyErr_Clear || !e__PyExc_KeyError ||
      !*e__PyExc_KeyError || EPyErr_Occurred())
    return;
  const uintptr_t* words = reinterpret_cast<const uintptr_t*>(gMainState);
  // Python keeps the error before the thread id in every version: the search
  // stops at the id's word where that is known, and well inside the
  // structure otherwise.
  constexpr int kFirst = 3, kLast = 48;
  const int last = gIdentWord > kFirst ? gIdentWord : kLast;
  uintptr_t before[kLast];
  for (int i = kFirst; i < last; ++i) before[i] = words[i];
  EPyErr_SetString(*e__PyExc_KeyError, "coilwork");
  PyObject* occurred = EPyErr_Occurred();
  int found = -1;
  for (int i = kFirst; i < last && found < 0; ++i)
    if (before[i] == 0 && words[i] != 0) found = i;
  bool holds = found >= 0 && occurred &&
               (words[found] == reinterpret_cast<uintptr_t>(occurred) ||
                Py_TYPE(reinterpret_cast<PyObject*>(words[found])) ==
                    reinterpret_cast<PyTypeObject*>(occurred));
  EPyErr_Clear();
  if (holds && words[found] == 0) gErrorWord = found;
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
}

// The thread that started the interpreter takes the lock back with its own
// main state, and then keeps it as it did from Init on; any other thread
// asks PyGILState_Ensure for a state of its own.
void TakeLock(HostThreadState& t) {
  // From 3.12 on, Python's record of the thread's state follows the state
  // last made current (a sub-interpreter's): the home thread is known as such.
  if (EPyEval_RestoreThread && EPyGILState_GetThisThreadState && gMainState &&
      (OnHomeThread() || EPyGILState_GetThisThreadState() == gMainState)) {
    EPyEval_RestoreThread(gMainState);
    t.held = kLockHeldMain;
    SetWatch(t, t.subBusy ? nullptr : gMainState);
    return;
  }
  // Any other host thread takes it with its own state, kept between its
  // calls.
  if (PyThreadState* own = OwnMainState()) {
    RestoreWaiting(own);
    t.held = kLockHeldPinned;
    return;
  }
  t.gilState = EPyGILState_Ensure();
  t.held = kLockHeldEnsured;
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
  if (t.held == kLockNotHeld && Depth(t) == 0) HandOverOwnState(*this);
}

// Points returning entries at the thread list's head where that is all they
// need to read; otherwise at gNoHead.
void WatchWhatApplies() {
  PyThreadState* const* head = gLockManaged && gRealHead && !gAllowThreads ? gRealHead : &gNoHead;
  if (gSharedLockWanted.load(std::memory_order_relaxed)) head = &gNoHead;
  if (gLockManaged && KeepersWatch()) head = &gKeeperWatch;
  // Captured process output is read as each outermost call returns.
  if (InterruptWatchesReturns() || ProcessOutputCaptured()) head = &gNoHead;
  __atomic_store_n(&gThreadHead, head, __ATOMIC_SEQ_CST);
  // A thread armed meanwhile (interrupt.cpp) points returns away again.
  if (head != &gNoHead && InterruptWatchesReturns()) WatchNothing();
}

}  // namespace

PyThreadState* const* gThreadHead = &gNoHead;

PyThreadState* OwnMainState() {
  HostThreadLife& life = tLife;
  if (life.own && life.ownGeneration == gInterpreterGeneration) return life.own;
  life.own = nullptr;
  if (OnHomeThread() || !gMainState || !gInterpreter || !EPyThreadState_New) return nullptr;
  life.own = EPyThreadState_New(gInterpreter);
  if (!life.own) return nullptr;
  life.ownGeneration = gInterpreterGeneration;
  gOwnStates.fetch_add(1, std::memory_order_release);
  if (!life.armed) life.armed = true;  // registers its destructor
  return life.own;
}

bool KeepsLock(const HostThreadState& t) {
  return t.keepGeneration != 0 && t.keepGeneration == gInterpreterGeneration;
}

PyThreadState* WatchWhileHeld(const HostThreadState& t) {
  if (t.subBusy) return nullptr;
  if (t.held == kLockHeldMain) return gMainState;
  // A value no thread list's head ever holds: the thread's own record.
  if (KeepsLock(t)) return reinterpret_cast<PyThreadState*>(const_cast<HostThreadState*>(&t));
  return nullptr;
}

void RestoreFastWatch(HostThreadState& t) {
  if (t.subBusy || Depth(t) != 0 || t.held == kLockNotHeld || Watch(t)) return;
  SetWatch(t, WatchWhileHeld(t));
}

void WatchNothing() { __atomic_store_n(&gThreadHead, &gNoHead, __ATOMIC_SEQ_CST); }

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
    TakeLock(t);
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
  if (t.subBusy) LeaveSwitches(t);
  // Only the outermost entry gives the lock back or delivers.
  if (t.depth != 0) return;
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
  if (t.held == kLockHeldMain && gStatesEnded.load(std::memory_order_relaxed)) DeleteEndedStates();
  if (KeepsLock(t)) return;
  // Host code run inside a switch of the thread's own (a handed-over call in
  // a sub-interpreter): the switch gives the lock back as it ends.
  if (t.subBusy && InsideSwitch()) return;
  if (gAllowThreads || OtherThreadsExist() || t.held != kLockHeldMain) {
    ReleaseLock(t);
    return;
  }
  RestoreFastWatch(t);
  // Other threads' own states lie at the head of the list while those
  // threads idle: the return compares with the head as it is now, which a
  // new thread state changes, and a thread that comes to wait points returns
  // away from it.
  if (Watch(t) == gMainState && gRealHead) SetWatch(t, EPyInterpreterState_ThreadHead(gInterpreter));
}

bool HoldHomeLock() {
  if (!PythonRunning()) return false;
  HostThreadState& t = tHostThread;
  if (gLockManaged && t.held == kLockNotHeld) TakeLock(t);
  return true;
}

void ThreadsAfterInit() {
  tHostThread.host = 1;
  __atomic_store_n(&gHomeThread, &tHostThread, __ATOMIC_RELAXED);
  if (!LockEntriesBound()) return;
  // Before 3.7 the lock exists only once asked for; from 3.7 on this does
  // nothing.
  if (EPyEval_InitThreads) EPyEval_InitThreads();
  gMainState = EPyThreadState_Get();
  gInterpreter = EPyInterpreterState_Head();
  if (!gMainState || !gInterpreter) return;
  gRealHead = FindThreadHead();
  FindIdentWord();
  FindErrorWord();
  tHostThread.held = kLockHeldMain;
  SetWatch(tHostThread, gMainState);
  gLockManaged = true;
  InterpretersAfterInit();
  InterruptAfterInit();
  ImportThreadingAtInit();
  WatchWhatApplies();
}

void ThreadsBeforeFinalize() {
  // Python frees the interpreter, and with it the word that holds the head
  // of its thread list, before Py_Finalize returns; entries returning while
  // it runs (host destructors of released objects, another host thread) must
  // no longer read it.
  gRealHead = nullptr;
  gErrorWord = -1;  // the main state goes too
  WatchWhatApplies();
}

void ThreadsAfterFinalize() {
  gLockManaged = false;
  SetKeepersWatch(nullptr);
  tHostThread.keepGeneration = 0;
  tHostThread.held = kLockNotHeld;
  SetWatch(tHostThread, nullptr);
  gMainState = nullptr;
  gErrorWord = -1;
  gInterpreter = nullptr;
  gRealHead = nullptr;
  gOwnStates.store(0);  // Python deleted them all
  {
    std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
    gEndedStates.clear();
  }
  gStatesEnded.store(false);
  WatchWhatApplies();
  DeliverQueuedWork();
}

void Python_AllowThreads(int8_t allow) {
  gAllowThreads = allow != 0;
  // The slow way of this very call's return gives the lock back, or points
  // returning entries at the thread list again.
  WatchNothing();
}

int ThreadStatesCarrying(unsigned long ident) {
  if (gIdentWord < 0 || !gInterpreter) return -1;
  int count = 0;
  std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
  for (PyThreadState* s = EPyInterpreterState_ThreadHead(gInterpreter); s; s = EPyThreadState_Next(s))
    if (reinterpret_cast<const uintptr_t*>(s)[gIdentWord] == ident) ++count;
  return count;
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
