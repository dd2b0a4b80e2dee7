// The call paths: a Python function called from host code, a host function
// called back from Python, an exported binding function, a method of a held
// instance, an iteration; and the call path with an idle Python thread, a
// time limit or AllowThreads.
#include "bench.h"

namespace coilbench {

// Each path is one iteration's work in a function of its own; the Google
// Benchmark runs and the paired rounds below both repeat it.

// call: a Python3Parameters of 2, two Int32 setters, Invoke, Int32Value.
int32_t PluginCall(int32_t a, int32_t b) {
  Obj p = hc.createInstance(hc.parameters);
  hc.paramsCtor(p, 2);
  hc.setInt32(p, 0, a);
  hc.setInt32(p, 1, b);
  Obj r = hc.invoke(gAdd, p);
  int32_t v = hc.resultInt32(r);
  hc.unlock(r);
  hc.unlock(p);
  return v;
}
int32_t gCallPluginI, gCallRawI;
long gPeerI;
void OneCallPlugin() { benchmark::DoNotOptimize(PluginCall(gCallPluginI++, 1)); }
void OneCallRaw() {
  PyObj* t = raw.PyTuple_New(2);
  raw.PyTuple_SetItem(t, 0, raw.PyLong_FromLong(gCallRawI++));
  raw.PyTuple_SetItem(t, 1, raw.PyLong_FromLong(1));
  PyObj* r = raw.PyObject_CallObject(gAddRaw, t);
  benchmark::DoNotOptimize(raw.PyLong_AsLong(r));
  raw.Py_DecRef(r);
  raw.Py_DecRef(t);
}
void OneCallPeer() { benchmark::DoNotOptimize(gPeerCall(gPeerI++, 1)); }
void OneCallPeerAcquire() { benchmark::DoNotOptimize(gPeerCallAcquire(gPeerI++, 1)); }

// callback: Python calls f(i) kLoop times; the arguments of loop(f, n) for
// each f are made once (MakeCallbackArgs).
PyObj* gCallbackPluginArgs;
PyObj* gCallbackRawArgs;
PyObj* gCallbackPeerArgs;
const char* gFailure;  // set when a path could not run; the bench then fails
PyObj* CallbackArgs(PyObj* f) {
  if (!f) return nullptr;
  PyObj* t = raw.PyTuple_New(2);
  raw.Py_IncRef(f);
  raw.PyTuple_SetItem(t, 0, f);
  raw.PyTuple_SetItem(t, 1, raw.PyLong_FromLong(kLoop));
  return t;
}

// Invokes a Python function of no or one Int32 argument through the plugin;
// false when it raised.
bool InvokeInt(Obj f, const int32_t* arg) {
  Obj p = nullptr;
  if (arg) {
    p = hc.createInstance(hc.parameters);
    hc.paramsCtor(p, 1);
    hc.setInt32(p, 0, *arg);
  }
  Obj r = hc.invoke(f, p);
  if (r) hc.unlock(r);
  if (p) hc.unlock(p);
  return r != nullptr;
}

// binding: a resolved exported binding function against a direct call.
int32_t (*gCompareExported)(REALstring, REALstring);
int32_t (*gCompareEntry)(REALstring, REALstring);
Str gA, gB;
void OneBindingPlugin() { benchmark::DoNotOptimize(gCompareExported(gA, gB)); }
void OneBindingRaw() { benchmark::DoNotOptimize(gCompareEntry(gA, gB)); }

// method: a Python3Parameters of 1, one Int32 setter, CallMethod on a held
// instance, Int32Value; the twin looks the method up and calls it.
int32_t gMethodPluginI, gMethodRawI;
void OneMethodPlugin() {
  Obj p = hc.createInstance(hc.parameters);
  hc.paramsCtor(p, 1);
  hc.setInt32(p, 0, gMethodPluginI++ & 0xFFFF);
  Obj r = hc.callMethod(gCounter, gIncName, p);
  benchmark::DoNotOptimize(hc.resultInt32(r));
  hc.unlock(r);
  hc.unlock(p);
}
void OneMethodRaw() {
  PyObj* m = raw.PyObject_GetAttrString(gCounterRaw, "inc");
  PyObj* t = raw.PyTuple_New(1);
  raw.PyTuple_SetItem(t, 0, raw.PyLong_FromLong(gMethodRawI++ & 0xFFFF));
  PyObj* r = raw.PyObject_CallObject(m, t);
  benchmark::DoNotOptimize(raw.PyLong_AsLong(r));
  raw.Py_DecRef(r);
  raw.Py_DecRef(t);
  raw.Py_DecRef(m);
}

// iterate: Iterate over range(100000), Next and Int32Value for each item.
void OneIteratePlugin() {
  Obj it = hc.iterate(gNumbers);
  while (Obj e = hc.next(it)) {
    benchmark::DoNotOptimize(hc.entityInt32(e, 0));
    hc.unlock(e);
  }
  hc.unlock(it);
}
void OneIterateRaw() {
  PyObj* it = raw.PyObject_GetIter(gNumbersRaw);
  while (PyObj* v = raw.PyIter_Next(it)) {
    benchmark::DoNotOptimize(raw.PyLong_AsLong(v));
    raw.Py_DecRef(v);
  }
  raw.Py_DecRef(it);
}

// For information, not pairs: the call path while one idle Python thread
// exists (each call takes and gives back the interpreter lock), and with
// AllowThreads(True) and no other thread (the same hand-off, asked for).
void CallPython(Obj f) {
  Obj r = hc.invoke(f, nullptr);
  if (r) hc.unlock(r);
}
void BM_call_idle_thread(benchmark::State& state) {
  CallPython(gStartIdle);
  BM<OneCallPlugin>(state);
  CallPython(gStopIdle);  // returns with the thread gone: the lock is kept again
}
// The call path with a time limit set that no call reaches (10 s).
void BM_call_time_limit(benchmark::State& state) {
  hc.setTimeLimit(10000);
  BM<OneCallPlugin>(state);
  hc.setTimeLimit(0);
}
void BM_call_allow_threads(benchmark::State& state) {
  hc.allowThreads(1);
  BM<OneCallPlugin>(state);
  hc.allowThreads(0);  // returns keeping the lock: no other thread exists
}

}  // namespace coilbench
