// What the files of the benchmarks share: Python's own C API resolved in
// the loaded library (for the raw twins), the plugin's members resolved once
// as compiled host code has them, the objects the set-up makes, and each
// path's one-iteration function.
#pragma once

#include <benchmark/benchmark.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "drivers/driver.h"

namespace coilbench {

using emuhost::Host;
using emuhost::Obj;
using emuhost::Str;

extern Host& host;

// ---------------------------------------------------------------- raw C API
struct PyObj;
struct PyMethodDefRaw {
  const char* name;
  void* meth;
  int flags;
  const char* doc;
};
struct PyModuleDefRaw {
  intptr_t refcnt;
  void* type;
  void* m_init;
  intptr_t m_index;
  void* m_copy;
  const char* m_name;
  const char* m_doc;
  intptr_t m_size;
  PyMethodDefRaw* m_methods;
  void* rest[4];
};

struct Raw {
  PyObj* (*PyTuple_New)(intptr_t);
  int (*PyTuple_SetItem)(PyObj*, intptr_t, PyObj*);
  PyObj* (*PyLong_FromLong)(long);
  long (*PyLong_AsLong)(PyObj*);
  PyObj* (*PyObject_CallObject)(PyObj*, PyObj*);
  void (*Py_DecRef)(PyObj*);
  void (*Py_IncRef)(PyObj*);
  PyObj* (*PyUnicode_FromStringAndSize)(const char*, intptr_t);
  const char* (*PyUnicode_AsUTF8AndSize)(PyObj*, intptr_t*);
  PyObj* (*PyList_New)(intptr_t);
  int (*PyList_Append)(PyObj*, PyObj*);
  PyObj* (*PyList_GetItem)(PyObj*, intptr_t);
  PyObj* (*PyDict_New)();
  int (*PyDict_SetItem)(PyObj*, PyObj*, PyObj*);
  PyObj* (*PyDict_GetItem)(PyObj*, PyObj*);
  PyObj* (*PyImport_ImportModule)(const char*);
  PyObj* (*PyObject_GetAttrString)(PyObj*, const char*);
  int (*PyArg_ParseTuple)(PyObj*, const char*, ...);
  PyObj* (*PyModule_Create2)(PyModuleDefRaw*, int);
  void (*PyErr_Clear)();
  PyObj* (*PyObject_GetIter)(PyObj*);
  PyObj* (*PyIter_Next)(PyObj*);
  PyObj* (*PyMemoryView_FromMemory)(char*, intptr_t, int);
  int (*PyObject_GetBuffer)(PyObj*, struct RawBuffer*, int);
  void (*PyBuffer_Release)(struct RawBuffer*);
  void* (*PyEval_SaveThread)();
  void (*PyEval_RestoreThread)(void*);
};
extern Raw raw;

// Python's buffer structure (3.3 and later).
struct RawBuffer {
  void* buf;
  PyObj* obj;
  intptr_t len, itemsize;
  int readonly, ndim;
  char* format;
  intptr_t *shape, *strides, *suboffsets;
  void* internal;
};

// ------------------------------------------------------- host-side bindings
// Resolved once, as compiled host code has them.
struct HostCalls {
  REALobject (*createInstance)(REALclassRef);
  void (*unlock)(REALobject);
  void (*unlockString)(REALstring);
  REALstring (*buildString)(const char*, size_t, uint32_t);
  REALclassRef parameters, entity, list, dictionary, result, bytes, memoryBlock;
  void (*paramsCtor)(Obj, int32_t);
  void (*paramsPtrCtor)(Obj, void*);
  void (*setInt32)(Obj, int32_t, int32_t);
  int32_t (*getInt32)(Obj, int32_t);
  Obj (*invoke)(Obj, Obj);
  int32_t (*resultInt32)(Obj);
  void (*resultCtorInt32)(Obj, int32_t);
  void* (*getPtr)(Obj);
  Obj (*fromString)(Str);
  Str (*entityString)(Obj, intptr_t);
  Obj (*fromInt32)(int32_t);
  int32_t (*entityInt32)(Obj, intptr_t);
  void (*listCtor)(Obj);
  void (*listAppend)(Obj, Obj);
  Obj (*listGetItem)(Obj, int32_t);
  void (*dictCtor)(Obj);
  void (*dictSet)(Obj, Str, Obj);
  Obj (*dictGet)(Obj, Str);
  void (*bytesFromBlock)(Obj, Obj);
  Obj (*bytesToBlock)(Obj);
  void (*blockCtor)(Obj, int32_t);
  void* (*blockPtr)(Obj);
  void (*allowThreads)(int8_t);
  void (*setTimeLimit)(int32_t);
  void (*keepLock)(int8_t);
  void (*deliverOutput)();
  Obj (*entityField)(Obj, Str);
  Obj (*callMethod)(Obj, Str, Obj);
  Obj (*iterate)(Obj);
  Obj (*next)(Obj);
  Obj (*fromMemoryBlock)(Obj, int8_t);
  void (*setEntity)(Obj, int32_t, Obj);
  Obj (*getBuffer)(Obj, int8_t);
  void* (*bufferData)(Obj, intptr_t);
  int64_t (*bufferSize)(Obj, intptr_t);
  void (*bufferRelease)(Obj);
  Obj (*resultEntity)(Obj);
  Obj (*resultBytes)(Obj);
};
extern HostCalls hc;

// ----------------------------------------------------------- setup.cpp
// Loads the plugin, starts Python with the bench's module and host module,
// and resolves everything above; exits when any of it fails.
void StartPython();
void LoadPeer();
PyObj* CallbackArgs(PyObj* f);
extern Obj gModule;     // Python3Module "coilbench"
extern Obj gAdd;        // Python3Function add(a, b)
extern Obj gLoop;       // Python3Function loop(f, n)
extern Obj gStartIdle;  // Python3Function start_idle(): a thread waiting on an event
extern Obj gStopIdle;   // Python3Function stop_idle(): sets the event, joins the thread
extern PyObj* gAddRaw;  // the same function object, for the raw twins
extern PyObj* gLoopRaw;
extern PyObj* gHostF;     // f registered through a Python3XojoModule
extern PyObj* gRawF;      // f as a plain METH_VARARGS C function
extern Obj gCounter;      // Python3Entity holding coilbench.counter, a Counter instance
extern Obj gNumbers;      // Python3Entity holding coilbench.numbers, range(100000)
extern PyObj* gCounterRaw;
extern PyObj* gNumbersRaw;
extern Str gIncName;      // "inc", the method's name as host code holds it
extern Obj gLast, gSame;  // Python3Function last(b) (b[-1]) and same(x) (x)
extern Obj gFrame;        // Python3Entity holding coilbench.frame, a 1 MiB bytearray
extern PyObj *gLastRaw, *gFrameRaw;
// thread_callback: start_host_calls(n) and join_calls(), and the raw twin's
// start_calls, join_calls and thread_f; start_timed_host_calls(n) for the
// latency line.
extern Obj gStartHostCalls, gJoinCalls, gStartTimedHostCalls;
extern PyObj *gStartCallsRaw, *gJoinCallsRaw, *gRawThreadF;
// The pybind11 peer's call, the same inside gil_scoped_acquire, and its f.
extern long (*gPeerCall)(long, long);
extern long (*gPeerCallAcquire)(long, long);
extern PyObj* gPeerF;
// f: answers its Int32 argument plus one.
void* HostF(void*, void* args);
PyObj* RawF(PyObj*, PyObj* args);

extern const char* gFailure;  // set when a path could not run; the bench then fails

// The Google Benchmark runs: every path on its own, for the table.
template <void (*One)()>
void BM(benchmark::State& state) {
  for (auto _ : state) One();
}

// ----------------------------------------------------------- calls.cpp
constexpr int kLoop = 1000;
int32_t PluginCall(int32_t a, int32_t b);
extern int32_t gCallPluginI, gCallRawI;
void OneCallPlugin();
void OneCallRaw();
void OneCallPeer();
void OneCallPeerAcquire();
extern PyObj* gCallbackPluginArgs;
extern PyObj* gCallbackRawArgs;
extern PyObj* gCallbackPeerArgs;
template <PyObj** Args>
void OneCallback() {
  PyObj* r = raw.PyObject_CallObject(gLoopRaw, *Args);
  if (r) raw.Py_DecRef(r);
  else gFailure = "loop(f, n) raised";
}
bool InvokeInt(Obj f, const int32_t* arg);
void CallPython(Obj f);
extern int32_t (*gCompareExported)(REALstring, REALstring);
extern int32_t (*gCompareEntry)(REALstring, REALstring);
extern Str gA, gB;
void OneBindingPlugin();
void OneBindingRaw();
void OneMethodPlugin();
void OneMethodRaw();
void OneIteratePlugin();
void OneIterateRaw();
void BM_call_idle_thread(benchmark::State& state);
void BM_call_time_limit(benchmark::State& state);
void BM_call_allow_threads(benchmark::State& state);

// ----------------------------------------------------------- threads.cpp
constexpr int kThreadCalls = 10000;
extern PyObj* gThreadRawArgs;  // (thread_f, kThreadCalls) for the raw start_calls
void* HostThreadF(void* module, void* args);
PyObj* RawThreadF(PyObj*, PyObj* args);
extern long gThreadLooks;  // DeliverOutput calls of the serving loop, over every run of the path
extern long gThreadRuns;
void OneThreadCallbackPlugin();
void OneThreadCallbackRaw();
void ThreadCallLatency();
void StartIdleKeeping();
void StopIdleKeeping();

// ------------------------------------------------------- collections.cpp
constexpr int kItems = 100000;
std::string MakeText(bool mixed);
extern std::string gAscii, gMixed;
extern Str gAsciiStr, gMixedStr;
template <Str* S>
void OneStringPlugin();
template <std::string* Text>
void OneStringRaw();
extern Obj gBlock;  // 1 MiB of 'x'
void OneBytesPlugin();
void OneBytesRaw();
void OneListPlugin();
void OneListRaw();
extern std::vector<std::string> gKeys;
extern std::vector<Str> gKeyStrs;
extern Obj gDictValue;        // FromInt32(7)
extern PyObj* gDictRawValue;  // 7
void OneDictPlugin();
void OneDictRaw();

// ----------------------------------------------------------- buffers.cpp
void OneBufferInPlugin();
void OneBufferInRaw();
void OneBufferOutPlugin();
void OneBufferOutRaw();
void OneRoundTripCopied();
void OneRoundTripShared();

// -------------------------------------------------------- host_costs.cpp
void OneHostObject();
void OneHostBlock();
extern uint32_t (*gStringEncoding)(REALstring);
extern int32_t (*gStringLenB)(REALstring);
extern const char* (*gStringBytes)(REALstring);
void OneHostStrings();
void BM_host_string(benchmark::State& state);

// ------------------------------------------------------ interpreters.cpp
// sub_call: the call pair's path through a shared-lock sub-interpreter's
// add; parallel: two loops in two own-lock interpreters at once (3.12 on),
// beside raw Python's figure. False when a loop could not run.
void StartSubInterpreter();
// Beside sub_call: the same raw call with Python's own switch into a
// sub-interpreter and back around it, against the raw call; its ratio, 0
// where it could not be measured.
double MeasureRawSwitch();
void OneSubCallPlugin();
// activated_call: the sub-interpreter activated on the home thread around
// the sub_call path; Python's own switch for sub_call, as counted.
void ActivateSub();
void DeactivateSub();
bool StartRawSwitch();
void EndRawSwitch();
void OneSubCallRaw();
bool MeasureParallel();

// ----------------------------------------------------------- measure.cpp
struct Pair {
  const char* name;
  double target;
  void (*plugin)();
  void (*twin)();
  void (*peer)();  // the pybind11 peer, where there is one
  // The host's own work in one iteration of the plugin path: instances made
  // and released, 1 MiB MemoryBlocks made and released, and reads of every
  // key string of the dict pair (its encoding, length and bytes).
  double hostObjects, hostBlocks;
  double hostKeyReads;
  bool milliseconds;  // shown in ms in the table
  int items;          // calls per iteration, shown as a rate in the table
  // Around each block of the plugin path only (untimed): a setting it runs
  // in, such as an activated interpreter.
  void (*enter)() = nullptr;
  void (*leave)() = nullptr;
};
extern const Pair kPairs[];
extern const size_t kPairCount;
void RegisterPath(const std::string& name, void (*one)(), const Pair& p, bool peer);
extern int gRounds;
struct PairFigures {
  double alone, plugin, twin, peer, host;  // medians over the rounds; ns per iteration
  double aloneWithKeyReads;  // the share with the host's key reads counted as the plugin's
};
// The ratio of two paths timed in blocks that alternate within each round,
// each block between its own set-up and tear-down (untimed); the median over
// the rounds.
struct Setting {
  void (*enter)();
  void (*leave)();
};
double PairedRatio(void (*one)(), Setting measured, Setting base);
PairFigures Measure(const Pair& p);
void SetLongLimit();
void ClearLimit();
// Keeps the fastest repetition of each benchmark, in CPU time: on a shared
// machine the other repetitions only add time that other processes took.
class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> ns;  // per iteration
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;  // the repetitions themselves; their mean and spread are not used
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      shown.push_back(r);
      if (r.error_occurred) continue;
      double t = r.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
      auto it = ns.find(r.run_name.function_name);
      if (it == ns.end() || t < it->second) ns[r.run_name.function_name] = t;
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }
};
extern long gMemoryCalls;
bool MemoryCheck();
bool CountInstructions(const std::string& wanted);

}  // namespace coilbench
