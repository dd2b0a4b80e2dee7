// Function, class and instance handles: calls with argument tuples and
// keyword dicts, results and raised errors, classes called with arguments, instances and their bound methods, the chains of host
// references that keep producers alive, and the neutral answers of handles
// that hold nothing or outlive their interpreter.
#include "code_helpers.h"

namespace coiltest {
namespace {

constexpr char kCode[] = R"PY(
def pair(a, b):
    return '%s-%s' % (a, b)

def nothing():
    return None

def fail():
    raise ValueError('broken on purpose')

class Counter:
    label = 'counter'
    def __init__(self):
        self.n = 0
    def bump(self, by=1):
        self.n += by
        return self.n

Alias = Counter

class NeedsArgs:
    def __init__(self, a):
        self.a = a

def kw(a, b=2, *, c=3):
    return '%s-%s-%s' % (a, b, c)

def alist():
    return [1, 2]

class Point:
    def __init__(self, x, y=0, *, label='p'):
        self.x = x
        self.y = y
        self.label = label

class Refuses:
    def __init__(self, v):
        raise ValueError('refused %s' % v)
)PY";

class CodeHandleTest : public CodeTest {
 protected:
  void SetUp() override {
    CodeTest::SetUp();
    module_.reset(Exec(kCode));
    ASSERT_NE(module_.get(), nullptr);
    // Counted from here: the module handle belongs to the fixture.
    startObjects = host.liveObjects();
    startStrings = host.liveStrings();
  }
  void TearDown() override {
    EXPECT_FALSE(ErrorOccurred()) << GetError();
    ExpectCountsAtStart();
    module_.reset();
    CodeTest::TearDown();
  }

  Obj Params(int32_t count) {
    return host.create("Python3Parameters", "Constructor(parameterCount as Integer)", count);
  }

  void ExpectNeutral(Obj h);

  Obj InvokeKw(Obj f, Obj params, Obj keywords) {
    return host.call<Obj>(
        f, "Invoke(parameters as Python3Parameters, keywords as Python3Dictionary) as Python3Result",
        params, keywords);
  }
  Obj CreateWith(Obj c, Obj params) {
    return host.call<Obj>(c, "CreateInstance(parameters as Python3Parameters) as Python3Instance",
                          params);
  }
  Obj CreateWith(Obj c, Obj params, Obj keywords) {
    return host.call<Obj>(c,
                          "CreateInstance(parameters as Python3Parameters, keywords as "
                          "Python3Dictionary) as Python3Instance",
                          params, keywords);
  }
  // A new Python3Dictionary of str keys and str or int values (given as
  // "s:text" or "i:number").
  Obj Keywords(std::initializer_list<std::pair<const char*, std::string>> items) {
    Obj d = host.create("Python3Dictionary", "Constructor()");
    for (const auto& item : items) {
      const std::string& v = item.second;
      Ref value(v[0] == 'i'
                    ? host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity",
                                           int32_t(std::stoi(v.substr(2))))
                    : host.callShared<Obj>("Python3Entity",
                                           "FromString(value as String) as Python3Entity",
                                           S(v.substr(2)).get()));
      host.call<void>(d, "SetValue(key as String, value as Python3EntityBase)", S(item.first).get(),
                      value.get());
    }
    return d;
  }
  Obj OneInt(int32_t v) {
    Obj p = Params(1);
    host.assign(p, "Int32Value(index as Integer) as Int32", int32_t(0), v);
    return p;
  }

  Ref module_;
};

TEST_F(CodeHandleTest, InvokePassesTheTupleInOrder) {
  Ref f(GetFunction(module_, "pair"));
  ASSERT_NE(f.get(), nullptr);
  Ref p(Params(2));
  host.assign(p.get(), "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(7));
  host.assign(p.get(), "StringValue(index as Integer) as String", int32_t(1), S("x").get());
  Ref r(Invoke(f, p));
  ASSERT_NE(r.get(), nullptr) << GetError();
  EXPECT_EQ(ResultText(r), "7-x");

  // Nil means no arguments at all, and so does a holder without a tuple.
  EXPECT_EQ(Invoke(f, nullptr), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
  Ref empty(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", (void*)nullptr));
  EXPECT_EQ(Invoke(f, empty), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
}

TEST_F(CodeHandleTest, NoneIsAResultAndARaiseIsNil) {
  Ref none(GetFunction(module_, "nothing"));
  Ref r(Invoke(none, nullptr));
  ASSERT_NE(r.get(), nullptr);
  EXPECT_EQ(ResultText(r), "<nil>");
  EXPECT_EQ(host.call<int8_t>(r, "BooleanValue() as Boolean"), 0);

  Ref fail(GetFunction(module_, "fail"));
  EXPECT_EQ(Invoke(fail, nullptr), nullptr);
  EXPECT_TRUE(ErrorOccurred());
  EXPECT_EQ(GetError(), "broken on purpose");
}

TEST_F(CodeHandleTest, InstanceMethodsAreBoundToTheInstance) {
  Ref c(GetClass(module_, "Alias"));
  ASSERT_NE(c.get(), nullptr);
  Ref i(CreateInstance(c));
  ASSERT_NE(i.get(), nullptr) << GetError();
  EXPECT_EQ(Name(i), "Alias") << "the lookup name, not Python's class name";
  EXPECT_EQ(String(i, "label"), "counter");

  Ref bump(GetFunction(i, "bump"));
  ASSERT_NE(bump.get(), nullptr);
  EXPECT_EQ(Name(bump), "bump");
  Ref r1(Invoke(bump, nullptr));
  ASSERT_NE(r1.get(), nullptr) << GetError();
  Ref p(Params(1));
  host.assign(p.get(), "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(10));
  Ref r2(Invoke(bump, p));
  ASSERT_NE(r2.get(), nullptr) << GetError();
  EXPECT_EQ(ResultInt(r2), 11);
  EXPECT_EQ(Int32(i, "n"), 11) << "the method worked on this instance";

  // A data attribute is no function, and says nothing about it.
  EXPECT_EQ(GetFunction(i, "n"), nullptr);
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_EQ(GetFunction(i, "absent"), nullptr);
  EXPECT_TRUE(PendingIs("AttributeError"));

  // Functions from an instance have no owning module.
  EXPECT_EQ(host.prop<Obj>(bump, "OwnerModule"), nullptr);
  Ref f(GetFunction(module_, "pair"));
  Ref owner(host.prop<Obj>(f, "OwnerModule"));
  EXPECT_EQ(owner.get(), module_.get());
}

TEST_F(CodeHandleTest, ClassNeedingArgumentsGivesNilWithTypeError) {
  Ref c(GetClass(module_, "NeedsArgs"));
  ASSERT_NE(c.get(), nullptr);
  EXPECT_EQ(CreateInstance(c), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
}

TEST_F(CodeHandleTest, InvokeWithKeywords) {
  Ref f(GetFunction(module_, "kw"));
  ASSERT_NE(f.get(), nullptr);
  Ref one(OneInt(1));
  Ref c(Keywords({{"c", "s:z"}}));
  Ref r(InvokeKw(f, one, c));
  ASSERT_NE(r.get(), nullptr) << GetError();
  EXPECT_EQ(ResultText(r), "1-2-z");
  Ref bc(Keywords({{"b", "i:5"}, {"c", "s:w"}}));
  Ref r2(InvokeKw(f, one, bc));
  EXPECT_EQ(ResultText(r2), "1-5-w");
  // Nil parameters are no arguments: everything by keyword.
  Ref a(Keywords({{"a", "s:x"}}));
  Ref r3(InvokeKw(f, nullptr, a));
  EXPECT_EQ(ResultText(r3), "x-2-3");

  // No keywords: Invoke(parameters) exactly.
  Ref empty(host.create("Python3Dictionary", "Constructor()"));
  Ref r4(InvokeKw(f, one, nullptr));
  Ref r5(InvokeKw(f, one, empty));
  EXPECT_EQ(ResultText(r4), "1-2-3");
  EXPECT_EQ(ResultText(r5), "1-2-3");
  EXPECT_EQ(InvokeKw(f, nullptr, nullptr), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));

  // Python refuses a keyword the function does not take, and one given
  // twice; a key that is no str is refused the same way on every version.
  Ref unknown(Keywords({{"nope", "i:1"}}));
  EXPECT_EQ(InvokeKw(f, one, unknown), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
  EXPECT_EQ(InvokeKw(f, one, a), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
  Ref numbered(host.create("Python3Dictionary", "Constructor()"));
  Ref key(host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity",
                               int32_t(1)));
  host.call<void>(numbered, "SetValue(key as Python3EntityBase, value as Python3EntityBase)",
                  key.get(), key.get());
  EXPECT_EQ(InvokeKw(f, one, numbered), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));

  // Parameters that hold no tuple are refused, not handed to Python's call.
  Ref listFunction(GetFunction(module_, "alist"));
  Ref listResult(Invoke(listFunction, nullptr));
  void* list = host.call<void*>(listResult, "GetPtr() as Ptr");
  ASSERT_NE(list, nullptr);
  Ref notTuple(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", list));
  reinterpret_cast<void (*)(void*)>(PySym("Py_DecRef"))(list);
  EXPECT_EQ(InvokeKw(f, notTuple, c), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));

  // A function of Python's C code takes keywords too: int('ff', base=16).
  Ref builtins(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                                    S("builtins").get()));
  Ref toInt(GetFunction(builtins, "int"));
  Ref ff(Params(1));
  host.assign(ff.get(), "StringValue(index as Integer) as String", int32_t(0), S("ff").get());
  Ref base(Keywords({{"base", "i:16"}}));
  Ref r6(InvokeKw(toInt, ff, base));
  ASSERT_NE(r6.get(), nullptr) << GetError();
  EXPECT_EQ(ResultInt(r6), 255);
}

TEST_F(CodeHandleTest, CreateInstanceWithArguments) {
  Ref point(GetClass(module_, "Point"));
  ASSERT_NE(point.get(), nullptr);
  Ref xy(Params(2));
  host.assign(xy.get(), "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(3));
  host.assign(xy.get(), "Int32Value(index as Integer) as Int32", int32_t(1), int32_t(4));
  int classRefs = host.refCount(point.get());
  Ref p(CreateWith(point, xy));
  ASSERT_NE(p.get(), nullptr) << GetError();
  EXPECT_EQ(Int32(p, "x"), 3);
  EXPECT_EQ(Int32(p, "y"), 4);
  EXPECT_EQ(String(p, "label"), "p");
  EXPECT_EQ(Name(p), "Point");
  EXPECT_EQ(host.refCount(point.get()), classRefs + 1) << "the instance keeps its class";

  Ref seven(OneInt(7));
  Ref label(Keywords({{"label", "s:q"}}));
  Ref q(CreateWith(point, seven, label));
  ASSERT_NE(q.get(), nullptr) << GetError();
  EXPECT_EQ(Int32(q, "x"), 7);
  EXPECT_EQ(Int32(q, "y"), 0);
  EXPECT_EQ(String(q, "label"), "q");
  Ref y(Keywords({{"y", "i:9"}}));
  Ref byName(CreateWith(point, seven, y));
  ASSERT_NE(byName.get(), nullptr) << GetError();
  EXPECT_EQ(Int32(byName, "y"), 9);

  // Nil parameters and keywords: no arguments.
  Ref counter(GetClass(module_, "Counter"));
  Ref plain(CreateWith(counter, nullptr, nullptr));
  ASSERT_NE(plain.get(), nullptr) << GetError();
  EXPECT_EQ(Int32(plain, "n"), 0);
  EXPECT_EQ(CreateWith(point, nullptr), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
  Ref unknown(Keywords({{"z", "i:1"}}));
  EXPECT_EQ(CreateWith(point, seven, unknown), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));

  // A constructor that raises: nil, its exception pending, no handle made.
  Ref refuses(GetClass(module_, "Refuses"));
  size_t objects = host.liveObjects();
  EXPECT_EQ(CreateWith(refuses, seven), nullptr);
  EXPECT_EQ(host.liveObjects(), objects);
  EXPECT_TRUE(ErrorOccurred());
  EXPECT_EQ(GetError(), "refused 7");
  EXPECT_EQ(host.refCount(refuses.get()), 1);
}

TEST_F(CodeHandleTest, HandlesKeepTheirProducersAlive) {
  // module -> class -> instance -> bound method: drop all but the last.
  Ref m(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                             S(Name(module_)).get()));
  Ref c(GetClass(m, "Counter"));
  Ref i(CreateInstance(c));
  Ref bump(GetFunction(i, "bump"));
  ASSERT_NE(bump.get(), nullptr) << GetError();
  Obj rawModule = m.get(), rawClass = c.get(), rawInstance = i.get();
  m.reset();
  c.reset();
  i.reset();
  EXPECT_EQ(host.refCount(rawInstance), 1);
  EXPECT_EQ(host.refCount(rawClass), 1);
  EXPECT_EQ(host.refCount(rawModule), 1);
  EXPECT_EQ(Name(rawModule), Name(module_));
  Ref r(Invoke(bump, nullptr));
  ASSERT_NE(r.get(), nullptr) << GetError();
  EXPECT_EQ(ResultInt(r), 1);
  EXPECT_EQ(Int32(rawInstance, "n"), 1);
  size_t before = host.liveObjects();
  bump.reset();  // the whole chain goes with it
  EXPECT_EQ(host.liveObjects(), before - 4);

  // The same for a function taken from a module.
  Ref m2(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                              S(Name(module_)).get()));
  Ref f(GetFunction(m2, "nothing"));
  Obj rawModule2 = m2.get();
  m2.reset();
  EXPECT_EQ(host.refCount(rawModule2), 1);
  Ref owner(host.prop<Obj>(f, "OwnerModule"));
  EXPECT_EQ(owner.get(), rawModule2);
}

// Everything a module or instance handle offers, answered without Python.
void CodeHandleTest::ExpectNeutral(Obj h) {
  EXPECT_EQ(Int32(h, "n"), 0);
  EXPECT_EQ(Int64(h, "n"), 0);
  EXPECT_EQ(UInt64(h, "n"), 0u);
  EXPECT_EQ(Double(h, "n"), 0.0);
  EXPECT_EQ(Boolean(h, "label"), 0);
  EXPECT_EQ(String(h, "label"), "<nil>");
  EXPECT_EQ(Object(h, "label"), nullptr);
  EXPECT_FALSE(Has(h, "label"));
  EXPECT_EQ(Delete(h, "label"), -1);
  SetInt32(h, "n", 3);
  int refs = host.refCount(h);
  host.assign(h, "ObjectField(name as String) as Object", S("o").get(), h);
  EXPECT_EQ(host.refCount(h), refs) << "no capsule was made";
  EXPECT_EQ(GetFunction(h, "bump"), nullptr);
}

TEST_F(CodeHandleTest, HandlesWithoutObjectAnswerNeutrally) {
  Ref m(host.newInstance("Python3Module"));
  Ref i(host.newInstance("Python3Instance"));
  ExpectNeutral(m);
  ExpectNeutral(i);
  EXPECT_EQ(GetClass(m, "Counter"), nullptr);
  EXPECT_EQ(host.call<int8_t>(m, "Reload() as Boolean"), 0);
  Ref f(host.newInstance("Python3Function"));
  EXPECT_EQ(Invoke(f, nullptr), nullptr);
  EXPECT_EQ(host.prop<Obj>(f, "OwnerModule"), nullptr);
  Ref c(host.newInstance("Python3Class"));
  EXPECT_EQ(CreateInstance(c), nullptr);
  Ref p(OneInt(1));
  Ref d(Keywords({{"a", "i:1"}}));
  EXPECT_EQ(InvokeKw(f, p, d), nullptr);
  EXPECT_EQ(CreateWith(c, p), nullptr);
  EXPECT_EQ(CreateWith(c, p, d), nullptr);
  EXPECT_FALSE(ErrorOccurred());
}

// Handles that outlive their interpreter make no Python call at all.
TEST_F(CodeHandleTest, HandlesAfterFinalizeAnswerNeutrally) {
  Ref c(GetClass(module_, "Counter"));
  Ref i(CreateInstance(c));
  Ref bump(GetFunction(i, "bump"));
  Ref f(GetFunction(module_, "pair"));
  ASSERT_NE(bump.get(), nullptr);
  Ref p(Params(2));
  Ref d(Keywords({{"a", "i:1"}}));
  Ref empty(host.create("Python3Dictionary", "Constructor()"));
  host.callShared<void>("Coilwork", "Finalize()");

  ExpectNeutral(module_);
  ExpectNeutral(i);
  EXPECT_EQ(GetClass(module_, "Counter"), nullptr);
  EXPECT_EQ(host.call<int8_t>(module_, "Reload() as Boolean"), 0);
  EXPECT_EQ(Invoke(f, p), nullptr);
  EXPECT_EQ(Invoke(bump, nullptr), nullptr);
  EXPECT_EQ(CreateInstance(c), nullptr);
  EXPECT_EQ(InvokeKw(f, p, d), nullptr);
  EXPECT_EQ(InvokeKw(f, p, empty), nullptr);
  EXPECT_EQ(CreateWith(c, p), nullptr);
  EXPECT_EQ(CreateWith(c, p, d), nullptr);

  // Dropping them now is silent too.
  for (Ref* r : {&d, &empty, &p, &f, &bump, &i, &c, &module_}) r->reset();
  EnsureInterpreter();
  EXPECT_FALSE(ErrorOccurred());
  // Finalize also let go of what earlier tests registered: count from here.
  startObjects = host.liveObjects();
  startStrings = host.liveStrings();
}

}  // namespace
}  // namespace coiltest
