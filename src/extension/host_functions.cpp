// What Python calls for a host function or a host class's initialiser: a
// stand-in that runs the host code on a host thread. On a thread the host did
// not start (one Python or a native library started) host code must not run,
// so the call is handed to the home thread, and the calling thread waits for
// its answer (home_calls.h).
//
// The stand-in also holds host code to Python's rule for what a function
// answers: nil with an error set, or a value with none. A host function that
// answers nil and sets nothing, or answers a value over an error it left
// set, gets SystemError naming it, as a release build of Python reports
// such a function; a debug build would stop the whole process instead.
//
// Python hands a function only its self and arguments, never which function
// it was, so each distinct host function (under each name it is registered
// with) gets a stand-in of its own from a fixed set, which finds the host
// function and its name in a table by its slot.
#include <string.h>

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "extension/extension.h"
#include "interpreter/home_calls.h"

namespace {

using HostFunction = PyObject* (*)(PyObject* self, PyObject* args);
using HostInit = int (*)(PyObject* self, PyObject* args, PyObject* kwds);

constexpr int kFunctionSlots = 1024;
constexpr int kInitSlots = 128;

HostFunction gFunctions[kFunctionSlots];
HostInit gInits[kInitSlots];
// "module.name" of each slot's function ("Class.__init__" for an
// initialiser), for the errors above; kept for the life of the process.
const char* gFunctionNames[kFunctionSlots];
const char* gInitNames[kInitSlots];

void RaiseSystemError(const char* name, const char* what) {
  if (!EPyErr_SetString || !e__PyExc_SystemError) return;
  std::string message = std::string(name ? name : "?") + what;
  EPyErr_SetString(*e__PyExc_SystemError, message.c_str());
}

// A host function's answer as Python may take it: nil with an error set, or
// a value with none.
__attribute__((noinline)) PyObject* CheckedAnswer(PyObject* result, const char* name) {
  if (!result) {
    if (!ErrorPending()) RaiseSystemError(name, " returned nil without setting an error");
    return nullptr;
  }
  if (ErrorPending()) {
    PyRelease(result);
    RaiseSystemError(name, " returned a result with an error set");
    return nullptr;
  }
  return result;
}

__attribute__((noinline)) int CheckedInit(int status, const char* name) {
  bool raised = EPyErr_Occurred() != nullptr;
  if (status < 0 && !raised) RaiseSystemError(name, " returned an error without setting one");
  if (status >= 0 && raised) {
    RaiseSystemError(name, " returned success with an error set");
    return -1;
  }
  return status < 0 ? -1 : status;
}

// On the home thread, for a call a Python thread handed over. The host code
// runs outside any plugin entry there, so its own outermost calls may give
// the lock back: it is held again before the answer is looked at.
void RunFunction(HomeCall& call) {
  PyObject* result = gFunctions[call.slot](call.self, call.args);
  if (HoldHomeLock()) call.result = CheckedAnswer(result, gFunctionNames[call.slot]);
}
void RunInit(HomeCall& call) {
  int status = gInits[call.slot](call.self, call.args, call.kwds);
  call.status = HoldHomeLock() ? CheckedInit(status, gInitNames[call.slot]) : -1;
}

// On a Python thread: the call runs on the home thread, this one waits.
__attribute__((noinline)) PyObject* ForeignFunctionCall(int slot, PyObject* self, PyObject* args) {
  HomeCall call{RunFunction, slot, self, args, nullptr, gFunctionNames[slot]};
  return CallOnHomeThread(call) ? call.result : nullptr;
}
__attribute__((noinline)) int ForeignInitCall(int slot, PyObject* self, PyObject* args, PyObject* kwds) {
  HomeCall call{RunInit, slot, self, args, kwds, gInitNames[slot]};
  return CallOnHomeThread(call) ? call.status : -1;
}

template <int I>
PyObject* FunctionSlot(PyObject* self, PyObject* args) {
  if (__builtin_expect(!OnHostThread(), 0)) return ForeignFunctionCall(I, self, args);
  return CheckedAnswer(gFunctions[I](self, args), gFunctionNames[I]);
}

template <int I>
int InitSlot(PyObject* self, PyObject* args, PyObject* kwds) {
  if (__builtin_expect(!OnHostThread(), 0)) return ForeignInitCall(I, self, args, kwds);
  return CheckedInit(gInits[I](self, args, kwds), gInitNames[I]);
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

using SlotKey = std::pair<void*, std::string>;

// Slots are given for the life of the process, one per distinct function and
// name: Python may call a stand-in for as long as it holds the function.
template <class F, size_t N>
void* SlotOf(F function, std::string name, F (&table)[N], const char* (&names)[N],
             const std::array<F, N>& slots, std::map<SlotKey, int>& given) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  void* pointer = reinterpret_cast<void*>(function);
  SlotKey key(pointer, std::move(name));
  auto it = given.find(key);
  if (it != given.end()) return reinterpret_cast<void*>(slots[size_t(it->second)]);
  if (given.size() == N) return pointer;  // every slot taken: Python calls the function itself
  int slot = int(given.size());
  table[slot] = function;
  names[slot] = strdup(key.second.c_str());  // null (no name in errors) when memory ran out
  given.emplace(std::move(key), slot);
  return reinterpret_cast<void*>(slots[size_t(slot)]);
}

std::string QualifiedName(REALstring owner, const char* member) {
  return std::string(HostBytes(owner)) + "." + member;
}

}  // namespace

void* HostFunctionEntry(void* function, REALstring owner, REALstring name) {
  if (!function) return nullptr;
  static auto* given = new std::map<SlotKey, int>();
  return SlotOf(reinterpret_cast<HostFunction>(function), QualifiedName(owner, HostBytes(name)),
                gFunctions, gFunctionNames, kFunctionSlotTable, *given);
}

void* HostInitEntry(void* init, REALstring owner) {
  if (!init) return nullptr;
  static auto* given = new std::map<SlotKey, int>();
  return SlotOf(reinterpret_cast<HostInit>(init), QualifiedName(owner, "__init__"), gInits,
                gInitNames, kInitSlotTable, *given);
}
