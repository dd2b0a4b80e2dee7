// What Python calls for a host function or a host class's initialiser: a
// stand-in that runs the host code only on a host thread. On a thread the
// host did not start (one Python or a native library started) host code must
// not run, so the call raises RuntimeError there instead.
//
// Python hands a function only its self and arguments, never which function
// it was, so each distinct host function gets a stand-in of its own from a
// fixed set, which finds the host function in a table by its slot.
#include <array>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "extension/extension.h"

namespace {

using HostFunction = PyObject* (*)(PyObject* self, PyObject* args);
using HostInit = int (*)(PyObject* self, PyObject* args, PyObject* kwds);

constexpr int kFunctionSlots = 1024;
constexpr int kInitSlots = 128;

HostFunction gFunctions[kFunctionSlots];
HostInit gInits[kInitSlots];

const char kForeignThread[] =
    "host functions run on the host's threads only; this thread was not started by the host "
    "(hand the work to a host thread, e.g. through a queue.Queue the host drains)";

__attribute__((noinline)) void RaiseForeignThread() {
  if (EPyErr_SetString && e__PyExc_RuntimeError) EPyErr_SetString(*e__PyExc_RuntimeError, kForeignThread);
}

template <int I>
PyObject* FunctionSlot(PyObject* self, PyObject* args) {
  if (__builtin_expect(!OnHostThread(), 0)) {
    RaiseForeignThread();
    return nullptr;
  }
  return gFunctions[I](self, args);
}

template <int I>
int InitSlot(PyObject* self, PyObject* args, PyObject* kwds) {
  if (__builtin_expect(!OnHostThread(), 0)) {
    RaiseForeignThread();
    return -1;
  }
  return gInits[I](self, args, kwds);
}

template <int... I>
constexpr std::array<HostFunction, sizeof...(I)> MakeFunctionSlots(std::integer_sequence<int, I...>) {
  return {{&FunctionSlot<I>...}};
}
template <int... I>
constexpr std::array<HostInit, sizeof...(I)> MakeInitSlots(std::integer_sequence<int, I...>) {
  return {{&InitSlot<I>...}};
}

constexpr std::array<HostFunction, kFunctionSlots> kFunctionSlotTable =
    MakeFunctionSlots(std::make_integer_sequence<int, kFunctionSlots>{});
constexpr std::array<HostInit, kInitSlots> kInitSlotTable =
    MakeInitSlots(std::make_integer_sequence<int, kInitSlots>{});

// Slots are given for the life of the process, one per distinct function:
// Python may call a stand-in for as long as it holds the function object.
template <class F, size_t N>
void* SlotOf(F function, F (&table)[N], const std::array<F, N>& slots,
             std::unordered_map<void*, int>& given) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  void* key = reinterpret_cast<void*>(function);
  auto it = given.find(key);
  if (it != given.end()) return reinterpret_cast<void*>(slots[it->second]);
  if (given.size() == N) return key;  // every slot taken: Python calls the function itself
  int slot = int(given.size());
  table[slot] = function;
  given.emplace(key, slot);
  return reinterpret_cast<void*>(slots[slot]);
}

}  // namespace

void* HostFunctionEntry(void* function) {
  if (!function) return nullptr;
  static auto* given = new std::unordered_map<void*, int>();
  return SlotOf(reinterpret_cast<HostFunction>(function), gFunctions, kFunctionSlotTable, *given);
}

void* HostInitEntry(void* init) {
  if (!init) return nullptr;
  static auto* given = new std::unordered_map<void*, int>();
  return SlotOf(reinterpret_cast<HostInit>(init), gInits, kInitSlotTable, *given);
}
