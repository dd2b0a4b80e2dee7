// Python3Entity: the builders, the typed readers and the type tests, with the
// conversion table's pitfalls, the host-object capsule and reference counts.
#include <unistd.h>

#include <limits>

#include "values_helpers.h"

namespace coiltest {
namespace {

class EntityTest : public ValuesTest {
 protected:
  template <class T>
  Obj From(const char* decl, T value) {
    return host.callShared<Obj>("Python3Entity", decl, value);
  }
  Obj FromInt32(int32_t v) { return From("FromInt32(value as Int32) as Python3Entity", v); }
  Obj FromInt64(int64_t v) { return From("FromInt64(value as Int64) as Python3Entity", v); }
  Obj FromUInt64(uint64_t v) { return From("FromUInt64(value as UInt64) as Python3Entity", v); }
  Obj FromDouble(double v) { return From("FromDouble(value as Double) as Python3Entity", v); }
  Obj FromBoolean(int8_t v) { return From("FromBoolean(value as Boolean) as Python3Entity", v); }
  Obj FromString(Str v) { return From("FromString(value as String) as Python3Entity", v); }
  Obj FromObject(Obj v) { return From("FromObject(value as Object) as Python3Entity", v); }

  bool Is(Obj e, const char* test) { return host.prop<int8_t>(e, test) != 0; }
  int32_t Int32(Obj e) { return host.prop<int32_t>(e, "Int32Value"); }
  int64_t Int64(Obj e) { return host.prop<int64_t>(e, "Int64Value"); }
  uint64_t UInt64(Obj e) { return host.prop<uint64_t>(e, "UInt64Value"); }
  double Double(Obj e) { return host.prop<double>(e, "DoubleValue"); }
  bool Boolean(Obj e) { return host.prop<int8_t>(e, "BooleanValue") != 0; }
  std::string String(Obj e) { return SRef(host.prop<Str>(e, "StringValue")).bytes(); }

  // Which tests pass, comma-separated, for compact expectations.
  std::string Passing(Obj e) {
    std::string out;
    for (const char* name : {"IsInteger", "IsString", "IsDouble", "IsBytes", "IsTuple",
                             "IsBoolean", "IsList", "IsObject", "IsDictionary", "FitsInInt32"})
      if (Is(e, name)) out += (out.empty() ? "" : ",") + std::string(name);
    return out;
  }
};

TEST_F(EntityTest, TrueIsAnIntButOneIsNotABool) {
  Ref t(FromBoolean(1));
  EXPECT_EQ(Passing(t), "IsInteger,IsBoolean,FitsInInt32");
  EXPECT_EQ(Int32(t), 1);
  EXPECT_TRUE(Boolean(t));
  Ref f(FromBoolean(int8_t(-128)));  // any non-zero byte is true
  EXPECT_TRUE(Boolean(f));
  Put("f", f);
  EXPECT_TRUE(Check("f is True"));

  Ref one(FromInt32(1));
  EXPECT_EQ(Passing(one), "IsInteger,FitsInInt32");
  EXPECT_FALSE(Boolean(one));
  EXPECT_EQ(Pending(), "");
}

TEST_F(EntityTest, IntsAndFloatsDoNotCross) {
  Ref five(FromInt32(5));
  EXPECT_FALSE(Is(five, "IsDouble"));
  EXPECT_EQ(Double(five), 0.0);
  Ref d(FromDouble(2.5));
  EXPECT_EQ(Passing(d), "IsDouble");
  EXPECT_EQ(Int32(d), 0);
  EXPECT_EQ(Int64(d), 0);
  EXPECT_EQ(Double(d), 2.5);
  EXPECT_EQ(Pending(), "");
}

TEST_F(EntityTest, Int32FollowsA32BitLong) {
  Ref big(FromInt64(2147483648LL));
  EXPECT_TRUE(Is(big, "IsInteger"));
  EXPECT_FALSE(Is(big, "FitsInInt32"));
  EXPECT_FALSE(ErrorOccurred()) << "the range test leaves nothing pending";
  EXPECT_EQ(Int32(big), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));
  EXPECT_EQ(Int64(big), 2147483648LL);

  Ref low(FromInt64(-2147483648LL));
  EXPECT_TRUE(Is(low, "FitsInInt32"));
  EXPECT_EQ(Int32(low), std::numeric_limits<int32_t>::min());
  Ref below(FromInt64(-2147483649LL));
  EXPECT_FALSE(Is(below, "FitsInInt32"));
  EXPECT_EQ(Int32(below), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));

  // Beyond 64 bits: every integer reader overflows.
  Ref huge(Entity("2**70"));
  EXPECT_FALSE(Is(huge, "FitsInInt32"));
  EXPECT_EQ(Int64(huge), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));
  EXPECT_EQ(UInt64(huge), std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(PendingIs("OverflowError"));
  EXPECT_EQ(Pending(), "");
}

TEST_F(EntityTest, LargestUInt64RoundTripsButIsNoInt64) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  Ref e(FromUInt64(max));
  EXPECT_EQ(UInt64(e), max);
  Put("u", e);
  EXPECT_TRUE(Check("u == 2**64 - 1"));
  EXPECT_EQ(Int64(e), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));

  Ref negative(FromInt32(-1));
  EXPECT_EQ(UInt64(negative), max);
  EXPECT_TRUE(PendingIs("OverflowError"));

  Ref min(FromInt64(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(Int64(min), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Pending(), "");
}

TEST_F(EntityTest, StringsRoundTripByteForByte) {
  const std::string samples[] = {"Grüße, 日本語 🎉", "", std::string("a\0b", 3), "plain"};
  for (const std::string& text : samples) {
    Ref e(FromString(S(text).get()));
    ASSERT_NE(e.get(), nullptr);
    EXPECT_EQ(Passing(e), "IsString");
    EXPECT_EQ(String(e), text);
  }
  Ref empty(FromString(S("").get()));
  Put("empty", empty);
  EXPECT_TRUE(Check("type(empty) is str and empty == ''"));
  Ref nil(FromString(Str(nullptr)));  // nil is the host's empty string
  EXPECT_EQ(String(nil), "");

  // Text in another host encoding reaches Python as the same characters.
  SRef latin(host.newString("caf\xe9", emuhost::kLatin1));
  Ref cafe(FromString(latin.get()));
  Put("cafe", cafe);
  EXPECT_TRUE(Check("cafe == 'caf\\u00e9'"));
  EXPECT_EQ(String(cafe), "caf\xc3\xa9");

  // Bytes the host cannot give as UTF-8 make no entity.
  SRef raw(host.newString("\xff\xfe", emuhost::kUnknown));
  EXPECT_EQ(FromString(raw.get()), nullptr);
  EXPECT_EQ(Pending(), "");
}

TEST_F(EntityTest, SubclassesPassOnlyTheFlagAndSubtypeTests) {
  Exec(
      "class S(str): pass\n"
      "class F(float): pass\n"
      "class I(int): pass\n"
      "class D(dict): pass\n"
      "class L(list): pass\n"
      "class T(tuple): pass\n"
      "class B(bytes): pass\n");
  Ref s(Entity("S('sub')"));
  EXPECT_EQ(Passing(s), "IsString");
  EXPECT_EQ(String(s), "sub");
  Ref f(Entity("F(1.5)"));
  EXPECT_EQ(Passing(f), "IsDouble");
  EXPECT_EQ(Double(f), 1.5);
  Ref i(Entity("I(7)"));
  EXPECT_EQ(Passing(i), "IsInteger,FitsInInt32");
  EXPECT_EQ(Int32(i), 7);

  Ref d(Entity("D(a=1)")), l(Entity("L([1])")), t(Entity("T((1,))")), b(Entity("B(b'x')"));
  for (Obj o : {d.get(), l.get(), t.get(), b.get()}) EXPECT_EQ(Passing(o), "");
  EXPECT_EQ(host.prop<Obj>(d, "DictionaryValue"), nullptr);
  EXPECT_EQ(host.prop<Obj>(l, "ListValue"), nullptr);
  EXPECT_EQ(host.prop<Obj>(t, "TupleValue"), nullptr);
  EXPECT_EQ(host.prop<Obj>(b, "BytesValue"), nullptr);

  // The exact types pass, and each getter hands out a holder of its class.
  struct {
    const char* expr;
    const char* test;
    const char* getter;
    const char* cls;
  } exact[] = {{"{1: 2}", "IsDictionary", "DictionaryValue", "Python3Dictionary"},
               {"[1]", "IsList", "ListValue", "Python3List"},
               {"(1,)", "IsTuple", "TupleValue", "Python3Parameters"},
               {"b'x'", "IsBytes", "BytesValue", "Python3Bytes"}};
  for (auto& row : exact) {
    Ref e(Entity(row.expr));
    EXPECT_EQ(Passing(e), row.test) << row.expr;
    Ref holder(host.prop<Obj>(e, row.getter));
    ASSERT_NE(holder.get(), nullptr) << row.expr;
    EXPECT_EQ(host.className(holder), row.cls);
    EXPECT_EQ(HeldPtr(holder), HeldPtr(e)) << "the holder shares the object";
  }
  Ref tuple(Entity("(1, 2)"));
  Ref params(host.prop<Obj>(tuple, "TupleValue"));
  EXPECT_EQ(host.prop<int32_t>(params, "LastError"), 0);
  EXPECT_EQ(host.prop<int32_t>(params, "Count"), 2);
  EXPECT_EQ(Pending(), "");
}

TEST_F(EntityTest, CapsuleCarriesTheHostObjectWhilePythonHoldsIt) {
  Ref x(host.newObjectArray());
  const int base = host.refCount(x);
  {
    Ref e(FromObject(x));
    EXPECT_EQ(Passing(e), "IsObject");
    EXPECT_EQ(host.refCount(x), base + 1) << "the capsule holds one reference";
    Ref back(host.prop<Obj>(e, "ObjectValue"));
    EXPECT_EQ(back.get(), x.get());
    EXPECT_EQ(host.refCount(x), base + 2) << "the reader hands out one more";
    Put("cap", e);
  }
  // The entity is gone; Python still holds the capsule, and so x.
  EXPECT_EQ(host.refCount(x), base + 1);
  Ref again(Entity("cap"));
  Ref same(host.prop<Obj>(again, "ObjectValue"));
  EXPECT_EQ(same.get(), x.get());
  same.reset();
  again.reset();
  Exec("del cap");
  EXPECT_EQ(host.refCount(x), base) << "freeing the capsule gives the reference back";

  EXPECT_EQ(FromObject(Obj(nullptr)), nullptr);
  EXPECT_EQ(Pending(), "") << "nil makes no Python call";
}

TEST_F(EntityTest, CapsulesThatThePluginDidNotMakeCarryNoHostObject) {
  // A named capsule of the standard library.
  Exec("import datetime\nnamed = datetime.datetime_CAPI");
  Ref named(Entity("named"));
  EXPECT_EQ(Passing(named), "");
  EXPECT_EQ(host.prop<Obj>(named, "ObjectValue"), nullptr);

  // An unnamed capsule made by someone else, holding an arbitrary pointer.
  Exec(
      "try:\n"
      "    import ctypes\n"
      "    new = ctypes.pythonapi.PyCapsule_New\n"
      "    new.restype = ctypes.py_object\n"
      "    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n"
      "    foreign = new(0x1234, None, None)\n"
      "except Exception:\n"
      "    foreign = None\n");
  if (Check("foreign is None")) GTEST_SKIP() << "ctypes is not available in this Python";
  EXPECT_TRUE(Check("type(foreign) is type(named)"));
  Ref foreign(Entity("foreign"));
  EXPECT_EQ(Passing(foreign), "");
  EXPECT_EQ(host.prop<Obj>(foreign, "ObjectValue"), nullptr);
  EXPECT_EQ(Pending(), "");
}

TEST_F(EntityTest, SharingGettersShareOneObject) {
  Ref e(Entity("[1, 2]"));
  Ref a(host.prop<Obj>(e, "ListValue")), b(host.prop<Obj>(e, "ListValue"));
  ASSERT_NE(a.get(), b.get());
  Ref three(FromInt32(3));
  host.call<void>(a, "Append(value as Python3EntityBase)", three.get());
  EXPECT_EQ(host.prop<int32_t>(b, "Count"), 3);

  // Each holder owns exactly one reference, given back when it goes.
  const intptr_t held = Refs(e);
  a.reset();
  b.reset();
  EXPECT_EQ(Refs(e), held - 2);
  SRef none(host.prop<Str>(e, "StringValue"));
  EXPECT_EQ(none.get(), nullptr);
  EXPECT_EQ(Refs(e), held - 2) << "failed getters take no reference";
}

TEST_F(EntityTest, BuiltObjectsHaveOneReferenceEach) {
  Ref s(FromString(S("a fresh string of some length").get()));
  EXPECT_EQ(Refs(s), 1);
  Ref d(FromDouble(1234.5));
  EXPECT_EQ(Refs(d), 1);
  Ref i(FromInt64(123456789012LL));
  EXPECT_EQ(Refs(i), 1);
  Ref e(Entity("[]"));  // the dict that carried it is gone: only the entity holds it
  EXPECT_EQ(Refs(e), 1);
}

TEST_F(EntityTest, AnEmptyEntityAnswersNothing) {
  Ref e(host.create("Python3Entity", "Constructor()"));
  EXPECT_EQ(HeldPtr(e), nullptr);
  EXPECT_EQ(Passing(e), "");
  EXPECT_EQ(Int32(e), 0);
  EXPECT_EQ(Int64(e), 0);
  EXPECT_EQ(UInt64(e), 0u);
  EXPECT_EQ(Double(e), 0.0);
  EXPECT_FALSE(Boolean(e));
  for (const char* getter :
       {"StringValue", "ObjectValue", "BytesValue", "TupleValue", "ListValue", "DictionaryValue"}) {
    if (std::string(getter) == "StringValue")
      EXPECT_EQ(host.prop<Str>(e, getter), nullptr);
    else
      EXPECT_EQ(host.prop<Obj>(e, getter), nullptr) << getter;
  }
  EXPECT_EQ(Pending(), "");
}

// The records as the host sees them: member counts, the classes' own
// constructors and destructors, the default-constructor flag and setters.
TEST_F(EntityTest, ValueClassRecords) {
  struct {
    const char* name;
    uintptr_t properties, methods, shared, setters;
    bool ctor, dtor;
  } rows[] = {
      {"Python3EntityBase", 3, 18, 0, 0, true, true},  {"Python3Entity", 21, 1, 9, 0, false, false},
      {"Python3Bytes", 1, 4, 0, 0, false, true},       {"Python3List", 1, 9, 0, 0, false, false},
      {"Python3Result", 3, 47, 1, 0, false, true},     {"Python3Parameters", 2, 25, 0, 12, false, true},
      {"Python3Dictionary", 1, 13, 0, 0, false, true}, {"Python3Iterator", 0, 1, 0, 0, false, false},
      {"Python3Buffer", 6, 3, 0, 0, false, true},
  };
  for (auto& row : rows) {
    const REALclassDefinition* def = host.classDefinition(row.name);
    ASSERT_NE(def, nullptr) << row.name;
    EXPECT_EQ(def->propertyCount, row.properties) << row.name;
    EXPECT_EQ(def->methodCount, row.methods) << row.name;
    EXPECT_EQ(def->sharedMethodCount, row.shared) << row.name;
    EXPECT_EQ(def->constructor != nullptr, row.ctor) << row.name;
    EXPECT_EQ(def->destructor != nullptr, row.dtor) << row.name;
    uintptr_t setters = 0;
    for (uintptr_t i = 0; i < def->methodCount; ++i) {
      setters += def->methods[i].setterFunction != nullptr;
      bool defaultCtor = std::string(def->methods[i].declaration) == "Constructor()" &&
                         (std::string(row.name) == "Python3EntityBase" ||
                          std::string(row.name) == "Python3Entity");
      EXPECT_EQ(def->methods[i].mFlags, defaultCtor ? 132u : 4u) << def->methods[i].declaration;
    }
    EXPECT_EQ(setters, row.setters) << row.name;
  }
}

// After Finalize nothing touches Python: builders and readers are neutral and
// destroying a holder releases nothing; the capsule's host reference was
// given back by Finalize itself. Run in a child process so the suite keeps
// its interpreter.
TEST_F(EntityTest, NothingTouchesPythonAfterFinalize) {
  Ref x(host.newObjectArray());
  Ref e(FromObject(x));
  Ref i(FromInt32(42));
  const int held = host.refCount(x);
  auto scenario = [&] {
    host.callShared<void>("Coilwork", "Finalize()");
    bool ok = FromInt32(1) == nullptr && FromString(S("a").get()) == nullptr &&
              Int32(i) == 0 && !Is(i, "IsInteger") && host.prop<Obj>(e, "ObjectValue") == nullptr;
    e.reset();
    i.reset();
    ok = ok && host.refCount(x) == held - 1;
    _exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(scenario(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace coiltest
