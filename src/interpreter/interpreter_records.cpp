// Sub-interpreters' records (interpreters.h): the registry of open ones by
// generation, the records kept for reuse, and what Init finds about how this
// Python switches between interpreters.
#include <atomic>
#include <mutex>
#include <vector>

#include "interpreter/interpreter_switching.h"
#include "python/refs.h"

using namespace sub_switch;

std::atomic<SubInterpreter*> gSlots[kSlots];

namespace {

std::mutex gRegistryLock;
// Records of closed interpreters, for reuse. Never freed (a thread may still
// look at a record it found), and never destroyed, so they stay reachable.
std::vector<SubInterpreter*>& gFree = *new std::vector<SubInterpreter*>();
uint32_t gCounter;
// From 3.12 on: a state made current takes the thread's place with Python.
bool gStatesBindOnActivation;

}  // namespace

namespace sub_switch {

// PyThreadState_Swap returns with the thread holding the lock it held (up
// to 3.12; 3.12 gives the lock back and takes it again inside the swap,
// which makes every switch there a hand-over of the lock; from 3.13 on the
// swap is not relied on).
bool gSwapKeepsLock;
// Sub-interpreters can be made with this library and this Init.
bool gSupported;

}  // namespace sub_switch

bool gRequestsStayInInterp;

PyInterpreterState* InterpOf(PyThreadState* s) {
  // Every supported version starts a thread state with the previous and next
  // states and then its interpreter.
  return reinterpret_cast<PyInterpreterState* const*>(s)[2];
}


SubInterpreter* RecordInSlot(uint32_t i) { return gSlots[i].load(std::memory_order_acquire); }

uint32_t NewGeneration() {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (;;) {
    if (++gCounter == 0) continue;
    if (!gSlots[gCounter & (kSlots - 1)].load()) return gCounter;
  }
}

SubInterpreter* SubOf(uint32_t generation) { return generation ? SlotRecord(generation) : nullptr; }

bool GenerationRuns(uint32_t generation) {
  return generation != 0 && (generation == gInterpreterGeneration || SlotRecord(generation));
}

SubInterpreter* SubOfThreadState(PyThreadState* state) {
  if (!state || !gSupported || !gMainState) return nullptr;
  PyInterpreterState* interp = InterpOf(state);
  if (interp == InterpOf(gMainState)) return nullptr;
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (s && s->interp == interp && s->generation.load()) return s;
  }
  return nullptr;
}

void InterpretersAfterInit() {
  gStatesBindOnActivation = EPy_NewInterpreterFromConfig != nullptr;
  int minor = -1;
  if (PyObject* info = EPySys_GetObject ? EPySys_GetObject("version_info") : nullptr) {
    PyRef m(EPyObject_GetAttrString(info, "minor"));
    if (m) minor = int(EPyLong_AsLong(m.get()));
  }
  if (EPyErr_Clear) EPyErr_Clear();
  gSwapKeepsLock = minor >= 0 && minor <= 12 && EPyThreadState_Swap;
  gRequestsStayInInterp = minor == 12;
  gSupported = gMainState && EPy_NewInterpreter && EPy_EndInterpreter && EPyThreadState_New &&
               EPyThreadState_Clear && EPyThreadState_Delete && EPyThreadState_Swap &&
               EPyInterpreterState_ThreadHead && EPyThreadState_Next && EPyGILState_GetThisThreadState &&
               InterpOf(gMainState) == EPyInterpreterState_Head();
}

bool SubInterpretersSupported() { return gSupported; }

bool StatesBindOnActivation() { return gStatesBindOnActivation; }

SubInterpreter* TakeFreeRecord() {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  if (gFree.empty()) return new SubInterpreter;
  SubInterpreter* s = gFree.back();
  gFree.pop_back();
  return s;
}

void ReturnRecord(SubInterpreter* s) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  gFree.push_back(s);
}

void PublishRecord(SubInterpreter* s, uint32_t g) {
  s->quietHead.store(nullptr, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> guard(gRegistryLock);
    gSlots[g & (kSlots - 1)].store(s, std::memory_order_release);
  }
  s->generation.store(g, std::memory_order_release);
}

void RetireRecord(SubInterpreter* s, uint32_t g) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  s->generation.store(0, std::memory_order_release);
  gSlots[g & (kSlots - 1)].store(nullptr, std::memory_order_release);
}

void ForEachOpenSubInterpreter(void (*fn)(void*), void* arg) {
  for (uint32_t i = 0; i < kSlots; ++i) {
    SubInterpreter* s = gSlots[i].load(std::memory_order_acquire);
    if (!s || !s->generation.load()) continue;
    InterpreterScope in(s);
    if (in.ok()) fn(arg);
  }
}

