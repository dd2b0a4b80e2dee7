// What the files of the call-sequence fuzzer share: the members it knows,
// the host functions and initialisers it publishes to Python, the threads
// that call them, and the state one program leaves for the next.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drivers/driver.h"

#if !defined(__x86_64__)
#error "the call-sequence fuzzer lays out arguments for x86_64"
#endif

namespace coilfuzz {

using emuhost::Declaration;
using emuhost::Host;
using emuhost::Obj;
using emuhost::Str;
using emuhost::VType;

extern Host& host;

// --- members.cpp: every registered member of every plugin class.
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

extern const char* const kClasses[];
extern const size_t kClassCount;
extern std::vector<Member> gMembers;
extern std::vector<Member> gShared;
void CollectMembers();
std::string MemberName(const Member& m);

// The run's state (fuzz_main.cpp).
extern std::string gLibrary;  // the Python library the plugin is told to use
extern std::string gDir;      // the program's modules, on every interpreter's sys.path
extern bool gRegistered;      // a module was registered: only Finalize releases it
extern bool gTrace;           // COILWORK_FUZZ_TRACE: print each call
// Where the fuzzer's own messages and the sanitizers' reports go: the
// process's standard error as it was at the start, which stays readable
// while CaptureProcessOutput has descriptor 2 read by the plugin.
extern FILE* gOut;
extern bool gCaptured;                   // the program called CaptureProcessOutput
extern std::set<std::string>* gReached;  // COILWORK_FUZZ_REACHED: the members called
extern int gModuleCounter;
// An interpreter runs (its sys module can be had).
bool Running();
void AddModuleFolder();

// --- host_functions.cpp: what host-made modules offer Python.
extern void* const kFunctions[];
extern const size_t kFunctionCount;
extern void* const kInits[];
// Creator slots the programs bind modules to (of the drivers' slots).
constexpr int kCreators = 4;
// The thread call timeout last set, as the plugin takes it (0: for ever).
// Programs only rely on a timeout to end a wait that nothing else ends (a
// plain join) when it is short: 1 to kShortTimeout ms.
constexpr int32_t kShortTimeout = 50;
extern int32_t gThreadTimeout;
// Every Python thread of the program that is alive in this interpreter
// makes its calls under a short timeout, now and later: a plain join of them
// ends even if nothing serves their calls.
extern bool gAllCallsTimed;
bool ShortTimeout(int32_t ms);
// The time limit of calls from host code last set (0: none).
extern int32_t gTimeLimit;
void SetTimeLimit(int32_t ms);
void SetThreadCallTimeout(int32_t ms);

// --- threads.cpp: Python's threads and native threads calling host code.
// The helper module the threads run (fuzzthreads.py in the program's folder).
extern const char kThreadHelper[];
// Threads of native code, each calling into Python once through PyGILState.
struct NativeThread {
  std::thread thread;
  std::atomic<bool> done{false};
};
extern std::vector<std::unique_ptr<NativeThread>> gNative;
constexpr size_t kNativeAtOnce = 2;
// A host thread that calls Interrupt while the home thread runs Python code.
extern std::thread gInterrupter;
// Python threads a program starts, at most.
constexpr int kThreadsPerProgram = 8;
// Some thread of the program may still be calling.
extern bool gThreadsMayRun;
// Daemon threads started in this interpreter and not yet seen to end.
extern int gDaemonsLive;
void Reach(const char* decl);
void DeliverOutput();
Obj CallHelper(const char* function, const std::string* text = nullptr);
// The program's Activate and Deactivate calls on a Python3Interpreter. The
// helper module lives in the main interpreter, so every activation the
// program left ends before each helper call (as a host program that runs its
// own bookkeeping in the main interpreter does), and at the program's end.
void NoteActivation(Obj interpreter, bool activate);
void EndActivations();
void JoinInterrupter();
void JoinEndedNative();
void ServeUntilEnded();
void BeforeFinalize();
void AfterFinalize();
void Finalize();

// The Python library's own function of that name; null until the plugin has
// loaded the library.
template <class F>
F PythonEntry(const char* name) {
  return coildrive::PythonEntry<F>(gLibrary, name);
}

// --- program.cpp: one program of host calls read from the input.
void RunProgram(const uint8_t* data, size_t size);

}  // namespace coilfuzz
