// Function, class and instance handles: calls with argument tuples, results
// and raised errors, instances and their bound methods, the chains of host
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
  host.callShared<void>("Coilwork", "Finalize()");

  ExpectNeutral(module_);
  ExpectNeutral(i);
  EXPECT_EQ(GetClass(module_, "Counter"), nullptr);
  EXPECT_EQ(host.call<int8_t>(module_, "Reload() as Boolean"), 0);
  EXPECT_EQ(Invoke(f, p), nullptr);
  EXPECT_EQ(Invoke(bump, nullptr), nullptr);
  EXPECT_EQ(CreateInstance(c), nullptr);

  // Dropping them now is silent too.
  for (Ref* r : {&p, &f, &bump, &i, &c, &module_}) r->reset();
  EnsureInterpreter();
  EXPECT_FALSE(ErrorOccurred());
  // Finalize also let go of what earlier tests registered: count from here.
  startObjects = host.liveObjects();
  startStrings = host.liveStrings();
}

}  // namespace
}  // namespace coiltest
