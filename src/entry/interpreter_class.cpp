// Python3Interpreter: opening and closing sub-interpreters (their records
// and the host threads' moves between interpreters are
// interpreter/interpreters.h's), and the class.
#include <chrono>
#include <string>
#include <thread>

#include "convert/convert.h"
#include "entry/entry.h"
#include "extension/extension.h"
#include "interpreter/home_calls.h"
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"

// ---------------------------------------------------------------------------
// Opening and closing.

namespace {

void RaiseRuntimeError(const char* message) { PyRaise(e__PyExc_RuntimeError, message); }

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
  if (!SubInterpretersSupported()) {
    *why = "this Python library cannot make sub-interpreters";
    return nullptr;
  }
  InterpreterScope main(nullptr);
  if (!main.ok()) {
    *why = "the main interpreter cannot be entered";
    return nullptr;
  }
  uint32_t g = NewGeneration();
  SubInterpreter* s = TakeFreeRecord();
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
    ReturnRecord(s);
    *why = "Python could not make the interpreter";
    return nullptr;
  }
  s->interp = InterpOf(made);
  s->headWord = ThreadHeadOf(s->interp);
  if (s->headWord && *s->headWord != made) s->headWord = nullptr;  // its only state is at the head
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
    SubInterpreter* before = EnteredSub();
    uint32_t beforeGeneration = t.enteredGeneration;
    SetEnteredSub(s, g);
    XojoModulesAfterOpen(g);
    SetEnteredSub(before, beforeGeneration);
  }
  if (!own) PyRelease(RunPrivateSource(kOneInterpreterSource));
  if (EPyErr_Clear) EPyErr_Clear();
  ResetAfterOpen(g);
  EPyEval_SaveThread();
  EPyEval_RestoreThread(saved);
  PublishRecord(s, g);
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
    if (saved && !RestoreThroughBusySub(saved)) {
      SharedLockWait wait;
      EPyEval_RestoreThread(saved);
    }
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
  SubInterpreter* before = EnteredSub();
  uint32_t beforeGeneration = t.enteredGeneration;
  SetEnteredSub(s, g);
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
    SetEnteredSub(before, beforeGeneration);
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
  RetireRecord(s, g);
  EPy_EndInterpreter(mine);
  if (s->hasThreads.exchange(0) && !s->ownLock) gSharedLockWanted.fetch_sub(1);
  // Up to 3.11 the lock stays held, with no state current; from 3.12 on it
  // is given back.
  if (StatesBindOnActivation()) {
    SharedLockWait wait;
    EPyEval_RestoreThread(saved);
  } else {
    EPyThreadState_Swap(saved);
  }
  SetEnteredSub(before, beforeGeneration);
  s->anchor = nullptr;
  s->closing.store(0);
  ReturnRecord(s);
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
  PushActivation(s, Block(self)->generation);
}

void Python3Interpreter_Deactivate(REALobject self) {
  InterpreterData* d = Block(self);
  PopActivation(d->sub, d->generation);
}

int8_t Python3Interpreter_Close(REALobject self) {
  InterpreterData* d = Block(self);
  SubInterpreter* s = OpenOf(self);
  if (!s) return true;
  std::string why;
  if (RunsInside(s)) {
    why = "it is called from its own code";
  } else {
    StepOutForClose(s, d->generation);
    if (CloseSub(s, d->generation, &why)) return true;
    UndoStepOut();
  }
  RaiseRuntimeError(("the interpreter cannot be closed now: " + why).c_str());
  return false;
}

void Python3Interpreter_Destructor(REALobject self) {
  InterpreterData* d = Block(self);
  SubInterpreter* s = OpenOf(self);
  // Still open where it cannot be closed now: Finalize closes it.
  if (s && !RunsInside(s)) {
    StepOutForClose(s, d->generation);
    std::string why;
    if (!CloseSub(s, d->generation, &why)) UndoStepOut();
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

bool CloseSubInterpretersBeforeFinalize() {
  bool all = true;
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = RecordInSlot(i);
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
  if (all) ClearActivations();
  return all;
}
