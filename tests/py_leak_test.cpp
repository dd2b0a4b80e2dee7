// Leak checks per class family: every member of the family runs many times,
// on fresh values and on long-lived Python objects of a module, and then the
// reference counts of those objects, the number of memory blocks Python has
// allocated and the emulated host's live objects and strings must be back
// where they started. A member that keeps one reference too many (or gives
// one back too many) moves a count by the number of rounds.
#include <string.h>

#include <functional>
#include <vector>

#include "code_helpers.h"

namespace coiltest {
namespace {

// Fewer under the address sanitizer, which is slower and where Python runs
// with malloc (no block counts): the reference checks are exact either way.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define COILWORK_LEAK_SANITIZED 1
#endif
#endif
#if defined(COILWORK_LEAK_SANITIZED) || defined(__SANITIZE_ADDRESS__)
constexpr int kRounds = 300;
#else
constexpr int kRounds = 800;
#endif
// Rounds run before the counts are read: Python fills its caches and free
// lists on first use, by amounts that vary with the hash seed.
constexpr int kWarmUp = 100;

Host& H() { return Host::get(); }

const char kSource[] =
    "import gc, sys\n"
    "class C:\n"
    "    def __init__(self, v=1):\n"
    "        self.v = v\n"
    "    def m(self, *a):\n"
    "        return a\n"
    "L = [3, 'two', 1.5]\n"
    "D = {'k': 1, 'l': [1, 2]}\n"
    "T = (1, 'x', L)\n"
    "S = 'text ' * 20\n"
    "B = b'bytes' * 10\n"
    "N = 12345678901\n"
    "F = 2.5\n"
    "def f(*a):\n"
    "    return a\n"
    "def boom(*a):\n"
    "    raise ValueError('boom', a)\n"
    "def kw(*a, **k):\n"
    "    return a, k\n"
    "def say(*a):\n"
    "    print('said', *a)\n"
    "def warn(*a):\n"
    "    import sys\n"
    "    sys.stderr.write('warned')\n"
    "inst = C()\n"
    "E = {'s': S, 'b': B, 't': T, 'd': D, 'l': L, 'n': N, 'f': F, 'o': inst, 'c': C}\n"
    "objs = (L, D, D['l'], T, S, B, N, F, f, boom, C, inst, E, ValueError, KeyError)\n"
    "def table(*a):\n"
    "    return E\n"
    "def pick(name):\n"
    "    return E[name]\n"
    "def counts():\n"
    "    gc.collect()\n"
    "    return ','.join(str(sys.getrefcount(o)) for o in objs)\n"
    "def blocks():\n"
    "    gc.collect()\n"
    "    return sys.getallocatedblocks()\n";

const char* const kKeys[] = {"s", "b", "t", "d", "l", "n", "f", "o", "c"};

// --- Host functions of the extension family.

// Reads every argument as text and as a list, copies the first two into a
// new tuple, and answers the first one's text.
void* HostPair(void*, void* args) {
  Ref p(H().create("Python3Parameters", "Constructor(paramPtr as Ptr)", args));
  int32_t n = H().prop<int32_t>(p, "Count");
  Ref t(H().create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
  for (int32_t i = 0; i < n; ++i) {
    SRef s(H().call<Str>(p, "StringValue(index as Integer) as String", i));
    Ref l(H().call<Obj>(p, "ListValue(index as Integer) as Python3List", i));
    if (i >= 2) continue;
    if (l.get()) H().assign(t, "ListValue(index as Integer) as Python3List", i, l.get());
    if (s.get()) H().assign(t, "StringValue(index as Integer) as String", i, s.get());
  }
  SRef first(H().call<Str>(p, "StringValue(index as Integer) as String", int32_t(0)));
  Ref r(H().create("Python3Result", "Constructor(value as String)", first.get()));
  return H().call<void*>(r, "GetPtr() as Ptr");
}

void* HostRefuse(void*, void*) {
  SRef m(H().newString("refused"));
  H().callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                       int32_t(20), m.get());
  return nullptr;
}

int32_t InitCounting(void*, void* args, void*) {
  Ref p(H().create("Python3Parameters", "Constructor(paramPtr as Ptr)", args));
  return H().prop<int32_t>(p, "Count") > 2 ? -1 : 0;
}

Obj gLeakModule;
void* CreateLeakModule() { return H().call<void*>(gLeakModule, "ModuleCreateProc() as Ptr"); }

size_t gEvents;
void CountEvent(Obj, Str) { ++gEvents; }

class LeakTest : public CodeTest {
 protected:
  void SetUp() override {
    CodeTest::SetUp();
    module.reset(Import("cw_leak", kSource));
    ASSERT_NE(module.get(), nullptr) << GetError();
    counts.reset(GetFunction(module, "counts"));
    blocks.reset(GetFunction(module, "blocks"));
  }
  void TearDown() override {
    ClearError();
    counts.reset();
    blocks.reset();
    module.reset();
    CodeTest::TearDown();
  }

  // Runs the round kWarmUp times so that what Python fills on first use
  // (caches, free lists, interned names) is in place, reads the counts, runs
  // the round kRounds times and expects every count back where it was.
  // rounds: more for a round whose objects Python caches in bulk (the
  // traceback module's line cache and code objects), so that the one-off
  // growth stays well below one block per round.
  void Measure(const std::function<void(int)>& round, int rounds = kRounds) {
    for (int i = -kWarmUp; i < 0; ++i) round(i);
    ClearError();
    std::string startCounts = Counts();
    int64_t startBlocks = Blocks();
    size_t objects = host.liveObjects(), strings = host.liveStrings();
    std::vector<int> held;
    for (Obj o : watched) held.push_back(host.refCount(o));
    for (int i = 0; i < rounds; ++i) round(i);
    EXPECT_FALSE(ErrorOccurred()) << GetError();
    ClearError();
    EXPECT_EQ(Counts(), startCounts) << "reference counts of the module's objects";
    // An object lost per round is at least a block per round; what Python
    // keeps in its caches varies from run to run (hash seeds) but stays
    // below a few hundred blocks. (Zero throughout where Python allocates
    // with malloc.)
    EXPECT_LT(Blocks() - startBlocks, rounds * 3 / 4) << "Python memory blocks";
    EXPECT_EQ(host.liveObjects(), objects) << "host objects";
    EXPECT_EQ(host.liveStrings(), strings) << "host strings";
    for (size_t i = 0; i < watched.size(); ++i)
      EXPECT_EQ(host.refCount(watched[i]), held[i])
          << "host references to a " << host.className(watched[i]);
  }

  std::string Counts() {
    Ref r(Invoke(counts, nullptr));
    return ResultText(r);
  }
  int64_t Blocks() {
    Ref r(Invoke(blocks, nullptr));
    return host.call<int64_t>(r, "Int64Value() as Int64");
  }

  // The module's table E as a Python3Dictionary (the same dict).
  Obj Table() {
    Ref f(GetFunction(module, "table"));
    Ref r(Invoke(f, nullptr));
    return host.call<Obj>(r, "DictionaryValue() as Python3Dictionary");
  }
  // A module object as a new Python3Result.
  Obj Pick(const char* key) {
    Ref p(NewParameters(1));
    host.assign(p, "StringValue(index as Integer) as String", int32_t(0), S(key).get());
    Ref f(GetFunction(module, "pick"));
    return Invoke(f, p);
  }
  Obj Item(Obj dict, const char* key) {
    return host.call<Obj>(dict, "GetValue(key as String) as Python3Entity", S(key).get());
  }
  Obj NewParameters(int32_t n) {
    return host.create("Python3Parameters", "Constructor(parameterCount as Integer)", n);
  }
  Obj Entity(const char* decl, int32_t v) { return host.callShared<Obj>("Python3Entity", decl, v); }
  Obj EntityOfString(const std::string& text) {
    return host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity",
                                S(text).get());
  }
  // Gives back the new reference GetPtr hands out.
  void DecRef(void* o) {
    static auto decref = reinterpret_cast<void (*)(void*)>(PySym("Py_DecRef"));
    if (o) decref(o);
  }

  Ref module, counts, blocks;
  std::vector<Obj> watched;  // host objects the rounds use: their counts must return
};

// Coilwork's shared members: imports that work and fail, errors of every
// type set, read and cleared, the console and error receivers set and
// cleared around Python writing, and an environment folder that is refused.
TEST_F(LeakTest, InterpreterConsoleAndErrors) {
  gEvents = 0;
  Ref receiver(host.newInstance("CoilworkConsoleOutput"));
  host.setEventHandler(receiver, "ConsoleOutput(output as String)",
                       reinterpret_cast<void*>(&CountEvent));
  watched = {receiver.get()};
  Ref say(GetFunction(module, "say"));
  Ref warn(GetFunction(module, "warn"));
  Ref notEnvironment(host.folderItem(ModuleDir()));  // a folder without pyvenv.cfg
  Ref args(NewParameters(1));
  Ref s(Pick("s"));
  host.assign(args, "StringValue(index as Integer) as String", int32_t(0),
              SRef(host.call<Str>(s, "StringValue() as String")).get());
  const char* found =
      "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
      "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean";
  Measure([&](int i) {
    Ref m(GetModule("cw_leak"));
    Ref missing(GetModule("cw_leak_missing"));
    EXPECT_EQ(missing.get(), nullptr);
    ClearError();
    host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                          int32_t((i + 1000) % 30), S("message").get());
    SRef text(host.callShared<Str>("Coilwork", "GetError() as String"));
    host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                          int32_t(20), Str(nullptr));
    EXPECT_TRUE(ErrorOccurred());
    ClearError();
    host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)",
                          receiver.get());
    Ref said(Invoke(say, args));
    host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)",
                          Obj(nullptr));
    host.callShared<void>("Coilwork", "SetErrorOutput(output as CoilworkConsoleOutput)",
                          receiver.get());
    Ref warned(Invoke(warn, nullptr));
    host.callShared<void>("Coilwork", "SetErrorOutput(output as CoilworkConsoleOutput)",
                          Obj(nullptr));
    EXPECT_FALSE(host.callShared<int8_t>(
        "Coilwork", "UseVirtualEnvironment(folder as FolderItem) as Boolean", notEnvironment.get()));
    host.callShared<int8_t>("Coilwork", found, int32_t(0));
  });
  // "said", " ", the text, "\n", and "warned"
  EXPECT_EQ(gEvents, size_t(kWarmUp + kRounds) * 5);
}

// Code strings run in __main__ with the module's objects: answered, raised
// (the type of each raise read) and refused.
TEST_F(LeakTest, CodeStrings) {
  auto exec = [&](const std::string& code) {
    return host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", S(code).get());
  };
  auto eval = [&](const std::string& code) {
    return host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result",
                                S(code).get());
  };
  auto type = [&]() { SRef t(host.callShared<Str>("Coilwork", "GetErrorType() as String")); };
  ASSERT_TRUE(exec("import cw_leak"));
  Measure([&](int i) {
    EXPECT_TRUE(exec("cw_kept = (cw_leak.L, cw_leak.T, cw_leak.inst.m(cw_leak.D))"));
    Ref value(eval(i % 2 ? "cw_leak.E" : "cw_leak.f(cw_leak.S, cw_leak.B)"));
    EXPECT_NE(value.get(), nullptr);
    Ref raised(eval("cw_leak.boom(cw_leak.L)"));
    EXPECT_EQ(raised.get(), nullptr);
    type();
    ClearError();
    EXPECT_FALSE(exec("def (:"));
    type();
    ClearError();
    Ref statement(eval("cw_kept = 1"));
    EXPECT_EQ(statement.get(), nullptr);
    ClearError();
  });
  exec("del cw_kept");
}

// The pending error's type, traceback and class read before it is cleared:
// a raise whose traceback and chained exception hold the module's objects,
// an error the host set, and nothing pending.
TEST_F(LeakTest, ErrorReports) {
  auto report = [&]() {
    SRef type(host.callShared<Str>("Coilwork", "GetErrorType() as String"));
    SRef text(host.callShared<Str>("Coilwork", "GetErrorTraceback() as String"));
    for (int32_t t : {int32_t(8), int32_t(20), int32_t(0)})
      host.callShared<int8_t>("Coilwork", "ErrorMatches(errorType as Integer) as Boolean", t);
    ClearError();
  };
  Ref code(Import("cw_leak_raise",
                  "import cw_leak\n"
                  "def chained(*a):\n"
                  "    try:\n"
                  "        cw_leak.D['missing']\n"
                  "    except KeyError as e:\n"
                  "        raise ValueError(cw_leak.T, a) from e\n"));
  ASSERT_NE(code.get(), nullptr) << GetError();
  Ref chained(GetFunction(code, "chained"));
  Ref args(NewParameters(1));
  Ref table(Table());
  Ref l(Item(table, "l"));
  Ref list(host.prop<Obj>(l, "ListValue"));
  host.assign(args, "ListValue(index as Integer) as Python3List", int32_t(0), list.get());
  watched = {list.get()};
  Measure([&](int) {
    Ref raised(Invoke(chained, args));
    EXPECT_EQ(raised.get(), nullptr);
    report();
    host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                          int32_t(8), S("host").get());
    report();
    report();  // nothing pending
  }, 2 * kRounds);
}

// Python3Entity: every builder, every reader of built values, and every
// reader and test on entities of each kind of module object.
TEST_F(LeakTest, Entity) {
  Ref table(Table());
  ASSERT_NE(table.get(), nullptr);
  Ref block(host.newMemoryBlock("x"));
  watched = {block.get(), table.get()};
  const char* tests[] = {"IsInteger", "IsString", "IsDouble", "IsBytes",      "IsTuple",
                         "IsBoolean", "IsList",   "IsObject", "IsDictionary", "FitsInInt32"};
  auto readAll = [&](Obj x) {
    for (const char* t : tests) host.prop<int8_t>(x, t);
    host.prop<int32_t>(x, "Int32Value");
    host.prop<int64_t>(x, "Int64Value");
    host.prop<uint64_t>(x, "UInt64Value");
    host.prop<double>(x, "DoubleValue");
    host.prop<int8_t>(x, "BooleanValue");
    SRef text(host.prop<Str>(x, "StringValue"));
    Ref object(host.prop<Obj>(x, "ObjectValue"));
    Ref bytes(host.prop<Obj>(x, "BytesValue"));
    Ref tuple(host.prop<Obj>(x, "TupleValue"));
    Ref list(host.prop<Obj>(x, "ListValue"));
    Ref dict(host.prop<Obj>(x, "DictionaryValue"));
    ClearError();
  };
  Measure([&](int i) {
    Ref built[] = {
        Ref(Entity("FromInt32(value as Int32) as Python3Entity", i)),
        Ref(host.callShared<Obj>("Python3Entity", "FromInt64(value as Int64) as Python3Entity",
                                 int64_t(1) << 40)),
        Ref(host.callShared<Obj>("Python3Entity", "FromUInt64(value as UInt64) as Python3Entity",
                                 ~uint64_t(0))),
        Ref(host.callShared<Obj>("Python3Entity", "FromDouble(value as Double) as Python3Entity",
                                 0.5 + i)),
        Ref(host.callShared<Obj>("Python3Entity",
                                 "FromBoolean(value as Boolean) as Python3Entity", int8_t(i & 1))),
        Ref(EntityOfString("caf\xc3\xa9 " + std::to_string(i))),
        Ref(host.callShared<Obj>("Python3Entity", "FromObject(value as Object) as Python3Entity",
                                 block.get())),
        Ref(host.newInstance("Python3Entity")),  // no Python object
    };
    for (Ref& x : built) readAll(x);
    SRef invalid(host.newString("\xff\xfe", emuhost::kUTF8));
    Ref none(host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity",
                                  invalid.get()));
    Ref nilObject(host.callShared<Obj>(
        "Python3Entity", "FromObject(value as Object) as Python3Entity", Obj(nullptr)));
    ClearError();
    for (const char* key : kKeys) {
      Ref item(Item(table, key));
      ASSERT_NE(item.get(), nullptr) << key;
      readAll(item);
    }
  });
}

// Python3Parameters: both constructors, every setter and getter at valid
// and invalid indexes, the tests, LastError and ClearError, with module
// objects stored into and read out of the tuple.
TEST_F(LeakTest, Parameters) {
  Ref table(Table());
  Ref l(Item(table, "l")), d(Item(table, "d")), t(Item(table, "t")), b(Item(table, "b"));
  Ref list(host.prop<Obj>(l, "ListValue")), dict(host.prop<Obj>(d, "DictionaryValue"));
  Ref tuple(host.prop<Obj>(t, "TupleValue")), bytes(host.prop<Obj>(b, "BytesValue"));
  Ref block(host.newMemoryBlock("x"));
  watched = {block.get(), list.get(), dict.get(), tuple.get(), bytes.get()};
  const char* tests[] = {"IsBoolean", "IsInteger",    "IsDouble", "IsString", "IsObject",
                         "FitsInInt32", "IsDictionary", "IsTuple",  "IsBytes",  "IsList"};
  Measure([&](int) {
    Ref p(NewParameters(12));
    for (int32_t i : {int32_t(0), int32_t(12), int32_t(-1)}) {
      host.assign(p, "Int32Value(index as Integer) as Int32", i, int32_t(7));
      host.assign(p, "Int64Value(index as Integer) as Int64", i + 1, int64_t(1) << 40);
      host.assign(p, "UInt64Value(index as Integer) as UInt64", i + 2, ~uint64_t(0));
      host.assign(p, "DoubleValue(index as Integer) as Double", i + 3, 2.5);
      host.assign(p, "BooleanValue(index as Integer) as Boolean", i + 4, int8_t(1));
      host.assign(p, "StringValue(index as Integer) as String", i + 5, S("text").get());
      host.assign(p, "ObjectValue(index as Integer) as Object", i + 6, block.get());
      host.assign(p, "DictionaryValue(index as Integer) as Python3Dictionary", i + 7, dict.get());
      host.assign(p, "TupleValue(index as Integer) as Python3Parameters", i + 8, tuple.get());
      host.assign(p, "ListValue(index as Integer) as Python3List", i + 9, list.get());
      host.assign(p, "BytesValue(index as Integer) as Python3Bytes", i + 10, bytes.get());
      host.assign(p, "ObjectValue(index as Integer) as Object", i + 11, Obj(nullptr));
      host.assign(p, "ListValue(index as Integer) as Python3List", i + 11, Obj(nullptr));
    }
    host.prop<int32_t>(p, "LastError");
    host.call<void>(p, "ClearError()");
    ClearError();
    for (int32_t i : {int32_t(-1), int32_t(0), int32_t(5), int32_t(8), int32_t(12)}) {
      for (const char* test : tests)
        host.call<int8_t>(p, std::string(test) + "(index as Integer) as Boolean", i);
      host.call<int32_t>(p, "Int32Value(index as Integer) as Int32", i);
      host.call<int64_t>(p, "Int64Value(index as Integer) as Int64", i);
      host.call<uint64_t>(p, "UInt64Value(index as Integer) as UInt64", i);
      host.call<double>(p, "DoubleValue(index as Integer) as Double", i);
      host.call<int8_t>(p, "BooleanValue(index as Integer) as Boolean", i);
      SRef s(host.call<Str>(p, "StringValue(index as Integer) as String", i));
      Ref o(host.call<Obj>(p, "ObjectValue(index as Integer) as Object", i));
      Ref dv(host.call<Obj>(p, "DictionaryValue(index as Integer) as Python3Dictionary", i));
      Ref tv(host.call<Obj>(p, "TupleValue(index as Integer) as Python3Parameters", i));
      Ref lv(host.call<Obj>(p, "ListValue(index as Integer) as Python3List", i));
      Ref bv(host.call<Obj>(p, "BytesValue(index as Integer) as Python3Bytes", i));
      ClearError();
    }
    host.prop<int32_t>(p, "Count");
    void* raw = host.call<void*>(Ref(Pick("t")).get(), "GetPtr() as Ptr");
    Ref wrapped(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", raw));
    DecRef(raw);
    host.call<int32_t>(wrapped, "Int32Value(index as Integer) as Int32", int32_t(0));
    Ref negative(NewParameters(-1));
    Ref huge(NewParameters(0x7FFFFFFF));
    ClearError();
  });
}

// Python3Result: every constructor, every reader and test, GetPtr, and
// FromBytes, on built values and on module objects.
TEST_F(LeakTest, Result) {
  Ref block(host.newMemoryBlock("x"));
  Ref b(Pick("b"));
  Ref bytes(host.call<Obj>(b, "BytesValue() as Python3Bytes"));
  ASSERT_NE(bytes.get(), nullptr) << GetError();
  watched = {block.get(), bytes.get()};
  const char* tests[] = {"IsString", "IsInteger", "FitsInInt32", "IsDouble", "IsBoolean",
                         "IsObject", "IsTuple",   "IsBytes",     "IsDictionary"};
  Measure([&](int i) {
    Ref made[] = {
        Ref(Pick(kKeys[(i % 9 + 9) % 9])),  // before any error is pending
        Ref(host.create("Python3Result", "Constructor()")),
        Ref(host.create("Python3Result", "Constructor(value as Int32)", int32_t(i))),
        Ref(host.create("Python3Result", "Constructor(value as Int64)", int64_t(1) << 40)),
        Ref(host.create("Python3Result", "Constructor(value as UInt64)", ~uint64_t(0))),
        Ref(host.create("Python3Result", "Constructor(value as Double)", 1.25)),
        Ref(host.create("Python3Result", "Constructor(value as String)", S("text").get())),
        Ref(host.create("Python3Result", "Constructor(value as Boolean)", int8_t(1))),
        Ref(host.create("Python3Result", "Constructor(value as Object)", block.get())),
        Ref(host.create("Python3Result", "Constructor(value as Object)", Obj(nullptr))),
        Ref(host.callShared<Obj>("Python3Result", "FromBytes(bytes as Python3Bytes) as Python3Result",
                                 bytes.get())),
    };
    ClearError();
    for (Ref& r : made) {
      for (const char* test : tests) host.call<int8_t>(r, std::string(test) + "() as Boolean");
      host.call<int32_t>(r, "Int32Value() as Int32");
      host.call<int64_t>(r, "Int64Value() as Int64");
      host.call<uint64_t>(r, "UInt64Value() as UInt64");
      host.call<double>(r, "DoubleValue() as Double");
      host.call<int8_t>(r, "BooleanValue() as Boolean");
      SRef s(host.call<Str>(r, "StringValue() as String"));
      Ref o(host.call<Obj>(r, "ObjectValue() as Object"));
      Ref bv(host.call<Obj>(r, "BytesValue() as Python3Bytes"));
      Ref tv(host.call<Obj>(r, "TupleValue() as Python3Parameters"));
      Ref dv(host.call<Obj>(r, "DictionaryValue() as Python3Dictionary"));
      DecRef(host.call<void*>(r, "GetPtr() as Ptr"));
      ClearError();
    }
  });
}

// Python3Dictionary: a new dict filled, read, copied, emptied, with string
// and entity keys, unhashable keys and missing keys; and the module's dict
// read without change.
TEST_F(LeakTest, Dictionary) {
  Ref table(Table());
  Ref s(Item(table, "s")), l(Item(table, "l"));
  watched = {table.get(), s.get(), l.get()};
  Measure([&](int i) {
    Ref d(host.create("Python3Dictionary", "Constructor()"));
    Ref key(EntityOfString("key"));
    Ref value(Entity("FromInt32(value as Int32) as Python3Entity", i));
    host.call<void>(d, "SetValue(key as String, value as Python3EntityBase)", S("a").get(), s.get());
    host.call<void>(d, "SetValue(key as String, value as Python3EntityBase)", S("b").get(), l.get());
    host.call<void>(d, "SetValue(key as Python3EntityBase, value as Python3EntityBase)", key.get(),
                    value.get());
    host.call<void>(d, "SetValue(key as Python3EntityBase, value as Python3EntityBase)", l.get(),
                    value.get());  // unhashable
    host.call<void>(d, "SetValue(key as String, value as Python3EntityBase)", Str(nullptr),
                    Obj(nullptr));
    ClearError();
    for (Obj dict : {d.get(), table.get()}) {
      host.call<int8_t>(dict, "Contains(key as String) as Boolean", S("a").get());
      host.call<int8_t>(dict, "Contains(key as Python3EntityBase) as Boolean", key.get());
      host.call<int8_t>(dict, "Contains(key as Python3EntityBase) as Boolean", l.get());
      Ref v1(host.call<Obj>(dict, "GetValue(key as String) as Python3Entity", S("b").get()));
      Ref v2(host.call<Obj>(dict, "GetValue(key as Python3EntityBase) as Python3Entity", key.get()));
      Ref v3(host.call<Obj>(dict, "GetValue(key as String) as Python3Entity", S("nope").get()));
      Ref v4(host.call<Obj>(dict, "GetValue(key as Python3EntityBase) as Python3Entity", l.get()));
      Ref keys(host.call<Obj>(dict, "GetKeys() as Python3List"));
      Ref values(host.call<Obj>(dict, "GetValues() as Python3List"));
      Ref copy(host.call<Obj>(dict, "Copy() as Python3Dictionary"));
      host.prop<int32_t>(dict, "Count");
      ClearError();
    }
    host.call<void>(d, "Remove(key as String)", S("a").get());
    host.call<void>(d, "Remove(key as Python3EntityBase)", key.get());
    host.call<void>(d, "Remove(key as String)", S("nope").get());
    host.call<void>(d, "Remove(key as Python3EntityBase)", l.get());
    ClearError();
    host.call<void>(d, "Clear()");
    Ref empty(host.newInstance("Python3Dictionary"));  // no Python object
    host.call<void>(empty, "SetValue(key as String, value as Python3EntityBase)", S("a").get(),
                    s.get());
    Ref none(host.call<Obj>(empty, "GetKeys() as Python3List"));
    ClearError();
  });
}

// Python3List: a new list built, read, sorted, reversed and emptied, with
// out-of-range and negative indexes; and the module's list read.
TEST_F(LeakTest, List) {
  Ref table(Table());
  Ref s(Item(table, "s")), l(Item(table, "l"));
  Ref shared(host.prop<Obj>(l, "ListValue"));
  watched = {s.get(), shared.get()};
  Measure([&](int i) {
    Ref list(host.create("Python3List", "Constructor()"));
    Ref n(Entity("FromInt32(value as Int32) as Python3Entity", i));
    Ref m(Entity("FromInt32(value as Int32) as Python3Entity", -i));
    host.call<void>(list, "Append(value as Python3EntityBase)", n.get());
    host.call<void>(list, "Append(value as Python3EntityBase)", m.get());
    host.call<void>(list, "Insert(index as Integer, value as Python3EntityBase)", int32_t(0), n.get());
    host.call<void>(list, "Insert(index as Integer, value as Python3EntityBase)", int32_t(-5), m.get());
    host.call<void>(list, "Insert(index as Integer, value as Python3EntityBase)", int32_t(99), n.get());
    host.call<void>(list, "Append(value as Python3EntityBase)", Obj(nullptr));
    host.call<void>(list, "SetItem(index as Integer, value as Python3EntityBase)", int32_t(1), m.get());
    host.call<void>(list, "SetItem(index as Integer, value as Python3EntityBase)", int32_t(50), m.get());
    ClearError();
    host.call<void>(list, "Sort()");
    host.call<void>(list, "Reverse()");
    host.call<void>(list, "Append(value as Python3EntityBase)", s.get());
    host.call<void>(list, "Sort()");  // int and str: TypeError, list kept
    ClearError();
    for (Obj x : {list.get(), shared.get()}) {
      for (int32_t i2 : {int32_t(0), int32_t(2), int32_t(-1), int32_t(1000)}) {
        Ref item(host.call<Obj>(x, "GetItem(index as Integer) as Python3Entity", i2));
      }
      Ref tuple(host.call<Obj>(x, "AsTuple() as Python3Parameters"));
      host.prop<int32_t>(x, "Count");
      ClearError();
    }
    host.call<void>(list, "Clear()");
  });
}

// Python3Bytes: made from strings (nil, with NUL bytes) and memory blocks,
// read back both ways; and the module's bytes read.
TEST_F(LeakTest, Bytes) {
  Ref b(Pick("b"));
  Ref shared(host.call<Obj>(b, "BytesValue() as Python3Bytes"));
  watched = {shared.get()};
  Measure([&](int i) {
    Ref block(host.newMemoryBlock(std::string("a\0b", 3) + std::to_string(i)));
    Ref made[] = {
        Ref(host.create("Python3Bytes", "Constructor(value as String)",
                        SRef(host.newString(std::string("x\0y", 3))).get())),
        Ref(host.create("Python3Bytes", "Constructor(value as String)", Str(nullptr))),
        Ref(host.create("Python3Bytes", "Constructor(value as MemoryBlock)", block.get())),
        Ref(host.create("Python3Bytes", "Constructor(value as MemoryBlock)", Obj(nullptr))),
        Ref(host.newInstance("Python3Bytes")),
    };
    ClearError();
    for (Obj x : {made[0].get(), made[1].get(), made[2].get(), made[3].get(), made[4].get(),
                  shared.get()}) {
      SRef s(host.call<Str>(x, "ToString() as String"));
      Ref m(host.call<Obj>(x, "ToMemoryBlock() as MemoryBlock"));
      host.prop<int64_t>(x, "Size");
    }
  });
}

// Python3Module, Function, Class and Instance: imports, handles, calls with
// module objects as arguments (answered and raised), every field read and
// written, attributes tested and deleted, classes instantiated and their
// methods called.
TEST_F(LeakTest, ModuleFunctionClassInstance) {
  Ref table(Table());
  Ref l(Item(table, "l"));
  Ref list(host.prop<Obj>(l, "ListValue"));
  Ref block(host.newMemoryBlock("x"));
  watched = {list.get(), block.get()};
  Measure([&](int i) {
    Ref m(GetModule("cw_leak"));
    Ref f(GetFunction(m, "f")), boom(GetFunction(m, "boom")), none(GetFunction(m, "nope"));
    Ref notCallable(GetFunction(m, "S"));
    ClearError();
    Ref owner(host.prop<Obj>(f, "OwnerModule"));
    SRef name(host.prop<Str>(f, "Name"));
    Ref args(NewParameters(3));
    host.assign(args, "ListValue(index as Integer) as Python3List", int32_t(0), list.get());
    host.assign(args, "ObjectValue(index as Integer) as Object", int32_t(1), block.get());
    Ref answered(Invoke(f, args));
    Ref raised(Invoke(boom, args));
    EXPECT_EQ(raised.get(), nullptr);
    SRef message(host.callShared<Str>("Coilwork", "GetError() as String"));
    ClearError();
    Ref noArgs(Invoke(f, nullptr));
    Ref c(GetClass(m, "C")), noClass(GetClass(m, "nope"));
    ClearError();
    Ref instance(CreateInstance(c));
    Ref method(GetFunction(instance, "m"));
    Ref called(Invoke(method, args));
    for (Obj target : {m.get(), instance.get()}) {
      for (const char* field : {"v", "S", "nope"}) {
        host.call<int32_t>(target, "Int32Field(name as String) as Int32", S(field).get());
        host.call<int64_t>(target, "Int64Field(name as String) as Int64", S(field).get());
        host.call<uint64_t>(target, "UInt64Field(name as String) as UInt64", S(field).get());
        host.call<double>(target, "DoubleField(name as String) as Double", S(field).get());
        host.call<int8_t>(target, "BooleanField(name as String) as Boolean", S(field).get());
      }
      ClearError();
      SRef text(host.call<Str>(target, "StringField(name as String) as String", S("S").get()));
      Ref object(host.call<Obj>(target, "ObjectField(name as String) as Object", S("tmp").get()));
      ClearError();
      host.assign(target, "Int32Field(name as String) as Int32", S("tmp").get(), int32_t(i));
      host.assign(target, "Int64Field(name as String) as Int64", S("tmp").get(), int64_t(i));
      host.assign(target, "UInt64Field(name as String) as UInt64", S("tmp").get(), uint64_t(i));
      host.assign(target, "DoubleField(name as String) as Double", S("tmp").get(), 0.5);
      host.assign(target, "BooleanField(name as String) as Boolean", S("tmp").get(), int8_t(1));
      host.assign(target, "StringField(name as String) as String", S("tmp").get(), S("t").get());
      host.assign(target, "ObjectField(name as String) as Object", S("tmp").get(), block.get());
      Ref back(host.call<Obj>(target, "ObjectField(name as String) as Object", S("tmp").get()));
      host.call<int8_t>(target, "HasAttribute(name as String) as Boolean", S("tmp").get());
      host.call<int32_t>(target, "DeleteAttribute(name as String) as Integer", S("tmp").get());
      host.call<int32_t>(target, "DeleteAttribute(name as String) as Integer", S("tmp").get());
      ClearError();
    }
  });
}

// Keyword calls and classes called with arguments: functions, methods and
// constructors given the module's objects, answered and refused.
TEST_F(LeakTest, KeywordsAndConstructorArguments) {
  Ref table(Table());
  Ref l(Item(table, "l"));
  Ref list(host.prop<Obj>(l, "ListValue"));
  const char* invokeKw =
      "Invoke(parameters as Python3Parameters, keywords as Python3Dictionary) as Python3Result";
  const char* createKw =
      "CreateInstance(parameters as Python3Parameters, keywords as Python3Dictionary) as "
      "Python3Instance";
  Ref kw(GetFunction(module, "kw")), boom(GetFunction(module, "boom"));
  Ref c(GetClass(module, "C"));
  Ref instance(CreateInstance(c));
  Ref method(GetFunction(instance, "m"));
  watched = {list.get(), kw.get(), c.get(), instance.get(), method.get()};
  Measure([&](int) {
    Ref keywords(host.create("Python3Dictionary", "Constructor()"));
    host.call<void>(keywords, "SetValue(key as String, value as Python3EntityBase)", S("v").get(),
                    l.get());
    Ref one(NewParameters(1));
    host.assign(one, "ListValue(index as Integer) as Python3List", int32_t(0), list.get());
    Ref made(host.call<Obj>(c, "CreateInstance(parameters as Python3Parameters) as Python3Instance",
                            one.get()));
    EXPECT_NE(made.get(), nullptr);
    Ref madeKw(host.call<Obj>(c, createKw, Obj(nullptr), keywords.get()));
    EXPECT_NE(madeKw.get(), nullptr);
    Ref refusedKw(host.call<Obj>(c, createKw, one.get(), keywords.get()));  // v given twice
    EXPECT_EQ(refusedKw.get(), nullptr);
    ClearError();
    Ref refusedCall(host.call<Obj>(boom, invokeKw, one.get(), keywords.get()));  // no keywords
    EXPECT_EQ(refusedCall.get(), nullptr);
    ClearError();
    Ref answeredKw(host.call<Obj>(kw, invokeKw, one.get(), keywords.get()));
    EXPECT_NE(answeredKw.get(), nullptr);
    Ref methodKw(host.call<Obj>(method, invokeKw, one.get(), Obj(nullptr)));
    EXPECT_NE(methodKw.get(), nullptr);
  });
}

// The members every holder answers, on the module's objects (one per round,
// in turn) held by an entity and by a result: attributes, items, calls and method calls that
// answer and that raise, iteration to its end and of what cannot be
// iterated, and the holders and handles they make; and any object passed
// through EntityValue and EntityField.
TEST_F(LeakTest, EveryHolderMembers) {
  Ref table(Table());
  Ref c(GetClass(module, "C"));
  Ref instance(CreateInstance(c));
  Ref self(host.call<Obj>(module, "AsEntity() as Python3Entity"));
  watched = {table.get(), c.get(), instance.get(), self.get()};
  const char* callKw = "Call(parameters as Python3Parameters, keywords as Python3Dictionary) as Python3Result";
  const char* methodKw =
      "CallMethod(name as String, parameters as Python3Parameters, keywords as Python3Dictionary) "
      "as Python3Result";
  const char* method = "CallMethod(name as String, parameters as Python3Parameters) as Python3Result";
  const char* slot = "EntityValue(index as Integer) as Python3EntityBase";
  const char* field = "EntityField(name as String) as Python3EntityBase";
  Measure([&](int i) {
    Ref zero(Entity("FromInt32(value as Int32) as Python3Entity", 0));
    Ref key(EntityOfString("k")), none(host.callShared<Obj>("Python3Entity", "FromNone() as Python3Entity"));
    Ref keywords(host.create("Python3Dictionary", "Constructor()"));
    host.call<void>(keywords, "SetValue(key as String, value as Python3EntityBase)", S("v").get(), zero.get());
    Ref args(NewParameters(2));
    for (int32_t at : {0, 1, 2}) host.assign(args, slot, at, at ? self.get() : Ref(host.call<Obj>(instance, "AsEntity() as Python3Entity")).get());
    host.assign(args, slot, int32_t(0), Obj(nullptr));
    Ref back(host.call<Obj>(args, slot, int32_t(1)));
    for (const char* name : {"f", "boom", "kw", "nope"}) {
      Ref r(host.call<Obj>(self, method, S(name).get(), args.get()));
      Ref rk(host.call<Obj>(self, methodKw, S(name).get(), Obj(nullptr), keywords.get()));
      ClearError();
    }
    {
      const char* k = kKeys[(i % 9 + 9) % 9];  // one of the module's objects per round
      Ref x(Item(table, k)), picked(Pick(k));
      for (Obj h : {x.get(), picked.get()}) {
        SRef type(host.prop<Str>(h, "TypeName"));
        host.prop<int8_t>(h, "IsNone");
        host.prop<int32_t>(h, "Length");
        SRef str(host.call<Str>(h, "ToStr() as String")), repr(host.call<Str>(h, "ToRepr() as String"));
        host.call<int8_t>(h, "HasAttribute(name as String) as Boolean", S("v").get());
        Ref v(host.call<Obj>(h, "GetAttribute(name as String) as Python3Entity", S("v").get()));
        // The class is left as it is: a class attribute set through the C API
        // while an instance gains attributes makes Python 3.11 itself keep
        // memory blocks (a script making the same calls through ctypes,
        // without the plugin, keeps them too).
        if (strcmp(k, "c") != 0)
          host.call<int8_t>(h, "SetAttribute(name as String, value as Python3EntityBase) as Boolean",
                            S("v").get(), i % 2 ? zero.get() : nullptr);
        for (Obj k2 : {key.get(), zero.get(), none.get()}) {
          Ref item(host.call<Obj>(h, "GetItem(key as Python3EntityBase) as Python3Entity", k2));
          host.call<int8_t>(h, "SetItem(key as Python3EntityBase, value as Python3EntityBase) as Boolean",
                            k2, item.get());
        }
        Ref called(host.call<Obj>(h, "Call(parameters as Python3Parameters) as Python3Result", args.get()));
        Ref calledKw(host.call<Obj>(h, callKw, Obj(nullptr), keywords.get()));
        Ref bound(host.call<Obj>(h, method, S("m").get(), Obj(nullptr)));
        ClearError();
        Ref it(host.call<Obj>(h, "Iterate() as Python3Iterator"));
        while (it.get() && Ref(host.call<Obj>(it, "Next() as Python3Entity")).get()) {
        }
        Ref list(host.call<Obj>(h, "ToList() as Python3List"));
        host.call<int8_t>(h, "IsInstance(ofClass as Python3Class) as Boolean", c.get());
        Ref asInstance(host.call<Obj>(h, "AsInstance() as Python3Instance"));
        Ref asModule(host.call<Obj>(h, "AsModule() as Python3Module"));
        ClearError();
      }
      host.call<int8_t>(picked, "IsList() as Boolean");
      Ref lv(host.call<Obj>(picked, "ListValue() as Python3List"));
      Ref shared(host.call<Obj>(picked, "AsEntity() as Python3Entity"));
      for (Obj target : {module.get(), instance.get()}) {
        host.assign(target, field, S("tmp").get(), x.get());
        Ref got(host.call<Obj>(target, field, S("tmp").get()));
        host.assign(target, field, S("tmp").get(), Obj(nullptr));
        Ref missing(host.call<Obj>(target, field, S("nope").get()));
        ClearError();
        host.call<int32_t>(target, "DeleteAttribute(name as String) as Integer", S("tmp").get());
      }
    }
  });
}

// Python3XojoModule and Python3XojoClass: modules and classes made and let
// go, and Python calling a published module's functions, class and methods
// with the module's objects as arguments, answered and refused.
TEST_F(LeakTest, ExtensionModuleAndClass) {
  {
    Ref hm(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                       S("cw_leakhost").get(), uint32_t(2)));
    host.call<void>(hm, "RegisterFunction(name as String, fuction as Ptr)", S("pair").get(),
                    reinterpret_cast<void*>(&HostPair));
    host.call<void>(hm, "RegisterFunction(name as String, fuction as Ptr)", S("refuse").get(),
                    reinterpret_cast<void*>(&HostRefuse));
    Ref cls(host.create("Python3XojoClass",
                        "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                        S("K").get(), uint32_t(1), reinterpret_cast<void*>(&InitCounting)));
    host.call<void>(cls, "RegisterFunction(name as String, fuction as Ptr)", S("pair").get(),
                    reinterpret_cast<void*>(&HostPair));
    host.call<void>(hm, "AddClass(classToAdd as Python3XojoClass)", cls.get());
    gLeakModule = hm.get();
    host.callShared<void>(
        "Coilwork",
        "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)",
        hm.get(), reinterpret_cast<void*>(&CreateLeakModule));
    Ref user(Import("cw_leakuse",
                    "import cw_leakhost\n"
                    "from cw_leak import L, S, T\n"
                    "def use(*a):\n"
                    "    r = cw_leakhost.pair(L, S, T)\n"
                    "    k = cw_leakhost.K(L)\n"
                    "    k.pair(S, L)\n"
                    "    for bad in (lambda: cw_leakhost.refuse(L), lambda: cw_leakhost.K(1, 2, 3)):\n"
                    "        try:\n"
                    "            bad()\n"
                    "        except Exception:\n"
                    "            pass\n"
                    "    return r\n"));
    ASSERT_NE(user.get(), nullptr) << GetError();
    Ref use(GetFunction(user, "use"));
    watched = {hm.get(), cls.get(), use.get()};
    Measure([&](int) {
      Ref r(Invoke(use, nullptr));
      ASSERT_NE(r.get(), nullptr) << GetError();
      Ref m(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                        S("unused").get(), uint32_t(3)));
      Ref c(host.create("Python3XojoClass",
                        "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                        S("Unused").get(), uint32_t(3), static_cast<void*>(nullptr)));
      host.call<void>(m, "RegisterFunction(name as String, fuction as Ptr)", S("a").get(),
                      reinterpret_cast<void*>(&HostPair));
      host.call<void>(c, "RegisterFunction(name as String, fuction as Ptr)", S("a").get(),
                      reinterpret_cast<void*>(&HostPair));
      host.call<void>(m, "AddClass(classToAdd as Python3XojoClass)", c.get());
      host.call<void>(m, "AddClass(classToAdd as Python3XojoClass)", Obj(nullptr));
    });
  }
  // The registration holds the module until the interpreter stops. The
  // handles of this interpreter go first.
  watched.clear();
  counts.reset();
  blocks.reset();
  module.reset();
  host.callShared<void>("Coilwork", "Finalize()");
  gLeakModule = nullptr;
  EnsureInterpreter();
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

}  // namespace
}  // namespace coiltest
