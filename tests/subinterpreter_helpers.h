// Shared by the sub-interpreter suites: the fixture with shorthands for
// Python3Interpreter and the Coilwork members the cases call in it.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "code_helpers.h"

namespace coiltest {

inline const char kCtor[] = "Constructor(ownLock as Boolean)";

inline std::mutex gOutLock;
inline std::string gOut;
inline void CollectOut(Obj, Str text) {
  std::lock_guard<std::mutex> guard(gOutLock);
  gOut += Host::get().bytes(text);
}

class SubInterpreterTest : public CodeTest {
 protected:
  Obj NewInterp(bool ownLock) { return host.create("Python3Interpreter", kCtor, int8_t(ownLock)); }
  void Activate(Obj i) { host.call<void>(i, "Activate()"); }
  void Deactivate(Obj i) { host.call<void>(i, "Deactivate()"); }
  bool Close(Obj i) { return host.call<int8_t>(i, "Close() as Boolean") != 0; }
  bool IsOpen(Obj i) { return host.prop<int8_t>(i, "IsOpen") != 0; }
  bool OwnLock(Obj i) { return host.prop<int8_t>(i, "HasOwnLock") != 0; }
  bool ExecCode(const std::string& code) {
    return host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", S(code).get()) != 0;
  }
  Obj Eval(const std::string& e) {
    return host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result", S(e).get());
  }
  std::string EvalText(const std::string& e) {
    Ref r(Eval(e));
    return r.get() ? ResultText(r.get()) : "<nil>";
  }
  std::string ErrorType() {
    SRef s(host.callShared<Str>("Coilwork", "GetErrorType() as String"));
    return s.bytes();
  }
  bool OwnLockExpected() { return PythonMinor() >= 12; }
  // Runs code in interpreter i; its __main__'s function of that name, or nil.
  Obj FunctionIn(Obj i, const std::string& code, const std::string& name) {
    Activate(i);
    bool ran = ExecCode(code);
    Ref m(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", S("__main__").get()));
    Deactivate(i);
    return ran && m.get() ? GetFunction(m.get(), name) : nullptr;
  }
  // The home thread as a real host's main thread spends its life: its event
  // loop calls DeliverOutput and ErrorOccurred every few milliseconds and
  // never waits in a way that gives the interpreter lock away. Returns once
  // done() holds; a hang ends the process after the bound, naming what
  // waited (stuck host threads cannot be joined). Given progress(), the
  // bound counts from its last change (an emulated CPU is slow, not stuck).
  void IdleUntil(const std::function<bool()>& done, const char* what, int seconds = 60,
                 const std::function<long()>& progress = nullptr) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long seen = progress ? progress() : 0;
    while (!done()) {
      host.callShared<void>("Coilwork", "DeliverOutput()");
      ErrorOccurred();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (progress && progress() != seen) {
        seen = progress();
        until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
      }
      if (std::chrono::steady_clock::now() > until) {
        fprintf(stderr, "HUNG: %s still waited for after %d s; the process ends here\n", what, seconds);
        fflush(stderr);
        _exit(3);
      }
    }
  }
  // Parameters of one Int32.
  Obj IntParameters(int32_t v) {
    Obj q = host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1));
    host.assign(q, "Int32Value(index as Integer) as Int32", int32_t(0), v);
    return q;
  }
};

}  // namespace coiltest
