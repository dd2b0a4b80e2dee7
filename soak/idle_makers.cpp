// The soak's idle stretch: worker threads make, use and close interpreters
// while the home thread only idles as a real host's event loop does
// (DeliverOutput, ErrorOccurred and a 2 ms sleep), never waiting in a way
// that gives the interpreter lock away.
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "soak.h"

namespace coilsoak {

namespace {

std::string Bytes(Str s) {
  std::string text = host.bytes(s);
  if (s) host.unlockString(s);
  return text;
}

// One interpreter's life on a worker: made, activated, a script and an
// expression checked in it, deactivated and closed. False with why when
// anything answered otherwise than a stop.
bool OneInterpreter(std::mt19937_64& rng, const IdleStretch& s, std::string* why) {
  Obj in = host.create("Python3Interpreter", "Constructor(ownLock as Boolean)", int8_t(1));
  if (!in || !host.prop<int8_t>(in, "IsOpen")) {
    *why = "a new interpreter is not open: " + Bytes(host.callShared<Str>("Coilwork", "GetError() as String"));
    if (in) host.unlock(in);
    return false;
  }
  s.made->fetch_add(1);
  if (host.prop<int8_t>(in, "HasOwnLock")) s.ownLockMade->fetch_add(1);
  host.call<void>(in, "Activate()");
  const long a = long(rng() % 100000);
  Str code = host.newString("import json, re\nv = sum(range(" + std::to_string(a) + "))");
  const bool ran = host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", code) != 0;
  host.unlockString(code);
  bool right = true;
  if (ran) {
    Str e = host.newString("v == " + std::to_string(a * (a - 1) / 2));
    Obj r = host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result", e);
    host.unlockString(e);
    if (r) {
      right = host.call<int8_t>(r, "BooleanValue() as Boolean") != 0;
      if (!right) *why = "sum(range(" + std::to_string(a) + ")) came out wrong in a new interpreter";
      host.unlock(r);
    } else {
      right = s.stopped("Eval in a worker's new interpreter");
      if (!right) *why = "Eval in a worker's new interpreter failed";
    }
  } else {
    right = s.stopped("Exec in a worker's new interpreter");
    if (!right) *why = "Exec in a worker's new interpreter failed";
  }
  host.call<void>(in, "Deactivate()");
  if (!host.call<int8_t>(in, "Close() as Boolean")) {
    *why = "a worker's interpreter did not close: " +
           Bytes(host.callShared<Str>("Coilwork", "GetError() as String"));
    right = false;
  }
  host.unlock(in);
  return right;
}

}  // namespace

void IdleWhileWorkersMakeInterpreters(const IdleStretch& s) {
  std::atomic<bool> stop{false};
  std::atomic<int> running{s.workers};
  std::vector<std::thread> workers;
  for (int k = 0; k < s.workers; ++k) {
    workers.emplace_back([&s, &stop, &running, k] {
      std::mt19937_64 rng(s.seed * 977 + uint64_t(k));
      while (!stop.load()) {
        std::string why;
        if (!OneInterpreter(rng, s, &why)) s.wrong(why);
      }
      running.fetch_sub(1);
    });
  }
  // The workers' last rounds need the lock as much as their first: the home
  // thread idles until every one has ended. A worker that never ends is the
  // watchdog's, which sees no interpreter made for its bound.
  const int64_t end = s.now() + s.ms;
  long seen = s.made->load();
  while (running.load() > 0) {
    if (s.now() >= end) stop.store(true);
    host.callShared<void>("Coilwork", "DeliverOutput()");
    host.callShared<int8_t>("Coilwork", "ErrorOccurred() as Boolean");
    usleep(2000);
    if (s.made->load() != seen) {
      seen = s.made->load();
      s.progressed();
    }
  }
  for (std::thread& w : workers) w.join();
}

}  // namespace coilsoak
