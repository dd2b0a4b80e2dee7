// The queue of work for host threads (output_queue.h).
#include "plugin/output_queue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "python/refs.h"

std::atomic<bool> gHostWorkPending{false};
std::atomic<void (*)()> gTakeProcessOutput{nullptr};

namespace {

struct Work {
  REALobject object;  // the receiver (one reference), or the object to release
  OutputEvent event;  // null: only give the reference back
  std::string text;
  std::vector<PyObject*> python;  // references to release in interpreter generation
  uint32_t generation = 0;
  HomeCall* call = nullptr;  // a call handed over by a Python thread, which waits for it
  // Text read from descriptor 1 or 2 (0: none): its receiver is chosen as it
  // is raised, and it counts towards what waits.
  int stream = 0;
};

std::atomic<size_t> gStreamBytes{0};

// Calls are refused from Finalize's end of serving them until the next Init.
bool gRefusingCalls;

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
  // Begun from now on: the caller no longer withdraws it.
  if (work->call) __atomic_store_n(&work->call->state, int(kCallRunning), __ATOMIC_RELAXED);
  if (Queue().empty()) gHostWorkPending.store(false, std::memory_order_relaxed);
  return true;
}

// Handed-over calls the home thread is running now (nested ones included).
int gRunning;

// Answers the home thread holds until it has given the lock back.
thread_local std::vector<int*> tHeldAnswers;

// A caller waits on its call's state word. A wake that comes after the
// caller has gone (it saw the state change on its own) wakes nobody, or one
// waiter of some other word that was put there since, which rechecks.
void FutexWake(int* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

// Runs one handed-over call, with any error of the home thread's own set
// aside meanwhile, and moves the error it leaves to the call.
void RunHomeCall(HomeCall& call) {
  if (!HoldHomeLock()) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  // The home thread's own error, left for host code to read, waits aside.
  const bool aside = ErrorPending();
  if (aside) EPyErr_Fetch(&type, &value, &traceback);
  ++gRunning;
  call.runInCaller(call);
  --gRunning;
  // Host code may even have stopped the interpreter: nothing of it is left.
  if (!HoldHomeLock()) return;
  if (aside) EPyErr_Restore(type, value, traceback);
}

// The caller may go on; a held answer is woken by WakeHeldAnswers.
void AnswerHomeCall(HomeCall& call, bool hold) {
  __atomic_store_n(&call.state, int(kCallDone), __ATOMIC_RELEASE);
  if (hold) tHeldAnswers.push_back(&call.state);
  else FutexWake(&call.state);
}

}  // namespace

void WakeHeldAnswers() {
  for (int* word : tHeldAnswers) FutexWake(word);
  tHeldAnswers.clear();
}

bool HomeCallRunning() { return OnHomeThread() && gRunning > 0; }

// Process-lived, never destroyed: Python threads may still write while the
// process exits.
std::mutex& QueueLock() {
  static auto* lock = new std::mutex();
  return *lock;
}

bool QueueHomeCall(HomeCall* call) {
  {
    std::lock_guard<std::mutex> guard(QueueLock());
    if (gRefusingCalls) return false;
    __atomic_store_n(&call->state, int(kCallQueued), __ATOMIC_RELAXED);
    Queue().push_back(Work{nullptr, nullptr, std::string(), {}, 0, call});
    gHostWorkPending.store(true, std::memory_order_seq_cst);
  }
  WatchNothing();
  return true;
}

void WithdrawHomeCall(HomeCall* call) {
  std::deque<Work>& queue = Queue();
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (it->call == call) {
      queue.erase(it);
      break;
    }
  }
  __atomic_store_n(&call->state, int(kCallWithdrawn), __ATOMIC_RELEASE);
}

void RefuseHomeCalls(bool refuse) {
  std::lock_guard<std::mutex> guard(QueueLock());
  gRefusingCalls = refuse;
  if (!refuse) return;
  std::deque<Work>& queue = Queue();
  for (auto it = queue.begin(); it != queue.end();) {
    if (it->call) {
      // Its caller stays parked (home_calls.cpp).
      __atomic_store_n(&it->call->state, int(kCallRefused), __ATOMIC_RELAXED);
      it = queue.erase(it);
    } else {
      ++it;
    }
  }
}

void QueueStreamText(int stream, std::string text, OutputEvent event) {
  gStreamBytes.fetch_add(text.size());
  Push(Work{nullptr, event, std::move(text), {}, 0, nullptr, stream});
}

size_t StreamTextWaiting() { return gStreamBytes.load(); }

bool QueueIfForeign(REALobject receiver, const char* utf8, size_t length, OutputEvent event) {
  if (OnHostThread()) {
    if (OnHomeThread() && gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
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

void DeliverQueuedWork(bool holdAnswers) {
  if (!OnHomeThread()) return;
  // One piece at a time: an event may run host code that calls back into the
  // plugin, and even delivers on its own; each piece is still raised once.
  Work work;
  while (Pop(&work)) {
    if (work.call) {
      RunHomeCall(*work.call);
      AnswerHomeCall(*work.call, holdAnswers);
      continue;
    }
    if (work.stream) {
      // Descriptor 1's text goes to the console receiver, descriptor 2's to
      // the error receiver, or the console receiver while none is set; the
      // event holds a reference on it, as queued output does.
      gStreamBytes.fetch_sub(work.text.size());
      work.object = work.stream == 2 && errorOutputInstance ? errorOutputInstance : consoleOutputInstance;
      if (!work.object) continue;
      ELockObject(work.object);
    }
    if (work.event) {
      REALstring text = REALBuildStringWithEncoding(work.text.data(), work.text.size(),
                                                    kREALTextEncodingUTF8);
      work.event(work.object, text);
      if (text) EUnlockString(text);
    }
    if (work.object) EUnlockObject(work.object);
    // An event's host code may have given the lock back (an outermost call
    // of its own returning): it is taken again for Python's references.
    if (work.generation == gInterpreterGeneration && !work.python.empty() && HoldHomeLock())
      for (PyObject* o : work.python) PyRelease(o);
  }
}
