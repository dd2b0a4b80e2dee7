// Python's error indicator through Coilwork: ErrorOccurred, GetError,
// ClearError and SetError, on errors raised by Python code, by Python's C
// code and by the host.
#include "support/python_fixture.h"

namespace coiltest {
namespace {

const char kSetError[] = "SetError(errorType as Integer, message as String)";

// A host function as extension modules have them: raise_(type, message)
// raises through SetError and answers nil.
void* HostRaise(void*, void* args) {
  Host& host = Host::get();
  Ref params(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args));
  int32_t type = host.call<int32_t>(params, "Int32Value(index as Integer) as Int32", int32_t(0));
  SRef message(host.call<Str>(params, "StringValue(index as Integer) as String", int32_t(1)));
  host.callShared<void>("Coilwork", kSetError, type, message.get());
  return nullptr;
}

Obj gRaiserModule;
void* CreateRaiser() { return Host::get().call<void*>(gRaiserModule, "ModuleCreateProc() as Ptr"); }

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

// Python code sees each type raised from a host function as the exception
// the constant names, with the message as its only argument.
TEST_F(ErrorsTest, SetErrorRaisesTheNamedExceptionInPython) {
  Ref module(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                         S("coiltest_raiser").get(), uint32_t(1)));
  host.call<void>(module, "RegisterFunction(name as String, fuction as Ptr)", S("raise_").get(),
                  reinterpret_cast<void*>(&HostRaise));
  gRaiserModule = module.get();
  host.callShared<void>(
      "Coilwork",
      "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)",
      module.get(), reinterpret_cast<void*>(&CreateRaiser));
  Ref m(Run(
      "import builtins, coiltest_raiser\n"
      "names = ['AssertionError', 'AttributeError', 'EOFError', 'FloatingPointError',\n"
      "         'IOError', 'ImportError', 'IndexError', 'KeyError', 'KeyboardInterrupt',\n"
      "         'MemoryError', 'NameError', 'NotImplementedError', 'OSError', 'OverflowError',\n"
      "         'RuntimeError', 'SyntaxError', 'SystemError', 'SystemExit', 'TypeError',\n"
      "         'ValueError', 'ZeroDivisionError', 'ReferenceError']\n"
      "wrong = []\n"
      "for number, name in enumerate(names, 1):\n"
      "    expected = getattr(builtins, name)\n"
      "    try:\n"
      "        coiltest_raiser.raise_(number, 'message %d \\u00e9' % number)\n"
      "    except BaseException as e:\n"
      "        if type(e) is not expected or e.args != ('message %d \\u00e9' % number,):\n"
      "            wrong.append(name)\n"
      "    else:\n"
      "        wrong.append(name)\n"
      "wrong = ' '.join(wrong)\n"
      "# Out of range: nothing is raised, so Python reports the bare nil answer.\n"
      "try:\n"
      "    coiltest_raiser.raise_(23, 'ignored')\n"
      "except SystemError as e:\n"
      "    out_of_range = 'ignored' not in str(e)\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  SRef wrong(host.call<Str>(m, "StringField(name as String) as String", S("wrong").get()));
  EXPECT_EQ(wrong.bytes(), "");
  EXPECT_TRUE(host.call<int8_t>(m, "BooleanField(name as String) as Boolean",
                                S("out_of_range").get()));
}

TEST_F(ErrorsTest, SetErrorOutOfRangeChangesNothing) {
  for (int32_t type : {0, 23, -1, 1000}) SetError(type, S("ignored").get());
  EXPECT_FALSE(ErrorOccurred());
  SetError(21, S("kept").get());
  for (int32_t type : {0, 23}) SetError(type, S("ignored").get());
  EXPECT_EQ(GetError(), "kept");
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
