// Python3List: items in and out, Python's position and index rules, the
// handle-switching Clear, snapshots as tuples, sort and reverse.
#include "values_helpers.h"

namespace coiltest {
namespace {

constexpr const char* kAppend = "Append(value as Python3EntityBase)";
constexpr const char* kInsert = "Insert(index as Integer, value as Python3EntityBase)";
constexpr const char* kGetItem = "GetItem(index as Integer) as Python3Entity";
constexpr const char* kSetItem = "SetItem(index as Integer, value as Python3EntityBase)";

class ListTest : public ValuesTest {
 protected:
  Obj NewList() { return host.create("Python3List", "Constructor()"); }
  Obj StrEntity(const std::string& v) {
    return host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity",
                                S(v).get());
  }
  Obj Int(int32_t v) {
    return host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity", v);
  }
  int32_t Count(Obj l) { return host.prop<int32_t>(l, "Count"); }
  // The list as Python's repr.
  std::string Show(Obj l) {
    Put("shown", l);
    return Text("repr(shown)");
  }
  // A list handle over the list that a Python expression gives.
  Obj ListOf(const std::string& expr) {
    Ref e(Entity(expr));
    return e.get() ? host.prop<Obj>(e, "ListValue") : nullptr;
  }
};

TEST_F(ListTest, AppendCountAndGetItem) {
  Ref l(NewList());
  EXPECT_EQ(Count(l), 0);
  host.call<void>(l, kAppend, Ref(StrEntity("first")).get());
  host.call<void>(l, kAppend, Ref(Int(2)).get());
  host.call<void>(l, kAppend, Ref(host.create("Python3Dictionary", "Constructor()")).get());
  EXPECT_EQ(Count(l), 3);
  Ref first(host.call<Obj>(l, kGetItem, int32_t(0)));
  EXPECT_EQ(SRef(host.prop<Str>(first, "StringValue")).bytes(), "first");
  EXPECT_EQ(Show(l), "['first', 2, {}]");
  host.call<void>(l, kAppend, Obj(nullptr));
  EXPECT_EQ(Count(l), 3);
  EXPECT_EQ(Pending(), "");
}

TEST_F(ListTest, GetItemHasNoNegativeIndexes) {
  Ref l(ListOf("['a', 'b']"));
  for (int32_t index : {-1, 2, 1000}) {
    EXPECT_EQ(host.call<Obj>(l, kGetItem, index), nullptr) << index;
    EXPECT_TRUE(PendingIs("IndexError")) << index;
  }
}

TEST_F(ListTest, InsertFollowsPythonsPositionRule) {
  struct {
    int32_t index;
    const char* expected;
  } cases[] = {{-1, "['a', 'v', 'b']"}, {0, "['v', 'a', 'b']"}, {100, "['a', 'b', 'v']"},
               {-100, "['v', 'a', 'b']"}};
  for (auto& c : cases) {
    Ref l(ListOf("['a', 'b']"));
    host.call<void>(l, kInsert, c.index, Ref(StrEntity("v")).get());
    EXPECT_EQ(Show(l), c.expected) << c.index;
  }
  EXPECT_EQ(Pending(), "");
}

TEST_F(ListTest, HoldersWithoutAnObjectMakePythonComplain) {
  Ref l(ListOf("[1]"));
  Ref empty(host.create("Python3Entity", "Constructor()"));
  host.call<void>(l, kAppend, empty.get());
  EXPECT_TRUE(PendingIs("SystemError"));
  host.call<void>(l, kInsert, int32_t(0), empty.get());
  EXPECT_TRUE(PendingIs("SystemError"));
  host.call<void>(l, kInsert, int32_t(0), Obj(nullptr));
  host.call<void>(l, kSetItem, int32_t(0), empty.get());
  host.call<void>(l, kSetItem, int32_t(0), Obj(nullptr));
  EXPECT_EQ(Pending(), "");
  EXPECT_EQ(Show(l), "[1]");
}

TEST_F(ListTest, SetItemReplacesInRangeOnly) {
  Ref l(ListOf("['a', 'b']"));
  Ref v(Entity("object()"));
  const intptr_t base = Refs(v);
  host.call<void>(l, kSetItem, Count(l), v.get());
  EXPECT_TRUE(PendingIs("IndexError"));
  EXPECT_EQ(Show(l), "['a', 'b']");
  EXPECT_EQ(Refs(v), base) << "the holder keeps its object and Python dropped its copy";
  EXPECT_NE(HeldPtr(v), nullptr);

  Ref item(Int(77));
  host.call<void>(l, kSetItem, int32_t(0), item.get());
  item.reset();  // the list holds its own reference
  Ref back(host.call<Obj>(l, kGetItem, int32_t(0)));
  EXPECT_EQ(host.prop<int32_t>(back, "Int32Value"), 77);

  host.call<void>(l, kSetItem, int32_t(1), v.get());
  EXPECT_EQ(Refs(v), base + 1);
  host.call<void>(l, kSetItem, int32_t(1), back.get());
  EXPECT_EQ(Refs(v), base) << "the replaced item's reference is released";
}

TEST_F(ListTest, ClearSwitchesToANewList) {
  Ref d(host.create("Python3Dictionary", "Constructor()"));
  host.call<void>(d, "SetValue(key as String, value as Python3EntityBase)", S("k1").get(),
                  Ref(Int(1)).get());
  host.call<void>(d, "SetValue(key as String, value as Python3EntityBase)", S("k2").get(),
                  Ref(Int(2)).get());
  Ref keys(host.call<Obj>(d, "GetKeys() as Python3List"));
  // A second handle on the same list, through a list that holds it.
  Ref outer(NewList());
  host.call<void>(outer, kAppend, keys.get());
  Ref item(host.call<Obj>(outer, kGetItem, int32_t(0)));
  Ref second(host.prop<Obj>(item, "ListValue"));
  ASSERT_EQ(HeldPtr(second), HeldPtr(keys));

  host.call<void>(keys, "Clear()");
  EXPECT_EQ(Count(keys), 0);
  EXPECT_EQ(Count(second), 2);
  EXPECT_NE(HeldPtr(keys), HeldPtr(second));
  EXPECT_EQ(Refs(keys), 1);
}

TEST_F(ListTest, SortAndReverse) {
  Ref l(ListOf("[3, 1, 2]"));
  host.call<void>(l, "Sort()");
  EXPECT_EQ(Show(l), "[1, 2, 3]");
  host.call<void>(l, "Reverse()");
  EXPECT_EQ(Show(l), "[3, 2, 1]");
  host.call<void>(l, "Reverse()");
  EXPECT_EQ(Show(l), "[1, 2, 3]");

  Ref mixed(ListOf("[1, 'a']"));
  host.call<void>(mixed, "Sort()");
  EXPECT_TRUE(PendingIs("TypeError"));
}

TEST_F(ListTest, AsTupleIsASnapshot) {
  Ref l(ListOf("[1, 'two', 3.0]"));
  Ref t(host.call<Obj>(l, "AsTuple() as Python3Parameters"));
  ASSERT_NE(t.get(), nullptr);
  EXPECT_EQ(host.prop<int32_t>(t, "Count"), 3);
  EXPECT_EQ(host.prop<int32_t>(t, "LastError"), 0);
  EXPECT_EQ(Refs(t), 1) << "the parameters handle alone holds the tuple";
  host.call<void>(l, kAppend, Ref(Int(4)).get());
  EXPECT_EQ(host.prop<int32_t>(t, "Count"), 3);
  EXPECT_EQ(Kinds(t), "int,str,float");
}

TEST_F(ListTest, AHandleWithoutAListIsEmpty) {
  Ref l(host.newInstance("Python3List"));
  EXPECT_EQ(Count(l), 0);
  host.call<void>(l, kAppend, Ref(Int(1)).get());
  host.call<void>(l, kInsert, int32_t(0), Ref(Int(1)).get());
  host.call<void>(l, kSetItem, int32_t(0), Ref(Int(1)).get());
  host.call<void>(l, "Sort()");
  host.call<void>(l, "Reverse()");
  EXPECT_EQ(host.call<Obj>(l, kGetItem, int32_t(0)), nullptr);
  EXPECT_EQ(host.call<Obj>(l, "AsTuple() as Python3Parameters"), nullptr);
  EXPECT_EQ(Count(l), 0);
  EXPECT_EQ(Pending(), "");
  host.call<void>(l, "Clear()");  // gives it a list of its own
  host.call<void>(l, kAppend, Ref(Int(1)).get());
  EXPECT_EQ(Count(l), 1);
}

}  // namespace
}  // namespace coiltest
