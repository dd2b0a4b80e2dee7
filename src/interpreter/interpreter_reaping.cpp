// A host thread's end (interpreters.h): the thread states it had in
// sub-interpreters that still run go with it.
#include <mutex>

#include "interpreter/interpreter_switching.h"

namespace sub_switch {

// A thread ends: its states go with it, where their interpreters still run
// and it holds no lock (a thread that ends inside a call leaves them).
void ReapThread() {
  HostThreadState& t = tHostThread;
  ThreadSubs& ts = Subs();
  if (t.held != kLockNotHeld || Depth(t) != 0 || !PythonRunning()) return;
  if (!EPyEval_RestoreThread || !EPyThreadState_Clear || !EPyThreadState_Delete) return;
  for (ThreadStateIn& in : ts.states) {
    SubInterpreter* s = in.sub;
    std::lock_guard<std::mutex> close(s->closeLock);
    if (!Open(s, in.generation)) continue;
    {
      std::lock_guard<std::mutex> guard(s->statesLock);
      bool known = false;
      for (auto it = s->states.begin(); it != s->states.end(); ++it)
        if (*it == in.state) {
          s->states.erase(it);
          known = true;
          break;
        }
      if (!known) continue;
      s->statesKnown.store(s->states.size(), std::memory_order_relaxed);
      s->quietHead.store(nullptr, std::memory_order_relaxed);
    }
    // The main interpreter's lock may be kept by the home thread between
    // its calls: it gives it over once it sees a thread waiting.
    const bool waits = !s->ownLock;
    if (waits) {
      gSharedLockWanted.fetch_add(1);
      WatchNothing();
    }
    EPyEval_RestoreThread(in.state);
    if (waits) gSharedLockWanted.fetch_sub(1);
    EPyThreadState_Clear(in.state);
    EPyEval_SaveThread();
    EPyThreadState_Delete(in.state);
  }
  ts.states.clear();
  ts.recent = ThreadStateIn{};
}


}  // namespace sub_switch
