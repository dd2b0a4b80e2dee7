// Python's error indicator through Coilwork: ErrorOccurred, GetError,
// ClearError and SetError, on errors raised by Python code, by Python's C
// code and by the host.
#include "support/python_fixture.h"

namespace coiltest {
namespace {

const char kSetError[] = "SetError(errorType as Integer, message as String)";

class ErrorsTest : public PythonTest {
 protected:
  void SetError(int32_t type, Str message) {
    host.callShared<void>("Coilwork", kSetError, type, message);
  }
  // GetError as the host sees it: nil stays distinct from the empty string.
  Str RawGetError() { return host.callShared<Str>("Coilwork", "GetError() as String"); }

  // Calls a function of a module with no arguments; the result is dropped.
  // True when the call raised.
  bool CallRaises(Obj module, const std::string& function) {
    Ref f(host.call<Obj>(module, "GetFunction(name as String) as Python3Function",
                         S(function).get()));
    EXPECT_NE(f.get(), nullptr) << function;
    if (!f.get()) return false;
    Ref result(host.call<Obj>(f, "Invoke(parameters as Python3Parameters) as Python3Result",
                              Obj(nullptr)));
    return result.get() == nullptr;
  }
  int32_t Int(Obj m, const std::string& name) {
    return host.call<int32_t>(m, "Int32Field(name as String) as Int32", S(name).get());
  }
};

TEST_F(ErrorsTest, SetErrorIsReadBackOnceThenGone) {
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_EQ(RawGetError(), nullptr);  // nothing pending: nil

  SetError(19, S("wrong type, caf\xc3\xa9").get());
  EXPECT_TRUE(ErrorOccurred());
  EXPECT_TRUE(ErrorOccurred());  // asking changes nothing
  EXPECT_EQ(GetError(), "wrong type, caf\xc3\xa9");
  EXPECT_FALSE(ErrorOccurred());

  // A later error replaces a pending one.
  SetError(20, S("first").get());
  SetError(15, S("second").get());
  EXPECT_EQ(GetError(), "second");

  // A nil message raises with an empty one.
  SetError(20, Str(nullptr));
  EXPECT_TRUE(ErrorOccurred());
  {
    SRef empty(RawGetError());
    EXPECT_NE(empty.get(), nullptr);
    EXPECT_EQ(empty.bytes(), "");
  }
  EXPECT_EQ(host.liveStrings(), startStrings);
}

TEST_F(ErrorsTest, SetErrorOutOfRangeChangesNothing) {
  for (int32_t type : {0, 23, -1, 1000}) SetError(type, S("ignored").get());
  EXPECT_FALSE(ErrorOccurred());
  SetError(21, S("kept").get());
  for (int32_t type : {0, 23}) SetError(type, S("ignored").get());
  EXPECT_EQ(GetError(), "kept");
}

TEST_F(ErrorsTest, SetErrorMessageIsTheBytesAsStored) {
  // Latin-1 "é" is one byte the host keeps as such; Python cannot decode it
  // as UTF-8, so some error is pending, and nothing crashes.
  SRef latin(host.newString("caf\xe9", emuhost::kLatin1));
  SetError(20, latin);
  EXPECT_TRUE(ErrorOccurred());
  ClearError();
  EXPECT_FALSE(ErrorOccurred());
  ClearError();  // nothing pending: nothing happens
  EXPECT_FALSE(ErrorOccurred());
}

TEST_F(ErrorsTest, MessagesOfErrorsRaisedInPython) {
  Ref m(Import("coiltest_raisers",
               "class Unprintable(Exception):\n"
               "    def __str__(self):\n"
               "        raise RuntimeError('no text')\n"
               "def value_error(): raise ValueError('bad')\n"
               "def bare_class(): raise RuntimeError\n"
               "def zero(): return 1 / 0\n"
               "def key(): return {}['k']\n"
               "def stop(): return next(iter([]))\n"
               "def nul(): raise ValueError('a\\x00b')\n"
               "def unprintable(): raise Unprintable()\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  struct Case {
    const char* function;
    const char* message;
  };
  // The text of the exception, without its type: the same on every version,
  // whether Python stored the error as a str, an argument tuple, nothing, or
  // an exception instance.
  for (const Case& c : {Case{"value_error", "bad"}, Case{"bare_class", ""},
                        Case{"zero", "division by zero"}, Case{"key", "'k'"},
                        Case{"stop", ""}, Case{"nul", "a"}}) {
    SCOPED_TRACE(c.function);
    ASSERT_TRUE(CallRaises(m, c.function));
    EXPECT_TRUE(ErrorOccurred());
    SRef message(RawGetError());
    ASSERT_NE(message.get(), nullptr);
    EXPECT_EQ(message.bytes(), c.message);
    EXPECT_FALSE(ErrorOccurred());
  }
  // When not even str() gives text: nil, and nothing stays pending.
  ASSERT_TRUE(CallRaises(m, "unprintable"));
  EXPECT_EQ(RawGetError(), nullptr);
  EXPECT_FALSE(ErrorOccurred());
  m.reset();
  EXPECT_EQ(host.liveStrings(), startStrings);
}

TEST_F(ErrorsTest, GetErrorReleasesTheException) {
  Ref m(Import("coiltest_refs",
               "import sys\n"
               "E = ValueError('kept')\n"
               "def boom(): raise E\n"
               "def count():\n"
               "    global n\n"
               "    E.__traceback__ = None\n"
               "    n = sys.getrefcount(E)\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  ASSERT_FALSE(CallRaises(m, "count"));
  int32_t before = Int(m, "n");
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(CallRaises(m, "boom"));
    EXPECT_EQ(GetError(), "kept");
  }
  ASSERT_FALSE(CallRaises(m, "count"));
  EXPECT_EQ(Int(m, "n"), before);
}

}  // namespace
}  // namespace coiltest
