// The untyped binding functions, driven through a fresh copy of the plugin on
// the emulated host: when the resolver is asked, what reaches the host entry,
// and what comes back when the host lacks the entry.
#include <gtest/gtest.h>

#include "binding_recorder.h"

namespace {

using bindingtest::Handle;
using bindingtest::Recorder;
using bindingtest::Sym;
using emuhost::Ref;
using emuhost::SRef;

using LazyBinding = bindingtest::CopyTest<1>;
using StringBinding = bindingtest::CopyTest<2>;
using ObjectBinding = bindingtest::CopyTest<3>;

// ------------------------------------------------------------ lazy binding

TEST_F(LazyBinding, AsksTheResolverOncePerSlotAndKeepsTheAnswer) {
  using DrawLine = Recorder<__LINE__, void(REALobject, int32_t, int32_t, int32_t, int32_t)>;
  using Other = Recorder<__LINE__, void(REALobject, int32_t, int32_t, int32_t, int32_t)>;
  DrawLine::reset();
  Other::reset();
  host.setEntry("RuntimeGraphicsDrawLine", DrawLine::entry());
  auto drawLine = fn<void (*)(REALobject, int32_t, int32_t, int32_t, int32_t)>("GraphicsDrawLine");

  drawLine(Handle(1), 10, -20, 30, -40);
  drawLine(Handle(2), 1, 2, 3, 4000000);
  // A host that later offers another entry under the name is not asked again.
  host.setEntry("RuntimeGraphicsDrawLine", Other::entry());
  drawLine(Handle(3), 5, 6, 7, 8);

  EXPECT_EQ(host.lookupCount("RuntimeGraphicsDrawLine"), 1);
  EXPECT_EQ(DrawLine::calls, 3);
  EXPECT_EQ(Other::calls, 0);
  EXPECT_EQ(DrawLine::last, std::make_tuple(Handle(3), 5, 6, 7, 8));
}

TEST_F(LazyBinding, ArgumentsBeyondTheFourthArriveUnchanged) {
  using DrawString = Recorder<__LINE__, void(REALobject, REALstring, int32_t, int32_t, int32_t)>;
  using Invalidate = Recorder<__LINE__, void(REALobject, int32_t, int32_t, int32_t, int32_t)>;
  DrawString::reset();
  Invalidate::reset();
  host.setEntry("RuntimeGraphicsDrawString", DrawString::entry());
  host.setEntry("REALInvalidateControlRect", Invalidate::entry());

  fn<void (*)(REALobject, REALstring, int32_t, int32_t, int32_t)>("REALGraphicsDrawString")(
      Handle(4), Handle<REALstring>(5), -1, 2147483647, -2147483647 - 1);
  fn<void (*)(REALobject, int32_t, int32_t, int32_t, int32_t)>("REALInvalidateControlRect")(
      Handle(6), 1, 2, 3, 4);

  EXPECT_EQ(DrawString::last,
            std::make_tuple(Handle(4), Handle<REALstring>(5), -1, 2147483647, -2147483647 - 1));
  EXPECT_EQ(Invalidate::last, std::make_tuple(Handle(6), 1, 2, 3, 4));
}

TEST_F(LazyBinding, FloatingPointArgumentsAndResultsPassUnchanged) {
  using Height = Recorder<__LINE__, double(REALobject, REALstring, double)>;
  using Ascent = Recorder<__LINE__, double(REALobject)>;
  Height::reset(17.625);
  Ascent::reset(-0.1);
  host.setEntry("RuntimeGraphicsStringHeight", Height::entry());
  host.setEntry("RuntimeGraphicsTextAscent", Ascent::entry());

  double h = fn<double (*)(REALobject, REALstring, double)>("REALGraphicsStringHeight")(
      Handle(1), Handle<REALstring>(2), 123.25);
  double a = fn<double (*)(REALobject)>("REALGraphicsTextAscent")(Handle(3));

  EXPECT_EQ(h, 17.625);
  EXPECT_EQ(Height::last, std::make_tuple(Handle(1), Handle<REALstring>(2), 123.25));
  EXPECT_EQ(a, -0.1);
  EXPECT_EQ(Ascent::arg<0>(), Handle(3));
}

TEST_F(LazyBinding, MissingEntryIsAskedForOnEveryCallAndLeavesOutputsAlone) {
  auto origin = fn<void (*)(REALobject, int32_t*, int32_t*)>("REALGetGraphicsOrigin");
  host.removeEntry("REALGetGraphicsOrigin");
  int32_t x = 11, y = 22;
  origin(Handle(1), &x, &y);
  origin(Handle(1), &x, &y);
  EXPECT_EQ(x, 11);
  EXPECT_EQ(y, 22);
  EXPECT_EQ(host.lookupCount("REALGetGraphicsOrigin"), 2);

  // Once the host offers it, it is found and then kept.
  struct Entry {
    static void origin(REALobject, int32_t* ox, int32_t* oy) {
      *ox = 5;
      *oy = -6;
    }
  };
  host.setEntry("REALGetGraphicsOrigin", reinterpret_cast<void*>(&Entry::origin));
  origin(Handle(1), &x, &y);
  origin(Handle(1), &x, &y);
  EXPECT_EQ(x, 5);
  EXPECT_EQ(y, -6);
  EXPECT_EQ(host.lookupCount("REALGetGraphicsOrigin"), 3);
}

TEST_F(LazyBinding, UnresolvedResultsAreZeroExceptTheThreeExceptions) {
  for (const char* name :
       {"PluginRegisterBackgroundTask", "REALGetSystemTextEncoding", "REALGetRBVersion",
        "RuntimeStringCompare", "getControlWindow", "socketLastErrorCode",
        "RuntimeGraphicsStringWidth", "REALinRuntime", "pluginSocketReadAll"})
    host.removeEntry(name);

  auto registerTask =
      fn<int32_t (*)(REALBackgroundTaskProc, uint32_t, void*)>("REALRegisterBackgroundTask");
  auto systemEncoding = fn<uint32_t (*)()>("REALGetSystemTextEncoding");
  EXPECT_EQ(registerTask(nullptr, 100, nullptr), -1);
  EXPECT_EQ(systemEncoding(), 0x08000100u);
  EXPECT_EQ(fn<double (*)()>("REALGetRBVersion")(), 0.0);

  // "Equal" is what a host without a comparison answers for any two strings.
  SRef a(host.newString("a")), b(host.newString("b"));
  EXPECT_EQ(fn<int32_t (*)(REALstring, REALstring)>("REALCompareStrings")(a, b), 0);
  EXPECT_EQ(fn<REALobject (*)(REALobject)>("REALGetControlWindow")(Handle(1)), nullptr);
  EXPECT_EQ(fn<int32_t (*)(REALobject)>("REALSocketLastErrorCode")(Handle(1)), 0);
  EXPECT_EQ(fn<double (*)(REALobject, REALstring)>("REALGraphicsStringWidth")(Handle(1), a), 0.0);
  EXPECT_EQ(fn<int8_t (*)()>("REALinRuntime")(), 0);
  EXPECT_EQ(fn<REALstring (*)(REALobject, uint32_t)>("REALSocketReadAll")(Handle(1), 0), nullptr);

  // The exceptions are only for a missing entry; the host's answers pass.
  using Register = Recorder<__LINE__, int32_t(REALBackgroundTaskProc, uint32_t, void*)>;
  Register::reset(0);
  host.restoreEntries();
  host.setEntry("PluginRegisterBackgroundTask", Register::entry());
  EXPECT_EQ(registerTask(nullptr, 100, Handle<void*>(9)), 0);
  EXPECT_EQ(Register::last,
            std::make_tuple(REALBackgroundTaskProc(nullptr), 100u, Handle<void*>(9)));
  auto hostEncoding = reinterpret_cast<uint32_t (*)()>(host.resolve("REALGetSystemTextEncoding"));
  ASSERT_NE(hostEncoding, nullptr);
  EXPECT_EQ(systemEncoding(), hostEncoding());
}

TEST_F(LazyBinding, OverloadedFormsShareTheSlotOfTheirNamedFunction) {
  using Build = Recorder<__LINE__, REALstring(const char*, size_t, uint32_t)>;
  Build::reset(Handle<REALstring>(3));
  host.setEntry("REALBuildStringWithEncoding", Build::entry());
  auto named = fn<REALstring (*)(const char*, size_t, uint32_t)>("REALBuildStringWithEncoding");
  // REALBuildString(char const*, int, unsigned int)
  auto overload = fn<REALstring (*)(const char*, int, unsigned)>("_Z15REALBuildStringPKcij");

  const char* text = "abc";
  EXPECT_EQ(overload(text, 3, 0x0600), Handle<REALstring>(3));
  EXPECT_EQ(Build::last, std::make_tuple(text, size_t(3), 0x0600u));
  EXPECT_EQ(named(text, 2, 0xFFFF), Handle<REALstring>(3));
  // A negative count never reaches the host as a size.
  EXPECT_EQ(overload(text, -1, 0x0600), nullptr);
  EXPECT_EQ(Build::calls, 2);
  EXPECT_EQ(host.lookupCount("REALBuildStringWithEncoding"), 1);

  // The two-argument REALLockPictureDescription is the overload of the
  // ...WithNativeType form; the three-argument one has an entry of its own.
  using LockTwo = Recorder<__LINE__, int8_t(REALobject, REALpictureDescription*)>;
  using LockThree = Recorder<__LINE__, int8_t(REALobject, REALpictureDescription*, uint32_t)>;
  LockTwo::reset(1);
  LockThree::reset(2);
  host.setEntry("lockPictureDescription", LockTwo::entry());
  host.setEntry("REALLockPictureDescription", LockThree::entry());
  auto desc = Handle<REALpictureDescription*>(8);
  auto lockOverload = fn<int8_t (*)(REALobject, REALpictureDescription*)>(
      "_Z26REALLockPictureDescriptionP16REALobjectStructP22REALpictureDescription");
  EXPECT_EQ(lockOverload(Handle(7), desc), 1);
  EXPECT_EQ(fn<int8_t (*)(REALobject, REALpictureDescription*)>(
                "REALLockPictureDescriptionWithNativeType")(Handle(7), desc),
            1);
  EXPECT_EQ(fn<int8_t (*)(REALobject, REALpictureDescription*, uint32_t)>(
                "REALLockPictureDescription")(Handle(7), desc, 42),
            2);
  EXPECT_EQ(LockTwo::calls, 2);
  EXPECT_EQ(LockThree::last, std::make_tuple(Handle(7), desc, 42u));
  EXPECT_EQ(host.lookupCount("lockPictureDescription"), 1);
  EXPECT_EQ(host.lookupCount("REALLockPictureDescription"), 1);
}

TEST_F(LazyBinding, BooleanResultsKeepOnlyTheLowByte) {
  using Focus = Recorder<__LINE__, uint32_t(REALobject)>;
  using TabPanel = Recorder<__LINE__, uint32_t(REALobject)>;
  using Enable = Recorder<__LINE__, void(REALobject, intptr_t, int8_t)>;
  Focus::reset(0x100);
  TabPanel::reset(0x201);
  Enable::reset();
  host.setEntry("REALGetControlFocus", Focus::entry());
  host.setEntry("GetTabPanelVisible", TabPanel::entry());
  host.setEntry("controlEnabledSetter", Enable::entry());
  auto focus = fn<int8_t (*)(REALobject)>("REALGetControlFocus");
  auto tabPanel = fn<int8_t (*)(REALobject)>("REALGetTabPanelVisible");

  EXPECT_EQ(focus(Handle(1)), 0);
  EXPECT_EQ(tabPanel(Handle(2)), 1);
  Focus::result = 0xFF;
  EXPECT_EQ(focus(Handle(1)), -1);
  EXPECT_EQ(TabPanel::arg<0>(), Handle(2));

  fn<void (*)(REALobject, intptr_t, int8_t)>("REALSetControlEnabled")(Handle(3), 7, -1);
  EXPECT_EQ(Enable::last, std::make_tuple(Handle(3), intptr_t(7), int8_t(-1)));
}

TEST_F(LazyBinding, HCallResolverAsksTheHostEveryTime) {
  int marker = 0;
  host.setEntry("SomeHostEntry", &marker);
  auto resolve = fn<void* (*)(const char*)>("HCallResolver");
  EXPECT_EQ(resolve("SomeHostEntry"), &marker);
  EXPECT_EQ(resolve("SomeHostEntry"), &marker);
  EXPECT_EQ(resolve("NoSuchHostEntry"), nullptr);
  EXPECT_EQ(host.lookupCount("SomeHostEntry"), 2);
}

// ----------------------------------------------------------------- strings

TEST_F(StringBinding, ContentsOfANilStringAskNothingAndWriteNothing) {
  auto contents = fn<const char* (*)(REALstring, size_t*)>("REALGetStringContents");
  size_t n = 99;
  EXPECT_EQ(contents(nullptr, &n), nullptr);
  EXPECT_EQ(n, 99u);
  EXPECT_EQ(host.lookupCount("StringGetCString"), 0);
  EXPECT_EQ(host.lookupCount("REALLoadGlobalMethod"), 0);
}

// One sequence: the slots it fills decide what the later steps see.
TEST_F(StringBinding, ContentsAndLengthThroughCStringAndTheLenBMethod) {
  auto contents = fn<const char* (*)(REALstring, size_t*)>("REALGetStringContents");
  auto length = fn<int32_t (*)(REALstring)>("REALStringLength");
  const std::string bytes = "h\xC3\xA9llo";  // six bytes, five characters
  SRef s(host.newString(bytes));
  size_t n = 99;

  // A host with neither entry: nil, zero, nothing written, asked again each time.
  host.removeEntry("StringGetCString");
  host.removeEntry("REALLoadGlobalMethod");
  EXPECT_EQ(contents(s, &n), nullptr);
  EXPECT_EQ(length(s), 0);
  EXPECT_EQ(length(s), 0);
  EXPECT_EQ(n, 99u);
  EXPECT_EQ(host.lookupCount("REALLoadGlobalMethod"), 3);

  // The LenB method without "StringGetCString": the count comes, the bytes not.
  host.restoreEntries();
  host.removeEntry("StringGetCString");
  EXPECT_EQ(contents(s, &n), nullptr);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(contents(s, nullptr), nullptr);
  EXPECT_EQ(length(s), 6);
  EXPECT_EQ(host.lookupCount("StringGetCString"), 3);

  // Both: the stored bytes, and from now on no look-ups at all.
  host.restoreEntries();
  host.clearLookupCounts();
  n = 0;
  const char* data = contents(s, &n);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data, n), bytes);
  EXPECT_EQ(contents(s, &n), data);
  EXPECT_EQ(length(s), 6);
  EXPECT_EQ(host.lookupCount("StringGetCString"), 1);
  EXPECT_EQ(host.lookupCount("REALLoadGlobalMethod"), 0);
}

// ----------------------------------------------------- objects and classes

TEST_F(ObjectBinding, NewInstanceRulesAndTheClassNameFallback) {
  auto withClass = fn<REALobject (*)(REALclassRef)>("REALnewInstanceWithClass");
  // REALnewInstance(REALclassRefStruct*)
  auto overload = fn<REALobject (*)(REALclassRef)>("_Z15REALnewInstanceP18REALclassRefStruct");
  auto ofClass = fn<REALobject (*)(REALclassDefinition*)>("REALnewInstanceOfClass");
  const size_t live = host.liveObjects();

  // A nil class reference makes nothing, but the entry is bound all the same.
  EXPECT_EQ(withClass(nullptr), nullptr);
  EXPECT_EQ(host.lookupCount("CreateInstance"), 1);
  REALclassRef memoryBlock = host.classRef("MemoryBlock");
  ASSERT_NE(memoryBlock, nullptr);
  {
    Ref a(overload(memoryBlock));
    ASSERT_NE(a.get(), nullptr);
    EXPECT_EQ(host.className(a), "MemoryBlock");
    EXPECT_EQ(overload(nullptr), nullptr);
  }
  EXPECT_EQ(host.lookupCount("CreateInstance"), 1);

  // Without "PluginNewInstanceOfClass" the class name in the record is used.
  host.removeEntry("PluginNewInstanceOfClass");
  REALclassDefinition definition{};
  definition.name = "NoSuchClass";
  EXPECT_EQ(ofClass(&definition), nullptr);
  definition.name = "MemoryBlock";
  {
    Ref b(ofClass(&definition));
    ASSERT_NE(b.get(), nullptr);
    EXPECT_EQ(host.className(b), "MemoryBlock");
  }
  EXPECT_EQ(host.lookupCount("PluginNewInstanceOfClass"), 2);
  EXPECT_EQ(ofClass(nullptr), nullptr);

  // With it, the record goes to the host as it is.
  using NewOfClass = Recorder<__LINE__, REALobject(REALclassDefinition*)>;
  NewOfClass::reset(Handle(12));
  host.setEntry("PluginNewInstanceOfClass", NewOfClass::entry());
  EXPECT_EQ(ofClass(&definition), Handle(12));
  EXPECT_EQ(NewOfClass::arg<0>(), &definition);
  EXPECT_EQ(host.liveObjects(), live);
}

TEST_F(ObjectBinding, ClassAndControlDataAreFoundWithoutTheHost) {
  auto classData = fn<void* (*)(REALobject, REALclassDefinition*)>("REALGetClassData");
  auto controlData = fn<void* (*)(REALobject, void*)>("REALGetControlData");
  // Not host objects: a call to the host with them would fail loudly.
  alignas(16) char instance[64];
  REALclassDefinition definition{};
  definition.forSystemUse = 40;
  uintptr_t controlRecord[20] = {};
  controlRecord[4] = 8;  // a class record's offset word, not a control's
  controlRecord[15] = 24;
  auto self = reinterpret_cast<REALobject>(instance);

  EXPECT_EQ(classData(self, &definition), instance + 40);
  EXPECT_EQ(controlData(self, controlRecord), instance + 24);
  EXPECT_EQ(classData(nullptr, &definition), nullptr);
  EXPECT_EQ(classData(self, nullptr), nullptr);
  EXPECT_EQ(controlData(nullptr, controlRecord), nullptr);
}

TEST_F(ObjectBinding, EventInstanceIsAskedWithTheRecordsSecondWord) {
  using Event = Recorder<__LINE__, void*(REALobject, uintptr_t)>;
  Event::reset(Handle<void*>(5));
  host.setEntry("GetEventInstance", Event::entry());
  auto eventInstance = fn<void* (*)(REALobject, REALevent*)>("REALGetEventInstance");
  REALevent event{"ConsoleOutput(output as String)", 0xBEEF, 0, 0};

  EXPECT_EQ(eventInstance(Handle(1), &event), Handle<void*>(5));
  EXPECT_EQ(Event::last, std::make_tuple(Handle(1), uintptr_t(0xBEEF)));
  EXPECT_EQ(eventInstance(Handle(1), nullptr), nullptr);
  EXPECT_EQ(Event::calls, 1);
}

TEST_F(ObjectBinding, GlobalAndFrameworkMethodsShareOneEntryAndNeverPassAModule) {
  using Load = Recorder<__LINE__, void*(const char*, const char*)>;
  Load::reset(Handle<void*>(6));
  host.setEntry("REALLoadGlobalMethod", Load::entry());
  auto global = fn<void* (*)(const char*, const char*)>("REALLoadGlobalMethod");
  auto framework = fn<void* (*)(const char*)>("REALLoadFrameworkMethod");
  const char* prototype = "Beep()";

  EXPECT_EQ(global("SomeModule", prototype), Handle<void*>(6));
  EXPECT_EQ(Load::last, std::make_tuple(static_cast<const char*>(nullptr), prototype));
  Load::reset(Handle<void*>(7));
  EXPECT_EQ(framework(prototype), Handle<void*>(7));
  EXPECT_EQ(Load::last, std::make_tuple(static_cast<const char*>(nullptr), prototype));
  EXPECT_EQ(host.lookupCount("REALLoadGlobalMethod"), 1);
}

}  // namespace
