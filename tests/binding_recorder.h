// Host entries for the binding tests: plain C-callable functions that count
// their calls, keep the arguments of the last one and return a preset result.
// Each distinct Id gives an entry with state of its own:
//
//   using DrawLine = Recorder<__LINE__, void(REALobject, int32_t, int32_t)>;
//   host.setEntry("RuntimeGraphicsDrawLine", DrawLine::entry());
//   ... EXPECT_EQ(DrawLine::calls, 1); EXPECT_EQ(DrawLine::arg<1>(), 7);
//
// And the plugin's binding functions, looked up in one loaded copy: C names
// directly, C++ overloads by their mangled names.
#pragma once

#include <gtest/gtest.h>

#include <tuple>
#include <type_traits>

#include "emuhost/host.h"

namespace bindingtest {

template <int Id, class Signature>
struct Recorder;

template <int Id, class R, class... A>
struct Recorder<Id, R(A...)> {
  using Result = std::conditional_t<std::is_void_v<R>, int, R>;
  static inline int calls = 0;
  static inline std::tuple<A...> last{};
  static inline Result result{};

  static R fn(A... args) {
    ++calls;
    last = std::tuple<A...>(args...);
    if constexpr (!std::is_void_v<R>) return result;
  }
  static void* entry() { return reinterpret_cast<void*>(&fn); }
  template <size_t N>
  static auto arg() {
    return std::get<N>(last);
  }
  static void reset(Result r = Result{}) {
    calls = 0;
    last = {};
    result = r;
  }
};

template <class F>
F Sym(const emuhost::Plugin& plugin, const char* name) {
  F f = plugin.sym<F>(name);
  if (!f) ADD_FAILURE() << "the plugin does not export " << name;
  return f;
}

// A fixture on a fresh copy of the plugin, in which every binding slot that
// the plugin's own start-up does not touch is still empty. Copies are a
// limited resource of the emulated host, so all tests of a suite share one
// (one Suite number per suite, across all files) and use disjoint binding
// functions: each finds the slots it looks at empty, in any order.
template <int Suite>
class CopyTest : public ::testing::Test {
 protected:
  emuhost::Host& host = emuhost::Host::get();
  const emuhost::Plugin& plugin = Copy();

  void SetUp() override {
    host.restoreEntries();
    host.clearLookupCounts();
  }
  void TearDown() override { host.restoreEntries(); }

  // A C function by name, or an overload by its mangled name.
  template <class F>
  F fn(const char* name) {
    return Sym<F>(plugin, name);
  }

 private:
  static const emuhost::Plugin& Copy() {
    static const emuhost::Plugin copy = emuhost::Host::get().loadCopy();
    return copy;
  }
};

// Fake handles: the binding layer passes them on without looking inside.
template <class H = REALobject>
H Handle(uintptr_t n) {
  return reinterpret_cast<H>(n * 0x10);
}

}  // namespace bindingtest
