// Sub-interpreters: isolation, holders that enter their own interpreter,
// what crosses between interpreters, errors, output, closing, and many
// interpreters made and closed on several host threads at once.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "subinterpreter_helpers.h"

// A sanitizer's own bookkeeping of memory blurs resident figures.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define COILTEST_SANITIZED 1
#endif
#endif
#if (defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)) && !defined(COILTEST_SANITIZED)
#define COILTEST_SANITIZED 1
#endif
#ifndef COILTEST_SANITIZED
#define COILTEST_SANITIZED 0
#endif

namespace coiltest {
namespace {

TEST_F(SubInterpreterTest, EachInterpreterHasItsOwnMainSysAndModules) {
  Ref a(NewInterp(true)), b(NewInterp(false));
  ASSERT_TRUE(IsOpen(a.get()) && IsOpen(b.get())) << GetError();
  EXPECT_EQ(OwnLock(a.get()), OwnLockExpected());
  EXPECT_FALSE(OwnLock(b.get()));
  Activate(a.get());
  EXPECT_TRUE(ExecCode("x = 'a'\nimport sys, types\nsys.path.append('/only-a')\n"
                       "sys.modules['config'] = types.ModuleType('config')\nsys.modules['config'].who = 'a'"));
  Activate(b.get());  // nests
  EXPECT_TRUE(ExecCode("x = 'b'"));
  EXPECT_EQ(EvalText("x"), "b");
  EXPECT_EQ(EvalText("str('/only-a' in __import__('sys').path)"), "False");
  Deactivate(a.get());  // not the current activation: nothing
  EXPECT_EQ(EvalText("x"), "b");
  Deactivate(b.get());
  EXPECT_EQ(EvalText("x + __import__('config').who"), "aa");
  // Reset gives a's next script a clean slate, and main keeps its own.
  EXPECT_TRUE(host.callShared<int8_t>("Coilwork", "Reset() as Boolean"))
      << host.bytes(SRef(host.callShared<Str>("Coilwork", "GetErrorTraceback() as String")).get());
  EXPECT_EQ(EvalText("str('x' in dir(__import__('__main__')))"), "False");
  EXPECT_TRUE(ExecCode("x = 'a'"));
  // Child processes start in every kind of interpreter.
  EXPECT_EQ(EvalText("str(__import__('subprocess').run(['/bin/sh', '-c', 'exit 3']).returncode)"), "3")
      << GetError();
  Deactivate(a.get());
  EXPECT_EQ(EvalText("str('x' in dir(__import__('__main__')))"), "False");
  EXPECT_EQ(EvalText("str('config' in __import__('sys').modules)"), "False");
  EXPECT_TRUE(Close(a.get()));
  EXPECT_TRUE(Close(b.get()));
  EXPECT_FALSE(IsOpen(a.get()));
  EXPECT_TRUE(Close(a.get()));  // already closed
  a = Ref();
  b = Ref();
  ExpectCountsAtStart();
}

TEST_F(SubInterpreterTest, HoldersEnterTheirInterpreterAndOnlyPlainDataCrosses) {
  Ref a(NewInterp(true));
  Activate(a.get());
  ASSERT_TRUE(ExecCode("n = 40\ndef add(v):\n    return v + n if not isinstance(v, list) else v + [n]\n"
                       "def rep(v):\n    return repr(v + [n])\n"
                       "def poke(v):\n    v[0] = ord('Z')\n    return v.tobytes().decode()"));
  Ref module(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", S("__main__").get()));
  Deactivate(a.get());
  ASSERT_TRUE(module.get());
  Ref add(GetFunction(module.get(), "add")), rep(GetFunction(module.get(), "rep"));
  // Called from the main interpreter, with main's holders as arguments.
  Ref p(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(p.get(), "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(2));
  Ref r(Invoke(add.get(), p.get()));
  ASSERT_TRUE(r.get()) << GetError();
  EXPECT_EQ(ResultInt(r.get()), 42);  // the result lives in a; read from main
  {
    // Numbers of a shared-lock interpreter are read and released from main
    // without entering it: the right values and errors, no reference lost
    // or kept, and a subclass of int still read in its own interpreter.
    Ref b(NewInterp(false));
    Activate(b.get());
    ASSERT_TRUE(ExecCode("import sys\nclass I(int):\n    pass\nkeep = 10**30\ncount = [0]\n"
                         "def get(i):\n    return (keep, 0.5, True, I(7), count[0], 'b')[i]"));
    Ref bMain(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", S("__main__").get()));
    const std::string before = EvalText("str(sys.getrefcount(keep))");
    Deactivate(b.get());
    Ref get(GetFunction(bMain.get(), "get"));
    auto Got = [&](int32_t i) {
      Ref q(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
      host.assign(q.get(), "Int32Value(index as Integer) as Int32", int32_t(0), i);
      return Invoke(get.get(), q.get());
    };
    for (int round = 0; round < 3; ++round) {
      Ref big(Got(0)), half(Got(1)), yes(Got(2)), sub(Got(3));
      EXPECT_EQ(host.call<int64_t>(big.get(), "Int64Value() as Int64"), -1);
      EXPECT_EQ(ErrorType(), "OverflowError");
      ClearError();
      EXPECT_EQ(host.call<double>(half.get(), "DoubleValue() as Double"), 0.5);
      EXPECT_TRUE(host.call<int8_t>(yes.get(), "BooleanValue() as Boolean"));
      EXPECT_EQ(ResultInt(sub.get()), 7);
      EXPECT_FALSE(ErrorOccurred());
    }
    Activate(b.get());
    EXPECT_EQ(EvalText("str(sys.getrefcount(keep))"), before);
    // While main keeps calling into b, the lock still goes over: to a Python
    // thread b starts now, and to a host thread waiting to call main.
    ASSERT_TRUE(ExecCode("import threading, time\nstop = threading.Event()\n"
                         "def spin():\n    while not stop.is_set():\n        count[0] += 1\n        time.sleep(0.001)\n"
                         "spinner = threading.Thread(target=spin)\nspinner.start()"));
    Deactivate(b.get());
    Ref text(Got(5));
    std::atomic<bool> answered{false};
    std::string mainAnswer;
    std::thread waiter([&] {
      mainAnswer = EvalText("str(6 * 7)");
      answered = true;
    });
    // Each read enters b and runs no Python code, which would give the lock
    // over by Python's own switching; between reads host code idles. Only
    // the lock given over as the reads return lets the others run.
    for (int i = 0; i < 400 && !(answered.load() && i >= 200); ++i) {
      EXPECT_EQ(ResultText(text.get()), "b");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(answered.load());
    Ref n(Got(4));
    EXPECT_GE(ResultInt(n.get()), 20);
    waiter.join();
    EXPECT_EQ(mainAnswer, "42");
    Activate(b.get());
    EXPECT_TRUE(ExecCode("stop.set()\nspinner.join()"));
    Deactivate(b.get());
    get = Ref();
    bMain = Ref();
    EXPECT_TRUE(Close(b.get()));
  }
  Ref list(Eval("[1, (2.5, 'x'), {'k': b'v', 'big': 2**80}]"));
  Ref items(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(items.get(), "EntityValue(index as Integer) as Python3EntityBase", int32_t(0), list.get());
  Ref copied(Invoke(rep.get(), items.get()));
  ASSERT_TRUE(copied.get()) << GetError();
  EXPECT_EQ(ResultText(copied.get()), "[1, (2.5, 'x'), {'k': b'v', 'big': 1208925819614629174706176}, 40]");
  // Anything else never crosses.
  Ref other(Eval("object()"));
  host.assign(items.get(), "EntityValue(index as Integer) as Python3EntityBase", int32_t(0), other.get());
  Ref refused(Invoke(rep.get(), items.get()));
  EXPECT_FALSE(refused.get());
  EXPECT_EQ(ErrorType(), "ValueError");
  ClearError();
  // A view of a host MemoryBlock arrives as a view of the same memory.
  Ref block(host.newMemoryBlock("abcd"));
  Ref view(host.callShared<Obj>("Python3Entity",
                                "FromMemoryBlock(block as MemoryBlock, writable as Boolean) as Python3Entity",
                                block.get(), int8_t(1)));
  host.assign(items.get(), "EntityValue(index as Integer) as Python3EntityBase", int32_t(0), view.get());
  Ref poke(GetFunction(module.get(), "poke"));
  Ref poked(Invoke(poke.get(), items.get()));
  ASSERT_TRUE(poked.get()) << GetError();
  EXPECT_EQ(ResultText(poked.get()), "Zbcd");
  Ref m(Exec("def read(v):\n    return v.tobytes().decode()"));
  Ref read(GetFunction(m.get(), "read"));
  Ref seen(Invoke(read.get(), items.get()));
  EXPECT_EQ(ResultText(seen.get()), "Zbcd");
  poke = Ref();
  poked = Ref();
  // A handle of a closed interpreter answers as an empty one.
  add = Ref();
  rep = Ref();
  module = Ref();
  ASSERT_TRUE(Close(a.get()));
  EXPECT_EQ(ResultInt(r.get()), 0);
  EXPECT_FALSE(ErrorOccurred());
  r = Ref();
  copied = Ref();
  p = Ref();
  items = Ref();
  list = Ref();
  other = Ref();
  a = Ref();
  seen = Ref();
  read = Ref();
  m = Ref();
  view = Ref();
  block = Ref();
  ExpectCountsAtStart();
}

TEST_F(SubInterpreterTest, ErrorsAndOutputFollowTheThread) {
  Ref receiver(host.newInstance("CoilworkConsoleOutput"));
  host.setEventHandler(receiver.get(), "ConsoleOutput(output as String)", reinterpret_cast<void*>(&CollectOut));
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", receiver.get());
  gOut.clear();
  Ref a(NewInterp(true));
  Activate(a.get());
  EXPECT_TRUE(ExecCode("print('from a')"));
  EXPECT_FALSE(ExecCode("1 / 0"));
  Deactivate(a.get());
  // The error raised in a is the thread's pending error in main too.
  EXPECT_TRUE(ErrorOccurred());
  EXPECT_EQ(ErrorType(), "ZeroDivisionError");
  EXPECT_NE(GetError().find("division"), std::string::npos);
  EXPECT_FALSE(ErrorOccurred());
  // A newer error of main replaces an older one of a.
  Activate(a.get());
  EXPECT_FALSE(ExecCode("raise KeyError('old')"));
  Deactivate(a.get());
  EXPECT_FALSE(ExecCode("raise IndexError('new')"));
  EXPECT_EQ(ErrorType(), "IndexError");
  ClearError();
  EXPECT_FALSE(ErrorOccurred());
  Activate(a.get());
  EXPECT_FALSE(ErrorOccurred());
  Deactivate(a.get());
  {
    // A function of a shared-lock interpreter called from main: its error is
    // the thread's newest, even over one left pending in main before the
    // call, which is pending again after a call that raises nothing.
    Ref b(NewInterp(false));
    Ref f(FunctionIn(b.get(), "def f(x):\n    if x:\n        raise ValueError('in b')\n    print('from b')\n    return 5",
                     "f"));
    ASSERT_TRUE(f.get()) << GetError();
    auto Call = [&](int32_t x) { return Ref(Invoke(f.get(), Ref(IntParameters(x)).get())); };
    for (bool earlier : {false, true, false}) {
      if (earlier) EXPECT_FALSE(ExecCode("1 / 0"));
      EXPECT_FALSE(Call(1).get());
      EXPECT_EQ(ErrorType(), "ValueError");
      ClearError();
      EXPECT_FALSE(ErrorOccurred());
      if (earlier) EXPECT_FALSE(ExecCode("1 / 0"));
      EXPECT_EQ(ResultInt(Call(0).get()), 5);
      EXPECT_EQ(ErrorOccurred() ? ErrorType() : "", earlier ? "ZeroDivisionError" : "");
      ClearError();
    }
    // Its answer stays b's: empty once b is closed.
    Ref kept(Call(0));
    f = Ref();
    EXPECT_TRUE(Close(b.get()));
    EXPECT_EQ(ResultInt(kept.get()), 0);
  }
  {
    std::lock_guard<std::mutex> guard(gOutLock);
    EXPECT_EQ(gOut, "from a\nfrom b\nfrom b\nfrom b\nfrom b\n");
  }
  // Closed while activated on this thread; activating it then changes
  // nothing and says so.
  Activate(a.get());
  ASSERT_TRUE(Close(a.get())) << GetError();
  Activate(a.get());
  EXPECT_EQ(ErrorType(), "RuntimeError");
  ClearError();
  EXPECT_EQ(EvalText("str(1 + 1)"), "2") << GetError();
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
}

TEST_F(SubInterpreterTest, CloseWaitsForNoCallAndFinalizeClosesEveryInterpreter) {
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(1));
  Ref a(NewInterp(true));
  std::atomic<int> phase{0};
  std::string seen;
  std::thread worker([&] {
    Activate(a.get());
    ExecCode("import time\nstarted = True");
    phase = 1;
    seen = EvalText("[time.sleep(0.01) for _ in range(30)] and 'done'");
    Deactivate(a.get());
    phase = 2;
  });
  while (phase.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(Close(a.get()));  // a call runs in it on the worker
  EXPECT_EQ(ErrorType(), "RuntimeError");
  ClearError();
  worker.join();
  EXPECT_EQ(seen, "done");
  Ref b(NewInterp(false)), c(NewInterp(true));
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(0));
  // A daemon thread of b's own: b cannot end, nor can Finalize, until it has.
  Activate(b.get());
  ASSERT_TRUE(ExecCode("import threading, time\n"
                       "threading.Thread(target=time.sleep, args=(0.3,), daemon=True).start()"));
  Deactivate(b.get());
  EXPECT_FALSE(Close(b.get()));
  EXPECT_EQ(ErrorType(), "RuntimeError");
  ClearError();
  host.callShared<void>("Coilwork", "Finalize()");
  EXPECT_EQ(ErrorType(), "RuntimeError");
  ClearError();
  EXPECT_TRUE(IsOpen(b.get()));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  host.callShared<void>("Coilwork", "Finalize()");
  EXPECT_FALSE(IsOpen(a.get()) || IsOpen(b.get()) || IsOpen(c.get()));
  EnsureInterpreter();
  EXPECT_EQ(EvalText("str(6 * 7)"), "42");
}

// Four host threads each make, use and close interpreters at the same time;
// two of them in parallel prove that own-lock interpreters run at once.
TEST_F(SubInterpreterTest, ManyInterpretersOnManyThreadsAtOnce) {
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(1));
  std::atomic<int> wrong{0}, made{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      for (int i = 0; i < 25; ++i) {
        Ref in(NewInterp(true));
        if (!IsOpen(in.get())) {
          ++wrong;
          continue;
        }
        ++made;
        Activate(in.get());
        ExecCode("v = " + std::to_string(k * 100 + i));
        if (EvalText("str(v * 2)") != std::to_string((k * 100 + i) * 2)) ++wrong;
        Deactivate(in.get());
        if (!Close(in.get())) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0) << GetError();
  EXPECT_EQ(made.load(), 100);

  // Two CPU-bound loops, one after the other and then on two threads.
  auto loop = [&](Obj in) {
    Activate(in);
    std::string r = EvalText("str(sum(i * i % 7 for i in range(1500000)))");
    Deactivate(in);
    return r;
  };
  Ref x(NewInterp(true)), y(NewInterp(true));
  auto t0 = std::chrono::steady_clock::now();
  std::string one = loop(x.get()), two = loop(y.get());
  auto t1 = std::chrono::steady_clock::now();
  std::string p1, p2;
  std::thread tx([&] { p1 = loop(x.get()); }), ty([&] { p2 = loop(y.get()); });
  tx.join();
  ty.join();
  auto t2 = std::chrono::steady_clock::now();
  EXPECT_EQ(one, two);
  EXPECT_EQ(p1, one);
  EXPECT_EQ(p2, one);
  printf("two loops: %.2f speed-up on two host threads (%s interpreters)\n",
         std::chrono::duration<double>(t1 - t0).count() / std::chrono::duration<double>(t2 - t1).count(),
         OwnLock(x.get()) ? "own-lock" : "shared-lock");
  EXPECT_TRUE(Close(x.get()) && Close(y.get()));
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(0));
}


// Interrupt and the time limit stop calls in sub-interpreters, on the home
// thread and on another host thread, and the next call there works.
TEST_F(SubInterpreterTest, StopsReachCallsInSubInterpreters) {
  // Before 3.12 the interpreter shares the main lock: this thread lets the
  // worker have it while it waits.
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(1));
  Ref a(NewInterp(true));
  std::atomic<int> phase{0};
  std::string stopped, after;
  std::thread worker([&] {
    Activate(a.get());
    phase = 1;
    bool ran = ExecCode("while True:\n    pass");
    stopped = ran ? "ran" : ErrorType();
    ClearError();
    after = EvalText("str(2 + 2)");
    Deactivate(a.get());
  });
  while (phase.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  host.callShared<void>("Coilwork", "Interrupt()");
  worker.join();
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(0));
  EXPECT_EQ(stopped, "KeyboardInterrupt");
  EXPECT_EQ(after, "4");
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", int32_t(50));
  Activate(a.get());
  EXPECT_FALSE(ExecCode("while True:\n    pass"));
  EXPECT_EQ(ErrorType(), "KeyboardInterrupt");
  ClearError();
  EXPECT_EQ(EvalText("str(3 + 3)"), "6");
  Deactivate(a.get());
  // A function of a shared-lock interpreter that main calls is stopped too,
  // and the next call runs to its end.
  Ref b(NewInterp(false));
  Ref spin(FunctionIn(b.get(), "def spin(n):\n    while n:\n        pass\n    return 7", "spin"));
  ASSERT_TRUE(spin.get()) << GetError();
  for (int32_t n : {1, 0}) {
    Ref r(Invoke(spin.get(), Ref(IntParameters(n)).get()));
    EXPECT_EQ(r.get() ? std::to_string(ResultInt(r.get())) : ErrorType(), n ? "KeyboardInterrupt" : "7");
    ClearError();
  }
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", int32_t(0));
  spin = Ref();
  EXPECT_TRUE(Close(b.get())) << GetError();
  EXPECT_TRUE(Close(a.get())) << GetError();
}

// What a create-and-close cycle leaves behind, beside what CPython itself
// leaves for the same cycle made through its own API on this thread.
TEST_F(SubInterpreterTest, CyclesCostLittleBeyondPythonsOwnFigure) {
  auto resident = [] {
    std::ifstream statm("/proc/self/statm");
    size_t total = 0, pages = 0;
    statm >> total >> pages;
    return double(pages) * double(sysconf(_SC_PAGESIZE));
  };
  struct Status {
    int type;
    const char* func;
    const char* message;
    int exitcode;
  };
  auto newConfig = reinterpret_cast<Status (*)(void**, const int*)>(PySym("Py_NewInterpreterFromConfig"));
  auto newLegacy = reinterpret_cast<void* (*)()>(PySym("Py_NewInterpreter"));
  auto end = reinterpret_cast<void (*)(void*)>(PySym("Py_EndInterpreter"));
  auto swap = reinterpret_cast<void* (*)(void*)>(PySym("PyThreadState_Swap"));
  auto restore = reinterpret_cast<void (*)(void*)>(PySym("PyEval_RestoreThread"));
  ASSERT_TRUE(newLegacy && end && swap && restore);
  const bool modern = newConfig != nullptr;
  // One raw cycle on this thread, which holds the main interpreter's lock
  // between the plugin's calls.
  auto ensure = reinterpret_cast<int (*)()>(PySym("PyGILState_Ensure"));
  auto release = reinterpret_cast<void (*)(int)>(PySym("PyGILState_Release"));
  auto current = reinterpret_cast<void* (*)()>(PySym("PyThreadState_Get"));
  ASSERT_TRUE(ensure && release && current);
  auto raw = [&](bool own) {
    int held = ensure();
    void* main = current();
    void* made = nullptr;
    if (modern) {
      const int shared[] = {1, 1, 1, 1, 1, 0, 1}, isolated[] = {0, 0, 1, 1, 0, 1, 2};
      Status status = newConfig(&made, own ? isolated : shared);
      ASSERT_EQ(status.type, 0);
      end(made);  // gives every lock back from 3.12 on
      restore(main);
    } else {
      made = newLegacy();
      ASSERT_TRUE(made);
      end(made);  // keeps the shared lock, with no state current
      swap(main);
    }
    release(held);
  };
  auto plugin = [&](bool own) {
    Ref in(NewInterp(own));
    ASSERT_TRUE(IsOpen(in.get()));
    EXPECT_TRUE(Close(in.get()));
  };
  for (bool own : {false, true}) {
    if (own && !modern) continue;
    const int cycles = own ? 40 : 100;
    for (int i = 0; i < 5; ++i) {
      raw(own);
      plugin(own);
    }
    double r0 = resident();
    for (int i = 0; i < cycles; ++i) raw(own);
    double r1 = resident();
    for (int i = 0; i < cycles; ++i) plugin(own);
    double r2 = resident();
    double python = (r1 - r0) / cycles / 1024, ours = (r2 - r1) / cycles / 1024;
    printf("%s-lock create and close: Python %.1f KiB per cycle, through the plugin %.1f KiB\n",
           own ? "own" : "shared", python, ours);
#if !COILTEST_SANITIZED
    EXPECT_LT(ours - python, 32.0) << (own ? "own" : "shared") << "-lock cycles";
#endif
  }
  ExpectCountsAtStart();
}

// An extension module that supports one interpreter per process refuses a
// second cleanly, and the main interpreter's copy keeps working.
TEST_F(SubInterpreterTest, NumpyStaysInTheMainInterpreter) {
  // numpy cannot be imported again once an earlier interpreter of the
  // process had it: the test command runs this case in a process of its own.
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    if (line.find("_multiarray_umath") != std::string::npos)
      GTEST_SKIP() << "numpy was loaded by an earlier test of this process";
  if (!ExecCode("import numpy")) {
    ClearError();
    GTEST_SKIP() << "numpy is not installed for this Python";
  }
  Ref a(NewInterp(false));
  Activate(a.get());
  EXPECT_FALSE(ExecCode("import numpy"));
  std::string type = ErrorType(), message = GetError();
  Deactivate(a.get());
  EXPECT_EQ(type, "ImportError") << message;
  EXPECT_EQ(EvalText("str(numpy.arange(4).sum())"), "6");
  EXPECT_TRUE(Close(a.get()));
  EXPECT_EQ(EvalText("str(numpy.ones(3).sum())"), "3.0");
}

}  // namespace
}  // namespace coiltest
