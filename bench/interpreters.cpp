// Sub-interpreters: a call through a sub-interpreter's function handle
// against the same call in the main interpreter (sub_call), and two
// CPU-bound loops in two own-lock interpreters on two host threads against
// the same two loops one after the other (parallel), beside raw Python's
// figure for the same through the C API.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "bench.h"

namespace coilbench {

namespace {

void* PythonSymbol(const char* name) { return dlsym(RTLD_DEFAULT, name); }

Obj gSubInterpreter;  // a shared-lock sub-interpreter, open for the bench's life
Obj gSubAdd;          // add(a, b) defined in it
int32_t gSubCallI;

const char kLoopCode[] = "total = sum(i * i % 7 for i in range(3000000))";

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

Obj NewInterpreter(bool ownLock) {
  return host.create("Python3Interpreter", "Constructor(ownLock as Boolean)", int8_t(ownLock));
}

bool ExecHere(const char* code) {
  Str s = hc.buildString(code, strlen(code), emuhost::kUTF8);
  bool ran = host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", s) != 0;
  hc.unlockString(s);
  return ran;
}

// One loop in the interpreter, on the calling thread.
bool LoopIn(Obj interpreter) {
  host.call<void>(interpreter, "Activate()");
  bool ran = ExecHere(kLoopCode);
  host.call<void>(interpreter, "Deactivate()");
  return ran;
}

// ------------------------------------------------------ raw Python's figure
struct RawSub {
  struct Status {
    int type;
    const char* func;
    const char* message;
    int exitcode;
  };
  Status (*newFromConfig)(void**, const int*);
  void (*end)(void*);
  int (*runSimple)(const char*);
  void* (*saveThread)();
  void (*restoreThread)(void*);
  int (*ensure)();
  void (*release)(int);
};

// Makes an own-lock interpreter on this thread, runs the loop in it, ends
// it, and leaves no lock held. Every thread's own work, through the C API
// as a C program does it.
bool RawLoop(const RawSub& r) {
  static const int kIsolated[] = {0, 0, 1, 1, 0, 1, 2};
  int held = r.ensure();
  void* main = r.saveThread();  // the main lock goes; the new interpreter has its own
  r.restoreThread(main);
  void* made = nullptr;
  RawSub::Status status = r.newFromConfig(&made, kIsolated);  // gives the main lock back
  bool ok = status.type == 0 && made;
  if (ok) {
    ok = r.runSimple(kLoopCode) == 0;
    r.end(made);  // no lock held afterwards
  }
  r.restoreThread(main);
  r.release(held);
  return ok;
}

// Two loops: once each as a warm-up, then one after the other on this
// thread, then at once on two threads; the seconds of both ways.
struct Timing {
  bool ok;
  double sequential, parallel;
};
Timing TwoLoops(const std::function<bool()>& first, const std::function<bool()>& second) {
  bool ok = first() && second();
  auto t0 = std::chrono::steady_clock::now();
  ok = ok && first() && second();
  auto t1 = std::chrono::steady_clock::now();
  bool okA = false, okB = false;
  std::thread ta([&] { okA = first(); }), tb([&] { okB = second(); });
  ta.join();
  tb.join();
  auto t2 = std::chrono::steady_clock::now();
  return Timing{ok && okA && okB, Seconds(t0, t1), Seconds(t1, t2)};
}

// Python's own switch between interpreters, through the C API: a
// shared-lock sub-interpreter made with Py_NewInterpreter, whose add the
// twin calls between two swaps of the current thread state.
struct RawSwitch {
  void* (*newInterpreter)();
  void (*end)(void*);
  void* (*swap)(void*);
  void* (*get)();
  int (*runSimple)(const char*);
  PyObj* (*addModule)(const char*);
  void* main;
  void* sub;
  PyObj* add;
} gRaw;
int32_t gRawSubI;

}  // namespace

// The home thread keeps the main lock with the main thread state current
// before and after, as the plugin left it.
bool StartRawSwitch() {
  RawSwitch& r = gRaw;
  r.newInterpreter = reinterpret_cast<void* (*)()>(PythonSymbol("Py_NewInterpreter"));
  r.end = reinterpret_cast<void (*)(void*)>(PythonSymbol("Py_EndInterpreter"));
  r.swap = reinterpret_cast<void* (*)(void*)>(PythonSymbol("PyThreadState_Swap"));
  r.get = reinterpret_cast<void* (*)()>(PythonSymbol("PyThreadState_Get"));
  r.runSimple = reinterpret_cast<int (*)(const char*)>(PythonSymbol("PyRun_SimpleString"));
  r.addModule = reinterpret_cast<PyObj* (*)(const char*)>(PythonSymbol("PyImport_AddModule"));
  if (!r.newInterpreter || !r.end || !r.swap || !r.get || !r.runSimple || !r.addModule) return false;
  r.main = r.get();
  r.sub = r.newInterpreter();
  if (!r.sub) {
    if (r.get() != r.main) r.swap(r.main);
    return false;
  }
  if (r.runSimple("def add(a, b):\n    return a + b\n") == 0) {
    PyObj* m = r.addModule("__main__");  // borrowed
    r.add = m ? raw.PyObject_GetAttrString(m, "add") : nullptr;
  }
  // Back to the main state as the plugin goes back after opening one: from
  // 3.12 on this also makes it the thread's state for PyGILState again.
  raw.PyEval_SaveThread();
  raw.PyEval_RestoreThread(r.main);
  return r.add != nullptr;
}

void EndRawSwitch() {
  RawSwitch& r = gRaw;
  if (!r.sub) return;
  r.swap(r.sub);
  if (r.add) raw.Py_DecRef(r.add);
  r.add = nullptr;
  r.end(r.sub);  // leaves no state current; from 3.12 on, no lock held either
  if (PythonSymbol("Py_NewInterpreterFromConfig"))
    raw.PyEval_RestoreThread(r.main);
  else
    r.swap(r.main);
  r.sub = nullptr;
}

// The call pair's raw twin, in the sub-interpreter: swapped in and out
// around the call, as little as Python lets a caller switch.
void OneSubCallRaw() {
  gRaw.swap(gRaw.sub);
  PyObj* t = raw.PyTuple_New(2);
  raw.PyTuple_SetItem(t, 0, raw.PyLong_FromLong(gRawSubI++));
  raw.PyTuple_SetItem(t, 1, raw.PyLong_FromLong(1));
  PyObj* r = raw.PyObject_CallObject(gRaw.add, t);
  benchmark::DoNotOptimize(raw.PyLong_AsLong(r));
  raw.Py_DecRef(r);
  raw.Py_DecRef(t);
  gRaw.swap(gRaw.main);
}

double MeasureRawSwitch() {
  if (!StartRawSwitch()) {
    EndRawSwitch();
    printf("info: sub_call: Python's own switch could not be measured\n");
    return 0;
  }
  PairFigures f = Measure(Pair{"sub_call_raw", 0, OneSubCallRaw, OneCallRaw, nullptr, 0, 0, 0, false, 0});
  EndRawSwitch();
  printf("info: sub_call: Python's own switch, the raw call swapped into a sub-interpreter and back "
         "through the C API: %.0f raw %.0f ratio %.2f\n", f.plugin, f.twin, f.plugin / f.twin);
  return f.twin > 0 ? f.plugin / f.twin : 0;
}

void StartSubInterpreter() {
  gSubInterpreter = NewInterpreter(false);
  host.call<void>(gSubInterpreter, "Activate()");
  bool made = ExecHere("def add(a, b):\n    return a + b\n");
  Str name = hc.buildString("__main__", 8, emuhost::kUTF8);
  Obj module = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", name);
  hc.unlockString(name);
  host.call<void>(gSubInterpreter, "Deactivate()");
  if (!made || !module) {
    gFailure = "sub_call: the sub-interpreter's add could not be made";
    return;
  }
  Str addName = hc.buildString("add", 3, emuhost::kUTF8);
  gSubAdd = host.call<Obj>(module, "GetFunction(name as String) as Python3Function", addName);
  hc.unlockString(addName);
  hc.unlock(module);
}

void ActivateSub() { host.call<void>(gSubInterpreter, "Activate()"); }
void DeactivateSub() { host.call<void>(gSubInterpreter, "Deactivate()"); }

// sub_call: the call pair's path with the sub-interpreter's add, called
// from the main thread with the main interpreter current.
void OneSubCallPlugin() {
  Obj p = hc.createInstance(hc.parameters);
  hc.paramsCtor(p, 2);
  hc.setInt32(p, 0, gSubCallI++);
  hc.setInt32(p, 1, 1);
  Obj r = hc.invoke(gSubAdd, p);
  benchmark::DoNotOptimize(hc.resultInt32(r));
  hc.unlock(r);
  hc.unlock(p);
}

bool MeasureParallel() {
  RawSub r{};
  r.newFromConfig = reinterpret_cast<RawSub::Status (*)(void**, const int*)>(PythonSymbol("Py_NewInterpreterFromConfig"));
  r.end = reinterpret_cast<void (*)(void*)>(PythonSymbol("Py_EndInterpreter"));
  r.runSimple = reinterpret_cast<int (*)(const char*)>(PythonSymbol("PyRun_SimpleString"));
  r.saveThread = reinterpret_cast<void* (*)()>(PythonSymbol("PyEval_SaveThread"));
  r.restoreThread = reinterpret_cast<void (*)(void*)>(PythonSymbol("PyEval_RestoreThread"));
  r.ensure = reinterpret_cast<int (*)()>(PythonSymbol("PyGILState_Ensure"));
  r.release = reinterpret_cast<void (*)(int)>(PythonSymbol("PyGILState_Release"));
  if (!r.newFromConfig || !r.end || !r.runSimple || !r.saveThread || !r.restoreThread || !r.ensure ||
      !r.release) {
    printf("parallel: this Python has no own-lock interpreters (3.12 and later): not measured\n");
    return true;
  }
  // The home thread lets other threads take the main lock meanwhile.
  hc.allowThreads(1);
  Obj a = NewInterpreter(true), b = NewInterpreter(true);
  Timing mine = TwoLoops([&] { return LoopIn(a); }, [&] { return LoopIn(b); });
  host.call<int8_t>(a, "Close() as Boolean");
  host.call<int8_t>(b, "Close() as Boolean");
  hc.unlock(a);
  hc.unlock(b);
  // The same two loops through the C API: each in an interpreter of its own.
  Timing direct = TwoLoops([&] { return RawLoop(r); }, [&] { return RawLoop(r); });
  hc.allowThreads(0);
  if (!mine.ok || !direct.ok) {
    gFailure = "parallel: a loop did not run";
    printf("parallel: a loop did not run (plugin %s, raw %s)\n", mine.ok ? "ran" : "failed",
           direct.ok ? "ran" : "failed");
    return false;
  }
  printf("parallel: speed-up %.2f for two loops in two own-lock interpreters on two host threads "
         "(raw Python through the C API: %.2f; one after the other %.0f ms, at once %.0f ms)\n",
         mine.sequential / mine.parallel, direct.sequential / direct.parallel, 1000 * mine.sequential,
         1000 * mine.parallel);
  return true;
}

}  // namespace coilbench
