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
    module_ = Ref(Exec("import re, collections, weakref\n"
                       "class P:\n"
                       "    def __init__(self, v):\n"
                       "        self.v = v\n"
                       "def value_of(p):\n"
                       "    return p.v\n"
                       "def gen(n):\n"
                       "    for i in range(n):\n"
                       "        yield i\n"
                       "    raise ValueError('broken')\n"
                       "class L(list):\n"
                       "    pass\n"
                       "def make():\n"
                       "    global W\n"
                       "    x = L('abc')\n"
                       "    W = weakref.ref(x)\n"
                       "    return x\n"
                       "class Ends:\n"
                       "    def __iter__(self):\n"
                       "        return self\n"
                       "    def __next__(self):\n"
                       "        raise StopIteration\n"
                       "ends = Ends()\n"
                       "def alive():\n"
                       "    return W() is not None\n"));
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
  Obj Ints(std::initializer_list<int32_t> values) {
    Obj p = host.create("Python3Parameters", "Constructor(parameterCount as Integer)",
                        int32_t(values.size()));
    int32_t i = 0;
    for (int32_t v : values) host.assign(p, "Int32Value(index as Integer) as Int32", i++, v);
    return p;
  }
  Obj FromText(const std::string& t) {
    return host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity",
                                S(t).get());
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

// A match's groups, sqlite3's rows through a cursor, and the types of what
// the standard library hands back, all without Python source.
TEST_F(ObjectsTest, StandardLibraryObjectsAreUsableDirectly) {
  Ref re(Field(module_, "re"));
  Ref args(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
  host.assign(args, "StringValue(index as Integer) as String", int32_t(0), S("(\\d+)-(\\d+)").get());
  host.assign(args, "StringValue(index as Integer) as String", int32_t(1), S("12-34").get());
  Ref match(CallMethod(re, "match", args));
  ASSERT_NE(match.get(), nullptr) << GetError();
  EXPECT_EQ(Type(match), PythonMinor() >= 7 ? "re.Match" : "_sre.SRE_Match");
  Ref two(Ints({2}));
  Ref group(host.call<Obj>(match, "CallMethod(name as String, parameters as Python3Parameters) as Python3Result",
                           S("group").get(), two.get()));
  EXPECT_EQ(ResultText(group), "34");

  Ref counter(CallMethod(Ref(Field(module_, "collections")), "Counter", Ref(Ints({1})).get()));
  EXPECT_EQ(counter.get(), nullptr) << "Counter(1): an int is not iterable";
  EXPECT_TRUE(PendingIs("TypeError"));
  Ref none(host.callShared<Obj>("Python3Entity", "FromNone() as Python3Entity"));
  EXPECT_EQ(Type(none), "NoneType");
  EXPECT_TRUE(host.prop<int8_t>(none, "IsNone"));
  EXPECT_EQ(host.prop<int32_t>(none, "Length"), -1);
  EXPECT_TRUE(PendingIs("TypeError"));
  EXPECT_EQ(host.call<Obj>(none, "AsModule() as Python3Module"), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));

  // sqlite3 imports _datetime, which CPython 3.12.1 cannot set up again
  // in a process whose earlier interpreter had it (a double free inside
  // its module init): the rows are read on the other versions.
  if (PythonMinor() == 12) return;
  Ref sqlite(GetModule("sqlite3"));
  ASSERT_NE(sqlite.get(), nullptr) << GetError();
  Ref connect(host.call<Obj>(Ref(host.call<Obj>(sqlite, "AsEntity() as Python3Entity")),
                             "GetAttribute(name as String) as Python3Entity", S("connect").get()));
  Ref memory(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(memory, "StringValue(index as Integer) as String", int32_t(0), S(":memory:").get());
  Ref db(host.call<Obj>(connect, "Call(parameters as Python3Parameters) as Python3Result", memory.get()));
  ASSERT_NE(db.get(), nullptr) << GetError();
  Ref sql(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(sql, "StringValue(index as Integer) as String", int32_t(0),
              S("select 1, 'a' union all select 2, 'b'").get());
  Ref cursor(CallMethod(db, "execute", sql));
  ASSERT_NE(cursor.get(), nullptr) << GetError();
  Ref rows(host.call<Obj>(cursor, "Iterate() as Python3Iterator"));
  std::string seen;
  while (Ref row{Next(rows)}) {
    Ref second(host.call<Obj>(row, "GetItem(key as Python3EntityBase) as Python3Entity",
                              Ref(host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity",
                                                       int32_t(1))).get()));
    seen += Text(second);
  }
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
  EXPECT_EQ(Next(it), nullptr);
  EXPECT_FALSE(ErrorOccurred());
  it.reset(host.call<Obj>(Ref(Field(module_, "ends")), "Iterate() as Python3Iterator"));
  EXPECT_EQ(Next(it), nullptr);
  EXPECT_FALSE(ErrorOccurred()) << "the StopIteration __next__ raised reached host code";

  Ref gen(host.call<Obj>(Ref(Field(module_, "gen")), "Call(parameters as Python3Parameters) as Python3Result",
                         Ref(Ints({2})).get()));
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
  Ref seven(Ints({7}));
  Ref made(host.call<Obj>(cls, "CreateInstance(parameters as Python3Parameters) as Python3Instance",
                          seven.get()));
  ASSERT_NE(made.get(), nullptr) << GetError();
  Ref entity(host.call<Obj>(made, "AsEntity() as Python3Entity"));
  intptr_t before = Refs(entity);
  Ref p(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
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

// A Result answers the same members, and AsEntity shares its object.
TEST_F(ObjectsTest, ResultsAnswerTheSameMembers) {
  Ref args(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
  host.assign(args, "StringValue(index as Integer) as String", int32_t(0), S("\\d").get());
  host.assign(args, "StringValue(index as Integer) as String", int32_t(1), S("a1b2").get());
  Ref found(CallMethod(Ref(Field(module_, "re")), "findall", args));
  ASSERT_NE(found.get(), nullptr) << GetError();
  EXPECT_TRUE(host.call<int8_t>(found, "IsList() as Boolean"));
  EXPECT_EQ(Type(found), "list");
  EXPECT_EQ(host.prop<int32_t>(found, "Length"), 2);
  EXPECT_EQ(SRef(host.call<Str>(found, "ToRepr() as String")).bytes(), "['1', '2']");
  intptr_t before = Refs(found, "Python3Result");
  Ref shared(host.call<Obj>(found, "AsEntity() as Python3Entity"));
  Ref l(host.call<Obj>(found, "ListValue() as Python3List"));
  EXPECT_EQ(Refs(found, "Python3Result"), before + 2);
  shared.reset();
  l.reset();
  EXPECT_EQ(Refs(found, "Python3Result"), before);
}

// Holders kept across Finalize, and across Finalize and a new Init, answer
// as empty ones and release nothing when let go.
TEST_F(ObjectsTest, HoldersOfAStoppedInterpreterAnswerNeutrally) {
  Ref e(FromText("kept"));
  Ref it(host.call<Obj>(e, "Iterate() as Python3Iterator"));
  Ref r(CallMethod(e, "upper", nullptr));
  Ref m(host.call<Obj>(Ref(Field(module_, "re")), "AsModule() as Python3Module"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  auto neutral = [&] {
    EXPECT_EQ(Type(r), "");
    for (Obj h : {e.get(), it.get()}) {
      EXPECT_EQ(Type(h), "");
      EXPECT_EQ(host.prop<int32_t>(h, "Length"), 0);
      EXPECT_EQ(host.call<Obj>(h, "Iterate() as Python3Iterator"), nullptr);
      EXPECT_EQ(CallMethod(h, "upper", nullptr), nullptr);
    }
    EXPECT_EQ(Next(it), nullptr);
    EXPECT_EQ(host.call<Obj>(r, "AsEntity() as Python3Entity"), nullptr);
    EXPECT_EQ(host.call<Obj>(m, "AsEntity() as Python3Entity"), nullptr);
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
