// libFuzzer target: reads its input as a program of host calls and runs it
// against the plugin inside the emulated host.
//
// Every registered member of every plugin class is callable, with arguments
// drawn from nil, empty, very long and invalid strings, NUL bytes, extreme
// numbers, out-of-range and negative indexes, handles of the wrong class and
// handles without a Python object, plus Python modules to import, and calls
// before Init, between Init and Finalize and after Finalize. A crash, a
// sanitizer report, or a host object or string still alive after the program
// released everything it made, fails the run.
//
// Object arguments follow the host's typing: a parameter declared with a
// class receives nil or an instance of that class or of one of its
// subclasses, which for a plugin class may be a sibling's handle through a
// common base (an entity where any Python3EntityBase is allowed, a module
// where any Python3Object is); only a parameter declared "as Object" takes
// any object. The host's compiler and its checked casts guarantee that much,
// and the plugin has no way to check the class of a handle it is given. What
// goes "as Object" ends up in a capsule that Python holds, so it is drawn
// from objects that hold no Python object (see PickAnyObject). Raw pointers
// are null or what the parameter takes: host functions, initialisers, module
// creators, live Python objects. Programs also publish host-made modules and
// import Python code that calls into them, from the importing thread and
// from a Python thread, and may switch AllowThreads.
//
// Programs also start Python threads (daemon or not) and threads of native
// code that enter Python through PyGILState, each making a few calls of the
// host-made modules' functions, initialisers and methods, which the home
// thread (this one) runs for them; they set the thread call timeout, serve
// those calls (DeliverOutput, Python code that sleeps, a plain join that only
// the timeout ends), and stop the interpreter or interrupt its calls while
// the threads call. Every such thread ends on its own within a bounded time
// once the home thread serves it (or is released from its wait): the
// program serves until they have all ended before it finishes. A Finalize
// begins once every daemon thread has ended or waits in C; those left
// waiting stay so for good, so only so many are left in a process, and past
// that a Finalize waits for them to end first.
//
// COILWORK_FUZZ_TRACE=1 prints each call, to turn a finding into a test
// (scripts/fuzz.sh FILE does that). COILWORK_FUZZ_REACHED=FILE writes, at
// exit, every member with "+" when some program called it and "-" when none
// did (scripts/fuzz.sh --reached replays the corpus for it).
//
// Members are called through their records with the host's calling
// convention; argument lists are laid out in registers by class (integer or
// floating point), which holds for the x86_64 System V convention this target
// is built for.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/common_interface_defs.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>
#include <fstream>
#include <set>
#include <limits>
#include <string>
#include <vector>

#include "emuhost/host.h"

#if !defined(__x86_64__)
#error "the call-sequence fuzzer lays out arguments for x86_64"
#endif

using emuhost::Declaration;
using emuhost::Host;
using emuhost::Obj;
using emuhost::Str;
using emuhost::VType;

namespace {

Host& host = Host::get();

struct Member {
  std::string cls;
  std::string decl;
  Declaration d;
  void* fn = nullptr;
  bool shared = false;
  bool setter = false;  // calls the setter: declared parameters, then a value
  bool property = false;
  intptr_t param = 0;
  std::vector<std::string> objectTypes;  // per parameter (and setter value): class or ""
  std::string resultType;                // the declared result type's name
};

// The declared type names of a declaration's parameters, then of its result.
std::vector<std::string> TypeNames(const std::string& decl) {
  std::vector<std::string> names;
  auto typeOf = [](std::string part) {
    size_t as = part.rfind(" as ");
    if (as == std::string::npos) as = part.rfind(" As ");
    if (as == std::string::npos) return std::string();
    std::string t = part.substr(as + 4);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    while (!t.empty() && t.front() == ' ') t.erase(0, 1);
    return t;
  };
  size_t open = decl.find('('), close = decl.rfind(')');
  if (open != std::string::npos && close != std::string::npos) {
    std::string params = decl.substr(open + 1, close - open - 1);
    size_t start = 0;
    while (params.find_first_not_of(' ') != std::string::npos && start <= params.size()) {
      size_t comma = params.find(',', start);
      names.push_back(typeOf(" " + params.substr(start, comma - start)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  names.push_back(typeOf(" " + decl.substr(close == std::string::npos ? 0 : close + 1)));
  return names;
}

Member MakeMember(const char* cls, const std::string& decl, const Declaration& d, void* fn) {
  Member m;
  m.cls = cls;
  m.decl = decl;
  m.d = d;
  m.fn = fn;
  return m;
}

// Fills objectTypes: the class name of each object parameter, "" elsewhere.
void NoteObjectTypes(Member& m, const std::string& decl) {
  std::vector<std::string> names = TypeNames(decl);
  m.resultType = names.back();
  std::vector<VType> params = m.d.params;
  if (m.setter) params.push_back(m.d.result);
  for (size_t i = 0; i < params.size(); i++) {
    std::string name = i < m.d.params.size() ? names[i] : names.back();
    m.objectTypes.push_back(params[i] == VType::Object ? name : std::string());
  }
}

const char* const kClasses[] = {
    "Python3EntityBase", "Python3Entity",   "Python3Bytes",    "Python3List",
    "CoilworkConsoleOutput", "Python3Object", "Python3Result", "Python3Parameters",
    "Python3Dictionary", "Python3Function", "Python3Class",   "Python3Instance",
    "Python3Module",     "Python3XojoClass", "Python3XojoModule", "Coilwork",
    "Python3Iterator",   "Python3Buffer",
};
constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

std::vector<Member> gMembers;
std::vector<Member> gShared;
std::string gLibrary;  // the Python library the plugin is told to use
std::string gDir;
size_t gBaseObjects, gBaseStrings;
bool gRegistered;  // a module was registered: only Finalize releases it
bool gTrace;      // COILWORK_FUZZ_TRACE: print each call
// Where the fuzzer's own messages and the sanitizers' reports go: the
// process's standard error as it was at the start, which stays readable
// while CaptureProcessOutput has descriptor 2 read by the plugin.
FILE* gOut = stderr;
bool gCaptured;  // the program called CaptureProcessOutput
std::set<std::string>* gReached;  // COILWORK_FUZZ_REACHED: the members called
std::string gReachedFile;

std::string MemberName(const Member& m) { return m.cls + "." + m.decl + (m.setter ? " (setter)" : ""); }
int gModuleCounter;

void CollectMembers() {
  for (const char* cls : kClasses) {
    const REALclassDefinition* def = host.classDefinition(cls);
    if (!def) continue;
    for (uintptr_t i = 0; i < def->methodCount; i++) {
      const REALmethodDefinition& m = def->methods[i];
      Member mem = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function));
      NoteObjectTypes(mem, m.declaration);
      gMembers.push_back(mem);
      if (m.setterFunction) {
        Member set = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                   reinterpret_cast<void*>(m.setterFunction));
        set.setter = true;
        NoteObjectTypes(set, m.declaration);
        gMembers.push_back(set);
      }
    }
    for (uintptr_t i = 0; i < def->propertyCount; i++) {
      const REALproperty& p = def->properties[i];
      Member mem = MakeMember(cls, p.name, Declaration::parse(std::string("P() as ") + p.type),
                 reinterpret_cast<void*>(p.getter));
      mem.property = true;
      mem.param = p.param;
      NoteObjectTypes(mem, "P() as " + std::string(p.type));
      gMembers.push_back(mem);
    }
    for (uintptr_t i = 0; i < def->sharedMethodCount; i++) {
      const REALmethodDefinition& m = def->sharedMethods[i];
      Member mem = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function));
      mem.shared = true;
      NoteObjectTypes(mem, m.declaration);
      gShared.push_back(mem);
    }
  }
}

// ------------------------------------------------- host functions for Python
// Written as a host program writes them: the argument tuple wrapped in a
// Python3Parameters, the answer a Python3Result's GetPtr, or an error raised
// with SetError.

void SetError(const char* message) {
  Str m = host.newString(message);
  host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                        int32_t(20), m);  // ValueError
  host.unlockString(m);
}

// Answers the number of arguments, and the first one's text.
void* HostCount(void* module, void* args) {
  Obj p = host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
  int32_t n = host.prop<int32_t>(p, "Count");
  Str first = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(0));
  host.unlockString(first);
  host.unlock(p);
  Obj r = host.create("Python3Result", "Constructor(value as Int32)", n);
  void* answer = host.call<void*>(r, "GetPtr() as Ptr");
  host.unlock(r);
  return answer;
}

// Answers its first argument as text.
void* HostEcho(void* module, void* args) {
  Obj p = host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
  Str text = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(0));
  host.unlock(p);
  Obj r = host.create("Python3Result", "Constructor(value as String)", text);
  host.unlockString(text);
  void* answer = host.call<void*>(r, "GetPtr() as Ptr");
  host.unlock(r);
  return answer;
}

void* HostRefuse(void*, void*) {
  SetError("refused by the host");
  return nullptr;
}

void* HostSilent(void*, void*) { return nullptr; }  // no answer, no error

// The thread call timeout last set, as the plugin takes it (0: for ever).
// Programs only rely on a timeout to end a wait that nothing else ends (a
// plain join) when it is short: 1 to kShortTimeout ms.
constexpr int32_t kShortTimeout = 50;
int32_t gThreadTimeout;
// Every Python thread of the program that is alive in this interpreter
// makes its calls under a short timeout, now and later: a plain join of them
// ends even if nothing serves their calls.
bool gAllCallsTimed = true;
bool ShortTimeout(int32_t ms) { return ms > 0 && ms <= kShortTimeout; }

// The time limit of calls from host code last set (0: none).
int32_t gTimeLimit;
void SetTimeLimit(int32_t ms) {
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", ms);
  gTimeLimit = ms > 0 ? ms : 0;
}

void SetThreadCallTimeout(int32_t ms) {
  host.callShared<void>("Coilwork", "SetThreadCallTimeout(milliseconds as Integer)", ms);
  gThreadTimeout = ms > 0 ? ms : 0;
  if (!ShortTimeout(gThreadTimeout)) gAllCallsTimed = false;
}

// Answers its first argument, after doing what that number asks of the
// plugin: a host function that calls back into the plugin on the home
// thread, for Python code there or for a Python thread (whose calls pass
// "thr" second).
void* HostAct(void*, void* args) {
  Obj p = host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
  int32_t n = host.prop<int32_t>(p, "Count");
  int64_t k = n > 0 ? host.call<int64_t>(p, "Int64Value(index as Integer) as Int64", int32_t(0)) : 0;
  bool forThread = false;
  if (n > 1) {
    Str tag = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(1));
    forThread = host.bytes(tag) == "thr";
    if (tag) host.unlockString(tag);
  }
  host.unlock(p);
  if (gTrace) fprintf(gOut, "  host function act %lld%s\n", (long long)k, forThread ? " (thread)" : "");
  switch (uint64_t(k) % 6) {
    case 0: host.callShared<void>("Coilwork", "Interrupt()"); break;
    case 1: host.callShared<void>("Coilwork", "DeliverOutput()"); break;
    case 2:
      // Keeps the timeout as short, as long or as absent as it was: a plain
      // join may be counting on it.
      if (ShortTimeout(gThreadTimeout)) SetThreadCallTimeout(int32_t(1 + uint64_t(k) % kShortTimeout));
      else if (gThreadTimeout > 0) SetThreadCallTimeout(INT32_MAX - int32_t(uint64_t(k) % 1000));
      else SetThreadCallTimeout(k % 2 ? -1 : 0);
      break;
    case 3: {
      // Python code on the home thread: it serves further calls meanwhile.
      Str code = host.newString(k % 4 == 3 ? "import time\ntime.sleep(0.001)" : "x = 1");
      if (!host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", code))
        host.callShared<void>("Coilwork", "ClearError()");
      host.unlockString(code);
      break;
    }
    case 4:
      // Host code that a Python thread's call runs may not stop the
      // interpreter (the thread waits for it); on the home thread's own
      // behalf it only asks for the running interpreter.
      if (forThread) host.callShared<void>("Coilwork", "Finalize()");
      else host.callShared<void>("Coilwork", "Init()");
      break;
    default: break;
  }
  Obj r = host.create("Python3Result", "Constructor(value as Int64)", k);
  void* answer = host.call<void*>(r, "GetPtr() as Ptr");
  host.unlock(r);
  return answer;
}

int32_t InitAccept(void*, void* args, void*) {
  Obj p = host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
  host.unlock(p);
  return 0;
}

int32_t InitRefuse(void*, void*, void*) {
  SetError("no instance");
  return -1;
}

void* const kFunctions[] = {nullptr, reinterpret_cast<void*>(&HostCount),
                            reinterpret_cast<void*>(&HostEcho), reinterpret_cast<void*>(&HostRefuse),
                            reinterpret_cast<void*>(&HostSilent), reinterpret_cast<void*>(&HostAct)};
constexpr size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
void* const kInits[] = {nullptr, reinterpret_cast<void*>(&InitAccept),
                        reinterpret_cast<void*>(&InitRefuse)};

// Module creators, each serving the module bound to its slot; the binding
// holds a host reference until the end of the program, after Finalize.
constexpr int kCreators = 4;
Obj gCreatorModule[kCreators];

template <int I>
void* Creator() {
  return gCreatorModule[I] ? host.call<void*>(gCreatorModule[I], "ModuleCreateProc() as Ptr")
                           : nullptr;
}
void* const kCreatorFns[kCreators] = {
    reinterpret_cast<void*>(&Creator<0>), reinterpret_cast<void*>(&Creator<1>),
    reinterpret_cast<void*>(&Creator<2>), reinterpret_cast<void*>(&Creator<3>)};

void* BindCreator(int slot, Obj module) {
  if (gCreatorModule[slot]) host.unlock(gCreatorModule[slot]);
  gCreatorModule[slot] = module;
  host.lock(module);
  return kCreatorFns[slot];
}

void ReleaseCreators() {
  for (Obj& m : gCreatorModule) {
    if (m) host.unlock(m);
    m = nullptr;
  }
}

// ------------------------------------------------------- Python's threads
// Calls from Python's threads and from native threads that enter Python
// through PyGILState: each thread makes a few calls of what a host-made
// module offers ("hx0" to "hx3": functions, initialisers, methods), with
// short pauses, and ends. Their calls run on the home thread whenever it
// serves them. Modules hx0 to hx2 are imported by the home thread before its
// threads call them; hx3 is imported first on the threads themselves, so
// that its creator runs for a thread (the home thread never imports it: it
// would wait for the module's import lock, which a thread holds while it
// waits for the home thread).

bool Running();
void AddModuleFolder();

// The Python library's own function of that name; null until the plugin has
// loaded the library.
template <class F>
F PythonEntry(const char* name) {
  void* lib = dlopen(gLibrary.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!lib) return nullptr;
  void* f = dlsym(lib, name);
  dlclose(lib);
  return reinterpret_cast<F>(f);
}

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
const char kThreadHelper[] =
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

// Threads of native code, each calling into Python once through PyGILState.
struct NativeThread {
  std::thread thread;
  std::atomic<bool> done{false};
};
std::vector<std::unique_ptr<NativeThread>> gNative;
constexpr size_t kNativeAtOnce = 2;
// A host thread that calls Interrupt while the home thread runs Python code.
std::thread gInterrupter;
// Python threads a program starts, at most.
constexpr int kThreadsPerProgram = 8;
// Some thread of the program may still be calling.
bool gThreadsMayRun;
// Daemon threads started in this interpreter and not yet seen to end.
int gDaemonsLive;
// How many more waiting daemon threads a Finalize may leave behind in this
// process: they wait for good.
int gStrandable = 200;

void Reach(const char* decl) {
  if (gReached) gReached->insert(std::string("Coilwork.") + decl);
}

void DeliverOutput() {
  Reach("DeliverOutput()");
  host.callShared<void>("Coilwork", "DeliverOutput()");
}

// The error a helper call failed with last, for a finding's report.
std::string gHelperError;

// Calls a function of the helper module, with one text argument when one is
// given, as host code does; its Python3Result, or nil when it failed (the
// error cleared).
Obj CallHelper(const char* function, const std::string* text = nullptr) {
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

// What a counting helper answers; -1 when it could not tell.
int HelperCount(const char* function) {
  Obj r = CallHelper(function);
  if (!r) return -1;
  int32_t n = host.call<int32_t>(r, "Int32Value() as Int32");
  host.unlock(r);
  host.callShared<void>("Coilwork", "ClearError()");
  return n;
}

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

// Releases the waiting threads and serves until every thread has ended.
void ServeUntilEnded() {
  if (!gThreadsMayRun) return;
  ServeUntilNone("alive", true, true);
  gThreadsMayRun = false;
  gDaemonsLive = 0;
  gAllCallsTimed = true;
}

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

// ------------------------------------------------------------ the program
struct Program {
  FuzzedDataProvider& in;
  std::vector<Obj> objects;   // each owns one host reference
  std::vector<Obj> payloads;  // objects given to Python as "Object"; never called
  std::vector<Str> strings;  // each owns one host reference

  explicit Program(FuzzedDataProvider& p) : in(p) {}

  ~Program() {
    for (Obj o : objects) host.unlock(o);
    for (Obj o : payloads) host.unlock(o);
    for (Str s : strings) host.unlockString(s);
  }

  Str NewString() {
    static const std::string kLong(70000, 'x');
    switch (in.ConsumeIntegralInRange(0, 11)) {
      case 0: return nullptr;
      case 1: return host.newString("");
      case 2: return host.newString(kLong);
      case 3: return host.newString("\xff\xfe\xc3", emuhost::kUTF8);  // invalid UTF-8
      case 4: return host.newString(std::string("a\0b", 3));
      case 5: return host.newString("caf\xe9", emuhost::kLatin1);
      case 6: return host.newString(std::string("h\0i\0", 4), emuhost::kUTF16);
      case 7: return host.newString("\x80\x81", emuhost::kUnknown);
      case 8: return host.newString(ModuleName(false));
      case 9: {
        static const char* kNames[] = {"x", "s", "l", "d", "b", "t", "f", "g", "boom", "C",
                                       "attr", "m", "__name__", "missing", "hx0", "hx1", "hx2"};
        return host.newString(kNames[in.ConsumeIntegralInRange<size_t>(0, 16)]);
      }
      case 10: return host.newString("\xe2\x82\xac \xf0\x9f\x90\x8d");
      default: return host.newString(in.ConsumeRandomLengthString(64));
    }
  }

  // Exec and Eval run what they are given: they get short code that always
  // terminates and starts no threads, rather than arbitrary text.
  static bool IsCodeRunner(const Member& m) {
    return m.shared && m.cls == "Coilwork" && (m.d.name == "Exec" || m.d.name == "Eval");
  }
  Str PickCode(bool expression) {
    static const char* const kStatements[] = {
        "x = 1", "print('hi', x)", "1 / 0", "def (:", "raise KeyError('k')",
        "import json\njson.loads('{')",
        "try:\n    {}['m']\nexcept KeyError as e:\n    raise ValueError('v') from e\n",
        "class E(Exception):\n    pass\nraise E(x)", "del __builtins__", "raise SystemExit(3)",
        "import sys\nsys.stdout.write('w')", "l = [i * i for i in range(10)]", "x += 1",
        "import sys\nx = len(sys.modules)"};
    static const char* const kExpressions[] = {
        "1 + 2", "x", "'s' * 3", "[1, 'a', None]", "{'k': 1}", "b'\\x00'", "2 ** 70", "1 / 0",
        "x = 1", "None", "(1, 'x')", "print", "lambda: 0", "undefined", "2.5", "True"};
    Str s = nullptr;
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: break;  // nil
      case 1: s = host.newString(""); break;
      case 2: s = host.newString(std::string("x = 1\0x = 2", 11)); break;
      case 3: s = host.newString("x = '\xff'", emuhost::kUTF8); break;  // invalid UTF-8
      default:
        s = expression ? host.newString(kExpressions[in.ConsumeIntegralInRange<size_t>(0, 15)])
                       : host.newString(kStatements[in.ConsumeIntegralInRange<size_t>(0, 13)]);
    }
    if (s) strings.push_back(s);
    return s;
  }

  Str PickString() {
    if (!strings.empty() && in.ConsumeBool())
      return strings[in.ConsumeIntegralInRange<size_t>(0, strings.size() - 1)];
    Str s = NewString();
    if (s) strings.push_back(s);
    return s;
  }

  // An argument for a parameter declared with the class type (any object
  // for "Object"): nil, a kept object the host would let through, or a new
  // one; a new plugin object has no Python object.
  Obj PickObject(const std::string& type) {
    if (type.empty() || strcasecmp(type.c_str(), "Object") == 0) return PickAnyObject();
    std::vector<Obj> fits;
    for (Obj o : objects)
      if (host.isA(o, type)) fits.push_back(o);
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: return nullptr;
      case 1: {
        Obj o;
        if (strcasecmp(type.c_str(), "MemoryBlock") == 0)
          o = host.newMemoryBlock(in.ConsumeRandomLengthString(16));
        else if (strcasecmp(type.c_str(), "FolderItem") == 0)
          o = host.folderItem(in.ConsumeBool() ? gDir
                              : in.ConsumeBool() ? gDir + "/env" : std::string("/nonexistent/x"));
        else
          o = host.newInstance(type);
        objects.push_back(o);
        return o;
      }
      default:
        if (fits.empty()) return nullptr;
        return fits[in.ConsumeIntegralInRange<size_t>(0, fits.size() - 1)];
    }
  }

  // An argument "as Object": the plugin puts it into a capsule, so Python
  // holds a host reference to it. It is drawn from payloads, objects that
  // hold no Python object and never will (host-class objects, and plugin
  // objects of any class that are never called): a holder given to Python
  // could otherwise end up inside its own Python object, a reference cycle
  // through the host's counts that the host program made and that nothing
  // but the host can break, exactly like a host object that refers to
  // itself.
  Obj PickAnyObject() {
    switch (in.ConsumeIntegralInRange(0, 6)) {
      case 0: return nullptr;
      case 1: {  // a host object of a host class
        Obj o;
        switch (in.ConsumeIntegralInRange(0, 2)) {
          case 0: o = host.newMemoryBlock(in.ConsumeRandomLengthString(16)); break;
          case 1: o = host.newObjectArray(); break;
          default: o = host.folderItem(in.ConsumeBool() ? gDir : "/nonexistent/x"); break;
        }
        payloads.push_back(o);
        return o;
      }
      case 2: {  // a plugin object of any class, without a Python object
        Obj o = host.newInstance(kClasses[in.ConsumeIntegralInRange<size_t>(0, kClassCount - 1)]);
        payloads.push_back(o);
        return o;
      }
      default:
        if (payloads.empty()) return nullptr;
        return payloads[in.ConsumeIntegralInRange<size_t>(0, payloads.size() - 1)];
    }
  }

  Obj PickSelf(const std::string& cls) {
    std::vector<Obj> fits;
    for (Obj o : objects)
      if (host.isA(o, cls)) fits.push_back(o);
    if (!fits.empty() && in.ConsumeIntegralInRange(0, 3) != 0)
      return fits[in.ConsumeIntegralInRange<size_t>(0, fits.size() - 1)];
    Obj o = host.newInstance(cls);
    objects.push_back(o);
    return o;
  }

  int64_t PickInt(VType t) {
    static const int64_t kInts[] = {0, 1, -1, 2, 3, 100, INT32_MIN, INT32_MAX, 0x7FFFFFFFFFFFFFFF,
                                    INT64_MIN};
    size_t i = in.ConsumeIntegralInRange<size_t>(0, 10);
    int64_t v = i < 10 ? kInts[i] : in.ConsumeIntegral<int64_t>();
    switch (t) {
      case VType::Int32: return int32_t(v);
      case VType::UInt32: return uint32_t(v);
      case VType::Boolean: return int8_t(v);
      default: return v;
    }
  }

  double PickDouble() {
    static const double kDoubles[] = {0.0, -0.0, 2.5, -1e308, std::numeric_limits<double>::infinity(),
                                      std::nan(""), 1e-310};
    size_t i = in.ConsumeIntegralInRange<size_t>(0, 7);
    return i < 7 ? kDoubles[i] : in.ConsumeFloatingPoint<double>();
  }

  std::string ModuleName(bool fresh) {
    if (fresh) return "fz" + std::to_string(++gModuleCounter);
    return "fz" + std::to_string(in.ConsumeIntegralInRange(0, gModuleCounter + 1));
  }

  void WriteModule() {
    static const char* kParts[] = {
        "x = %d\n", "s = 'text %d \\u20ac'\n", "l = [1, 'a', None, %d]\n", "d = {'k': %d, 1: 'one'}\n",
        "b = b'\\x00\\x01%d'\n", "t = (%d, 'x')\n", "def f(*a):\n    return a[0] if a else None\n",
        "def g(a, b):\n    return a + b\n", "def boom(*a):\n    raise ValueError('bad %d')\n",
        "class C:\n    attr = %d\n    def m(self, *a):\n        return len(a)\n",
        "print('hello %d')\n", "big = 2 ** %d\n", "f = %d\n", "def (:\n", "raise KeyError(%d)\n",
        "import sys\nsys.stdout.write('w%d')\n",
        // Uses a host-made module: calls what it offers, then the methods of
        // what those answer.
        "try:\n    import hx%d as _h\nexcept Exception:\n    _h = None\n"
        "for _n in dir(_h):\n    if _n.startswith('_'): continue\n"
        "    try:\n        _r = getattr(_h, _n)(1, 'a')\n"
        "        for _m in dir(_r):\n            if not _m.startswith('_'): getattr(_r, _m)('b', 2)\n"
        "    except Exception:\n        pass\n",
        // A Python thread, joined before the import ends: it prints, and
        // calls what a host-made module offers, which the importing thread
        // runs for it while it waits for the thread (the join follows).
        "import threading\ntry:\n    import hx%d as _h\nexcept Exception:\n    _h = None\n"
        "def _run():\n    print('thread')\n    for _n in dir(_h):\n"
        "        if _n.startswith('_'): continue\n"
        "        try:\n            getattr(_h, _n)(1)\n        except Exception:\n            pass\n"
        "_t = threading.Thread(target=_run)\n_t.start()\n",
    };
    // A plain join runs no Python code, so it serves none of the thread's
    // calls: only a short thread call timeout ends them (TimeoutError).
    // Otherwise the join wakes every few milliseconds, and the calls run in
    // between.
    const char* const kJoinPlain = "_t.join()\n";
    const char* const kJoinServing = "while _t.is_alive():\n    _t.join(0.002)\n";
    std::string src;
    int parts = in.ConsumeIntegralInRange(1, 6);
    for (int i = 0; i < parts; i++) {
      char line[512];
      size_t k = in.ConsumeIntegralInRange<size_t>(0, 17);
      int n = in.ConsumeIntegralInRange(0, 70);
      snprintf(line, sizeof line, kParts[k], k >= 16 ? n % 3 : n);
      src += line;
      if (k == 17) src += ShortTimeout(gThreadTimeout) && in.ConsumeBool() ? kJoinPlain : kJoinServing;
    }
    std::string name = ModuleName(true);
    std::ofstream(gDir + "/" + name + ".py") << src;
    if (gTrace) fprintf(gOut, "module %s:\n%s", name.c_str(), src.c_str());
    Str s = host.newString(name);
    Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
    host.unlockString(s);
    if (m) objects.push_back(m);
  }

  // Calls a member through its record with arguments laid out as the
  // x86_64 convention places them: integers and pointers in order, doubles
  // in order.
  void Call(const Member& m) {
    uint64_t w[6] = {};
    double f[4] = {};
    int nw = 0, nf = 0;
    if (!m.shared) {
      w[nw++] = reinterpret_cast<uint64_t>(PickSelf(m.cls));
      if (m.property) w[nw++] = uint64_t(m.param);
    }
    std::vector<VType> params = m.d.params;
    if (m.setter) params.push_back(m.d.result);
    for (size_t i = 0; i < params.size(); i++) {
      VType t = params[i];
      switch (t) {
        case VType::Double: f[nf++] = PickDouble(); break;
        case VType::String:
          w[nw++] = reinterpret_cast<uint64_t>(IsCodeRunner(m) ? PickCode(m.d.name == "Eval")
                                                               : PickString());
          break;
        case VType::Object:
          w[nw++] = reinterpret_cast<uint64_t>(PickObject(m.objectTypes[i]));
          break;
        case VType::Ptr: w[nw++] = reinterpret_cast<uint64_t>(PickPointer(m, w, nw)); break;
        default: w[nw++] = uint64_t(PickInt(t)); break;
      }
    }
    VType result = m.setter ? VType::Void : m.d.result;
    // Python keeps what a registered or created module uses until Finalize.
    if (m.d.name == "RegisterXojoModule" || m.d.name == "ModuleCreateProc") gRegistered = true;
    if (gReached) gReached->insert(MemberName(m));
    if (gTrace) {
      fprintf(gOut, "call %s.%s%s%s (", m.cls.c_str(), m.decl.c_str(), m.setter ? " =" : "",
              m.property ? " [property]" : "");
      for (int i = 0; i < nw; i++) fprintf(gOut, " %#llx", (unsigned long long)w[i]);
      for (int i = 0; i < nf; i++) fprintf(gOut, " %g", f[i]);
      fprintf(gOut, " )\n");
    }
    bool coilwork = m.shared && m.cls == "Coilwork";
    if (coilwork && m.d.name == "Finalize") BeforeFinalize();
    CallWith(m, result, w, f);
    if (coilwork && m.d.name == "Finalize") AfterFinalize();
    if (coilwork && m.d.name == "CaptureProcessOutput") gCaptured = true;
    if (coilwork && m.d.name == "SetTimeLimit") gTimeLimit = std::max(int32_t(w[0]), 0);
    if (coilwork && m.d.name == "SetThreadCallTimeout") {
      // The plugin takes the Integer's 32 bits; a long or absent timeout
      // leaves calls that only serving ends.
      int32_t ms = int32_t(w[0]);
      gThreadTimeout = ms > 0 ? ms : 0;
      NoteUntimedCalls();
    }
    if (m.shared && m.d.name == "Init") AddModuleFolder();  // as a host program would
    for (void* o : borrowed) GiveBack(o);
    borrowed.clear();
  }

  void CallWith(const Member& m, VType result, uint64_t* w, double* f) {
    if (result == VType::Double) {
      using F = double (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double,
                           double, double, double);
      reinterpret_cast<F>(m.fn)(w[0], w[1], w[2], w[3], w[4], w[5], f[0], f[1], f[2], f[3]);
      return;
    }
    using F = uint64_t (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, double,
                           double, double, double);
    uint64_t r = reinterpret_cast<F>(m.fn)(w[0], w[1], w[2], w[3], w[4], w[5], f[0], f[1], f[2], f[3]);
    if (result == VType::Object && r) {
      // What comes back "as Object" is a capsule's host object: a payload.
      bool payload = strcasecmp(m.resultType.c_str(), "Object") == 0;
      (payload ? payloads : objects).push_back(reinterpret_cast<Obj>(r));
    }
    if (result == VType::String && r) strings.push_back(reinterpret_cast<Str>(r));
    // A raw new Python reference (GetPtr, ModuleCreateProc): hand it back.
    if (result == VType::Ptr && r) GiveBack(reinterpret_cast<void*>(r));
  }

  static bool Running();
  static void AddModuleFolder();
  static void GiveBack(void* pyObject);

  // Raw pointers are the host's to vouch for: each is null or what such a
  // parameter takes, a host function, an initialiser, a module creator
  // bound to the module argument, or a live Python object (of any type).
  std::vector<void*> borrowed;  // Python references to drop after the call
  void* PickPointer(const Member& m, const uint64_t* w, int nw) {
    if (m.d.name == "RegisterFunction")
      return kFunctions[in.ConsumeIntegralInRange<size_t>(0, kFunctionCount - 1)];
    if (m.d.name == "Constructor" && m.cls == "Python3XojoClass")
      return kInits[in.ConsumeIntegralInRange<size_t>(0, 2)];
    if (m.d.name == "RegisterXojoModule") {
      Obj module = reinterpret_cast<Obj>(w[nw - 1]);
      if (!module || in.ConsumeIntegralInRange(0, 7) == 0) return nullptr;
      return BindCreator(in.ConsumeIntegralInRange(0, kCreators - 1), module);
    }
    if (in.ConsumeBool()) return nullptr;
    std::vector<Obj> results;
    for (Obj o : objects)
      if (host.isA(o, "Python3Result")) results.push_back(o);
    if (results.empty()) return nullptr;
    Obj r = results[in.ConsumeIntegralInRange<size_t>(0, results.size() - 1)];
    void* o = host.call<void*>(r, "GetPtr() as Ptr");
    if (o) borrowed.push_back(o);
    return o;
  }

  // Makes a module "hx0" to "hx3" with host functions and perhaps a class,
  // as a host program does, and registers it for import.
  void Publish() {
    if (gTrace) fprintf(gOut, "publish\n");
    // hx3 is imported first on Python's threads only (see StartThreads).
    Str name = host.newString("hx" + std::to_string(in.ConsumeIntegralInRange(0, 3)));
    Obj m = host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                        name, uint32_t(in.ConsumeIntegralInRange(0, 3)));
    host.unlockString(name);
    objects.push_back(m);
    const char* kNames[] = {"f0", "f1", "f2", "f3"};
    for (int i = 0, n = in.ConsumeIntegralInRange(0, 3); i < n; i++) {
      Str f = host.newString(kNames[i]);
      host.call<void>(m, "RegisterFunction(name as String, fuction as Ptr)", f,
                      kFunctions[in.ConsumeIntegralInRange<size_t>(0, kFunctionCount - 1)]);
      host.unlockString(f);
    }
    if (in.ConsumeBool()) {
      Str cname = host.newString(in.ConsumeBool() ? "K" : "L");
      Obj c = host.create("Python3XojoClass",
                          "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                          cname, uint32_t(in.ConsumeIntegralInRange(0, 2)),
                          kInits[in.ConsumeIntegralInRange<size_t>(0, 2)]);
      host.unlockString(cname);
      objects.push_back(c);
      for (int i = 0, n = in.ConsumeIntegralInRange(0, 2); i < n; i++) {
        Str f = host.newString(kNames[i]);
        host.call<void>(c, "RegisterFunction(name as String, fuction as Ptr)", f,
                        kFunctions[in.ConsumeIntegralInRange<size_t>(0, kFunctionCount - 1)]);
        host.unlockString(f);
      }
      host.call<void>(m, "AddClass(classToAdd as Python3XojoClass)", c);
    }
    if (in.ConsumeIntegralInRange(0, 3) != 0) {
      gRegistered = true;
      host.callShared<void>(
          "Coilwork",
          "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)", m,
          BindCreator(in.ConsumeIntegralInRange(0, kCreators - 1), m));
    }
  }

  // --------------------------------------------- calls from other threads
  int threadsStarted = 0;

  // A thread's calls, as Python literals: (name, number) calls a function
  // or makes an instance of a class; (class, number, method) then calls one
  // of the instance's methods. HostAct reads the number as what to do.
  std::string PickSteps() {
    std::string steps = "[";
    for (int i = 0, n = in.ConsumeIntegralInRange(1, 4); i < n; i++) {
      int k = in.ConsumeIntegral<uint8_t>();
      char step[48];
      switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0: snprintf(step, sizeof step, "('f%d', %d), ", in.ConsumeIntegralInRange(0, 3), k); break;
        case 1: snprintf(step, sizeof step, "('%s', %d), ", in.ConsumeBool() ? "K" : "L", k); break;
        default:
          snprintf(step, sizeof step, "('%s', %d, 'f%d'), ", in.ConsumeBool() ? "K" : "L", k,
                   in.ConsumeIntegralInRange(0, 1));
      }
      steps += step;
    }
    return steps + "]";
  }
  // The module, the steps, the pause before each, and whether the thread
  // imports the module itself: "'hx1', [...], 0.0005, False".
  std::string PickPlan() {
    static const char* const kPauses[] = {"0", "0.0005", "0.002"};
    int module = in.ConsumeIntegralInRange(0, 3);
    std::string steps = PickSteps();
    const char* pause = kPauses[in.ConsumeIntegralInRange(0, 2)];
    return "'hx" + std::to_string(module) + "', " + steps + ", " + pause + ", " +
           (module == 3 ? "True" : "False");
  }
  void NoteUntimedCalls() {
    if (!ShortTimeout(gThreadTimeout)) gAllCallsTimed = false;
  }

  // Python threads in one of the helper's modes: 0 not a daemon, 1 a daemon,
  // 2 a daemon that waits after its calls, 3 a late daemon.
  void StartThreads() {
    if (threadsStarted >= kThreadsPerProgram) return;
    std::string plan = PickPlan();
    int mode = in.ConsumeIntegralInRange(0, 3);
    int count = std::min(in.ConsumeIntegralInRange(1, 2), kThreadsPerProgram - threadsStarted);
    std::string text = "(" + plan + ", " + std::to_string(mode) + ", " + std::to_string(count) + ")";
    if (gTrace) fprintf(gOut, "threads %s\n", text.c_str());
    threadsStarted += count;
    gThreadsMayRun = true;
    if (mode != 0) gDaemonsLive += count;
    NoteUntimedCalls();
    if (Obj r = CallHelper("start_from", &text)) host.unlock(r);
  }

  // A native thread enters Python through PyGILState and calls as a Python
  // thread does; it ends before the interpreter may stop.
  void StartNativeThread() {
    JoinEndedNative();
    if (gNative.size() >= kNativeAtOnce || !Running()) return;
    std::string plan = "(" + PickPlan() + ")";
    if (gTrace) fprintf(gOut, "native thread %s\n", plan.c_str());
    using Ensure = int (*)();
    using Release = void (*)(int);
    using Modules = void* (*)();
    using GetItem = void* (*)(void*, const char*);
    using CallMethod = void* (*)(void*, const char*, const char*, ...);
    using Simple = void (*)(void*);
    using Clear = void (*)();
    auto ensure = PythonEntry<Ensure>("PyGILState_Ensure");
    auto release = PythonEntry<Release>("PyGILState_Release");
    auto modules = PythonEntry<Modules>("PyImport_GetModuleDict");
    auto getItem = PythonEntry<GetItem>("PyDict_GetItemString");
    auto callMethod = PythonEntry<CallMethod>("PyObject_CallMethod");
    auto decRef = PythonEntry<Simple>("Py_DecRef");
    auto clear = PythonEntry<Clear>("PyErr_Clear");
    if (!ensure || !release || !modules || !getItem || !callMethod || !decRef || !clear) {
      fprintf(gOut, "fuzz: no PyGILState or call entries in %s\n", gLibrary.c_str());
      abort();
    }
    // The helper (and hx0 to hx2, as for Python's threads) is imported here
    // first: the thread imports nothing itself but hx3.
    std::string module = plan.substr(1, plan.find(',') - 1);
    std::string text = "(" + module + ", [], 0, " + (module == "'hx3'" ? "True" : "False") + ", 0, 0)";
    Obj loaded = CallHelper("start_from", &text);
    if (!loaded) return;
    host.unlock(loaded);
    NoteUntimedCalls();
    gThreadsMayRun = true;
    auto* t = new NativeThread();
    gNative.emplace_back(t);
    t->thread = std::thread([=] {
      int state = ensure();
      void* m = getItem(modules(), "fuzzthreads");  // borrowed
      void* r = m ? callMethod(m, "body_from", "s", plan.c_str()) : nullptr;
      if (r) decRef(r);
      else clear();
      release(state);
      t->done.store(true);
    });
  }

  void SetTimeout() {
    static const int32_t kValues[] = {0, 1, 2, 5, 20, kShortTimeout, -1, INT32_MIN, 1000, INT32_MAX};
    size_t i = in.ConsumeIntegralInRange<size_t>(0, 10);
    int32_t ms = i < 10 ? kValues[i] : in.ConsumeIntegral<int32_t>();
    if (gTrace) fprintf(gOut, "thread call timeout %d\n", ms);
    Reach("SetThreadCallTimeout(milliseconds as Integer)");
    ::SetThreadCallTimeout(ms);
  }

  // Runs the threads' calls: Python code that waits a while, the host's
  // loop of DeliverOutput, a plain join (when a short timeout ends every
  // call it keeps from running), or until every thread has ended.
  void Serve() {
    switch (in.ConsumeIntegralInRange(0, 5)) {
      case 0: {
        static const char* const kWaits[] = {"wait_0", "wait_2", "wait_10", "wait_50"};
        const char* wait = kWaits[in.ConsumeIntegralInRange(0, 3)];
        if (gTrace) fprintf(gOut, "serve %s\n", wait);
        if (Obj r = CallHelper(wait)) host.unlock(r);
        break;
      }
      case 1: {
        int rounds = in.ConsumeIntegralInRange(1, 20);
        if (gTrace) fprintf(gOut, "serve %d rounds of DeliverOutput\n", rounds);
        for (int i = 0; i < rounds; i++) {
          DeliverOutput();
          usleep(500);
        }
        break;
      }
      case 2:
        if (gAllCallsTimed && ShortTimeout(gThreadTimeout)) {
          if (gTrace) fprintf(gOut, "join plainly\n");
          if (Obj r = CallHelper("join_plain")) host.unlock(r);
          break;
        }
        [[fallthrough]];
      default:
        if (gTrace) fprintf(gOut, "serve until the threads end\n");
        ServeUntilEnded();
        break;
    }
  }

  // Interrupt, now (no call runs) or from another host thread while the
  // home thread runs Python code that serves.
  void InterruptOp() {
    JoinInterrupter();
    Reach("Interrupt()");
    if (in.ConsumeBool()) {
      if (gTrace) fprintf(gOut, "interrupt\n");
      host.callShared<void>("Coilwork", "Interrupt()");
      return;
    }
    int delayUs = in.ConsumeIntegralInRange(0, 3) * 1000;
    if (gTrace) fprintf(gOut, "interrupt after %d us from a host thread\n", delayUs);
    gInterrupter = std::thread([delayUs] {
      usleep(delayUs);
      host.callShared<void>("Coilwork", "Interrupt()");
    });
    if (Obj r = CallHelper(in.ConsumeBool() ? "wait_10" : "wait_2")) host.unlock(r);
    JoinInterrupter();
    host.callShared<void>("Coilwork", "ClearError()");
  }

  // Stops the interpreter while threads may still be calling, and perhaps
  // starts the next one.
  void FinalizeOp() {
    if (gTrace) fprintf(gOut, "finalize\n");
    Reach("Finalize()");
    Finalize();
    if (in.ConsumeBool()) {
      if (gTrace) fprintf(gOut, "init\n");
      Reach("Init()");
      host.callShared<void>("Coilwork", "Init()");
      ::AddModuleFolder();
    }
  }

  void ThreadStep() {
    switch (in.ConsumeIntegralInRange(0, 9)) {
      case 0: case 1: case 2: StartThreads(); break;
      case 3: StartNativeThread(); break;
      case 4: SetTimeout(); break;
      case 5:
        if (gTrace) fprintf(gOut, "deliver\n");
        DeliverOutput();
        break;
      case 6: case 7: Serve(); break;
      case 8: InterruptOp(); break;
      default: FinalizeOp(); break;
    }
  }

  void Step() {
    switch (in.ConsumeIntegralInRange(0, 19)) {
      case 16: Publish(); break;
      case 17: case 18: case 19: ThreadStep(); break;
      case 0: case 1: case 2: case 3: case 4: case 5: case 6:
        Call(gMembers[in.ConsumeIntegralInRange<size_t>(0, gMembers.size() - 1)]);
        break;
      case 7: case 8: case 9: {
        const Member& m = gShared[in.ConsumeIntegralInRange<size_t>(0, gShared.size() - 1)];
        // Starting and stopping the interpreter is rare; the rest is common.
        if ((m.d.name == "Init" || m.d.name == "Finalize") && in.ConsumeIntegralInRange(0, 7) != 0)
          break;
        Call(m);
        break;
      }
      case 10: case 11: WriteModule(); break;
      case 12:
        if (!objects.empty()) {
          size_t i = in.ConsumeIntegralInRange<size_t>(0, objects.size() - 1);
          if (gTrace) fprintf(gOut, "release %p\n", static_cast<void*>(objects[i]));
          host.unlock(objects[i]);
          objects.erase(objects.begin() + i);
        }
        break;
      default: {
        Obj o = host.newInstance(kClasses[in.ConsumeIntegralInRange<size_t>(0, kClassCount - 1)]);
        objects.push_back(o);
        break;
      }
    }
  }
};

bool Running() {
  Str s = host.newString("sys");
  Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
  host.unlockString(s);
  host.callShared<void>("Coilwork", "ClearError()");
  if (m) host.unlock(m);
  return m != nullptr;
}
bool Program::Running() { return ::Running(); }

// Gives back a Python reference the program was handed (GetPtr,
// ModuleCreateProc): the program owns it, and a capsule's host object stays
// alive until it is given back. Python's Py_DecRef is looked up in the
// library itself, which the plugin loads only when first asked for Python,
// after the program's setup; a reference of an interpreter that has stopped
// since is no longer Python's to count.
//
// It is given back as host code must: holding the interpreter lock, which
// the plugin may have handed on after its last call (AllowThreads, or another
// thread in Python).
void Program::GiveBack(void* pyObject) {
  static void (*decRef)(void*);
  static int (*ensure)();
  static void (*release)(int);
  if (!decRef) {
    void* lib = dlopen(gLibrary.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (lib) {
      decRef = reinterpret_cast<void (*)(void*)>(dlsym(lib, "Py_DecRef"));
      ensure = reinterpret_cast<int (*)()>(dlsym(lib, "PyGILState_Ensure"));
      release = reinterpret_cast<void (*)(int)>(dlsym(lib, "PyGILState_Release"));
      dlclose(lib);
    }
  }
  if (!decRef || !ensure || !release) {
    fprintf(gOut, "fuzz: no Py_DecRef or PyGILState_Ensure in %s to give a Python reference back\n",
            gLibrary.c_str());
    abort();
  }
  if (!::Running()) return;
  int state = ensure();
  decRef(pyObject);
  release(state);
}
void AddModuleFolder();
void Program::AddModuleFolder() { ::AddModuleFolder(); }

// Drops every module the program imported, and collects cycles, so that
// capsules Python held are freed and their host objects released.
void CleanPython() {
  if (!Running()) return;
  Str s = host.newString("fuzzclean");
  Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
  host.unlockString(s);
  if (!m) return;
  Str fn = host.newString("clean");
  Obj f = host.call<Obj>(m, "GetFunction(name as String) as Python3Function", fn);
  host.unlockString(fn);
  if (f) {
    Obj r = host.call<Obj>(f, "Invoke(parameters as Python3Parameters) as Python3Result", Obj(nullptr));
    if (r) host.unlock(r);
    host.unlock(f);
  }
  host.unlock(m);
  host.callShared<void>("Coilwork", "ClearError()");
}

void Setup() {
  if (FILE* out = fdopen(dup(2), "w")) {
    setvbuf(out, nullptr, _IOLBF, 0);
    gOut = out;
    __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(fileno(out))));
  }
  host.load();
  const char* lib = getenv("COILWORK_FUZZ_PYTHON");
  gLibrary = lib && *lib ? lib : "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0";
  Obj path = host.folderItem(gLibrary);
  host.callShared<void>("Coilwork", "SetPythonPath(path as FolderItem)", path);
  host.unlock(path);
  CollectMembers();
  gTrace = getenv("COILWORK_FUZZ_TRACE") && *getenv("COILWORK_FUZZ_TRACE") == '1';
  if (const char* reached = getenv("COILWORK_FUZZ_REACHED")) {
    gReachedFile = reached;
    gReached = new std::set<std::string>();
    atexit([] {
      std::ofstream out(gReachedFile);
      for (const std::vector<Member>* list : {&gMembers, &gShared})
        for (const Member& m : *list)
          out << (gReached->count(MemberName(m)) ? "+ " : "- ") << MemberName(m) << "\n";
    });
  }
  char tmpl[] = "/tmp/coilfuzz-XXXXXX";
  gDir = mkdtemp(tmpl);
  atexit([] { std::filesystem::remove_all(gDir); });
  std::ofstream(gDir + "/fuzzthreads.py") << kThreadHelper;
  std::ofstream(gDir + "/fuzzclean.py")
      << "import sys, gc\n"
         "def clean():\n"
         "    for k in [k for k in sys.modules if k.startswith('fz')]:\n"
         "        del sys.modules[k]\n"
         "    gc.collect()\n";
  // A virtual environment for UseVirtualEnvironment, made for any version.
  std::filesystem::create_directories(gDir + "/env/lib");
  std::ofstream(gDir + "/env/pyvenv.cfg") << "home = /usr/bin\ninclude-system-site-packages = true\n";
  gBaseObjects = host.liveObjects();
  gBaseStrings = host.liveStrings();
}

// Starts an interpreter when none runs, and gives each new one the folder
// of the program's modules.
void EnsureStarted();

void AddModuleFolder() {
  Obj dir = host.folderItem(gDir);
  host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", dir);
  host.unlock(dir);
}

void EnsureStarted() {
  static bool first = true;
  if (!first && Running()) return;
  first = false;
  host.callShared<void>("Coilwork", "Init()");
  AddModuleFolder();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  // One program in eight starts without an interpreter: its calls come
  // before Init, unless it calls Init itself.
  if (size > 0 && data[0] % 8 == 0) {
    if (Running()) Finalize();
  } else {
    EnsureStarted();
  }
  // Each program starts with calls from threads waited for without limit,
  // and calls from host code without a time limit, whatever the last one set.
  SetThreadCallTimeout(0);
  SetTimeLimit(0);
  gAllCallsTimed = true;
  {
    FuzzedDataProvider in(data, size);
    Program program(in);
    int steps = 0;
    while (in.remaining_bytes() > 0 && steps++ < 64) program.Step();
    // Every thread ends, its calls served, before what it used is released.
    JoinInterrupter();
    ServeUntilEnded();
  }
  // The process's own descriptors back, so that the fuzzer's progress shows.
  if (gCaptured) host.callShared<void>("Coilwork", "CaptureProcessOutput(capture as Boolean)", int8_t(0));
  gCaptured = false;
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  host.callShared<void>("Coilwork", "SetErrorOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  CleanPython();
  if (gRegistered) {
    // Registered and created modules are held until an interpreter stops;
    // one registered while none runs waits for the next.
    EnsureStarted();
    Finalize();
    gRegistered = false;
  }
  ReleaseCreators();
  host.callShared<void>("Coilwork", "ClearError()");
  if (host.liveObjects() != gBaseObjects || host.liveStrings() != gBaseStrings) {
    fprintf(gOut, "fuzz: leaked host references: objects %zu -> %zu, strings %zu -> %zu\n",
            gBaseObjects, host.liveObjects(), gBaseStrings, host.liveStrings());
    for (const char* cls : kClasses)
      if (size_t n = host.liveObjects(cls)) fprintf(gOut, "  %zu live %s\n", n, cls);
    for (const char* cls : {"MemoryBlock", "FolderItem", "ObjectArray"})
      if (size_t n = host.liveObjects(cls)) fprintf(gOut, "  %zu live %s\n", n, cls);
    abort();
  }
  return 0;
}
