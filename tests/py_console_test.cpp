// Console capture: what Python writes to sys.stdout reaches the
// ConsoleOutput event of the receiver set with SetConsoleOutput, one event
// per write, text unchanged.
#include <stdio.h>
#include <unistd.h>

#include <vector>

#include "support/python_fixture.h"

namespace coiltest {
namespace {

const char kSetConsole[] = "SetConsoleOutput(output as CoilworkConsoleOutput)";
const char kEvent[] = "ConsoleOutput(output as String)";

std::vector<std::string> gEvents;
Obj gReplacement;                 // receiver the replacing handler installs
size_t gReceiversDuringEvent = 0;

void Collect(Obj, Str text) { gEvents.push_back(Host::get().bytes(text)); }

// Replaces the receiver from inside its own event, then counts the live
// receivers: the one being called must still be alive.
void ReplaceThenCollect(Obj self, Str text) {
  emuhost::Host& host = Host::get();
  host.callShared<void>("Coilwork", kSetConsole, gReplacement);
  gReceiversDuringEvent = host.liveObjects("CoilworkConsoleOutput");
  gEvents.push_back("replaced:" + host.bytes(text));
}

class ConsoleTest : public PythonTest {
 protected:
  void SetUp() override {
    PythonTest::SetUp();
    gEvents.clear();
  }
  void TearDown() override {
    SetConsole(nullptr);
    PythonTest::TearDown();
  }

  void SetConsole(Obj receiver) { host.callShared<void>("Coilwork", kSetConsole, receiver); }
  Obj NewReceiver(void (*handler)(Obj, Str)) {
    Obj receiver = host.newInstance("CoilworkConsoleOutput");
    if (handler) host.setEventHandler(receiver, kEvent, reinterpret_cast<void*>(handler));
    return receiver;
  }
  bool Bool(Obj m, const std::string& name) {
    return host.call<int8_t>(m, "BooleanField(name as String) as Boolean", S(name).get()) != 0;
  }
  // Runs code with a collecting receiver attached; returns the module.
  Obj Capture(const std::string& code) {
    Ref receiver(NewReceiver(Collect));
    SetConsole(receiver);
    Obj m = Run(code);
    EXPECT_NE(m, nullptr) << GetError();
    return m;
  }
};

TEST_F(ConsoleTest, PrintGivesTextThenLineEnd) {
  Ref m(Capture("print('hello')\nprint(1, 2, sep='-', end='!')\n"));
  EXPECT_EQ(gEvents, (std::vector<std::string>{"hello", "\n", "1", "-", "2", "!"}));
}

TEST_F(ConsoleTest, EachWriteIsOneEventWithItsExactText) {
  Ref m(Capture(
      "import sys\n"
      "sys.stdout.write('')\n"
      "sys.stdout.write('gr\\u00fc\\u00dfe \\u2713')\n"
      "sys.stdout.write('a\\x00b')\n"
      "sys.stdout.write('no line end')\n"));
  EXPECT_EQ(gEvents, (std::vector<std::string>{"", "gr\xc3\xbc\xc3\x9f" "e \xe2\x9c\x93",
                                               std::string("a\0b", 3), "no line end"}));
  m.reset();  // the module handle holds its name
  EXPECT_EQ(host.liveStrings(), startStrings);  // every event's string was released
}

TEST_F(ConsoleTest, StdoutIsATextStream) {
  Ref m(Capture(
      "import io, sys\n"
      "out = sys.stdout\n"
      "w = out.write('x')\n"
      "f = out.flush()\n"
      "returns_none = w is None and f is None\n"
      "is_stream = isinstance(out, io.TextIOBase)\n"
      "answers = (out.isatty() is False and out.writable() is True and\n"
      "           out.readable() is False and out.encoding == 'utf-8' and\n"
      "           out.errors == 'strict' and out.closed is False)\n"
      "try:\n"
      "    out.fileno()\n"
      "    no_fileno = False\n"
      "except io.UnsupportedOperation:\n"
      "    no_fileno = True\n"
      "out.writelines(['a', 'b\\n'])\n"
      "print('flushed', flush=True)\n"
      "print('to file', file=out)\n"));
  EXPECT_TRUE(Bool(m, "returns_none"));
  EXPECT_TRUE(Bool(m, "is_stream"));
  EXPECT_TRUE(Bool(m, "answers"));
  EXPECT_TRUE(Bool(m, "no_fileno"));
  EXPECT_EQ(gEvents, (std::vector<std::string>{"x", "a", "b\n", "flushed", "\n", "to file", "\n"}));
  // The capture module is not in the module registry: it cannot be imported.
  EXPECT_EQ(GetModule("aview"), nullptr);
  EXPECT_TRUE(ErrorOccurred());
}

TEST_F(ConsoleTest, BadWritesRaiseAndRaiseNoEvent) {
  Ref m(Capture(
      "import sys\n"
      "def raises(exc, *args):\n"
      "    try:\n"
      "        sys.stdout.write(*args)\n"
      "    except exc:\n"
      "        return True\n"
      "    return False\n"
      "not_str = raises(TypeError, 5)\n"
      "bytes_arg = raises(TypeError, b'x')\n"
      "no_arg = raises(TypeError)\n"
      "two_args = raises(TypeError, 'a', 'b')\n"
      "surrogate = raises(UnicodeError, '\\udc80')\n"));
  for (const char* name : {"not_str", "bytes_arg", "no_arg", "two_args", "surrogate"})
    EXPECT_TRUE(Bool(m, name)) << name;
  EXPECT_TRUE(gEvents.empty());
}

TEST_F(ConsoleTest, WithoutErrorReceiverStderrIsTheProcessOwn) {
  Ref m(Capture(
      "import sys\n"
      "own = sys.stderr is sys.__stderr__\n"
      "sys.stderr.write('coilwork console test: expected on stderr\\n')\n"));
  EXPECT_TRUE(Bool(m, "own"));
  EXPECT_TRUE(gEvents.empty());
}

std::vector<std::string> gErrors;
void CollectError(Obj, Str text) { gErrors.push_back(Host::get().bytes(text)); }

class ErrorOutputTest : public ConsoleTest {
 protected:
  void SetUp() override {
    ConsoleTest::SetUp();
    gErrors.clear();
  }
  void TearDown() override {
    SetErrors(nullptr);
    ConsoleTest::TearDown();
  }
  void SetErrors(Obj receiver) { host.callShared<void>("Coilwork", kSetErrors, receiver); }
  std::string Joined() {
    std::string all;
    for (const std::string& piece : gErrors) all += piece;
    return all;
  }
  static constexpr const char* kSetErrors = "SetErrorOutput(output as CoilworkConsoleOutput)";
};

TEST_F(ErrorOutputTest, StderrReachesTheErrorReceiverOnePieceAtATime) {
  Ref errors(NewReceiver(CollectError));
  SetErrors(errors);
  Ref m(Capture(
      "import io, sys\n"
      "err = sys.stderr\n"
      "r = err.write('a\\x00b')\n"
      "err.write('')\n"
      "err.writelines(['c', 'd'])\n"
      "returns_none = r is None and err.flush() is None\n"
      "answers = (isinstance(err, io.TextIOBase) and err.isatty() is False and\n"
      "           err.writable() and err.encoding == 'utf-8' and err is not sys.__stderr__)\n"
      "try:\n"
      "    err.write(5)\n"
      "    rejects = False\n"
      "except TypeError:\n"
      "    rejects = True\n"
      "print('to stdout')\n"));
  EXPECT_TRUE(Bool(m, "returns_none"));
  EXPECT_TRUE(Bool(m, "answers"));
  EXPECT_TRUE(Bool(m, "rejects"));
  EXPECT_EQ(gErrors, (std::vector<std::string>{std::string("a\0b", 3), "", "c", "d"}));
  EXPECT_EQ(gEvents, (std::vector<std::string>{"to stdout", "\n"}));
}

TEST_F(ErrorOutputTest, WarningsLoggingAndTracebacksArrive) {
  Ref errors(NewReceiver(CollectError));
  SetErrors(errors);
  Ref m(Capture(
      "import logging, sys, traceback, warnings\n"
      "warnings.simplefilter('always')\n"
      "warnings.warn('coiltest warning')\n"
      "logging.getLogger('coiltest').warning('coiltest logged')\n"
      "try:\n"
      "    1 / 0\n"
      "except ZeroDivisionError:\n"
      "    traceback.print_exc()\n"));
  std::string all = Joined();
  EXPECT_NE(all.find("UserWarning: coiltest warning"), std::string::npos) << all;
  EXPECT_NE(all.find("coiltest logged"), std::string::npos) << all;
  EXPECT_NE(all.find("ZeroDivisionError"), std::string::npos) << all;
  EXPECT_NE(all.find("Traceback"), std::string::npos) << all;
  EXPECT_TRUE(gEvents.empty());
}

// HasAttribute answers False for any failed lookup, silently: Python 3.13's
// own test printed an ignored-exception report for a name that is no UTF-8
// or a property that raised.
TEST_F(ErrorOutputTest, AttributeTestsPrintNothing) {
  Ref errors(NewReceiver(CollectError));
  SetErrors(errors);
  Ref m(Run("class C:\n    @property\n    def bad(self): raise RuntimeError('x')\nc = C()\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  Ref c(host.call<Obj>(m, "EntityField(name as String) as Python3EntityBase", S("c").get()));
  const char kHas[] = "HasAttribute(name as String) as Boolean";
  SRef invalid(host.newString("\xff\xfe", emuhost::kUTF8));
  for (Obj target : {m.get(), c.get()}) {
    EXPECT_FALSE(host.call<int8_t>(target, kHas, invalid.get()));
    EXPECT_FALSE(host.call<int8_t>(target, kHas, S("bad").get()));
    EXPECT_TRUE(host.call<int8_t>(target, kHas, S("__class__").get()));
  }
  EXPECT_FALSE(ErrorOccurred());
  Ref flushed(Run("import sys\nsys.stderr.flush()\n"));
  EXPECT_EQ(Joined(), "");
}

TEST_F(ErrorOutputTest, ReceiverHoldsAcrossFinalizeAndNilRestoresTheOwnStream) {
  Ref errors(NewReceiver(CollectError));
  host.callShared<void>("Coilwork", "Finalize()");
  SetErrors(errors);  // before Init
  EXPECT_EQ(host.refCount(errors), 2);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EnsureInterpreter();
    gErrors.clear();
    Ref m(Run("import sys\nsys.stderr.write('round')\n"));
    ASSERT_NE(m.get(), nullptr) << GetError();
    EXPECT_EQ(gErrors, std::vector<std::string>{"round"});
    host.callShared<void>("Coilwork", "Finalize()");
  }
  EnsureInterpreter();
  SetErrors(nullptr);  // while Python runs
  EXPECT_EQ(host.refCount(errors), 1);
  gErrors.clear();
  Ref m(Run("import sys\nown = sys.stderr is sys.__stderr__\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_TRUE(Bool(m, "own"));

  // Set while Python runs; a stream Python code installed itself stays.
  SetErrors(errors);
  Ref set(Run("import sys\nours = sys.stderr is not sys.__stderr__\nsys.stderr.write('now')\n"));
  ASSERT_NE(set.get(), nullptr) << GetError();
  EXPECT_TRUE(Bool(set, "ours"));
  EXPECT_EQ(gErrors, std::vector<std::string>{"now"});
  SetErrors(nullptr);
  Ref custom(Run("import io, sys\nmine = io.StringIO()\nsys.stderr = mine\n"));
  SetErrors(errors);
  Ref check(Run("import sys\nkept = type(sys.stderr).__name__ == 'StringIO'\n"
                "sys.stderr = sys.__stderr__\n"));
  ASSERT_NE(check.get(), nullptr) << GetError();
  EXPECT_TRUE(Bool(check, "kept"));
}

TEST_F(ConsoleTest, WithoutReceiverOrHandlerTextIsDiscarded) {
  SetConsole(nullptr);
  Ref m(Run("import sys\nnone = sys.stdout.write('lost') is None\nprint('lost too')\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_TRUE(Bool(m, "none"));

  // A receiver whose handler is attached only after it was made is found at
  // the next write.
  Ref receiver(NewReceiver(nullptr));
  SetConsole(receiver);
  Ref first(Run("print('unheard')\n"));
  EXPECT_TRUE(gEvents.empty());
  host.setEventHandler(receiver, kEvent, reinterpret_cast<void*>(&Collect));
  Ref second(Run("print('heard')\n"));
  EXPECT_EQ(gEvents, (std::vector<std::string>{"heard", "\n"}));
}

TEST_F(ConsoleTest, ReceiverIsRetainedAndReleased) {
  {
    Ref receiver(NewReceiver(Collect));
    EXPECT_EQ(host.refCount(receiver), 1);
    SetConsole(receiver);
    EXPECT_EQ(host.refCount(receiver), 2);
    SetConsole(receiver);  // the same one again
    EXPECT_EQ(host.refCount(receiver), 2);
    SetConsole(nullptr);
    EXPECT_EQ(host.refCount(receiver), 1);
  }
  EXPECT_EQ(host.liveObjects(), startObjects);
}

TEST_F(ConsoleTest, HandlerMayReplaceItsOwnReceiver) {
  Ref replacement(NewReceiver(Collect));
  gReplacement = replacement.get();
  {
    Ref first(NewReceiver(ReplaceThenCollect));
    SetConsole(first);
  }  // only the plugin holds the first receiver now
  Ref m(Run("import sys\nsys.stdout.write('one')\nsys.stdout.write('two')\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_EQ(gReceiversDuringEvent, 2u);  // the replaced one lived through its event
  EXPECT_EQ(gEvents, (std::vector<std::string>{"replaced:one", "two"}));
  EXPECT_EQ(host.liveObjects("CoilworkConsoleOutput"), 1u);
  SetConsole(nullptr);
  gReplacement = nullptr;
}

// Sizes and notices only, for the large run.
size_t gBytes = 0;
std::string gNotices;
void Measure(Obj, Str text) {
  std::string t = Host::get().bytes(text);
  if (!t.empty() && t[0] == '[') gNotices += t;
  else gBytes += t.size();
}

std::string Joined(const std::vector<std::string>& pieces) {
  std::string all;
  for (const std::string& p : pieces) all += p;
  return all;
}

class ProcessOutputTest : public ConsoleTest {
 protected:
  void TearDown() override {
    Capture(false);
    host.callShared<void>("Coilwork", "SetErrorOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
    ConsoleTest::TearDown();
  }
  void Capture(bool on) {
    host.callShared<void>("Coilwork", "CaptureProcessOutput(capture as Boolean)", int8_t(on));
  }
};

// A child's output, os.write to either descriptor, and print, each at its
// receiver and in the order written; bytes that are not UTF-8 replaced.
TEST_F(ProcessOutputTest, ChildAndCOutputReachTheReceiversInOrder) {
  gErrors.clear();
  Ref console(NewReceiver(Collect)), errors(NewReceiver(CollectError));
  SetConsole(console);
  Capture(true);
  Ref m(Run("import os, sys\n"
            "os.system('echo child; echo oops >&2')\n"
            "print('after')\n"
            "os.write(1, b'bad \\xff byte\\n')\n"
            "os.write(2, b'err\\n')\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  // Without an error receiver descriptor 2 goes to the console receiver too.
  EXPECT_EQ(Joined(gEvents), "child\noops\nafter\nbad \xef\xbf\xbd byte\nerr\n");
  host.callShared<void>("Coilwork", "SetErrorOutput(output as CoilworkConsoleOutput)", errors.get());
  gEvents.clear();
  Ref again(Run("import os\nos.write(2, b'to errors\\n')\nos.write(1, b'to console\\n')\n"));
  EXPECT_EQ(Joined(gErrors), "to errors\n");
  EXPECT_EQ(Joined(gEvents), "to console\n");
  Capture(false);
  EXPECT_EQ(write(1, "", 0), 0) << "descriptor 1 was not put back";
}

// 10 MiB from a child while the host delivers nothing: the child never
// waits, at most 8 MiB wait for the host, and the rest is counted.
TEST_F(ProcessOutputTest, ALargeOutputNeitherBlocksTheWriterNorGrowsPastTheLimit) {
  gBytes = 0;
  gNotices.clear();
  Ref console(NewReceiver(Measure));
  SetConsole(console);
  Capture(true);
  Ref m(Run("import subprocess\n"
            "subprocess.run(['sh', '-c', 'head -c 10485760 /dev/zero | tr \"\\\\000\" x'],\n"
            "               timeout=60, check=True)\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_LE(gBytes, size_t(8) << 20);
  for (int i = 0; i < 50 && gNotices.empty(); ++i) {
    usleep(20000);
    host.callShared<void>("Coilwork", "DeliverOutput()");
  }
  size_t dropped = 0;
  ASSERT_EQ(sscanf(gNotices.c_str(), "[%zu bytes", &dropped), 1) << gNotices;
  EXPECT_EQ(gNotices.find('\n'), gNotices.size() - 1) << "one line for one gap: " << gNotices;
  EXPECT_EQ(gBytes + dropped, size_t(10) << 20);
}

}  // namespace
}  // namespace coiltest
