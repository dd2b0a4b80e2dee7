// Host-defined extension modules and classes: host functions written as a
// host program writes them (wrapping the argument tuple in a
// Python3Parameters, answering with a Python3Result's GetPtr or raising
// through SetError), registered before Init or while Python runs, and
// interpreters stopped and started around them.
#include <unistd.h>

#include <fstream>
#include <vector>

#include "code_helpers.h"

namespace coiltest {
namespace {

Host& H() { return Host::get(); }

Obj Args(void* tuple) { return H().create("Python3Parameters", "Constructor(paramPtr as Ptr)", tuple); }
int32_t Count(Obj params) { return H().prop<int32_t>(params, "Count"); }
bool IsInteger(Obj p, int32_t i) {
  return H().call<int8_t>(p, "IsInteger(index as Integer) as Boolean", i) != 0;
}
bool IsString(Obj p, int32_t i) {
  return H().call<int8_t>(p, "IsString(index as Integer) as Boolean", i) != 0;
}
template <class V>
void* Answer(const char* ctor, V value) {
  Ref r(H().create("Python3Result", ctor, value));
  return H().call<void*>(r, "GetPtr() as Ptr");
}
void SetError(int32_t type, const char* message) {
  SRef m(H().newString(message));
  H().callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)", type,
                       m.get());
}
constexpr int32_t kValueError = 20;

// --- Host functions.

struct Call {
  void* self = nullptr;
  int32_t count = -1;
  bool intFirst = false, stringSecond = false;
  bool keywords = false;
};
std::vector<Call> gCalls;

void* Probe(void* self, void* args) {
  Ref p(Args(args));
  Call c;
  c.self = self;
  c.count = Count(p);
  c.intFirst = c.count > 0 && IsInteger(p, 0);
  c.stringSecond = c.count > 1 && IsString(p, 1);
  gCalls.push_back(c);
  return Answer("Constructor(value as Int32)", int32_t(42));
}

void* Refuse(void*, void*) {
  SetError(kValueError, "bad input");
  return nullptr;
}

void* Silent(void*, void*) { return nullptr; }

// A method answering the address of its self, which CPython's id() shows.
void* WhoAmI(void* self, void* args) {
  Ref p(Args(args));
  gCalls.push_back(Call{self, Count(p)});
  return Answer("Constructor(value as Int64)", int64_t(reinterpret_cast<intptr_t>(self)));
}

// A method answering its first argument with "!" appended.
void* Shout(void* self, void* args) {
  Ref p(Args(args));
  SRef text(H().call<Str>(p, "StringValue(index as Integer) as String", int32_t(0)));
  SRef loud(H().newString(H().bytes(text) + "!"));
  return Answer("Constructor(value as String)", loud.get());
}

// An initialiser: records its call and refuses a first argument "no".
int32_t Gate(void* self, void* args, void* kwargs) {
  Ref p(Args(args));
  Call c{self, Count(p)};
  c.keywords = kwargs != nullptr;
  gCalls.push_back(c);
  if (c.count > 0 && IsString(p, 0)) {
    SRef s(H().call<Str>(p, "StringValue(index as Integer) as String", int32_t(0)));
    if (H().bytes(s) == "no") {
      SetError(kValueError, "refused");
      return -1;
    }
  }
  return 0;
}

// Sets slot 0 of the Parameters a running call was made with.
Obj gRunning;
void* Overwrite(void*, void*) {
  H().assign(gRunning, "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(0));
  return Answer("Constructor(value as Int32)", int32_t(1));
}

// --- Module creators: each serves the module placed in its slot.

constexpr int kCreators = 8;
Obj gCreatorModule[kCreators];
int gCreatorCalls[kCreators];

template <int I>
void* Creator() {
  ++gCreatorCalls[I];
  return H().call<void*>(gCreatorModule[I], "ModuleCreateProc() as Ptr");
}
void* const kCreatorFns[kCreators] = {
    reinterpret_cast<void*>(&Creator<0>), reinterpret_cast<void*>(&Creator<1>),
    reinterpret_cast<void*>(&Creator<2>), reinterpret_cast<void*>(&Creator<3>),
    reinterpret_cast<void*>(&Creator<4>), reinterpret_cast<void*>(&Creator<5>),
    reinterpret_cast<void*>(&Creator<6>), reinterpret_cast<void*>(&Creator<7>),
};

template <class F>
void* P(F* f) {
  return reinterpret_cast<void*>(f);
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t total = 0, resident = 0;
  statm >> total >> resident;
  return resident * size_t(sysconf(_SC_PAGESIZE));
}

class ExtensionTest : public CodeTest {
 protected:
  void SetUp() override {
    CodeTest::SetUp();
    gCalls.clear();
  }
  void TearDown() override {
    EXPECT_FALSE(ErrorOccurred()) << GetError();
    CodeTest::TearDown();
  }

  Obj NewModule(const std::string& name, uint32_t count) {
    return host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                       S(name).get(), count);
  }
  Obj NewClass(const std::string& name, uint32_t count, void* init = nullptr) {
    return host.create("Python3XojoClass",
                       "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                       S(name).get(), count, init);
  }
  void Add(Obj owner, const std::string& name, void* fn) {
    host.call<void>(owner, "RegisterFunction(name as String, fuction as Ptr)", S(name).get(), fn);
  }
  void AddClass(Obj module, Obj cls) {
    host.call<void>(module, "AddClass(classToAdd as Python3XojoClass)", cls);
  }
  void Publish(Obj module, int creator) {
    gCreatorModule[creator] = module;
    gCreatorCalls[creator] = 0;
    host.callShared<void>("Coilwork",
                          "RegisterXojoModule(xojoModule as Python3XojoModule, "
                          "moduleCreatorFunction as Ptr)",
                          module, kCreatorFns[creator]);
  }
  void Finalize() { host.callShared<void>("Coilwork", "Finalize()"); }

  // Runs code and reads one Int32 or String result from it.
  int32_t EvalInt(const std::string& code, const std::string& name) {
    Ref m(Exec(code));
    return m.get() ? Int32(m, name) : -1000;
  }
  std::string EvalText(const std::string& code, const std::string& name) {
    Ref m(Exec(code));
    return m.get() ? String(m, name) : "<raised>";
  }
};

// Names of a module's public attributes, comma-separated.
std::string Public(const std::string& module) {
  return "import " + module + "\nnames = ','.join(sorted(n for n in dir(" + module +
         ") if not n.startswith('_')))\n";
}

TEST_F(ExtensionTest, FunctionsBeyondCapacityAndNilFunctionsAreIgnored) {
  Ref m(NewModule("cw_cap", 2));
  Add(m, "skipped", nullptr);
  Add(m, "f1", P(Probe));
  Add(m, "f2", P(Probe));
  Add(m, "f3", P(Probe));
  EXPECT_EQ(Name(m), "cw_cap");
  Publish(m, 0);
  EXPECT_EQ(EvalText(Public("cw_cap"), "names"), "f1,f2");
  EXPECT_EQ(EvalInt("import cw_cap\nr = cw_cap.f2()\n", "r"), 42);
}

TEST_F(ExtensionTest, HostFunctionsReceiveTheTupleAndAnswerOrRaise) {
  Ref m(NewModule("cw_args", 3));
  Add(m, "probe", P(Probe));
  Add(m, "refuse", P(Refuse));
  Add(m, "silent", P(Silent));
  Publish(m, 0);
  Ref r(Exec("import cw_args\nr = cw_args.probe(1, 'x')\nmid = id(cw_args)\n"));
  ASSERT_NE(r.get(), nullptr);
  EXPECT_EQ(Int32(r, "r"), 42);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].count, 2);
  EXPECT_TRUE(gCalls[0].intFirst);
  EXPECT_TRUE(gCalls[0].stringSecond);
  EXPECT_EQ(reinterpret_cast<intptr_t>(gCalls[0].self), Int64(r, "mid")) << "self is the module";

  constexpr char kCatch[] =
      "import cw_args\n"
      "try:\n"
      "    cw_args.%s()\n"
      "    kind = 'nothing'\n"
      "except Exception as e:\n"
      "    kind = type(e).__name__\n"
      "    msg = str(e)\n";
  char code[256];
  snprintf(code, sizeof(code), kCatch, "refuse");
  Ref refused(Exec(code));
  EXPECT_EQ(String(refused, "kind"), "ValueError");
  EXPECT_EQ(String(refused, "msg"), "bad input");
  snprintf(code, sizeof(code), kCatch, "silent");
  Ref silent(Exec(code));
  EXPECT_EQ(String(silent, "kind"), "SystemError");
}

TEST_F(ExtensionTest, RegisteredWhileRunningIsCreatedOnceAndImportable) {
  Ref m(NewModule("cw_live", 1));
  Add(m, "probe", P(Probe));
  Publish(m, 0);
  EXPECT_EQ(gCreatorCalls[0], 1) << "made at once: Python's table is closed once it runs";
  constexpr char kCode[] =
      "import sys, cw_live\n"
      "import cw_live as again\n"
      "same = int(again is cw_live)\n"
      "loaded = int('cw_live' in sys.modules)\n";
  EXPECT_EQ(EvalInt(kCode, "same"), 1);
  EXPECT_EQ(EvalInt(kCode, "loaded"), 1);
  EXPECT_EQ(gCreatorCalls[0], 1);
}

TEST_F(ExtensionTest, BareClassInModuleWithoutFunctions) {
  Ref m(NewModule("cw_bare", 0));
  Ref c(NewClass("Bare", 0));
  AddClass(m, c);
  AddClass(m, nullptr);
  Publish(m, 0);
  EXPECT_EQ(Name(c), "Bare");
  EXPECT_EQ(EvalText(Public("cw_bare"), "names"), "Bare");
  Ref r(Exec("import cw_bare\n"
             "b = cw_bare.Bare()\n"
             "ok = int(type(b) is cw_bare.Bare)\n"
             "shown = cw_bare.Bare.__name__\n"
             "own = ','.join(n for n in dir(b) if not n.startswith('_'))\n"
             "try:\n"
             "    b.x = 1\n"
             "    settable = 1\n"
             "except AttributeError:\n"
             "    settable = 0\n"));
  ASSERT_NE(r.get(), nullptr);
  EXPECT_EQ(Int32(r, "ok"), 1);
  EXPECT_EQ(String(r, "shown"), "Bare");
  EXPECT_EQ(String(r, "own"), "");
  EXPECT_EQ(Int32(r, "settable"), 0);
}

TEST_F(ExtensionTest, MethodsReceiveSelfAndArguments) {
  Ref m(NewModule("cw_widget", 1));
  Add(m, "probe", P(Probe));
  Ref c(NewClass("Widget", 2));
  Add(c, "whoami", P(WhoAmI));
  Add(c, "shout", P(Shout));
  Add(c, "third", P(Probe));  // beyond capacity
  AddClass(m, c);
  Publish(m, 0);
  Ref r(Exec("import cw_widget\n"
             "w = cw_widget.Widget()\n"
             "same = int(w.whoami(1, 2) == id(w))\n"
             "text = w.shout('hi')\n"
             "third = int(hasattr(w, 'third'))\n"
             "names = ','.join(sorted(n for n in dir(cw_widget) if not n.startswith('_')))\n"));
  ASSERT_NE(r.get(), nullptr);
  EXPECT_EQ(Int32(r, "same"), 1);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].count, 2);
  EXPECT_EQ(String(r, "text"), "hi!");
  EXPECT_EQ(Int32(r, "third"), 0);
  EXPECT_EQ(String(r, "names"), "Widget,probe");
}

TEST_F(ExtensionTest, InitialiserReceivesArgumentsAndMayRefuse) {
  Ref m(NewModule("cw_gate", 0));
  Ref c(NewClass("Gate", 0, P(Gate)));
  AddClass(m, c);
  Publish(m, 0);
  Ref r(Exec("import cw_gate\n"
             "g = cw_gate.Gate(1, 'a', key=2)\n"
             "gid = id(g)\n"
             "try:\n"
             "    cw_gate.Gate('no')\n"
             "    refused = ''\n"
             "except ValueError as e:\n"
             "    refused = str(e)\n"));
  ASSERT_NE(r.get(), nullptr);
  ASSERT_EQ(gCalls.size(), 2u);
  EXPECT_EQ(reinterpret_cast<intptr_t>(gCalls[0].self), Int64(r, "gid"));
  EXPECT_EQ(gCalls[0].count, 2);
  EXPECT_TRUE(gCalls[0].keywords);
  EXPECT_EQ(gCalls[1].count, 1);
  EXPECT_EQ(String(r, "refused"), "refused");
}

TEST_F(ExtensionTest, PythonSubclassesTakeAttributes) {
  Ref m(NewModule("cw_base", 0));
  Ref c(NewClass("Base", 1));
  Add(c, "whoami", P(WhoAmI));
  AddClass(m, c);
  Publish(m, 0);
  Ref r(Exec("import cw_base\n"
             "class Sub(cw_base.Base):\n"
             "    pass\n"
             "s = Sub()\n"
             "s.extra = 5\n"
             "extra = s.extra\n"
             "same = int(s.whoami() == id(s))\n"
             "sub = int(isinstance(s, cw_base.Base))\n"
             "for i in range(10000):\n"
             "    Sub().extra = i\n"));
  ASSERT_NE(r.get(), nullptr);
  EXPECT_EQ(Int32(r, "extra"), 5);
  EXPECT_EQ(Int32(r, "same"), 1);
  EXPECT_EQ(Int32(r, "sub"), 1);
}

TEST_F(ExtensionTest, DroppedInstancesGiveTheirMemoryBack) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine";
#endif
#endif
  Ref m(NewModule("cw_dot", 0));
  Ref c(NewClass("Dot", 0));
  AddClass(m, c);
  Publish(m, 0);
  constexpr char kLoop[] =
      "import cw_dot\n"
      "for _ in range(1000000):\n"
      "    cw_dot.Dot()\n"
      "done = 1\n";
  ASSERT_EQ(EvalInt(kLoop, "done"), 1);  // warm up
  size_t before = ResidentBytes();
  ASSERT_EQ(EvalInt(kLoop, "done"), 1);
  size_t after = ResidentBytes();
  // A million kept instances would be 16 MB on this build.
  EXPECT_LT(after, before + 4 * 1024 * 1024) << before << " -> " << after;
}

// Modules registered before Init go into Python's table of built-in modules;
// Finalize drops them, and each new interpreter gets its own registration.
TEST_F(ExtensionTest, RestartsWithRegistrationBeforeInit) {
  Finalize();
  size_t objects = host.liveObjects(), strings = host.liveStrings();
  constexpr char kUse[] =
      "import sys, cw_restart\n"
      "import cw_restart as again\n"
      "t = cw_restart.Thing()\n"
      "ok = int(again is cw_restart and cw_restart.probe(1) == 42 and t.whoami() == id(t))\n"
      "builtin = list(sys.builtin_module_names).count('cw_restart')\n";

  Ref m(NewModule("cw_restart", 1));
  Add(m, "probe", P(Probe));
  Ref c(NewClass("Thing", 1));
  Add(c, "whoami", P(WhoAmI));
  AddClass(m, c);
  // The same host objects through three interpreters.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Publish(m, 1);
    EXPECT_EQ(gCreatorCalls[1], 0);
    EnsureInterpreter();
    EXPECT_EQ(gCreatorCalls[1], 0) << "made on first import only";
    Ref r(Exec(kUse));
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(Int32(r, "ok"), 1);
    EXPECT_EQ(Int32(r, "builtin"), 1) << "listed once however often it was registered";
    EXPECT_EQ(gCreatorCalls[1], 1);
    r.reset();
    Finalize();
  }
  m.reset();
  c.reset();
  EXPECT_EQ(host.liveObjects(), objects) << "Finalize lets go of registered modules";
  EXPECT_EQ(host.liveStrings(), strings);

  // Not registered for this interpreter: no import, whatever Python kept.
  EnsureInterpreter();
  Ref none(Run("import cw_restart\n"));
  EXPECT_EQ(none.get(), nullptr);
  EXPECT_TRUE(PendingIs("ImportError"));
  // The freed type is no longer listed anywhere Python looks.
  EXPECT_EQ(EvalInt("n = sum(1 for c in object.__subclasses__() if c.__name__ == 'Thing')\n", "n"),
            0);

  // Fresh objects under the same names, registered while running and then
  // again before the next Init.
  Ref m2(NewModule("cw_restart", 1));
  Add(m2, "probe", P(Probe));
  Ref c2(NewClass("Thing", 1));
  Add(c2, "whoami", P(WhoAmI));
  AddClass(m2, c2);
  Publish(m2, 2);
  EXPECT_EQ(EvalInt(kUse, "ok"), 1);
  Finalize();
  Publish(m2, 2);
  EnsureInterpreter();
  EXPECT_EQ(EvalInt(kUse, "ok"), 1);
  EXPECT_EQ(gCreatorCalls[2], 1);
  Finalize();
  m2.reset();
  c2.reset();
  EXPECT_EQ(host.liveObjects(), objects);
  EXPECT_EQ(host.liveStrings(), strings);
  EnsureInterpreter();
}

// Host code that a call runs may set a slot of the very Parameters the call
// was made with. The call holds their tuple while it runs, so the set is
// refused as for any tuple others hold (SystemError), instead of freeing an
// item the callee still uses: functools.reduce calls the function it keeps
// borrowed from the tuple once per item.
TEST_F(ExtensionTest, TheRunningCallsArgumentsStayPut) {
  Ref m(NewModule("cw_over", 1));
  Add(m, "overwrite", P(Overwrite));
  Publish(m, 0);
  Ref ns(Exec("import cw_over, functools\nreduce = functools.reduce\n"
              "def arguments():\n    return (lambda a, b: cw_over.overwrite(), [1, 2, 3])\n"));
  ASSERT_NE(ns.get(), nullptr);
  Ref made(Invoke(Ref(GetFunction(ns, "arguments")), nullptr));
  Ref p(H().call<Obj>(made, "TupleValue() as Python3Parameters"));
  made.reset();  // the lambda lives in the tuple alone
  gRunning = p.get();
  EXPECT_EQ(Invoke(Ref(GetFunction(ns, "reduce")), p), nullptr);
  EXPECT_TRUE(PendingIs("SystemError"));
  ClearError();
  gRunning = nullptr;
}

// A host function that reads a value through Coilwork.Eval: it sees the
// interpreter whose code called it.
void* WhereAmI(void*, void*) {
  SRef e(H().newString("where"));
  Ref r(H().callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result", e.get()));
  SRef text(r.get() ? H().call<Str>(r, "StringValue() as String") : nullptr);
  SRef copy(H().newString(text.get() ? H().bytes(text) : "<nil>"));
  return Answer("Constructor(value as String)", copy.get());
}

TEST_F(ExtensionTest, HostModulesImportInEverySubInterpreterWithTypesOfTheirOwn) {
  Ref m(NewModule("cw_sub", 2));
  Add(m, "shout", P(Shout));
  Add(m, "where", P(WhereAmI));
  Ref cls(NewClass("Thing", 1));
  Add(cls, "who", P(WhoAmI));
  AddClass(m, cls);
  Publish(m, 5);
  ASSERT_EQ(EvalText("import cw_sub\nr = cw_sub.shout('main')\n", "r"), "main!");
  Ref in(host.create("Python3Interpreter", "Constructor(ownLock as Boolean)", int8_t(1)));
  ASSERT_TRUE(host.prop<int8_t>(in, "IsOpen")) << GetError();
  // Registered while the sub-interpreter is open.
  Ref later(NewModule("cw_later", 1));
  Add(later, "shout", P(Shout));
  Publish(later, 6);
  host.call<void>(in, "Activate()");
  auto exec = [&](const std::string& code) {
    return host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", S(code).get()) != 0;
  };
  auto eval = [&](const std::string& e) {
    Ref r(host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result", S(e).get()));
    SRef t(r.get() ? host.call<Str>(r, "StringValue() as String") : nullptr);
    return t.get() ? host.bytes(t.get()) : std::string("<nil>");
  };
  ASSERT_TRUE(exec("import cw_sub, cw_later, threading\nwhere = 'sub'\n"
                   "r = cw_sub.shout('a') + cw_later.shout('b') + cw_sub.where()\n"
                   "r += str(cw_sub.Thing().who() != 0 and cw_sub.shout.__self__ is cw_sub)\n"
                   "out = []\nworker = threading.Thread(target=lambda: out.append(cw_sub.shout('t')))\n"
                   "worker.start()\n"))
      << host.bytes(SRef(host.callShared<Str>("Coilwork", "GetErrorTraceback() as String")).get());
  EXPECT_EQ(eval("r"), "a!b!subTrue");
  std::string subType = eval("str(id(cw_sub.Thing))");
  // Its function called from the main interpreter: the host function it
  // calls sees the sub-interpreter current.
  ASSERT_TRUE(exec("def w():\n    return cw_sub.where()\n"));
  Ref subMain(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", S("__main__").get()));
  host.call<void>(in, "Deactivate()");
  Ref w(GetFunction(subMain.get(), "w"));
  Ref fromMain(Invoke(w, nullptr));
  SRef whereText(fromMain.get() ? host.call<Str>(fromMain, "StringValue() as String") : nullptr);
  EXPECT_EQ(whereText.get() ? host.bytes(whereText.get()) : "<nil>", "sub");
  w.reset();
  subMain.reset();
  fromMain.reset();
  host.call<void>(in, "Activate()");
  // The worker's call runs on this (the home) thread, in the sub-interpreter,
  // as this thread's calls return.
  std::string got;
  for (int i = 0; i < 500 && got != "t!"; ++i) {
    got = eval("(out or [''])[0]");
    usleep(2000);
  }
  host.call<void>(in, "Deactivate()");
  EXPECT_EQ(got, "t!");
  EXPECT_EQ(EvalText("import cw_sub, __main__\n__main__.where = 'main'\nr = cw_sub.where()\n", "r"), "main");
  EXPECT_NE(EvalText("import cw_sub\nr = str(id(cw_sub.Thing))\n", "r"), subType);
  EXPECT_TRUE(host.call<int8_t>(in, "Close() as Boolean"));
}

}  // namespace
}  // namespace coiltest
