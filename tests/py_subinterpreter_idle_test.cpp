// Sub-interpreters used by host worker threads while the home thread idles
// in its event loop and keeps the lock between its calls: making, using and
// closing interpreters, Python's own waits in them, stops, and Close around
// running calls. Nothing here may wait for ever.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "subinterpreter_helpers.h"

namespace coiltest {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Four workers each make, use and close 25 interpreters, five rounds over.
TEST_F(SubInterpreterTest, WorkersMakeUseAndCloseWhileTheHomeThreadIdles) {
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> made{0}, wrong{0}, running{4}, ended{0};
    std::string first;  // the first fault's error, set by the worker that counts it first
    std::vector<std::thread> workers;
    for (int k = 0; k < 4; ++k) {
      workers.emplace_back([&] {
        auto note = [&] {  // counts a fault, keeping the first one's error
          std::string error = GetError();
          if (wrong++ == 0) first = error.empty() ? "no error pending" : error;
        };
        for (int i = 0; i < 25; ++i) {
          Ref in(NewInterp(true));
          if (!IsOpen(in.get())) {
            note();
            continue;
          }
          ++made;
          Activate(in.get());
          const bool ran = ExecCode("import json, re\nv = sum(range(1000))");
          Ref same(Eval("v == 499500"));
          if (!ran || !same.get() || !host.call<int8_t>(same.get(), "BooleanValue() as Boolean")) note();
          same = Ref();
          Deactivate(in.get());
          if (!Close(in.get())) note();
          ++ended;
        }
        --running;
      });
    }
    IdleUntil([&] { return running.load() == 0; }, "four workers making interpreters", 60,
              [&] { return long(made.load() + ended.load()); });
    for (std::thread& w : workers) w.join();
    EXPECT_EQ(made.load(), 100) << "round " << round;
    EXPECT_EQ(wrong.load(), 0) << "round " << round << ": " << first;
  }
  ExpectCountsAtStart();
}

// One worker holds Python's import lock across a sleep in its interpreter;
// another imports meanwhile and waits for it. The first needs the shared lock
// back after its sleep, which the idle home thread keeps.
TEST_F(SubInterpreterTest, ImportWaitsForALockAnotherWorkerHolds) {
  WriteModule("idle_fresh", "value = 7\n");
  Ref a(NewInterp(false)), b(NewInterp(false));
  std::atomic<int> phase{0};
  std::atomic<bool> imported{false};
  std::string heldAnswer, importAnswer;
  std::thread holder([&] {
    Activate(a.get());
    phase = 1;
    heldAnswer = ExecCode("import _imp, time\n_imp.acquire_lock()\ntry:\n    time.sleep(0.3)\n"
                          "finally:\n    _imp.release_lock()\ndone = 'held'")
                     ? EvalText("done")
                     : GetError();
    Deactivate(a.get());
    phase = 2;
  });
  IdleUntil([&] { return phase.load() >= 1; }, "the lock holder's start");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread importer([&] {
    Activate(b.get());
    importAnswer = ExecCode("import sys\nsys.path.insert(0, '" + ModuleDir() + "')\nimport idle_fresh")
                       ? EvalText("str(idle_fresh.value)")
                       : GetError();
    Deactivate(b.get());
    imported = true;
  });
  IdleUntil([&] { return phase.load() == 2 && imported.load(); }, "an import behind another worker's import lock");
  holder.join();
  importer.join();
  EXPECT_EQ(heldAnswer, "held");
  EXPECT_EQ(importAnswer, "7");
  EXPECT_TRUE(Close(a.get()) && Close(b.get())) << GetError();
}

// Interrupt and the time limit stop a loop in a shared-lock interpreter on a
// worker, at once, while the home thread idles; the worker's next call runs.
TEST_F(SubInterpreterTest, StopsReachALoopInASubInterpreterOnAWorker) {
  Ref a(NewInterp(false));
  for (bool byLimit : {false, true}) {
    if (byLimit) host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", int32_t(300));
    std::atomic<int> phase{0};
    std::string stopped, after;
    std::thread worker([&] {
      Activate(a.get());
      phase = 1;
      bool ran = ExecCode("import time\nt0 = time.time()\nwhile time.time() - t0 < 8:\n    pass");
      stopped = ran ? "ran to its end" : ErrorType();
      ClearError();
      after = EvalText("str(2 + 2)");
      Deactivate(a.get());
      phase = 2;
    });
    IdleUntil([&] { return phase.load() >= 1; }, "the worker's start");
    const auto t0 = Clock::now();
    if (!byLimit) {
      IdleUntil([&] { return SecondsSince(t0) > 0.4; }, "400 ms of idling");
      host.callShared<void>("Coilwork", "Interrupt()");
    }
    IdleUntil([&] { return phase.load() == 2; }, "a stopped loop in a sub-interpreter");
    worker.join();
    EXPECT_LT(SecondsSince(t0), 4.0) << (byLimit ? "time limit" : "Interrupt");
    EXPECT_EQ(stopped, "KeyboardInterrupt") << (byLimit ? "time limit" : "Interrupt");
    EXPECT_EQ(after, "4");
  }
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", int32_t(0));
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_TRUE(Close(a.get())) << GetError();
}

// Close on the home thread while a worker sleeps in the interpreter: False
// with RuntimeError, at once; the home thread's activation of it stays, and
// the worker's code goes on with its globals.
TEST_F(SubInterpreterTest, CloseWhileAnotherThreadSleepsInTheInterpreter) {
  Ref a(NewInterp(false));
  std::atomic<int> phase{0};
  std::string seen;
  std::thread worker([&] {
    Activate(a.get());
    phase = 1;
    seen = ExecCode("import time\nx = 1\ntime.sleep(1.0)\ny = x + 1") ? EvalText("str(x + y)")
                                                                     : "raised " + ErrorType() + ": " + GetError();
    Deactivate(a.get());
    phase = 2;
  });
  IdleUntil([&] { return phase.load() >= 1; }, "the worker's start");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Activate(a.get());
  const auto t0 = Clock::now();
  EXPECT_FALSE(Close(a.get()));
  EXPECT_LT(SecondsSince(t0), 0.8) << "Close waited for the call";
  EXPECT_EQ(ErrorType(), "RuntimeError");
  ClearError();
  EXPECT_EQ(EvalText("str(x)"), "1") << "the activation went with the refused Close";
  Deactivate(a.get());
  IdleUntil([&] { return phase.load() == 2; }, "the sleeping worker");
  worker.join();
  EXPECT_EQ(seen, "3");
  EXPECT_TRUE(Close(a.get())) << GetError();
}

// Host code that the interpreter's own code calls tries to close it: False
// with RuntimeError raised there, and the code's globals and the current
// interpreter stay as they were. The host function is one of a registered
// module, which every interpreter imports; the registration stays for the
// rest of the process, and so does the module its creator answers.
Obj gClosing;
Obj gCloserModule;
std::atomic<int> gCloseAnswer{-1};
void* CreateCloserModule() { return Host::get().call<void*>(gCloserModule, "ModuleCreateProc() as Ptr"); }
// Answers nil: with Close's error pending, that is raised in the caller.
void* CloseFromPython(void*, void*) {
  gCloseAnswer = Host::get().call<int8_t>(gClosing, "Close() as Boolean");
  return nullptr;
}

TEST_F(SubInterpreterTest, CloseFromTheInterpretersOwnCode) {
  Ref module(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                         S("cw_closer").get(), uint32_t(1)));
  host.call<void>(module, "RegisterFunction(name as String, fuction as Ptr)", S("close").get(),
                  reinterpret_cast<void*>(&CloseFromPython));
  gCloserModule = module.get();
  host.callShared<void>("Coilwork",
                        "RegisterXojoModule(xojoModule as Python3XojoModule, "
                        "moduleCreatorFunction as Ptr)",
                        module.get(), reinterpret_cast<void*>(&CreateCloserModule));
  Ref a(NewInterp(false));
  gClosing = a.get();
  const std::string code =
      "import cw_closer\nx = 5\ntry:\n    cw_closer.close()\n    said = 'closed'\n"
      "except RuntimeError as e:\n    said = str(e)\nx += 1";
  for (bool onWorker : {false, true}) {
    gCloseAnswer = -1;
    std::string said, x, after;
    auto run = [&] {
      Activate(a.get());
      if (ExecCode(code)) {
        said = EvalText("said");
        x = EvalText("str(x)");
      }
      Deactivate(a.get());
      after = EvalText("str('said' in dir(__import__('__main__')))");
    };
    if (onWorker) {
      std::atomic<bool> done{false};
      std::thread worker([&] {
        run();
        done = true;
      });
      IdleUntil([&] { return done.load(); }, "Close from the interpreter's own code on a worker");
      worker.join();
    } else {
      run();
    }
    EXPECT_EQ(gCloseAnswer.load(), 0) << (onWorker ? "worker" : "home");
    EXPECT_NE(said.find("cannot be closed"), std::string::npos) << said;
    EXPECT_EQ(x, "6") << "globals of the calling code";
    EXPECT_EQ(after, "False") << "the main interpreter is current after Deactivate";
    EXPECT_TRUE(IsOpen(a.get()));
  }
  EXPECT_TRUE(Close(a.get())) << GetError();
  gClosing = nullptr;
}

// Finalize while a worker loops in its interpreter: it answers at once with
// RuntimeError saying why and stops nothing; once Interrupt has stopped the
// loop, the interpreter closes.
TEST_F(SubInterpreterTest, FinalizeWithAWorkerLoopingInItsInterpreter) {
  for (bool own : {false, true}) {
    Ref a(NewInterp(own));
    std::atomic<int> phase{0};
    std::string stopped;
    std::thread worker([&] {
      Activate(a.get());
      phase = 1;
      stopped = ExecCode("while True:\n    pass") ? "ran to its end" : ErrorType();
      ClearError();
      Deactivate(a.get());
      phase = 2;
    });
    IdleUntil([&] { return phase.load() >= 1; }, "the worker's start");
    const auto t0 = Clock::now();
    IdleUntil([&] { return SecondsSince(t0) > 0.2; }, "200 ms of idling");
    host.callShared<void>("Coilwork", "Finalize()");
    EXPECT_LT(SecondsSince(t0), 3.0);
    EXPECT_NE(GetError().find("cannot close a sub-interpreter now"), std::string::npos);
    ClearError();
    EXPECT_EQ(EvalText("str(6 * 7)"), "42") << "Python still runs";
    host.callShared<void>("Coilwork", "Interrupt()");
    IdleUntil([&] { return phase.load() == 2; }, "the worker's loop, stopped after Finalize declined");
    worker.join();
    EXPECT_EQ(stopped, "KeyboardInterrupt");
    EXPECT_TRUE(Close(a.get())) << GetError();
  }
}

}  // namespace
}  // namespace coiltest
