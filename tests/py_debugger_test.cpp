// Debugging and measuring: coverage.py's line coverage of code that only a
// host thread runs; debugpy's server started by ListenForDebugger, and a
// Debug Adapter Protocol client of the tests' own, in a process of its own,
// that attaches with the README's launch.json configuration and sees its
// breakpoint hit on the home thread, on a second host thread and on a Python
// thread.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "code_helpers.h"

extern char** environ;

namespace coiltest {
namespace {

const char kListen[] = "ListenForDebugger(port as Integer) as Integer";
const char kWait[] = "WaitForDebugger(milliseconds as Integer) as Boolean";
const char kClientPython[] = "/usr/bin/python3";

class ToolsTest : public CodeTest {
 protected:
  void TearDown() override {
    AllowThreads(false);
    CodeTest::TearDown();
  }
  void AllowThreads(bool allow) {
    host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(allow));
  }
  // The pending error's type name, cleared ("" when none).
  std::string TakeErrorType() {
    SRef type(host.callShared<Str>("Coilwork", "GetErrorType() as String"));
    ClearError();
    return type.bytes();
  }
  bool Imports(const std::string& module) {
    if (host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", S("import " + module).get()))
      return true;
    ClearError();
    return false;
  }
  // f(n), or f() without n, of a module: its Int32 answer, -1000 when it raised.
  int32_t Call(Obj m, const std::string& name, int32_t n = -1) {
    Ref f(GetFunction(m, name));
    Ref p(n < 0 ? nullptr
                : host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
    if (p.get()) host.assign(p, "Int32Value(index as Integer) as Int32", int32_t(0), n);
    Ref r(f.get() ? Invoke(f, p) : nullptr);
    return r.get() ? ResultInt(r) : -1000;
  }
};

using CoverageTest = ToolsTest;

TEST_F(CoverageTest, LinesOnlyAHostThreadRunsAreMeasured) {
  if (!Imports("coverage")) GTEST_SKIP() << "coverage.py cannot be imported by this Python";
  std::string example = ReadmePython("measure.py");
  ASSERT_FALSE(example.empty()) << "the README's measure.py example is gone";
  Ref measure(Import("measure", example));
  ASSERT_NE(measure.get(), nullptr) << GetError();
  Ref worker(Import("coilcov_worker",
                    "def only_host(n):\n"
                    "    total = 0\n"
                    "    for i in range(n):\n"
                    "        total += i\n"
                    "    return total\n"));
  ASSERT_NE(worker.get(), nullptr);
  AllowThreads(true);
  // A host thread that called before coverage started, and one that never
  // called before: both are measured from their next call.
  HostWorker early, late;
  early.Run([&] { EXPECT_EQ(Call(worker, "only_host", 0), 0); }).wait();

  Ref start(GetFunction(measure, "start"));
  Ref started(Invoke(start, nullptr));
  ASSERT_NE(started.get(), nullptr) << GetError();
  int32_t sums[2] = {0, 0};
  early.Run([&] { sums[0] = Call(worker, "only_host", 4); }).wait();
  late.Run([&] { sums[1] = Call(worker, "only_host", 5); }).wait();
  EXPECT_EQ(sums[0], 6);
  EXPECT_EQ(sums[1], 10);

  Ref lines(GetFunction(measure, "lines"));
  Ref p(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  SRef path(host.newString(ModuleDir() + "/coilcov_worker.py"));
  host.assign(p, "StringValue(index as Integer) as String", int32_t(0), path.get());
  Ref measured(Invoke(lines, p));
  ASSERT_NE(measured.get(), nullptr) << GetError();
  SRef text(host.call<Str>(measured, "ToStr() as String"));
  EXPECT_EQ(text.bytes(), "[2, 3, 4, 5]") << "the host threads' lines were not measured";
}

// The client: tests/support/dap_client.py run by Debian's Python, its
// standard output read line by line.
class Client {
 public:
  bool Start(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe(in) != 0) return false;
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    return rc == 0;
  }
  // The fields of the next line it printed, or none when no line came within
  // the time.
  std::vector<std::string> Line(int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now()).count());
      pollfd p{output_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0) return {};
      char chunk[4096];
      ssize_t n = read(output_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, size_t(n));
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) return fields;
      start = tab + 1;
    }
  }
  // Closing its input makes it detach and end; it is killed after 10 s.
  void Finish() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    for (int i = 0; pid_ > 0 && i < 1000; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = 0;
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
    output_ = -1;
  }
  ~Client() { Finish(); }

 private:
  pid_t pid_ = 0;
  int input_ = -1, output_ = -1;
  std::string buffer_;
};

// Executables of the running debugpy adapters (none: empty).
std::vector<std::string> AdapterExecutables() {
  std::vector<std::string> found;
  DIR* proc = opendir("/proc");
  while (dirent* e = proc ? readdir(proc) : nullptr) {
    std::string dir = std::string("/proc/") + e->d_name;
    std::ifstream cmd(dir + "/cmdline");
    std::string line((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    if (line.find("debugpy/adapter") == std::string::npos || line.find("--for-server") == std::string::npos)
      continue;
    char exe[4096];
    ssize_t n = readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
    if (n > 0) found.push_back(std::string(exe, size_t(n)));
  }
  if (proc) closedir(proc);
  return found;
}

std::atomic<bool> gWaiting{false};
std::atomic<int> gOutputWhileWaiting{0};
void CountWhileWaiting(Obj, Str) { gOutputWhileWaiting += gWaiting ? 1 : 0; }

class DebuggerTest : public ToolsTest {
 protected:
  // debugpy stays in an interpreter once it listens: later suites get a new one.
  static void TearDownTestSuite() { Host::get().callShared<void>("Coilwork", "Finalize()"); }

  int32_t Listen(int32_t port) { return host.callShared<int32_t>("Coilwork", kListen, port); }
  bool Wait(int32_t ms) { return host.callShared<int8_t>("Coilwork", kWait, ms) != 0; }
};

TEST_F(DebuggerTest, NeutralAnswersAndErrorsThatSayWhatToDo) {
  // No debugpy to import: 0, and the error names what to install.
  ASSERT_TRUE(host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean",
                                      S("import sys\nsys.modules['debugpy'] = None").get()));
  EXPECT_EQ(Listen(0), 0);
  std::string message = GetError();
  EXPECT_NE(message.find("python3-debugpy"), std::string::npos) << message;
  EXPECT_NE(message.find("pip install debugpy"), std::string::npos) << message;
  ASSERT_TRUE(host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean",
                                      S("del sys.modules['debugpy']").get()));

  // Ports that cannot be.
  EXPECT_EQ(Listen(-1), 0);
  EXPECT_EQ(TakeErrorType(), "ValueError");
  EXPECT_EQ(Listen(65536), 0);
  EXPECT_EQ(TakeErrorType(), "ValueError");

  // Not listening: no client can come, so no wait, whatever the time.
  auto begun = std::chrono::steady_clock::now();
  EXPECT_FALSE(Wait(5000));
  EXPECT_FALSE(Wait(-1));
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
  EXPECT_FALSE(ErrorOccurred());

  // No interpreter.
  host.callShared<void>("Coilwork", "Finalize()");
  EXPECT_EQ(Listen(0), 0);
  EXPECT_FALSE(Wait(100));
  EnsureInterpreter();
  ExpectCountsAtStart();
}

TEST_F(DebuggerTest, BreakpointIsHitOnEveryKindOfThread) {
  if (getenv("COILWORK_NO_CHILDREN"))
    GTEST_SKIP() << "debugpy's adapter runs in a python3." << PythonMinor()
                 << " of the emulated architecture, which this machine starts only through "
                    "binfmt_misc handlers (COILWORK_NO_CHILDREN is set)";
  if (!Imports("debugpy")) GTEST_SKIP() << "debugpy cannot be imported by this Python";
  if (access(kClientPython, X_OK) != 0) GTEST_SKIP() << kClientPython << " is not installed";
  Ref target(Import("coildbg_target",
                    "def work(n):\n"
                    "    doubled = n * 2\n"
                    "    return doubled\n"));
  ASSERT_NE(target.get(), nullptr);
  // A host thread that has called before the debugger listens.
  AllowThreads(true);
  HostWorker second;
  int32_t answer = 0;
  second.Run([&] { answer = Call(target, "work", 1); }).wait();
  ASSERT_EQ(answer, 2);

  int32_t port = Listen(0);
  ASSERT_GT(port, 0) << GetError();
  EXPECT_EQ(Listen(0), port);
  EXPECT_EQ(Listen(port == 5678 ? 5679 : 5678), port);
  // The adapter runs in a Python of the library's version, not in this program.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::vector<std::string> adapters = AdapterExecutables();
  EXPECT_FALSE(adapters.empty());
  for (const std::string& exe : adapters) {
    EXPECT_EQ(exe.find("/python3." + std::to_string(PythonMinor())), exe.rfind('/')) << exe;
    EXPECT_NE(exe, std::string(self, size_t(n > 0 ? n : 0)));
  }
  EXPECT_FALSE(Wait(0));

  char workspace[] = "/tmp/coilwork-workspace-XXXXXX";
  ASSERT_NE(mkdtemp(workspace), nullptr);
  std::string here = __FILE__;
  here = here.substr(0, here.rfind('/'));
  Client client;
  ASSERT_TRUE(client.Start({kClientPython, here + "/support/dap_client.py", std::to_string(port),
                            here + "/../README.md", ModuleDir(), "coildbg_target.py", "3",
                            "doubled", workspace}));
  std::vector<std::string> local = client.Line(10000);
  ASSERT_EQ(local.size(), 2u) << "the client did not start";

  // While it attaches, a Python thread's output reaches the home thread.
  Ref receiver(host.newInstance("CoilworkConsoleOutput"));
  host.setEventHandler(receiver, "ConsoleOutput(output as String)",
                       reinterpret_cast<void*>(&CountWhileWaiting));
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", receiver.get());
  ASSERT_NE(Ref(Exec("import sys, threading, time\n"
                     "threading.Thread(target=lambda: (time.sleep(0.1), sys.stdout.write('w'))).start()\n"))
                .get(),
            nullptr);
  gWaiting = true;
  bool attached = Wait(30000);
  gWaiting = false;
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  ASSERT_TRUE(attached) << "no client attached";
  EXPECT_EQ(client.Line(5000), (std::vector<std::string>{"breakpoint", "True"}));
  EXPECT_EQ(gOutputWhileWaiting.load(), 1) << "output waited for the end of WaitForDebugger";
  EXPECT_TRUE(Wait(0));

  // Each stop: thread, the local file the client mapped, line, the local's value.
  auto ExpectStop = [&](const std::string& thread, const std::string& value) {
    std::vector<std::string> stop = client.Line(10000);
    ASSERT_EQ(stop.size(), 5u) << "no stop on " << thread;
    EXPECT_EQ(stop[1].rfind(thread, 0), 0u) << stop[1];
    EXPECT_EQ(stop[2], local[1]);
    EXPECT_EQ(stop[3], "3");
    EXPECT_EQ(stop[4], value);
  };
  EXPECT_EQ(Call(target, "work", 21), 42);
  ExpectStop("MainThread", "42");

  answer = 0;
  auto done = second.Run([&] { answer = Call(target, "work", 50); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(answer, 100);
  ExpectStop("host-thread-", "100");

  Ref threaded(Exec("import threading\n"
                    "import coildbg_target\n"
                    "got = []\n"
                    "t = threading.Thread(target=lambda: got.append(coildbg_target.work(7)), name='worker')\n"
                    "t.start()\n"
                    "def alive():\n"
                    "    return int(t.is_alive())\n"
                    "def result():\n"
                    "    return got[0] if got else -1\n"));
  ASSERT_NE(threaded.get(), nullptr);
  for (int i = 0; i < 2000 && Call(threaded, "alive") == 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Call(threaded, "result"), 14);
  ExpectStop("worker", "14");

  // The client detaches; an endless wait for the next is stopped by the
  // time limit, and traced code runs on afterwards.
  client.Finish();
  for (int i = 0; i < 500 && Wait(0); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(Wait(0)) << "still attached after the client left";
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", int32_t(300));
  EXPECT_FALSE(Wait(-1));
  host.callShared<void>("Coilwork", "SetTimeLimit(milliseconds as Integer)", int32_t(0));
  EXPECT_EQ(TakeErrorType(), "KeyboardInterrupt");
  EXPECT_EQ(Call(target, "work", 4), 8);
  std::string cleanup = std::string("rm -rf '") + workspace + "'";
  EXPECT_EQ(system(cleanup.c_str()), 0);
}

}  // namespace
}  // namespace coiltest
