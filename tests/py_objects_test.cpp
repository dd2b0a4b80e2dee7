// The members every holder answers whatever its object (attributes, items,
// calls, method calls, iteration), on real standard-library objects: what
// they keep alive and for how long, the end of an iteration, and holders
// that outlive their interpreter.
#include <initializer_list>

#include "code_helpers.h"

namespace coiltest {
namespace {

class ObjectsTest : public CodeTest {
 protected:
  void SetUp() override {
    CodeTest::SetUp();
    module_ = Ref(Exec(
        "import re, weakref\n"
        "class P:\n    def __init__(self, v): self.v = v\n"
        "def value_of(p): return p.v\n"
        "def gen(n):\n    yield from range(n)\n    raise ValueError('broken')\n"
        "class L(list): pass\n"
        "def make():\n    global W\n    x = L('abc')\n    W = weakref.ref(x)\n    return x\n"
        "def alive(): return W() is not None\n"
        "class Ends:\n    def __iter__(self): return self\n"
        "    def __next__(self): raise StopIteration\n"
        "ends = Ends()\n"
        "class M:\n    def count(self, *a): return len(a)\n"
        "    def __getattr__(self, name): return lambda *a: name + str(len(a))\n"
        "m = M()\nm.own = lambda x: x * 2\n"));
    ASSERT_NE(module_.get(), nullptr);
    startObjects = host.liveObjects();
    startStrings = host.liveStrings();
  }
  void TearDown() override {
    ClearError();
    ExpectCountsAtStart();
    module_.reset();
    CodeTest::TearDown();
  }

  Obj Field(Obj h, const std::string& n) {
    return host.call<Obj>(h, "EntityField(name as String) as Python3EntityBase", S(n).get());
  }
  // A Python3Parameters of Int32 or String values.
  template <class T>
  Obj Args(std::initializer_list<T> values) {
    Obj p = host.create("Python3Parameters", "Constructor(parameterCount as Integer)",
                        int32_t(values.size()));
    int32_t i = 0;
    for (const T& v : values) Set(p, i++, v);
    return p;
  }
  void Set(Obj p, int32_t i, int32_t v) { host.assign(p, "Int32Value(index as Integer) as Int32", i, v); }
  void Set(Obj p, int32_t i, const char* v) {
    host.assign(p, "StringValue(index as Integer) as String", i, S(v).get());
  }
  Obj CallMethod(Obj h, const std::string& n, Obj params) {
    return host.call<Obj>(h, "CallMethod(name as String, parameters as Python3Parameters) as Python3Result",
                          S(n).get(), params);
  }
  Obj Next(Obj it) { return host.call<Obj>(it, "Next() as Python3Entity"); }
  std::string Type(Obj h) { return SRef(host.prop<Str>(h, "TypeName")).bytes(); }
  std::string Text(Obj h) { return SRef(host.call<emuhost::Str>(h, "ToStr() as String")).bytes(); }
  // Python's reference count of what a holder of the given class holds.
  intptr_t Refs(Obj h, const char* cls = "Python3EntityBase") {
    const REALclassDefinition* def = host.classDefinition(cls);
    return RefCountOf(*reinterpret_cast<void**>(reinterpret_cast<char*>(h) + def->forSystemUse));
  }
  bool Alive() {
    Ref r(Invoke(Ref(GetFunction(module_, "alive")), nullptr));
    return r.get() && host.call<int8_t>(r, "BooleanValue() as Boolean");
  }

  Ref module_;
};

// A match's groups, a list a call returned, sqlite3's rows through a
// cursor, None: used through results and entities, without Python source.
TEST_F(ObjectsTest, StandardLibraryObjectsAreUsableDirectly) {
  Ref re(Field(module_, "re"));
  Ref match(CallMethod(re, "match", Ref(Args<const char*>({"(\\d+)-(\\d+)", "12-34"}))));
  ASSERT_NE(match.get(), nullptr) << GetError();
  EXPECT_EQ(Type(match), PythonMinor() >= 7 ? "re.Match" : "_sre.SRE_Match");
  EXPECT_EQ(ResultText(Ref(CallMethod(match, "group", Ref(Args<int32_t>({2}))))), "34");

  Ref found(CallMethod(re, "findall", Ref(Args<const char*>({"\\d", "a1b2"}))));
  EXPECT_TRUE(host.call<int8_t>(found, "IsList() as Boolean"));
  EXPECT_EQ(host.prop<int32_t>(found, "Length"), 2);
  EXPECT_EQ(SRef(host.call<Str>(found, "ToRepr() as String")).bytes(), "['1', '2']");
  intptr_t before = Refs(found, "Python3Result");
  Ref shared(host.call<Obj>(found, "AsEntity() as Python3Entity"));
  Ref list(host.call<Obj>(found, "ListValue() as Python3List"));
  EXPECT_EQ(Refs(found, "Python3Result"), before + 2) << "AsEntity and ListValue share the list";
  shared.reset();
  list.reset();
  EXPECT_EQ(Refs(found, "Python3Result"), before);

  Ref none(host.callShared<Obj>("Python3Entity", "FromNone() as Python3Entity"));
  EXPECT_TRUE(host.prop<int8_t>(none, "IsNone") && Type(none) == "NoneType");
  EXPECT_EQ(host.call<Obj>(none, "AsModule() as Python3Module"), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));

  // sqlite3 imports _datetime, which CPython 3.12.1 cannot set up again in a
  // process whose earlier interpreter had it (a double free in its init).
  if (PythonMinor() == 12) return;
  Ref sqlite(GetModule("sqlite3"));
  ASSERT_NE(sqlite.get(), nullptr) << GetError();
  Ref db(CallMethod(Ref(host.call<Obj>(sqlite, "AsEntity() as Python3Entity")), "connect",
                    Ref(Args<const char*>({":memory:"}))));
  Ref cursor(CallMethod(db, "execute", Ref(Args<const char*>({"select 1, 'a' union select 2, 'b'"}))));
  ASSERT_NE(cursor.get(), nullptr) << GetError();
  Ref rows(host.call<Obj>(cursor, "Iterate() as Python3Iterator"));
  Ref one(host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity", int32_t(1)));
  std::string seen;
  while (Ref row{Next(rows)})
    seen += Text(Ref(host.call<Obj>(row, "GetItem(key as Python3EntityBase) as Python3Entity", one.get())));
  EXPECT_EQ(seen, "ab");
  EXPECT_FALSE(ErrorOccurred()) << "the end of the rows raised nothing";
  Ref closed(CallMethod(db, "close", nullptr));
}

// An iterator keeps what it iterates alive after every other holder let go,
// lets go of it when released, and ends without leaving StopIteration; a
// generator that raises gives its items, then nil with its error pending.
TEST_F(ObjectsTest, IterationOwnsItsSourceAndEndsCleanly) {
  Ref make(GetFunction(module_, "make"));
  Ref r(Invoke(make, nullptr));
  Ref it(host.call<Obj>(r, "Iterate() as Python3Iterator"));
  r.reset();
  EXPECT_TRUE(Alive()) << "freed while the iterator runs over it";
  EXPECT_EQ(Text(Ref(Next(it))), "a");
  it.reset();
  EXPECT_FALSE(Alive()) << "kept alive by a released iterator";

  r.reset(Invoke(make, nullptr));
  it.reset(host.call<Obj>(r, "Iterate() as Python3Iterator"));
  std::string items;
  while (Ref item{Next(it)}) items += Text(item);
  EXPECT_EQ(items, "abc");
  EXPECT_FALSE(ErrorOccurred()) << "StopIteration reached host code";
  it.reset(host.call<Obj>(Ref(Field(module_, "ends")), "Iterate() as Python3Iterator"));
  EXPECT_EQ(Next(it), nullptr);
  EXPECT_FALSE(ErrorOccurred()) << "the StopIteration __next__ raised reached host code";

  Ref gen(host.call<Obj>(Ref(Field(module_, "gen")), "Call(parameters as Python3Parameters) as Python3Result",
                         Ref(Args<int32_t>({2})).get()));
  it.reset(host.call<Obj>(gen, "Iterate() as Python3Iterator"));
  std::string got;
  while (Ref item{Next(it)}) got += Text(item);
  EXPECT_EQ(got, "01");
  EXPECT_TRUE(PendingIs("ValueError")) << "the generator's own error";
  EXPECT_EQ(Next(it), nullptr);
  EXPECT_FALSE(ErrorOccurred()) << "a finished generator ends quietly";
}

// An instance made with CreateInstance travels as an argument through
// EntityValue and as an attribute through EntityField, shared, not copied,
// and given back when the tuple goes.
TEST_F(ObjectsTest, InstancesTravelAsArgumentsAndAttributes) {
  Ref cls(GetClass(module_, "P"));
  Ref made(host.call<Obj>(cls, "CreateInstance(parameters as Python3Parameters) as Python3Instance",
                          Ref(Args<int32_t>({7})).get()));
  ASSERT_NE(made.get(), nullptr) << GetError();
  Ref entity(host.call<Obj>(made, "AsEntity() as Python3Entity"));
  intptr_t before = Refs(entity);
  Ref p(Args<int32_t>({0}));
  const char* kSlot = "EntityValue(index as Integer) as Python3EntityBase";
  host.assign(p, kSlot, int32_t(0), entity.get());
  EXPECT_EQ(Refs(entity), before + 1);
  host.assign(p, kSlot, int32_t(1), entity.get());
  host.assign(p, kSlot, int32_t(0), Obj(nullptr));
  EXPECT_EQ(host.prop<int32_t>(p, "LastError"), 3) << "nil is checked first";
  EXPECT_EQ(ResultInt(Ref(Invoke(Ref(GetFunction(module_, "value_of")), p))), 7);
  p.reset();
  EXPECT_EQ(Refs(entity), before) << "the tuple gave its reference back";

  host.assign(module_, "EntityField(name as String) as Python3EntityBase", S("kept").get(), entity.get());
  Ref back(Field(module_, "kept"));
  EXPECT_EQ(Int32(Ref(host.call<Obj>(back, "AsInstance() as Python3Instance")), "v"), 7);
  host.assign(module_, "EntityField(name as String) as Python3EntityBase", S("kept").get(), Obj(nullptr));
  EXPECT_TRUE(PendingIs("ValueError"));
  EXPECT_TRUE(host.call<int8_t>(back, "IsInstance(ofClass as Python3Class) as Boolean", cls.get()));
  EXPECT_EQ(Delete(module_, "kept"), 0);
}

// A method call finds what getattr finds: a method of the class, a callable
// the instance holds itself, one __getattr__ makes; up to eight arguments
// go to Python's method call directly, more through the attribute.
TEST_F(ObjectsTest, MethodCallsFindWhatGetattrFinds) {
  Ref m(Field(module_, "m"));
  auto number = [&](Obj r) {
    Ref held(r);
    EXPECT_NE(r, nullptr) << GetError();
    return r ? host.call<int32_t>(r, "Int32Value() as Int32") : -1;
  };
  EXPECT_EQ(number(CallMethod(m, "count", Ref(Args<int32_t>({1, 2, 3})))), 3);
  EXPECT_EQ(number(CallMethod(m, "count", Ref(Args<int32_t>({1, 2, 3, 4, 5, 6, 7, 8, 9})))), 9);
  EXPECT_EQ(number(CallMethod(m, "count", nullptr)), 0);
  EXPECT_EQ(number(CallMethod(m, "own", Ref(Args<int32_t>({21})))), 42);
  EXPECT_EQ(ResultText(Ref(CallMethod(m, "made", Ref(Args<int32_t>({1, 2}))))), "made2");
  Ref text(host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity", S("x").get()));
  EXPECT_EQ(CallMethod(text, "nope", nullptr), nullptr);
  EXPECT_TRUE(PendingIs("AttributeError"));
}

// Holders kept across Finalize, and across Finalize and a new Init, answer
// as empty ones and release nothing when let go.
TEST_F(ObjectsTest, HoldersOfAStoppedInterpreterAnswerNeutrally) {
  Ref e(host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity", S("kept").get()));
  Ref it(host.call<Obj>(e, "Iterate() as Python3Iterator"));
  Ref r(CallMethod(e, "upper", nullptr));
  Ref m(host.call<Obj>(Ref(Field(module_, "re")), "AsModule() as Python3Module"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  auto neutral = [&] {
    EXPECT_EQ(Type(r), "");
    for (Obj h : {e.get(), it.get()}) {
      EXPECT_EQ(Type(h), "");
      EXPECT_EQ(host.call<Obj>(h, "Iterate() as Python3Iterator"), nullptr);
      EXPECT_EQ(CallMethod(h, "upper", nullptr), nullptr);
    }
    EXPECT_EQ(Next(it), nullptr);
    for (Obj h : {r.get(), m.get()}) EXPECT_EQ(host.call<Obj>(h, "AsEntity() as Python3Entity"), nullptr);
    EXPECT_EQ(Field(m, "match"), nullptr);
    EXPECT_FALSE(ErrorOccurred());
  };
  module_.reset();
  host.callShared<void>("Coilwork", "Finalize()");
  neutral();
  EnsureInterpreter();
  neutral();
  for (Ref* h : {&e, &it, &r, &m}) h->reset();
  EXPECT_FALSE(ErrorOccurred());
  startObjects = host.liveObjects();
  startStrings = host.liveStrings();
}

}  // namespace
}  // namespace coiltest
