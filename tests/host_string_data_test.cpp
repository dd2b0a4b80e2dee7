// The host's fast paths: string data handed out without a copy when the text
// is already in the asked encoding, UTF-8 checked a block at a time, objects
// recycled through their class. Each must keep the answers and the lifetimes
// of the plain paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "emuhost/host.h"

namespace {

using emuhost::Host;
using emuhost::Obj;
using emuhost::Str;

template <class F>
F Entry(const char* name) {
  F f = reinterpret_cast<F>(Host::get().resolve(name));
  if (!f) ADD_FAILURE() << "the host has no entry " << name;
  return f;
}

auto GetData() { return Entry<int8_t (*)(Str, uint32_t, REALstringData*)>("PluginGetStringData"); }
auto Dispose() { return Entry<void (*)(REALstringData*)>("PluginDisposeStringData"); }

TEST(HostStringData, SameEncodingDataOutlivesTheCallersReference) {
  Host& host = Host::get();
  size_t strings = host.liveStrings(), data = host.liveStringData();
  std::string text(300, 'x');
  text += "\xc3\xa9";
  Str s = host.newString(text, emuhost::kUTF8);
  REALstringData d{};
  ASSERT_EQ(1, GetData()(s, emuhost::kUTF8, &d));
  host.unlockString(s);  // the caller lets go; the data must stay readable
  EXPECT_EQ(strings + 1, host.liveStrings());
  ASSERT_EQ(text.size(), d.length);
  EXPECT_EQ(0, memcmp(d.data, text.data(), text.size()));
  EXPECT_EQ(0, static_cast<const char*>(d.data)[d.length]);
  EXPECT_EQ(data + 1, host.liveStringData());
  Dispose()(&d);
  EXPECT_EQ(strings, host.liveStrings());
  EXPECT_EQ(data, host.liveStringData());
}

TEST(HostStringData, UTF8CheckFindsFaultsInEveryPartOfLongText) {
  Host& host = Host::get();
  for (size_t at : {size_t(0), size_t(63), size_t(64), size_t(200), size_t(511)}) {
    for (const char* bad : {"\xff", "\xc3", "\xed\xa0\x80", "\xe0\x80\x80"}) {
      std::string text(512, 'a');
      text.replace(at, strlen(bad), bad);
      if (text.size() > 512) text.resize(512);
      for (uint32_t to : {emuhost::kUTF8, emuhost::kUnknown, emuhost::kUTF16}) {
        Str s = host.newString(text, emuhost::kUTF8);
        REALstringData d{};
        EXPECT_EQ(0, GetData()(s, to, &d)) << "fault at " << at << " to " << to;
        host.unlockString(s);
      }
    }
  }
  std::string clean(1000, 'a');
  clean += "\xf0\x9f\x90\x8d";
  Str s = host.newString(clean, emuhost::kUTF8);
  REALstringData d{};
  EXPECT_EQ(1, GetData()(s, emuhost::kUTF8, &d));
  Dispose()(&d);
  host.unlockString(s);
}

// A class whose destructor leaves its block dirty and whose constructor
// records whether the block it was given was clean.
REALclassDefinition gRecycled;
bool gStartedClean;

unsigned char* RecycledBlock(REALobject o) {
  return reinterpret_cast<unsigned char*>(o) + gRecycled.forSystemUse;
}
void RecycledCtor(REALobject o) {
  gStartedClean = true;
  for (uintptr_t i = 0; i < gRecycled.dataSize; ++i) gStartedClean &= RecycledBlock(o)[i] == 0;
}
void RecycledDtor(REALobject o) { memset(RecycledBlock(o), 0xEE, gRecycled.dataSize); }

TEST(HostObjects, RecycledInstancesStartZeroedAndCounted) {
  Host& host = Host::get();
  gRecycled = REALclassDefinition{};
  gRecycled.version = 13;
  gRecycled.name = "HostTestRecycled";
  gRecycled.dataSize = 24;
  gRecycled.constructor = reinterpret_cast<REALproc>(RecycledCtor);
  gRecycled.destructor = reinterpret_cast<REALproc>(RecycledDtor);
  Entry<void (*)(REALclassDefinition*)>("PluginRegisterClass")(&gRecycled);
  REALclassRef cls = host.classRef("HostTestRecycled");
  ASSERT_NE(cls, nullptr);
  auto create = Entry<Obj (*)(REALclassRef)>("CreateInstance");
  size_t live = host.liveObjects();
  for (int round = 0; round < 3; ++round) {
    Obj a = create(cls);
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(gStartedClean) << "round " << round;
    EXPECT_EQ(live + 1, host.liveObjects());
    EXPECT_EQ(1, host.refCount(a));
    host.unlock(a);
    EXPECT_EQ(live, host.liveObjects());
  }
  EXPECT_EQ(nullptr, create(reinterpret_cast<REALclassRef>(&gRecycled)))
      << "a class record is no class reference";
}

}  // namespace
