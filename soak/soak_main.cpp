// The soak: one process that loads the plugin as the host does and keeps
// everything it offers busy at once for a given time, checking every answer.
//
//   coilwork_soak SECONDS [--seed N]     (Python: $COILWORK_SOAK_PYTHON)
//
// Interleaved at random, from a seed printed first:
// - Python threads (soakpy.py) call the host module soakhost's functions, its
//   class's initialiser and method, and check each answer; they print, write
//   to sys.stderr, to descriptor 1 and through child processes, numbered
//   lines per source;
// - host threads call Python functions and check each result, some calls in
//   KeepLock bursts, some printing numbered lines;
// - the home thread (this one) serves the Python threads' calls from its
//   DeliverOutput loop, prints and writes to sys.stderr numbered lines, has
//   Python fill MemoryBlock views and checks the bytes, runs calls under a
//   time limit, calls Reset every few seconds, and now and then stops
//   everything, checks the lines, and calls Finalize and Init;
// - now and then, for a few seconds, the home thread only idles as a real
//   host's event loop does while worker threads make, use and close
//   interpreters (idle_makers.cpp);
// - a timer thread calls Interrupt at random moments.
// A stopped call must come back with KeyboardInterrupt and nothing else.
// With CaptureProcessOutput on, every line must arrive once, in order per
// source, at the receiver of its descriptor. A watchdog ends the run when no
// operation of some thread completes for 30 s; resident memory is sampled
// every 10 s. The last line sums it up; the exit status is 0 only when
// nothing was lost or wrong, nothing stalled and memory stayed in bound.
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "soak.h"

namespace coilsoak {

Host& host = Host::get();
FILE* gOut = stdout;
FILE* gErr = stderr;

namespace {

constexpr int kPythonThreads = 3;
constexpr int kHostThreads = 2;
constexpr int64_t kStallMs = 30000;

int64_t NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// --- What each thread of the soak is doing, for the watchdog.
struct Doing {
  std::mutex lock;
  std::string name;
  std::string step;
  std::atomic<int64_t> done{0};  // when its last operation completed
  std::atomic<bool> active{false};
};
Doing gDoing[2 + kHostThreads];  // the home thread, the interrupter, the host threads
Doing& gHome = gDoing[0];
Doing& gTimer = gDoing[1];
std::mutex gWhereLock;
std::string gPythonWhere;  // the Python threads' steps, as last read

void Begin(Doing& d, const std::string& step) {
  std::lock_guard<std::mutex> guard(d.lock);
  d.step = step;
}
void Done(Doing& d) { d.done.store(NowMs()); }
void Activate(Doing& d, const std::string& name) {
  {
    std::lock_guard<std::mutex> guard(d.lock);
    d.name = name;
    d.step = "starting";
  }
  d.done.store(NowMs());
  d.active.store(true);
}

// --- Counts.
std::atomic<long> gPythonCalls{0};  // calls of Python functions by host code
std::atomic<long> gStops{0};        // calls that came back stopped
std::atomic<long> gWrong{0};        // wrong answers outside the lines
long gHostCalls = 0;                // host calls made by Python's threads
long gResets = 0, gRestarts = 0;
int64_t gStart;
double gResidentFirst = -1, gResidentLast = -1;
int64_t gResidentFirstAt = 0, gResidentLastAt = 0;
// Memory is judged while Python runs: the growth of each stretch between two
// restarts, from its first sample (taken once the restart has settled) to
// the last one before the next Finalize, summed. What Finalize and Init add
// across a restart is counted apart: CPython keeps memory of its own for
// each interpreter it ends, most of all from 3.12 on (the sub-interpreters'
// figures are in the README), which no embedding can give back.
double gStretchFirst = -1;     // first sample of the stretch running now
double gRunningGrowth = 0;     // summed over the stretches that ended
double gBeforeRestart = -1;    // last sample before the last Finalize
double gRestartGrowth = 0;     // summed over restarts with a stretch on both sides
long gRestartsCounted = 0;

double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// Sub-interpreters opened, used and closed by the host threads, and those
// the workers of the idle stretches made and closed.
std::atomic<long> gSubInterpreters{0};
std::atomic<long> gIdleMade{0};
std::atomic<long> gIdleOwnLockMade{0};
// What CPython itself keeps of each interpreter it ends, allowed for in the
// memory bound: about 2 KiB for one sharing the main lock on Debian's 3.11,
// 1.7 to 2.5 MiB for one with its own lock on 3.13, the same through
// Python's own API (the sub-interpreter suite prints both figures).
constexpr double kKeptPerSharedLockMiB = 4.0 / 1024;
constexpr double kKeptPerOwnLockMiB = 3.0;
long gIdleStretches = 0;

// The last line, for the end of the run and for a stall.
bool Summary(int stalls, double seconds) {
  double first = gResidentFirst < 0 ? ResidentMiB() : gResidentFirst;
  double last = gResidentLast < 0 ? first : gResidentLast;
  double hours = gResidentLastAt > gResidentFirstAt ? (gResidentLastAt - gResidentFirstAt) / 3.6e6 : 0;
  double running = gRunningGrowth + (gStretchFirst >= 0 ? last - gStretchFirst : 0);
  double perHour = hours > 0 ? running / hours : 0;
  const long own = gIdleOwnLockMade.load(), shared = gIdleMade.load() - own;
  const double kept = kKeptPerOwnLockMiB * double(own) + kKeptPerSharedLockMiB * double(shared);
  double bound = std::max(4.0, 16.0 * seconds / 3600.0) + kept;
  bool memoryOk = running <= bound;
  long wrong = gWrong.load() + gLines.wrong();
  if (!memoryOk)
    fprintf(gOut, "soak: resident memory grew %.1f MiB while Python ran after the first minute, bound %.1f MiB\n",
            running, bound);
  if (gRestartsCounted > 0)
    fprintf(gOut, "soak: across %ld restarts (Finalize, Init, sub-interpreters made again): %+.2f MiB each\n",
            gRestartsCounted, gRestartGrowth / double(gRestartsCounted));
  fprintf(gOut, "soak: %ld sub-interpreters made by the host threads, each reset and used every 2 s\n",
          gSubInterpreters.load());
  fprintf(gOut, "soak: %ld interpreters made and closed by workers in %ld stretches while the home thread idled\n",
          gIdleMade.load(), gIdleStretches);
  if (kept > 0)
    fprintf(gOut, "soak: %ld of them with a lock of their own; the memory bound allows %.1f MiB that Python keeps of them\n",
            own, kept);
  fprintf(gOut,
          "soak: %.0f s, %ld host calls, %ld Python calls, %ld lines, %ld stops, %ld resets, "
          "%ld restarts; %ld lost, %ld wrong, %d stalls; resident %.1f MiB -> %.1f MiB, "
          "while Python ran %+.1f MiB/hour\n",
          seconds, gHostCalls, gPythonCalls.load(), gLines.lines(), gStops.load(), gResets,
          gRestarts, gLines.lost(), wrong, stalls, first, last, perHour);
  fflush(gOut);
  return memoryOk && wrong == 0 && gLines.lost() == 0 && stalls == 0;
}

void Watchdog() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int64_t now = NowMs();
    bool stalled = false;
    for (Doing& d : gDoing)
      if (d.active.load() && now - d.done.load() > kStallMs) stalled = true;
    if (!stalled) continue;
    fprintf(gOut, "soak: no operation completed for %lld s; what each thread was doing:\n",
            (long long)(kStallMs / 1000));
    for (Doing& d : gDoing) {
      if (!d.active.load()) continue;
      std::lock_guard<std::mutex> guard(d.lock);
      fprintf(gOut, "  %s: %s (last completed %lld ms ago)\n", d.name.c_str(), d.step.c_str(),
              (long long)(now - d.done.load()));
    }
    {
      std::lock_guard<std::mutex> guard(gWhereLock);
      fprintf(gOut, "  Python threads, as last read: %s\n", gPythonWhere.c_str());
    }
    Summary(1, (now - gStart) / 1000.0);
    _exit(1);
  }
}

// --- Calls, as host code makes them.
std::string ErrorType() {
  Str t = host.callShared<Str>("Coilwork", "GetErrorType() as String");
  std::string type = host.bytes(t);
  if (t) host.unlockString(t);
  return type;
}
std::string TakeError() {
  Str e = host.callShared<Str>("Coilwork", "GetError() as String");
  std::string text = host.bytes(e);
  if (e) host.unlockString(e);
  host.callShared<void>("Coilwork", "ClearError()");
  return text;
}

// A call that answered nothing: a stop (KeyboardInterrupt and nothing else)
// is counted, anything else is wrong. True for a stop.
bool Stopped(const std::string& what) {
  std::string type = ErrorType();
  std::string text = TakeError();
  if (type == "KeyboardInterrupt") {
    gStops.fetch_add(1);
    return true;
  }
  gWrong.fetch_add(1);
  Wrong("%s answered nothing with %s pending: %s", what.c_str(), type.empty() ? "no error" : type.c_str(),
        text.c_str());
  return false;
}

Obj Parameters(std::initializer_list<int32_t> values) {
  Obj p = host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(values.size()));
  int32_t i = 0;
  for (int32_t v : values) host.assign(p, "Int32Value(index as Integer) as Int32", i++, v);
  return p;
}

// Invokes f; its Python3Result, or nil.
Obj Invoke(Obj f, Obj params) {
  gPythonCalls.fetch_add(1);
  return host.call<Obj>(f, "Invoke(parameters as Python3Parameters) as Python3Result", params);
}

int64_t Int64Of(Obj r) { return host.call<int64_t>(r, "Int64Value() as Int64"); }

std::string TextOf(Obj r) {
  Str s = host.call<Str>(r, "StringValue() as String");
  std::string text = host.bytes(s);
  if (s) host.unlockString(s);
  return text;
}

// --- The interpreter's handles.
struct Handles {
  Obj module = nullptr;
  Obj start = nullptr, finish = nullptr, report = nullptr, faults = nullptr, written = nullptr,
      where = nullptr, mul = nullptr, line = nullptr, fill = nullptr, spin = nullptr;
  std::vector<Obj*> all() {
    return {&start, &finish, &report, &faults, &written, &where, &mul, &line, &fill, &spin, &module};
  }
} gPy;

std::string gDir;
uint64_t gSeed;

// --- Host threads.
std::atomic<bool> gHostStop{false};
std::vector<std::thread> gHostThreads;
std::map<std::string, long> gHostWritten;  // lines of the host threads and the home thread
std::mutex gHostWrittenLock;

// A sub-interpreter of the host thread's own (own-lock from 3.12 on), made
// at its first round and kept, as the README recommends: each round resets
// it, runs a script and an expression in it and checks them. Python keeps
// megabytes for every own-lock interpreter it ends, so one per thread's life.
void SubInterpreterRound(Doing& d, std::mt19937_64& rng, Obj& box) {
  if (!box) {
    Begin(d, "sub-interpreter: open");
    box = host.create("Python3Interpreter", "Constructor(ownLock as Boolean)", int8_t(1));
    if (!host.prop<int8_t>(box, "IsOpen")) {
      Stopped("opening a sub-interpreter");
      host.unlock(box);
      box = nullptr;
      return;
    }
    gSubInterpreters.fetch_add(1);
  }
  if (!host.prop<int8_t>(box, "IsOpen")) {  // closed by a restart
    host.unlock(box);
    box = nullptr;
    return;
  }
  host.call<void>(box, "Activate()");
  Begin(d, "sub-interpreter: Reset");
  if (!host.callShared<int8_t>("Coilwork", "Reset() as Boolean")) {
    gWrong.fetch_add(1);
    Wrong("Reset in a sub-interpreter answered False: %s", TakeError().c_str());
  }
  int32_t a = int32_t(rng() % 100000);
  Begin(d, "sub-interpreter: v = " + std::to_string(a) + " * 3");
  Str code = host.newString("assert 'v' not in dir()\nv = " + std::to_string(a) + " * 3");
  bool ran = host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", code) != 0;
  host.unlockString(code);
  gPythonCalls.fetch_add(1);
  if (ran) {
    Begin(d, "sub-interpreter: v + 1");
    Str e = host.newString("v + 1");
    Obj r = host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result", e);
    host.unlockString(e);
    gPythonCalls.fetch_add(1);
    if (r) {
      if (Int64Of(r) != int64_t(a) * 3 + 1) {
        gWrong.fetch_add(1);
        Wrong("v + 1 in a sub-interpreter answered another number");
      }
      host.unlock(r);
    } else {
      Stopped("Eval in a sub-interpreter");
    }
  } else {
    Stopped("Exec in a sub-interpreter");
  }
  host.call<void>(box, "Deactivate()");
  Done(d);
}

void HostThread(int k, uint64_t seed) {
  Doing& d = gDoing[2 + k];
  std::mt19937_64 rng(seed);
  const std::string source = "W" + std::to_string(k);
  long written = 0;
  int64_t lastSub = NowMs();
  Obj box = nullptr;  // the thread's sub-interpreter, once made
  auto Mul = [&](const char* step) {
    int32_t a = int32_t(rng() % 60001) - 30000, b = int32_t(rng() % 60001) - 30000;
    Begin(d, std::string(step) + " mul(" + std::to_string(a) + ", " + std::to_string(b) + ")");
    Obj p = Parameters({a, b});
    Obj r = Invoke(gPy.mul, p);
    host.unlock(p);
    if (r) {
      int64_t got = Int64Of(r);
      if (got != int64_t(a) * b + 1) {
        gWrong.fetch_add(1);
        Wrong("mul(%d, %d) on host thread %d answered %lld", a, b, k, (long long)got);
      }
      host.unlock(r);
    } else {
      Stopped("mul on host thread " + std::to_string(k));
    }
    Done(d);
  };
  while (!gHostStop.load()) {
    int op = int(rng() % 10);
    if (op < 6) {
      Mul("call");
    } else if (op < 8) {
      long n = written++;
      Begin(d, "line(" + source + ", " + std::to_string(n) + ")");
      Str s = host.newString(source);
      Obj p = host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2));
      host.assign(p, "StringValue(index as Integer) as String", int32_t(0), s);
      host.assign(p, "Int32Value(index as Integer) as Int32", int32_t(1), int32_t(n));
      host.unlockString(s);
      Obj r = Invoke(gPy.line, p);
      host.unlock(p);
      if (r) {
        if (Int64Of(r) != n) {
          gWrong.fetch_add(1);
          Wrong("line(%s, %ld) answered another number", source.c_str(), n);
        }
        host.unlock(r);
      } else if (Stopped("line on host thread " + std::to_string(k))) {
        gLines.Maybe(source, n);
      }
      Done(d);
    } else if (op == 9 && NowMs() - lastSub >= 2000) {
      // Every two seconds or so: making an interpreter costs milliseconds
      // and some memory that Python keeps (see the README's figures).
      SubInterpreterRound(d, rng, box);
      lastSub = NowMs();
    } else {
      Begin(d, "KeepLock(True)");
      host.callShared<void>("Coilwork", "KeepLock(keep as Boolean)", int8_t(1));
      for (int i = 0, n = 5 + int(rng() % 25); i < n; ++i) Mul("in a KeepLock burst:");
      Begin(d, "KeepLock(False)");
      host.callShared<void>("Coilwork", "KeepLock(keep as Boolean)", int8_t(0));
      Done(d);
    }
    if (rng() % 4 == 0) usleep(useconds_t(rng() % 500));
  }
  if (box) {
    Begin(d, "sub-interpreter: close");
    if (host.prop<int8_t>(box, "IsOpen") && !host.call<int8_t>(box, "Close() as Boolean")) {
      gWrong.fetch_add(1);
      Wrong("a sub-interpreter did not close: %s", TakeError().c_str());
    }
    host.unlock(box);
  }
  Begin(d, "ended");
  std::lock_guard<std::mutex> guard(gHostWrittenLock);
  gHostWritten[source] = written;
}

// --- The interrupter.
std::mutex gStopLock;
bool gStopsOn = false;

void Interrupter(uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (;;) {
    usleep(useconds_t(5000 + rng() % 150000));
    std::lock_guard<std::mutex> guard(gStopLock);
    if (!gStopsOn) {
      Done(gTimer);
      continue;
    }
    Begin(gTimer, "Interrupt()");
    host.callShared<void>("Coilwork", "Interrupt()");
    Done(gTimer);
  }
}

void StopsOn(bool on) {
  std::lock_guard<std::mutex> guard(gStopLock);
  gStopsOn = on;
}

// --- The home thread's steps.
std::mt19937_64 gRng;
long gHomeLines[2];  // H and E lines written in this interpreter

void Deliver() {
  Begin(gHome, "DeliverOutput()");
  host.callShared<void>("Coilwork", "DeliverOutput()");
  Done(gHome);
}

// A numbered line from the home thread: print (H) or sys.stderr (E).
void HomeLine() {
  bool error = gRng() % 3 == 0;
  const char* source = error ? "E" : "H";
  long n = gHomeLines[error]++;
  std::string line = std::string(source) + " " + std::to_string(n);
  Begin(gHome, "Exec of " + line);
  Str code = host.newString(error ? "import sys\nsys.stderr.write('" + line + "\\n')"
                                  : "print('" + line + "\\n', end='')");
  gPythonCalls.fetch_add(1);
  bool ran = host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", code) != 0;
  host.unlockString(code);
  if (!ran && Stopped("Exec of " + line)) gLines.Maybe(source, n);
  Done(gHome);
}

// Workers make, use and close interpreters while the home thread only idles.
void IdleWhileWorkersMake() {
  const int64_t ms = 2000 + int64_t(gRng() % 3000);
  Begin(gHome, "idling while 3 workers make, use and close interpreters");
  IdleStretch s;
  s.workers = 3;
  s.ms = ms;
  s.seed = gRng();
  s.made = &gIdleMade;
  s.ownLockMade = &gIdleOwnLockMade;
  s.now = NowMs;
  s.stopped = Stopped;
  s.wrong = [](const std::string& why) {
    gWrong.fetch_add(1);
    Wrong("%s", why.c_str());
  };
  s.progressed = [] { Done(gHome); };
  IdleWhileWorkersMakeInterpreters(s);
  ++gIdleStretches;
  Done(gHome);
}

void FillBlock() {
  size_t n = 1 + size_t(gRng() % 65536);
  int32_t seed = int32_t(gRng() % 256);
  Begin(gHome, "fill(view of " + std::to_string(n) + " bytes, " + std::to_string(seed) + ")");
  Obj block = host.newMemoryBlock(std::string(n, '\0'));
  Obj view = host.callShared<Obj>(
      "Python3Entity", "FromMemoryBlock(block as MemoryBlock, writable as Boolean) as Python3Entity", block,
      int8_t(1));
  Obj p = Parameters({0, seed});
  host.assign(p, "EntityValue(index as Integer) as Python3EntityBase", int32_t(0), view);
  Obj r = Invoke(gPy.fill, p);
  if (r) {
    const unsigned char* data = static_cast<const unsigned char*>(host.memoryBlockData(block));
    size_t bad = 0;
    for (size_t i = 0; i + 1 < n; i += 997)
      if (data[i] != ((seed + i) & 0xFF)) ++bad;
    if (data[n - 1] != (seed & 0xFF)) ++bad;
    if (Int64Of(r) != int64_t(n) || bad) {
      gWrong.fetch_add(1);
      Wrong("fill of a %zu-byte view: %zu bytes wrong, answered %lld", n, bad, (long long)Int64Of(r));
    }
    host.unlock(r);
  } else {
    Stopped("fill");
  }
  for (Obj o : {p, view, block})
    if (o) host.unlock(o);
  Done(gHome);
}

void SpinUnderLimit() {
  int32_t limit = 2 + int32_t(gRng() % 29), ms = int32_t(gRng() % 61);
  Begin(gHome, "spin(" + std::to_string(ms) + ") under a limit of " + std::to_string(limit) + " ms");
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", limit);
  Obj p = Parameters({ms});
  Obj r = Invoke(gPy.spin, p);
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", int32_t(0));
  host.unlock(p);
  if (r) {
    if (Int64Of(r) != ms) {
      gWrong.fetch_add(1);
      Wrong("spin(%d) answered another number", ms);
    }
    host.unlock(r);
  } else {
    Stopped("spin under a time limit");
  }
  Done(gHome);
}

void Reset() {
  Begin(gHome, "Reset()");
  bool done = host.callShared<int8_t>("Coilwork", "Reset() as Boolean") != 0;
  if (!done) {
    std::string type = ErrorType();
    gWrong.fetch_add(1);
    Wrong("Reset answered False: %s: %s", type.c_str(), TakeError().c_str());
  }
  ++gResets;
  Done(gHome);
}

void SampleMemory(double seconds) {
  double now = ResidentMiB();
  double firstAt = std::min(60.0, seconds / 3);
  if (gResidentFirst < 0 && (NowMs() - gStart) / 1000.0 >= firstAt) {
    gResidentFirst = now;
    gResidentFirstAt = NowMs();
  }
  if (gResidentFirst >= 0 && gStretchFirst < 0) {
    gStretchFirst = now;
    if (gBeforeRestart >= 0) {
      gRestartGrowth += now - gBeforeRestart;
      ++gRestartsCounted;
    }
  }
  if (gResidentFirst >= 0) {
    gResidentLast = now;
    gResidentLastAt = NowMs();
  }
  if (!gPy.where) return;
  Begin(gHome, "where()");
  if (Obj r = Invoke(gPy.where, nullptr)) {
    std::lock_guard<std::mutex> guard(gWhereLock);
    gPythonWhere = TextOf(r);
    host.unlock(r);
  } else {
    Stopped("where");
  }
  Done(gHome);
}

// --- Starting and stopping everything.
Obj Function(const char* name) {
  Obj f = coildrive::GetFunction(gPy.module, name);
  if (!f) {
    fprintf(gOut, "soak: soakpy.%s not found: %s\n", name, TakeError().c_str());
    exit(2);
  }
  return f;
}

void StartAll() {
  Begin(gHome, "starting the interpreter's threads");
  host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(1));
  RegisterHostModule();
  coildrive::AddSearchPath(gDir);
  gPy.module = coildrive::GetModule("soakpy");
  if (!gPy.module) {
    fprintf(gOut, "soak: soakpy does not import: %s\n", TakeError().c_str());
    exit(2);
  }
  gPy.start = Function("start");
  gPy.finish = Function("finish");
  gPy.report = Function("report");
  gPy.faults = Function("take_faults");
  gPy.written = Function("written_text");
  gPy.where = Function("where");
  gPy.mul = Function("mul");
  gPy.line = Function("line");
  gPy.fill = Function("fill");
  gPy.spin = Function("spin");
  Obj p = Parameters({kPythonThreads, int32_t(gSeed % 100000 + gRestarts)});
  Obj r = Invoke(gPy.start, p);
  host.unlock(p);
  if (!r) {
    fprintf(gOut, "soak: the Python threads did not start: %s\n", TakeError().c_str());
    exit(2);
  }
  host.unlock(r);
  gHomeLines[0] = gHomeLines[1] = 0;
  gHostStop.store(false);
  for (int k = 0; k < kHostThreads; ++k) {
    Activate(gDoing[2 + k], "host thread " + std::to_string(k));
    gHostThreads.emplace_back(HostThread, k, gSeed * 7919 + uint64_t(gRestarts) * 131 + uint64_t(k));
  }
  Done(gHome);
  StopsOn(true);
}

// Calls f until it answers without a stop; its result.
Obj Patiently(Obj f, const char* what) {
  for (;;) {
    if (Obj r = Invoke(f, nullptr)) return r;
    if (!Stopped(what)) return nullptr;
  }
}

// Stops every thread, takes in every line, checks them against what was
// written, and reads the Python threads' counts and faults.
void StopAll() {
  StopsOn(false);
  gHostStop.store(true);
  Begin(gHome, "joining the host threads");
  for (std::thread& t : gHostThreads) t.join();
  gHostThreads.clear();
  for (int k = 0; k < kHostThreads; ++k) gDoing[2 + k].active.store(false);
  Done(gHome);
  Begin(gHome, "finish(): waiting for the Python threads");
  for (;;) {
    Obj r = Patiently(gPy.finish, "finish");
    bool ended = r && host.call<int8_t>(r, "BooleanValue() as Boolean");
    if (r) host.unlock(r);
    if (ended || !r) break;
    Deliver();
  }
  Done(gHome);
  // What the pipes still hold reaches the receivers within a few deliveries.
  Begin(gHome, "taking in the last lines");
  long seen = -1;
  for (int quiet = 0; quiet < 20;) {
    Deliver();
    usleep(10000);
    long now = gLines.arrivedSince();
    quiet = now == seen ? quiet + 1 : 0;
    seen = now;
  }
  std::map<std::string, long> written;
  if (Obj r = Patiently(gPy.written, "written_text")) {
    std::istringstream in(TextOf(r));
    host.unlock(r);
    for (std::string item; in >> item;) {
      size_t eq = item.find('=');
      if (eq != std::string::npos) written[item.substr(0, eq)] = atol(item.c_str() + eq + 1);
    }
  }
  {
    std::lock_guard<std::mutex> guard(gHostWrittenLock);
    for (const auto& w : gHostWritten) written[w.first] = w.second;
    gHostWritten.clear();
  }
  written["H"] = gHomeLines[0];
  written["E"] = gHomeLines[1];
  for (auto it = written.begin(); it != written.end();)
    it = it->second == 0 ? written.erase(it) : std::next(it);
  gLines.Settle(written);
  if (Obj r = Patiently(gPy.report, "report")) {
    long calls = 0, wrong = 0;
    sscanf(TextOf(r).c_str(), "%ld %ld", &calls, &wrong);
    host.unlock(r);
    gHostCalls += calls;
    gWrong.fetch_add(wrong);
  }
  if (Obj r = Patiently(gPy.faults, "take_faults")) {
    std::string faults = TextOf(r);
    host.unlock(r);
    if (!faults.empty()) fprintf(gOut, "soak: Python's threads found:\n%s\n", faults.c_str());
  }
  for (Obj* o : gPy.all()) {
    if (*o) host.unlock(*o);
    *o = nullptr;
  }
  Done(gHome);
}

void Restart() {
  // The stretch that ends here counts from its first sample to now; the next
  // one starts at the first sample after the restart has settled.
  gBeforeRestart = -1;
  if (gStretchFirst >= 0) {
    double now = ResidentMiB();
    gRunningGrowth += now - gStretchFirst;
    gBeforeRestart = now;
    gResidentLast = now;
    gResidentLastAt = NowMs();
  }
  gStretchFirst = -1;
  StopAll();
  Begin(gHome, "Finalize()");
  host.callShared<void>("Coilwork", "Finalize()");
  Done(gHome);
  Begin(gHome, "Init()");
  host.callShared<void>("Coilwork", "Init()");
  Done(gHome);
  ++gRestarts;
  StartAll();
}

bool WriteModule(const std::string& dir) {
  std::ifstream in(COILWORK_SOAK_SOURCE "/soakpy.py");
  std::ofstream out(dir + "/soakpy.py");
  out << in.rdbuf();
  return in.good() && out.good();
}

}  // namespace

void Wrong(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(gOut, "soak: wrong: ");
  vfprintf(gOut, format, args);
  fprintf(gOut, "\n");
  va_end(args);
}

int Run(int argc, char** argv) {
  if (FILE* out = fdopen(dup(1), "w")) {
    setvbuf(out, nullptr, _IOLBF, 0);
    gOut = out;
  }
  double seconds = argc > 1 ? atof(argv[1]) : 60;
  gSeed = uint64_t(time(nullptr)) ^ (uint64_t(getpid()) << 16);
  for (int i = 2; i + 1 < argc; ++i)
    if (strcmp(argv[i], "--seed") == 0) gSeed = strtoull(argv[i + 1], nullptr, 10);
  fprintf(gOut, "soak: seed %llu\n", (unsigned long long)gSeed);
  gRng.seed(gSeed);
  gStart = NowMs();

  std::string library = coildrive::LoadPlugin("COILWORK_SOAK_PYTHON",
                                              "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0");
  gDir = coildrive::MakeFolder("coilsoak");
  if (gDir.empty() || !WriteModule(gDir)) {
    fprintf(gOut, "soak: cannot write the Python module\n");
    return 2;
  }
  if (!coildrive::PythonFound()) {
    fprintf(gOut, "soak: no Python library %s\n", library.c_str());
    return 2;
  }
  Activate(gHome, "home thread");
  Activate(gTimer, "interrupter");
  std::thread(Watchdog).detach();
  std::thread(Interrupter, gSeed * 31 + 7).detach();
  SetReceivers();
  host.callShared<void>("Coilwork", "Init()");
  host.callShared<void>("Coilwork", "CaptureProcessOutput(capture as Boolean)", int8_t(1));
  StartAll();

  const int64_t end = gStart + int64_t(seconds * 1000);
  auto After = [&](int64_t lo, int64_t hi) { return NowMs() + lo + int64_t(gRng() % uint64_t(hi - lo)); };
  int64_t nextReset = After(2000, 6000), nextRestart = After(15000, 40000), nextSample = NowMs();
  int64_t nextIdle = After(5000, 15000);
  while (NowMs() < end) {
    Deliver();
    int op = int(gRng() % 40);
    if (op < 4) HomeLine();
    else if (op < 7) FillBlock();
    else if (op < 8) SpinUnderLimit();
    else usleep(useconds_t(200 + gRng() % 1800));
    if (NowMs() >= nextSample) {
      SampleMemory(seconds);
      nextSample = NowMs() + 10000;
    }
    if (NowMs() >= nextReset) {
      Reset();
      nextReset = After(2000, 6000);
    }
    if (NowMs() >= nextIdle && NowMs() + 8000 < end) {
      IdleWhileWorkersMake();
      nextIdle = After(30000, 90000);
    }
    if (NowMs() >= nextRestart && NowMs() + 5000 < end) {
      Restart();
      nextRestart = After(15000, 40000);
      nextSample = NowMs() + 10000;  // the new stretch starts settled
    }
  }
  SampleMemory(seconds);
  StopAll();
  gHome.active.store(false);
  gTimer.active.store(false);
  host.callShared<void>("Coilwork", "Finalize()");
  host.callShared<void>("Coilwork", "CaptureProcessOutput(capture as Boolean)", int8_t(0));
  ReleaseReceivers();
  ReleaseHostModule();
  coildrive::ReleaseCreators();
  return Summary(0, (NowMs() - gStart) / 1000.0) ? 0 : 1;
}

}  // namespace coilsoak

int main(int argc, char** argv) { return coilsoak::Run(argc, argv); }
