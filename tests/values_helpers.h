// Shared by the value-holder suites: a scratch Python namespace that tests
// evaluate expressions in, and ways to move objects between it and the
// value holders. Objects reach the holders through Invoke results; holders
// reach the namespace through a Python3Dictionary handed to Python.
#pragma once

#include <dlfcn.h>

#include <string>

#include "support/python_fixture.h"

namespace coiltest {

constexpr const char* kHelperSource = R"PY(
NS = {}
def ev(src):
    return eval(src, NS)
def ex(src):
    exec(src, NS)
def reset():
    NS.clear()
def absorb(d):
    NS.update(d)
def kinds(*args):
    return ','.join(type(a).__name__ for a in args)
)PY";

class ValuesTest : public PythonTest {
 protected:
  void SetUp() override {
    EnsureInterpreter();
    static bool written = false;
    if (!written) {
      WriteModule("coil_values", kHelperSource);
      written = true;
    }
    module_.reset(GetModule("coil_values"));
    ASSERT_NE(module_.get(), nullptr) << GetError();
    for (auto* f : {&ev_, &ex_, &absorb_, &kinds_}) f->reset();
    ev_.reset(Function("ev"));
    ex_.reset(Function("ex"));
    absorb_.reset(Function("absorb"));
    kinds_.reset(Function("kinds"));
    Reset();
    PythonTest::SetUp();  // counts start here, with the helpers alive
  }

  void TearDown() override {
    Reset();
    ClearError();
    EXPECT_EQ(host.liveObjects(), startObjects) << "host objects leaked";
    EXPECT_EQ(host.liveStrings(), startStrings) << "host strings leaked";
    for (auto* f : {&ev_, &ex_, &absorb_, &kinds_, &module_}) f->reset();
    PythonTest::TearDown();
  }

  Obj Function(const std::string& name) {
    return host.call<Obj>(module_.get(), "GetFunction(name as String) as Python3Function",
                          S(name).get());
  }

  // Calls a Python function with the given Python3Parameters (or nil).
  Obj Invoke(Obj fn, Obj params) {
    return host.call<Obj>(fn, "Invoke(parameters as Python3Parameters) as Python3Result",
                          params);
  }

  Obj Params(int32_t count) {
    return host.create("Python3Parameters", "Constructor(parameterCount as Integer)", count);
  }

  // Calls fn with one str argument.
  Obj CallWithText(Obj fn, const std::string& text) {
    Ref p(Params(1));
    host.assign(p.get(), "StringValue(index as Integer) as String", int32_t(0), S(text).get());
    return Invoke(fn, p.get());
  }

  // Evaluates a Python expression in the namespace: a Python3Result.
  Obj Eval(const std::string& expr) { return CallWithText(ev_.get(), expr); }

  // Empties the namespace, releasing what tests left there.
  void Reset() {
    Ref f(Function("reset"));
    Ref r(Invoke(f.get(), nullptr));
    ASSERT_NE(r.get(), nullptr) << GetError();
  }

  // Runs Python statements in the namespace.
  void Exec(const std::string& code) {
    Ref r(CallWithText(ex_.get(), code));
    ASSERT_NE(r.get(), nullptr) << code << ": " << GetError();
  }

  // The truth of a Python expression (errors fail the test).
  bool Check(const std::string& expr) {
    Ref r(Eval(expr));
    EXPECT_NE(r.get(), nullptr) << expr << ": " << GetError();
    return r.get() && host.call<int8_t>(r.get(), "BooleanValue() as Boolean") != 0;
  }

  // The str of a Python expression's value.
  std::string Text(const std::string& expr) {
    Ref r(Eval("str(" + expr + ")"));
    if (!r.get()) return "<error: " + GetError() + ">";
    SRef s(host.call<Str>(r.get(), "StringValue() as String"));
    return s.bytes();
  }

  // A Python3Entity holding the value of a Python expression.
  Obj Entity(const std::string& expr) {
    Ref r(Eval("{'v': (" + expr + ")}"));
    if (!r.get()) {
      ADD_FAILURE() << expr << ": " << GetError();
      return nullptr;
    }
    Ref d(host.call<Obj>(r.get(), "DictionaryValue() as Python3Dictionary"));
    return host.call<Obj>(d.get(), "GetValue(key as String) as Python3Entity", S("v").get());
  }

  // Stores the object a value holder holds in the namespace under name.
  void Put(const std::string& name, Obj holder) {
    Ref d(host.create("Python3Dictionary", "Constructor()"));
    host.call<void>(d.get(), "SetValue(key as String, value as Python3EntityBase)",
                    S(name).get(), holder);
    Ref p(Params(1));
    host.assign(p.get(), "DictionaryValue(index as Integer) as Python3Dictionary", int32_t(0),
                d.get());
    Ref r(Invoke(absorb_.get(), p.get()));
    ASSERT_NE(r.get(), nullptr) << GetError();
  }

  // The type names of the items of a tuple, as Python sees them.
  std::string Kinds(Obj params) {
    Ref r(Invoke(kinds_.get(), params));
    if (!r.get()) return "<error: " + GetError() + ">";
    SRef s(host.call<Str>(r.get(), "StringValue() as String"));
    return s.bytes();
  }

  // The Python object a value holder holds (read from its data block).
  void* HeldPtr(Obj holder) {
    const REALclassDefinition* base = host.classDefinition("Python3EntityBase");
    return *reinterpret_cast<void**>(reinterpret_cast<char*>(holder) + base->forSystemUse);
  }
  intptr_t Refs(Obj holder) { return RefCountOf(HeldPtr(holder)); }

  // Python's own Py_DecRef, for references a test was handed (GetPtr).
  void DecRef(void* o) {
    auto decref = reinterpret_cast<void (*)(void*)>(PySym("Py_DecRef"));
    ASSERT_NE(decref, nullptr);
    decref(o);
  }

  // The pending error's message ("" when none), leaving nothing pending.
  std::string Pending() { return ErrorOccurred() ? GetError() : std::string(); }

  Ref module_, ev_, ex_, absorb_, kinds_;
};

}  // namespace coiltest
