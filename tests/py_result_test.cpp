// Python3Result: constructors, readers that let Python's conversion decide,
// readers and tests that follow the conversion table, GetPtr and FromBytes.
#include <limits>

#include "values_helpers.h"

namespace coiltest {
namespace {

class ResultTest : public ValuesTest {
 protected:
  template <class T>
  Obj Make(const char* decl, T value) {
    return host.create("Python3Result", decl, value);
  }
  Obj MakeNone() { return host.create("Python3Result", "Constructor()"); }

  int32_t Int32(Obj r) { return host.call<int32_t>(r, "Int32Value() as Int32"); }
  int64_t Int64(Obj r) { return host.call<int64_t>(r, "Int64Value() as Int64"); }
  uint64_t UInt64(Obj r) { return host.call<uint64_t>(r, "UInt64Value() as UInt64"); }
  double Double(Obj r) { return host.call<double>(r, "DoubleValue() as Double"); }
  bool Boolean(Obj r) { return host.call<int8_t>(r, "BooleanValue() as Boolean") != 0; }
  std::string String(Obj r) { return SRef(host.call<Str>(r, "StringValue() as String")).bytes(); }
  bool Is(Obj r, const std::string& test) {
    return host.call<int8_t>(r, test + "() as Boolean") != 0;
  }
  std::string Passing(Obj r) {
    std::string out;
    for (const char* t : {"IsString", "IsInteger", "FitsInInt32", "IsDouble", "IsBoolean",
                          "IsObject", "IsTuple", "IsBytes", "IsDictionary"})
      if (Is(r, t)) out += (out.empty() ? "" : ",") + std::string(t);
    return out;
  }
  void* Ptr(Obj r) {
    const REALclassDefinition* def = host.classDefinition("Python3Result");
    return *reinterpret_cast<void**>(reinterpret_cast<char*>(r) + def->forSystemUse);
  }
};

TEST_F(ResultTest, NoneIsFalseAndNoNumber) {
  Ref r(MakeNone());
  EXPECT_TRUE(Check("True"));  // the helper works before we rely on it
  EXPECT_EQ(Passing(r), "");
  EXPECT_FALSE(Boolean(r));
  EXPECT_EQ(Pending(), "");
  EXPECT_EQ(Int32(r), -1);
  EXPECT_TRUE(PendingIs("TypeError"));
  EXPECT_EQ(Double(r), -1.0);
  EXPECT_TRUE(PendingIs("TypeError"));
  Put("n", r);
  EXPECT_TRUE(Check("n is None"));
}

TEST_F(ResultTest, FloatsConvertToIntegersAsThePythonVersionDoes) {
  Ref r(Make("Constructor(value as Double)", 2.75));
  EXPECT_EQ(Passing(r), "IsDouble");
  EXPECT_EQ(Double(r), 2.75);
  if (PythonMinor() <= 9) {
    // Older versions truncate a float (3.8 and 3.9 also warn).
    EXPECT_EQ(Int32(r), 2);
    EXPECT_EQ(Int64(r), 2);
    ClearError();
  } else {
    EXPECT_EQ(Int32(r), -1);
    EXPECT_TRUE(PendingIs("TypeError"));
    EXPECT_EQ(Int64(r), -1);
    EXPECT_TRUE(PendingIs("TypeError"));
  }
  // The unsigned conversion never takes a float.
  EXPECT_EQ(UInt64(r), std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(PendingIs("TypeError"));
}

TEST_F(ResultTest, IntegersConvertToDoublesButAreNoDoubles) {
  Ref r(Make("Constructor(value as Int32)", int32_t(7)));
  EXPECT_EQ(Passing(r), "IsInteger,FitsInInt32");
  EXPECT_EQ(Double(r), 7.0);
  EXPECT_TRUE(Boolean(r));
  EXPECT_EQ(Int32(r), 7);
  EXPECT_EQ(Pending(), "");
}

TEST_F(ResultTest, IntegerRangesFollowTheTable) {
  Ref big(Make("Constructor(value as Int64)", int64_t(1) << 33));
  EXPECT_EQ(Passing(big), "IsInteger");
  EXPECT_EQ(Int64(big), int64_t(1) << 33);
  EXPECT_EQ(Int32(big), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));

  const uint64_t max = std::numeric_limits<uint64_t>::max();
  Ref top(Make("Constructor(value as UInt64)", max));
  EXPECT_EQ(UInt64(top), max);
  EXPECT_EQ(Int64(top), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));

  Ref negative(Make("Constructor(value as Int32)", int32_t(-5)));
  EXPECT_EQ(UInt64(negative), max);
  EXPECT_TRUE(PendingIs("OverflowError"));
  EXPECT_EQ(Int32(negative), -5);
  EXPECT_EQ(Pending(), "");

  // Around the sizes where Python's ints take a second digit (2^15, 2^30) and
  // the 32-bit limits, both signs: small ones are read in place, the others
  // through Python, and both must agree.
  for (int64_t v : {int64_t(0), int64_t(1), int64_t(32767), int64_t(32768), int64_t(65535),
                    (int64_t(1) << 30) - 1, int64_t(1) << 30, (int64_t(1) << 30) + 1,
                    int64_t(INT32_MAX), int64_t(INT32_MAX) + 1}) {
    for (int64_t signed_v : {v, -v}) {
      SCOPED_TRACE(signed_v);
      Ref r(Make("Constructor(value as Int64)", signed_v));
      EXPECT_EQ(Int64(r), signed_v);
      bool fits = signed_v >= INT32_MIN && signed_v <= INT32_MAX;
      EXPECT_EQ(Is(r, "FitsInInt32"), fits);
      EXPECT_EQ(Int32(r), fits ? int32_t(signed_v) : -1);
      if (fits) {
        EXPECT_EQ(Pending(), "");
      } else {
        EXPECT_TRUE(PendingIs("OverflowError"));
      }
    }
  }
}

TEST_F(ResultTest, TruthOfAnyObject) {
  Ref abc(Make("Constructor(value as String)", S("abc").get()));
  EXPECT_EQ(Passing(abc), "IsString");
  EXPECT_TRUE(Boolean(abc));
  EXPECT_EQ(String(abc), "abc");
  Ref empty(Make("Constructor(value as String)", S("").get()));
  EXPECT_FALSE(Boolean(empty));
  EXPECT_EQ(String(empty), "");
  Ref t(Make("Constructor(value as Boolean)", int8_t(2)));
  EXPECT_EQ(Passing(t), "IsInteger,FitsInInt32,IsBoolean");
  EXPECT_TRUE(Boolean(t));
  Ref f(Make("Constructor(value as Boolean)", int8_t(0)));
  EXPECT_FALSE(Boolean(f));

  // A failing truth test is false, with its error pending.
  Exec("class Bad:\n    def __bool__(self): raise ValueError('no truth')\n");
  Ref bad(Eval("Bad()"));
  EXPECT_FALSE(Boolean(bad));
  EXPECT_EQ(Pending(), "no truth");
  EXPECT_EQ(Pending(), "");
}

TEST_F(ResultTest, AListPassesNoTestAndIsReadAsNothing) {
  Ref r(Eval("[1, 2]"));
  EXPECT_EQ(Passing(r), "");
  EXPECT_EQ(host.call<Str>(r, "StringValue() as String"), nullptr);
  for (const char* reader : {"BytesValue() as Python3Bytes", "ObjectValue() as Object",
                             "TupleValue() as Python3Parameters",
                             "DictionaryValue() as Python3Dictionary"})
    EXPECT_EQ(host.call<Obj>(r, reader), nullptr) << reader;
  EXPECT_EQ(Pending(), "");
  EXPECT_TRUE(Boolean(r));
  EXPECT_EQ(Int32(r), -1);
  EXPECT_TRUE(PendingIs("TypeError"));
}

TEST_F(ResultTest, ContainersComeBackAsSharingHolders) {
  Ref t(Eval("(1, 'a')"));
  EXPECT_EQ(Passing(t), "IsTuple");
  Ref p(host.call<Obj>(t, "TupleValue() as Python3Parameters"));
  EXPECT_EQ(HeldPtr(p), Ptr(t));
  EXPECT_EQ(host.prop<int32_t>(p, "LastError"), 0);
  EXPECT_EQ(host.prop<int32_t>(p, "Count"), 2);

  Ref d(Eval("{'k': 1}"));
  EXPECT_EQ(Passing(d), "IsDictionary");
  Ref dict(host.call<Obj>(d, "DictionaryValue() as Python3Dictionary"));
  EXPECT_EQ(HeldPtr(dict), Ptr(d));
  EXPECT_EQ(host.prop<int32_t>(dict, "Count"), 1);
}

TEST_F(ResultTest, ObjectsTravelAsCapsules) {
  Ref x(host.newObjectArray());
  const int base = host.refCount(x);
  {
    Ref r(Make("Constructor(value as Object)", x.get()));
    EXPECT_EQ(Passing(r), "IsObject");
    EXPECT_EQ(host.refCount(x), base + 1);
    Ref back(host.call<Obj>(r, "ObjectValue() as Object"));
    EXPECT_EQ(back.get(), x.get());
  }
  EXPECT_EQ(host.refCount(x), base);

  // Nil: Python makes no capsule; nothing is stored and the result is empty.
  Ref nil(Make("Constructor(value as Object)", Obj(nullptr)));
  EXPECT_TRUE(PendingIs("ValueError"));
  EXPECT_EQ(Ptr(nil), nullptr);
  EXPECT_EQ(Int32(nil), 0);
  EXPECT_FALSE(Boolean(nil));
  EXPECT_EQ(UInt64(nil), 0u);
  EXPECT_EQ(Double(nil), 0.0);
  EXPECT_EQ(Passing(nil), "");
  EXPECT_EQ(host.call<void*>(nil, "GetPtr() as Ptr"), nullptr);
  EXPECT_EQ(Pending(), "") << "an empty result calls no Python";
}

TEST_F(ResultTest, StringsTheHostCannotConvertStoreNothing) {
  SRef raw(host.newString("\xc3", emuhost::kUnknown));
  Ref r(Make("Constructor(value as String)", raw.get()));
  EXPECT_EQ(Ptr(r), nullptr);
  EXPECT_EQ(Pending(), "");
  Ref nil(Make("Constructor(value as String)", Str(nullptr)));
  EXPECT_EQ(String(nil), "");
  EXPECT_TRUE(Is(nil, "IsString"));
}

TEST_F(ResultTest, GetPtrHandsOutOneReferencePerCall) {
  Ref r(Eval("object()"));
  void* o = Ptr(r);
  const intptr_t base = RefCountOf(o);
  void* a = host.call<void*>(r, "GetPtr() as Ptr");
  void* b = host.call<void*>(r, "GetPtr() as Ptr");
  EXPECT_EQ(a, o);
  EXPECT_EQ(b, o);
  EXPECT_EQ(RefCountOf(o), base + 2);
  DecRef(a);
  DecRef(b);
  EXPECT_EQ(RefCountOf(o), base);
}

TEST_F(ResultTest, FromBytesSharesTheBytesObject) {
  Ref bytes(host.create("Python3Bytes", "Constructor(value as String)", S("xyz").get()));
  const intptr_t base = Refs(bytes);
  Ref r(host.callShared<Obj>("Python3Result", "FromBytes(bytes as Python3Bytes) as Python3Result",
                             bytes.get()));
  ASSERT_NE(r.get(), nullptr);
  EXPECT_EQ(Passing(r), "IsBytes");
  EXPECT_EQ(Ptr(r), HeldPtr(bytes));
  EXPECT_EQ(Refs(bytes), base + 1);
  Ref again(host.call<Obj>(r, "BytesValue() as Python3Bytes"));
  EXPECT_EQ(HeldPtr(again), HeldPtr(bytes));
  again.reset();
  r.reset();
  EXPECT_EQ(Refs(bytes), base);

  EXPECT_EQ(host.callShared<Obj>("Python3Result", "FromBytes(bytes as Python3Bytes) as Python3Result",
                                 Obj(nullptr)),
            nullptr);
  Ref empty(host.newInstance("Python3Bytes"));
  EXPECT_EQ(host.callShared<Obj>("Python3Result", "FromBytes(bytes as Python3Bytes) as Python3Result",
                                 empty.get()),
            nullptr);
}

}  // namespace
}  // namespace coiltest
