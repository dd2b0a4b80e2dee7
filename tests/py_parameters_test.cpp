// Python3Parameters: index checks, the sticky error code, typed slots in both
// directions, shared tuples and reference ownership.
#include <limits>

#include "values_helpers.h"

namespace coiltest {
namespace {

constexpr const char* kInt32 = "Int32Value(index as Integer) as Int32";
constexpr const char* kInt64 = "Int64Value(index as Integer) as Int64";
constexpr const char* kUInt64 = "UInt64Value(index as Integer) as UInt64";
constexpr const char* kDouble = "DoubleValue(index as Integer) as Double";
constexpr const char* kBoolean = "BooleanValue(index as Integer) as Boolean";
constexpr const char* kString = "StringValue(index as Integer) as String";
constexpr const char* kObject = "ObjectValue(index as Integer) as Object";
constexpr const char* kDict = "DictionaryValue(index as Integer) as Python3Dictionary";
constexpr const char* kTuple = "TupleValue(index as Integer) as Python3Parameters";
constexpr const char* kList = "ListValue(index as Integer) as Python3List";
constexpr const char* kBytes = "BytesValue(index as Integer) as Python3Bytes";

class ParametersTest : public ValuesTest {
 protected:
  int32_t LastError(Obj p) { return host.prop<int32_t>(p, "LastError"); }
  int32_t Count(Obj p) { return host.prop<int32_t>(p, "Count"); }
  void ClearErrorCode(Obj p) { host.call<void>(p, "ClearError()"); }
  bool Test(Obj p, const char* name, int32_t index) {
    return host.call<int8_t>(p, std::string(name) + "(index as Integer) as Boolean", index) != 0;
  }
  Obj NewList() { return host.create("Python3List", "Constructor()"); }
  Obj NewDict() { return host.create("Python3Dictionary", "Constructor()"); }
};

TEST_F(ParametersTest, BadIndexesSetCodeTwoUntilCleared) {
  Ref p(Params(3));
  EXPECT_EQ(Count(p), 3);
  EXPECT_EQ(LastError(p), 0);
  host.assign(p.get(), kInt32, int32_t(3), int32_t(5));
  EXPECT_EQ(LastError(p), 2);
  host.assign(p.get(), kInt32, int32_t(0), int32_t(5));  // a later success does not reset it
  EXPECT_EQ(LastError(p), 2);
  EXPECT_EQ(host.call<int32_t>(p, kInt32, int32_t(0)), 5);
  ClearErrorCode(p);
  EXPECT_EQ(LastError(p), 0);

  host.assign(p.get(), kString, int32_t(-1), S("x").get());
  EXPECT_EQ(LastError(p), 2);
  ClearErrorCode(p);
  // Getters and tests at a bad index read nothing and leave the code alone.
  host.assign(p.get(), kInt32, int32_t(7), int32_t(1));
  for (int32_t index : {-1, 3, std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(host.call<int32_t>(p, kInt32, index), 0);
    EXPECT_FALSE(Test(p, "IsInteger", index));
    EXPECT_EQ(host.call<Obj>(p, kList, index), nullptr);
  }
  EXPECT_EQ(LastError(p), 2);
  EXPECT_EQ(Pending(), "");
}

TEST_F(ParametersTest, TypedSlotsRoundTripAndArriveInPython) {
  Ref p(Params(8));
  host.assign(p.get(), kInt32, int32_t(0), int32_t(-7));
  host.assign(p.get(), kInt64, int32_t(1), int64_t(1) << 40);
  host.assign(p.get(), kUInt64, int32_t(2), std::numeric_limits<uint64_t>::max());
  host.assign(p.get(), kDouble, int32_t(3), 0.1);
  host.assign(p.get(), kBoolean, int32_t(4), int8_t(1));
  host.assign(p.get(), kString, int32_t(5), S("Ünïcødé").get());
  Ref bytes(host.create("Python3Bytes", "Constructor(value as String)", S("raw").get()));
  host.assign(p.get(), kBytes, int32_t(6), bytes.get());
  Ref list(NewList());
  host.assign(p.get(), kList, int32_t(7), list.get());
  EXPECT_EQ(LastError(p), 0);

  EXPECT_EQ(host.call<int32_t>(p, kInt32, int32_t(0)), -7);
  EXPECT_EQ(host.call<int64_t>(p, kInt64, int32_t(1)), int64_t(1) << 40);
  EXPECT_EQ(host.call<uint64_t>(p, kUInt64, int32_t(2)), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(host.call<double>(p, kDouble, int32_t(3)), 0.1);
  EXPECT_EQ(host.call<int8_t>(p, kBoolean, int32_t(4)), 1);
  EXPECT_EQ(SRef(host.call<Str>(p, kString, int32_t(5))).bytes(), "Ünïcødé");
  Ref b(host.call<Obj>(p, kBytes, int32_t(6)));
  EXPECT_EQ(HeldPtr(b), HeldPtr(bytes));
  Ref l(host.call<Obj>(p, kList, int32_t(7)));
  EXPECT_EQ(HeldPtr(l), HeldPtr(list));

  EXPECT_EQ(Kinds(p), "int,int,int,float,bool,str,bytes,list");
  Put("t", p);
  EXPECT_TRUE(Check("t[:6] == (-7, 2**40, 2**64 - 1, 0.1, True, '\\u00dcn\\u00efc\\u00f8d\\u00e9')"));
  EXPECT_TRUE(Check("t[6] == b'raw' and t[7] == []"));
  EXPECT_EQ(Pending(), "");
}

TEST_F(ParametersTest, AnInt64AndAStringArriveAsIntAndStr) {
  Ref p(Params(2));
  host.assign(p.get(), kInt64, int32_t(0), int64_t(42));
  host.assign(p.get(), kString, int32_t(1), S("forty-two").get());
  EXPECT_EQ(Kinds(p), "int,str");
}

TEST_F(ParametersTest, TestsFollowTheConversionTable) {
  Ref p(Params(4));
  host.assign(p.get(), kList, int32_t(0), Ref(NewList()).get());
  EXPECT_TRUE(Test(p, "IsList", 0));
  EXPECT_EQ(host.call<Obj>(p, kTuple, int32_t(0)), nullptr);
  EXPECT_EQ(host.call<Obj>(p, kDict, int32_t(0)), nullptr);

  host.assign(p.get(), kBoolean, int32_t(1), int8_t(1));
  EXPECT_TRUE(Test(p, "IsInteger", 1));
  EXPECT_TRUE(Test(p, "IsBoolean", 1));
  EXPECT_EQ(host.call<int32_t>(p, kInt32, int32_t(1)), 1);

  host.assign(p.get(), kInt32, int32_t(2), int32_t(1));
  EXPECT_FALSE(Test(p, "IsBoolean", 2));
  EXPECT_FALSE(Test(p, "IsDouble", 2));
  EXPECT_EQ(host.call<double>(p, kDouble, int32_t(2)), 0.0);
  EXPECT_EQ(host.call<int8_t>(p, kBoolean, int32_t(2)), 0);

  host.assign(p.get(), kInt64, int32_t(3), int64_t(1) << 31);
  EXPECT_TRUE(Test(p, "IsInteger", 3));
  EXPECT_FALSE(Test(p, "FitsInInt32", 3));
  EXPECT_EQ(host.call<int32_t>(p, kInt32, int32_t(3)), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));
  EXPECT_EQ(LastError(p), 0);
}

TEST_F(ParametersTest, NilHoldersHaveTheirOwnCodes) {
  Ref p(Params(1));
  for (const char* decl : {kDict, kTuple, kList}) {
    host.assign(p.get(), decl, int32_t(5), Obj(nullptr));
    EXPECT_EQ(LastError(p), 3) << decl << ": nil is checked before the index";
    ClearErrorCode(p);
  }
  host.assign(p.get(), kBytes, int32_t(0), Obj(nullptr));
  EXPECT_EQ(LastError(p), 0);
  host.assign(p.get(), kBytes, int32_t(1), Obj(nullptr));
  EXPECT_EQ(LastError(p), 2);
  ClearErrorCode(p);

  // Python refuses a capsule for nil: code 1, its error pending.
  host.assign(p.get(), kObject, int32_t(0), Obj(nullptr));
  EXPECT_EQ(LastError(p), 1);
  EXPECT_TRUE(PendingIs("ValueError"));
  ClearErrorCode(p);

  // A holder without an object, and text the host cannot give as UTF-8,
  // change nothing.
  host.assign(p.get(), kInt32, int32_t(0), int32_t(9));
  Ref empty(host.create("Python3Entity", "Constructor()"));
  Ref emptyList(host.newInstance("Python3List"));
  host.assign(p.get(), kList, int32_t(0), emptyList.get());
  host.assign(p.get(), kBytes, int32_t(0), empty.get());
  SRef raw(host.newString("\xff", emuhost::kUnknown));
  host.assign(p.get(), kString, int32_t(0), raw.get());
  EXPECT_EQ(host.call<int32_t>(p, kInt32, int32_t(0)), 9);
  EXPECT_EQ(LastError(p), 0);
  EXPECT_EQ(Pending(), "");
}

TEST_F(ParametersTest, ObjectSlotsHoldTheHostObjectUntilReplaced) {
  Ref x(host.newMemoryBlock("abc"));
  const int base = host.refCount(x);
  Ref p(Params(1));
  host.assign(p.get(), kObject, int32_t(0), x.get());
  EXPECT_EQ(host.refCount(x), base + 1);
  EXPECT_TRUE(Test(p, "IsObject", 0));
  Ref back(host.call<Obj>(p, kObject, int32_t(0)));
  EXPECT_EQ(back.get(), x.get());
  back.reset();
  host.assign(p.get(), kObject, int32_t(0), x.get());  // the old capsule is released
  EXPECT_EQ(host.refCount(x), base + 1);
  host.assign(p.get(), kInt32, int32_t(0), int32_t(0));
  EXPECT_EQ(host.refCount(x), base);
}

TEST_F(ParametersTest, SharedTuplesRefuseAssignment) {
  Ref outer(Entity("((1, 2), 3)"));
  Ref params(host.prop<Obj>(outer, "TupleValue"));
  Ref inner(host.call<Obj>(params, kTuple, int32_t(0)));
  ASSERT_NE(inner.get(), nullptr);
  EXPECT_EQ(LastError(inner), 0);
  EXPECT_EQ(Count(inner), 2);
  host.assign(inner.get(), kInt32, int32_t(0), int32_t(99));
  EXPECT_TRUE(PendingIs("SystemError"));
  EXPECT_EQ(LastError(inner), 0);
  EXPECT_EQ(host.call<int32_t>(inner, kInt32, int32_t(0)), 1);

  // The refused capsule still gives its host reference back.
  Ref x(host.newObjectArray());
  const int base = host.refCount(x);
  host.assign(inner.get(), kObject, int32_t(1), x.get());
  EXPECT_TRUE(PendingIs("SystemError"));
  EXPECT_EQ(host.refCount(x), base);
}

// From 3.14 on a tuple caches its hash. One that Python hashed and let go
// again, then filled anew in place, must hash as its new items: a stale
// hash would file it under its old items in every dict and set.
TEST_F(ParametersTest, ATupleFilledAnewHashesAsItsNewItems) {
  Ref p(Params(2));
  host.assign(p.get(), kInt32, int32_t(0), int32_t(1));
  host.assign(p.get(), kInt32, int32_t(1), int32_t(2));
  Put("t", p);
  Exec("h = hash(t)\ndel t");
  host.assign(p.get(), kInt32, int32_t(0), int32_t(5));  // ours alone again: in place
  host.assign(p.get(), kInt32, int32_t(1), int32_t(6));
  EXPECT_EQ(LastError(p), 0);
  EXPECT_EQ(Pending(), "");
  Put("t", p);
  EXPECT_TRUE(Check("t == (5, 6) and hash(t) == hash((5, 6)) and {(5, 6): 1}.get(t) == 1"));
}

TEST_F(ParametersTest, UnsetSlotsReadAsNothingAndAreSafeInPython) {
  Ref p(Params(3));
  host.assign(p.get(), kInt32, int32_t(1), int32_t(4));
  for (int32_t i : {0, 2}) {
    EXPECT_EQ(host.call<int32_t>(p, kInt32, i), 0);
    for (const char* t : {"IsInteger", "IsString", "IsDouble", "IsBoolean", "IsObject", "IsList",
                          "IsTuple", "IsBytes", "IsDictionary", "FitsInInt32"})
      EXPECT_FALSE(Test(p, t, i)) << t;
    EXPECT_EQ(host.call<Str>(p, kString, i), nullptr);
  }
  // A call with slots left unset must not hand Python empty slots.
  EXPECT_EQ(Kinds(p), "NoneType,int,NoneType");
}

TEST_F(ParametersTest, WithoutATupleNothingHappens) {
  Ref negative(Params(-1));
  Ref nullPtr(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", (void*)nullptr));
  for (Obj p : {negative.get(), nullPtr.get()}) {
    EXPECT_EQ(HeldPtr(p), nullptr);
    EXPECT_EQ(Count(p), 0);
    host.assign(p, kInt32, int32_t(0), int32_t(1));
    host.assign(p, kDict, int32_t(0), Obj(nullptr));
    EXPECT_EQ(LastError(p), 0);
    EXPECT_EQ(host.call<int32_t>(p, kInt32, int32_t(0)), 0);
    EXPECT_FALSE(Test(p, "IsInteger", 0));
  }
  EXPECT_EQ(Pending(), "");
  Ref zero(Params(0));
  EXPECT_EQ(Count(zero), 0);
  EXPECT_EQ(Kinds(zero), "");
}

TEST_F(ParametersTest, PointerConstructorSharesTheTuple) {
  Ref r(Eval("tuple([1, 'two'])"));
  void* raw = host.call<void*>(r, "GetPtr() as Ptr");
  const intptr_t before = RefCountOf(raw);
  Ref p(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", raw));
  EXPECT_EQ(HeldPtr(p), raw);
  EXPECT_EQ(RefCountOf(raw), before + 1);
  EXPECT_EQ(LastError(p), 0);
  EXPECT_EQ(SRef(host.call<Str>(p, kString, int32_t(1))).bytes(), "two");
  p.reset();
  EXPECT_EQ(RefCountOf(raw), before);
  DecRef(raw);  // the reference GetPtr handed out
}

// Any Python object can be wrapped, a capsule of a host object included. The
// reference GetPtr hands out is the caller's: both holders gone (the result
// first, as a host program drops them), the capsule and its host object live
// on until the caller gives that reference back, and not a moment longer.
TEST_F(ParametersTest, PointerConstructorOverACapsuleGivesItsHostObjectBack) {
  for (const char* cls : {"ObjectArray", "Python3Module"}) {
    SCOPED_TRACE(cls);
    Ref payload(std::string(cls) == "ObjectArray" ? host.newObjectArray() : host.newInstance(cls));
    const int base = host.refCount(payload);
    Ref r(host.create("Python3Result", "Constructor(value as Object)", payload.get()));
    void* capsule = host.call<void*>(r, "GetPtr() as Ptr");
    ASSERT_NE(capsule, nullptr);
    Ref p(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", capsule));
    EXPECT_EQ(RefCountOf(capsule), 3);  // the result, the parameters, the caller
    r.reset();
    p.reset();
    ClearError();
    EXPECT_EQ(RefCountOf(capsule), 1);
    EXPECT_EQ(host.refCount(payload), base + 1);  // still owed by the caller
    DecRef(capsule);
    EXPECT_EQ(host.refCount(payload), base);
  }
}

TEST_F(ParametersTest, SlotsOwnOneReferencePerItem) {
  Ref list(Entity("[]"));
  Ref shared(host.prop<Obj>(list, "ListValue"));
  const intptr_t base = Refs(list);
  {
    Ref p(Params(2));
    for (int i = 0; i < 5; ++i) host.assign(p.get(), kList, int32_t(0), shared.get());
    EXPECT_EQ(Refs(list), base + 1);
    host.assign(p.get(), kList, int32_t(1), shared.get());
    EXPECT_EQ(Refs(list), base + 2);
    Ref a(host.call<Obj>(p, kList, int32_t(0)));
    EXPECT_EQ(Refs(list), base + 3);
  }
  EXPECT_EQ(Refs(list), base);
}

// Unset slots all hold None. Its count moves by one per slot while it is
// ordinary; an immortal None (3.12 on) keeps its count exactly, however many
// slots take it and give it back.
TEST_F(ParametersTest, UnsetSlotsCountNoneAsPythonDoes) {
  Ref r(Eval("None"));
  void* none = host.call<void*>(r, "GetPtr() as Ptr");
  const intptr_t before = RefCountOf(none);
  const bool immortal = PythonMinor() >= 12;
  {
    Ref p(Params(1000));
    EXPECT_EQ(RefCountOf(none), immortal ? before : before + 1000);
    host.assign(p.get(), kInt32, int32_t(999), int32_t(5));
    EXPECT_EQ(RefCountOf(none), immortal ? before : before + 999);
  }
  EXPECT_EQ(RefCountOf(none), before);
  DecRef(none);  // the reference GetPtr handed out
}

// A holder's own small tuple is kept for the next holder of its size: its
// items go at once, a tuple Python code took hold of meanwhile (the gc module
// reaches every tracked object) is neither reused nor changed, and a reused
// tuple is tracked by the collector again after a collection stopped
// tracking it (it held only None then), or cycles through it would leak.
TEST_F(ParametersTest, KeptTuplesAreReusedOnlyWhileNoOneElseHoldsThem) {
  const bool keeps = PythonMinor() >= 9 && !PySym("_Py_GetRefTotal");
  Ref list(Entity("[]"));
  Ref shared(host.prop<Obj>(list, "ListValue"));
  const intptr_t base = Refs(list);
  Exec("import gc\ngc.disable()");
  void* first;
  {
    Ref p(Params(3));
    host.assign(p.get(), kList, int32_t(0), shared.get());
    first = HeldPtr(p);
  }
  EXPECT_EQ(Refs(list), base);
  Exec("grabbed = [t for t in gc.get_objects() if type(t) is tuple and t == (None,) * 3]");
  const std::string id = std::to_string(reinterpret_cast<intptr_t>(first));
  if (keeps) EXPECT_TRUE(Check("any(id(t) == " + id + " for t in grabbed)"));
  {
    Ref p(Params(3));
    if (keeps) EXPECT_NE(HeldPtr(p), first);
    host.assign(p.get(), kInt32, int32_t(0), int32_t(7));
  }
  EXPECT_TRUE(Check("all(t == (None,) * 3 for t in grabbed)"));
  Exec("del grabbed\ngc.enable()\ngc.collect()");
  Ref p(Params(3));
  host.assign(p.get(), kList, int32_t(0), shared.get());
  Put("t", p.get());
  EXPECT_TRUE(Check("gc.is_tracked(t) or not hasattr(gc, 'is_tracked')"));
  EXPECT_EQ(Kinds(p), "list,NoneType,NoneType");
}

}  // namespace
}  // namespace coiltest
