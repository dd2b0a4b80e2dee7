// The host thread's side of sub-interpreters (interpreters.h) as the files
// that implement it share it: each thread's record of its states, switch
// frames, copies and activations, and the small steps every switch takes.
// Private to src/interpreter/interpreter_*.cpp and interpreters.cpp.
#pragma once

#include <stdint.h>

#include <vector>

#include "interpreter/interpreters.h"
#include "interpreter/stops.h"

namespace sub_switch {

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
  PyThreadState* into;   // the state made current for the frame
  int32_t held;          // how the lock was held before
  bool swapped;          // the lock stayed held: only the current state was swapped
  bool counted;          // counted in gSharedLockWanted while the frame lasts
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

struct ThreadSubs {
  std::vector<ThreadStateIn> states;
  std::vector<Frame> frames;
  std::vector<Copy> copies;
  std::vector<Activation> activations;
  std::vector<Activation> beforeClose;  // the activations a Close ended, until it is done
  bool steppedOut = false;              // and whether it left the member's frame
  SubInterpreter* entered = nullptr;  // current inside a call (null: main)
  int32_t errorsAside = 0;            // earlier errors set aside by running members
  ThreadStateIn recent{};              // the state StateIn answered last
};

// The thread's record, read several times on every switch: reached with one
// load relative to the thread pointer (initial-exec, as the lock layer's
// record is), where an ordinary thread_local would cost a call into the
// dynamic loader at each read. The holder beside it (interpreters.cpp) only
// deletes the record as the thread ends.
extern __thread ThreadSubs* tSubs __attribute__((tls_model("initial-exec")));
__attribute__((noinline, cold)) ThreadSubs& NewSubs();

COILWORK_HOT ThreadSubs& Subs() {
  ThreadSubs* s = tSubs;
  return __builtin_expect(s != nullptr, 1) ? *s : NewSubs();
}

inline bool Open(SubInterpreter* s, uint32_t g) {
  return s && s->generation.load(std::memory_order_acquire) == g && !s->closing.load();
}

// Read by the interrupt watchdog from its own thread.
inline void SetEntered(HostThreadState& t, uint32_t g) {
  __atomic_store_n(&t.enteredGeneration, g, __ATOMIC_RELEASE);
}

// The thread has sub-interpreter business: its entries and returns take the
// slow ways, which look after it.
inline void MarkBusy(HostThreadState& t) {
  if (t.subBusy) return;
  t.subBusy = 1;
  SetWatch(t, nullptr);
}

void UpdateBusy(HostThreadState& t);

// The thread's state in the interpreter, made on first use.
__attribute__((noinline)) PyThreadState* StateInSlow(SubInterpreter* s, uint32_t g);

COILWORK_HOT PyThreadState* StateIn(SubInterpreter* s, uint32_t g) {
  ThreadSubs& ts = Subs();
  if (ts.recent.sub == s && ts.recent.generation == g && s->generation.load(std::memory_order_acquire) == g)
    return ts.recent.state;
  return StateInSlow(s, g);
}

// An error pending in the interpreter the thread leaves: kept for the
// thread, the newest of its errors, until that interpreter is current again.
// The current state, where the caller knows it, spares asking Python: its
// error word tells.
__attribute__((noinline, cold)) void KeepPendingError(HostThreadState& t);

COILWORK_HOT void KeepErrorOfCurrent(HostThreadState& t, PyThreadState* current = nullptr) {
  if (__builtin_expect(current && gErrorWord >= 0, 1) && !reinterpret_cast<PyObject* const*>(current)[gErrorWord])
    return;
  KeepPendingError(t);
}

// An outermost call that ends in a sub-interpreter: a stop sent into it for
// the call, and not raised yet, waits for no later call.
inline void WithdrawStop() {
  if (InterruptWatchesReturns() && EPyThreadState_SetAsyncExc && EPyThread_get_thread_ident)
    TakeBackStop(EPyThread_get_thread_ident());
}

// Back in the interpreter a switch left, with its lock: the error kept on
// the way out is the thread's newest, so an older one pending here goes.
void AfterSwitchBack(HostThreadState& t);

// Copies made for members deeper than `above` are released (any: those of
// other interpreters too, on a host thread).
void ReleaseCopies(HostThreadState& t, int32_t above, bool any);

// With the interpreter's lock held: whether Python threads of its own run
// in it (states the plugin did not make), counted while it shares the main
// interpreter's lock.
__attribute__((noinline)) void LookForSubThreads(SubInterpreter* s, PyThreadState* head);

COILWORK_HOT void NoteSubThreads(SubInterpreter* s) {
  // Python puts every new thread state at the head of the list: while the
  // head is the one a look that found only the plugin's states saw, no state
  // has come since. The head is read where the interpreter keeps it, where
  // that place is known.
  PyThreadState* head = s->headWord ? *s->headWord : EPyInterpreterState_ThreadHead(s->interp);
  if (__builtin_expect(head && head == s->quietHead.load(std::memory_order_relaxed), 1) &&
      !s->hasThreads.load(std::memory_order_relaxed))
    return;
  LookForSubThreads(s, head);
}

// A thread ends: its states go with it (interpreter_reaping.cpp).
void ReapThread();

// Set at Init (interpreter_records.cpp).
extern bool gSwapKeepsLock;
extern bool gSupported;

}  // namespace sub_switch
