// Module handles: the typed attribute accessors (run on a module and, being
// the same functions, on an instance that reads its class's attributes),
// attribute tests and deletion, function and class look-up, and reload.
#include <stdint.h>

#include <fstream>

#include "code_helpers.h"

namespace coiltest {
namespace {

// The same values as module globals and as class attributes of Holder, so
// that an instance of Holder reads them through Python's attribute lookup.
constexpr char kValues[] = R"PY(
class Text(str):
    pass

big = 2147483648
minus = -1
yes = True
items = [1]
zero = 0
empty = ''
nothing = None
count = 7
label = Text('sub text')
plain = 'plain'
real = 2.5

class Holder:
    pass

for _name in ('big', 'minus', 'yes', 'items', 'zero', 'empty', 'nothing', 'count',
              'label', 'plain', 'real'):
    setattr(Holder, _name, globals()[_name])

def function():
    return 1
)PY";

// Parameter: false runs the accessors on the module, true on an instance.
class FieldTest : public CodeTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    CodeTest::SetUp();
    module_.reset(Exec(kValues));
    ASSERT_NE(module_.get(), nullptr);
    if (GetParam()) {
      holder_.reset(GetClass(module_, "Holder"));
      ASSERT_NE(holder_.get(), nullptr);
      target_.reset(CreateInstance(holder_));
    } else {
      target_.reset(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                                         S(Name(module_)).get()));
    }
    ASSERT_NE(target_.get(), nullptr) << GetError();
    ASSERT_EQ(host.className(target_), GetParam() ? "Python3Instance" : "Python3Module");
  }

  void TearDown() override {
    target_.reset();
    holder_.reset();
    module_.reset();
    EXPECT_FALSE(ErrorOccurred()) << GetError();
    ExpectCountsAtStart();
    CodeTest::TearDown();
  }

  Ref module_, holder_, target_;
};

TEST_P(FieldTest, NumbersConvertAsPythonDecides) {
  EXPECT_EQ(Int32(target_, "big"), -1);
  EXPECT_TRUE(PendingIs("OverflowError"));
  EXPECT_EQ(Int64(target_, "big"), 2147483648LL);
  EXPECT_FALSE(ErrorOccurred());

  EXPECT_EQ(UInt64(target_, "minus"), UINT64_MAX);
  EXPECT_TRUE(PendingIs("OverflowError"));
  EXPECT_EQ(Int64(target_, "minus"), -1);
  EXPECT_FALSE(ErrorOccurred());

  // No type test: a bool is an int to Python, a str is refused by Python.
  EXPECT_EQ(Int32(target_, "yes"), 1);
  EXPECT_EQ(Double(target_, "real"), 2.5);
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_EQ(Double(target_, "plain"), -1.0);
  EXPECT_TRUE(PendingIs("TypeError"));
  EXPECT_EQ(Int64(target_, "plain"), -1);
  EXPECT_TRUE(PendingIs("TypeError"));
}

TEST_P(FieldTest, BooleanIsPythonsTruthOfAnyObject) {
  EXPECT_EQ(Boolean(target_, "yes"), 1);
  EXPECT_EQ(Boolean(target_, "items"), 1);
  EXPECT_EQ(Boolean(target_, "count"), 1);
  EXPECT_EQ(Boolean(target_, "zero"), 0);
  EXPECT_EQ(Boolean(target_, "empty"), 0);
  EXPECT_EQ(Boolean(target_, "nothing"), 0);
  EXPECT_FALSE(ErrorOccurred());
}

TEST_P(FieldTest, StringsOnlyFromStrAndItsSubclasses) {
  EXPECT_EQ(String(target_, "count"), "<nil>");
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_EQ(String(target_, "label"), "sub text");
  EXPECT_EQ(String(target_, "plain"), "plain");
  EXPECT_EQ(Object(target_, "plain"), nullptr);
}

TEST_P(FieldTest, MissingAttributeGivesDefaultsWithAttributeError) {
  EXPECT_EQ(Int32(target_, "absent"), 0);
  EXPECT_TRUE(PendingIs("AttributeError"));
  EXPECT_EQ(UInt64(target_, "absent"), 0u);
  EXPECT_TRUE(PendingIs("AttributeError"));
  EXPECT_EQ(Double(target_, "absent"), 0.0);
  EXPECT_TRUE(PendingIs("AttributeError"));
  EXPECT_EQ(Boolean(target_, "absent"), 0);
  EXPECT_TRUE(PendingIs("AttributeError"));
  EXPECT_EQ(String(target_, "absent"), "<nil>");
  EXPECT_TRUE(PendingIs("AttributeError"));
  EXPECT_EQ(Object(target_, "absent"), nullptr);
  EXPECT_TRUE(PendingIs("AttributeError"));
  EXPECT_FALSE(Has(target_, "absent"));
  EXPECT_FALSE(ErrorOccurred()) << "HasAttribute leaves nothing pending";
}

TEST_P(FieldTest, SettersRoundTrip) {
  SetInt32(target_, "i32", -5);
  host.assign(target_.get(), "Int64Field(name as String) as Int64", S("i64").get(), INT64_MIN);
  host.assign(target_.get(), "UInt64Field(name as String) as UInt64", S("u64").get(), UINT64_MAX);
  host.assign(target_.get(), "DoubleField(name as String) as Double", S("d").get(), -0.125);
  host.assign(target_.get(), "BooleanField(name as String) as Boolean", S("b").get(), int8_t(2));
  host.assign(target_.get(), "BooleanField(name as String) as Boolean", S("f").get(), int8_t(0));
  host.assign(target_.get(), "StringField(name as String) as String", S("s").get(),
              S("gr\xC3\xBC\xC3\x9F").get());
  EXPECT_EQ(Int32(target_, "i32"), -5);
  EXPECT_EQ(Int64(target_, "i64"), INT64_MIN);
  EXPECT_EQ(UInt64(target_, "u64"), UINT64_MAX);
  EXPECT_EQ(Double(target_, "d"), -0.125);
  EXPECT_EQ(Boolean(target_, "b"), 1);
  EXPECT_EQ(Int32(target_, "b"), 1) << "stored as True, not as the byte";
  EXPECT_EQ(Boolean(target_, "f"), 0);
  EXPECT_TRUE(Has(target_, "f"));
  EXPECT_EQ(String(target_, "s"), "gr\xC3\xBC\xC3\x9F");
  EXPECT_FALSE(ErrorOccurred());
}

TEST_P(FieldTest, UnconvertibleTextChangesNothing) {
  // Bytes of unknown encoding that are no UTF-8: the host cannot give text.
  SRef bad(host.newString("\xff\xfe", emuhost::kUnknown));
  host.assign(target_.get(), "StringField(name as String) as String", S("plain").get(), bad.get());
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_EQ(String(target_, "plain"), "plain");
}

TEST_P(FieldTest, SetCreatesThenDeleteRemovesOnce) {
  EXPECT_FALSE(Has(target_, "fresh"));
  SetInt32(target_, "fresh", 5);
  EXPECT_TRUE(Has(target_, "fresh"));
  EXPECT_EQ(Int32(target_, "fresh"), 5);
  EXPECT_EQ(Delete(target_, "fresh"), 0);
  EXPECT_FALSE(Has(target_, "fresh"));
  EXPECT_EQ(Delete(target_, "fresh"), -1);
  EXPECT_TRUE(PendingIs("AttributeError"));
}

TEST_P(FieldTest, AttributeNamesGoAsTheStoredBytes) {
  SetInt32(target_, "gr\xC3\xB6\xC3\x9F" "e", 9);
  EXPECT_EQ(Int32(target_, "gr\xC3\xB6\xC3\x9F" "e"), 9);
  EXPECT_FALSE(ErrorOccurred());
  if (!GetParam()) {  // Python sees the text the UTF-8 bytes spell
    Ref check(Exec("import " + Name(module_) + " as m\nok = int(getattr(m, 'gr\\u00f6\\u00dfe'))\n"));
    ASSERT_NE(check.get(), nullptr);
    EXPECT_EQ(Int32(check, "ok"), 9);
  }
  // A Latin-1 name is handed over unconverted, and its bytes are no UTF-8.
  SRef latin(host.newString("gr\xF6\xDF" "e", emuhost::kLatin1));
  host.assign(target_.get(), "Int32Field(name as String) as Int32", latin.get(), int32_t(1));
  EXPECT_TRUE(PendingIs("UnicodeDecodeError"));
}

TEST_P(FieldTest, ObjectFieldKeepsTheHostObjectAlive) {
  size_t arrays = host.liveObjects("ObjectArray");
  Obj thing = host.newObjectArray();
  host.assign(target_.get(), "ObjectField(name as String) as Object", S("held").get(), thing);
  EXPECT_EQ(host.refCount(thing), 2) << "the capsule holds one reference";
  host.unlock(thing);  // the test's own reference is gone; Python's remains
  {
    Ref back(Object(target_, "held"));
    EXPECT_EQ(back.get(), thing);
  }
  EXPECT_EQ(host.refCount(thing), 1);
  EXPECT_EQ(Delete(target_, "held"), 0);  // the capsule goes, and with it the object
  EXPECT_EQ(host.liveObjects("ObjectArray"), arrays);

  // Nil makes no capsule: the attribute is unchanged, ValueError pending.
  host.assign(target_.get(), "ObjectField(name as String) as Object", S("plain").get(), Obj(nullptr));
  EXPECT_TRUE(PendingIs("ValueError"));
  EXPECT_EQ(String(target_, "plain"), "plain");
}

INSTANTIATE_TEST_SUITE_P(OnModuleAndInstance, FieldTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Instance" : "Module";
                         });

class ModuleTest : public CodeTest {};

TEST_F(ModuleTest, GetFunctionWantsSomethingCallable) {
  {
    Ref m(Exec(kValues));
    ASSERT_NE(m.get(), nullptr);
    EXPECT_EQ(GetFunction(m, "count"), nullptr);
    EXPECT_FALSE(ErrorOccurred()) << "a value that is not callable raises nothing";
    EXPECT_EQ(GetFunction(m, "absent"), nullptr);
    EXPECT_TRUE(PendingIs("AttributeError"));

    Ref f(GetFunction(m, "function"));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(Name(f), "function");
    Ref owner(host.prop<Obj>(f, "OwnerModule"));
    EXPECT_EQ(owner.get(), m.get());
    // A class is callable too.
    Ref holder(GetFunction(m, "Holder"));
    EXPECT_NE(holder.get(), nullptr);
  }
  ExpectCountsAtStart();
}

TEST_F(ModuleTest, GetClassWrapsWhateverItFinds) {
  {
    Ref m(Exec("import types\n"
               "def factory():\n"
               "    return types.SimpleNamespace(v=41)\n"));
    ASSERT_NE(m.get(), nullptr);
    Ref c(GetClass(m, "factory"));
    ASSERT_NE(c.get(), nullptr);
    EXPECT_EQ(Name(c), "factory");
    Ref i(CreateInstance(c));
    ASSERT_NE(i.get(), nullptr) << GetError();
    EXPECT_EQ(Int32(i, "v"), 41);
    EXPECT_EQ(GetClass(m, "absent"), nullptr);
    EXPECT_TRUE(PendingIs("AttributeError"));
  }
  ExpectCountsAtStart();
}

TEST_F(ModuleTest, FailedReloadKeepsTheOldModule) {
  {
    Ref m(Import("coil_reloaded", "value = 1\n"));
    ASSERT_NE(m.get(), nullptr) << GetError();
    WriteModule("coil_reloaded", "value = = 2\n");
    EXPECT_EQ(host.call<int8_t>(m, "Reload() as Boolean"), 0);
    EXPECT_FALSE(ErrorOccurred()) << "a failed reload leaves no error";
    EXPECT_EQ(Int32(m, "value"), 1);

    WriteModule("coil_reloaded", "value = 3\nextra = 4\n");
    EXPECT_EQ(host.call<int8_t>(m, "Reload() as Boolean"), 1) << GetError();
    EXPECT_EQ(Int32(m, "value"), 3);
    EXPECT_EQ(Int32(m, "extra"), 4);
  }
  ExpectCountsAtStart();
}

}  // namespace
}  // namespace coiltest
