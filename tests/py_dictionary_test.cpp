// Python3Dictionary: String and entity keys, snapshots, shallow copies,
// clearing through shared handles, pending errors and empty handles.
#include "values_helpers.h"

namespace coiltest {
namespace {

constexpr const char* kContains = "Contains(key as String) as Boolean";
constexpr const char* kContainsE = "Contains(key as Python3EntityBase) as Boolean";
constexpr const char* kGet = "GetValue(key as String) as Python3Entity";
constexpr const char* kGetE = "GetValue(key as Python3EntityBase) as Python3Entity";
constexpr const char* kSet = "SetValue(key as String, value as Python3EntityBase)";
constexpr const char* kSetE = "SetValue(key as Python3EntityBase, value as Python3EntityBase)";
constexpr const char* kRemove = "Remove(key as String)";
constexpr const char* kRemoveE = "Remove(key as Python3EntityBase)";

class DictionaryTest : public ValuesTest {
 protected:
  Obj NewDict() { return host.create("Python3Dictionary", "Constructor()"); }
  Obj Int(int32_t v) {
    return host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity", v);
  }
  Obj StrEntity(const std::string& v) {
    return host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity",
                                S(v).get());
  }
  int32_t Count(Obj d) { return host.prop<int32_t>(d, "Count"); }
  bool Contains(Obj d, const std::string& key) {
    return host.call<int8_t>(d, kContains, S(key).get()) != 0;
  }
  void Set(Obj d, const std::string& key, Obj value) {
    host.call<void>(d, kSet, S(key).get(), value);
  }
  int32_t IntAt(Obj d, const std::string& key) {
    Ref e(host.call<Obj>(d, kGet, S(key).get()));
    return e.get() ? host.prop<int32_t>(e, "Int32Value") : -999;
  }
};

TEST_F(DictionaryTest, StoresAndFindsUnderStringKeys) {
  Ref d(NewDict());
  EXPECT_EQ(Count(d), 0);
  Set(d, "a", Ref(Int(1)).get());
  EXPECT_EQ(Count(d), 1);
  EXPECT_TRUE(Contains(d, "a"));
  EXPECT_FALSE(Contains(d, "b"));
  EXPECT_EQ(IntAt(d, "a"), 1);
  Set(d, "a", Ref(Int(2)).get());
  EXPECT_EQ(Count(d), 1);
  EXPECT_EQ(IntAt(d, "a"), 2);

  Set(d, "ключ", Ref(Int(3)).get());
  Put("d", d);
  EXPECT_TRUE(Check("d == {'a': 2, '\\u043a\\u043b\\u044e\\u0447': 3}"));

  // Absent keys: nil, and nothing pending.
  EXPECT_EQ(host.call<Obj>(d, kGet, S("zzz").get()), nullptr);
  EXPECT_EQ(Pending(), "");
  // Nil keys and values do nothing.
  EXPECT_FALSE(host.call<int8_t>(d, kContains, Str(nullptr)));
  EXPECT_EQ(host.call<Obj>(d, kGet, Str(nullptr)), nullptr);
  host.call<void>(d, kSet, Str(nullptr), Ref(Int(4)).get());
  host.call<void>(d, kSet, S("n").get(), Obj(nullptr));
  host.call<void>(d, kRemove, Str(nullptr));
  EXPECT_EQ(Count(d), 2);
  EXPECT_EQ(Pending(), "");
}

TEST_F(DictionaryTest, StringAndEntityKeysMeetOnEqualStrs) {
  Ref d(NewDict());
  Set(d, "a", Ref(Int(1)).get());
  EXPECT_TRUE(host.call<int8_t>(d, kContainsE, Ref(StrEntity("a")).get()));

  Ref one(Int(1));
  host.call<void>(d, kSetE, one.get(), Ref(StrEntity("int key")).get());
  EXPECT_FALSE(Contains(d, "1")) << "the int 1 and the str '1' are different keys";
  EXPECT_TRUE(host.call<int8_t>(d, kContainsE, one.get()));
  Ref v(host.call<Obj>(d, kGetE, one.get()));
  EXPECT_EQ(SRef(host.prop<Str>(v, "StringValue")).bytes(), "int key");
  EXPECT_EQ(Count(d), 2);

  host.call<void>(d, kRemoveE, Ref(StrEntity("a")).get());
  EXPECT_FALSE(Contains(d, "a"));
  host.call<void>(d, kRemove, S("x").get());
  EXPECT_TRUE(PendingIs("KeyError"));
  host.call<void>(d, kRemoveE, Ref(Int(2)).get());
  EXPECT_TRUE(PendingIs("KeyError"));
  EXPECT_EQ(Count(d), 1);
}

TEST_F(DictionaryTest, UnhashableKeysLeaveTypeErrorOrNothing) {
  Ref d(NewDict());
  Ref key(Entity("[1]"));
  EXPECT_EQ(host.call<int8_t>(d, kContainsE, key.get()), 0) << "a failed test reaches the host as false";
  EXPECT_TRUE(PendingIs("TypeError"));
  host.call<void>(d, kSetE, key.get(), Ref(Int(1)).get());
  EXPECT_TRUE(PendingIs("TypeError"));
  EXPECT_EQ(host.call<Obj>(d, kGetE, key.get()), nullptr);
  EXPECT_EQ(Pending(), "") << "GetValue drops lookup errors";
  EXPECT_EQ(Count(d), 0);
}

TEST_F(DictionaryTest, KeysAndValuesAreSnapshots) {
  Ref d(NewDict());
  Set(d, "a", Ref(Int(1)).get());
  Set(d, "b", Ref(Int(2)).get());
  Ref keys(host.call<Obj>(d, "GetKeys() as Python3List"));
  Ref values(host.call<Obj>(d, "GetValues() as Python3List"));
  EXPECT_EQ(Refs(keys), 1) << "the new list belongs to the handle alone";
  Set(d, "c", Ref(Int(3)).get());
  EXPECT_EQ(host.prop<int32_t>(keys, "Count"), 2);
  EXPECT_EQ(host.prop<int32_t>(values, "Count"), 2);
  host.call<void>(keys, "Append(value as Python3EntityBase)", Ref(StrEntity("z")).get());
  EXPECT_FALSE(Contains(d, "z"));
  Put("k", keys);
  Put("v", values);
  EXPECT_TRUE(Check("sorted(k[:2]) == ['a', 'b'] and sorted(v) == [1, 2]"));
}

TEST_F(DictionaryTest, CopyIsShallow) {
  Ref d(NewDict());
  Ref inner(host.create("Python3List", "Constructor()"));
  Set(d, "list", inner.get());
  Ref copy(host.call<Obj>(d, "Copy() as Python3Dictionary"));
  ASSERT_NE(copy.get(), nullptr);
  EXPECT_NE(HeldPtr(copy), HeldPtr(d));
  EXPECT_EQ(Refs(copy), 1);
  Set(copy, "extra", Ref(Int(1)).get());
  EXPECT_EQ(Count(d), 1);
  EXPECT_EQ(Count(copy), 2);
  Ref fromCopy(host.call<Obj>(copy, kGet, S("list").get()));
  EXPECT_EQ(HeldPtr(fromCopy), HeldPtr(inner)) << "values are the same objects";
}

TEST_F(DictionaryTest, DictionariesFromPythonSupportEveryMethod) {
  Ref e(Entity("{'a': 1, 'b': [2]}"));
  Ref d(host.prop<Obj>(e, "DictionaryValue"));
  ASSERT_NE(d.get(), nullptr);
  Ref copy(host.call<Obj>(d, "Copy() as Python3Dictionary"));
  EXPECT_EQ(Count(copy), 2);
  host.call<void>(d, kRemove, S("a").get());
  EXPECT_EQ(Pending(), "");
  EXPECT_EQ(Count(d), 1);

  // Clear works on the dict itself: the entity's dict is empty too.
  host.call<void>(d, "Clear()");
  Ref again(host.prop<Obj>(e, "DictionaryValue"));
  EXPECT_EQ(Count(again), 0);
  EXPECT_EQ(Count(copy), 2);
}

TEST_F(DictionaryTest, ValuesWithoutAnObjectChangeNothing) {
  Ref d(NewDict());
  Ref empty(host.create("Python3Entity", "Constructor()"));
  Set(d, "a", empty.get());
  host.call<void>(d, kSetE, Ref(Int(1)).get(), empty.get());
  host.call<void>(d, kSetE, empty.get(), Ref(Int(1)).get());
  EXPECT_FALSE(host.call<int8_t>(d, kContainsE, empty.get()));
  EXPECT_EQ(host.call<Obj>(d, kGetE, empty.get()), nullptr);
  host.call<void>(d, kRemoveE, empty.get());
  host.call<void>(d, kRemoveE, Obj(nullptr));
  EXPECT_EQ(Count(d), 0);
  EXPECT_EQ(Pending(), "");
}

TEST_F(DictionaryTest, AHandleWithoutADictIsEmpty) {
  Ref d(host.newInstance("Python3Dictionary"));  // no Constructor ran
  EXPECT_EQ(Count(d), 0);
  EXPECT_FALSE(Contains(d, "a"));
  Set(d, "a", Ref(Int(1)).get());
  host.call<void>(d, "Clear()");
  host.call<void>(d, kRemove, S("a").get());
  EXPECT_EQ(host.call<Obj>(d, kGet, S("a").get()), nullptr);
  EXPECT_EQ(host.call<Obj>(d, "GetKeys() as Python3List"), nullptr);
  EXPECT_EQ(host.call<Obj>(d, "GetValues() as Python3List"), nullptr);
  EXPECT_EQ(host.call<Obj>(d, "Copy() as Python3Dictionary"), nullptr);
  EXPECT_EQ(Pending(), "");
}

TEST_F(DictionaryTest, ReferencesComeBackWhenTheDictGoes) {
  Ref value(Entity("object()"));
  Ref key(Entity("'a key not interned ' + str(12345)"));
  const intptr_t valueRefs = Refs(value), keyRefs = Refs(key);
  {
    Ref d(NewDict());
    host.call<void>(d, kSetE, key.get(), value.get());
    Set(d, "other", value.get());
    EXPECT_EQ(Refs(value), valueRefs + 2);
    Ref got(host.call<Obj>(d, kGetE, key.get()));
    EXPECT_EQ(Refs(value), valueRefs + 3);
    EXPECT_TRUE(Contains(d, "other"));
  }
  EXPECT_EQ(Refs(value), valueRefs);
  EXPECT_EQ(Refs(key), keyRefs);
}

}  // namespace
}  // namespace coiltest
