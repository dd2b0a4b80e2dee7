// Stops as the code below the watchdog (interrupt.cpp) meets them: whether
// returns are watched for them, and the withdrawal of a stop sent to a thread
// and not raised yet (stops.h).
#include "interpreter/stops.h"

#include <string.h>

#include "plugin/host_call.h"
#include "python/refs.h"

std::atomic<int> gWatchers{0};

namespace {

// Python before 3.13 tells every thread of the interpreter to look for a
// stop when one is sent, and stops telling only once a thread has raised
// one: a stop withdrawn (set to nothing) leaves that word set for good, and
// every thread then looks at each function start and loop turn, which a
// thread with a trace function set (a debugger, coverage) repeats without
// end on 3.11. So the stop is withdrawn by raising it here, in a statement
// of no effect, and clearing the error; where it is not raised that way, it
// is set to nothing as before. The caller holds the lock of the interpreter
// its thread is in, with its state current.
bool gStopWordSticks;  // found at Init

// Whether the state's innermost Python frame runs Python's import machinery
// (the frozen importlib._bootstrap and _bootstrap_external).
bool RunsImportMachinery(PyThreadState* state) {
  PyObject* frame;
  if (EPyThreadState_GetFrame) {
    frame = EPyThreadState_GetFrame(state);  // from 3.9 on: a new reference
  } else {
    frame = reinterpret_cast<PyObject**>(state)[3];  // before 3.9 the fourth word, borrowed
    if (frame) EPy_IncRef(frame);
  }
  if (!frame) return false;
  PyRef owned(frame);
  PyRef code(EPyFrame_GetCode ? EPyFrame_GetCode(frame) : EPyObject_GetAttrString(frame, "f_code"));
  PyRef file(code ? EPyObject_GetAttrString(code.get(), "co_filename") : nullptr);
  Py_ssize_t size = 0;
  const char* text = file ? EPyUnicode_AsUTF8AndSize(file.get(), &size) : nullptr;
  static const char kPrefix[] = "<frozen importlib._bootstrap";
  const bool inside = text && size >= Py_ssize_t(sizeof kPrefix - 1) && memcmp(text, kPrefix, sizeof kPrefix - 1) == 0;
  if (!text) EPyErr_Clear();
  return inside;
}

}  // namespace

bool StopWouldBreakAnImport(unsigned long ident) {
  if (!EPyUnicode_AsUTF8AndSize || !EPyObject_GetAttrString || !EPyErr_Fetch || !EPyErr_Restore) return false;
  PyObject *type, *value, *traceback;
  EPyErr_Fetch(&type, &value, &traceback);
  const bool inside = LookAtStateCarrying(ident, RunsImportMachinery);
  EPyErr_Restore(type, value, traceback);
  return inside;
}

bool InterruptWatchesReturns() { return gWatchers.load() > 0; }

void StopsAfterInit() {
  gStopWordSticks = false;
  if (PyObject* info = EPySys_GetObject ? EPySys_GetObject("version_info") : nullptr) {
    PyRef minor(EPyObject_GetAttrString(info, "minor"));
    gStopWordSticks = minor && EPyLong_AsLong(minor.get()) <= 12;
  }
  if (EPyErr_Clear) EPyErr_Clear();
}

void TakeBackStop(unsigned long ident) {
  if (gStopWordSticks && EPyRun_StringFlags && EPyDict_New && EPyErr_Fetch && EPyErr_Restore &&
      ThreadStatesCarrying(ident) <= 1) {
    PyObject *type, *value, *traceback;
    EPyErr_Fetch(&type, &value, &traceback);
    PyRef globals(EPyDict_New());
    bool raised = false;
    if (globals && EPyThreadState_SetAsyncExc(ident, *e__PyExc_KeyboardInterrupt) == 1) {
      PyRef done(EPyRun_StringFlags("None", Py_eval_input, globals.get(), globals.get(), nullptr));
      raised = !done && EPyErr_Occurred() &&
               EPyErr_GivenExceptionMatches(EPyErr_Occurred(), *e__PyExc_KeyboardInterrupt);
    }
    EPyErr_Clear();
    EPyErr_Restore(type, value, traceback);
    if (raised) return;
  }
  EPyThreadState_SetAsyncExc(ident, nullptr);
}
