// Host functions and initialisers that programs publish to Python in
// host-made modules, written as a host program writes them, and the thread
// call timeout and time limit the programs set around them.
#include <stdint.h>

#include "fuzz.h"

namespace coilfuzz {
namespace {

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
  Obj p = coildrive::Arguments(args);
  int32_t n = host.prop<int32_t>(p, "Count");
  Str first = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(0));
  host.unlockString(first);
  host.unlock(p);
  Obj r = host.create("Python3Result", "Constructor(value as Int32)", n);
  return coildrive::Answer(r);
}

// Answers its first argument as text.
void* HostEcho(void* module, void* args) {
  Obj p = coildrive::Arguments(args);
  Str text = host.call<Str>(p, "StringValue(index as Integer) as String", int32_t(0));
  host.unlock(p);
  Obj r = host.create("Python3Result", "Constructor(value as String)", text);
  host.unlockString(text);
  return coildrive::Answer(r);
}

void* HostRefuse(void*, void*) {
  SetError("refused by the host");
  return nullptr;
}

void* HostSilent(void*, void*) { return nullptr; }  // no answer, no error

}  // namespace

int32_t gThreadTimeout;
bool gAllCallsTimed = true;
bool ShortTimeout(int32_t ms) { return ms > 0 && ms <= kShortTimeout; }

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

namespace {

// Answers its first argument, after doing what that number asks of the
// plugin: a host function that calls back into the plugin on the home
// thread, for Python code there or for a Python thread (whose calls pass
// "thr" second).
void* HostAct(void*, void* args) {
  Obj p = coildrive::Arguments(args);
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
  return coildrive::Answer(r);
}

int32_t InitAccept(void*, void* args, void*) {
  Obj p = coildrive::Arguments(args);
  host.unlock(p);
  return 0;
}

int32_t InitRefuse(void*, void*, void*) {
  SetError("no instance");
  return -1;
}

}  // namespace

void* const kFunctions[] = {nullptr, reinterpret_cast<void*>(&HostCount),
                            reinterpret_cast<void*>(&HostEcho), reinterpret_cast<void*>(&HostRefuse),
                            reinterpret_cast<void*>(&HostSilent), reinterpret_cast<void*>(&HostAct)};
const size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
void* const kInits[] = {nullptr, reinterpret_cast<void*>(&InitAccept),
                        reinterpret_cast<void*>(&InitRefuse)};

}  // namespace coilfuzz
