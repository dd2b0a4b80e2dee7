// The lock layer behind host_call.h: the host threads' records, the word
// returning entries compare with, the keeper of the lock, and the thread
// states that host threads own in the main interpreter, with the probes that
// find where Python keeps what the entries read. It calls nothing of the
// plugin above it: the slow ways of the entries (threads.cpp) and the
// interpreter code build on it.
#include "plugin/host_call.h"

#include <dlfcn.h>
#include <link.h>

#include <mutex>
#include <thread>
#include <vector>

__thread HostThreadState tHostThread __attribute__((tls_model("initial-exec")));
HostThreadState* gHomeThread;
bool gLockManaged;
bool gAllowThreads;
PyThreadState* gMainState;
int gErrorWord = -1;
namespace {
// What gErrorWatch holds while the word is unknown: an address that is no
// thread state.
char gNoErrorWatch;
PyObject* const gNoError = nullptr;

void ForgetErrorWord() {
  gErrorWord = -1;
  gErrorWatch = reinterpret_cast<PyThreadState*>(&gNoErrorWatch);
  gErrorSlot = &gNoError;
}
}  // namespace
PyThreadState* gErrorWatch = reinterpret_cast<PyThreadState*>(&gNoErrorWatch);
PyObject* const* gErrorSlot = &gNoError;
std::atomic<int> gSharedLockWanted{0};
std::atomic<bool> gOwnLockInterpreters{false};
PyThreadState* gNoHead = reinterpret_cast<PyThreadState*>(uintptr_t{1});
PyThreadState* const* gThreadHead = &gNoHead;

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

PyThreadState* KeepersWatch() { return __atomic_load_n(&gKeeperWatch, __ATOMIC_RELAXED); }
void SetKeepersWatch(PyThreadState* w) { __atomic_store_n(&gKeeperWatch, w, __ATOMIC_RELAXED); }

namespace {

// The thread's own state in the main interpreter (OwnMainState), and the
// interpreter it belongs to.
struct OwnState {
  PyThreadState* own;
  uint32_t ownGeneration;
};
thread_local OwnState tOwn;

// Set while this thread's outermost call counts in gSharedLockWanted
// (CountMainLockUse).
__thread bool tCallCounted __attribute__((tls_model("initial-exec")));

int gIdentWord = -1;

// Own states of host threads that have ended, for the home thread to delete
// with the lock (gOwnStatesDeletion): an ending thread never waits for the
// lock, which the home thread may keep while it waits for that very thread
// to end.
std::vector<PyThreadState*>& gEndedStates = *new std::vector<PyThreadState*>();
std::atomic<bool> gStatesEnded{false};

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
  ForgetErrorWord();
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
  if (holds && words[found] == 0) {
    gErrorWord = found;
    gErrorSlot = reinterpret_cast<PyObject* const*>(gMainState) + found;
    gErrorWatch = gMainState;
  }
}

// Deletes ended threads' states (DeleteEndedStates), on a thread of its own.
void DeleteStates(const std::vector<PyThreadState*>* ended) {
  std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
  for (PyThreadState* state : *ended) EPyThreadState_Delete(state);
  gOwnStates.fetch_sub(int(ended->size()), std::memory_order_release);
}

}  // namespace

bool HasOwnMainState() { return tOwn.own != nullptr; }

PyThreadState* TakeOwnMainState() {
  OwnState& life = tOwn;
  PyThreadState* own = life.own;
  life.own = nullptr;
  if (!own || life.ownGeneration != gInterpreterGeneration || !PythonRunning()) return nullptr;
  return own;
}

void HandOverOwnState(PyThreadState* own) {
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

bool StatesEnded() { return gStatesEnded.load(std::memory_order_relaxed); }

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
  for (PyThreadState* state : ended) EPyThreadState_Clear(state);
  if (EPyErr_Restore) EPyErr_Restore(type, value, traceback);
  // From 3.12 on, deleting a state forgets the state that PyGILState knows
  // for the deleting thread (it takes the state to be its own): deleted
  // here, the home thread's PyGILState calls, a C extension's callbacks
  // among them, would no longer find its main state. A thread of no Python
  // state deletes them instead; deleting needs no interpreter lock.
  std::thread(DeleteStates, &ended).join();
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
  // calls. The home thread keeps the lock between its calls while nothing
  // else wants it: this thread says that it wants it, and goes on saying so
  // until its call has given the lock back (ReleaseLock), since code it runs
  // may give the lock away and wait for it again (a sleep, I/O, an import
  // lock), in whichever interpreter that shares it.
  CountMainLockUse();
  if (PyThreadState* own = OwnMainState()) {
    EPyEval_RestoreThread(own);
    t.held = kLockHeldPinned;
    return;
  }
  t.gilState = EPyGILState_Ensure();
  t.held = kLockHeldEnsured;
}

void CountMainLockUse() {
  if (tCallCounted) return;
  tCallCounted = true;
  gSharedLockWanted.fetch_add(1);
  WatchNothing();
}

void UncountMainLockUse() {
  if (!tCallCounted) return;
  tCallCounted = false;
  gSharedLockWanted.fetch_sub(1);
}

PyThreadState* OwnMainState() {
  OwnState& life = tOwn;
  if (life.own && life.ownGeneration == gInterpreterGeneration) return life.own;
  life.own = nullptr;
  if (OnHomeThread() || !gMainState || !gInterpreter || !EPyThreadState_New ||
      gStatesStayOnTheirThread)
    return nullptr;
  life.own = EPyThreadState_New(gInterpreter);
  if (!life.own) return nullptr;
  life.ownGeneration = gInterpreterGeneration;
  gOwnStates.fetch_add(1, std::memory_order_release);
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

PyThreadState* const* ThreadHeadOf(PyInterpreterState* interp) {
  if (!gRealHead || !gInterpreter || !interp) return nullptr;
  ptrdiff_t offset = gRealHead - reinterpret_cast<PyThreadState* const*>(gInterpreter);
  return reinterpret_cast<PyThreadState* const*>(interp) + offset;
}

void WatchNothing() { __atomic_store_n(&gThreadHead, &gNoHead, __ATOMIC_SEQ_CST); }

PyThreadState* const* HeadForReturns() {
  PyThreadState* const* head = gLockManaged && gRealHead && !gAllowThreads ? gRealHead : &gNoHead;
  if (gSharedLockWanted.load(std::memory_order_relaxed)) head = &gNoHead;
  if (gLockManaged && KeepersWatch()) head = &gKeeperWatch;
  return head;
}

void WatchHeadAtReturn(HostThreadState& t) {
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

int ThreadStatesCarrying(unsigned long ident) {
  if (gIdentWord < 0 || !gInterpreter) return -1;
  int count = 0;
  std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
  for (PyThreadState* s = EPyInterpreterState_ThreadHead(gInterpreter); s; s = EPyThreadState_Next(s))
    if (reinterpret_cast<const uintptr_t*>(s)[gIdentWord] == ident) ++count;
  return count;
}

bool LookAtStateCarrying(unsigned long ident, bool (*look)(PyThreadState*)) {
  PyThreadState* current = EPyThreadState_Get ? EPyThreadState_Get() : nullptr;
  if (gIdentWord < 0 || !current) return false;
  // A state's interpreter is its third word on every version.
  auto* interp = reinterpret_cast<PyInterpreterState*>(reinterpret_cast<uintptr_t*>(current)[2]);
  std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
  for (PyThreadState* s = EPyInterpreterState_ThreadHead(interp); s; s = EPyThreadState_Next(s))
    if (reinterpret_cast<const uintptr_t*>(s)[gIdentWord] == ident) return look(s);
  return false;
}

bool HostLockAfterInit() {
  tHostThread.host = 1;
  __atomic_store_n(&gHomeThread, &tHostThread, __ATOMIC_RELAXED);
  if (!LockEntriesBound()) return false;
  // Before 3.7 the lock exists only once asked for; from 3.7 on this does
  // nothing.
  if (EPyEval_InitThreads) EPyEval_InitThreads();
  gMainState = EPyThreadState_Get();
  gInterpreter = EPyInterpreterState_Head();
  if (!gMainState || !gInterpreter) return false;
  gRealHead = FindThreadHead();
  FindIdentWord();
  FindErrorWord();
  tHostThread.held = kLockHeldMain;
  SetWatch(tHostThread, gMainState);
  gLockManaged = true;
  return true;
}

void HostLockBeforeFinalize() {
  // Python frees the interpreter, and with it the word that holds the head
  // of its thread list, before Py_Finalize returns; entries returning while
  // it runs (host destructors of released objects, another host thread) must
  // no longer read it.
  gRealHead = nullptr;
  ForgetErrorWord();  // the main state goes too
}

void HostLockAfterFinalize() {
  gLockManaged = false;
  SetKeepersWatch(nullptr);
  tHostThread.keepGeneration = 0;
  tHostThread.held = kLockNotHeld;
  SetWatch(tHostThread, nullptr);
  gMainState = nullptr;
  ForgetErrorWord();
  gInterpreter = nullptr;
  gRealHead = nullptr;
  gOwnStates.store(0);  // Python deleted them all
  {
    std::lock_guard<std::mutex> guard(gOwnStatesDeletion);
    gEndedStates.clear();
  }
  gStatesEnded.store(false);
}
