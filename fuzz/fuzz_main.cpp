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
//
// This file sets the run up and checks each program's end; members.cpp
// knows the members, program.cpp reads a program and makes its calls,
// host_functions.cpp holds what host-made modules offer, threads.cpp the
// threads that call them.
#include <sanitizer/common_interface_defs.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "fuzz.h"

namespace coilfuzz {

Host& host = Host::get();

std::string gLibrary;
std::string gDir;
bool gRegistered;
bool gTrace;
FILE* gOut = stderr;
bool gCaptured;
std::set<std::string>* gReached;
int gModuleCounter;

namespace {
size_t gBaseObjects, gBaseStrings;
std::string gReachedFile;
}  // namespace

bool Running() {
  Str s = host.newString("sys");
  Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
  host.unlockString(s);
  host.callShared<void>("Coilwork", "ClearError()");
  if (m) host.unlock(m);
  return m != nullptr;
}

namespace {

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
  gLibrary = coildrive::LoadPlugin("COILWORK_FUZZ_PYTHON", "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0");
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
  gDir = coildrive::MakeFolder("coilfuzz");
  atexit([] { std::filesystem::remove_all(gDir); });
  // ListenForDebugger goes as far as debugpy's import and stops there: a
  // real server would start an adapter process that outlives each program,
  // and a listening debugpy traces every later call of the process. A
  // debugpy of the fuzzer's own, first on every interpreter's path, refuses
  // to load, so the member answers its ImportError.
  std::filesystem::create_directories(gDir + "/shadow/debugpy");
  std::ofstream(gDir + "/shadow/debugpy/__init__.py") << "raise ImportError('the fuzzer starts no debugger')\n";
  const char* pythonPath = getenv("PYTHONPATH");
  std::string shadow = gDir + "/shadow";
  if (pythonPath && *pythonPath) shadow += std::string(":") + pythonPath;
  setenv("PYTHONPATH", shadow.c_str(), 1);
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

}  // namespace

void AddModuleFolder() { coildrive::AddSearchPath(gDir); }

namespace {

// Starts an interpreter when none runs, and gives each new one the folder
// of the program's modules.
void EnsureStarted() {
  static bool first = true;
  if (!first && Running()) return;
  first = false;
  host.callShared<void>("Coilwork", "Init()");
  AddModuleFolder();
}

}  // namespace
}  // namespace coilfuzz

using namespace coilfuzz;

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
  RunProgram(data, size);
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
  coildrive::ReleaseCreators();
  host.callShared<void>("Coilwork", "ClearError()");
  if (host.liveObjects() != gBaseObjects || host.liveStrings() != gBaseStrings) {
    fprintf(gOut, "fuzz: leaked host references: objects %zu -> %zu, strings %zu -> %zu\n",
            gBaseObjects, host.liveObjects(), gBaseStrings, host.liveStrings());
    for (size_t i = 0; i < kClassCount; i++)
      if (size_t n = host.liveObjects(kClasses[i])) fprintf(gOut, "  %zu live %s\n", n, kClasses[i]);
    for (const char* cls : {"MemoryBlock", "FolderItem", "ObjectArray"})
      if (size_t n = host.liveObjects(cls)) fprintf(gOut, "  %zu live %s\n", n, cls);
    abort();
  }
  return 0;
}