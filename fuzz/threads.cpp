// Python's threads and native threads that call host code in a program,
// and what the home thread does to serve them, count them and let them end
// before the interpreter stops.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "fuzz.h"

namespace coilfuzz {

// Calls from Python's threads and from native threads that enter Python
// through PyGILState: each thread makes a few calls of what a host-made
// module offers ("hx0" to "hx3": functions, initialisers, methods), with
// short pauses, and ends. Their calls run on the home thread whenever it
// serves them. Modules hx0 to hx2 are imported by the home thread before its
// threads call them; hx3 is imported first on the threads themselves, so
// that its creator runs for a thread (the home thread never imports it: it
// would wait for the module's import lock, which a thread holds while it
// waits for the home thread).

// The threads' own code, and what the home thread runs to serve their calls
// (the waits), count them and join them. A thread is started in one of four
// modes: not a daemon; a daemon that ends after its calls; a daemon that
// then waits (a holder); a daemon that waits first and makes its calls as
// the interpreter stops, from an exit handler (a late thread: its calls are
// refused), and then waits for good. Holders and late threads wait in C, on
// a lock, until released: a daemon thread that is still running Python code
// when the interpreter stops may wake up on a later interpreter with a
// thread state that no longer exists, so daemon threads are only ever
// waiting there (settled) or ended when a Finalize begins.
extern const char kThreadHelper[] =
    "import atexit, os, sys, threading, time, traceback, _imp, _thread\n"
    "_bootstrap = sys.modules.get('_frozen_importlib')\n"
    "# Kept in sys, as long as the interpreter: Reset forgets this module, and\n"
    "# a copy imported again finds the threads the first one started.\n"
    "_kept = sys.__dict__.setdefault('_fuzz_threads', {})\n"
    "threads = _kept.setdefault('threads', [])\n"
    "# Threads now waiting in C for good or until released: holders and late\n"
    "# threads, by ident.\n"
    "settled = _kept.setdefault('settled', set())\n"
    "holds = _kept.setdefault('holds', [])   # the locks holders wait on\n"
    "lates = _kept.setdefault('lates', [])   # (go, state) of each late thread\n"
    "if 'final' not in _kept:\n"
    "    _kept['final'] = _thread.allocate_lock()\n"
    "    _kept['final'].acquire()\n"
    "final = _kept['final']\n"
    "# Some thread holds an import lock the module's import needs: perhaps one\n"
    "# that an import on the home thread, stopped by KeyboardInterrupt at the\n"
    "# wrong moment, left held for good, which this thread would wait for without\n"
    "# end.\n"
    "def _import_busy(mod):\n"
    "    if _imp.lock_held():\n"
    "        return True\n"
    "    ref = getattr(_bootstrap, '_module_locks', {}).get(mod)\n"
    "    lock = ref() if ref is not None else None\n"
    "    return lock is not None and bool(getattr(lock, 'count', 0))\n"
    "def _step(mod, step, may_import):\n"
    "    m = sys.modules.get(mod)\n"
    "    if m is None:\n"
    "        if not may_import or _import_busy(mod):\n"
    "            return None\n"
    "        m = __import__(mod)\n"
    "    r = getattr(m, step[0])(step[1], 'thr')\n"
    "    if len(step) > 2:\n"
    "        r = getattr(r, step[2])(step[1], 'thr')\n"
    "    return r\n"
    "def _steps(mod, steps, pause, may_import):\n"
    "    for step in steps:\n"
    "        if pause:\n"
    "            time.sleep(pause)\n"
    "        try:\n"
    "            r = _step(mod, step, may_import)\n"
    "            if step[1] % 4 == 3:\n"
    "                print('thread', step[0], r)\n"
    "        except BaseException as e:\n"
    "            if step[1] % 4 == 2:\n"
    "                print('thread', step[0], type(e).__name__)\n"
    "def body(mod, steps, pause, may_import, hold=None):\n"
    "    _steps(mod, steps, pause, may_import)\n"
    "    if hold is not None:\n"
    "        me = threading.get_ident()\n"
    "        settled.add(me)\n"
    "        hold.acquire()\n"
    "        settled.discard(me)\n"
    "def late(mod, steps, may_import, go, done, state):\n"
    "    me = threading.get_ident()\n"
    "    settled.add(me)\n"
    "    go.acquire()\n"
    "    settled.discard(me)\n"
    "    _steps(mod, steps, 0, may_import)\n"
    "    if state[0] == 'stopping':\n"
    "        settled.add(me)\n"
    "        done.release()\n"
    "        final.acquire()\n"
    "def _at_exit(go, done, state):\n"
    "    if state[0] == 'waiting':\n"
    "        state[0] = 'stopping'\n"
    "        go.release()\n"
    "        done.acquire(True, 1.0)\n"
    "        time.sleep(0.002)\n"
    "def body_from(text):\n"
    "    body(*eval(text))\n"
    "def load(mod):\n"
    "    try:\n"
    "        __import__(mod)\n"
    "    except Exception:\n"
    "        pass\n"
    "def start_from(text):\n"
    "    mod, steps, pause, may_import, mode, count = eval(text)\n"
    "    if not may_import:\n"
    "        load(mod)\n"
    "    threads[:] = [t for t in threads if t.is_alive()]\n"
    "    for _ in range(count):\n"
    "        if mode == 3:\n"
    "            go, done, state = _thread.allocate_lock(), _thread.allocate_lock(), ['waiting']\n"
    "            go.acquire()\n"
    "            done.acquire()\n"
    "            lates.append((go, state))\n"
    "            atexit.register(_at_exit, go, done, state)\n"
    "            t = threading.Thread(target=late, args=(mod, steps, may_import, go, done, state))\n"
    "        else:\n"
    "            hold = None\n"
    "            if mode == 2:\n"
    "                hold = _thread.allocate_lock()\n"
    "                hold.acquire()\n"
    "                holds.append(hold)\n"
    "            t = threading.Thread(target=body, args=(mod, steps, pause, may_import, hold))\n"
    "        t.daemon = mode != 0\n"
    "        t.ends = mode < 2\n"
    "        t.start()\n"
    "        threads.append(t)\n"
    "    return count\n"
    "# Each step may be repeated: a KeyboardInterrupt may stop it anywhere.\n"
    "def release():\n"
    "    while holds:\n"
    "        try:\n"
    "            holds[-1].release()\n"
    "        except RuntimeError:\n"
    "            pass\n"
    "        holds.pop()\n"
    "    while lates:\n"
    "        go, state = lates[-1]\n"
    "        if state[0] == 'waiting':\n"
    "            try:\n"
    "                go.release()\n"
    "            except RuntimeError:\n"
    "                pass\n"
    "            state[0] = 'released'\n"
    "        lates.pop()\n"
    "    return 0\n"
    "def alive():\n"
    "    return sum(1 for t in threads if t.is_alive())\n"
    "def unsettled():\n"
    "    return sum(1 for t in threads if t.is_alive() and t.daemon and t.ident not in settled)\n"
    "def stranding():\n"
    "    return sum(1 for t in threads if t.is_alive() and t.ident in settled)\n"
    "def _wait(limit):\n"
    "    end = time.monotonic() + limit\n"
    "    while alive() - stranding() and time.monotonic() < end:\n"
    "        time.sleep(0.001)\n"
    "    return alive()\n"
    "def pause():\n"
    "    time.sleep(0.002)\n"
    "    return 0\n"
    "def wait_0():\n"
    "    return _wait(0)\n"
    "def wait_2():\n"
    "    return _wait(0.002)\n"
    "def wait_10():\n"
    "    return _wait(0.01)\n"
    "def wait_50():\n"
    "    return _wait(0.05)\n"
    "def dump(fd):\n"
    "    for ident, frame in sys._current_frames().items():\n"
    "        text = ''.join(traceback.format_stack(frame))\n"
    "        os.write(int(fd), ('thread %d%s:\\n%s' % (ident, ' (settled)' if ident in settled else '', text)).encode())\n"
    "    return 0\n"
    "def join_plain():\n"
    "    for t in list(threads):\n"
    "        if t.ends:\n"
    "            t.join()\n"
    "    return 0\n";

std::vector<std::unique_ptr<NativeThread>> gNative;
std::thread gInterrupter;
bool gThreadsMayRun;
int gDaemonsLive;

namespace {
// How many more waiting daemon threads a Finalize may leave behind in this
// process: they wait for good.
int gStrandable = 200;
// The error a helper call failed with last, for a finding's report.
std::string gHelperError;
}  // namespace

void Reach(const char* decl) {
  if (gReached) gReached->insert(std::string("Coilwork.") + decl);
}

void DeliverOutput() {
  Reach("DeliverOutput()");
  host.callShared<void>("Coilwork", "DeliverOutput()");
}

// Calls a function of the helper module, with one text argument when one is
// given, as host code does; its Python3Result, or nil when it failed (the
// error cleared).
namespace {
// The interpreters the program activated, in order, each with a reference
// of the harness's own until its activation ends.
std::vector<Obj> gActivated;
}  // namespace

void NoteActivation(Obj interpreter, bool activate) {
  if (!interpreter) return;
  if (activate) {
    host.lock(interpreter);
    gActivated.push_back(interpreter);
  } else if (!gActivated.empty() && gActivated.back() == interpreter) {
    host.unlock(interpreter);
    gActivated.pop_back();
  }
}

void EndActivations() {
  // Deactivate ends an activation only where it is the thread's newest, and
  // does nothing elsewhere (a failed Activate, an interpreter closed since):
  // newest first, twice, ends every one the plugin keeps.
  for (int pass = 0; pass < 2; ++pass)
    for (auto it = gActivated.rbegin(); it != gActivated.rend(); ++it) host.call<void>(*it, "Deactivate()");
  for (Obj o : gActivated) host.unlock(o);
  gActivated.clear();
}

Obj CallHelper(const char* function, const std::string* text) {
  EndActivations();
  Str name = host.newString("fuzzthreads");
  Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", name);
  host.unlockString(name);
  Obj r = nullptr;
  if (m) {
    Str fn = host.newString(function);
    Obj f = host.call<Obj>(m, "GetFunction(name as String) as Python3Function", fn);
    host.unlockString(fn);
    if (f) {
      Obj params = nullptr;
      if (text) {
        params = host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1));
        Str t = host.newString(*text);
        host.assign(params, "StringValue(index as Integer) as String", int32_t(0), t);
        host.unlockString(t);
      }
      r = host.call<Obj>(f, "Invoke(parameters as Python3Parameters) as Python3Result", params);
      if (params) host.unlock(params);
      host.unlock(f);
    }
    host.unlock(m);
  }
  if (!r) {
    Str e = host.callShared<Str>("Coilwork", "GetError() as String");
    gHelperError = std::string(function) + ": " + host.utf8(e);
    if (e) host.unlockString(e);
    host.callShared<void>("Coilwork", "ClearError()");
  }
  return r;
}

namespace {

// What a counting helper answers; -1 when it could not tell.
int HelperCount(const char* function) {
  Obj r = CallHelper(function);
  if (!r) return -1;
  int32_t n = host.call<int32_t>(r, "Int32Value() as Int32");
  host.unlock(r);
  host.callShared<void>("Coilwork", "ClearError()");
  return n;
}

}  // namespace

void JoinInterrupter() {
  if (gInterrupter.joinable()) gInterrupter.join();
}

void JoinEndedNative() {
  for (auto it = gNative.begin(); it != gNative.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.join();
      it = gNative.erase(it);
    } else {
      ++it;
    }
  }
}

namespace {

// Serves the threads' calls (delivering, and running Python code that
// sleeps) until the helper's counter (if any) answers 0 and, when asked,
// every native thread has ended; first in each round, releases the waiting
// threads when asked (again: a KeyboardInterrupt may have stopped it). The
// threads all end or settle on their own once served; one that does not
// within seconds is a finding.
void ServeUntilNone(const char* counter, bool native, bool release = false) {
  // The helper's calls run without the program's time limit, which could
  // stop every one of them.
  int32_t limit = gTimeLimit;
  if (limit) SetTimeLimit(0);
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (native) JoinEndedNative();
    bool running = Running();
    if (running && release)
      if (Obj r = CallHelper("release")) host.unlock(r);
    int left = running && counter ? HelperCount(counter) : 0;
    if (left == 0 && (!native || gNative.empty())) break;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
      fprintf(gOut,
              "fuzz: after 10 s of serving, %s() still answers %d, %zu native threads run; "
              "the last helper error: %s\n",
              counter ? counter : "-", left, gNative.size(), gHelperError.c_str());
      std::string fd = std::to_string(fileno(gOut));
      if (running)
        if (Obj r = CallHelper("dump", &fd)) host.unlock(r);
      abort();
    }
    DeliverOutput();
    if (running) {
      if (Obj r = CallHelper("wait_10")) host.unlock(r);
    } else {
      usleep(1000);
    }
  }
  if (limit) SetTimeLimit(limit);
}

}  // namespace

// Releases the waiting threads and serves until every thread has ended.
void ServeUntilEnded() {
  if (!gThreadsMayRun) return;
  ServeUntilNone("alive", true, true);
  gThreadsMayRun = false;
  gDaemonsLive = 0;
  gAllCallsTimed = true;
}

namespace {

// Before a Finalize: native threads end first (Python would stop under
// them), and every daemon thread ends or settles. Those left waiting count
// against the process's allowance; once it is spent they are released to
// end first too.
void SettleDaemons() {
  if (!gNative.empty()) ServeUntilNone(nullptr, true);
  if (gDaemonsLive == 0) return;
  ServeUntilNone("unsettled", false);
  int waiting = HelperCount("stranding");
  if (waiting < 0 || waiting > gStrandable) {
    ServeUntilEnded();
    return;
  }
  if (gTrace && waiting) fprintf(gOut, "finalize with %d daemon threads waiting\n", waiting);
  gStrandable -= waiting;
  // Python code that sleeps lets a thread that has just settled reach its
  // wait (again if a KeyboardInterrupt cut it short).
  for (int i = 0; i < 3; i++) {
    if (Obj r = CallHelper("pause")) {
      host.unlock(r);
      break;
    }
  }
}

}  // namespace

void BeforeFinalize() {
  JoinInterrupter();
  if (!Running()) return;
  // The helper's calls run without the program's time limit.
  int32_t limit = gTimeLimit;
  if (limit) SetTimeLimit(0);
  SettleDaemons();
  if (limit) SetTimeLimit(limit);
}

void AfterFinalize() {
  if (Running()) return;
  gDaemonsLive = 0;
  gAllCallsTimed = true;
}

void Finalize() {
  BeforeFinalize();
  host.callShared<void>("Coilwork", "Finalize()");
  AfterFinalize();
}

}  // namespace coilfuzz
