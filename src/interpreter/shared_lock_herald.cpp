// Waits for a shared interpreter lock that Python 3.12 would not make heard
// (SharedLockWait in interpreters.h): a helper thread asks in each busy
// sub-interpreter that shares the main lock, in that interpreter's own name.
//
// On 3.12 each interpreter keeps its own word that asks the lock's holder to
// give it up, and a running thread reads only its own interpreter's word,
// although interpreters made to share the main lock share one lock. A thread
// that waits with a main-interpreter state (PyThreadState_Swap there gives
// the lock back and takes it again) is then never heard by a thread looping
// in a shared-lock sub-interpreter, and waits until that thread's call ends.
// The helper enters each such busy interpreter and leaves it again: its own
// wait there sets that interpreter's word, the thread there gives the lock
// over, and the waiting thread has its chance at it, round after round,
// until its wait is over.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "interpreter/interpreters.h"

namespace {

struct Herald {
  std::mutex lock;
  std::condition_variable wake;  // a wait began
  std::atomic<int> waits{0};     // waits going on
  bool started = false;
};

// Made once, never destroyed: the helper may still use it as the process
// exits.
Herald& TheHerald() {
  static Herald* herald = new Herald;
  return *herald;
}

// One round: waits for the lock in each busy sub-interpreter sharing the main
// lock and gives it back at once. False when there was none to ask in.
// Set on the helper thread: its own waits ask nobody.
thread_local bool tHerald;

bool AskInBusySubs(Herald& h) {
  bool asked = false;
  for (uint32_t i = 0; i < kSlots && h.waits.load() > 0; ++i) {
    SubInterpreter* s = RecordInSlot(i);
    if (!s || s->ownLock || s->calls.load() <= 0 || !s->generation.load()) continue;
    InterpreterScope in(s);
    asked = asked || in.ok();
  }
  return asked;
}

void RunHerald() {
  tHerald = true;
  Herald& h = TheHerald();
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(h.lock);
      h.wake.wait(guard, [&] { return h.waits.load() > 0; });
    }
    // Nobody to ask (the busy interpreters are closing, or their calls
    // ended): the waiter gets the lock by Python's own turn; looked at again
    // shortly, without spinning.
    if (!AskInBusySubs(h)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

void SharedLockWait::Begin() {
  if (tHerald || gSharedLockWanted.load(std::memory_order_relaxed) <= 0) return;
  Herald& h = TheHerald();
  std::lock_guard<std::mutex> guard(h.lock);
  if (!h.started) {
    try {
      std::thread(RunHerald).detach();
      h.started = true;
    } catch (const std::exception&) {
      return;  // no thread: the wait lasts until the holder's call ends
    }
  }
  h.waits.fetch_add(1);
  counted_ = true;
  h.wake.notify_one();
}

void SharedLockWait::End() { TheHerald().waits.fetch_sub(1); }
