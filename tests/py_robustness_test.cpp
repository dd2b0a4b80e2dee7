// Regressions of what fuzzing host call sequences found: each case is the
// shortest host program that brought the process down or lost a reference.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "code_helpers.h"
#include "python/pyapi.h"

namespace coiltest {
namespace {

Host& H() { return Host::get(); }

// A host function answering 7, as a host program writes it.
void* Seven(void*, void*) {
  Ref r(H().create("Python3Result", "Constructor(value as Int32)", int32_t(7)));
  return H().call<void*>(r, "GetPtr() as Ptr");
}

Obj gPublished;
void* CreatePublished() { return H().call<void*>(gPublished, "ModuleCreateProc() as Ptr"); }

class RobustnessTest : public CodeTest {
 protected:
  void TearDown() override {
    ClearError();
    CodeTest::TearDown();
  }
  void Finalize() { host.callShared<void>("Coilwork", "Finalize()"); }
  void Init() { EnsureInterpreter(); }
  // A new interpreter, and the live counts to come back to: what earlier
  // tests left inside Python goes with the old one.
  void Restart() {
    Finalize();
    Init();
    startObjects = host.liveObjects();
    startStrings = host.liveStrings();
  }
};

// A method count near the UInt32 limit asked for the tables at once: 64 GiB
// of memory, an abort under a sanitizer and no slots at all where the
// allocation fails. The tables hold a bounded number of slots instead, and
// the functions registered work.
TEST_F(RobustnessTest, HugeMethodCountsKeepModulesAndClassesUsable) {
  Restart();
  {
    Ref m(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                      S("cw_huge").get(), uint32_t(0xFFFFFFFF)));
    Ref c(host.create("Python3XojoClass",
                      "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                      S("Huge").get(), uint32_t(0xFFFFFFFF), static_cast<void*>(nullptr)));
    host.call<void>(m, "RegisterFunction(name as String, fuction as Ptr)", S("seven").get(),
                    reinterpret_cast<void*>(&Seven));
    host.call<void>(c, "RegisterFunction(name as String, fuction as Ptr)", S("seven").get(),
                    reinterpret_cast<void*>(&Seven));
    host.call<void>(m, "AddClass(classToAdd as Python3XojoClass)", c.get());
    gPublished = m.get();
    host.callShared<void>(
        "Coilwork",
        "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)",
        m.get(), reinterpret_cast<void*>(&CreatePublished));
    Ref r(Exec("import cw_huge\na = cw_huge.seven()\nb = cw_huge.Huge().seven()\n"));
    ASSERT_NE(r.get(), nullptr);
    EXPECT_EQ(Int32(r, "a"), 7);
    EXPECT_EQ(Int32(r, "b"), 7);
  }
  Finalize();  // lets the registration go
  gPublished = nullptr;
  Init();
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

// A parameter count near the Integer limit made Python fill a 16 GiB tuple
// on a 64-bit machine. Such a count makes no tuple, as a 32-bit Python
// answers it: MemoryError pending, an empty object.
TEST_F(RobustnessTest, HugeParameterCountsMakeNoTuple) {
  for (int32_t count : {int32_t(0x7FFFFFFF), int32_t((1 << 24) + 1)}) {
    Ref p(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", count));
    EXPECT_EQ(host.prop<int32_t>(p, "Count"), 0) << count;
    EXPECT_EQ(host.prop<int32_t>(p, "LastError"), 0) << count;
    EXPECT_TRUE(PendingIs("MemoryError")) << count;
    host.assign(p, "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(5));
    EXPECT_EQ(host.prop<int32_t>(p, "LastError"), 0) << count;  // no tuple: nothing done
    EXPECT_FALSE(ErrorOccurred());
  }
  Ref small(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(3)));
  EXPECT_EQ(host.prop<int32_t>(small, "Count"), 3);
  EXPECT_FALSE(ErrorOccurred());
}

// A host object put into Python through a capsule that a host holder still
// held when the interpreter stopped: the holder let go afterwards cannot
// tell Python, so the capsule was never freed and the host object never
// released. Finalize gives such references back; the old capsule no longer
// stands for the object in a later interpreter.
TEST_F(RobustnessTest, CapsulesLeftAtFinalizeReleaseTheirObjects) {
  Restart();
  Obj block = host.newMemoryBlock("payload");
  Obj kept = host.create("Python3Result", "Constructor(value as Object)", block);
  Obj alsoKept = host.create("Python3Result", "Constructor(value as Object)", block);
  host.unlock(block);
  EXPECT_EQ(host.refCount(block), 2);  // one per capsule
  Finalize();
  EXPECT_EQ(host.liveObjects("MemoryBlock"), 0u);  // both capsules gave theirs back
  host.unlock(kept);                               // no Python call after Finalize
  Init();
  EXPECT_EQ(host.call<Obj>(alsoKept, "ObjectValue() as Object"), nullptr);
  EXPECT_EQ(host.call<int8_t>(alsoKept, "IsObject() as Boolean"), 0);
  host.unlock(alsoKept);  // the old capsule is not touched in the new interpreter
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

// The same object through capsules Python itself keeps (a module global):
// Python frees them when it stops, and each gives its reference back once.
TEST_F(RobustnessTest, CapsulesPythonKeepsAreReleasedOnceAtFinalize) {
  Restart();
  Ref m(Import("cw_keeps", "x = None\n"));
  ASSERT_NE(m.get(), nullptr);
  Obj block = host.newMemoryBlock("payload");
  host.assign(m, "ObjectField(name as String) as Object", S("x").get(), block);
  Ref e(host.callShared<Obj>("Python3Entity", "FromObject(value as Object) as Python3Entity", block));
  host.unlock(block);
  e.reset();
  EXPECT_EQ(host.refCount(block), 1);
  m.reset();
  Finalize();
  EXPECT_EQ(host.liveObjects("MemoryBlock"), 0u);
  Init();
  EXPECT_EQ(host.liveObjects(), startObjects);
}

// Holders made in one interpreter and kept past Finalize and a new Init:
// Python may have freed their objects' memory when it stopped (3.12 does),
// so they never touch them again. In the new interpreter they answer as
// empty holders, and letting them go makes no Python call.
TEST_F(RobustnessTest, HoldersKeptAcrossARestartAnswerAsEmpty) {
  Restart();
  {
    Ref m(Import("cw_kept_holders", "class K:\n    x = 3\ndef f(*a):\n    return len(a)\n"));
    ASSERT_NE(m.get(), nullptr) << GetError();
    Ref f(GetFunction(m, "f"));
    Ref k(GetClass(m, "K"));
    Ref e(host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity",
                               S("abc").get()));
    Ref list(host.create("Python3List", "Constructor()"));
    host.call<void>(list, "Append(value as Python3EntityBase)", e.get());
    Ref dict(host.create("Python3Dictionary", "Constructor()"));
    host.call<void>(dict, "SetValue(key as String, value as Python3EntityBase)", S("k").get(),
                    e.get());
    Ref args(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
    host.assign(args.get(), "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(4));
    Ref r(Invoke(f, args));
    ASSERT_NE(r.get(), nullptr) << GetError();
    Finalize();
    // While none runs, every holder answers as empty, without a Python call.
    EXPECT_EQ(ResultInt(r), 0);
    EXPECT_EQ(host.call<int32_t>(args, "Int32Value(index as Integer) as Int32", int32_t(0)), 0);
    host.assign(args.get(), "Int32Value(index as Integer) as Int32", int32_t(5), int32_t(1));
    EXPECT_EQ(host.prop<int32_t>(args, "LastError"), 0);  // no tuple: nothing happens
    EXPECT_EQ(host.prop<int32_t>(list, "Count"), 0);
    EXPECT_EQ(host.prop<Str>(e, "StringValue"), nullptr);
    EXPECT_EQ(Invoke(f, args), nullptr);
    Init();
    EXPECT_EQ(ResultInt(r), 0);
    host.call<void>(list, "Append(value as Python3EntityBase)", e.get());
    EXPECT_EQ(host.prop<int32_t>(list, "Count"), 0);
    EXPECT_EQ(host.prop<Str>(e, "StringValue"), nullptr);
    EXPECT_EQ(host.call<Obj>(dict, "GetValue(key as String) as Python3Entity", S("k").get()),
              nullptr);
    EXPECT_EQ(host.prop<int32_t>(args, "Count"), 0);
    EXPECT_EQ(CreateInstance(k), nullptr);
    EXPECT_EQ(Invoke(f, args), nullptr);
    EXPECT_EQ(host.call<int8_t>(m, "HasAttribute(name as String) as Boolean", S("f").get()), 0);
    EXPECT_FALSE(ErrorOccurred());
    // New holders work as usual beside the old ones.
    Ref fresh(host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity",
                                   int32_t(7)));
    host.call<void>(list, "Append(value as Python3EntityBase)", fresh.get());
    EXPECT_EQ(host.prop<int32_t>(fresh, "Int32Value"), 7);
  }
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

// SetError handed Python the message's bytes as stored: a Latin-1 or UTF-16
// message lost its text, and newer Pythons raised a UnicodeDecodeError in
// place of the type asked for. The message goes as UTF-8 text; what the host
// cannot give as UTF-8 raises the type asked for with an empty message.
TEST_F(RobustnessTest, SetErrorRaisesTheTypeAskedForWhateverTheEncoding) {
  const char kSetError[] = "SetError(errorType as Integer, message as String)";
  struct Case {
    SRef message;
    std::string expected;
  } cases[] = {
      {SRef(host.newString("caf\xe9", emuhost::kLatin1)), "caf\xc3\xa9"},
      {SRef(host.newString(std::string("h\0i\0", 4), emuhost::kUTF16)), "hi"},
      {SRef(host.newString("\xff\xfe", emuhost::kUTF8)), ""},
      {SRef(host.newString(std::string("cut\0here", 8))), "cut"},
  };
  for (Case& c : cases) {
    host.callShared<void>("Coilwork", kSetError, int32_t(20), c.message.get());
    EXPECT_EQ(GetError(), c.expected);
    host.callShared<void>("Coilwork", kSetError, int32_t(20), c.message.get());
    EXPECT_TRUE(PendingIs("ValueError")) << c.expected;
  }
}

// A host-made module whose Python module object outlived the interpreter (a
// host handle kept it) while the host let the module go: its definition was
// freed, and Python 3.6 and 3.7, whose collector still walks the old
// interpreter's objects, read it in the next interpreter and called through
// whatever had taken its place. Definitions Python was given are kept.
TEST_F(RobustnessTest, ModuleDefinitionsOutliveTheirHostObjects) {
  Restart();
  Ref kept;
  {
    Ref m(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                      S("cw_outlived").get(), uint32_t(1)));
    host.call<void>(m, "RegisterFunction(name as String, fuction as Ptr)", S("seven").get(),
                    reinterpret_cast<void*>(&Seven));
    gPublished = m.get();
    host.callShared<void>(
        "Coilwork",
        "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)",
        m.get(), reinterpret_cast<void*>(&CreatePublished));
    kept.reset(GetModule("cw_outlived"));
    ASSERT_NE(kept.get(), nullptr) << GetError();
    Finalize();
  }
  gPublished = nullptr;
  // What the allocator hands out next takes the place of anything just freed.
  std::vector<void*> filler;
  for (int i = 0; i < 64; ++i) {
    filler.push_back(malloc(sizeof(PyModuleDef)));
    memset(filler.back(), 0x41, sizeof(PyModuleDef));
  }
  Init();
  Ref r(Exec("import gc\nn = gc.collect()\n"));
  EXPECT_NE(r.get(), nullptr);
  for (void* p : filler) free(p);
  kept.reset();
  r.reset();
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

}  // namespace
}  // namespace coiltest
