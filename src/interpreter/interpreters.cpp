// Sub-interpreters (interpreters.h): their records, the host threads' moves
// between interpreters, copies of plain data from one to another, and the
// Python3Interpreter class.
//
// Thread states and Python's own bookkeeping of them. Python keeps, per OS
// thread, one thread state that PyGILState_Ensure hands out. Up to 3.11 the
// first state made on a thread keeps that place; from 3.12 on, whichever
// state a thread last made current takes it. So the plugin never lets a
// sub-interpreter's state keep the place: a thread that leaves a
// sub-interpreter without going back to a main-interpreter state it holds
// (which keeps or takes the place back) deletes its state there. A state of
// one thread is deleted by another (at Close) only where it is known to hold
// no such place.
#include "interpreter/interpreters.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interpreter/home_calls.h"
#include "interpreter/interpreter.h"
#include "interpreter/interrupt.h"
#include "python/convert.h"
#include "values/buffer.h"

struct SubInterpreter {
  std::atomic<uint32_t> generation{0};  // 0 while the record is free
  PyInterpreterState* interp = nullptr;
  bool ownLock = false;
  std::atomic<int> calls{0};    // threads inside it, counting switch frames
  std::atomic<int> closing{0};  // Close or Finalize has begun: no entry
  // Python threads of its own were seen in it (counted in gSharedLockWanted
  // while it shares the main lock).
  std::atomic<int> hasThreads{0};
  std::atomic<size_t> statesKnown{0};  // states.size(), read without statesLock
  std::mutex statesLock;        // states
  std::vector<PyThreadState*> states;  // made by the plugin, one per host thread
  std::mutex closeLock;         // Close against a thread's end deleting its state
  // The state Python made with the interpreter. No thread calls with it;
  // Close ends the interpreter with it, as the thread that threading counts
  // as the interpreter's main one.
  PyThreadState* anchor = nullptr;
};

std::atomic<int> gSharedLockWanted{0};
std::atomic<bool> gOwnLockInterpreters{false};

namespace {

void RaiseValueError(const char* message) { PyRaise(e__PyExc_ValueError, message); }
void RaiseRuntimeError(const char* message) { PyRaise(e__PyExc_RuntimeError, message); }
PyObject* NewRef(PyObject* o) {
  PyAddRef(o);
  return o;
}

constexpr uint32_t kSlots = 1024;  // open sub-interpreters at most, less one
std::atomic<SubInterpreter*> gSlots[kSlots];
std::mutex gRegistryLock;
// Records of closed interpreters, for reuse. Never freed (a thread may still
// look at a record it found), and never destroyed, so they stay reachable.
std::vector<SubInterpreter*>& gFree = *new std::vector<SubInterpreter*>();
uint32_t gCounter;
// From 3.12 on: a state made current takes the thread's place with Python.
bool gStatesBindOnActivation;
// PyThreadState_Swap changes the current state and nothing else (up to
// 3.12; from 3.13 on it gives the lock back and takes it again).
bool gSwapKeepsLock;
// Sub-interpreters can be made with this library and this Init.
bool gSupported;

PyInterpreterState* InterpOf(PyThreadState* s) {
  // Every supported version starts a thread state with the previous and next
  // states and then its interpreter.
  return reinterpret_cast<PyInterpreterState* const*>(s)[2];
}

// ---------------------------------------------------------------------------
// A host thread's side.

struct ThreadStateIn {
  SubInterpreter* sub;
  uint32_t generation;
  PyThreadState* state;
};

constexpr int32_t kScopeDepth = -1;  // a frame an InterpreterScope pops itself

struct Frame {
  int32_t depth;        // popped once the thread's depth is below this
  SubInterpreter* from;  // current before the frame (null: main)
  uint32_t fromGeneration;
  PyThreadState* saved;  // the state that held the lock before, or null
  int32_t held;          // how the lock was held before
  bool swapped;          // the lock stayed held: only the current state was swapped
};

struct Copy {
  int32_t depth;
  uint32_t generation;
  PyObject* object;
};

struct Activation {
  SubInterpreter* sub;
  uint32_t generation;
};

void ReapThread();

struct ThreadSubs {
  std::vector<ThreadStateIn> states;
  std::vector<Frame> frames;
  std::vector<Copy> copies;
  std::vector<Activation> activations;
  SubInterpreter* entered = nullptr;  // current inside a call (null: main)
};

// Only a pointer in thread-local storage: the plugin's thread-local data all
// comes from the small reserve that initial-exec access needs.
struct ThreadSubsHolder {
  ThreadSubs* subs = nullptr;
  ~ThreadSubsHolder() {
    if (!subs) return;
    ReapThread();
    delete subs;
    subs = nullptr;
  }
};
thread_local ThreadSubsHolder tSubsHolder;

ThreadSubs& Subs() {
  if (!tSubsHolder.subs) tSubsHolder.subs = new ThreadSubs;
  return *tSubsHolder.subs;
}

bool Open(SubInterpreter* s, uint32_t g) {
  return s && s->generation.load(std::memory_order_acquire) == g && !s->closing.load();
}

// Read by the interrupt watchdog from its own thread.
void SetEntered(HostThreadState& t, uint32_t g) {
  __atomic_store_n(&t.enteredGeneration, g, __ATOMIC_RELEASE);
}

void UpdateBusy(HostThreadState& t) {
  ThreadSubs& ts = Subs();
  bool errorElsewhere = t.errorType && t.errorGeneration != CurrentGeneration();
  int busy = !ts.activations.empty() || !ts.frames.empty() || !ts.copies.empty() || errorElsewhere;
  t.subBusy = busy;
  if (busy)
    SetWatch(t, nullptr);
  else
    RestoreFastWatch(t);
}

// The thread's state in the interpreter, made on first use.
PyThreadState* StateIn(SubInterpreter* s, uint32_t g) {
  ThreadSubs& ts = Subs();
  for (auto it = ts.states.begin(); it != ts.states.end();) {
    if (it->sub->generation.load(std::memory_order_acquire) != it->generation) {
      it = ts.states.erase(it);  // its interpreter has closed
      continue;
    }
    if (it->sub == s && it->generation == g) return it->state;
    ++it;
  }
  if (!EPyThreadState_New) return nullptr;
  std::lock_guard<std::mutex> guard(s->statesLock);
  if (!Open(s, g)) return nullptr;
  PyThreadState* state = EPyThreadState_New(s->interp);
  if (!state) return nullptr;
  s->states.push_back(state);
  s->statesKnown.store(s->states.size(), std::memory_order_relaxed);
  ts.states.push_back(ThreadStateIn{s, g, state});
  return state;
}

void ForgetState(SubInterpreter* s, PyThreadState* state) {
  {
    std::lock_guard<std::mutex> guard(s->statesLock);
    for (auto it = s->states.begin(); it != s->states.end(); ++it)
      if (*it == state) {
        s->states.erase(it);
        break;
      }
    s->statesKnown.store(s->states.size(), std::memory_order_relaxed);
  }
  ThreadSubs& ts = Subs();
  for (auto it = ts.states.begin(); it != ts.states.end(); ++it)
    if (it->state == state) {
      ts.states.erase(it);
      break;
    }
}

// The main-interpreter state a thread switches to from a sub-interpreter.
PyThreadState* MainStateForSwitch() {
  if (OnHomeThread()) return gMainState;
  return OwnMainState();
}

void DropKeptError(HostThreadState& t);

// With the lock of the interpreter now current held: an error the thread
// kept for this interpreter is pending again.
void RestoreKeptErrorHere(HostThreadState& t) {
  if (!t.errorType || t.errorGeneration != CurrentGeneration() || !EPyErr_Restore) return;
  PyObject *type = t.errorType, *value = t.errorValue, *traceback = t.errorTraceback;
  t.errorType = t.errorValue = t.errorTraceback = nullptr;
  if (EPyErr_Clear) EPyErr_Clear();  // anything pending here is older
  EPyErr_Restore(type, value, traceback);
}

// An error pending in the interpreter the thread leaves: kept for the
// thread, the newest of its errors, until that interpreter is current again.
void KeepErrorOfCurrent(HostThreadState& t) {
  if (!EPyErr_Occurred || !EPyErr_Fetch || !EPyErr_Occurred()) return;
  DropKeptError(t);
  EPyErr_Fetch(&t.errorType, &t.errorValue, &t.errorTraceback);
  t.errorGeneration = CurrentGeneration();
}

bool Push(HostThreadState& t, SubInterpreter* target, uint32_t g, int32_t depth) {
  PyThreadState* into;
  if (target) {
    target->calls.fetch_add(1);
    if (!Open(target, g) || !(into = StateIn(target, g))) {
      target->calls.fetch_sub(1);
      return false;
    }
  } else {
    into = MainStateForSwitch();
    if (!into) return false;
  }
  Frame f{depth, Subs().entered, t.enteredGeneration, nullptr, t.held, false};
  if (t.held != kLockNotHeld) {
    KeepErrorOfCurrent(t);
    // Between interpreters that share the main interpreter's lock, the lock
    // stays held and only the current state changes, where swapping states
    // leaves the lock alone (up to 3.12).
    SubInterpreter* from = Subs().entered;
    f.swapped = gSwapKeepsLock && (!from || !from->ownLock) && (!target || !target->ownLock);
    f.saved = f.swapped ? EPyThreadState_Swap(into) : EPyEval_SaveThread();
  }
  if (!f.swapped) {
    // A thread that holds no lock and enters an interpreter sharing the main
    // one's lock waits for it: the thread keeping it gives it back.
    bool waits = f.saved == nullptr && target && !target->ownLock;
    if (waits) {
      gSharedLockWanted.fetch_add(1);
      WatchNothing();
    }
    EPyEval_RestoreThread(into);
    if (waits) gSharedLockWanted.fetch_sub(1);
  }
  Subs().entered = target;
  SetEntered(t, target ? g : 0);
  t.held = target ? kLockHeldSub : into == gMainState ? kLockHeldMain : kLockHeldPinned;
  Subs().frames.push_back(f);
  RestoreKeptErrorHere(t);
  UpdateBusy(t);
  return true;
}

void ReleaseCopies(HostThreadState& t, int32_t above, bool any) {
  std::vector<Copy>& copies = Subs().copies;
  for (size_t i = copies.size(); i-- > 0;) {
    if (copies[i].depth <= above) continue;
    if (copies[i].generation == CurrentGeneration()) {
      PyRelease(copies[i].object);
    } else if (!any) {
      continue;
    } else {
      PyObject* o = copies[i].object;
      ReleasePythonOnHostThread(&o, 1, copies[i].generation);
    }
    copies.erase(copies.begin() + long(i));
  }
}

// With the interpreter's lock held: whether Python threads of its own run
// in it (states the plugin did not make), counted while it shares the main
// interpreter's lock.
void NoteSubThreads(SubInterpreter* s) {
  // Most often the list holds the plugin's states only: counted first,
  // without the lock of the states.
  size_t count = 0;
  for (PyThreadState* p = EPyInterpreterState_ThreadHead(s->interp); p; p = EPyThreadState_Next(p)) ++count;
  if (count <= s->statesKnown.load(std::memory_order_relaxed) && !s->hasThreads.load(std::memory_order_relaxed))
    return;
  bool threads = false;
  {
    std::lock_guard<std::mutex> guard(s->statesLock);
    for (PyThreadState* p = EPyInterpreterState_ThreadHead(s->interp); p && !threads; p = EPyThreadState_Next(p)) {
      bool known = false;
      for (PyThreadState* q : s->states) known = known || q == p;
      threads = !known;
    }
  }
  if (threads && !s->hasThreads.exchange(1)) {
    gSharedLockWanted.fetch_add(1);
    WatchNothing();
  } else if (!threads && s->hasThreads.exchange(0)) {
    gSharedLockWanted.fetch_sub(1);
  }
}

void Pop(HostThreadState& t) {
  Frame f = Subs().frames.back();
  Subs().frames.pop_back();
  ReleaseCopies(t, f.depth == kScopeDepth ? Depth(t) : f.depth - 1, false);
  SubInterpreter* current = Subs().entered;
  // The call has ended: a stop sent into this interpreter for it, and not
  // raised yet, waits for no later call.
  if (current && Depth(t) == 0 && InterruptWatchesReturns() && EPyThreadState_SetAsyncExc &&
      EPyThread_get_thread_ident)
    TakeBackStop(EPyThread_get_thread_ident());
  KeepErrorOfCurrent(t);
  if (current && !current->ownLock) NoteSubThreads(current);
  PyThreadState* state = EPyThreadState_Get();
  if (current && !f.saved) {
    // Leaving for no state at all: this state may hold Python's place for
    // the thread (the first state a thread makes takes it up to 3.11, the
    // last one made current from 3.12 on), and would outlive its
    // interpreter there. Deleting it here gives the place back.
    EPyThreadState_Clear(state);
    EPyEval_SaveThread();
    EPyThreadState_Delete(state);
    ForgetState(current, state);
  } else if (!f.swapped) {
    EPyEval_SaveThread();
  }
  if (current) current->calls.fetch_sub(1);
  if (f.swapped) EPyThreadState_Swap(f.saved);
  else if (f.saved) EPyEval_RestoreThread(f.saved);
  Subs().entered = f.from;
  SetEntered(t, f.fromGeneration);
  t.held = f.held;
  if (t.held != kLockNotHeld) {
    // The error kept on the way out is the thread's newest: an older one
    // pending here goes.
    if (t.errorType && t.errorGeneration != CurrentGeneration() && EPyErr_Clear) EPyErr_Clear();
    RestoreKeptErrorHere(t);
  }
  UpdateBusy(t);
}

void DropKeptError(HostThreadState& t) {
  if (!t.errorType) return;
  PyObject* objects[] = {t.errorType, t.errorValue, t.errorTraceback};
  t.errorType = t.errorValue = t.errorTraceback = nullptr;
  if (t.errorGeneration == CurrentGeneration() && t.held != kLockNotHeld) {
    for (PyObject* o : objects) PyRelease(o);
  } else {
    ReleasePythonOnHostThread(objects, 3, t.errorGeneration);
  }
}

// A thread ends: its states go with it, where their interpreters still run
// and it holds no lock (a thread that ends inside a call leaves them).
void ReapThread() {
  HostThreadState& t = tHostThread;
  ThreadSubs& ts = Subs();
  if (t.held != kLockNotHeld || Depth(t) != 0 || !PythonRunning()) return;
  if (!EPyEval_RestoreThread || !EPyThreadState_Clear || !EPyThreadState_Delete) return;
  for (ThreadStateIn& in : ts.states) {
    SubInterpreter* s = in.sub;
    std::lock_guard<std::mutex> close(s->closeLock);
    if (!Open(s, in.generation)) continue;
    {
      std::lock_guard<std::mutex> guard(s->statesLock);
      bool known = false;
      for (auto it = s->states.begin(); it != s->states.end(); ++it)
        if (*it == in.state) {
          s->states.erase(it);
          known = true;
          break;
        }
      if (!known) continue;
      s->statesKnown.store(s->states.size(), std::memory_order_relaxed);
    }
    // The main interpreter's lock may be kept by the home thread between
    // its calls: it gives it over once it sees a thread waiting.
    const bool waits = !s->ownLock;
    if (waits) {
      gSharedLockWanted.fetch_add(1);
      WatchNothing();
    }
    EPyEval_RestoreThread(in.state);
    if (waits) gSharedLockWanted.fetch_sub(1);
    EPyThreadState_Clear(in.state);
    EPyEval_SaveThread();
    EPyThreadState_Delete(in.state);
  }
  ts.states.clear();
}

SubInterpreter* SlotRecord(uint32_t g) {
  SubInterpreter* s = gSlots[g & (kSlots - 1)].load(std::memory_order_acquire);
  return s && s->generation.load(std::memory_order_acquire) == g ? s : nullptr;
}

// ---------------------------------------------------------------------------
// Copies between interpreters: read in the source interpreter into plain
// C++ values, then made anew in the current one.

struct Value {
  enum Kind { kNone, kTrue, kFalse, kInt, kBigInt, kFloat, kStr, kBytes, kTuple, kList, kDict, kBlock } kind;
  REALobject block = nullptr;  // kBlock: one host reference, held by the copy
  long long integer = 0;
  double real = 0;
  std::string text;             // str (UTF-8), bytes, or a big int's digits
  std::vector<Value> items;     // tuple and list items, dict keys and values in turn
};

constexpr int kMaxNesting = 64;


// blocks: the host references of the blocks met, for the caller to give back.
bool Read(PyObject* o, Value* v, int nesting, std::vector<REALobject>* blocks) {
  if (nesting > kMaxNesting) return false;
  if (o == e___Py_NoneStruct) {
    v->kind = Value::kNone;
  } else if (REALobject block = BlockOfView(o, reinterpret_cast<int8_t*>(&v->integer))) {
    v->kind = Value::kBlock;  // the same host memory, seen from the other side
    v->block = block;
    blocks->push_back(block);
  } else if (o == e___Py_TrueStruct || o == e___Py_FalseStruct) {
    v->kind = o == e___Py_TrueStruct ? Value::kTrue : Value::kFalse;
  } else if (IsIntObject(o)) {
    int overflow = 0;
    long long n = EPyLong_AsLongLong ? EPyLong_AsLongLong(o) : 0;
    if (n == -1 && EPyErr_Occurred()) {
      EPyErr_Clear();
      overflow = 1;
    }
    if (!overflow) {
      v->kind = Value::kInt;
      v->integer = n;
    } else {
      PyRef digits(EPyObject_Str(o));
      Py_ssize_t size = 0;
      const char* utf8 = digits ? EPyUnicode_AsUTF8AndSize(digits.get(), &size) : nullptr;
      if (!utf8) return false;
      v->kind = Value::kBigInt;
      v->text.assign(utf8, size_t(size));
    }
  } else if (IsDoubleObject(o)) {
    v->kind = Value::kFloat;
    v->real = EPyFloat_AsDouble(o);
  } else if (IsStringObject(o)) {
    Py_ssize_t size = 0;
    const char* utf8 = EPyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) return false;
    v->kind = Value::kStr;
    v->text.assign(utf8, size_t(size));
  } else if (IsBytesObject(o)) {
    v->kind = Value::kBytes;
    v->text.assign(EPyBytes_AsString(o), size_t(EPyBytes_Size(o)));
  } else if (IsTupleObject(o) || IsListObject(o)) {
    bool tuple = IsTupleObject(o);
    v->kind = tuple ? Value::kTuple : Value::kList;
    Py_ssize_t n = tuple ? EPyTuple_Size(o) : EPyList_Size(o);
    v->items.resize(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = tuple ? EPyTuple_GetItem(o, i) : EPyList_GetItem(o, i);  // borrowed
      if (!item || !Read(item, &v->items[size_t(i)], nesting + 1, blocks)) return false;
    }
  } else if (IsDictObject(o)) {
    v->kind = Value::kDict;
    PyRef keys(EPyDict_Keys(o));
    Py_ssize_t n = keys ? EPyList_Size(keys.get()) : -1;
    if (n < 0) return false;
    v->items.resize(size_t(n) * 2);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* key = EPyList_GetItem(keys.get(), i);      // borrowed from the list
      PyObject* value = key ? EPyDict_GetItem(o, key) : nullptr;  // borrowed from the dict
      if (!value || !Read(key, &v->items[size_t(i) * 2], nesting + 1, blocks) ||
          !Read(value, &v->items[size_t(i) * 2 + 1], nesting + 1, blocks))
        return false;
    }
  } else {
    return false;
  }
  return true;
}

PyObject* Make(const Value& v) {
  switch (v.kind) {
    case Value::kNone: return NewRef(e___Py_NoneStruct);
    case Value::kTrue: return NewRef(e___Py_TrueStruct);
    case Value::kFalse: return NewRef(e___Py_FalseStruct);
    case Value::kBlock: return NewBlockView(v.block, int8_t(v.integer));
    case Value::kInt: return EPyLong_FromLongLong(v.integer);
    case Value::kBigInt: return EPyLong_FromString ? EPyLong_FromString(v.text.c_str(), nullptr, 10) : nullptr;
    case Value::kFloat: return EPyFloat_FromDouble(v.real);
    case Value::kStr: return EPyUnicode_FromStringAndSize(v.text.data(), Py_ssize_t(v.text.size()));
    case Value::kBytes: return EPyBytes_FromStringAndSize(v.text.data(), Py_ssize_t(v.text.size()));
    case Value::kTuple:
    case Value::kList: {
      Py_ssize_t n = Py_ssize_t(v.items.size());
      PyRef made(v.kind == Value::kTuple ? EPyTuple_New(n) : EPyList_New(n));
      if (!made) return nullptr;
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = Make(v.items[size_t(i)]);
        if (!item) return nullptr;
        // Both steal the item's reference.
        if (v.kind == Value::kTuple) EPyTuple_SetItem(made.get(), i, item);
        else EPyList_SetItem(made.get(), i, item);
      }
      return made.release();
    }
    case Value::kDict: {
      PyRef made(EPyDict_New());
      if (!made) return nullptr;
      for (size_t i = 0; i + 1 < v.items.size(); i += 2) {
        PyRef key(Make(v.items[i]));
        PyRef value(key ? Make(v.items[i + 1]) : nullptr);
        if (!value || EPyDict_SetItem(made.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return made.release();
    }
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------

uint32_t NewGeneration() {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (;;) {
    if (++gCounter == 0) continue;
    if (!gSlots[gCounter & (kSlots - 1)].load()) return gCounter;
  }
}

SubInterpreter* SubOf(uint32_t generation) { return generation ? SlotRecord(generation) : nullptr; }

bool EnterActivated(HostThreadState& t) {
  std::vector<Activation>& a = Subs().activations;
  while (!a.empty() && !Open(a.back().sub, a.back().generation)) a.pop_back();
  if (a.empty()) {
    UpdateBusy(t);
    return false;
  }
  if (Subs().entered == a.back().sub) return true;
  return Push(t, a.back().sub, a.back().generation, Depth(t));
}

void LeaveSwitches(HostThreadState& t) {
  ThreadSubs& ts = Subs();
  int32_t depth = Depth(t);
  while (!ts.frames.empty() && ts.frames.back().depth > depth) Pop(t);
  if (!ts.copies.empty()) ReleaseCopies(t, depth, depth == 0);
  if (depth == 0 && t.errorType && t.errorGeneration != CurrentGeneration() && t.held != kLockNotHeld &&
      ErrorPending())
    DropKeptError(t);  // this interpreter's error is the newer one
  UpdateBusy(t);
}

bool GenerationRuns(uint32_t generation) {
  return generation != 0 && (generation == gInterpreterGeneration || SlotRecord(generation));
}

bool EnterGenerationForMember(uint32_t generation) { return SwitchForMember(generation); }

void LookAtSubThreads() {
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (s && !s->ownLock && s->hasThreads.load() && s->generation.load()) NoteSubThreads(s);
  }
}

bool InsideSwitch() { return tSubsHolder.subs && !tSubsHolder.subs->frames.empty(); }

bool SwitchForMember(uint32_t g) {
  HostThreadState& t = tHostThread;
  if (Depth(t) <= 0 || t.held == kLockNotHeld || !gSupported) return false;
  if (g == gInterpreterGeneration) return Push(t, nullptr, 0, Depth(t));
  SubInterpreter* s = SlotRecord(g);
  return s && Push(t, s, g, Depth(t));
}

InterpreterScope::InterpreterScope(SubInterpreter* target) {
  HostThreadState& t = tHostThread;
  uint32_t g = target ? target->generation.load() : 0;
  if (Subs().entered == target && (!target || g == t.enteredGeneration) && t.held != kLockNotHeld) {
    ok_ = PythonRunning();
    return;
  }
  if (!gSupported || !PythonRunning()) return;
  ok_ = pushed_ = Push(t, target, g, kScopeDepth);
}

InterpreterScope::~InterpreterScope() {
  if (!pushed_) return;
  HostThreadState& t = tHostThread;
  while (!Subs().frames.empty()) {
    bool mine = Subs().frames.back().depth == kScopeDepth;
    Pop(t);
    if (mine) break;
  }
}

SubInterpreter* SubOfThreadState(PyThreadState* state) {
  if (!state || !gSupported || !gMainState) return nullptr;
  PyInterpreterState* interp = InterpOf(state);
  if (interp == InterpOf(gMainState)) return nullptr;
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (s && s->interp == interp && s->generation.load()) return s;
  }
  return nullptr;
}

// Plain data that cannot change: None, Booleans, ints, floats, str, bytes,
// and tuples of these.
bool Immutable(PyObject* o, int nesting) {
  if (nesting > kMaxNesting) return false;
  PyTypeObject* type = Py_TYPE(o);
  // Exactly these types: a subclass could hold more.
  if (o == e___Py_NoneStruct || type == e__PyBool_Type || type == e__PyBytes_Type ||
      type == e__PyFloat_Type || type == e__PyLong_Type || type == e__PyUnicode_Type)
    return type != nullptr;
  if (!IsTupleObject(o)) return false;
  Py_ssize_t n = EPyTuple_Size(o);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = EPyTuple_GetItem(o, i);  // borrowed from the tuple
    if (!item || !Immutable(item, nesting + 1)) return false;
  }
  return true;
}

PyObject* CopyFromInterpreter(PyObject* o, uint32_t generation) {
  HostThreadState& t = tHostThread;
  // Between interpreters that share the main lock (and its allocator), a
  // value that cannot change is the same value on both sides: it is lent
  // for the member's duration rather than copied.
  SubInterpreter* from = generation == gInterpreterGeneration ? nullptr : SlotRecord(generation);
  SubInterpreter* to = Subs().entered;
  if ((!from || !from->ownLock) && (!to || !to->ownLock) && (from || generation == gInterpreterGeneration) &&
      Immutable(o, 0)) {
    PyAddRef(o);
    Subs().copies.push_back(Copy{Depth(t), CurrentGeneration(), o});
    UpdateBusy(t);
    return o;
  }
  Value v;
  bool read = false;
  struct Blocks {
    std::vector<REALobject> held;
    ~Blocks() {
      for (REALobject b : held) EUnlockObject(b);
    }
  } blocks;
  {
    SubInterpreter* s = generation == gInterpreterGeneration ? nullptr : SlotRecord(generation);
    if (s || generation == gInterpreterGeneration) {
      InterpreterScope source(s);
      read = source.ok() && Read(o, &v, 0, &blocks.held);
      if (!read && EPyErr_Clear) EPyErr_Clear();
    }
  }
  if (!read) {
    RaiseValueError("the object belongs to another interpreter and is not plain data that can be copied");
    return nullptr;
  }
  PyObject* made = Make(v);
  if (!made) return nullptr;
  Subs().copies.push_back(Copy{Depth(t), CurrentGeneration(), made});
  UpdateBusy(t);
  return made;  // borrowed from the list of copies until the member returns
}

PyObject* HeldPython::Elsewhere() const {
  if (!generation || !pyObject || !PythonRunning()) return nullptr;
  if (generation == CurrentGeneration()) return pyObject;
  return SwitchForMember(generation) ? pyObject : nullptr;
}

PyObject* HeldPython::AsArgument() const {
  if (!generation || !pyObject || !PythonRunning()) return nullptr;
  if (generation == CurrentGeneration()) return pyObject;
  if (generation != gInterpreterGeneration && !SlotRecord(generation)) return nullptr;
  return CopyFromInterpreter(pyObject, generation);
}

bool ErrorKeptElsewhere() {
  HostThreadState& t = tHostThread;
  if (!t.errorType || t.errorGeneration == CurrentGeneration()) return false;
  if (t.errorGeneration == gInterpreterGeneration || SlotRecord(t.errorGeneration)) return true;
  DropKeptError(t);  // its interpreter has closed, and the error with it
  UpdateBusy(t);
  return false;
}

SubInterpreter* KeptErrorInterpreter() { return SlotRecord(tHostThread.errorGeneration); }

void InterpretersAfterInit() {
  gStatesBindOnActivation = EPy_NewInterpreterFromConfig != nullptr;
  int minor = -1;
  if (PyObject* info = EPySys_GetObject ? EPySys_GetObject("version_info") : nullptr) {
    PyRef m(EPyObject_GetAttrString(info, "minor"));
    if (m) minor = int(EPyLong_AsLong(m.get()));
  }
  if (EPyErr_Clear) EPyErr_Clear();
  gSwapKeepsLock = minor >= 0 && minor <= 12 && EPyThreadState_Swap;
  gSupported = gMainState && EPy_NewInterpreter && EPy_EndInterpreter && EPyThreadState_New &&
               EPyThreadState_Clear && EPyThreadState_Delete && EPyThreadState_Swap &&
               EPyInterpreterState_ThreadHead && EPyThreadState_Next && EPyGILState_GetThisThreadState &&
               InterpOf(gMainState) == EPyInterpreterState_Head();
}

// ---------------------------------------------------------------------------
// Opening and closing.

namespace {

// In an interpreter that shares the main interpreter's lock (where Python
// itself refuses no extension module): numpy's extension modules keep state
// for the whole process, and an import of numpy in a second interpreter
// overwrites it with objects of that interpreter, which the main
// interpreter's numpy then uses after they are gone. It is refused before
// anything of it runs.
const char kOneInterpreterSource[] = R"PY(
import sys

class OneInterpreterOnly:
    names = ('numpy',)

    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name.partition('.')[0] in cls.names:
            raise ImportError(name + ' can only be loaded into one interpreter per process: '
                              'it is not imported in sub-interpreters', name=name)
        return None

sys.meta_path.insert(0, OneInterpreterOnly)
)PY";

SubInterpreter* OpenSub(bool ownLock, std::string* why) {
  if (!gSupported) {
    *why = "this Python library cannot make sub-interpreters";
    return nullptr;
  }
  InterpreterScope main(nullptr);
  if (!main.ok()) {
    *why = "the main interpreter cannot be entered";
    return nullptr;
  }
  uint32_t g = NewGeneration();
  SubInterpreter* s;
  {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    if (!gFree.empty()) {
      s = gFree.back();
      gFree.pop_back();
    } else {
      s = new SubInterpreter;
    }
  }
  PyThreadState* saved = EPyThreadState_Get();
  PyThreadState* made = nullptr;
  bool own = ownLock && EPy_NewInterpreterFromConfig;
  if (own) gOwnLockInterpreters.store(true, std::memory_order_release);
  if (EPy_NewInterpreterFromConfig) {
    // An own-lock interpreter has its own allocator and refuses extension
    // modules that do not say they support it. It may start processes
    // (subprocess execs), but not fork without exec, which Python refuses
    // for such interpreters anyway. A shared-lock one is set up as
    // Py_NewInterpreter sets it up.
    PyInterpreterConfig config = own ? PyInterpreterConfig{0, 0, 1, 1, 0, 1, 2}
                                     : PyInterpreterConfig{1, 1, 1, 1, 1, 0, 1};
    PyStatus status = EPy_NewInterpreterFromConfig(&made, &config);
    if (status._type != 0) made = nullptr;
  } else {
    made = EPy_NewInterpreter();
  }
  if (!made) {
    if (EPyThreadState_Get() != saved) EPyThreadState_Swap(saved);
    std::lock_guard<std::mutex> guard(gRegistryLock);
    gFree.push_back(s);
    *why = "Python could not make the interpreter";
    return nullptr;
  }
  s->interp = InterpOf(made);
  s->ownLock = own;
  s->calls.store(0);
  s->closing.store(0);
  s->states.assign(1, made);
  s->statesKnown.store(1, std::memory_order_relaxed);
  // Its output goes where the main interpreter's goes, and Reset goes back
  // to the interpreter as it is now.
  if (!StreamsForThisInterpreter(g) && EPyErr_Clear) EPyErr_Clear();
  s->anchor = made;
  {
    // Host modules are made by host code, which sees this interpreter current.
    HostThreadState& t = tHostThread;
    SubInterpreter* before = Subs().entered;
    uint32_t beforeGeneration = t.enteredGeneration;
    Subs().entered = s;
    SetEntered(t, g);
    XojoModulesAfterOpen(g);
    Subs().entered = before;
    SetEntered(t, beforeGeneration);
  }
  if (!own) PyRelease(RunPrivateSource(kOneInterpreterSource));
  if (EPyErr_Clear) EPyErr_Clear();
  ResetAfterOpen(g);
  EPyEval_SaveThread();
  EPyEval_RestoreThread(saved);
  {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    gSlots[g & (kSlots - 1)].store(s, std::memory_order_release);
  }
  s->generation.store(g, std::memory_order_release);
  // The first state stays, used by no thread, until Close ends the
  // interpreter with it: the list of the interpreter's states is never
  // empty while it is open (3.12 reuses a state it keeps inside the
  // interpreter for a list that was empty, and 3.12.1 cannot make it anew).
  return s;
}

const char kMainThreadSource[] = R"PY(
import sys
main = getattr(sys.modules.get('threading'), '_main_thread', None)
if main is not None and hasattr(main, '_set_tstate_lock') and not main._is_stopped:
    if main._tstate_lock is not None and main._tstate_lock.locked():
        main._tstate_lock.release()
    main._set_tstate_lock()
)PY";

// Ends the interpreter on this thread. False, with why said, where it
// cannot be ended now; the interpreter then goes on as before.
bool CloseSub(SubInterpreter* s, uint32_t g, std::string* why) {
  HostThreadState& t = tHostThread;
  std::lock_guard<std::mutex> close(s->closeLock);
  if (s->generation.load() != g) return true;
  // A stop being sent into it (the interrupt watchdog enters for a moment)
  // is waited out; a call that goes on is not.
  for (int tries = 0;; ++tries) {
    s->closing.store(1);
    if (s->calls.load() == 0) break;
    s->closing.store(0);
    if (tries == 50) {
      *why = "a call runs in it";
      return false;
    }
    // The stop may wait for the lock this thread holds (an interpreter that
    // shares the main one's): it is given over meanwhile.
    PyThreadState* saved = t.held != kLockNotHeld ? EPyEval_SaveThread() : nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (saved) EPyEval_RestoreThread(saved);
  }
  InterpreterScope main(nullptr);
  PyThreadState* mine = main.ok() ? s->anchor : nullptr;
  if (!mine) {
    s->closing.store(0);
    *why = "it cannot be entered";
    return false;
  }
  PyThreadState* saved = EPyEval_SaveThread();
  EPyEval_RestoreThread(mine);
  SubInterpreter* before = Subs().entered;
  uint32_t beforeGeneration = t.enteredGeneration;
  Subs().entered = s;
  SetEntered(t, g);
  // Its non-daemon threads end first; their host calls are served meanwhile.
  ServeWhileThreadsRun();
  // Up to 3.12, threading counts the thread that imported it for the
  // interpreter's main thread, and at the end expects that thread's state
  // still to be there: it is this one from now on, as the others go first.
  PyRelease(RunPrivateSource(kMainThreadSource));
  if (EPyErr_Clear) EPyErr_Clear();
  bool clean = true;
  {
    std::lock_guard<std::mutex> guard(s->statesLock);
    for (PyThreadState* p = EPyInterpreterState_ThreadHead(s->interp); p; p = EPyThreadState_Next(p)) {
      bool known = p == mine;
      for (PyThreadState* q : s->states) known = known || q == p;
      clean = clean && known;
    }
  }
  if (!clean) {
    Subs().entered = before;
    SetEntered(t, beforeGeneration);
    EPyEval_SaveThread();
    EPyEval_RestoreThread(saved);
    s->closing.store(0);
    *why = "Python threads of its own (daemon threads) still run in it";
    return false;
  }
  ResetBeforeClose(g);
  ConsoleBeforeClose(g);
  // Python frees the interpreter's objects at its end; the host classes'
  // types of it are retired first (kept, never freed).
  XojoModulesBeforeClose(g);
  if (EPyErr_Clear) EPyErr_Clear();
  {
    std::lock_guard<std::mutex> guard(s->statesLock);
    for (PyThreadState* p : s->states) {
      if (p == mine) continue;
      EPyThreadState_Clear(p);
      EPyThreadState_Delete(p);
    }
    s->states.clear();
  }
  // Holders of it answer as empty ones from here on.
  {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    s->generation.store(0, std::memory_order_release);
    gSlots[g & (kSlots - 1)].store(nullptr, std::memory_order_release);
  }
  EPy_EndInterpreter(mine);
  if (s->hasThreads.exchange(0) && !s->ownLock) gSharedLockWanted.fetch_sub(1);
  // Up to 3.11 the lock stays held, with no state current; from 3.12 on it
  // is given back.
  if (gStatesBindOnActivation) EPyEval_RestoreThread(saved);
  else EPyThreadState_Swap(saved);
  Subs().entered = before;
  SetEntered(t, beforeGeneration);
  s->anchor = nullptr;
  s->closing.store(0);
  std::lock_guard<std::mutex> guard(gRegistryLock);
  gFree.push_back(s);
  return true;
}

// ---------------------------------------------------------------------------
// The class.

struct InterpreterData {
  SubInterpreter* sub;
  uint32_t generation;
};

InterpreterData* Block(REALobject self);

SubInterpreter* OpenOf(REALobject self) {
  InterpreterData* d = Block(self);
  return SlotRecord(d->generation) == d->sub ? d->sub : nullptr;
}

void Python3Interpreter_Constructor(REALobject self, int8_t ownLock) {
  InterpreterData* d = Block(self);
  if (d->generation != 0) return;  // constructed once: the interpreter it has stays
  d->sub = nullptr;
  if (!PythonRunning()) return;
  std::string why;
  SubInterpreter* s = OpenSub(ownLock != 0, &why);
  if (!s) {
    RaiseRuntimeError(why.c_str());
    return;
  }
  d->sub = s;
  d->generation = s->generation.load();
}

int8_t Python3Interpreter_IsOpen(REALobject self, intptr_t) { return OpenOf(self) != nullptr; }

int8_t Python3Interpreter_HasOwnLock(REALobject self, intptr_t) {
  SubInterpreter* s = OpenOf(self);
  return s && s->ownLock;
}

void RaiseClosed() {
  if (PythonRunning()) RaiseRuntimeError("the interpreter is closed");
}

// Activate and Deactivate take no interpreter lock (a thread that works in
// an own-lock interpreter never waits for the main one's), except to say
// that the interpreter is closed.
void Python3Interpreter_Activate(REALobject self) {
  SubInterpreter* s = OpenOf(self);
  if (!s) {
    HostEntry<decltype(&RaiseClosed), &RaiseClosed>::Call();
    return;
  }
  Subs().activations.push_back(Activation{s, Block(self)->generation});
  UpdateBusy(tHostThread);
}

void Python3Interpreter_Deactivate(REALobject self) {
  std::vector<Activation>& a = Subs().activations;
  InterpreterData* d = Block(self);
  if (a.empty() || a.back().sub != d->sub || a.back().generation != d->generation) return;
  a.pop_back();
  UpdateBusy(tHostThread);
}

// Close (or the last reference going) on a thread that has the interpreter
// activated: its activations end with it, and where the member itself was
// entered in it for that activation, the thread leaves it first.
void StepOutForClose(SubInterpreter* s, uint32_t g) {
  HostThreadState& t = tHostThread;
  ThreadSubs& ts = Subs();
  for (auto it = ts.activations.begin(); it != ts.activations.end();)
    it = it->sub == s && it->generation == g ? ts.activations.erase(it) : it + 1;
  if (ts.entered == s && Depth(t) == 1 && ts.frames.size() == 1 && ts.frames.back().depth == 1) Pop(t);
  UpdateBusy(t);
}

int8_t Python3Interpreter_Close(REALobject self) {
  InterpreterData* d = Block(self);
  SubInterpreter* s = OpenOf(self);
  if (!s) return true;
  StepOutForClose(s, d->generation);
  std::string why;
  if (CloseSub(s, d->generation, &why)) return true;
  RaiseRuntimeError(("the interpreter cannot be closed now: " + why).c_str());
  return false;
}

void Python3Interpreter_Destructor(REALobject self) {
  InterpreterData* d = Block(self);
  SubInterpreter* s = OpenOf(self);
  if (s) {
    StepOutForClose(s, d->generation);
    std::string why;
    CloseSub(s, d->generation, &why);  // still open where it cannot: Finalize closes it
  }
  d->sub = nullptr;
}

REALproperty InterpreterProperties[] = {
    {nullptr, DOC("IsOpen", "Whether the interpreter exists.", "Closed, or made without a running interpreter: False."), "Boolean", REALmemberFlag, FN_NO_PYTHON(Python3Interpreter_IsOpen), nullptr, 0, {}},
    {nullptr, DOC("HasOwnLock", "True for an open interpreter with an interpreter lock of its own (3.12 and later), which runs in parallel with the others.", "Closed: False."), "Boolean", REALmemberFlag, FN_NO_PYTHON(Python3Interpreter_HasOwnLock), nullptr, 0, {}},
};

REALmethodDefinition InterpreterMethods[] = {
    {FN(Python3Interpreter_Constructor), nullptr,
     DOC("Constructor(ownLock as Boolean)",
         "A new sub-interpreter of the running Python, with its own modules, sys and __main__. "
         "ownLock True on 3.12 and later: an isolated interpreter with its own lock and "
         "allocator, which runs in parallel; extension modules that do not support it are "
         "refused with ImportError. Otherwise it shares the main interpreter's lock.",
         "No interpreter running: made closed, nothing else happens. Python cannot make one: "
         "closed, RuntimeError pending."),
     REALmemberFlag, 0, 0},
    {FN_NO_PYTHON(Python3Interpreter_Activate), nullptr,
     DOC("Activate()",
         "Makes this interpreter the current one of the calling host thread until the "
         "matching Deactivate: its next outermost calls of Exec, Eval, GetModule, "
         "AddSearchPath, Reset, the error members, and the holders it makes act in it. "
         "Activations nest.",
         "Closed: nothing changes, RuntimeError pending."),
     REALmemberFlag, 0, 0},
    {FN_NO_PYTHON(Python3Interpreter_Deactivate), nullptr,
     DOC("Deactivate()",
         "Ends this interpreter's activation on the calling thread: the one activated before "
         "it (or the main interpreter) is current again.",
         "Not the thread's current activation: nothing."),
     REALmemberFlag, 0, 0},
    {FN(Python3Interpreter_Close), nullptr,
     DOC("Close() as Boolean",
         "Ends the interpreter after its non-daemon threads; its holders answer as empty ones "
         "afterwards. Dropping the last reference to the instance also closes it, and "
         "Finalize closes every one still open.",
         "Already closed: True. A call running in it on any thread, called from its own "
         "Python code, or daemon threads of its own still running: False, RuntimeError "
         "pending."),
     REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition PythonInterpreterClass = CLASS_RECORD(
    DOC("Python3Interpreter", "A sub-interpreter: separate modules, sys and __main__ in this process; with its own lock (3.12 and later) it runs in parallel with the others.", ""), nullptr, sizeof(InterpreterData),
    nullptr, FN(Python3Interpreter_Destructor),
    CLASS_TABLE(InterpreterProperties), CLASS_TABLE(InterpreterMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);

namespace {
InterpreterData* Block(REALobject self) { return Data<InterpreterData>(self, PythonInterpreterClass); }
}  // namespace

void ForEachOpenSubInterpreter(void (*fn)(void*), void* arg) {
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (!s || !s->generation.load()) continue;
    InterpreterScope in(s);
    if (in.ok()) fn(arg);
  }
}

bool CloseSubInterpretersBeforeFinalize() {
  bool all = true;
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (!s) continue;
    uint32_t g = s->generation.load();
    std::string why;
    if (g && !CloseSub(s, g, &why)) {
      // Python itself ends the process when it stops with a
      // sub-interpreter left: the main one is not stopped either.
      if (all) RaiseRuntimeError(("Finalize cannot close a sub-interpreter now: " + why).c_str());
      all = false;
    }
  }
  if (all) {
    Subs().activations.clear();
    UpdateBusy(tHostThread);
  }
  return all;
}
