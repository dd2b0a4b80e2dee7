// Python3Bytes: bytes in from Strings and MemoryBlocks, out as Strings and
// new MemoryBlocks, unchanged and unconverted in both directions.
#include "values_helpers.h"

namespace coiltest {
namespace {

class BytesTest : public ValuesTest {
 protected:
  Obj FromString(Str s) { return host.create("Python3Bytes", "Constructor(value as String)", s); }
  Obj FromBlock(Obj b) { return host.create("Python3Bytes", "Constructor(value as MemoryBlock)", b); }
  int64_t Size(Obj b) { return host.prop<int64_t>(b, "Size"); }
  Str ToString(Obj b) { return host.call<Str>(b, "ToString() as String"); }
  Obj ToBlock(Obj b) { return host.call<Obj>(b, "ToMemoryBlock() as MemoryBlock"); }
  // Python's repr of what a holder holds.
  std::string Repr(Obj b) {
    Put("b", b);
    return Text("repr(b)");
  }
};

TEST_F(BytesTest, StringBytesPassUnconverted) {
  Ref abc(FromString(S("abc").get()));
  EXPECT_EQ(Size(abc), 3);
  SRef s(ToString(abc));
  EXPECT_EQ(s.bytes(), "abc");
  EXPECT_EQ(host.encoding(s), emuhost::kUnknown);
  EXPECT_EQ(Repr(abc), "b'abc'");

  // One character of two bytes in UTF-8 gives two bytes.
  Ref e(FromString(S("\xc3\xa9").get()));
  EXPECT_EQ(Size(e), 2);
  SRef back(ToString(e));
  EXPECT_EQ(back.bytes(), "\xc3\xa9");
  EXPECT_EQ(host.encoding(back), emuhost::kUnknown);

  // Text stored in another encoding is taken as stored, not as UTF-8.
  SRef latin(host.newString("\xe9t\xe9", emuhost::kLatin1));
  Ref l(FromString(latin.get()));
  EXPECT_EQ(Repr(l), "b'\\xe9t\\xe9'");
}

TEST_F(BytesTest, ZeroBytesSurviveBothWays) {
  const std::string data("a\0b\0", 4);
  Ref fromText(FromString(S(data).get()));
  EXPECT_EQ(Size(fromText), 4);
  EXPECT_EQ(SRef(ToString(fromText)).bytes(), data);
  Ref block(ToBlock(fromText));
  EXPECT_EQ(host.memoryBlockBytes(block), data);

  Ref source(host.newMemoryBlock(data));
  Ref fromBlock(FromBlock(source));
  EXPECT_EQ(Repr(fromBlock), "b'a\\x00b\\x00'");
  EXPECT_EQ(SRef(ToString(fromBlock)).bytes(), data);
}

TEST_F(BytesTest, BlocksAreCopiedNotShared) {
  Ref first(host.newMemoryBlock(std::string("\x00\x01\x02\x03", 4)));
  Ref bytes(FromBlock(first));
  EXPECT_EQ(Size(bytes), 4);
  Ref second(ToBlock(bytes));
  ASSERT_NE(second.get(), nullptr);
  EXPECT_NE(second.get(), first.get());
  EXPECT_EQ(host.memoryBlockBytes(second), std::string("\x00\x01\x02\x03", 4));

  static_cast<char*>(host.memoryBlockData(first))[0] = 9;
  EXPECT_EQ(Repr(bytes), "b'\\x00\\x01\\x02\\x03'");
  EXPECT_EQ(host.memoryBlockBytes(second), std::string("\x00\x01\x02\x03", 4));
}

TEST_F(BytesTest, EmptyIsNotNil) {
  Ref zero(host.newMemoryBlock(""));
  Ref fromBlock(FromBlock(zero));
  EXPECT_EQ(Size(fromBlock), 0);
  Ref block(ToBlock(fromBlock));
  ASSERT_NE(block.get(), nullptr);
  EXPECT_EQ(host.memoryBlockBytes(block), "");
  EXPECT_EQ(Repr(fromBlock), "b''");

  Ref fromText(FromString(S("").get()));
  SRef s(ToString(fromText));
  EXPECT_NE(s.get(), nullptr);
  EXPECT_EQ(s.bytes(), "");
}

TEST_F(BytesTest, NilMakesAHandleWithoutBytes) {
  Ref a(FromString(Str(nullptr))), b(FromBlock(Obj(nullptr)));
  Ref plain(host.newInstance("Python3Bytes"));
  for (Obj h : {a.get(), b.get(), plain.get()}) {
    EXPECT_EQ(HeldPtr(h), nullptr);
    EXPECT_EQ(Size(h), 0);
    EXPECT_EQ(ToString(h), nullptr);
    EXPECT_EQ(ToBlock(h), nullptr);
  }
  EXPECT_EQ(Pending(), "");
}

TEST_F(BytesTest, BytesFromPythonOutliveTheirEntity) {
  Ref e(Entity("bytes(range(5))"));
  Ref b(host.prop<Obj>(e, "BytesValue"));
  ASSERT_NE(b.get(), nullptr);
  EXPECT_EQ(HeldPtr(b), HeldPtr(e));
  EXPECT_EQ(Refs(b), 2);
  e.reset();
  EXPECT_EQ(Refs(b), 1);
  EXPECT_EQ(SRef(ToString(b)).bytes(), std::string("\x00\x01\x02\x03\x04", 5));
  EXPECT_EQ(Size(b), 5);
}

}  // namespace
}  // namespace coiltest
