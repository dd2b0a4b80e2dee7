// One program of host calls, read from the fuzzer's input: members called
// with arguments drawn for their declared types, modules of Python code
// written and imported, host-made modules published, and the steps of
// Python's threads and native threads that call them.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "fuzz.h"

namespace coilfuzz {
namespace {

using coildrive::BindCreator;

struct Program {
  FuzzedDataProvider& in;
  std::vector<Obj> objects;   // each owns one host reference
  std::vector<Obj> payloads;  // objects given to Python as "Object"; never called
  std::vector<Str> strings;  // each owns one host reference

  explicit Program(FuzzedDataProvider& p) : in(p) {}

  ~Program() {
    for (Obj o : objects) host.unlock(o);
    for (Obj o : payloads) host.unlock(o);
    for (Str s : strings) host.unlockString(s);
  }

  Str NewString() {
    static const std::string kLong(70000, 'x');
    switch (in.ConsumeIntegralInRange(0, 11)) {
      case 0: return nullptr;
      case 1: return host.newString("");
      case 2: return host.newString(kLong);
      case 3: return host.newString("\xff\xfe\xc3", emuhost::kUTF8);  // invalid UTF-8
      case 4: return host.newString(std::string("a\0b", 3));
      case 5: return host.newString("caf\xe9", emuhost::kLatin1);
      case 6: return host.newString(std::string("h\0i\0", 4), emuhost::kUTF16);
      case 7: return host.newString("\x80\x81", emuhost::kUnknown);
      case 8: return host.newString(ModuleName(false));
      case 9: {
        static const char* kNames[] = {"x", "s", "l", "d", "b", "t", "f", "g", "boom", "C",
                                       "attr", "m", "__name__", "missing", "hx0", "hx1", "hx2"};
        return host.newString(kNames[in.ConsumeIntegralInRange<size_t>(0, 16)]);
      }
      case 10: return host.newString("\xe2\x82\xac \xf0\x9f\x90\x8d");
      default: return host.newString(in.ConsumeRandomLengthString(64));
    }
  }

  // Exec and Eval run what they are given: they get short code that always
  // terminates and starts no threads, rather than arbitrary text.
  static bool IsCodeRunner(const Member& m) {
    return m.shared && m.cls == "Coilwork" && (m.d.name == "Exec" || m.d.name == "Eval");
  }
  Str PickCode(bool expression) {
    static const char* const kStatements[] = {
        "x = 1", "print('hi', x)", "1 / 0", "def (:", "raise KeyError('k')",
        "import json\njson.loads('{')",
        "try:\n    {}['m']\nexcept KeyError as e:\n    raise ValueError('v') from e\n",
        "class E(Exception):\n    pass\nraise E(x)", "del __builtins__", "raise SystemExit(3)",
        "import sys\nsys.stdout.write('w')", "l = [i * i for i in range(10)]", "x += 1",
        "import sys\nx = len(sys.modules)"};
    static const char* const kExpressions[] = {
        "1 + 2", "x", "'s' * 3", "[1, 'a', None]", "{'k': 1}", "b'\\x00'", "2 ** 70", "1 / 0",
        "x = 1", "None", "(1, 'x')", "print", "lambda: 0", "undefined", "2.5", "True"};
    Str s = nullptr;
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: break;  // nil
      case 1: s = host.newString(""); break;
      case 2: s = host.newString(std::string("x = 1\0x = 2", 11)); break;
      case 3: s = host.newString("x = '\xff'", emuhost::kUTF8); break;  // invalid UTF-8
      default:
        s = expression ? host.newString(kExpressions[in.ConsumeIntegralInRange<size_t>(0, 15)])
                       : host.newString(kStatements[in.ConsumeIntegralInRange<size_t>(0, 13)]);
    }
    if (s) strings.push_back(s);
    return s;
  }

  Str PickString() {
    if (!strings.empty() && in.ConsumeBool())
      return strings[in.ConsumeIntegralInRange<size_t>(0, strings.size() - 1)];
    Str s = NewString();
    if (s) strings.push_back(s);
    return s;
  }

  // An argument for a parameter declared with the class type (any object
  // for "Object"): nil, a kept object the host would let through, or a new
  // one; a new plugin object has no Python object.
  Obj PickObject(const std::string& type) {
    if (type.empty() || strcasecmp(type.c_str(), "Object") == 0) return PickAnyObject();
    std::vector<Obj> fits;
    for (Obj o : objects)
      if (host.isA(o, type)) fits.push_back(o);
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: return nullptr;
      case 1: {
        Obj o;
        if (strcasecmp(type.c_str(), "MemoryBlock") == 0)
          o = host.newMemoryBlock(in.ConsumeRandomLengthString(16));
        else if (strcasecmp(type.c_str(), "FolderItem") == 0)
          o = host.folderItem(in.ConsumeBool() ? gDir
                              : in.ConsumeBool() ? gDir + "/env" : std::string("/nonexistent/x"));
        else
          o = host.newInstance(type);
        objects.push_back(o);
        return o;
      }
      default:
        if (fits.empty()) return nullptr;
        return fits[in.ConsumeIntegralInRange<size_t>(0, fits.size() - 1)];
    }
  }

  // An argument "as Object": the plugin puts it into a capsule, so Python
  // holds a host reference to it. It is drawn from payloads, objects that
  // hold no Python object and never will (host-class objects, and plugin
  // objects of any class that are never called): a holder given to Python
  // could otherwise end up inside its own Python object, a reference cycle
  // through the host's counts that the host program made and that nothing
  // but the host can break, exactly like a host object that refers to
  // itself.
  Obj PickAnyObject() {
    switch (in.ConsumeIntegralInRange(0, 6)) {
      case 0: return nullptr;
      case 1: {  // a host object of a host class
        Obj o;
        switch (in.ConsumeIntegralInRange(0, 2)) {
          case 0: o = host.newMemoryBlock(in.ConsumeRandomLengthString(16)); break;
          case 1: o = host.newObjectArray(); break;
          default: o = host.folderItem(in.ConsumeBool() ? gDir : "/nonexistent/x"); break;
        }
        payloads.push_back(o);
        return o;
      }
      case 2: {  // a plugin object of any class, without a Python object
        Obj o = host.newInstance(kClasses[in.ConsumeIntegralInRange<size_t>(0, kClassCount - 1)]);
        payloads.push_back(o);
        return o;
      }
      default:
        if (payloads.empty()) return nullptr;
        return payloads[in.ConsumeIntegralInRange<size_t>(0, payloads.size() - 1)];
    }
  }

  Obj PickSelf(const std::string& cls) {
    std::vector<Obj> fits;
    for (Obj o : objects)
      if (host.isA(o, cls)) fits.push_back(o);
    if (!fits.empty() && in.ConsumeIntegralInRange(0, 3) != 0)
      return fits[in.ConsumeIntegralInRange<size_t>(0, fits.size() - 1)];
    Obj o = host.newInstance(cls);
    objects.push_back(o);
    return o;
  }

  int64_t PickInt(VType t) {
    static const int64_t kInts[] = {0, 1, -1, 2, 3, 100, INT32_MIN, INT32_MAX, 0x7FFFFFFFFFFFFFFF,
                                    INT64_MIN};
    size_t i = in.ConsumeIntegralInRange<size_t>(0, 10);
    int64_t v = i < 10 ? kInts[i] : in.ConsumeIntegral<int64_t>();
    switch (t) {
      case VType::Int32: return int32_t(v);
      case VType::UInt32: return uint32_t(v);
      case VType::Boolean: return int8_t(v);
      default: return v;
    }
  }

  double PickDouble() {
    static const double kDoubles[] = {0.0, -0.0, 2.5, -1e308, std::numeric_limits<double>::infinity(),
                                      std::nan(""), 1e-310};
    size_t i = in.ConsumeIntegralInRange<size_t>(0, 7);
    return i < 7 ? kDoubles[i] : in.ConsumeFloatingPoint<double>();
  }

  std::string ModuleName(bool fresh) {
    if (fresh) return "fz" + std::to_string(++gModuleCounter);
    return "fz" + std::to_string(in.ConsumeIntegralInRange(0, gModuleCounter + 1));
  }

  void WriteModule() {
    static const char* kParts[] = {
        "x = %d\n", "s = 'text %d \\u20ac'\n", "l = [1, 'a', None, %d]\n", "d = {'k': %d, 1: 'one'}\n",
        "b = b'\\x00\\x01%d'\n", "t = (%d, 'x')\n", "def f(*a):\n    return a[0] if a else None\n",
        "def g(a, b):\n    return a + b\n", "def boom(*a):\n    raise ValueError('bad %d')\n",
        "class C:\n    attr = %d\n    def m(self, *a):\n        return len(a)\n",
        "print('hello %d')\n", "big = 2 ** %d\n", "f = %d\n", "def (:\n", "raise KeyError(%d)\n",
        "import sys\nsys.stdout.write('w%d')\n",
        // Uses a host-made module: calls what it offers, then the methods of
        // what those answer.
        "try:\n    import hx%d as _h\nexcept Exception:\n    _h = None\n"
        "for _n in dir(_h):\n    if _n.startswith('_'): continue\n"
        "    try:\n        _r = getattr(_h, _n)(1, 'a')\n"
        "        for _m in dir(_r):\n            if not _m.startswith('_'): getattr(_r, _m)('b', 2)\n"
        "    except Exception:\n        pass\n",
        // A Python thread, joined before the import ends: it prints, and
        // calls what a host-made module offers, which the importing thread
        // runs for it while it waits for the thread (the join follows).
        "import threading\ntry:\n    import hx%d as _h\nexcept Exception:\n    _h = None\n"
        "def _run():\n    print('thread')\n    for _n in dir(_h):\n"
        "        if _n.startswith('_'): continue\n"
        "        try:\n            getattr(_h, _n)(1)\n        except Exception:\n            pass\n"
        "_t = threading.Thread(target=_run)\n_t.start()\n",
    };
    // A plain join runs no Python code, so it serves none of the thread's
    // calls: only a short thread call timeout ends them (TimeoutError).
    // Otherwise the join wakes every few milliseconds, and the calls run in
    // between.
    const char* const kJoinPlain = "_t.join()\n";
    const char* const kJoinServing = "while _t.is_alive():\n    _t.join(0.002)\n";
    std::string src;
    int parts = in.ConsumeIntegralInRange(1, 6);
    for (int i = 0; i < parts; i++) {
      char line[512];
      size_t k = in.ConsumeIntegralInRange<size_t>(0, 17);
      int n = in.ConsumeIntegralInRange(0, 70);
      snprintf(line, sizeof line, kParts[k], k >= 16 ? n % 3 : n);
      src += line;
      if (k == 17) src += ShortTimeout(gThreadTimeout) && in.ConsumeBool() ? kJoinPlain : kJoinServing;
    }
    std::string name = ModuleName(true);
    std::ofstream(gDir + "/" + name + ".py") << src;
    if (gTrace) fprintf(gOut, "module %s:\n%s", name.c_str(), src.c_str());
    Str s = host.newString(name);
    Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
    host.unlockString(s);
    if (m) objects.push_back(m);
  }

  // Calls a member through its record with arguments laid out as the
  // x86_64 convention places them: integers and pointers in order, doubles
  // in order.
  void Call(const Member& m) {
    uint64_t w[6] = {};
    double f[4] = {};
    int nw = 0, nf = 0;
    if (!m.shared) {
      w[nw++] = reinterpret_cast<uint64_t>(PickSelf(m.cls));
      if (m.property) w[nw++] = uint64_t(m.param);
    }
    std::vector<VType> params = m.d.params;
    if (m.setter) params.push_back(m.d.result);
    for (size_t i = 0; i < params.size(); i++) {
      VType t = params[i];
      switch (t) {
        case VType::Double: f[nf++] = PickDouble(); break;
        case VType::String:
          w[nw++] = reinterpret_cast<uint64_t>(IsCodeRunner(m) ? PickCode(m.d.name == "Eval")
                                                               : PickString());
          break;
        case VType::Object:
          w[nw++] = reinterpret_cast<uint64_t>(PickObject(m.objectTypes[i]));
          break;
        case VType::Ptr: w[nw++] = reinterpret_cast<uint64_t>(PickPointer(m, w, nw)); break;
        default: w[nw++] = uint64_t(PickInt(t)); break;
      }
    }
    VType result = m.setter ? VType::Void : m.d.result;
    // Python keeps what a registered or created module uses until Finalize.
    if (m.d.name == "RegisterXojoModule" || m.d.name == "ModuleCreateProc") gRegistered = true;
    if (gReached) gReached->insert(MemberName(m));
    if (gTrace) {
      fprintf(gOut, "call %s.%s%s%s (", m.cls.c_str(), m.decl.c_str(), m.setter ? " =" : "",
              m.property ? " [property]" : "");
      for (int i = 0; i < nw; i++) fprintf(gOut, " %#llx", (unsigned long long)w[i]);
      for (int i = 0; i < nf; i++) fprintf(gOut, " %g", f[i]);
      fprintf(gOut, " )\n");
    }
    bool coilwork = m.shared && m.cls == "Coilwork";
    if (coilwork && m.d.name == "Finalize") BeforeFinalize();
    CallWith(m, result, w, f);
    if (coilwork && m.d.name == "Finalize") AfterFinalize();
    if (coilwork && m.d.name == "CaptureProcessOutput") gCaptured = true;
    if (coilwork && m.d.name == "SetTimeLimit") gTimeLimit = std::max(int32_t(w[0]), 0);
    if (coilwork && m.d.name == "SetThreadCallTimeout") {
      // The plugin takes the Integer's 32 bits; a long or absent timeout
      // leaves calls that only serving ends.
      int32_t ms = int32_t(w[0]);
      gThreadTimeout = ms > 0 ? ms : 0;
      NoteUntimedCalls();
    }
    if (m.shared && m.d.name == "Init") AddModuleFolder();  // as a host program would
    if (m.cls == "Python3Interpreter" && !m.shared && !m.property && !m.setter &&
        (m.decl == "Activate()" || m.decl == "Deactivate()"))
      NoteActivation(reinterpret_cast<Obj>(w[0]), m.decl == "Activate()");
    for (void* o : borrowed) GiveBack(o);
    borrowed.clear();
  }

  void CallWith(const Member& m, VType result, uint64_t* w, double* f) {
    if (result == VType::Double) {
      using F = double (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double,
                           double, double, double);
      reinterpret_cast<F>(m.fn)(w[0], w[1], w[2], w[3], w[4], w[5], f[0], f[1], f[2], f[3]);
      return;
    }
    using F = uint64_t (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double,
                           double, double, double);
    uint64_t r = reinterpret_cast<F>(m.fn)(w[0], w[1], w[2], w[3], w[4], w[5], f[0], f[1], f[2], f[3]);
    if (result == VType::Object && r) {
      // What comes back "as Object" is a capsule's host object: a payload.
      bool payload = strcasecmp(m.resultType.c_str(), "Object") == 0;
      (payload ? payloads : objects).push_back(reinterpret_cast<Obj>(r));
    }
    if (result == VType::String && r) strings.push_back(reinterpret_cast<Str>(r));
    // A raw new Python reference (GetPtr, ModuleCreateProc): hand it back.
    if (result == VType::Ptr && r) GiveBack(reinterpret_cast<void*>(r));
  }

  static void GiveBack(void* pyObject);

  // Raw pointers are the host's to vouch for: each is null or what such a
  // parameter takes, a host function, an initialiser, a module creator
  // bound to the module argument, or a live Python object (of any type).
  std::vector<void*> borrowed;  // Python references to drop after the call
  void* PickPointer(const Member& m, const uint64_t* w, int nw) {
    if (m.d.name == "RegisterFunction")
      return kFunctions[in.ConsumeIntegralInRange<size_t>(0, kFunctionCount - 1)];
    if (m.d.name == "Constructor" && m.cls == "Python3XojoClass")
      return kInits[in.ConsumeIntegralInRange<size_t>(0, 2)];
    if (m.d.name == "RegisterXojoModule") {
      Obj module = reinterpret_cast<Obj>(w[nw - 1]);
      if (!module || in.ConsumeIntegralInRange(0, 7) == 0) return nullptr;
      return BindCreator(in.ConsumeIntegralInRange(0, kCreators - 1), module);
    }
    if (in.ConsumeBool()) return nullptr;
    std::vector<Obj> results;
    for (Obj o : objects)
      if (host.isA(o, "Python3Result")) results.push_back(o);
    if (results.empty()) return nullptr;
    Obj r = results[in.ConsumeIntegralInRange<size_t>(0, results.size() - 1)];
    void* o = host.call<void*>(r, "GetPtr() as Ptr");
    if (o) borrowed.push_back(o);
    return o;
  }

  // Makes a module "hx0" to "hx3" with host functions and perhaps a class,
  // as a host program does, and registers it for import.
  void Publish() {
    if (gTrace) fprintf(gOut, "publish\n");
    // hx3 is imported first on Python's threads only (see StartThreads).
    Str name = host.newString("hx" + std::to_string(in.ConsumeIntegralInRange(0, 3)));
    Obj m = host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                        name, uint32_t(in.ConsumeIntegralInRange(0, 3)));
    host.unlockString(name);
    objects.push_back(m);
    const char* kNames[] = {"f0", "f1", "f2", "f3"};
    for (int i = 0, n = in.ConsumeIntegralInRange(0, 3); i < n; i++) {
      Str f = host.newString(kNames[i]);
      host.call<void>(m, "RegisterFunction(name as String, fuction as Ptr)", f,
                      kFunctions[in.ConsumeIntegralInRange<size_t>(0, kFunctionCount - 1)]);
      host.unlockString(f);
    }
    if (in.ConsumeBool()) {
      Str cname = host.newString(in.ConsumeBool() ? "K" : "L");
      Obj c = host.create("Python3XojoClass",
                          "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                          cname, uint32_t(in.ConsumeIntegralInRange(0, 2)),
                          kInits[in.ConsumeIntegralInRange<size_t>(0, 2)]);
      host.unlockString(cname);
      objects.push_back(c);
      for (int i = 0, n = in.ConsumeIntegralInRange(0, 2); i < n; i++) {
        Str f = host.newString(kNames[i]);
        host.call<void>(c, "RegisterFunction(name as String, fuction as Ptr)", f,
                        kFunctions[in.ConsumeIntegralInRange<size_t>(0, kFunctionCount - 1)]);
        host.unlockString(f);
      }
      host.call<void>(m, "AddClass(classToAdd as Python3XojoClass)", c);
    }
    if (in.ConsumeIntegralInRange(0, 3) != 0) {
      gRegistered = true;
      host.callShared<void>(
          "Coilwork",
          "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)", m,
          BindCreator(in.ConsumeIntegralInRange(0, kCreators - 1), m));
    }
  }

  // --------------------------------------------- calls from other threads
  int threadsStarted = 0;

  // A thread's calls, as Python literals: (name, number) calls a function
  // or makes an instance of a class; (class, number, method) then calls one
  // of the instance's methods. HostAct reads the number as what to do.
  std::string PickSteps() {
    std::string steps = "[";
    for (int i = 0, n = in.ConsumeIntegralInRange(1, 4); i < n; i++) {
      int k = in.ConsumeIntegral<uint8_t>();
      char step[48];
      switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0: snprintf(step, sizeof step, "('f%d', %d), ", in.ConsumeIntegralInRange(0, 3), k); break;
        case 1: snprintf(step, sizeof step, "('%s', %d), ", in.ConsumeBool() ? "K" : "L", k); break;
        default:
          snprintf(step, sizeof step, "('%s', %d, 'f%d'), ", in.ConsumeBool() ? "K" : "L", k,
                   in.ConsumeIntegralInRange(0, 1));
      }
      steps += step;
    }
    return steps + "]";
  }
  // The module, the steps, the pause before each, and whether the thread
  // imports the module itself: "'hx1', [...], 0.0005, False".
  std::string PickPlan() {
    static const char* const kPauses[] = {"0", "0.0005", "0.002"};
    int module = in.ConsumeIntegralInRange(0, 3);
    std::string steps = PickSteps();
    const char* pause = kPauses[in.ConsumeIntegralInRange(0, 2)];
    return "'hx" + std::to_string(module) + "', " + steps + ", " + pause + ", " +
           (module == 3 ? "True" : "False");
  }
  void NoteUntimedCalls() {
    if (!ShortTimeout(gThreadTimeout)) gAllCallsTimed = false;
  }

  // Python threads in one of the helper's modes: 0 not a daemon, 1 a daemon,
  // 2 a daemon that waits after its calls, 3 a late daemon.
  void StartThreads() {
    if (threadsStarted >= kThreadsPerProgram) return;
    std::string plan = PickPlan();
    int mode = in.ConsumeIntegralInRange(0, 3);
    int count = std::min(in.ConsumeIntegralInRange(1, 2), kThreadsPerProgram - threadsStarted);
    std::string text = "(" + plan + ", " + std::to_string(mode) + ", " + std::to_string(count) + ")";
    if (gTrace) fprintf(gOut, "threads %s\n", text.c_str());
    threadsStarted += count;
    gThreadsMayRun = true;
    if (mode != 0) gDaemonsLive += count;
    NoteUntimedCalls();
    if (Obj r = CallHelper("start_from", &text)) host.unlock(r);
  }

  // A native thread enters Python through PyGILState and calls as a Python
  // thread does; it ends before the interpreter may stop.
  void StartNativeThread() {
    JoinEndedNative();
    if (gNative.size() >= kNativeAtOnce || !Running()) return;
    std::string plan = "(" + PickPlan() + ")";
    if (gTrace) fprintf(gOut, "native thread %s\n", plan.c_str());
    using Ensure = int (*)();
    using Release = void (*)(int);
    using Modules = void* (*)();
    using GetItem = void* (*)(void*, const char*);
    using CallMethod = void* (*)(void*, const char*, const char*, ...);
    using Simple = void (*)(void*);
    using Clear = void (*)();
    auto ensure = PythonEntry<Ensure>("PyGILState_Ensure");
    auto release = PythonEntry<Release>("PyGILState_Release");
    auto modules = PythonEntry<Modules>("PyImport_GetModuleDict");
    auto getItem = PythonEntry<GetItem>("PyDict_GetItemString");
    auto callMethod = PythonEntry<CallMethod>("PyObject_CallMethod");
    auto decRef = PythonEntry<Simple>("Py_DecRef");
    auto clear = PythonEntry<Clear>("PyErr_Clear");
    if (!ensure || !release || !modules || !getItem || !callMethod || !decRef || !clear) {
      fprintf(gOut, "fuzz: no PyGILState or call entries in %s\n", gLibrary.c_str());
      abort();
    }
    // The helper (and hx0 to hx2, as for Python's threads) is imported here
    // first: the thread imports nothing itself but hx3.
    std::string module = plan.substr(1, plan.find(',') - 1);
    std::string text = "(" + module + ", [], 0, " + (module == "'hx3'" ? "True" : "False") + ", 0, 0)";
    Obj loaded = CallHelper("start_from", &text);
    if (!loaded) return;
    host.unlock(loaded);
    NoteUntimedCalls();
    gThreadsMayRun = true;
    auto* t = new NativeThread();
    gNative.emplace_back(t);
    t->thread = std::thread([=] {
      int state = ensure();
      void* m = getItem(modules(), "fuzzthreads");  // borrowed
      void* r = m ? callMethod(m, "body_from", "s", plan.c_str()) : nullptr;
      if (r) decRef(r);
      else clear();
      release(state);
      t->done.store(true);
    });
  }

  void SetTimeout() {
    static const int32_t kValues[] = {0, 1, 2, 5, 20, kShortTimeout, -1, INT32_MIN, 1000, INT32_MAX};
    size_t i = in.ConsumeIntegralInRange<size_t>(0, 10);
    int32_t ms = i < 10 ? kValues[i] : in.ConsumeIntegral<int32_t>();
    if (gTrace) fprintf(gOut, "thread call timeout %d\n", ms);
    Reach("SetThreadCallTimeout(milliseconds as Integer)");
    coilfuzz::SetThreadCallTimeout(ms);
  }

  // Runs the threads' calls: Python code that waits a while, the host's
  // loop of DeliverOutput, a plain join (when a short timeout ends every
  // call it keeps from running), or until every thread has ended.
  void Serve() {
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: {
        static const char* const kWaits[] = {"wait_0", "wait_2", "wait_10", "wait_50"};
        const char* wait = kWaits[in.ConsumeIntegralInRange(0, 3)];
        if (gTrace) fprintf(gOut, "serve %s\n", wait);
        if (Obj r = CallHelper(wait)) host.unlock(r);
        break;
      }
      case 1: {
        int rounds = in.ConsumeIntegralInRange(1, 20);
        if (gTrace) fprintf(gOut, "serve %d rounds of DeliverOutput\n", rounds);
        for (int i = 0; i < rounds; i++) {
          DeliverOutput();
          usleep(500);
        }
        break;
      }
      case 2:
        if (gAllCallsTimed && ShortTimeout(gThreadTimeout)) {
          if (gTrace) fprintf(gOut, "join plainly\n");
          if (Obj r = CallHelper("join_plain")) host.unlock(r);
          break;
        }
        [[fallthrough]];
      default:
        if (gTrace) fprintf(gOut, "serve until the threads end\n");
        ServeUntilEnded();
        break;
    }
  }

  // Interrupt, now (no call runs) or from another host thread while the
  // home thread runs Python code that serves.
  void InterruptOp() {
    JoinInterrupter();
    Reach("Interrupt()");
    if (in.ConsumeBool()) {
      if (gTrace) fprintf(gOut, "interrupt\n");
      host.callShared<void>("Coilwork", "Interrupt()");
      return;
    }
    int delayUs = in.ConsumeIntegralInRange(0, 3) * 1000;
    if (gTrace) fprintf(gOut, "interrupt after %d us from a host thread\n", delayUs);
    gInterrupter = std::thread([delayUs] {
      usleep(delayUs);
      host.callShared<void>("Coilwork", "Interrupt()");
    });
    if (Obj r = CallHelper(in.ConsumeBool() ? "wait_10" : "wait_2")) host.unlock(r);
    JoinInterrupter();
    host.callShared<void>("Coilwork", "ClearError()");
  }

  // Stops the interpreter while threads may still be calling, and perhaps
  // starts the next one.
  void FinalizeOp() {
    if (gTrace) fprintf(gOut, "finalize\n");
    Reach("Finalize()");
    Finalize();
    if (in.ConsumeBool()) {
      if (gTrace) fprintf(gOut, "init\n");
      Reach("Init()");
      host.callShared<void>("Coilwork", "Init()");
      coilfuzz::AddModuleFolder();
    }
  }

  void ThreadStep() {
    switch (in.ConsumeIntegralInRange(0, 9)) {
      case 0: case 1: case 2: StartThreads(); break;
      case 3: StartNativeThread(); break;
      case 4: SetTimeout(); break;
      case 5:
        if (gTrace) fprintf(gOut, "deliver\n");
        DeliverOutput();
        break;
      case 6: case 7: Serve(); break;
      case 8: InterruptOp(); break;
      default: FinalizeOp(); break;
    }
  }

  void Step() {
    switch (in.ConsumeIntegralInRange(0, 19)) {
      case 16: Publish(); break;
      case 17: case 18: case 19: ThreadStep(); break;
      case 0: case 1: case 2: case 3: case 4: case 5: case 6:
        Call(gMembers[in.ConsumeIntegralInRange<size_t>(0, gMembers.size() - 1)]);
        break;
      case 7: case 8: case 9: {
        const Member& m = gShared[in.ConsumeIntegralInRange<size_t>(0, gShared.size() - 1)];
        // Starting and stopping the interpreter is rare; the rest is common.
        if ((m.d.name == "Init" || m.d.name == "Finalize") && in.ConsumeIntegralInRange(0, 7) != 0)
          break;
        Call(m);
        break;
      }
      case 10: case 11: WriteModule(); break;
      case 12:
        if (!objects.empty()) {
          size_t i = in.ConsumeIntegralInRange<size_t>(0, objects.size() - 1);
          if (gTrace) fprintf(gOut, "release %p\n", static_cast<void*>(objects[i]));
          host.unlock(objects[i]);
          objects.erase(objects.begin() + i);
        }
        break;
      default: {
        Obj o = host.newInstance(kClasses[in.ConsumeIntegralInRange<size_t>(0, kClassCount - 1)]);
        objects.push_back(o);
        break;
      }
    }
  }
};



// Gives back a Python reference the program was handed (GetPtr,
// ModuleCreateProc): the program owns it, and a capsule's host object stays
// alive until it is given back. Python's Py_DecRef is looked up in the
// library itself, which the plugin loads only when first asked for Python,
// after the program's setup; a reference of an interpreter that has stopped
// since is no longer Python's to count.
//
// It is given back as host code must: holding the interpreter lock, which
// the plugin may have handed on after its last call (AllowThreads, or another
// thread in Python).
void Program::GiveBack(void* pyObject) {
  static void (*decRef)(void*);
  static int (*ensure)();
  static void (*release)(int);
  if (!decRef) {
    decRef = PythonEntry<void (*)(void*)>("Py_DecRef");
    ensure = PythonEntry<int (*)()>("PyGILState_Ensure");
    release = PythonEntry<void (*)(int)>("PyGILState_Release");
  }
  if (!decRef || !ensure || !release) {
    fprintf(gOut, "fuzz: no Py_DecRef or PyGILState_Ensure in %s to give a Python reference back\n",
            gLibrary.c_str());
    abort();
  }
  if (!Running()) return;
  int state = ensure();
  decRef(pyObject);
  release(state);
}

}  // namespace

void RunProgram(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Program program(in);
  int steps = 0;
  while (in.remaining_bytes() > 0 && steps++ < 64) program.Step();
  // Every thread ends, its calls served, before what it used is released.
  JoinInterrupter();
  ServeUntilEnded();
  EndActivations();
}

}  // namespace coilfuzz
