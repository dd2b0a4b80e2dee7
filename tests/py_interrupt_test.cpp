// Stopping Python: Interrupt from any thread and a time limit on every
// outermost call. A stop hits only the call running when it was asked for,
// unwinds nested calls as one, spares Python's own threads, Init and
// Finalize, and leaves nothing behind for the next call.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "code_helpers.h"

namespace coiltest {
namespace {

using Clock = std::chrono::steady_clock;
int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const char kSpin[] = "while True:\n    pass\n";

class InterruptTest : public CodeTest {
 protected:
  void TearDown() override {
    Limit(0);
    host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(0));
    CodeTest::TearDown();
  }
  void Limit(int32_t ms) {
    host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", ms);
  }
  void Interrupt() { host.callShared<void>("Coilwork", "Interrupt()"); }
  bool ExecMain(const std::string& code) {
    return host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", S(code).get()) != 0;
  }
  // Expects a KeyboardInterrupt pending and consumes it: its message.
  std::string Stopped() {
    SRef type(host.callShared<Str>("Coilwork", "GetErrorType() as String"));
    EXPECT_EQ(type.bytes(), "KeyboardInterrupt");
    EXPECT_TRUE(host.callShared<int8_t>("Coilwork", "ErrorMatches(errorType as Integer) as Boolean",
                                        int32_t(9)));
    return GetError();
  }
  int32_t MainInt(const std::string& name) {
    Ref main(GetModule("__main__"));
    return Int32(main, name);
  }
};

TEST_F(InterruptTest, TimeLimitStopsEachPeriodAndSparesShortCalls) {
  Limit(-5);  // taken as 0
  EXPECT_TRUE(ExecMain("import time\nt = time.monotonic()\nwhile time.monotonic() - t < 0.1: pass\n"));

  Limit(40);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(ExecMain(kSpin));
  int64_t took = MsSince(start);
  EXPECT_GE(took, 40);
  EXPECT_LT(took, 2000);
  EXPECT_EQ(Stopped(), "time limit of 40 milliseconds exceeded");

  // Code that catches it and goes on is stopped again each period. (From
  // 3.11 on, Python may raise an asynchronous exception at a loop's jump as
  // if outside a try around the loop in the same function, so the loops
  // that are caught run in a function of their own.)
  EXPECT_TRUE(ExecMain("def spin():\n    while True: pass\n"
                       "caught = 0\n"
                       "while caught < 3:\n"
                       "    try:\n"
                       "        spin()\n"
                       "    except KeyboardInterrupt:\n"
                       "        caught += 1\n")) << GetError();
  EXPECT_EQ(MainInt("caught"), 3);

  // Calls shorter than the limit, one after another with pauses between:
  // none inherits the time of one before it.
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(ExecMain("t = time.monotonic()\nwhile time.monotonic() - t < 0.02: pass\n"))
        << "call " << i << " stopped: " << GetError();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(ErrorOccurred());

  // A stop leaves nothing behind that later code keeps tripping over: code
  // run under a trace function (a debugger's, coverage's) runs through, well
  // within a limit that would stop it otherwise.
  Limit(3000);
  EXPECT_TRUE(ExecMain("import sys\n"
                       "def f():\n"
                       "    return 1\n"
                       "sys.settrace(lambda *a: None)\n"
                       "for i in range(100):\n"
                       "    f()\n"
                       "sys.settrace(None)\n"))
      << "a traced call after a stop: " << GetError();
  ExpectCountsAtStart();
}

TEST_F(InterruptTest, InterruptStopsTheRunningCallOnlyAndNeverPythonThreads) {
  // Nothing running, asked here and from another host thread while this one
  // keeps the lock: it returns at once, and nothing waits for the next call.
  Interrupt();
  auto idle = std::async(std::launch::async, [&] { Interrupt(); });
  ASSERT_EQ(idle.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(ExecMain("import time\nt = time.monotonic()\nwhile time.monotonic() - t < 0.1: pass\n"));

  // A loop on this thread, stopped from a second host thread; a Python
  // thread spinning meanwhile runs to its end.
  ASSERT_TRUE(ExecMain("import threading\n"
                       "outcome = []\n"
                       "def work():\n"
                       "    t = time.monotonic()\n"
                       "    try:\n"
                       "        while time.monotonic() - t < 0.3: pass\n"
                       "        outcome.append('done')\n"
                       "    except KeyboardInterrupt:\n"
                       "        outcome.append('stopped')\n"
                       "worker = threading.Thread(target=work)\n"
                       "worker.start()\n"));
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      if (!done) Interrupt();
    }
  });
  bool ran = ExecMain(kSpin);
  done = true;
  stopper.join();
  EXPECT_FALSE(ran);
  EXPECT_EQ(Stopped(), "");
  EXPECT_TRUE(ExecMain("worker.join()\nfinished = 1 if outcome == ['done'] else 0\n"))
      << GetError();
  EXPECT_EQ(MainInt("finished"), 1) << "the Python thread was stopped";
}

// A thread the stopped call has just started carries the caller's id in
// Python until it runs; the stop must still reach the call alone.
TEST_F(InterruptTest, AThreadStartedAsTheStopArrivesIsSpared) {
  // A stop that kills the new thread leaves the call waiting for it for
  // good: Python's fault handler ends the process then, rather than a hang.
  ASSERT_TRUE(ExecMain("import sys, threading, faulthandler\n"
                       "faulthandler.dump_traceback_later(60, exit=True)\n"
                       "hits = []\n"
                       "def note(x):\n"
                       "    hits.append(repr(getattr(x, 'exc_value', x)))\n"
                       "if hasattr(sys, 'unraisablehook'):\n"
                       "    sys.unraisablehook = note\n"
                       "if hasattr(threading, 'excepthook'):\n"
                       "    threading.excepthook = note\n"
                       "def starter():\n"
                       "    while True:\n"
                       "        t = threading.Thread(target=len, args=((),))\n"
                       "        t.start()\n"
                       "        t.join()\n"));
  Limit(7);
  for (int i = 0; i < 25; ++i) {
    EXPECT_FALSE(ExecMain("starter()"));
    Stopped();
  }
  Limit(0);
  // Joins are left out: a stop that lands inside Python's own join or start
  // may leave a thread's bookkeeping unfinished.
  ASSERT_TRUE(ExecMain("import time\ntime.sleep(0.3)\nspared = 0 if hits else 1\n"
                       "faulthandler.cancel_dump_traceback_later()\n"));
  EXPECT_EQ(MainInt("spared"), 1) << "a Python thread the call started was stopped too";
}

TEST_F(InterruptTest, LimitStopsACallOfASecondHostThread) {
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(1));
  ASSERT_TRUE(ExecMain("def spin():\n    while True: pass\n"));
  Limit(40);
  auto other = std::async(std::launch::async, [&] {
    return ExecMain("seen = ''\ntry:\n    spin()\nexcept KeyboardInterrupt:\n"
                    "    seen = 'stopped'\n");
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(other.get());
  Ref main(GetModule("__main__"));
  EXPECT_EQ(String(main, "seen"), "stopped");
}

Obj gStopModule;
std::atomic<int64_t> gInnerMs{-1};
void* CreateStopModule() {
  return Host::get().call<void*>(gStopModule, "ModuleCreateProc() as Ptr");
}
// A host function that calls back into Python, which loops: answers nil
// with the inner call's error pending.
void* LoopInPython(void*, void*) {
  Host& host = Host::get();
  Clock::time_point start = Clock::now();
  SRef code(host.newString(kSpin));
  host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", code.get());
  gInnerMs = MsSince(start);
  return nullptr;
}

TEST_F(InterruptTest, NestedCallsAreStoppedAsOneFromTheOutermostEntry) {
  Ref module(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                         S("cw_stop").get(), uint32_t(1)));
  host.call<void>(module, "RegisterFunction(name as String, fuction as Ptr)", S("loop").get(),
                  reinterpret_cast<void*>(&LoopInPython));
  gStopModule = module.get();
  host.callShared<void>("Coilwork",
                        "RegisterXojoModule(xojoModule as Python3XojoModule, "
                        "moduleCreatorFunction as Ptr)",
                        module.get(), reinterpret_cast<void*>(&CreateStopModule));
  Limit(150);
  EXPECT_FALSE(ExecMain("import time, cw_stop\n"
                        "t = time.monotonic()\n"
                        "while time.monotonic() - t < 0.1: pass\n"
                        "cw_stop.loop()\n"
                        "reached = 1\n"));
  EXPECT_EQ(Stopped(), "time limit of 150 milliseconds exceeded");
  EXPECT_GE(gInnerMs.load(), 0);
  EXPECT_LT(gInnerMs.load(), 150) << "the limit counted from the inner call";
  Ref main(GetModule("__main__"));
  EXPECT_FALSE(Has(main, "reached"));
  EXPECT_TRUE(ExecMain("after = 1"));
}

TEST_F(InterruptTest, LimitHoldsAcrossFinalizeAndInitWhichItNeverStops) {
  Limit(1);
  host.callShared<void>("Coilwork", "Finalize()");
  host.callShared<void>("Coilwork", "Init()");
  EXPECT_FALSE(ErrorOccurred()) << GetError();
  EXPECT_FALSE(ExecMain(kSpin));
  EXPECT_EQ(Stopped(), "time limit of 1 millisecond exceeded");
  Limit(0);
  EXPECT_TRUE(ExecMain("import sys\nstarted = 1 if sys.argv is not None else 0\n"));
  EXPECT_EQ(MainInt("started"), 1);
  EnsureInterpreter();
}

// Reset runs Python code of its own: neither the limit nor a stream of
// Interrupts cuts it short, while the scripts between Resets are stopped.
TEST_F(InterruptTest, ResetIsNeverStopped) {
  std::atomic<bool> done{false};
  std::thread stopper;
  int stopped = 0;
  Limit(1);
  for (int i = 0; i < 40; ++i) {
    if (i == 20) {  // the second half under Interrupts instead
      Limit(0);
      stopper = std::thread([&] { while (!done) Interrupt(); });
    }
    EXPECT_TRUE(host.callShared<int8_t>("Coilwork", "Reset() as Boolean")) << i << ": " << GetError();
    EXPECT_FALSE(ErrorOccurred());
    // Objects enough that collecting them makes the next Reset take a while.
    if (!ExecMain("junk = [[i] for i in range(200000)]\n") && ++stopped) Stopped();
  }
  done = true;
  stopper.join();
  EXPECT_GT(stopped, 20) << "no script was stopped by Interrupt";
  EXPECT_TRUE(ExecMain("after = 1")) << GetError();
}

}  // namespace
}  // namespace coiltest
