// The home thread's own switch for one outermost member into a
// sub-interpreter that shares the main lock (interpreter_quick_switch.h):
// what a switch frame does, without the frame, so that the member's return
// can take the fast way.
#include "interpreter/interpreter_quick_switch.h"
#include "interpreter/interpreter_switching.h"

using namespace sub_switch;

// What Push and Pop do for a frame of the home thread's between two
// interpreters sharing the main lock, without the frame: the member pops it
// itself as it returns, where its return can then take the fast way.
QuickSwitch::QuickSwitch(uint32_t g) {
  HostThreadState& t = tHostThread;
  // The home thread between its calls, in the main interpreter with nothing
  // pending there, in its outermost member.
  if (t.held != kLockHeldMain || Watch(t) != gMainState || Depth(t) != 1 || gErrorWord < 0) return;
  SubInterpreter* s = SlotRecord(g);
  if (!s || s->ownLock || reinterpret_cast<PyObject* const*>(gMainState)[gErrorWord] || Subs().errorsAside)
    return;
  s->calls.fetch_add(1);
  PyThreadState* state;
  if (!Open(s, g) || !(state = StateIn(s, g))) {
    s->calls.fetch_sub(1);
    return;
  }
  // Where swapping states does not keep the lock (3.13), it is given back
  // and taken again with the other state.
  if (gSwapKeepsLock) {
    SharedLockWait wait;
    saved_ = EPyThreadState_Swap(state);
  } else {
    saved_ = EPyEval_SaveThread();
    EPyEval_RestoreThread(state);
  }
  state_ = state;
  Subs().entered = s;
  SetEntered(t, g);
  t.held = kLockHeldSub;
  // Plugin entries that host code makes meanwhile take the slow ways (and
  // ask Python for the current state's error).
  SetWatch(t, nullptr);
  sub_ = s;
}

QuickSwitch::~QuickSwitch() {
  if (!sub_) return;
  HostThreadState& t = tHostThread;
  ThreadSubs& ts = Subs();
  // Copies made here for the member go here.
  if (!ts.copies.empty()) ReleaseCopies(t, Depth(t) - 1, false);
  KeepErrorOfCurrent(t, state_);
  NoteSubThreads(sub_);
  WithdrawStop();  // the member is the outermost one
  sub_->calls.fetch_sub(1);
  if (gSwapKeepsLock) {
    SharedLockWait wait;
    EPyThreadState_Swap(saved_);
  } else {
    EPyEval_SaveThread();
    EPyEval_RestoreThread(saved_);
  }
  ts.entered = nullptr;
  SetEntered(t, 0);
  t.held = kLockHeldMain;
  if (t.errorType) AfterSwitchBack(t);
  // Back as the member found it, the return takes the fast way; anything
  // left (an error kept, or the frames, copies and activations of host code
  // that ran meanwhile, which mark the thread busy) sends it the slow way,
  // which looks after it.
  if (t.subBusy || t.errorType)
    UpdateBusy(t);
  else if (!Watch(t))
    SetWatch(t, gMainState);
}

