// The emulated host's own behaviour, reached through the entries a plugin
// would resolve: text conversion, class layout, object lifetimes, member
// look-up, the host classes, typed calls and plugin loading.
#include "emuhost/host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using emuhost::Host;
using emuhost::HostError;
using emuhost::Obj;
using emuhost::Ref;
using emuhost::SRef;
using emuhost::Str;
using emuhost::VType;

template <class F>
F Entry(const char* name) {
  F f = reinterpret_cast<F>(Host::get().resolve(name));
  if (!f) ADD_FAILURE() << "the host has no entry " << name;
  return f;
}

// --- Strings --------------------------------------------------------------------

// Converts a host string with "PluginGetStringData"; false when the host
// refuses. The record is disposed before returning.
bool Convert(Str s, uint32_t encoding, std::string* out) {
  auto get = Entry<int8_t (*)(Str, uint32_t, REALstringData*)>("PluginGetStringData");
  auto dispose = Entry<void (*)(REALstringData*)>("PluginDisposeStringData");
  REALstringData d;
  memset(&d, 0x5A, sizeof d);
  REALstringData before = d;
  if (!get(s, encoding, &d)) {
    EXPECT_EQ(0, memcmp(&d, &before, sizeof d)) << "a failed conversion wrote its record";
    return false;
  }
  const char* p = static_cast<const char*>(d.data);
  out->assign(p, d.length);
  EXPECT_EQ(0, p[d.length]) << "string data not NUL-terminated";
  dispose(&d);
  return true;
}

std::string ConvertOrFail(const std::string& bytes, uint32_t from, uint32_t to) {
  SRef s(Host::get().newString(bytes, from));
  std::string out;
  if (!Convert(s, to, &out)) return "<failed>";
  return out;
}

std::string U16(std::initializer_list<uint16_t> units) {
  std::string out;
  for (uint16_t u : units) out.append(reinterpret_cast<const char*>(&u), 2);
  return out;
}

const std::string kSample = "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E";  // é € U+1D11E

TEST(HostStrings, ConvertsBetweenEveryPairOfEncodings) {
  using namespace emuhost;
  EXPECT_EQ(ConvertOrFail(kSample, kUTF8, kUTF16), U16({0xE9, 0x20AC, 0xD834, 0xDD1E}));
  EXPECT_EQ(ConvertOrFail(U16({0xE9, 0x20AC, 0xD834, 0xDD1E}), kUTF16, kUTF8), kSample);
  EXPECT_EQ(ConvertOrFail("\x80\x8A\x9F\xE9", kWinLatin1, kUTF8),
            "\xE2\x82\xAC\xC5\xA0\xC5\xB8\xC3\xA9");
  EXPECT_EQ(ConvertOrFail("\xE2\x82\xAC\xC3\xA9", kUTF8, kWinLatin1), "\x80\xE9");
  EXPECT_EQ(ConvertOrFail("\xE9\x80", kLatin1, kUTF8), "\xC3\xA9\xC2\x80");
  EXPECT_EQ(ConvertOrFail("\xC3\xA9", kUTF8, kLatin1), "\xE9");
  EXPECT_EQ(ConvertOrFail("plain", kASCII, kUTF16), U16({'p', 'l', 'a', 'i', 'n'}));
  EXPECT_EQ(ConvertOrFail(U16({'o', 'k'}), kUTF16, kASCII), "ok");
  // Zero bytes are text like any other.
  EXPECT_EQ(ConvertOrFail(std::string("a\0b", 3), kUTF8, kUTF8), std::string("a\0b", 3));
  // Raw bytes asked for: the bytes as stored.
  EXPECT_EQ(ConvertOrFail("\xE9", kLatin1, kUnknown), "\xE9");
  EXPECT_EQ(ConvertOrFail(std::string("\xFF\x00\x01", 3), kUnknown, kUnknown),
            std::string("\xFF\x00\x01", 3));
  EXPECT_EQ(ConvertOrFail("caf\xC3\xA9", kUnknown, kUTF8), "caf\xC3\xA9");
}

TEST(HostStrings, RefusesCharactersWithoutFormAndInvalidBytes) {
  using namespace emuhost;
  const char* kFailed = "<failed>";
  // No form in the target.
  EXPECT_EQ(ConvertOrFail("\xE2\x82\xAC", kUTF8, kLatin1), kFailed);
  EXPECT_EQ(ConvertOrFail("\xC3\xA9", kUTF8, kASCII), kFailed);
  EXPECT_EQ(ConvertOrFail("\xC2\x81", kUTF8, kWinLatin1), kFailed);  // U+0081
  EXPECT_EQ(ConvertOrFail("\xE9", kLatin1, kASCII), kFailed);
  // Bytes that are not valid in their own encoding, whatever the target.
  for (const char* bad :
       {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80", "\xFF", "\x80"})
    for (uint32_t to : {kUTF8, kUTF16, kLatin1, kUnknown})
      EXPECT_EQ(ConvertOrFail(bad, kUTF8, to), kFailed) << "bytes " << bad << " to " << to;
  EXPECT_EQ(ConvertOrFail("\x80", kASCII, kUTF8), kFailed);
  EXPECT_EQ(ConvertOrFail("\x81", kWinLatin1, kUTF8), kFailed);
  EXPECT_EQ(ConvertOrFail(U16({0xD834}), kUTF16, kUTF8), kFailed);       // lone high
  EXPECT_EQ(ConvertOrFail(U16({0xDD1E, 'a'}), kUTF16, kUTF8), kFailed);  // lone low
  EXPECT_EQ(ConvertOrFail(U16({'a'}) + "b", kUTF16, kUTF8), kFailed);    // odd length
  // Raw bytes are text only when they are UTF-8.
  EXPECT_EQ(ConvertOrFail("\xFF\xFE", kUnknown, kUTF8), kFailed);
  // An encoding the host does not know.
  EXPECT_EQ(ConvertOrFail("abc", kUTF8, 0x1234), kFailed);
}

TEST(HostStrings, NilStringAndDataBookkeeping) {
  Host& host = Host::get();
  size_t data = host.liveStringData();
  auto get = Entry<int8_t (*)(Str, uint32_t, REALstringData*)>("PluginGetStringData");
  auto dispose = Entry<void (*)(REALstringData*)>("PluginDisposeStringData");
  REALstringData d{};
  ASSERT_EQ(1, get(nullptr, emuhost::kUTF8, &d));
  EXPECT_EQ(0u, d.length);
  ASSERT_NE(nullptr, d.data);
  EXPECT_EQ(0, *static_cast<const char*>(d.data));
  EXPECT_EQ(data + 1, host.liveStringData());
  dispose(&d);
  dispose(&d);  // a second dispose of the same record does nothing
  EXPECT_EQ(data, host.liveStringData());
  EXPECT_EQ(0, get(nullptr, emuhost::kUTF8, nullptr));
}

TEST(HostStrings, ReferencesAndStoredBytes) {
  Host& host = Host::get();
  size_t live = host.liveStrings();
  auto build = Entry<Str (*)(const char*, size_t, uint32_t)>("REALBuildStringWithEncoding");
  auto lock = Entry<void (*)(Str)>("REALLockString");
  auto unlock = Entry<void (*)(Str)>("REALUnlockString");
  auto cstring = Entry<const char* (*)(Str)>("StringGetCString");
  Str s = build("x\0y", 3, emuhost::kLatin1);
  EXPECT_EQ(live + 1, host.liveStrings());
  EXPECT_EQ(std::string("x\0y", 3), host.bytes(s));
  EXPECT_EQ(emuhost::kLatin1, host.encoding(s));
  EXPECT_EQ(0, memcmp(cstring(s), "x\0y\0", 4));
  lock(s);
  EXPECT_EQ(2, host.stringRefCount(s));
  unlock(s);
  EXPECT_EQ(live + 1, host.liveStrings());
  unlock(s);
  EXPECT_EQ(live, host.liveStrings());
  lock(nullptr);
  unlock(nullptr);
  EXPECT_EQ(nullptr, cstring(nullptr));
}

TEST(HostStrings, CompareTakesBothAsUtf8) {
  Host& host = Host::get();
  auto compare = Entry<int32_t (*)(Str, Str)>("RuntimeStringCompare");
  SRef latin(host.newString("caf\xE9", emuhost::kLatin1));
  SRef utf8(host.newString("caf\xC3\xA9"));
  SRef utf16(host.newString(U16({'c', 'a', 'f', 0xE9}), emuhost::kUTF16));
  SRef a(host.newString("a")), b(host.newString("b")), ab(host.newString("ab"));
  SRef empty(host.newString(""));
  EXPECT_EQ(0, compare(latin, utf8));
  EXPECT_EQ(0, compare(utf16, utf8));
  EXPECT_LT(compare(a, b), 0);
  EXPECT_GT(compare(b, a), 0);
  EXPECT_LT(compare(a, ab), 0);
  EXPECT_EQ(0, compare(nullptr, empty));
  EXPECT_GT(compare(a, nullptr), 0);
}

TEST(HostStrings, LenBThroughGlobalMethod) {
  Host& host = Host::get();
  auto load = Entry<void* (*)(const char*, const char*)>("REALLoadGlobalMethod");
  auto lenB = reinterpret_cast<int32_t (*)(Str)>(load(nullptr, "LenB( s as string ) as integer"));
  ASSERT_NE(nullptr, lenB);
  EXPECT_EQ(reinterpret_cast<void*>(lenB), load("anything", "lenb(S As String) AS Integer"));
  EXPECT_EQ(nullptr, load(nullptr, "Len(s as String) as Integer"));
  SRef s(host.newString(kSample));
  EXPECT_EQ(int32_t(kSample.size()), lenB(s));
  EXPECT_EQ(0, lenB(nullptr));
}

// The entries plugins read strings with stop the process on anything that is
// not a live string (here a stack word), as every other string entry does,
// rather than reading it as one.
TEST(HostStringsDeathTest, ReadsStopOnWhatIsNotALiveString) {
  auto load = Entry<void* (*)(const char*, const char*)>("REALLoadGlobalMethod");
  auto lenB = reinterpret_cast<int32_t (*)(Str)>(load(nullptr, "LenB( s as string ) as integer"));
  auto encoding = Entry<uint32_t (*)(Str)>("REALGetStringEncoding");
  auto cstring = Entry<const char* (*)(Str)>("StringGetCString");
  uint64_t notAString[4] = {};
  Str bogus = reinterpret_cast<Str>(notAString);
  EXPECT_DEATH(lenB(bogus), "not a live host string");
  EXPECT_DEATH(encoding(bogus), "not a live host string");
  EXPECT_DEATH(cstring(bogus), "not a live host string");
}

// --- Classes of our own: a three-level hierarchy --------------------------------------

std::vector<std::string> gCalls;

struct Tagged {
  unsigned char bytes[1];
};

unsigned char* Block(Obj o, const REALclassDefinition* def) {
  return reinterpret_cast<unsigned char*>(o) + def->forSystemUse;
}

extern REALclassDefinition gBase, gMiddle, gLeaf;

// Each constructor checks its block is zero, then fills it with its own tag,
// so an overlap of blocks shows as a wrong tag.
void Fill(Obj o, const REALclassDefinition* def, unsigned char tag, const char* name) {
  unsigned char* p = Block(o, def);
  for (uintptr_t i = 0; i < def->dataSize; ++i) EXPECT_EQ(0, p[i]) << name << " not zero-filled";
  memset(p, tag, def->dataSize);
  gCalls.push_back(std::string("ctor ") + name);
}

void BaseCtor(Obj o) { Fill(o, &gBase, 0xB1, "Base"); }
void MiddleCtor(Obj o) { Fill(o, &gMiddle, 0xB2, "Middle"); }
void LeafCtor(Obj o) { Fill(o, &gLeaf, 0xB3, "Leaf"); }
void BaseDtor(Obj) { gCalls.push_back("dtor Base"); }
void MiddleDtor(Obj) { gCalls.push_back("dtor Middle"); }
void LeafDtor(Obj o) {
  gCalls.push_back("dtor Leaf");
  // Handing the dying instance around must not destroy it twice.
  Host::get().lock(o);
  Host::get().unlock(o);
}

int32_t BaseValue(Obj o) { return Block(o, &gBase)[0]; }
void BaseSetValue(Obj o, int32_t index, int32_t value) { Block(o, &gBase)[index] = uint8_t(value); }
int32_t BaseIndexed(Obj o, int32_t index) { return Block(o, &gBase)[index]; }
int32_t LeafValue(Obj o) { return Block(o, &gLeaf)[0]; }
int32_t SharedTwice(int32_t n) { return 2 * n; }
Str BaseLabel(Obj, intptr_t param) {
  return Host::get().newString("label " + std::to_string(param));
}

REALmethodDefinition gBaseMethods[] = {
    {REALproc(BaseValue), nullptr, "Value() as Integer", REALmemberFlag, 0, 0},
    {REALproc(BaseIndexed), REALproc(BaseSetValue), "Byte(index as Integer) as Int32",
     REALmemberFlag, 0, 0},
};
REALmethodDefinition gLeafMethods[] = {
    // Overrides the base's method of the same declaration, written differently.
    {REALproc(LeafValue), nullptr, "VALUE ( )  AS integer", REALmemberFlag, 0, 0},
};
REALmethodDefinition gBaseShared[] = {
    {REALproc(SharedTwice), nullptr, "Twice(n as Integer) as Integer", REALmemberFlag, 0, 0},
};
REALproperty gBaseProperties[] = {
    {nullptr, "Label", "String", REALmemberFlag, REALproc(BaseLabel), nullptr, 7, {}},
};
REALevent gBaseEvents[] = {{"Changed(what as String)", 0, 0, 0}, {"Gone()", 0, 0, 0}};

#define RECORD(name, super, size, ctor, dtor, props, nprops, methods, nmethods, events, nevents, \
               shared, nshared)                                                                  \
  {                                                                                              \
    13, name, super, size, 0, REALproc(ctor), REALproc(dtor), props, nprops, methods, nmethods,  \
        events, nevents, nullptr, 0, "", nullptr, 0, nullptr, 0, 0, nullptr, 0, shared, nshared, \
        nullptr, 0, nullptr, 0                                                                   \
  }

REALclassDefinition gBase = RECORD("HostTestBase", nullptr, 5, BaseCtor, BaseDtor, gBaseProperties,
                                   1, gBaseMethods, 2, gBaseEvents, 2, gBaseShared, 1);
REALclassDefinition gMiddle = RECORD("HostTestMiddle", "HostTestBase", 0, MiddleCtor, MiddleDtor,
                                     nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
REALclassDefinition gLeaf = RECORD("HostTestLeaf", "HostTestMiddle", 13, LeafCtor, LeafDtor,
                                   nullptr, 0, gLeafMethods, 1, nullptr, 0, nullptr, 0);
REALclassDefinition gOrphan = RECORD("HostTestOrphan", "HostTestNoSuchClass", 4, nullptr, nullptr,
                                     nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);

void RegisterTestClasses() {
  static bool done = false;
  if (done) return;
  done = true;
  auto reg = Entry<void (*)(REALclassDefinition*)>("PluginRegisterClass");
  reg(&gBase);
  reg(&gMiddle);
  reg(&gLeaf);
  reg(&gOrphan);
}

class HostClasses : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterTestClasses();
    gCalls.clear();
  }
  Host& host = Host::get();
  REALclassRef (*objectType)(const char*) =
      Entry<REALclassRef (*)(const char*)>("pluginObjectType");
  Obj (*create)(REALclassRef) = Entry<Obj (*)(REALclassRef)>("CreateInstance");
};

TEST_F(HostClasses, DataBlocksAreAlignedAndNeverOverlap) {
  const REALclassDefinition* defs[] = {&gBase, &gMiddle, &gLeaf};
  for (const REALclassDefinition* d : defs) {
    EXPECT_NE(0u, d->forSystemUse) << d->name << ": offset 0 is the instance header";
    EXPECT_EQ(0u, d->forSystemUse % sizeof(void*)) << d->name;
  }
  for (const REALclassDefinition* a : defs) {
    for (const REALclassDefinition* b : defs) {
      if (a == b || !a->dataSize || !b->dataSize) continue;
      EXPECT_TRUE(a->forSystemUse + a->dataSize <= b->forSystemUse ||
                  b->forSystemUse + b->dataSize <= a->forSystemUse)
          << a->name << " and " << b->name << " overlap";
    }
  }
  Ref leaf(create(objectType("HostTestLeaf")));
  ASSERT_NE(nullptr, leaf.get());
  for (uintptr_t i = 0; i < gBase.dataSize; ++i) EXPECT_EQ(0xB1, Block(leaf, &gBase)[i]);
  for (uintptr_t i = 0; i < gLeaf.dataSize; ++i) EXPECT_EQ(0xB3, Block(leaf, &gLeaf)[i]);
  EXPECT_EQ(1, host.refCount(leaf));
}

TEST_F(HostClasses, ConstructorsRunDownDestructorsUp) {
  size_t leaves = host.liveObjects("HostTestLeaf");
  size_t all = host.liveObjects();
  Obj o = create(objectType("HostTestLeaf"));
  EXPECT_EQ(leaves + 1, host.liveObjects("HostTestLeaf"));
  EXPECT_EQ(all + 1, host.liveObjects());
  auto lock = Entry<void (*)(Obj)>("REALLockObject");
  auto unlock = Entry<void (*)(Obj)>("REALUnlockObject");
  lock(o);
  unlock(o);
  EXPECT_EQ(3u, gCalls.size()) << "destroyed while still referenced";
  unlock(o);
  EXPECT_EQ((std::vector<std::string>{"ctor Base", "ctor Middle", "ctor Leaf", "dtor Leaf",
                                      "dtor Middle", "dtor Base"}),
            gCalls);
  EXPECT_EQ(leaves, host.liveObjects("HostTestLeaf"));
  EXPECT_EQ(all, host.liveObjects());
  lock(nullptr);
  unlock(nullptr);
}

TEST_F(HostClasses, RegistrationAndInstancesByRecord) {
  EXPECT_EQ(nullptr, objectType("HostTestOrphan")) << "superclass was not registered";
  EXPECT_EQ(nullptr, objectType("NoSuchClass"));
  EXPECT_EQ(nullptr, objectType(nullptr));
  for (const char* name : {"ObjectArray", "MemoryBlock", "FolderItem", "HostTestBase"}) {
    EXPECT_NE(nullptr, objectType(name)) << name;
    EXPECT_EQ(objectType(name), objectType(name)) << name;
  }
  EXPECT_EQ(nullptr, create(nullptr));
  auto byRecord = Entry<Obj (*)(REALclassDefinition*)>("PluginNewInstanceOfClass");
  Ref m(byRecord(&gMiddle));
  ASSERT_NE(nullptr, m.get());
  EXPECT_EQ("HostTestMiddle", host.className(m));
  EXPECT_EQ(nullptr, byRecord(&gOrphan));
  auto isa = Entry<int8_t (*)(Obj, REALclassRef)>("RuntimeObjectIsa");
  EXPECT_TRUE(isa(m, objectType("HostTestBase")));
  EXPECT_TRUE(isa(m, objectType("HostTestMiddle")));
  EXPECT_FALSE(isa(m, objectType("HostTestLeaf")));
  EXPECT_FALSE(isa(nullptr, objectType("HostTestBase")));
}

TEST_F(HostClasses, MethodsAreFoundIgnoringCaseAndSpaces) {
  auto load = Entry<void* (*)(Obj, const char*)>("REALLoadObjectMethod");
  Ref leaf(create(objectType("HostTestLeaf")));
  Ref middle(create(objectType("HostTestMiddle")));
  // The most derived declaration wins; superclasses' methods are found too.
  EXPECT_EQ(reinterpret_cast<void*>(LeafValue), load(leaf, "value() as integer"));
  EXPECT_EQ(reinterpret_cast<void*>(BaseValue), load(middle, " Value ( ) As Integer "));
  EXPECT_EQ(reinterpret_cast<void*>(BaseIndexed), load(leaf, "byte(INDEX AS INTEGER)AS INT32"));
  EXPECT_EQ(nullptr, load(leaf, "Value() as Int64"));
  EXPECT_EQ(nullptr, load(leaf, "Twice(n as Integer) as Integer")) << "shared, not instance";
  EXPECT_EQ(nullptr, load(nullptr, "Value() as Integer"));
  // The same typed calls read like host code.
  host.assign(leaf.get(), "Byte(index as Integer) as Int32", int32_t(1), int32_t(42));
  EXPECT_EQ(42, host.call<int32_t>(leaf, "byte(index as integer) as int32", int32_t(1)));
  EXPECT_EQ(0xB3, host.call<int32_t>(leaf, "Value() as Integer"));
  EXPECT_EQ(0xB1, host.call<int32_t>(middle, "Value() as Integer"));
  EXPECT_EQ(14, host.callShared<int32_t>("HostTestLeaf", "Twice(n as Integer) as Integer", 7));
  EXPECT_EQ("VALUE ( )  AS integer",
            host.declarationOf("HostTestLeaf", "value()as integer", false));
  SRef label(host.prop<Str>(leaf, "label"));
  EXPECT_EQ("label 7", label.bytes());
}

TEST_F(HostClasses, PropertiesByNameGoThroughTheRecords) {
  auto getString = Entry<int8_t (*)(Obj, const char*, Str*)>("REALGetPropValueString");
  auto getInt = Entry<int8_t (*)(Obj, const char*, int32_t*)>("REALGetPropValueInt");
  auto setString = Entry<int8_t (*)(Obj, const char*, Str)>("REALSetPropValueString");
  Ref leaf(create(objectType("HostTestLeaf")));
  Str s = nullptr;
  ASSERT_EQ(1, getString(leaf, "LABEL", &s)) << "inherited, name without regard to case";
  SRef label(s);
  EXPECT_EQ("label 7", label.bytes()) << "the record's parameter word reaches the getter";
  int32_t n = -1;
  EXPECT_EQ(0, getInt(leaf, "Label", &n)) << "a String read as an Integer";
  EXPECT_EQ(-1, n);
  EXPECT_EQ(0, setString(leaf, "Label", label)) << "read-only";
  Ref block(Host::get().newMemoryBlock("12345"));
  EXPECT_EQ(1, getInt(block, "Size", &n));
  EXPECT_EQ(5, n);
}

void OnChanged(Obj, Str) {}
void OnGone(Obj) {}

TEST_F(HostClasses, EventsAreAttachedPerInstance) {
  EXPECT_NE(0u, gBaseEvents[0].forSystemUse);
  EXPECT_NE(0u, gBaseEvents[1].forSystemUse);
  EXPECT_NE(gBaseEvents[0].forSystemUse, gBaseEvents[1].forSystemUse);
  auto get = Entry<void* (*)(Obj, uintptr_t)>("GetEventInstance");
  Ref a(create(objectType("HostTestLeaf")));
  Ref b(create(objectType("HostTestLeaf")));
  EXPECT_EQ(nullptr, get(a, gBaseEvents[0].forSystemUse));
  host.setEventHandler(a, "changed( what as string )", reinterpret_cast<void*>(OnChanged));
  host.setEventHandler(a, "Gone()", reinterpret_cast<void*>(OnGone));
  EXPECT_EQ(reinterpret_cast<void*>(OnChanged), get(a, gBaseEvents[0].forSystemUse));
  EXPECT_EQ(reinterpret_cast<void*>(OnGone), get(a, gBaseEvents[1].forSystemUse));
  EXPECT_EQ(nullptr, get(b, gBaseEvents[0].forSystemUse));
  EXPECT_EQ(nullptr, get(nullptr, gBaseEvents[0].forSystemUse));
  host.setEventHandler(a, "Gone()", nullptr);
  EXPECT_EQ(nullptr, get(a, gBaseEvents[1].forSystemUse));
  EXPECT_THROW(host.setEventHandler(a, "Unknown()", reinterpret_cast<void*>(OnGone)), HostError);
}

// --- Host classes ------------------------------------------------------------------------

TEST(HostObjectArray, KeepsReferencesOnItsItems) {
  Host& host = Host::get();
  size_t live = host.liveObjects();
  auto load = Entry<void* (*)(Obj, const char*)>("REALLoadObjectMethod");
  auto create = Entry<Obj (*)(REALclassRef)>("CreateInstance");
  auto type = Entry<REALclassRef (*)(const char*)>("pluginObjectType");
  Obj array = create(type("ObjectArray"));
  auto append = reinterpret_cast<void (*)(Obj, Obj)>(load(array, "Append(item as Object)"));
  auto count = reinterpret_cast<int32_t (*)(Obj)>(load(array, "Count() as Integer"));
  auto getAt =
      reinterpret_cast<Obj (*)(Obj, int32_t)>(load(array, "GetAt(n as Integer) as Object"));
  ASSERT_TRUE(append && count && getAt);
  Obj item = host.newMemoryBlock("x");
  append(array, item);
  append(array, nullptr);
  EXPECT_EQ(2, host.refCount(item));
  host.unlock(item);  // the array's reference keeps it alive
  EXPECT_EQ(2, count(array));
  Obj got = getAt(array, 0);
  EXPECT_EQ(item, got);
  EXPECT_EQ(2, host.refCount(got)) << "GetAt gives one reference to the caller";
  host.unlock(got);
  EXPECT_EQ(nullptr, getAt(array, 1));
  EXPECT_EQ(nullptr, getAt(array, 2));
  EXPECT_EQ(nullptr, getAt(array, -1));
  EXPECT_EQ(item, host.arrayAt(array, 0));
  host.unlock(array);  // releases the items
  EXPECT_EQ(live, host.liveObjects());
}

// Two host threads calling at once: no reference, instance or string is
// lost or counted twice.
TEST(HostThreads, TwoThreadsShareReferencesAndTables) {
  Host& host = Host::get();
  size_t objects = host.liveObjects(), strings = host.liveStrings();
  auto lock = Entry<void (*)(Obj)>("REALLockObject");
  auto unlock = Entry<void (*)(Obj)>("REALUnlockObject");
  auto lockString = Entry<void (*)(Str)>("REALLockString");
  auto unlockString = Entry<void (*)(Str)>("REALUnlockString");
  auto create = Entry<Obj (*)(REALclassRef)>("CreateInstance");
  auto type = Entry<REALclassRef (*)(const char*)>("pluginObjectType");
  REALclassRef array = type("ObjectArray");
  Obj shared = host.newMemoryBlock("x");
  Str text = host.newString("shared");
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      lock(shared);
      lockString(text);
      unlock(create(array));
      SRef own(host.newString("own"));
      unlockString(text);
      unlock(shared);
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(1, host.refCount(shared));
  EXPECT_EQ(1, host.stringRefCount(text));
  host.unlock(shared);
  host.unlockString(text);
  EXPECT_EQ(objects, host.liveObjects());
  EXPECT_EQ(strings, host.liveStrings());
}

TEST(HostMemoryBlock, ZeroedBlockOfTheAskedSize) {
  Host& host = Host::get();
  size_t live = host.liveObjects();
  auto load = Entry<void* (*)(Obj, const char*)>("REALLoadObjectMethod");
  auto size = Entry<int32_t (*)(Obj)>("memoryBlockGetSize");
  Ref block(host.newInstance("MemoryBlock"));
  EXPECT_EQ(0, size(block));
  auto ctor =
      reinterpret_cast<void (*)(Obj, int32_t)>(load(block, "Constructor(bytes as Integer)"));
  auto ptr = reinterpret_cast<void* (*)(Obj)>(load(block, "Operator_Convert() as Ptr"));
  ASSERT_TRUE(ctor && ptr);
  ctor(block, 64);
  EXPECT_EQ(64, size(block));
  EXPECT_EQ(std::string(64, '\0'), host.memoryBlockBytes(block));
  memcpy(ptr(block), "data", 4);
  EXPECT_EQ("data", host.memoryBlockBytes(block).substr(0, 4));
  ctor(block, -5);
  EXPECT_EQ(0, size(block));
  EXPECT_NE(nullptr, ptr(block));
  Ref copy(host.newMemoryBlock(std::string("a\0b", 3)));
  EXPECT_EQ(std::string("a\0b", 3), host.memoryBlockBytes(copy));
  EXPECT_EQ(0, size(nullptr));
  Ref array(host.newObjectArray());
  EXPECT_EQ(0, size(array)) << "not a MemoryBlock";
  block.reset();
  copy.reset();
  array.reset();
  EXPECT_EQ(live, host.liveObjects());
}

class HostFolderItem : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/emuhost-test-XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir + "/file.txt") << "x";
    startObjects = host.liveObjects();
    startStrings = host.liveStrings();
  }
  void TearDown() override {
    unlink((dir + "/file.txt").c_str());
    rmdir(dir.c_str());
    EXPECT_EQ(startObjects, host.liveObjects());
    EXPECT_EQ(startStrings, host.liveStrings());
  }
  std::string Text(Obj f, const char* name) {
    Str s = nullptr;
    EXPECT_EQ(1, getString(f, name, &s)) << name;
    SRef owned(s);
    return owned.bytes();
  }
  bool Flag(Obj f, const char* name) {
    int8_t v = -1;
    EXPECT_EQ(1, getBool(f, name, &v)) << name;
    return v != 0;
  }
  Host& host = Host::get();
  std::string dir;
  size_t startObjects = 0, startStrings = 0;
  int8_t (*getString)(Obj, const char*,
                      Str*) = Entry<int8_t (*)(Obj, const char*, Str*)>("REALGetPropValueString");
  int8_t (*getObject)(Obj, const char*,
                      Obj*) = Entry<int8_t (*)(Obj, const char*, Obj*)>("REALGetPropValueObject");
  int8_t (*getBool)(Obj, const char*,
                    int8_t*) = Entry<int8_t (*)(Obj, const char*, int8_t*)>("REALGetPropValueBool");
};

TEST_F(HostFolderItem, PathNameExistsDirectory) {
  Ref file(host.folderItem(dir + "//./file.txt/"));
  EXPECT_EQ(dir + "/file.txt", Text(file, "NativePath"));
  EXPECT_EQ("file.txt", Text(file, "name"));
  EXPECT_TRUE(Flag(file, "Exists"));
  EXPECT_FALSE(Flag(file, "Directory"));
  Ref folder(host.folderItem(dir));
  EXPECT_TRUE(Flag(folder, "Exists"));
  EXPECT_TRUE(Flag(folder, "Directory"));
  Ref missing(host.folderItem(dir + "/missing"));
  EXPECT_FALSE(Flag(missing, "Exists"));
  EXPECT_FALSE(Flag(missing, "Directory"));
  Str s = nullptr;
  EXPECT_EQ(0, getString(file, "Exists", &s)) << "a Boolean read as a String";
  EXPECT_EQ(0, getString(file, "NoSuchProperty", &s));
  EXPECT_EQ(0, getString(nullptr, "Name", &s));
  EXPECT_EQ(nullptr, s);
  Ref array(host.newObjectArray());
  EXPECT_EQ(0, getString(array, "Name", &s));
}

TEST_F(HostFolderItem, ParentChainEndsAtRoot) {
  Ref f(host.folderItem(dir + "/file.txt"));
  std::vector<std::string> paths;
  for (int guard = 0; f.get() && guard < 64; ++guard) {
    paths.push_back(Text(f, "NativePath"));
    Obj parent = reinterpret_cast<Obj>(1);
    EXPECT_EQ(1, getObject(f, "Parent", &parent));
    if (parent) {
      EXPECT_EQ(1, host.refCount(parent)) << "Parent carries one reference for the caller";
      EXPECT_TRUE(Flag(parent, "Directory"));
    }
    f.reset(parent);
  }
  ASSERT_GE(paths.size(), 3u);
  EXPECT_EQ(dir + "/file.txt", paths[0]);
  EXPECT_EQ(dir, paths[1]);
  EXPECT_EQ("/tmp", paths[paths.size() - 2]);
  EXPECT_EQ("/", paths.back());
}

// --- Typed calls ---------------------------------------------------------------------------

TEST(HostDeclaration, ParsesHostDeclarations) {
  using emuhost::Declaration;
  Declaration d = Declaration::parse("Int32Value(index as Integer) as Int32");
  EXPECT_EQ("Int32Value", d.name);
  EXPECT_EQ(std::vector<VType>{VType::Int32}, d.params);
  EXPECT_EQ(VType::Int32, d.result);
  d = Declaration::parse("Init()");
  EXPECT_EQ("Init", d.name);
  EXPECT_TRUE(d.params.empty());
  EXPECT_EQ(VType::Void, d.result);
  d = Declaration::parse(
      "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
      "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean");
  EXPECT_EQ(std::vector<VType>{VType::Int32}, d.params);
  EXPECT_EQ(VType::Boolean, d.result);
  EXPECT_EQ(VType::Ptr, Declaration::parse("Operator_Convert() As Ptr").result);
  d = Declaration::parse(
      "Mixed(a as String, b AS uint32, c as Int64, d as UInt64, e as Double, f as FolderItem, "
      "g as MemoryBlock, h as Python3Module, i as Color, j as Object) as Python3Result");
  EXPECT_EQ((std::vector<VType>{VType::String, VType::UInt32, VType::Int64, VType::UInt64,
                                VType::Double, VType::Object, VType::Object, VType::Object,
                                VType::Int32, VType::Object}),
            d.params);
  EXPECT_EQ(VType::Object, d.result);
  EXPECT_EQ(
      2u,
      Declaration::parse("LenB( s as string, t as string = \"a,b\" ) as integer").params.size());
  EXPECT_THROW(Declaration::parse("Broken(a Integer)"), HostError);
  EXPECT_THROW(Declaration::parse("Broken(a as Integer"), HostError);
  EXPECT_THROW(Declaration::parse("Broken() as"), HostError);
  EXPECT_THROW(Declaration::parse("Arr(a() as Integer)"), HostError);
}

TEST(HostDeclaration, CheckCallNamesTheMismatch) {
  Host& host = Host::get();
  auto d = emuhost::Declaration::parse("F(a as Integer, b as String) as Boolean");
  EXPECT_NO_THROW(host.checkCall(d, {VType::Int32, VType::String}, VType::Boolean, "F"));
  try {
    host.checkCall(d, {VType::Int32}, VType::Boolean, "F");
    ADD_FAILURE() << "count mismatch not reported";
  } catch (const HostError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("called with 1"));
  }
  try {
    host.checkCall(d, {VType::Int64, VType::String}, VType::Boolean, "F");
    ADD_FAILURE() << "type mismatch not reported";
  } catch (const HostError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("parameter 1"));
  }
  EXPECT_THROW(host.checkCall(d, {VType::Int32, VType::String}, VType::Int32, "F"), HostError);
  Ref block(host.newMemoryBlock("abc"));
  EXPECT_THROW(host.call<int32_t>(block, "Constructor(bytes as Integer)", int32_t(1)), HostError);
  EXPECT_THROW(host.call<void>(block, "Constructor(bytes as Integer)", int64_t(1)), HostError);
  EXPECT_THROW(host.call<void>(block, "NoSuchMethod()"), HostError);
  EXPECT_THROW(host.call<void>(nullptr, "Constructor(bytes as Integer)", int32_t(1)), HostError);
  host.call<void>(block, "constructor(BYTES as integer)", int32_t(8));
  EXPECT_EQ(std::string(8, '\0'), host.memoryBlockBytes(block));
}

// --- Entries and loading ---------------------------------------------------------------

int32_t FakeSize(Obj) { return 99; }

TEST(HostEntries, OverridesAndLookupCounts) {
  Host& host = Host::get();
  host.clearLookupCounts();
  void* own = host.resolve("memoryBlockGetSize");
  ASSERT_NE(nullptr, own);
  host.setEntry("memoryBlockGetSize", reinterpret_cast<void*>(FakeSize));
  EXPECT_EQ(reinterpret_cast<void*>(FakeSize), host.resolve("memoryBlockGetSize"));
  host.setEntry("SomethingNew", reinterpret_cast<void*>(FakeSize));
  EXPECT_EQ(reinterpret_cast<void*>(FakeSize), Host::resolver()("SomethingNew"));
  host.removeEntry("REALLockObject");
  EXPECT_EQ(nullptr, host.resolve("REALLockObject"));
  host.restoreEntries();
  EXPECT_EQ(own, host.resolve("memoryBlockGetSize"));
  EXPECT_NE(nullptr, host.resolve("REALLockObject"));
  EXPECT_EQ(nullptr, host.resolve("SomethingNew"));
  EXPECT_EQ(nullptr, host.resolve("NoSuchEntry"));
  EXPECT_EQ(3, host.lookupCount("memoryBlockGetSize"));
  EXPECT_EQ(2, host.lookupCount("SomethingNew"));
  EXPECT_EQ(1, host.lookupCount("NoSuchEntry"));
  EXPECT_EQ(0, host.lookupCount("NeverAsked"));
}

const std::vector<std::string> kPluginClasses = {
    "Python3EntityBase",     "Python3Entity",    "Python3Bytes",      "Python3List",
    "CoilworkConsoleOutput", "Python3Object",    "Python3Result",     "Python3Parameters",
    "Python3Dictionary",     "Python3Iterator",  "Python3Buffer",     "Python3Function",   "Python3Class",
    "Python3Instance",       "Python3Module",    "Python3XojoClass",  "Python3XojoModule",
    "Coilwork",              "Python3Interpreter"};

std::vector<std::string> ExpectedLog() {
  std::vector<std::string> log{"version 13"};
  for (const std::string& c : kPluginClasses) log.push_back("class " + c);
  log.push_back("module Python3ErrorTypes");
  return log;
}

// The plugin's registrations, without the classes the tests registered.
std::vector<std::string> PluginPart(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& line : log)
    if (line.find("HostTest") == std::string::npos) out.push_back(line);
  return out;
}

TEST(HostPlugin, LoadsThePluginAndRecordsItsRegistrations) {
  Host& host = Host::get();
  emuhost::Plugin& plugin = host.load();
  ASSERT_NE(nullptr, plugin.handle);
  EXPECT_EQ(&plugin, &host.load()) << "a second load gives the same plugin";
  EXPECT_EQ(ExpectedLog(), PluginPart(host.registrationLog()));
  EXPECT_EQ(13, host.pluginVersion());
  for (const std::string& c : kPluginClasses) EXPECT_NE(nullptr, host.classRef(c)) << c;
  EXPECT_EQ(std::string("Python3Object"), host.classDefinition("Python3Module")->superName);
  EXPECT_NE(nullptr, host.moduleDefinition("Python3ErrorTypes"));
}

TEST(HostPlugin, CopiesRegisterInTheirOwnNamespace) {
  Host& host = Host::get();
  host.load();
  const REALclassDefinition* mainDef = host.classDefinition("Python3Parameters");
  uintptr_t mainOffset = mainDef->forSystemUse;
  emuhost::Plugin copy = host.loadCopy();
  ASSERT_NE(nullptr, copy.handle);
  EXPECT_NE(0, copy.space);
  EXPECT_EQ(ExpectedLog(), host.registrationLog(copy));
  EXPECT_EQ(mainDef, host.classDefinition("Python3Parameters")) << "the copy took over a name";
  EXPECT_EQ(mainOffset, mainDef->forSystemUse);
  // Through the copy's own resolver its class names lead to its own classes.
  auto resolver = copy.sym<void* (*)(const char*)>("HCallResolver");
  ASSERT_NE(nullptr, resolver);
  auto objectType = reinterpret_cast<REALclassRef (*)(const char*)>(resolver("pluginObjectType"));
  REALclassRef copyRef = objectType("Python3Parameters");
  ASSERT_NE(nullptr, copyRef);
  EXPECT_NE(host.classRef("Python3Parameters"), copyRef);
  EXPECT_EQ(host.classRef("ObjectArray"), objectType("ObjectArray"));
  size_t live = host.liveObjects("Python3Parameters");
  auto create = Entry<Obj (*)(REALclassRef)>("CreateInstance");
  Ref o(create(copyRef));
  EXPECT_EQ("Python3Parameters", host.className(o));
  EXPECT_EQ(live, host.liveObjects("Python3Parameters")) << "counted as the main plugin's class";
}

}  // namespace
