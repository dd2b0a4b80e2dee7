// Host text on its way into Python: UTF-8 text goes over as the host stores
// it and is checked by Python's decoder alone; whatever that decoder refuses
// must end as the host's refusal always did, and an error that was already
// pending must survive the trip.
#include "support/python_fixture.h"

namespace coiltest {
namespace {

class TextPathTest : public PythonTest {
 protected:
  Obj FromString(Str s) {
    return host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity", s);
  }
  std::string Back(Obj e) {
    SRef s(host.prop<Str>(e, "StringValue"));
    return s.bytes();
  }
  // Leaves IndexError pending: GetItem past the end of an empty list.
  void MakeErrorPending() {
    Ref list(host.create("Python3List", "Constructor()"));
    Ref none(host.call<Obj>(list, "GetItem(index as Integer) as Python3Entity", int32_t(3)));
    ASSERT_EQ(none.get(), nullptr);
    ASSERT_TRUE(ErrorOccurred());
  }
};

TEST_F(TextPathTest, StoredUTF8RoundTripsByteForByte) {
  const std::string texts[] = {
      "plain",
      std::string("zero\0byte", 9),
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\x8d",
      std::string(200, 'a') + "\xc3\xa9" + std::string(70, 'b'),  // past the first blocks
  };
  for (const std::string& text : texts) {
    Ref e(FromString(S(text).get()));
    ASSERT_NE(e.get(), nullptr) << text;
    EXPECT_EQ(Back(e), text);
  }
  EXPECT_EQ(GetError(), "");
}

TEST_F(TextPathTest, InvalidUTF8IsRefusedWithNothingPending) {
  const std::string bad[] = {
      "\xc0\xaf",                           // overlong
      "\xed\xa0\x80",                       // surrogate
      "\xf4\x90\x80\x80",                   // above U+10FFFF
      "ab\xe2\x82",                         // cut short
      std::string(130, 'a') + "\xff",       // after two clean blocks
  };
  for (const std::string& text : bad) {
    SRef s(host.newString(text, emuhost::kUTF8));
    EXPECT_EQ(FromString(s.get()), nullptr);
    EXPECT_FALSE(ErrorOccurred());

    // A setter given such text changes nothing and records no error.
    Ref p(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
    host.assign(p, "StringValue(index as Integer) as String", int32_t(0), s.get());
    EXPECT_EQ(host.prop<int32_t>(p, "LastError"), 0);
    EXPECT_FALSE(host.call<int8_t>(p, "IsString(index as Integer) as Boolean", int32_t(0)));
    EXPECT_FALSE(ErrorOccurred());
  }
}

TEST_F(TextPathTest, APendingErrorSurvives) {
  MakeErrorPending();
  Ref good(FromString(S("still text").get()));
  ASSERT_NE(good.get(), nullptr);
  EXPECT_EQ(Back(good), "still text");
  SRef bad(host.newString("\xff", emuhost::kUTF8));
  EXPECT_EQ(FromString(bad.get()), nullptr);
  std::string error = GetError();
  EXPECT_EQ(error, "list index out of range");
}

}  // namespace
}  // namespace coiltest
