// Sub-interpreters beside the main one: one record per interpreter the host
// opened with Python3Interpreter, and the way a host thread moves between
// interpreters.
//
// Each interpreter tags the objects its holders hold with a generation of
// its own, drawn from the same counter as the main interpreter's, so a
// holder always tells which interpreter its object lives in. A host thread
// gets a thread state of its own in each interpreter it enters. Entering
// another interpreter inside a call pushes a switch frame: the lock and
// thread state the thread held are given back and saved, and the frame is
// popped, restoring them, when the member that pushed it returns. Threads
// that have nothing to do with sub-interpreters never reach this code: their
// entries and returns take the fast ways as before.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "plugin/plugin.h"

// One record per sub-interpreter, reused once it has closed.
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
  // While it shares the main lock: the head of its thread list when a look
  // found only the plugin's states there (null: look again). Cleared
  // whenever one of the plugin's states goes, so that a new state Python
  // makes at the same address is never taken for it.
  std::atomic<PyThreadState*> quietHead{nullptr};
  // Where the interpreter keeps the head of its thread list (the main
  // interpreter's place, at the same offset), or null where not known.
  PyThreadState* const* headWord = nullptr;
  std::mutex statesLock;        // states
  std::vector<PyThreadState*> states;  // made by the plugin, one per host thread
  std::mutex closeLock;         // Close against a thread's end deleting its state
  // The state Python made with the interpreter. No thread calls with it;
  // Close ends the interpreter with it, as the thread that threading counts
  // as the interpreter's main one.
  PyThreadState* anchor = nullptr;
};

// A new generation number for an interpreter (never 0, never one that an
// open sub-interpreter carries).
uint32_t NewGeneration();

// On a thread that holds the main lock, as an outermost call returns while
// some interpreter had Python threads: looks again whether they still run.
void LookAtSubThreads();

// The open sub-interpreter of that generation, or null.
SubInterpreter* SubOf(uint32_t generation);

// The generation new objects of this thread are tagged with.
COILWORK_HOT uint32_t CurrentGeneration() { return CurrentGenerationOfThread(); }

// Slow ways of the lock entries (threads.cpp): the outermost entry of a
// thread with an activated sub-interpreter enters it (true: the lock is
// taken care of); a returning entry pops the switch frames pushed at deeper
// depths and releases copies made there.
bool EnterActivated(HostThreadState& t);
// The home thread, holding no lock, takes the main interpreter's while a
// sub-interpreter sharing it runs another thread's call: false where it
// takes the general way (TakeLock).
bool TakeMainLockThroughBusySub(HostThreadState& t);
// Without the lock: takes it and makes target current, waiting with this
// thread's state in a busy shared-lock sub-interpreter, where Python hears
// the request of a state in the same interpreter only (up to 3.11). False,
// with nothing done, where no such wait is needed.
bool RestoreThroughBusySub(PyThreadState* target);
void LeaveSwitches(HostThreadState& t);

// Whether the thread is inside a switch frame (outermost calls of host code
// that a switched thread runs keep the lock they found).
bool InsideSwitch();

// Inside a call: makes the interpreter of generation g current on this
// thread until the member at this depth returns. False (nothing changed)
// when g names no open interpreter or it cannot be entered now.
bool SwitchForMember(uint32_t g);

// A scope that makes an interpreter (null: the main one) current on this
// thread, whatever the depth, and puts back what was current at its end.
class InterpreterScope {
 public:
  explicit InterpreterScope(SubInterpreter* target);
  ~InterpreterScope();
  bool ok() const { return ok_; }
  InterpreterScope(const InterpreterScope&) = delete;
  InterpreterScope& operator=(const InterpreterScope&) = delete;

 private:
  bool ok_ = false;
  bool pushed_ = false;
};

// The sub-interpreter whose thread state is the given one's (null: main or
// unknown): for host code a Python thread of a sub-interpreter called.
SubInterpreter* SubOfThreadState(PyThreadState* state);

// Runs fn(arg) in every open sub-interpreter in turn, each current meanwhile.
void ForEachOpenSubInterpreter(void (*fn)(void*), void* arg);

// The kept error of the thread (host_call.h) lives in another interpreter
// than the current one: the error members enter that one first.
bool ErrorKeptElsewhere();
SubInterpreter* KeptErrorInterpreter();

// After Init: the minor version decides how thread states are kept.
void InterpretersAfterInit();

// Whether the interpreter of that generation runs: the main one, or an open
// sub-interpreter.
bool GenerationRuns(uint32_t generation);
// Inside a member: makes the interpreter of that generation current on this
// thread until the member returns; false when it cannot.
bool EnterGenerationForMember(uint32_t generation);

// A wait for the main interpreter's lock, or for one that shares it, with a
// state of an interpreter other than the one whose thread may hold it.
// Python 3.12 asks only threads running in the waiting state's own
// interpreter to give a shared lock up, so meanwhile a helper thread waits
// for it in every busy sub-interpreter that shares it, in turn, which asks
// the threads there. Elsewhere, or while no other thread uses the lock, it
// does nothing.
// Python 3.12: a request for a shared lock reaches its own interpreter only
// (set at Init).
extern bool gRequestsStayInInterp;
class SharedLockWait {
 public:
  COILWORK_HOT SharedLockWait() {
    if (__builtin_expect(gRequestsStayInInterp, 0)) Begin();
  }
  COILWORK_HOT ~SharedLockWait() {
    if (__builtin_expect(counted_, 0)) End();
  }
  SharedLockWait(const SharedLockWait&) = delete;
  SharedLockWait& operator=(const SharedLockWait&) = delete;

 private:
  void Begin();
  void End();
  bool counted_ = false;
};

// ---------------------------------------------------------------------------
// For opening and closing interpreters (entry/interpreter_class.cpp) and
// for the copies made between them (copies.h).

// The registry's slots: the record in each (null: none), open or closing.
constexpr uint32_t kSlots = 1024;  // open sub-interpreters at most, less one
extern std::atomic<SubInterpreter*> gSlots[kSlots];
// The open sub-interpreter of that generation, or null (generation not 0).
COILWORK_HOT SubInterpreter* SlotRecord(uint32_t generation) {
  SubInterpreter* s = gSlots[generation & (kSlots - 1)].load(std::memory_order_acquire);
  return s && s->generation.load(std::memory_order_acquire) == generation ? s : nullptr;
}
SubInterpreter* RecordInSlot(uint32_t i);
// The interpreter a thread state belongs to.
PyInterpreterState* InterpOf(PyThreadState* s);
// Sub-interpreters can be made with this library and this Init.
bool SubInterpretersSupported();
// From 3.12 on: a state made current takes the thread's place with Python.
bool StatesBindOnActivation();
// A record for a new interpreter, and one given back unused or closed.
SubInterpreter* TakeFreeRecord();
void ReturnRecord(SubInterpreter* s);
// The record opened as generation g, from now on found by it; and closed,
// after which its holders answer as empty ones.
void PublishRecord(SubInterpreter* s, uint32_t g);
void RetireRecord(SubInterpreter* s, uint32_t g);
// An earlier error set aside for a member's duration (1), or put back (-1):
// a member's own switch is not taken meanwhile (which error is the newer
// one is then the general way's to tell).
void NoteErrorSetAside(int change);

// The sub-interpreter current on this thread inside a call (null: the main
// one), and a change of it that moves no lock or thread state (host code run
// while one is being opened or closed sees it current).
SubInterpreter* EnteredSub();
void SetEnteredSub(SubInterpreter* s, uint32_t g);
// The thread's activations: a new one, and the end of its newest one where
// that is of s in generation g.
void PushActivation(SubInterpreter* s, uint32_t g);
void PopActivation(SubInterpreter* s, uint32_t g);
// Close (or the last reference going) on a thread that has the interpreter
// activated: its activations end with it, and where the member itself was
// entered in it for that activation, the thread leaves it first.
void StepOutForClose(SubInterpreter* s, uint32_t g);
// A Close that StepOutForClose prepared could not end the interpreter: the
// thread's activations are as they were before.
void UndoStepOut();
// Whether this thread runs inside the interpreter now, other than in the
// outermost member's frame entered for its activation (code of it called
// the host code that asks): such an interpreter cannot be closed.
bool RunsInside(SubInterpreter* s);
// Finalize, once every sub-interpreter has closed: the thread's activations
// end.
void ClearActivations();
// A copy made for the member running at this depth (a new reference, or one
// added), released as it returns.
void KeepCopy(PyObject* o);

// A plugin-private object (the namespace of its helper code) for each
// interpreter: the main one's, and each sub-interpreter's by generation.
// Each is used in its own interpreter only.
class PerInterpreter {
 public:
  // The current interpreter's, borrowed, or null.
  PyObject* get() {
    uint32_t g = CurrentGeneration();
    if (!g) return nullptr;
    if (g == gInterpreterGeneration) return main_.generation == g ? main_.pyObject : nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& p : subs_)
      if (p.first == g) return p.second;
    return nullptr;
  }
  // For the interpreter of generation g, current now: takes over the
  // reference of o.
  void set(uint32_t g, PyObject* o) {
    if (g == gInterpreterGeneration) {
      PyObject* old = main_.generation == g ? main_.pyObject : nullptr;
      main_.pyObject = o;
      main_.generation = g;
      if (old) EPy_DecRef(old);
      return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    subs_.emplace_back(g, o);
  }
  // Releases the object of generation g, whose interpreter is current and
  // about to end (or the main one, before Finalize).
  void drop(uint32_t g) {
    PyObject* o = nullptr;
    if (g == gInterpreterGeneration) {
      if (main_.generation == g) o = main_.pyObject;
      main_.pyObject = nullptr;
      main_.generation = 0;
    } else {
      std::lock_guard<std::mutex> guard(lock_);
      for (auto it = subs_.begin(); it != subs_.end(); ++it)
        if (it->first == g) {
          o = it->second;
          subs_.erase(it);
          break;
        }
    }
    if (o) EPy_DecRef(o);
  }

 private:
  HeldPython main_{};
  std::mutex lock_;
  std::vector<std::pair<uint32_t, PyObject*>> subs_;
};
