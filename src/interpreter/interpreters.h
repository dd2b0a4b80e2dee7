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

struct SubInterpreter;

// A new generation number for an interpreter (never 0, never one that an
// open sub-interpreter carries).
uint32_t NewGeneration();

// How many wait for the main interpreter's lock from inside sub-interpreters
// that share it: host threads about to enter one, and such interpreters
// with Python threads of their own. While any does, the thread that keeps
// that lock gives it back as its calls return, as it does for the main
// interpreter's own threads.
extern std::atomic<int> gSharedLockWanted;
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

// A holder's object of another interpreter, given as an argument to a
// member working in the current one: plain data (None, bools, ints, floats,
// str, bytes, and tuples, lists and dicts of these) as a copy made here,
// kept alive until the member returns; a memoryview over a host MemoryBlock
// as a view of the same memory; anything else null with ValueError pending.
PyObject* CopyFromInterpreter(PyObject* o, uint32_t generation);

// Runs fn(arg) in every open sub-interpreter in turn, each current meanwhile.
void ForEachOpenSubInterpreter(void (*fn)(void*), void* arg);

// Finalize, before anything is torn down: closes every sub-interpreter.
// False, with RuntimeError pending, when one cannot be closed now (a call
// runs in it, or daemon threads of its own): Finalize then does nothing.
bool CloseSubInterpretersBeforeFinalize();

// The kept error of the thread (host_call.h) lives in another interpreter
// than the current one: the error members enter that one first.
bool ErrorKeptElsewhere();
SubInterpreter* KeptErrorInterpreter();

// After Init: the minor version decides how thread states are kept.
void InterpretersAfterInit();

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
