// Shared by the suites of the code handles and the extension modules: typed
// shorthands for the handle methods and a look at Python's pending error.
#pragma once

#include <dlfcn.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/python_fixture.h"

namespace coiltest {

// The README's Python example that begins with the line "# Python: NAME",
// as it stands there, so that the tests run it and it cannot rot; "" when
// the README has none.
inline std::string ReadmePython(const std::string& name) {
  std::string here = __FILE__;
  std::ifstream file(here.substr(0, here.rfind('/')) + "/../README.md");
  std::stringstream text;
  text << file.rdbuf();
  std::string readme = text.str(), header = "# Python: " + name + "\n";
  size_t start = readme.find(header);
  if (start == std::string::npos) return "";
  start += header.size();
  size_t end = readme.find("```", start);
  return end == std::string::npos ? "" : readme.substr(start, end - start);
}

// A host thread that lives across several calls and runs what it is given,
// one job at a time, each as a call of its own.
class HostWorker {
 public:
  HostWorker() : thread_([this] { Loop(); }) {}
  ~HostWorker() {
    Run(nullptr);
    thread_.join();
  }
  // Runs job on the worker; the future is ready when it has run.
  std::future<void> Run(std::function<void()> job) {
    std::packaged_task<void()> task(job ? job : [] {});
    std::future<void> done = task.get_future();
    std::lock_guard<std::mutex> guard(lock_);
    jobs_.push_back({std::move(task), !job});
    wake_.notify_one();
    return done;
  }

 private:
  struct Job {
    std::packaged_task<void()> task;
    bool last;
  };
  void Loop() {
    for (;;) {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait(guard, [this] { return !jobs_.empty(); });
      Job job = std::move(jobs_.front());
      jobs_.erase(jobs_.begin());
      guard.unlock();
      job.task();
      if (job.last) return;
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<Job> jobs_;
  std::thread thread_;
};

class CodeTest : public PythonTest {
 protected:
  // --- Field accessors (the same declarations on modules and instances).
  int32_t Int32(Obj h, const std::string& n) {
    return host.call<int32_t>(h, "Int32Field(name as String) as Int32", S(n).get());
  }
  int64_t Int64(Obj h, const std::string& n) {
    return host.call<int64_t>(h, "Int64Field(name as String) as Int64", S(n).get());
  }
  uint64_t UInt64(Obj h, const std::string& n) {
    return host.call<uint64_t>(h, "UInt64Field(name as String) as UInt64", S(n).get());
  }
  double Double(Obj h, const std::string& n) {
    return host.call<double>(h, "DoubleField(name as String) as Double", S(n).get());
  }
  int8_t Boolean(Obj h, const std::string& n) {
    return host.call<int8_t>(h, "BooleanField(name as String) as Boolean", S(n).get());
  }
  // The field's text; "<nil>" for a nil string.
  std::string String(Obj h, const std::string& n) {
    SRef s(host.call<Str>(h, "StringField(name as String) as String", S(n).get()));
    return s.get() ? s.bytes() : "<nil>";
  }
  Obj Object(Obj h, const std::string& n) {
    return host.call<Obj>(h, "ObjectField(name as String) as Object", S(n).get());
  }
  bool Has(Obj h, const std::string& n) {
    return host.call<int8_t>(h, "HasAttribute(name as String) as Boolean", S(n).get()) != 0;
  }
  int32_t Delete(Obj h, const std::string& n) {
    return host.call<int32_t>(h, "DeleteAttribute(name as String) as Integer", S(n).get());
  }
  void SetInt32(Obj h, const std::string& n, int32_t v) {
    host.assign(h, "Int32Field(name as String) as Int32", S(n).get(), v);
  }

  // --- Handles.
  Obj GetFunction(Obj h, const std::string& n) {
    return host.call<Obj>(h, "GetFunction(name as String) as Python3Function", S(n).get());
  }
  Obj GetClass(Obj m, const std::string& n) {
    return host.call<Obj>(m, "GetClass(name as String) as Python3Class", S(n).get());
  }
  Obj CreateInstance(Obj c) { return host.call<Obj>(c, "CreateInstance() as Python3Instance"); }
  Obj Invoke(Obj f, Obj params) {
    return host.call<Obj>(f, "Invoke(parameters as Python3Parameters) as Python3Result", params);
  }
  std::string Name(Obj h) {
    SRef s(host.prop<Str>(h, "Name"));
    return s.bytes();
  }
  std::string ResultText(Obj r) {
    SRef s(host.call<Str>(r, "StringValue() as String"));
    return s.get() ? s.bytes() : "<nil>";
  }
  int32_t ResultInt(Obj r) { return host.call<int32_t>(r, "Int32Value() as Int32"); }

  // Runs Python statements in a fresh scratch module (a Python3Module, or
  // nil when they raise: the test fails with Python's message).
  Obj Exec(const std::string& code) {
    Obj m = Run(code);
    if (!m) ADD_FAILURE() << "Python raised: " << GetError() << "\n" << code;
    return m;
  }

  void ExpectCountsAtStart() {
    EXPECT_EQ(host.liveObjects(), startObjects) << "host objects leaked";
    EXPECT_EQ(host.liveStrings(), startStrings) << "host strings leaked";
  }
};

}  // namespace coiltest
