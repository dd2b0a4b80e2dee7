// The typed binding functions: properties by name, array elements through
// the host's accessor factories, whole arrays and variants.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "binding_recorder.h"

namespace {

using bindingtest::CopyTest;
using bindingtest::Handle;
using bindingtest::Recorder;
using emuhost::SRef;

using PropertyBinding = CopyTest<4>;

class ArrayBinding : public CopyTest<5> {
 protected:
  // Installs a factory whose accessor answers value, reads element 4 into the
  // middle of a patterned buffer, and checks that exactly sizeof(T) bytes
  // changed.
  template <int Id, class T>
  void ExpectStoredAtItsWidth(const std::string& type, T value) {
    using Accessor = Recorder<Id, T(REALarray, int32_t)>;
    using Factory = Recorder<Id, void*(REALarray)>;
    Accessor::reset(value);
    Factory::reset(Accessor::entry());
    host.setEntry("Plugin" + type + "ArrayGetProc", Factory::entry());
    auto get = fn<void (*)(REALarray, int32_t, T*)>(("REALGetArrayValue" + type).c_str());
    auto array = Handle<REALarray>(3);

    alignas(8) unsigned char bytes[24];
    std::memset(bytes, 0xAA, sizeof bytes);
    get(array, 4, reinterpret_cast<T*>(bytes + 8));

    std::vector<unsigned char> expected(sizeof bytes, 0xAA);
    std::memcpy(expected.data() + 8, &value, sizeof(T));
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + sizeof bytes), expected) << type;
    EXPECT_EQ(Factory::template arg<0>(), array) << type;
    EXPECT_EQ(Accessor::last, std::make_tuple(array, 4)) << type;
  }
};

// A host property getter that stores a preset value, even when it then
// reports failure, as a careless host may.
template <int Id, class T>
struct PropertyGetter {
  static inline int calls = 0;
  static inline T value{};
  static inline int8_t flag = 1;
  static int8_t get(REALobject, const char*, T* out) {
    ++calls;
    *out = value;
    return flag;
  }
  static void* entry() { return reinterpret_cast<void*>(&get); }
  static void reset(T v, int8_t f) {
    calls = 0;
    value = v;
    flag = f;
  }
};

// ----------------------------------------------------------- properties

TEST_F(PropertyBinding, ColorAndIntegerFallBackToTheIntEntryForGood) {
  using GetInt = PropertyGetter<__LINE__, int32_t>;
  using SetInt = Recorder<__LINE__, int8_t(REALobject, const char*, int32_t)>;
  GetInt::reset(0x00FF8040, 1);
  SetInt::reset(1);
  for (const char* name : {"REALGetPropValueColor", "REALSetPropValueColor",
                           "REALGetPropValueInteger", "REALSetPropValueInteger"})
    host.removeEntry(name);
  host.setEntry("REALGetPropValueInt", GetInt::entry());
  host.setEntry("REALSetPropValueInt", SetInt::entry());
  auto getColor = fn<int8_t (*)(REALobject, const char*, uint32_t*)>("REALGetPropValueColor");
  auto setColor = fn<int8_t (*)(REALobject, const char*, uint32_t)>("REALSetPropValueColor");
  auto getInteger = fn<int8_t (*)(REALobject, const char*, int32_t*)>("REALGetPropValueInteger");

  uint32_t color = 0;
  EXPECT_EQ(getColor(Handle(1), "FillColor", &color), 1);
  EXPECT_EQ(color, 0x00FF8040u);
  EXPECT_EQ(getColor(Handle(1), "FillColor", &color), 1);
  EXPECT_EQ(setColor(Handle(1), "FillColor", 0x00123456u), 1);
  EXPECT_EQ(SetInt::arg<0>(), Handle(1));
  EXPECT_STREQ(SetInt::arg<1>(), "FillColor");
  EXPECT_EQ(SetInt::arg<2>(), 0x00123456);
  EXPECT_EQ(GetInt::calls, 2);
  EXPECT_EQ(host.lookupCount("REALGetPropValueColor"), 1);
  EXPECT_EQ(host.lookupCount("REALSetPropValueColor"), 1);

  int32_t integer = 0;
  GetInt::value = -9;
  EXPECT_EQ(getInteger(Handle(2), "Count", &integer), 1);
  EXPECT_EQ(integer, -9);
  // One look-up of the Int entry for each of the three slots that fell back.
  EXPECT_EQ(host.lookupCount("REALGetPropValueInt"), 2);
  EXPECT_EQ(host.lookupCount("REALSetPropValueInt"), 1);
}

TEST_F(PropertyBinding, LongGettersCopyFromA32BitVariableOnlyOnSuccess) {
  // REALGetPropValue(REALobjectStruct*, char const*, long*), (..., unsigned long*), (..., int*)
  auto getLong =
      fn<bool (*)(REALobject, const char*, long*)>("_Z16REALGetPropValueP16REALobjectStructPKcPl");
  auto getULong = fn<bool (*)(REALobject, const char*, unsigned long*)>(
      "_Z16REALGetPropValueP16REALobjectStructPKcPm");
  auto getInt =
      fn<bool (*)(REALobject, const char*, int*)>("_Z16REALGetPropValueP16REALobjectStructPKcPi");
  auto getInt32 = fn<int8_t (*)(REALobject, const char*, int32_t*)>("REALGetPropValueInt32");

  host.removeEntry("REALGetPropValueUInt32");
  unsigned long u = 77;
  EXPECT_FALSE(getULong(Handle(1), "Size", &u));
  EXPECT_EQ(u, 77u);

  // A failing host may scribble on the variable it was given; the caller's
  // variable is not that one.
  using GetInt = PropertyGetter<__LINE__, int32_t>;
  GetInt::reset(999, 0);
  host.setEntry("REALGetPropValueInt", GetInt::entry());
  long v = 77;
  EXPECT_FALSE(getLong(Handle(1), "Left", &v));
  EXPECT_EQ(v, 77);
  GetInt::reset(-5, 1);
  EXPECT_TRUE(getLong(Handle(1), "Left", &v));
  EXPECT_EQ(v, -5);

  // The int overload and the named Int32 getter share the slot.
  int i = 0;
  int32_t i32 = 0;
  EXPECT_TRUE(getInt(Handle(1), "Left", &i));
  EXPECT_EQ(getInt32(Handle(1), "Left", &i32), 1);
  EXPECT_EQ(i, -5);
  EXPECT_EQ(i32, -5);
  EXPECT_EQ(GetInt::calls, 3);  // since the reset
  EXPECT_EQ(host.lookupCount("REALGetPropValueInt"), 1);

  using GetUInt = PropertyGetter<__LINE__, uint32_t>;
  GetUInt::reset(0xFFFFFFFFu, 1);
  host.setEntry("REALGetPropValueUInt32", GetUInt::entry());
  EXPECT_TRUE(getULong(Handle(1), "Size", &u));
  EXPECT_EQ(u, 0xFFFFFFFFul);
}

TEST_F(PropertyBinding, UInt8AndBooleanUseTheBoolEntriesThroughSlotsOfTheirOwn) {
  using GetBool = PropertyGetter<__LINE__, int8_t>;
  using SetBool = Recorder<__LINE__, int8_t(REALobject, const char*, int8_t)>;
  GetBool::reset(1, 1);
  SetBool::reset(1);
  host.setEntry("REALGetPropValueBool", GetBool::entry());
  host.setEntry("REALSetPropValueBoolean", SetBool::entry());
  auto getUInt8 = fn<int8_t (*)(REALobject, const char*, uint8_t*)>("REALGetPropValueUInt8");
  auto getBoolean = fn<int8_t (*)(REALobject, const char*, int8_t*)>("REALGetPropValueBoolean");
  auto setUInt8 = fn<int8_t (*)(REALobject, const char*, uint8_t)>("REALSetPropValueUInt8");
  // REALGetPropValue(..., unsigned char*) and REALSetPropValue(..., unsigned char)
  auto getOverload = fn<bool (*)(REALobject, const char*, unsigned char*)>(
      "_Z16REALGetPropValueP16REALobjectStructPKcPh");
  auto setOverload = fn<bool (*)(REALobject, const char*, unsigned char)>(
      "_Z16REALSetPropValueP16REALobjectStructPKch");

  uint8_t u8 = 0;
  int8_t b = 0;
  unsigned char uc = 0;
  EXPECT_EQ(getUInt8(Handle(1), "Visible", &u8), 1);
  EXPECT_EQ(getBoolean(Handle(1), "Visible", &b), 1);
  EXPECT_TRUE(getOverload(Handle(1), "Visible", &uc));
  EXPECT_EQ(u8 + b + uc, 3);
  EXPECT_EQ(GetBool::calls, 3);
  EXPECT_EQ(host.lookupCount("REALGetPropValueBool"), 2);

  EXPECT_EQ(setUInt8(Handle(1), "Visible", 200), 1);
  EXPECT_EQ(SetBool::arg<2>(), int8_t(200 - 256));
  EXPECT_TRUE(setOverload(Handle(1), "Visible", 1));
  EXPECT_EQ(SetBool::calls, 2);
  EXPECT_EQ(host.lookupCount("REALSetPropValueBoolean"), 2);
}

TEST_F(PropertyBinding, ObjectOverloadSetsThroughThePtrEntry) {
  using SetPtr = Recorder<__LINE__, int8_t(REALobject, const char*, void*)>;
  using SetObject = Recorder<__LINE__, int8_t(REALobject, const char*, REALobject)>;
  SetPtr::reset(1);
  SetObject::reset(1);
  host.setEntry("REALSetPropValuePtr", SetPtr::entry());
  host.setEntry("REALSetPropValueObject", SetObject::entry());
  // REALSetPropValue(REALobjectStruct*, char const*, REALobjectStruct*)
  auto overload = fn<bool (*)(REALobject, const char*, REALobject)>(
      "_Z16REALSetPropValueP16REALobjectStructPKcS0_");
  auto named = fn<int8_t (*)(REALobject, const char*, REALobject)>("REALSetPropValueObject");

  EXPECT_TRUE(overload(Handle(1), "Owner", Handle(2)));
  EXPECT_EQ(SetPtr::arg<2>(), Handle<void*>(2));
  EXPECT_EQ(SetObject::calls, 0);
  EXPECT_EQ(named(Handle(1), "Owner", Handle(3)), 1);
  EXPECT_EQ(SetObject::arg<2>(), Handle(3));
  EXPECT_EQ(SetPtr::calls, 1);
}

TEST_F(PropertyBinding, ValuesReachTheHostAtTheirOwnWidth) {
  using SetInt16 = Recorder<__LINE__, int8_t(REALobject, const char*, int16_t)>;
  using SetInt64 = Recorder<__LINE__, int8_t(REALobject, const char*, int64_t)>;
  using SetSingle = Recorder<__LINE__, int8_t(REALobject, const char*, float)>;
  using SetDouble = Recorder<__LINE__, int8_t(REALobject, const char*, double)>;
  using SetWString = Recorder<__LINE__, int8_t(REALobject, const char*, const wchar_t*)>;
  using GetCurrency = PropertyGetter<__LINE__, int64_t>;
  SetInt16::reset(1);
  SetInt64::reset(2);  // any non-zero flag is success for an overload
  SetSingle::reset(1);
  SetDouble::reset(0);
  SetWString::reset(1);
  GetCurrency::reset(std::numeric_limits<int64_t>::min() + 7, 1);
  host.setEntry("REALSetPropValueInt16", SetInt16::entry());
  host.setEntry("REALSetPropValueInt64", SetInt64::entry());
  host.setEntry("REALSetPropValueSingle", SetSingle::entry());
  host.setEntry("REALSetPropValueDouble", SetDouble::entry());
  host.setEntry("REALSetPropValueWString", SetWString::entry());
  host.setEntry("REALGetPropValueCurrency", GetCurrency::entry());

  EXPECT_EQ(
      fn<int8_t (*)(REALobject, const char*, int16_t)>("REALSetPropValueInt16")(Handle(1), "A", -2),
      1);
  EXPECT_EQ(SetInt16::arg<2>(), -2);
  // REALSetPropValue(..., long long), (..., float), (..., double), (..., wchar_t const*)
  EXPECT_TRUE(fn<bool (*)(REALobject, const char*, long long)>(
      "_Z16REALSetPropValueP16REALobjectStructPKcx")(Handle(1), "B", -(1LL << 40)));
  EXPECT_EQ(SetInt64::arg<2>(), -(1LL << 40));
  EXPECT_TRUE(fn<bool (*)(REALobject, const char*, float)>(
      "_Z16REALSetPropValueP16REALobjectStructPKcf")(Handle(1), "C", 1.5f));
  EXPECT_EQ(SetSingle::arg<2>(), 1.5f);
  EXPECT_FALSE(fn<bool (*)(REALobject, const char*, double)>(
      "_Z16REALSetPropValueP16REALobjectStructPKcd")(Handle(1), "D", -2.25));
  EXPECT_EQ(SetDouble::arg<2>(), -2.25);
  const wchar_t* wide = L"wide";
  EXPECT_TRUE(fn<bool (*)(REALobject, const char*, const wchar_t*)>(
      "_Z16REALSetPropValueP16REALobjectStructPKcPKw")(Handle(1), "E", wide));
  EXPECT_EQ(SetWString::arg<2>(), wide);

  int64_t currency = 0;
  EXPECT_EQ(fn<int8_t (*)(REALobject, const char*, int64_t*)>("REALGetPropValueCurrency")(
                Handle(1), "Price", &currency),
            1);
  EXPECT_EQ(currency, std::numeric_limits<int64_t>::min() + 7);
}

TEST_F(PropertyBinding, MissingEntriesLeaveTheVariableAndAnswerFalse) {
  host.removeEntry("REALGetPropValueDouble");
  host.removeEntry("REALSetPropValueString");
  double d = 4.5;
  EXPECT_EQ(fn<int8_t (*)(REALobject, const char*, double*)>("REALGetPropValueDouble")(Handle(1),
                                                                                       "Width", &d),
            0);
  EXPECT_EQ(d, 4.5);
  // REALGetPropValue(..., double*)
  EXPECT_FALSE(fn<bool (*)(REALobject, const char*, double*)>(
      "_Z16REALGetPropValueP16REALobjectStructPKcPd")(Handle(1), "Width", &d));
  EXPECT_EQ(d, 4.5);
  EXPECT_EQ(fn<int8_t (*)(REALobject, const char*, REALstring)>("REALSetPropValueString")(
                Handle(1), "Name", nullptr),
            0);
  EXPECT_EQ(host.lookupCount("REALGetPropValueDouble"), 2);
}

// ---------------------------------------------------------------- arrays

TEST_F(ArrayBinding, GettersStoreExactlyTheWidthOfTheirType) {
  ExpectStoredAtItsWidth<__LINE__, int8_t>("Int8", int8_t(-2));
  ExpectStoredAtItsWidth<__LINE__, int8_t>("Boolean", int8_t(1));
  ExpectStoredAtItsWidth<__LINE__, int16_t>("Int16", int16_t(0x1234));
  ExpectStoredAtItsWidth<__LINE__, float>("Single", 0.75f);
  ExpectStoredAtItsWidth<__LINE__, uint64_t>("UInt64", uint64_t(0x8877665544332211ULL));
  ExpectStoredAtItsWidth<__LINE__, REALobject>("Object", Handle(0x123456));
}

// One sequence on the Int32 and UInt32 slots.
TEST_F(ArrayBinding, LongGettersAlwaysStoreAndNilVariablesStillAskTheFactory) {
  auto getInt32 = fn<void (*)(REALarray, int32_t, int32_t*)>("REALGetArrayValueInt32");
  // REALGetArrayValue(REALarrayStruct*, int, long*) and (..., unsigned long*)
  auto getLong = fn<void (*)(REALarray, int, long*)>("_Z17REALGetArrayValueP15REALarrayStructiPl");
  auto getULong =
      fn<void (*)(REALarray, int, unsigned long*)>("_Z17REALGetArrayValueP15REALarrayStructiPm");
  auto array = Handle<REALarray>(1);

  host.removeEntry("PluginInt32ArrayGetProc");
  host.removeEntry("RuntimeArrayDirectGetGetProc");
  long v = 55;
  getLong(array, 0, &v);
  EXPECT_EQ(v, 0);
  int32_t i = 55;
  getInt32(array, 0, &i);
  EXPECT_EQ(i, 55);
  EXPECT_EQ(host.lookupCount("PluginInt32ArrayGetProc"), 2);
  EXPECT_EQ(host.lookupCount("RuntimeArrayDirectGetGetProc"), 2);

  // The direct factory stands in for the missing typed one.
  using Accessor = Recorder<__LINE__, int32_t(REALarray, int32_t)>;
  using Factory = Recorder<__LINE__, void*(REALarray)>;
  Accessor::reset(-7);
  Factory::reset(Accessor::entry());
  host.setEntry("RuntimeArrayDirectGetGetProc", Factory::entry());
  getLong(array, 2, &v);
  EXPECT_EQ(v, -7);
  getInt32(array, 0, nullptr);
  EXPECT_EQ(Factory::calls, 2);
  EXPECT_EQ(Accessor::calls, 1);

  // A factory with no accessor for this array: long is zeroed, Int32 is not.
  Factory::result = nullptr;
  v = 55;
  getLong(array, 2, &v);
  getInt32(array, 2, &i);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(i, 55);
  EXPECT_EQ(host.lookupCount("PluginInt32ArrayGetProc"), 3);

  using UAccessor = Recorder<__LINE__, uint32_t(REALarray, int32_t)>;
  using UFactory = Recorder<__LINE__, void*(REALarray)>;
  UAccessor::reset(0xFFFFFFFFu);
  UFactory::reset(UAccessor::entry());
  host.setEntry("PluginUInt32ArrayGetProc", UFactory::entry());
  unsigned long u = 0;
  getULong(array, 1, &u);
  EXPECT_EQ(u, 0xFFFFFFFFul);
}

TEST_F(ArrayBinding, SettersPassTheValueBeforeTheIndexInsertersAfter) {
  using Set = Recorder<__LINE__, void(REALarray, int32_t, int32_t)>;
  using Insert = Recorder<__LINE__, void(REALarray, int32_t, int32_t)>;
  using SetFactory = Recorder<__LINE__, void*(REALarray)>;
  using InsertFactory = Recorder<__LINE__, void*(REALarray)>;
  Set::reset();
  Insert::reset();
  SetFactory::reset(Set::entry());
  InsertFactory::reset(Insert::entry());
  host.setEntry("PluginInt32ArraySetProc", SetFactory::entry());
  host.setEntry("PluginInt32ArrayInsertProc", InsertFactory::entry());
  auto array = Handle<REALarray>(2);

  fn<void (*)(REALarray, int32_t, int32_t)>("REALSetArrayValueInt32")(array, 3, 7);
  EXPECT_EQ(Set::last, std::make_tuple(array, 7, 3));
  fn<void (*)(REALarray, int32_t, int32_t)>("REALInsertArrayValueInt32")(array, 3, 7);
  EXPECT_EQ(Insert::last, std::make_tuple(array, 3, 7));

  // REALSetArrayValue(REALarrayStruct*, int, long), REALInsertArrayValue(..., long)
  fn<void (*)(REALarray, int, long)>("_Z17REALSetArrayValueP15REALarrayStructil")(array, 4, -9);
  EXPECT_EQ(Set::last, std::make_tuple(array, -9, 4));
  fn<void (*)(REALarray, int, long)>("_Z20REALInsertArrayValueP15REALarrayStructil")(array, 5, 8);
  EXPECT_EQ(Insert::last, std::make_tuple(array, 5, 8));

  // The factory is asked on every access; the resolver only once per slot.
  EXPECT_EQ(SetFactory::calls, 2);
  EXPECT_EQ(InsertFactory::calls, 2);
  EXPECT_EQ(host.lookupCount("PluginInt32ArraySetProc"), 1);
  EXPECT_EQ(host.lookupCount("PluginInt32ArrayInsertProc"), 1);
}

TEST_F(ArrayBinding, CurrencyHasNoDirectFallbackButColorHas) {
  auto getCurrency = fn<void (*)(REALarray, int32_t, int64_t*)>("REALGetArrayValueCurrency");
  using Accessor = Recorder<__LINE__, uint32_t(REALarray, int32_t)>;
  using Direct = Recorder<__LINE__, void*(REALarray)>;
  Accessor::reset(0x00ABCDEF);
  Direct::reset(Accessor::entry());
  host.removeEntry("PluginCurrencyArrayGetProc");
  host.removeEntry("PluginColorArrayGetProc");
  host.setEntry("RuntimeArrayDirectGetGetProc", Direct::entry());

  int64_t currency = 5;
  getCurrency(Handle<REALarray>(1), 0, &currency);
  EXPECT_EQ(currency, 5);
  EXPECT_EQ(Direct::calls, 0);
  EXPECT_EQ(host.lookupCount("RuntimeArrayDirectGetGetProc"), 0);

  uint32_t color = 0;
  fn<void (*)(REALarray, int32_t, uint32_t*)>("REALGetArrayValueColor")(Handle<REALarray>(1), 0,
                                                                        &color);
  EXPECT_EQ(color, 0x00ABCDEFu);
  EXPECT_EQ(host.lookupCount("RuntimeArrayDirectGetGetProc"), 1);

  // Currency through its own factory, stored as all of its eight bytes.
  ExpectStoredAtItsWidth<__LINE__, int64_t>("Currency", int64_t(-1234567890123LL));
}

// Accessors belong to one array: they are asked for anew on every access.
struct TwoArrays {
  static int32_t first(REALarray, int32_t) { return 1; }
  static int32_t second(REALarray, int32_t) { return 2; }
  static void* factory(REALarray array) {
    return array == Handle<REALarray>(1) ? reinterpret_cast<void*>(&first)
                                         : reinterpret_cast<void*>(&second);
  }
};

TEST_F(ArrayBinding, EachArrayGetsItsOwnAccessor) {
  host.setEntry("PluginIntegerArrayGetProc", reinterpret_cast<void*>(&TwoArrays::factory));
  auto get = fn<void (*)(REALarray, int32_t, int32_t*)>("REALGetArrayValueInteger");
  int32_t a = 0, b = 0, c = 0;
  get(Handle<REALarray>(1), 0, &a);
  get(Handle<REALarray>(2), 0, &b);
  get(Handle<REALarray>(1), 0, &c);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, 1);
}

TEST_F(ArrayBinding, OverloadedElementFormsShareTheNamedFormsFactory) {
  using GetDouble = Recorder<__LINE__, double(REALarray, int32_t)>;
  using DoubleFactory = Recorder<__LINE__, void*(REALarray)>;
  using SetText = Recorder<__LINE__, void(REALarray, REALtext, int32_t)>;
  using TextFactory = Recorder<__LINE__, void*(REALarray)>;
  GetDouble::reset(2.5);
  DoubleFactory::reset(GetDouble::entry());
  SetText::reset();
  TextFactory::reset(SetText::entry());
  host.setEntry("PluginDoubleArrayGetProc", DoubleFactory::entry());
  host.setEntry("PluginTextArraySetProc", TextFactory::entry());
  auto array = Handle<REALarray>(4);

  double x = 0, y = 0;
  // REALGetArrayValue(REALarrayStruct*, int, double*)
  fn<void (*)(REALarray, int, double*)>("_Z17REALGetArrayValueP15REALarrayStructiPd")(array, 1, &x);
  fn<void (*)(REALarray, int32_t, double*)>("REALGetArrayValueDouble")(array, 1, &y);
  EXPECT_EQ(x, 2.5);
  EXPECT_EQ(y, 2.5);
  EXPECT_EQ(host.lookupCount("PluginDoubleArrayGetProc"), 1);

  // REALSetArrayValue(REALarrayStruct*, int, RuntimeText const*)
  const RuntimeText* text = Handle<const RuntimeText*>(6);
  fn<void (*)(REALarray, int, const RuntimeText*)>(
      "_Z17REALSetArrayValueP15REALarrayStructiPK11RuntimeText")(array, 2, text);
  EXPECT_EQ(SetText::last, std::make_tuple(array, Handle<REALtext>(6), 2));
  fn<void (*)(REALarray, int32_t, REALtext)>("REALSetArrayValueText")(array, 3, nullptr);
  EXPECT_EQ(SetText::calls, 2);
  EXPECT_EQ(host.lookupCount("PluginTextArraySetProc"), 1);
}

// --------------------------------------------------- whole arrays, variants

TEST_F(ArrayBinding, VariantsAndWholeArraysForwardOrAnswerNil) {
  using FromDouble = Recorder<__LINE__, REALobject(double)>;
  using FromInt64 = Recorder<__LINE__, REALobject(int64_t)>;
  using FromInt32 = Recorder<__LINE__, REALobject(int32_t)>;
  using FromInteger = Recorder<__LINE__, REALobject(int32_t)>;
  using Structure = Recorder<__LINE__, int8_t(REALobject, void*, uint32_t)>;
  using ReadStructures = Recorder<__LINE__, void(REALarray, void*, int32_t)>;
  FromDouble::reset(Handle(1));
  FromInt64::reset(Handle(2));
  FromInt32::reset(Handle(3));
  FromInteger::reset(Handle(4));
  Structure::reset(1);
  ReadStructures::reset();
  host.setEntry("DoubleToVariant", FromDouble::entry());
  host.setEntry("Int64ToVariant", FromInt64::entry());
  host.setEntry("Int32ToVariant", FromInt32::entry());
  host.setEntry("IntegerToVariant", FromInteger::entry());
  host.setEntry("PluginStructureFromVariant", Structure::entry());
  host.setEntry("RuntimeDirectReadStructureArray", ReadStructures::entry());
  host.removeEntry("StringToVariant");
  host.removeEntry("RuntimeUBound");

  EXPECT_EQ(fn<REALobject (*)(double)>("REALNewVariantDouble")(-0.125), Handle(1));
  EXPECT_EQ(FromDouble::arg<0>(), -0.125);
  EXPECT_EQ(fn<REALobject (*)(int64_t)>("REALNewVariantInt64")(-(1LL << 50)), Handle(2));
  EXPECT_EQ(FromInt64::arg<0>(), -(1LL << 50));
  EXPECT_EQ(fn<REALobject (*)(int32_t)>("REALNewVariantInteger")(5), Handle(3));
  EXPECT_EQ(fn<REALobject (*)(int32_t)>("REALNewVariantRBInteger")(6), Handle(4));
  EXPECT_EQ(FromInteger::arg<0>(), 6);

  char buffer[16];
  EXPECT_EQ(
      fn<int8_t (*)(REALobject, void*, uint32_t)>("REALGetVariantStructure")(Handle(5), buffer, 16),
      1);
  EXPECT_EQ(Structure::last, std::make_tuple(Handle(5), static_cast<void*>(buffer), 16u));
  fn<void (*)(REALarray, void*, int32_t)>("REALGetArrayStructure")(Handle<REALarray>(6), buffer, 8);
  EXPECT_EQ(ReadStructures::last,
            std::make_tuple(Handle<REALarray>(6), static_cast<void*>(buffer), 8));

  SRef s(host.newString("x"));
  EXPECT_EQ(fn<REALobject (*)(REALstring)>("REALNewVariantString")(s), nullptr);
  EXPECT_EQ(fn<int32_t (*)(REALarray)>("REALGetArrayUBound")(Handle<REALarray>(6)), 0);
}

}  // namespace
