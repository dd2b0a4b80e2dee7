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
// Members are called through their records with the host's calling
// convention; argument lists are laid out in registers by class (integer or
// floating point), which holds for the x86_64 System V convention this target
// is built for.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
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
};

const char* const kClasses[] = {
    "Python3EntityBase", "Python3Entity",   "Python3Bytes",    "Python3List",
    "CoilworkConsoleOutput", "Python3Object", "Python3Result", "Python3Parameters",
    "Python3Dictionary", "Python3Function", "Python3Class",   "Python3Instance",
    "Python3Module",     "Python3XojoClass", "Python3XojoModule", "Coilwork",
};

std::vector<Member> gMembers;
std::vector<Member> gShared;
void (*gPyDecRef)(void*);
std::string gDir;
size_t gBaseObjects, gBaseStrings;
bool gRegistered;  // a module was registered: only Finalize releases it
int gModuleCounter;

void CollectMembers() {
  for (const char* cls : kClasses) {
    const REALclassDefinition* def = host.classDefinition(cls);
    if (!def) continue;
    for (uintptr_t i = 0; i < def->methodCount; i++) {
      const REALmethodDefinition& m = def->methods[i];
      Member mem{cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function)};
      gMembers.push_back(mem);
      if (m.setterFunction) {
        mem.setter = true;
        mem.fn = reinterpret_cast<void*>(m.setterFunction);
        gMembers.push_back(mem);
      }
    }
    for (uintptr_t i = 0; i < def->propertyCount; i++) {
      const REALproperty& p = def->properties[i];
      Member mem{cls, p.name, Declaration::parse(std::string("P() as ") + p.type),
                 reinterpret_cast<void*>(p.getter)};
      mem.property = true;
      mem.param = p.param;
      gMembers.push_back(mem);
    }
    for (uintptr_t i = 0; i < def->sharedMethodCount; i++) {
      const REALmethodDefinition& m = def->sharedMethods[i];
      Member mem{cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function)};
      mem.shared = true;
      gShared.push_back(mem);
    }
  }
}

// ------------------------------------------------------------ the program
struct Program {
  FuzzedDataProvider& in;
  std::vector<Obj> objects;  // each owns one host reference
  std::vector<Str> strings;  // each owns one host reference

  explicit Program(FuzzedDataProvider& p) : in(p) {}

  ~Program() {
    for (Obj o : objects) host.unlock(o);
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
                                       "attr", "m", "__name__", "missing"};
        return host.newString(kNames[in.ConsumeIntegralInRange<size_t>(0, 13)]);
      }
      case 10: return host.newString("\xe2\x82\xac \xf0\x9f\x90\x8d");
      default: return host.newString(in.ConsumeRandomLengthString(64));
    }
  }

  Str PickString() {
    if (!strings.empty() && in.ConsumeBool())
      return strings[in.ConsumeIntegralInRange<size_t>(0, strings.size() - 1)];
    Str s = NewString();
    if (s) strings.push_back(s);
    return s;
  }

  Obj PickObject() {
    switch (in.ConsumeIntegralInRange(0, 6)) {
      case 0: return nullptr;
      case 1: {  // a host object of a host class
        Obj o;
        switch (in.ConsumeIntegralInRange(0, 2)) {
          case 0: o = host.newMemoryBlock(in.ConsumeRandomLengthString(16)); break;
          case 1: o = host.newObjectArray(); break;
          default: o = host.folderItem(in.ConsumeBool() ? gDir : "/nonexistent/x"); break;
        }
        objects.push_back(o);
        return o;
      }
      case 2: {  // a fresh plugin object without a Python object
        Obj o = host.newInstance(kClasses[in.ConsumeIntegralInRange<size_t>(0, 15)]);
        objects.push_back(o);
        return o;
      }
      default:
        if (objects.empty()) return nullptr;
        return objects[in.ConsumeIntegralInRange<size_t>(0, objects.size() - 1)];
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
    };
    std::string src;
    int parts = in.ConsumeIntegralInRange(1, 6);
    for (int i = 0; i < parts; i++) {
      char line[256];
      snprintf(line, sizeof line, kParts[in.ConsumeIntegralInRange<size_t>(0, 15)],
               in.ConsumeIntegralInRange(0, 70));
      src += line;
    }
    std::string name = ModuleName(true);
    std::ofstream(gDir + "/" + name + ".py") << src;
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
    for (VType t : params) {
      switch (t) {
        case VType::Double: f[nf++] = PickDouble(); break;
        case VType::String: w[nw++] = reinterpret_cast<uint64_t>(PickString()); break;
        case VType::Object: w[nw++] = reinterpret_cast<uint64_t>(PickObject()); break;
        case VType::Ptr: w[nw++] = 0; break;  // raw pointers are the host's to vouch for
        default: w[nw++] = uint64_t(PickInt(t)); break;
      }
    }
    VType result = m.setter ? VType::Void : m.d.result;
    if (m.d.name == "RegisterXojoModule") gRegistered = true;
    if (result == VType::Double) {
      using F = double (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double,
                           double, double, double);
      reinterpret_cast<F>(m.fn)(w[0], w[1], w[2], w[3], w[4], w[5], f[0], f[1], f[2], f[3]);
      return;
    }
    using F = uint64_t (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double,
                           double, double, double);
    uint64_t r = reinterpret_cast<F>(m.fn)(w[0], w[1], w[2], w[3], w[4], w[5], f[0], f[1], f[2], f[3]);
    if (result == VType::Object && r) objects.push_back(reinterpret_cast<Obj>(r));
    if (result == VType::String && r) strings.push_back(reinterpret_cast<Str>(r));
    // A raw new Python reference (GetPtr, ModuleCreateProc): hand it back.
    if (result == VType::Ptr && r && gPyDecRef && Running()) gPyDecRef(reinterpret_cast<void*>(r));
  }

  static bool Running();

  void Step() {
    switch (in.ConsumeIntegralInRange(0, 15)) {
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
          host.unlock(objects[i]);
          objects.erase(objects.begin() + i);
        }
        break;
      default: {
        Obj o = host.newInstance(kClasses[in.ConsumeIntegralInRange<size_t>(0, 15)]);
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
  Obj path = host.folderItem(lib && *lib ? lib : "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0");
  host.callShared<void>("Coilwork", "SetPythonPath(path as FolderItem)", path);
  host.unlock(path);
  CollectMembers();
  char tmpl[] = "/tmp/coilfuzz-XXXXXX";
  gDir = mkdtemp(tmpl);
  std::ofstream(gDir + "/fuzzclean.py")
      << "import sys, gc\n"
         "def clean():\n"
         "    for k in [k for k in sys.modules if k.startswith('fz')]:\n"
         "        del sys.modules[k]\n"
         "    gc.collect()\n";
  gPyDecRef = reinterpret_cast<void (*)(void*)>(dlsym(RTLD_DEFAULT, "Py_DecRef"));
  gBaseObjects = host.liveObjects();
  gBaseStrings = host.liveStrings();
}

// Starts an interpreter when none runs, and gives each new one the folder
// of the program's modules.
void EnsureStarted() {
  static bool first = true;
  if (!first && Running()) return;
  first = false;
  host.callShared<void>("Coilwork", "Init()");
  Obj dir = host.folderItem(gDir);
  host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", dir);
  host.unlock(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  EnsureStarted();
  {
    FuzzedDataProvider in(data, size);
    Program program(in);
    int steps = 0;
    while (in.remaining_bytes() > 0 && steps++ < 64) program.Step();
  }
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  CleanPython();
  if (gRegistered) {  // registered modules are held until Finalize
    host.callShared<void>("Coilwork", "Finalize()");
    gRegistered = false;
  }
  host.callShared<void>("Coilwork", "ClearError()");
  if (host.liveObjects() != gBaseObjects || host.liveStrings() != gBaseStrings) {
    fprintf(stderr, "fuzz: leaked host references: objects %zu -> %zu, strings %zu -> %zu\n",
            gBaseObjects, host.liveObjects(), gBaseStrings, host.liveStrings());
    abort();
  }
  return 0;
}
