// Sub-interpreters (interpreters.h): the host threads' moves between
// interpreters: their thread states there, switch frames, activations, and
// the errors and copies that go with them.
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
#include <mutex>
#include <vector>

#include "interpreter/interpreter_switching.h"
#include "interpreter/stops.h"
#include "plugin/output_queue.h"
#include "python/refs.h"

namespace sub_switch {

// ---------------------------------------------------------------------------
// A host thread's side.

// The thread's record, read several times on every switch: reached with one
// load relative to the thread pointer (initial-exec, as the lock layer's
// record is), where an ordinary thread_local would cost a call into the
// dynamic loader at each read. The holder beside it only deletes the record
// as the thread ends.
__thread ThreadSubs* tSubs __attribute__((tls_model("initial-exec")));
struct ThreadSubsHolder {
  bool made = false;
  ~ThreadSubsHolder() {
    if (!tSubs) return;
    ReapThread();
    delete tSubs;
    tSubs = nullptr;
  }
};
thread_local ThreadSubsHolder tSubsHolder;

__attribute__((noinline, cold)) ThreadSubs& NewSubs() {
  tSubsHolder.made = true;  // its first use here registers its end with the thread
  tSubs = new ThreadSubs;
  return *tSubs;
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

PyThreadState* StateInSlow(SubInterpreter* s, uint32_t g) {
  ThreadSubs& ts = Subs();
  for (auto it = ts.states.begin(); it != ts.states.end();) {
    if (it->sub->generation.load(std::memory_order_acquire) != it->generation) {
      it = ts.states.erase(it);  // its interpreter has closed
      continue;
    }
    if (it->sub == s && it->generation == g) {
      ts.recent = *it;
      return it->state;
    }
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
  ts.recent = ts.states.back();
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
    s->quietHead.store(nullptr, std::memory_order_relaxed);
  }
  ThreadSubs& ts = Subs();
  if (ts.recent.state == state) ts.recent = ThreadStateIn{};
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

__attribute__((noinline, cold)) void KeepPendingError(HostThreadState& t) {
  if (!EPyErr_Occurred || !EPyErr_Fetch || !EPyErr_Occurred()) return;
  DropKeptError(t);
  EPyErr_Fetch(&t.errorType, &t.errorValue, &t.errorTraceback);
  t.errorGeneration = CurrentGeneration();
}

// Back in the interpreter a switch left, with its lock: the error kept on
// the way out is the thread's newest, so an older one pending here goes.
void AfterSwitchBack(HostThreadState& t) {
  if (t.errorType && t.errorGeneration != CurrentGeneration() && EPyErr_Clear) EPyErr_Clear();
  RestoreKeptErrorHere(t);
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
  ThreadSubs& ts = Subs();
  // Kept in registers and stored field by field into the list: a frame built
  // whole on the stack and copied over stalls on loads wider than its stores.
  struct {
    PyThreadState* saved;
    bool swapped;
  } f{nullptr, false};
  SubInterpreter* const fromSub = ts.entered;
  const uint32_t fromGeneration = t.enteredGeneration;
  const int32_t heldBefore = t.held;
  // A thread other than the home one that enters an interpreter sharing the
  // main lock wants that lock, which the home thread may keep between its
  // calls, and may want it again inside Python (a sleep, an import lock):
  // it counts as wanting it until the frame is popped.
  const bool counted = (!target || !target->ownLock) && !OnHomeThread();
  if (counted) {
    gSharedLockWanted.fetch_add(1);
    WatchNothing();
  }
  if (t.held != kLockNotHeld) {
    // The state current now: the one the thread's newest frame made
    // current, or the main thread state that the home thread keeps.
    PyThreadState* current = !ts.frames.empty() ? ts.frames.back().into
                             : t.held == kLockHeldMain ? gMainState
                                                       : nullptr;
    KeepErrorOfCurrent(t, current);
    // Between interpreters that share the main interpreter's lock, the lock
    // stays held and only the current state changes, where swapping states
    // returns with the lock held (up to 3.12).
    SubInterpreter* from = ts.entered;
    f.swapped = gSwapKeepsLock && (!from || !from->ownLock) && (!target || !target->ownLock);
    if (!f.swapped) f.saved = EPyEval_SaveThread();
  }
  {
    SharedLockWait wait;
    if (f.swapped) f.saved = EPyThreadState_Swap(into);
    else EPyEval_RestoreThread(into);
  }
  ts.entered = target;
  SetEntered(t, target ? g : 0);
  t.held = target ? kLockHeldSub : into == gMainState ? kLockHeldMain : kLockHeldPinned;
  ts.frames.emplace_back();
  Frame& frame = ts.frames.back();
  frame.depth = depth;
  frame.from = fromSub;
  frame.fromGeneration = fromGeneration;
  frame.saved = f.saved;
  frame.into = into;
  frame.held = heldBefore;
  frame.swapped = f.swapped;
  frame.counted = counted;
  RestoreKeptErrorHere(t);
  MarkBusy(t);  // a frame is open
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

void LookForSubThreads(SubInterpreter* s, PyThreadState* head) {
  const bool threadsSeen = s->hasThreads.load(std::memory_order_relaxed);
  // Most often the list holds the plugin's states only: counted first,
  // without the lock of the states.
  size_t count = 0;
  for (PyThreadState* p = head; p; p = EPyThreadState_Next(p)) ++count;
  if (count <= s->statesKnown.load(std::memory_order_relaxed) && !threadsSeen) {
    s->quietHead.store(head, std::memory_order_relaxed);
    return;
  }
  s->quietHead.store(nullptr, std::memory_order_relaxed);
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

// recompute: whether the thread's business with sub-interpreters is looked
// at again here (the caller that pops several frames does it once after).
void Pop(HostThreadState& t, bool recompute = true) {
  ThreadSubs& ts = Subs();
  Frame f = ts.frames.back();
  ts.frames.pop_back();
  if (!ts.copies.empty()) ReleaseCopies(t, f.depth == kScopeDepth ? Depth(t) : f.depth - 1, false);
  SubInterpreter* current = ts.entered;
  // Only a member's frame ends a call whose stop may wait unraised: a
  // scope's frame on a thread outside any call (the watchdog sending a stop)
  // must not withdraw the stop it has just sent, nor raise one of its own,
  // which up to 3.11 would also clear the interpreter's note that a stop
  // waits in another thread.
  if (current && Depth(t) == 0 && f.depth != kScopeDepth) WithdrawStop();
  KeepErrorOfCurrent(t, f.into);
  if (current && !current->ownLock) NoteSubThreads(current);
  if (current && !f.saved) {
    PyThreadState* state = EPyThreadState_Get();
    // Leaving for no state at all: this state may hold Python's place for
    // the thread (the first state a thread makes takes it up to 3.11, the
    // last one made current from 3.12 on), and would outlive its
    // interpreter there. Deleting it here gives the place back.
    current->quietHead.store(nullptr, std::memory_order_relaxed);
    EPyThreadState_Clear(state);
    EPyEval_SaveThread();
    EPyThreadState_Delete(state);
    ForgetState(current, state);
  } else if (!f.swapped) {
    EPyEval_SaveThread();
  }
  if (current) current->calls.fetch_sub(1);
  if (f.swapped || f.saved) {
    SharedLockWait wait;
    if (f.swapped) EPyThreadState_Swap(f.saved);
    else EPyEval_RestoreThread(f.saved);
  }
  ts.entered = f.from;
  SetEntered(t, f.fromGeneration);
  t.held = f.held;
  if (t.held != kLockNotHeld) AfterSwitchBack(t);
  if (f.counted) gSharedLockWanted.fetch_sub(1);
  if (recompute) UpdateBusy(t);
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

}  // namespace sub_switch

using namespace sub_switch;

bool RestoreThroughBusySub(PyThreadState* target) {
  // Where swapping states keeps the lock, Python asks only threads of the
  // waiting state's own interpreter to give the lock up: a thread busy in a
  // shared-lock sub-interpreter would never hear a request made with a main
  // interpreter's state. The wait is made with this thread's state in such
  // an interpreter instead, then swapped to the target.
  if (!gSwapKeepsLock || !gSupported) return false;
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (!s || s->ownLock || s->calls.load() <= 0) continue;
    const uint32_t g = s->generation.load(std::memory_order_acquire);
    s->calls.fetch_add(1);  // not closed meanwhile
    PyThreadState* state = Open(s, g) ? StateIn(s, g) : nullptr;
    if (!state) {
      s->calls.fetch_sub(1);
      continue;
    }
    EPyEval_RestoreThread(state);
    {
      // 3.12 takes the lock again here, with the target state.
      SharedLockWait wait;
      EPyThreadState_Swap(target);
    }
    s->calls.fetch_sub(1);
    return true;
  }
  return false;
}

bool TakeMainLockThroughBusySub(HostThreadState& t) {
  if (!OnHomeThread() || t.held != kLockNotHeld || !RestoreThroughBusySub(gMainState)) return false;
  t.held = kLockHeldMain;
  SetWatch(t, t.subBusy ? nullptr : gMainState);
  return true;
}

// ---------------------------------------------------------------------------

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
  while (!ts.frames.empty() && ts.frames.back().depth > depth) Pop(t, false);
  // Most often the thread has no sub-interpreter business left: the fast
  // ways are open again (what UpdateBusy finds, without asking).
  if (__builtin_expect(ts.frames.empty() && ts.copies.empty() && ts.activations.empty() && !t.errorType, 1)) {
    t.subBusy = 0;
    if (depth == 0 && t.held == kLockHeldMain && !Watch(t)) SetWatch(t, gMainState);
    else RestoreFastWatch(t);
    return;
  }
  if (!ts.copies.empty()) ReleaseCopies(t, depth, depth == 0);
  if (depth == 0 && t.errorType && t.errorGeneration != CurrentGeneration() && t.held != kLockNotHeld &&
      ErrorPending())
    DropKeptError(t);  // this interpreter's error is the newer one
  UpdateBusy(t);
}

bool EnterGenerationForMember(uint32_t generation) { return SwitchForMember(generation); }

void LookAtSubThreads() {
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (s && !s->ownLock && s->hasThreads.load() && s->generation.load()) NoteSubThreads(s);
  }
}

bool InsideSwitch() { return tSubs && !tSubs->frames.empty(); }

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

bool ErrorKeptElsewhere() {
  HostThreadState& t = tHostThread;
  if (!t.errorType || t.errorGeneration == CurrentGeneration()) return false;
  if (t.errorGeneration == gInterpreterGeneration || SlotRecord(t.errorGeneration)) return true;
  DropKeptError(t);  // its interpreter has closed, and the error with it
  UpdateBusy(t);
  return false;
}

SubInterpreter* KeptErrorInterpreter() { return SlotRecord(tHostThread.errorGeneration); }

void NoteErrorSetAside(int change) { Subs().errorsAside += change; }

SubInterpreter* EnteredSub() { return Subs().entered; }

void SetEnteredSub(SubInterpreter* s, uint32_t g) {
  Subs().entered = s;
  SetEntered(tHostThread, g);
}

void PushActivation(SubInterpreter* s, uint32_t g) {
  Subs().activations.push_back(Activation{s, g});
  UpdateBusy(tHostThread);
}

void PopActivation(SubInterpreter* s, uint32_t g) {
  std::vector<Activation>& a = Subs().activations;
  if (a.empty() || a.back().sub != s || a.back().generation != g) return;
  a.pop_back();
  UpdateBusy(tHostThread);
}

bool RunsInside(SubInterpreter* s) {
  ThreadSubs& ts = Subs();
  const size_t n = ts.frames.size();
  if (n == 0) return ts.entered == s;  // entered for a member without a frame
  for (size_t i = 0; i < n; ++i) {
    SubInterpreter* target = i + 1 < n ? ts.frames[i + 1].from : ts.entered;
    if (target != s) continue;
    // The frame of the outermost member, entered for the activation, is the
    // one Close steps out of.
    if (n == 1 && ts.frames[0].depth == 1 && Depth(tHostThread) == 1) continue;
    return true;
  }
  return false;
}

void StepOutForClose(SubInterpreter* s, uint32_t g) {
  HostThreadState& t = tHostThread;
  ThreadSubs& ts = Subs();
  ts.beforeClose = ts.activations;
  for (auto it = ts.activations.begin(); it != ts.activations.end();)
    it = it->sub == s && it->generation == g ? ts.activations.erase(it) : it + 1;
  ts.steppedOut = ts.entered == s && Depth(t) == 1 && ts.frames.size() == 1 && ts.frames.back().depth == 1;
  if (ts.steppedOut) Pop(t);
  UpdateBusy(t);
}

void UndoStepOut() {
  ThreadSubs& ts = Subs();
  ts.activations.swap(ts.beforeClose);
  ts.beforeClose.clear();
  UpdateBusy(tHostThread);
  // The member goes on (and raises) in the interpreter it was entered in.
  if (ts.steppedOut) EnterActivated(tHostThread);
  ts.steppedOut = false;
}

void ClearActivations() {
  Subs().activations.clear();
  UpdateBusy(tHostThread);
}

void KeepCopy(PyObject* o) {
  HostThreadState& t = tHostThread;
  Subs().copies.push_back(Copy{Depth(t), CurrentGeneration(), o});
  MarkBusy(t);  // a copy waits to be released
}
