// Memory shared without copies: host MemoryBlocks as memoryviews, and Python
// buffers held in place. What keeps what alive, and for how long.
#include <string.h>

#include "code_helpers.h"

namespace coiltest {
namespace {

class BufferTest : public CodeTest {
 protected:
  Obj View(Obj block, bool writable) {
    return host.callShared<Obj>(
        "Python3Entity", "FromMemoryBlock(block as MemoryBlock, writable as Boolean) as Python3Entity",
        block, int8_t(writable));
  }
  Obj Buffer(Obj holder, bool writable) {
    return host.call<Obj>(holder, "GetBuffer(writable as Boolean) as Python3Buffer",
                          int8_t(writable));
  }
  Obj Field(Obj m, const std::string& name) {
    return host.call<Obj>(m, "EntityField(name as String) as Python3EntityBase", S(name).get());
  }
  void SetField(Obj m, const std::string& name, Obj value) {
    host.assign(m, "EntityField(name as String) as Python3EntityBase", S(name).get(), value);
  }
  int32_t Call(Obj m, const std::string& function) {
    Ref f(GetFunction(m, function));
    Ref r(Invoke(f, nullptr));
    EXPECT_NE(r.get(), nullptr) << function << ": " << GetError();
    return r.get() ? ResultInt(r) : -99;
  }
  void* Data(Obj b) { return host.prop<void*>(b, "Data"); }
  int64_t Size(Obj b) { return host.prop<int64_t>(b, "Size"); }
  void Release(Obj b) { host.call<void>(b, "Release()"); }
};

// The view shares the block's bytes both ways and keeps the block alive
// after the host let go, through slices too, until Python lets go of the
// last of them.
TEST_F(BufferTest, AViewSharesTheBlockAndKeepsItAlive) {
  Ref m(Exec("def first():\n    return view[0]\n"
             "def poke():\n    view[1] = 200\n    return 0\n"
             "def keep_slice():\n    global part, view\n    part = view[2:]\n    view = None\n"
             "    return len(part)\n"
             "def last_of_part():\n    return part[-1]\n"
             "def drop():\n    global part\n    part = None\n    return 0\n"
             "def shape():\n    return view.ndim * 1000 + view.nbytes * 10 + (view.format == 'B')\n"));
  ASSERT_NE(m.get(), nullptr);
  const size_t before = host.liveObjects();
  Obj block = host.newMemoryBlock(std::string("\x05\x06\x07\x08", 4));
  {
    Ref view(View(block, true));
    ASSERT_NE(view.get(), nullptr) << GetError();
    SetField(m, "view", view);
  }
  EXPECT_EQ(Call(m, "shape"), 1041);
  static_cast<unsigned char*>(host.memoryBlockData(block))[0] = 42;
  EXPECT_EQ(Call(m, "first"), 42) << "Python did not see the host's write";
  EXPECT_EQ(Call(m, "poke"), 0);
  EXPECT_EQ(static_cast<unsigned char*>(host.memoryBlockData(block))[1], 200)
      << "the host did not see Python's write";

  host.unlock(block);  // the host's own reference goes; the slice still reads it
  EXPECT_EQ(Call(m, "keep_slice"), 2);
  EXPECT_EQ(Call(m, "last_of_part"), 8);
  EXPECT_GT(host.liveObjects(), before) << "the block went while Python held a slice of it";
  EXPECT_EQ(Call(m, "drop"), 0);
  EXPECT_EQ(host.liveObjects(), before) << "the block outlived the last view";
}

TEST_F(BufferTest, AReadOnlyViewAndBadBlocks) {
  Ref block(host.newMemoryBlock("abc"));
  Ref m(Exec("def write():\n    view[0] = 1\n    return 0\n"));
  Ref view(View(block, false));
  SetField(m, "view", view);
  Ref f(GetFunction(m, "write"));
  EXPECT_EQ(Ref(Invoke(f, nullptr)).get(), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
  EXPECT_EQ(host.memoryBlockBytes(block), "abc");

  EXPECT_EQ(View(nullptr, true), nullptr);
  EXPECT_TRUE(PendingIs("ValueError"));
  Ref empty(host.newMemoryBlock(""));
  Ref none(View(empty, true));
  ASSERT_NE(none.get(), nullptr);
  EXPECT_EQ(host.prop<int32_t>(none, "Length"), 0);
}

// A buffer holds the exporter's memory in place: a bytearray cannot grow
// until it is released, by Release or by the holder's end; Release twice is
// harmless; writes through Data reach Python.
TEST_F(BufferTest, ABufferHoldsTheExporterUntilReleased) {
  Ref m(Exec("data = bytearray(b'hello')\n"
             "frozen = b'abc'\n"
             "stepped = memoryview(b'abcdef')[::2]\n"
             "def grow():\n"
             "    try:\n        data.extend(b'!')\n    except BufferError:\n        return 0\n"
             "    return 1\n"
             "def first():\n    return data[0]\n"));
  Ref data(Field(m, "data"));
  Ref b(Buffer(data, true));
  ASSERT_NE(b.get(), nullptr) << GetError();
  EXPECT_EQ(Size(b), 5);
  EXPECT_EQ(host.prop<int32_t>(b, "ItemSize"), 1);
  EXPECT_EQ(host.prop<int32_t>(b, "Dimensions"), 1);
  EXPECT_EQ(host.call<int64_t>(b, "Shape(dimension as Integer) as Int64", int32_t(0)), 5);
  EXPECT_EQ(host.call<int64_t>(b, "Shape(dimension as Integer) as Int64", int32_t(1)), 0);
  EXPECT_FALSE(host.prop<int8_t>(b, "ReadOnly"));
  EXPECT_EQ(memcmp(Data(b), "hello", 5), 0);
  static_cast<char*>(Data(b))[0] = 'j';
  EXPECT_EQ(Call(m, "first"), 'j');
  EXPECT_EQ(Call(m, "grow"), 0) << "the bytearray moved while a buffer held it";
  Ref copy(host.call<Obj>(b, "ToMemoryBlock() as MemoryBlock"));
  EXPECT_EQ(host.memoryBlockBytes(copy), "jello");
  Release(b);
  Release(b);
  EXPECT_EQ(Data(b), nullptr);
  EXPECT_EQ(Size(b), 0);
  EXPECT_EQ(Call(m, "grow"), 1);

  Ref again(Buffer(data, false));
  again.reset();  // the holder's end gives the buffer back
  EXPECT_EQ(Call(m, "grow"), 1);

  Ref frozen(Field(m, "frozen"));
  EXPECT_EQ(Buffer(frozen, true), nullptr);
  EXPECT_TRUE(PendingIs("BufferError"));
  Ref reading(Buffer(frozen, false));
  EXPECT_TRUE(host.prop<int8_t>(reading, "ReadOnly"));
  Ref stepped(Field(m, "stepped"));
  EXPECT_EQ(Buffer(stepped, false), nullptr);
  EXPECT_TRUE(PendingIs("BufferError"));
  Ref noBuffer(host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity",
                                    int32_t(1)));
  EXPECT_EQ(Buffer(noBuffer, false), nullptr);
  EXPECT_TRUE(PendingIs("TypeError"));
}

// numpy, where the Python under test has it: an array made over a host
// block shares the block's memory, and an array's own data is read in place.
TEST_F(BufferTest, NumpySharesHostMemory) {
  Ref m(Run("import numpy\n"
            "def total():\n    return int(numpy.frombuffer(view, dtype=numpy.uint8).sum())\n"
            "def double():\n    a = numpy.frombuffer(view, dtype=numpy.uint8)\n    a *= 2\n"
            "    return 0\n"
            "grid = numpy.arange(12, dtype=numpy.int32).reshape(3, 4)\n"));
  if (!m.get()) {
    ClearError();
    GTEST_SKIP() << "numpy is not installed for this Python";
  }
  Ref block(host.newMemoryBlock(std::string("\x01\x02\x03", 3)));
  Ref view(View(block, true));
  SetField(m, "view", view);
  EXPECT_EQ(Call(m, "total"), 6);
  EXPECT_EQ(Call(m, "double"), 0);
  EXPECT_EQ(host.memoryBlockBytes(block), std::string("\x02\x04\x06", 3));
  Ref grid(Field(m, "grid"));
  Ref b(Buffer(grid, true));
  ASSERT_NE(b.get(), nullptr) << GetError();
  EXPECT_EQ(host.prop<int32_t>(b, "Dimensions"), 2);
  EXPECT_EQ(host.call<int64_t>(b, "Shape(dimension as Integer) as Int64", int32_t(1)), 4);
  EXPECT_EQ(host.prop<int32_t>(b, "ItemSize"), 4);
  EXPECT_EQ(static_cast<int32_t*>(Data(b))[11], 11);
}

// Views and buffers kept across Finalize: the block's reference is given
// back by Finalize, the buffer answers as released, and letting either go
// afterwards touches nothing.
TEST_F(BufferTest, ViewsAndBuffersOutliveTheInterpreterHarmlessly) {
  Obj block = host.newMemoryBlock("kept");
  Ref view(View(block, true));
  host.unlock(block);
  Ref b(Buffer(view, true));
  ASSERT_NE(b.get(), nullptr) << GetError();
  EXPECT_EQ(Data(b), host.memoryBlockData(block));
  host.callShared<void>("Coilwork", "Finalize()");
  EXPECT_EQ(host.liveObjects("MemoryBlock"), 0u) << "Finalize kept the block of a view";
  EXPECT_EQ(Data(b), nullptr);
  EXPECT_EQ(Size(b), 0);
  Release(b);
  EnsureInterpreter();
  EXPECT_EQ(Data(b), nullptr);
  b.reset();
  view.reset();
  EXPECT_FALSE(ErrorOccurred());
  startObjects = host.liveObjects();
  startStrings = host.liveStrings();
}

}  // namespace
}  // namespace coiltest
