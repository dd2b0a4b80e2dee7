// The bench's set-up: the plugin loaded into the emulated host, Python
// started with the bench's module and a host-made module, Python's own C
// API and the plugin's members resolved once, and the pybind11 peer where
// it was built.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>

#include "bench.h"

namespace coilbench {

Host& host = Host::get();
Raw raw;
HostCalls hc;

namespace {

template <class F>
void Sym(F& f, const char* name) {
  f = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
  if (!f) {
    fprintf(stderr, "bench: %s not found in the loaded Python\n", name);
    exit(2);
  }
}

void BindRaw() {
  Sym(raw.PyTuple_New, "PyTuple_New");
  Sym(raw.PyTuple_SetItem, "PyTuple_SetItem");
  Sym(raw.PyLong_FromLong, "PyLong_FromLong");
  Sym(raw.PyLong_AsLong, "PyLong_AsLong");
  Sym(raw.PyObject_CallObject, "PyObject_CallObject");
  Sym(raw.Py_DecRef, "Py_DecRef");
  Sym(raw.Py_IncRef, "Py_IncRef");
  Sym(raw.PyUnicode_FromStringAndSize, "PyUnicode_FromStringAndSize");
  Sym(raw.PyUnicode_AsUTF8AndSize, "PyUnicode_AsUTF8AndSize");
  Sym(raw.PyList_New, "PyList_New");
  Sym(raw.PyList_Append, "PyList_Append");
  Sym(raw.PyList_GetItem, "PyList_GetItem");
  Sym(raw.PyDict_New, "PyDict_New");
  Sym(raw.PyDict_SetItem, "PyDict_SetItem");
  Sym(raw.PyDict_GetItem, "PyDict_GetItem");
  Sym(raw.PyImport_ImportModule, "PyImport_ImportModule");
  Sym(raw.PyObject_GetAttrString, "PyObject_GetAttrString");
  Sym(raw.PyArg_ParseTuple, "PyArg_ParseTuple");
  Sym(raw.PyModule_Create2, "PyModule_Create2");
  Sym(raw.PyErr_Clear, "PyErr_Clear");
  Sym(raw.PyObject_GetIter, "PyObject_GetIter");
  Sym(raw.PyIter_Next, "PyIter_Next");
  Sym(raw.PyMemoryView_FromMemory, "PyMemoryView_FromMemory");
  Sym(raw.PyObject_GetBuffer, "PyObject_GetBuffer");
  Sym(raw.PyBuffer_Release, "PyBuffer_Release");
  Sym(raw.PyEval_SaveThread, "PyEval_SaveThread");
  Sym(raw.PyEval_RestoreThread, "PyEval_RestoreThread");
}

template <class F>
void Method(F& f, const char* cls, const char* decl) {
  f = reinterpret_cast<F>(host.method(cls, decl));
}
template <class F>
void Shared(F& f, const char* cls, const char* decl) {
  f = reinterpret_cast<F>(host.sharedMethod(cls, decl));
}
template <class F>
void Getter(F& f, const char* cls, const char* name) {
  f = reinterpret_cast<F>(host.propertyGetter(cls, name));
}

void BindHost() {
  hc.createInstance = reinterpret_cast<REALobject (*)(REALclassRef)>(host.resolve("CreateInstance"));
  hc.unlock = reinterpret_cast<void (*)(REALobject)>(host.resolve("REALUnlockObject"));
  hc.unlockString = reinterpret_cast<void (*)(REALstring)>(host.resolve("REALUnlockString"));
  hc.buildString = reinterpret_cast<REALstring (*)(const char*, size_t, uint32_t)>(
      host.resolve("REALBuildStringWithEncoding"));
  hc.parameters = host.classRef("Python3Parameters");
  hc.entity = host.classRef("Python3Entity");
  hc.list = host.classRef("Python3List");
  hc.dictionary = host.classRef("Python3Dictionary");
  hc.result = host.classRef("Python3Result");
  hc.bytes = host.classRef("Python3Bytes");
  hc.memoryBlock = host.classRef("MemoryBlock");
  Method(hc.paramsCtor, "Python3Parameters", "Constructor(parameterCount as Integer)");
  Method(hc.paramsPtrCtor, "Python3Parameters", "Constructor(paramPtr as Ptr)");
  hc.setInt32 = reinterpret_cast<void (*)(Obj, int32_t, int32_t)>(
      host.setter("Python3Parameters", "Int32Value(index as Integer) as Int32"));
  Method(hc.getInt32, "Python3Parameters", "Int32Value(index as Integer) as Int32");
  Method(hc.invoke, "Python3Function", "Invoke(parameters as Python3Parameters) as Python3Result");
  Method(hc.resultInt32, "Python3Result", "Int32Value() as Int32");
  Method(hc.resultCtorInt32, "Python3Result", "Constructor(value as Int32)");
  Method(hc.getPtr, "Python3Result", "GetPtr() as Ptr");
  Shared(hc.fromString, "Python3Entity", "FromString(value as String) as Python3Entity");
  Getter(hc.entityString, "Python3Entity", "StringValue");
  Shared(hc.fromInt32, "Python3Entity", "FromInt32(value as Int32) as Python3Entity");
  Getter(hc.entityInt32, "Python3Entity", "Int32Value");
  Method(hc.listCtor, "Python3List", "Constructor()");
  Method(hc.listAppend, "Python3List", "Append(value as Python3EntityBase)");
  Method(hc.listGetItem, "Python3List", "GetItem(index as Integer) as Python3Entity");
  Method(hc.dictCtor, "Python3Dictionary", "Constructor()");
  Method(hc.dictSet, "Python3Dictionary", "SetValue(key as String, value as Python3EntityBase)");
  Method(hc.dictGet, "Python3Dictionary", "GetValue(key as String) as Python3Entity");
  Method(hc.bytesFromBlock, "Python3Bytes", "Constructor(value as MemoryBlock)");
  Method(hc.bytesToBlock, "Python3Bytes", "ToMemoryBlock() as MemoryBlock");
  Method(hc.blockCtor, "MemoryBlock", "Constructor(bytes as Integer)");
  Method(hc.blockPtr, "MemoryBlock", "Operator_Convert() As Ptr");
  Shared(hc.allowThreads, "Coilwork", "AllowThreads(allow as Boolean)");
  Shared(hc.setTimeLimit, "Coilwork", "SetTimeLimit(milliseconds as Integer)");
  Shared(hc.keepLock, "Coilwork", "KeepLock(keep as Boolean)");
  Shared(hc.deliverOutput, "Coilwork", "DeliverOutput()");
  Method(hc.entityField, "Python3Module", "EntityField(name as String) as Python3EntityBase");
  Method(hc.callMethod, "Python3EntityBase",
         "CallMethod(name as String, parameters as Python3Parameters) as Python3Result");
  Method(hc.iterate, "Python3EntityBase", "Iterate() as Python3Iterator");
  Method(hc.next, "Python3Iterator", "Next() as Python3Entity");
  Shared(hc.fromMemoryBlock, "Python3Entity",
         "FromMemoryBlock(block as MemoryBlock, writable as Boolean) as Python3Entity");
  hc.setEntity = reinterpret_cast<void (*)(Obj, int32_t, Obj)>(
      host.setter("Python3Parameters", "EntityValue(index as Integer) as Python3EntityBase"));
  Method(hc.getBuffer, "Python3EntityBase", "GetBuffer(writable as Boolean) as Python3Buffer");
  Getter(hc.bufferData, "Python3Buffer", "Data");
  Getter(hc.bufferSize, "Python3Buffer", "Size");
  Method(hc.bufferRelease, "Python3Buffer", "Release()");
  Method(hc.resultEntity, "Python3Result", "AsEntity() as Python3Entity");
  Method(hc.resultBytes, "Python3Result", "BytesValue() as Python3Bytes");
}

}  // namespace

// ------------------------------------------------------------ Python set-up
std::string gDir;
Obj gModule;     // Python3Module "coilbench"
Obj gAdd;        // Python3Function add(a, b)
Obj gLoop;       // Python3Function loop(f, n)
Obj gStartIdle;  // Python3Function start_idle(): a thread waiting on an event
Obj gStopIdle;   // Python3Function stop_idle(): sets the event, joins the thread
PyObj* gAddRaw;  // the same function object, for the raw twins
PyObj* gLoopRaw;
PyObj* gHostF;     // f registered through a Python3XojoModule
PyObj* gRawF;      // f as a plain METH_VARARGS C function
Obj gCounter;      // Python3Entity holding coilbench.counter, a Counter instance
Obj gNumbers;      // Python3Entity holding coilbench.numbers, range(100000)
PyObj* gCounterRaw;
PyObj* gNumbersRaw;
Str gIncName;      // "inc", the method's name as host code holds it
Obj gLast, gSame;  // Python3Function last(b) (b[-1]) and same(x) (x)
Obj gFrame;        // Python3Entity holding coilbench.frame, a 1 MiB bytearray
PyObj *gLastRaw, *gFrameRaw;
// thread_callback: start_host_calls(n) and join_calls(), and the raw twin's
// start_calls, join_calls and thread_f; start_timed_host_calls(n) for the
// latency line.
Obj gStartHostCalls, gJoinCalls, gStartTimedHostCalls;
PyObj *gStartCallsRaw, *gJoinCallsRaw, *gRawThreadF;

void* HostF(void*, void* args) {
  Obj p = hc.createInstance(hc.parameters);
  hc.paramsPtrCtor(p, args);
  int32_t i = hc.getInt32(p, 0);
  hc.unlock(p);
  Obj r = hc.createInstance(hc.result);
  hc.resultCtorInt32(r, i + 1);
  void* answer = hc.getPtr(r);
  hc.unlock(r);
  return answer;
}

PyObj* RawF(PyObj*, PyObj* args) {
  int i;
  if (!raw.PyArg_ParseTuple(args, "i", &i)) return nullptr;
  return raw.PyLong_FromLong(i + 1);
}

namespace {

PyMethodDefRaw gRawMethods[] = {{"f", reinterpret_cast<void*>(RawF), 1, nullptr},
                                 {"thread_f", reinterpret_cast<void*>(RawThreadF), 1, nullptr},
                                 {}};
PyModuleDefRaw gRawModule = {1, nullptr, nullptr, 0, nullptr, "rawbench", "", -1, gRawMethods, {}};

PyObj* Attr(const char* module, const char* name) {
  PyObj* m = raw.PyImport_ImportModule(module);
  PyObj* a = m ? raw.PyObject_GetAttrString(m, name) : nullptr;
  if (m) raw.Py_DecRef(m);
  return a;
}

}  // namespace

void StartPython() {
  coildrive::LoadPlugin("COILWORK_BENCH_PYTHON", "");
  if (!coildrive::PythonFound()) {
    fprintf(stderr, "bench: no Python library\n");
    exit(2);
  }
  BindHost();

  Obj hostModule = coildrive::NewHostModule("coilbench_host", 2);
  coildrive::AddHostFunction(hostModule, "f", reinterpret_cast<void*>(HostF));
  coildrive::AddHostFunction(hostModule, "thread_f", reinterpret_cast<void*>(HostThreadF));
  coildrive::RegisterHostModule(hostModule, 0);
  host.callShared<void>("Coilwork", "Init()");
  BindRaw();

  gDir = coildrive::MakeFolder("coilbench");
  std::ofstream(gDir + "/coilbench.py") << "def add(a, b):\n    return a + b\n\n"
                                           "def loop(f, n):\n    for i in range(n):\n        f(i)\n\n"
                                           "class Counter:\n    def inc(self, x):\n        return x + 1\n\n"
                                           "counter = Counter()\n"
                                           "numbers = range(100000)\n\n"
                                           "def last(b):\n    return b[-1]\n\n"
                                           "def same(x):\n    return x\n\n"
                                           "frame = bytearray(1 << 20)\n\n"
                                           "import threading\n"
                                           "def start_idle():\n"
                                           "    global stop, idle\n"
                                           "    stop = threading.Event()\n"
                                           "    idle = threading.Thread(target=stop.wait)\n"
                                           "    idle.start()\n\n"
                                           "def stop_idle():\n"
                                           "    stop.set()\n"
                                           "    idle.join()\n\n"
                                           "def start_calls(f, n):\n"
                                           "    global caller\n"
                                           "    caller = threading.Thread(target=loop, args=(f, n))\n"
                                           "    caller.start()\n\n"
                                           "def start_host_calls(n):\n"
                                           "    import coilbench_host\n"
                                           "    start_calls(coilbench_host.thread_f, n)\n\n"
                                           "def join_calls():\n"
                                           "    caller.join()\n\n"
                                           "def timed_calls(f, n):\n"
                                           "    global latency_median_us, latency_max_us\n"
                                           "    import random, time\n"
                                           "    pause, spent = random.Random(1), []\n"
                                           "    for i in range(n):\n"
                                           "        time.sleep(pause.uniform(0, 0.01))\n"
                                           "        start = time.perf_counter()\n"
                                           "        f(i)\n"
                                           "        spent.append(time.perf_counter() - start)\n"
                                           "    spent.sort()\n"
                                           "    latency_median_us = int(spent[n // 2] * 1e6)\n"
                                           "    latency_max_us = int(spent[-1] * 1e6)\n\n"
                                           "def start_timed_host_calls(n):\n"
                                           "    global caller\n"
                                           "    import coilbench_host\n"
                                           "    caller = threading.Thread(target=timed_calls,\n"
                                           "                              args=(coilbench_host.thread_f, n))\n"
                                           "    caller.start()\n";
  coildrive::AddSearchPath(gDir);
  gModule = coildrive::GetModule("coilbench");
  if (!gModule) {
    fprintf(stderr, "bench: cannot import the bench module\n");
    exit(2);
  }
  gAdd = coildrive::GetFunction(gModule, "add");
  gLoop = coildrive::GetFunction(gModule, "loop");
  gStartIdle = coildrive::GetFunction(gModule, "start_idle");
  gStopIdle = coildrive::GetFunction(gModule, "stop_idle");
  gIncName = host.newString("inc");
  Str cn = host.newString("counter"), nn = host.newString("numbers");
  gCounter = hc.entityField(gModule, cn);
  gNumbers = hc.entityField(gModule, nn);
  host.unlockString(cn);
  host.unlockString(nn);
  gCounterRaw = Attr("coilbench", "counter");
  gLastRaw = Attr("coilbench", "last");
  gFrameRaw = Attr("coilbench", "frame");
  gLast = coildrive::GetFunction(gModule, "last");
  gSame = coildrive::GetFunction(gModule, "same");
  {
    Str n3 = host.newString("frame");
    gFrame = hc.entityField(gModule, n3);
    host.unlockString(n3);
  }
  gNumbersRaw = Attr("coilbench", "numbers");
  gStartCallsRaw = Attr("coilbench", "start_calls");
  gJoinCallsRaw = Attr("coilbench", "join_calls");
  gStartHostCalls = coildrive::GetFunction(gModule, "start_host_calls");
  gJoinCalls = coildrive::GetFunction(gModule, "join_calls");
  gStartTimedHostCalls = coildrive::GetFunction(gModule, "start_timed_host_calls");
  gAddRaw = Attr("coilbench", "add");
  gLoopRaw = Attr("coilbench", "loop");
  gHostF = Attr("coilbench_host", "f");
  PyObj* rawModule = raw.PyModule_Create2(&gRawModule, 3);
  gRawF = raw.PyObject_GetAttrString(rawModule, "f");
  gRawThreadF = raw.PyObject_GetAttrString(rawModule, "thread_f");
  raw.Py_DecRef(rawModule);
  if (!gAdd || !gLoop || !gStartIdle || !gStopIdle || !gAddRaw || !gLoopRaw || !gHostF || !gRawF ||
      !gCounter || !gNumbers || !gCounterRaw || !gNumbersRaw || !gRawThreadF || !gStartCallsRaw ||
      !gJoinCallsRaw || !gStartHostCalls || !gJoinCalls || !gStartTimedHostCalls) {
    fprintf(stderr, "bench: set-up failed\n");
    exit(2);
  }
}


// ------------------------------------------------------------ pybind11 peer
// The same call and callback done through pybind11's embedding API, loaded
// from a module built against Debian's 3.11 headers; only when the bench
// runs a 3.11 library (another Python's objects are laid out differently).
long (*gPeerCall)(long, long);
long (*gPeerCallAcquire)(long, long);  // the same inside gil_scoped_acquire
PyObj* gPeerF;

void LoadPeer() {
#ifdef COILWORK_PEER_PYBIND11
  auto version = reinterpret_cast<const char* (*)()>(dlsym(RTLD_DEFAULT, "Py_GetVersion"));
  if (!version || strncmp(version(), "3.11.", 5) != 0) return;
  void* peer = dlopen(COILWORK_PEER_PYBIND11, RTLD_NOW | RTLD_LOCAL);
  if (!peer) {
    fprintf(stderr, "bench: pybind11 peer not loaded: %s\n", dlerror());
    return;
  }
  auto setup = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(peer, "peer_setup"));
  auto function = reinterpret_cast<void* (*)()>(dlsym(peer, "peer_callback_function"));
  gPeerCall = reinterpret_cast<long (*)(long, long)>(dlsym(peer, "peer_call"));
  gPeerCallAcquire = reinterpret_cast<long (*)(long, long)>(dlsym(peer, "peer_call_acquire"));
  if (!setup || !function || !gPeerCall || !setup("coilbench", "add")) {
    gPeerCall = nullptr;
    return;
  }
  gPeerF = static_cast<PyObj*>(function());
#endif
}

}  // namespace coilbench
