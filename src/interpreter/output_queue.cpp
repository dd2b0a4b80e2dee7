// The queue of work for host threads (output_queue.h).
#include "interpreter/output_queue.h"

#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "python/convert.h"

std::atomic<bool> gHostWorkPending{false};

namespace {

struct Work {
  REALobject object;  // the receiver (one reference), or the object to release
  OutputEvent event;  // null: only give the reference back
  std::string text;
  std::vector<PyObject*> python;  // references to release in interpreter generation
  uint32_t generation = 0;
};

// Process-lived, never destroyed: Python threads may still write while the
// process exits.
std::mutex& QueueLock() {
  static auto* lock = new std::mutex();
  return *lock;
}
std::deque<Work>& Queue() {
  static auto* queue = new std::deque<Work>();
  return *queue;
}

void Push(Work&& work) {
  std::lock_guard<std::mutex> guard(QueueLock());
  Queue().push_back(std::move(work));
  gHostWorkPending.store(true, std::memory_order_seq_cst);
  // The host thread's next returning entry takes the slow way, which delivers.
  WatchNothing();
}

// The oldest piece of work, or false when none is left.
bool Pop(Work* work) {
  std::lock_guard<std::mutex> guard(QueueLock());
  if (Queue().empty()) {
    gHostWorkPending.store(false, std::memory_order_relaxed);
    return false;
  }
  *work = std::move(Queue().front());
  Queue().pop_front();
  if (Queue().empty()) gHostWorkPending.store(false, std::memory_order_relaxed);
  return true;
}

}  // namespace

bool QueueIfForeign(REALobject receiver, const char* utf8, size_t length, OutputEvent event) {
  if (OnHostThread()) {
    if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
    return false;
  }
  if (!receiver || !event) return true;
  ELockObject(receiver);
  Push(Work{receiver, event, std::string(utf8, length), {}, 0});
  return true;
}

void ReleaseOnHostThread(REALobject object) {
  if (!object) return;
  if (OnHostThread()) {
    EUnlockObject(object);
    return;
  }
  Push(Work{object, nullptr, std::string(), {}, 0});
}

void ReleasePythonOnHostThread(PyObject* const* objects, int count, uint32_t generation) {
  Work work{nullptr, nullptr, std::string(), {}, generation};
  for (int i = 0; i < count; ++i)
    if (objects[i]) work.python.push_back(objects[i]);
  if (!work.python.empty()) Push(std::move(work));
}

void DeliverQueuedWork() {
  // One piece at a time: an event may run host code that calls back into the
  // plugin, and even delivers on its own; each piece is still raised once.
  Work work;
  while (Pop(&work)) {
    if (work.event) {
      REALstring text = REALBuildStringWithEncoding(work.text.data(), work.text.size(),
                                                    kREALTextEncodingUTF8);
      work.event(work.object, text);
      if (text) EUnlockString(text);
    }
    if (work.object) EUnlockObject(work.object);
    // Host threads deliver holding the lock while an interpreter runs.
    if (work.generation == gInterpreterGeneration)
      for (PyObject* o : work.python) PyRelease(o);
  }
}
