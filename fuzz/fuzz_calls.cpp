// libFuzzer target: reads its input as a program of host calls and runs it
// against the plugin inside the emulated host.
//
// Every registered member of every plugin class is callable, with arguments
// drawn from nil, empty, very long and invalid strings, NUL bytes, extreme
// numbers, out-of-range and negative indexes, handles of the wrong class and
// handles without a Python object, plus Python modules to import, and calls
// before Init, between Init and Finalize and after Finalize. A crash, a
// sanitizer report, or a host object or string still alive after the program
// released everything it made, fails the run.
//
// Object arguments follow the host's typing: a parameter declared with a
// class receives nil or an instance of that class or of one of its
// subclasses, which for a plugin class may be a sibling's handle through a
// common base (an entity where any Python3EntityBase is allowed, a module
// where any Python3Object is); only a parameter declared "as Object" takes
// any object. The host's compiler and its checked casts guarantee that much,
// and the plugin has no way to check the class of a handle it is given. What
// goes "as Object" ends up in a capsule that Python holds, so it is drawn
// from objects that hold no Python object (see PickAnyObject). Raw pointers
// are null or what the parameter takes: host functions, initialisers, module
// creators, live Python objects. Programs also publish host-made modules and
// import Python code that calls into them, from the importing thread and
// from a Python thread, and may switch AllowThreads.
//
// COILWORK_FUZZ_TRACE=1 prints each call, to turn a finding into a test
// (scripts/fuzz.sh FILE does that). COILWORK_FUZZ_REACHED=FILE writes, at
// exit, every member with "+" when some program called it and "-" when none
// did (scripts/fuzz.sh --reached replays the corpus for it).
//
// Members are called through their records with the host's calling
// convention; argument lists are laid out in registers by class (integer or
// floating point), which holds for the x86_64 System V convention this target
// is built for.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <limits>
#include <string>
#include <vector>

#include "emuhost/host.h"

#if !defined(__x86_64__)
#error "the call-sequence fuzzer lays out arguments for x86_64"
#endif

using emuhost::Declaration;
using emuhost::Host;
using emuhost::Obj;
using emuhost::Str;
using emuhost::VType;

namespace {

Host& host = Host::get();

struct Member {
  std::string cls;
  std::string decl;
  Declaration d;
  void* fn = nullptr;
  bool shared = false;
  bool setter = false;  // calls the setter: declared parameters, then a value
  bool property = false;
  intptr_t param = 0;
  std::vector<std::string> objectTypes;  // per parameter (and setter value): class or ""
  std::string resultType;                // the declared result type's name
};

// The declared type names of a declaration's parameters, then of its result.
std::vector<std::string> TypeNames(const std::string& decl) {
  std::vector<std::string> names;
  auto typeOf = [](std::string part) {
    size_t as = part.rfind(" as ");
    if (as == std::string::npos) as = part.rfind(" As ");
    if (as == std::string::npos) return std::string();
    std::string t = part.substr(as + 4);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    while (!t.empty() && t.front() == ' ') t.erase(0, 1);
    return t;
  };
  size_t open = decl.find('('), close = decl.rfind(')');
  if (open != std::string::npos && close != std::string::npos) {
    std::string params = decl.substr(open + 1, close - open - 1);
    size_t start = 0;
    while (params.find_first_not_of(' ') != std::string::npos && start <= params.size()) {
      size_t comma = params.find(',', start);
      names.push_back(typeOf(" " + params.substr(start, comma - start)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  names.push_back(typeOf(" " + decl.substr(close == std::string::npos ? 0 : close + 1)));
  return names;
}

Member MakeMember(const char* cls, const std::string& decl, const Declaration& d, void* fn) {
  Member m;
  m.cls = cls;
  m.decl = decl;
  m.d = d;
  m.fn = fn;
  return m;
}

// Fills objectTypes: the class name of each object parameter, "" elsewhere.
void NoteObjectTypes(Member& m, const std::string& decl) {
  std::vector<std::string> names = TypeNames(decl);
  m.resultType = names.back();
  std::vector<VType> params = m.d.params;
  if (m.setter) params.push_back(m.d.result);
  for (size_t i = 0; i < params.size(); i++) {
    std::string name = i < m.d.params.size() ? names[i] : names.back();
    m.objectTypes.push_back(params[i] == VType::Object ? name : std::string());
  }
}

const char* const kClasses[] = {
    "Python3EntityBase", "Python3Entity",   "Python3Bytes",    "Python3List",
    "CoilworkConsoleOutput", "Python3Object", "Python3Result", "Python3Parameters",
    "Python3Dictionary", "Python3Function", "Python3Class",   "Python3Instance",
    "Python3Module",     "Python3XojoClass", "Python3XojoModule", "Coilwork",
    "Python3Iterator",   "Python3Buffer",
};
constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

std::vector<Member> gMembers;
std::vector<Member> gShared;
std::string gLibrary;  // the Python library the plugin is told to use
std::string gDir;
size_t gBaseObjects, gBaseStrings;
bool gRegistered;  // a module was registered: only Finalize releases it
bool gTrace;      // COILWORK_FUZZ_TRACE: print each call
std::set<std::string>* gReached;  // COILWORK_FUZZ_REACHED: the members called
std::string gReachedFile;

std::string MemberName(const Member& m) { return m.cls + "." + m.decl + (m.setter ? " (setter)" : ""); }
int gModuleCounter;

void CollectMembers() {
  for (const char* cls : kClasses) {
    const REALclassDefinition* def = host.classDefinition(cls);
    if (!def) continue;
    for (uintptr_t i = 0; i < def->methodCount; i++) {
      const REALmethodDefinition& m = def->methods[i];
      Member mem = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function));
      NoteObjectTypes(mem, m.declaration);
      gMembers.push_back(mem);
      if (m.setterFunction) {
        Member set = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                   reinterpret_cast<void*>(m.setterFunction));
        set.setter = true;
        NoteObjectTypes(set, m.declaration);
        gMembers.push_back(set);
      }
    }
    for (uintptr_t i = 0; i < def->propertyCount; i++) {
      const REALproperty& p = def->properties[i];
      Member mem = MakeMember(cls, p.name, Declaration::parse(std::string("P() as ") + p.type),
                 reinterpret_cast<void*>(p.getter));
      mem.property = true;
      mem.param = p.param;
      NoteObjectTypes(mem, "P() as " + std::string(p.type));
      gMembers.push_back(mem);
    }
    for (uintptr_t i = 0; i < def->sharedMethodCount; i++) {
      const REALmethodDefinition& m = def->sharedMethods[i];
      Member mem = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function));
      mem.shared = true;
      NoteObjectTypes(mem, m.declaration);
      gShared.push_back(mem);
    }
  }
}

// ------------------------------------------------- host functions for Python
// Written as a host program writes them: the argument tuple wrapped in a
// Python3Parameters, the answer a Python3Result's GetPtr, or an error raised
// with SetError.

void SetError(const char* message) {
  Str m = host.newString(message);
  host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                        int32_t(20), m);  // ValueError
  host.unlockString(m);
}

// Answers the number of arguments, and the first one's text.
void* HostCount(void* module, void* args) {
  Obj p = host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
  int32_t n = host.prop<int32_t>(p, "Count");
  Str first = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(0));
  host.unlockString(first);
  host.unlock(p);
  Obj r = host.create("Python3Result", "Constructor(value as Int32)", n);
  void* answer = host.call<void*>(r, "GetPtr() as Ptr");
  host.unlock(r);
  return answer;
}

// Answers its first argument as text.
void* HostEcho(void* module, void* args) {
  Obj p = host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
  Str text = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(0));
  host.unlock(p);
  Obj r = host.create("Python3Result", "Constructor(value as String)", text);
  host.unlockString(text);
  void* answer = host.call<void*>(r, "GetPtr() as Ptr");
  host.unlock(r);
  return answer;
}

void* HostRefuse(void*, void*) {
  SetError("refused by the host");
  return nullptr;
}

void* HostSilent(void*, void*) { return nullptr; }  // no answer, no error

int32_t InitAccept(void*, void* args, void*) {
  Obj p = host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
  host.unlock(p);
  return 0;
}

int32_t InitRefuse(void*, void*, void*) {
  SetError("no instance");
  return -1;
}

void* const kFunctions[] = {nullptr, reinterpret_cast<void*>(&HostCount),
                            reinterpret_cast<void*>(&HostEcho), reinterpret_cast<void*>(&HostRefuse),
                            reinterpret_cast<void*>(&HostSilent)};
void* const kInits[] = {nullptr, reinterpret_cast<void*>(&InitAccept),
                        reinterpret_cast<void*>(&InitRefuse)};

// Module creators, each serving the module bound to its slot; the binding
// holds a host reference until the end of the program, after Finalize.
constexpr int kCreators = 4;
Obj gCreatorModule[kCreators];

template <int I>
void* Creator() {
  return gCreatorModule[I] ? host.call<void*>(gCreatorModule[I], "ModuleCreateProc() as Ptr")
                           : nullptr;
}
void* const kCreatorFns[kCreators] = {
    reinterpret_cast<void*>(&Creator<0>), reinterpret_cast<void*>(&Creator<1>),
    reinterpret_cast<void*>(&Creator<2>), reinterpret_cast<void*>(&Creator<3>)};

void* BindCreator(int slot, Obj module) {
  if (gCreatorModule[slot]) host.unlock(gCreatorModule[slot]);
  gCreatorModule[slot] = module;
  host.lock(module);
  return kCreatorFns[slot];
}

void ReleaseCreators() {
  for (Obj& m : gCreatorModule) {
    if (m) host.unlock(m);
    m = nullptr;
  }
}

// ------------------------------------------------------------ the program
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
        // calls what a host-made module offers (which it refuses there).
        "import threading\ntry:\n    import hx%d as _h\nexcept Exception:\n    _h = None\n"
        "def _run():\n    print('thread')\n    for _n in dir(_h):\n"
        "        if _n.startswith('_'): continue\n"
        "        try:\n            getattr(_h, _n)(1)\n        except Exception:\n            pass\n"
        "_t = threading.Thread(target=_run)\n_t.start()\n_t.join()\n",
    };
    std::string src;
    int parts = in.ConsumeIntegralInRange(1, 6);
    for (int i = 0; i < parts; i++) {
      char line[512];
      size_t k = in.ConsumeIntegralInRange<size_t>(0, 17);
      int n = in.ConsumeIntegralInRange(0, 70);
      snprintf(line, sizeof line, kParts[k], k >= 16 ? n % 3 : n);
      src += line;
    }
    std::string name = ModuleName(true);
    std::ofstream(gDir + "/" + name + ".py") << src;
    if (gTrace) fprintf(stderr, "module %s:\n%s", name.c_str(), src.c_str());
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
      fprintf(stderr, "call %s.%s%s%s (", m.cls.c_str(), m.decl.c_str(), m.setter ? " =" : "",
              m.property ? " [property]" : "");
      for (int i = 0; i < nw; i++) fprintf(stderr, " %#llx", (unsigned long long)w[i]);
      for (int i = 0; i < nf; i++) fprintf(stderr, " %g", f[i]);
      fprintf(stderr, " )\n");
    }
    CallWith(m, result, w, f);
    if (m.shared && m.d.name == "Init") AddModuleFolder();  // as a host program would
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

  static bool Running();
  static void AddModuleFolder();
  static void GiveBack(void* pyObject);

  // Raw pointers are the host's to vouch for: each is null or what such a
  // parameter takes, a host function, an initialiser, a module creator
  // bound to the module argument, or a live Python object (of any type).
  std::vector<void*> borrowed;  // Python references to drop after the call
  void* PickPointer(const Member& m, const uint64_t* w, int nw) {
    if (m.d.name == "RegisterFunction")
      return kFunctions[in.ConsumeIntegralInRange<size_t>(0, 4)];
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

  // Makes a module "hx0" to "hx2" with host functions and perhaps a class,
  // as a host program does, and registers it for import.
  void Publish() {
    if (gTrace) fprintf(stderr, "publish\n");
    Str name = host.newString("hx" + std::to_string(in.ConsumeIntegralInRange(0, 2)));
    Obj m = host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                        name, uint32_t(in.ConsumeIntegralInRange(0, 3)));
    host.unlockString(name);
    objects.push_back(m);
    const char* kNames[] = {"f0", "f1", "f2", "f3"};
    for (int i = 0, n = in.ConsumeIntegralInRange(0, 3); i < n; i++) {
      Str f = host.newString(kNames[i]);
      host.call<void>(m, "RegisterFunction(name as String, fuction as Ptr)", f,
                      kFunctions[in.ConsumeIntegralInRange<size_t>(0, 4)]);
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
                        kFunctions[in.ConsumeIntegralInRange<size_t>(0, 4)]);
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

  void Step() {
    switch (in.ConsumeIntegralInRange(0, 16)) {
      case 16: Publish(); break;
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
          if (gTrace) fprintf(stderr, "release %p\n", static_cast<void*>(objects[i]));
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

bool Running() {
  Str s = host.newString("sys");
  Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
  host.unlockString(s);
  host.callShared<void>("Coilwork", "ClearError()");
  if (m) host.unlock(m);
  return m != nullptr;
}
bool Program::Running() { return ::Running(); }

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
    void* lib = dlopen(gLibrary.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (lib) {
      decRef = reinterpret_cast<void (*)(void*)>(dlsym(lib, "Py_DecRef"));
      ensure = reinterpret_cast<int (*)()>(dlsym(lib, "PyGILState_Ensure"));
      release = reinterpret_cast<void (*)(int)>(dlsym(lib, "PyGILState_Release"));
      dlclose(lib);
    }
  }
  if (!decRef || !ensure || !release) {
    fprintf(stderr, "fuzz: no Py_DecRef or PyGILState_Ensure in %s to give a Python reference back\n",
            gLibrary.c_str());
    abort();
  }
  if (!::Running()) return;
  int state = ensure();
  decRef(pyObject);
  release(state);
}
void AddModuleFolder();
void Program::AddModuleFolder() { ::AddModuleFolder(); }

// Drops every module the program imported, and collects cycles, so that
// capsules Python held are freed and their host objects released.
void CleanPython() {
  if (!Running()) return;
  Str s = host.newString("fuzzclean");
  Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
  host.unlockString(s);
  if (!m) return;
  Str fn = host.newString("clean");
  Obj f = host.call<Obj>(m, "GetFunction(name as String) as Python3Function", fn);
  host.unlockString(fn);
  if (f) {
    Obj r = host.call<Obj>(f, "Invoke(parameters as Python3Parameters) as Python3Result", Obj(nullptr));
    if (r) host.unlock(r);
    host.unlock(f);
  }
  host.unlock(m);
  host.callShared<void>("Coilwork", "ClearError()");
}

void Setup() {
  host.load();
  const char* lib = getenv("COILWORK_FUZZ_PYTHON");
  gLibrary = lib && *lib ? lib : "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0";
  Obj path = host.folderItem(gLibrary);
  host.callShared<void>("Coilwork", "SetPythonPath(path as FolderItem)", path);
  host.unlock(path);
  CollectMembers();
  gTrace = getenv("COILWORK_FUZZ_TRACE") && *getenv("COILWORK_FUZZ_TRACE") == '1';
  if (const char* reached = getenv("COILWORK_FUZZ_REACHED")) {
    gReachedFile = reached;
    gReached = new std::set<std::string>();
    atexit([] {
      std::ofstream out(gReachedFile);
      for (const std::vector<Member>* list : {&gMembers, &gShared})
        for (const Member& m : *list)
          out << (gReached->count(MemberName(m)) ? "+ " : "- ") << MemberName(m) << "\n";
    });
  }
  char tmpl[] = "/tmp/coilfuzz-XXXXXX";
  gDir = mkdtemp(tmpl);
  atexit([] { std::filesystem::remove_all(gDir); });
  std::ofstream(gDir + "/fuzzclean.py")
      << "import sys, gc\n"
         "def clean():\n"
         "    for k in [k for k in sys.modules if k.startswith('fz')]:\n"
         "        del sys.modules[k]\n"
         "    gc.collect()\n";
  // A virtual environment for UseVirtualEnvironment, made for any version.
  std::filesystem::create_directories(gDir + "/env/lib");
  std::ofstream(gDir + "/env/pyvenv.cfg") << "home = /usr/bin\ninclude-system-site-packages = true\n";
  gBaseObjects = host.liveObjects();
  gBaseStrings = host.liveStrings();
}

// Starts an interpreter when none runs, and gives each new one the folder
// of the program's modules.
void EnsureStarted();

void AddModuleFolder() {
  Obj dir = host.folderItem(gDir);
  host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", dir);
  host.unlock(dir);
}

void EnsureStarted() {
  static bool first = true;
  if (!first && Running()) return;
  first = false;
  host.callShared<void>("Coilwork", "Init()");
  AddModuleFolder();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  // One program in eight starts without an interpreter: its calls come
  // before Init, unless it calls Init itself.
  if (size > 0 && data[0] % 8 == 0) {
    if (Running()) host.callShared<void>("Coilwork", "Finalize()");
  } else {
    EnsureStarted();
  }
  {
    FuzzedDataProvider in(data, size);
    Program program(in);
    int steps = 0;
    while (in.remaining_bytes() > 0 && steps++ < 64) program.Step();
  }
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  host.callShared<void>("Coilwork", "SetErrorOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  CleanPython();
  if (gRegistered) {
    // Registered and created modules are held until an interpreter stops;
    // one registered while none runs waits for the next.
    EnsureStarted();
    host.callShared<void>("Coilwork", "Finalize()");
    gRegistered = false;
  }
  ReleaseCreators();
  host.callShared<void>("Coilwork", "ClearError()");
  if (host.liveObjects() != gBaseObjects || host.liveStrings() != gBaseStrings) {
    fprintf(stderr, "fuzz: leaked host references: objects %zu -> %zu, strings %zu -> %zu\n",
            gBaseObjects, host.liveObjects(), gBaseStrings, host.liveStrings());
    for (const char* cls : kClasses)
      if (size_t n = host.liveObjects(cls)) fprintf(stderr, "  %zu live %s\n", n, cls);
    for (const char* cls : {"MemoryBlock", "FolderItem", "ObjectArray"})
      if (size_t n = host.liveObjects(cls)) fprintf(stderr, "  %zu live %s\n", n, cls);
    abort();
  }
  return 0;
}
