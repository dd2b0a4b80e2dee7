// Threads: Python threads run while host code works or idles, what they
// print reaches the host on the home thread, host code they call runs there
// too, and host threads may call in (at once, with AllowThreads(True)).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "code_helpers.h"

namespace coiltest {
namespace {

const char kSetConsole[] = "SetConsoleOutput(output as CoilworkConsoleOutput)";
const char kEvent[] = "ConsoleOutput(output as String)";

std::mutex gEventLock;
std::vector<std::string> gEvents;
std::vector<std::thread::id> gEventThreads;

void Collect(Obj, Str text) {
  std::lock_guard<std::mutex> guard(gEventLock);
  gEvents.push_back(Host::get().bytes(text));
  gEventThreads.push_back(std::this_thread::get_id());
}

std::vector<std::string> Events() {
  std::lock_guard<std::mutex> guard(gEventLock);
  return gEvents;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Obj gThreadModule;
void* CreateThreadModule() {
  return Host::get().call<void*>(gThreadModule, "ModuleCreateProc() as Ptr");
}

class ThreadsTest : public CodeTest {
 protected:
  void SetUp() override {
    CodeTest::SetUp();
    std::lock_guard<std::mutex> guard(gEventLock);
    gEvents.clear();
    gEventThreads.clear();
  }
  void TearDown() override {
    AllowThreads(false);
    SetConsole(nullptr);
    CodeTest::TearDown();
  }

  void KeepLock(bool keep) {
    host.callShared<void>("Coilwork", "KeepLock(keep as Boolean)", int8_t(keep));
  }
  void AllowThreads(bool allow) {
    host.callShared<void>("Coilwork", "AllowThreads(allow as Boolean)", int8_t(allow));
  }
  void DeliverOutput() { host.callShared<void>("Coilwork", "DeliverOutput()"); }
  void SetConsole(Obj receiver) { host.callShared<void>("Coilwork", kSetConsole, receiver); }
  Obj Receiver() {
    Obj receiver = host.newInstance("CoilworkConsoleOutput");
    host.setEventHandler(receiver, kEvent, reinterpret_cast<void*>(&Collect));
    SetConsole(receiver);
    return receiver;
  }
  // Calls a function of the module without arguments; its Int32 answer.
  int32_t CallInt(Obj m, const std::string& name) {
    Ref f(GetFunction(m, name));
    if (!f.get()) return -1000;
    Ref r(Invoke(f, nullptr));
    return r.get() ? ResultInt(r) : -1000;
  }
  // One call pair as host code makes it: add(a, b) through Parameters.
  int32_t Add(Obj add, int32_t a, int32_t b) {
    Ref p(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
    host.assign(p, "Int32Value(index as Integer) as Int32", int32_t(0), a);
    host.assign(p, "Int32Value(index as Integer) as Int32", int32_t(1), b);
    Ref r(Invoke(add, p));
    return r.get() ? ResultInt(r) : -1000;
  }
  // A thread of a native library, here the test's own, entering Python
  // through PyGILState to run the code; done is set once it has left.
  std::thread RunNative(std::string code, std::atomic<bool>* done = nullptr) {
    auto ensure = reinterpret_cast<int (*)()>(PySym("PyGILState_Ensure"));
    auto release = reinterpret_cast<void (*)(int)>(PySym("PyGILState_Release"));
    auto run = reinterpret_cast<int (*)(const char*)>(PySym("PyRun_SimpleString"));
    EXPECT_TRUE(ensure && release && run);
    return std::thread([=] {
      int state = ensure();
      run(code.c_str());
      release(state);
      if (done) *done = true;
    });
  }
  bool HostThreadOnly() {
    std::lock_guard<std::mutex> guard(gEventLock);
    for (std::thread::id id : gEventThreads)
      if (id != std::this_thread::get_id()) return false;
    return true;
  }
};

TEST_F(ThreadsTest, PythonThreadOutputArrivesOnTheHostThreadInOrder) {
  Ref receiver(Receiver());
  // Joined inside the call: the thread's writes are queued and raised as the
  // call returns, after nothing and before the host thread's own.
  Ref m(Exec("import sys, threading, time\n"
             "def work():\n"
             "    for i in range(5):\n"
             "        sys.stdout.write('t%d' % i)\n"
             "t = threading.Thread(target=work)\n"
             "t.start()\n"
             "t.join()\n"
             "def later():\n"
             "    global t2\n"
             "    t2 = threading.Thread(target=lambda: (time.sleep(0.05), sys.stdout.write('bg')))\n"
             "    t2.start()\n"
             "    return 0\n"
             "def own():\n"
             "    t2.join()\n"
             "    sys.stdout.write('fg')\n"
             "    return 0\n"));
  ASSERT_NE(m.get(), nullptr);
  EXPECT_EQ(Events(), (std::vector<std::string>{"t0", "t1", "t2", "t3", "t4"}));

  // Written while the host idles: nothing arrives until a host thread asks.
  EXPECT_EQ(CallInt(m, "later"), 0);
  Pause(150);
  EXPECT_EQ(Events().size(), 5u) << "delivered on the Python thread";
  EXPECT_EQ(host.refCount(receiver), 3) << "the queued text holds its receiver";
  DeliverOutput();
  EXPECT_EQ(Events().back(), "bg");
  EXPECT_EQ(host.refCount(receiver), 2);
  DeliverOutput();  // nothing twice
  EXPECT_EQ(Events().size(), 6u);

  // The writer has ended by the time the host calls again: the call's
  // return still delivers what it left.
  EXPECT_EQ(CallInt(m, "later"), 0);
  Pause(150);
  EXPECT_TRUE(Has(m, "own"));
  ASSERT_EQ(Events().size(), 7u) << "left queued by an ordinary call";
  EXPECT_EQ(Events().back(), "bg");

  // Queued text goes before what the host thread itself writes.
  Ref again(Exec("import sys, threading\n"
                 "t = threading.Thread(target=lambda: sys.stdout.write('q'))\n"
                 "t.start(); t.join()\n"
                 "sys.stdout.write('h')\n"));
  std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 9u);
  EXPECT_EQ(events[7], "q");
  EXPECT_EQ(events[8], "h");
  EXPECT_TRUE(HostThreadOnly());
}

TEST_F(ThreadsTest, BackgroundThreadAdvancesWhileTheHostSleeps) {
  Ref m(Exec("import threading, time\n"
             "n = 0\n"
             "stop = threading.Event()\n"
             "def tick():\n"
             "    global n\n"
             "    while not stop.is_set():\n"
             "        n += 1\n"
             "        time.sleep(0.005)\n"
             "t = threading.Thread(target=tick)\n"
             "t.start()\n"
             "def finish():\n"
             "    stop.set()\n"
             "    t.join()\n"
             "    return 0\n"));
  ASSERT_NE(m.get(), nullptr);
  int32_t before = Int32(m, "n");
  Pause(200);  // no plugin call meanwhile
  int32_t after = Int32(m, "n");
  EXPECT_GE(after - before, 5) << "the thread stalled while the host slept";

  // KeepLock(True): a burst of calls keeps the lock between them, so the
  // thread waits while the host works or sleeps; it runs again after
  // KeepLock(False). Asking twice changes nothing.
  KeepLock(true);
  KeepLock(true);
  int32_t kept = Int32(m, "n");
  int32_t wrong = 0;
  for (int32_t i = 0; i < 1000; ++i) wrong += Int32(m, "n") != kept;
  Pause(100);
  EXPECT_EQ(wrong, 0) << "the thread ran between calls of the burst";
  EXPECT_EQ(Int32(m, "n"), kept) << "the thread ran while the host kept the lock";
  KeepLock(false);
  Pause(200);
  EXPECT_GE(Int32(m, "n") - kept, 5) << "the thread stalled after KeepLock(False)";
  EXPECT_EQ(CallInt(m, "finish"), 0);
}

TEST_F(ThreadsTest, ServerInAPythonThreadAnswersWhileTheHostIdles) {
  Ref m(Exec("import socket, threading\n"
             "srv = socket.socket()\n"
             "srv.bind(('127.0.0.1', 0))\n"
             "srv.listen(1)\n"
             "port = srv.getsockname()[1]\n"
             "def serve():\n"
             "    c, _ = srv.accept()\n"
             "    c.sendall(b'pong:' + c.recv(16))\n"
             "    c.close()\n"
             "t = threading.Thread(target=serve)\n"
             "t.start()\n"
             "def finish():\n"
             "    t.join(); srv.close()\n"
             "    return 0\n"));
  ASSERT_NE(m.get(), nullptr);
  int32_t port = Int32(m, "port");

  // The client is host code, making no plugin call until it has the answer.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(send(fd, "ping", 4, 0), 4);
  std::string answer;
  char buffer[32];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, size_t(n));
  close(fd);
  EXPECT_EQ(answer, "pong:ping");
  EXPECT_EQ(CallInt(m, "finish"), 0);
}

TEST_F(ThreadsTest, NativeThreadsGetTheInterpreter) {
  Ref receiver(Receiver());
  // A thread of a native library, here the test's own, asking for the
  // interpreter while the host idles: it gets it at the latest when the
  // host's next call has returned.
  Ref main(GetModule("__main__"));
  std::atomic<bool> ran{false};
  std::thread native = RunNative(
      "import sys, __main__\nsys.stdout.write('native')\n__main__.native_done = 1\n", &ran);
  Pause(100);
  Has(main, "native_done");
  for (int i = 0; i < 100 && !ran; ++i) Pause(10);
  EXPECT_TRUE(ran) << "the native thread never got the interpreter";
  if (!ran) Has(main, "native_done");
  native.join();
  EXPECT_EQ(Int32(main, "native_done"), 1);
  EXPECT_EQ(Events(), (std::vector<std::string>{"native"}));

  // The same while the host's only calls read a small int it holds, and
  // then while they let go of holders of ints: neither needs Python code,
  // and both still give the lock back to a thread that asks for it.
  Ref five(host.create("Python3Result", "Constructor(value as Int32)", int32_t(5)));
  std::vector<Ref> ints;
  for (int32_t i = 0; i < 100; ++i)
    ints.emplace_back(host.callShared<Obj>("Python3Entity", "FromInt32(value as Int32) as Python3Entity",
                                           i * 100000));
  ran = false;
  native = RunNative("import __main__\n__main__.native_done = 2\n", &ran);
  int32_t read = 0;
  for (int i = 0; i < 200 && !ran; ++i) {
    read += host.call<int32_t>(five, "Int32Value() as Int32");
    Pause(5);
  }
  EXPECT_TRUE(ran) << "a host reading a held int kept the lock from the native thread";
  if (!ran) Has(main, "native_done");  // a call that gives the lock back, so that join returns
  native.join();
  ran = false;
  native = RunNative("import __main__\n__main__.native_done = 2\n", &ran);
  while (!ints.empty() && !ran) {
    ints.pop_back();
    Pause(5);
  }
  EXPECT_TRUE(ran) << "a host letting go of ints kept the lock from the native thread";
  EXPECT_GT(read, 0);
  if (!ran) Has(main, "native_done");  // a call that gives the lock back, so that join returns
  native.join();
  EXPECT_EQ(Int32(main, "native_done"), 2);

  // The same through ctypes: Python code starts a native thread whose body
  // is a Python callback. 3.12 cannot import ctypes again once an earlier
  // interpreter of the process imported it, so there it is left out.
  if (PythonMinor() == 12) return;
  Ref m(Exec("import sys\n"
             "try:\n"
             "    import ctypes\n"
             "    have = 1\n"
             "except ImportError:\n"
             "    have = 0\n"
             "done = 0\n"
             "if have:\n"
             "    libc = ctypes.CDLL(None)\n"
             "    @ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)\n"
             "    def body(arg):\n"
             "        global done\n"
             "        sys.stdout.write('ctypes')\n"
             "        done = 1\n"
             "        return None\n"
             "    tid = ctypes.c_ulong()\n"
             "    started = libc.pthread_create(ctypes.byref(tid), None, body, None)\n"
             "def finish():\n"
             "    libc.pthread_join(tid, None)\n"
             "    return done\n"));
  ASSERT_NE(m.get(), nullptr);
  if (!Int32(m, "have")) return;  // this Python was built without ctypes
  ASSERT_EQ(Int32(m, "started"), 0);
  Pause(100);
  Int32(m, "done");
  Pause(100);
  EXPECT_EQ(Int32(m, "done"), 1) << "the ctypes thread never got the interpreter";
  EXPECT_EQ(CallInt(m, "finish"), 1);
  EXPECT_EQ(Events(), (std::vector<std::string>{"native", "ctypes"}));
  EXPECT_TRUE(HostThreadOnly());
}

TEST_F(ThreadsTest, SecondHostThreadWaitsForTheLockUnlessThreadsAreAllowed) {
  Ref m(Exec("def add(a, b):\n    return a + b\n"));
  ASSERT_NE(m.get(), nullptr);
  Ref add(GetFunction(m, "add"));

  // Automatic rule: the first thread keeps the lock while it sleeps; the
  // second waits, and gets it when the first's next call returns.
  auto waiting = std::async(std::launch::async, [&] { return Add(add, 1, 2); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  Has(m, "add");  // any call; on its return the lock goes to the waiting thread
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 3);

  // AllowThreads(True): a second host thread runs while the first sleeps.
  AllowThreads(true);
  Has(m, "add");
  auto second = std::async(std::launch::async, [&] { return Add(add, 20, 22); });
  bool ran = second.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(ran) << "the second host thread could not call while the first slept";
  if (!ran) Has(m, "add");  // let it finish
  EXPECT_EQ(second.get(), 42);

  // Two host threads calling at once serialize and lose nothing.
  auto Many = [&](int32_t base) {
    int32_t wrong = 0;
    for (int32_t i = 0; i < 200; ++i) wrong += Add(add, base, i) != base + i;
    return wrong;
  };
  auto a = std::async(std::launch::async, Many, 1000);
  auto b = std::async(std::launch::async, Many, 5000);
  EXPECT_EQ(Many(9000), 0);
  EXPECT_EQ(a.get(), 0);
  EXPECT_EQ(b.get(), 0);

  // KeepLock(True) on this thread: a second host thread waits, even with
  // AllowThreads(True), and gets its turn after KeepLock(False).
  KeepLock(true);
  auto kept = std::async(std::launch::async, [&] { return Add(add, 4, 5); });
  EXPECT_EQ(kept.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "a second host thread called while the first kept the lock";
  EXPECT_EQ(Add(add, 1, 1), 2);
  KeepLock(false);
  ASSERT_EQ(kept.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(kept.get(), 9);

  // A second host thread keeps the lock for a burst and ends without
  // KeepLock(False): the lock is given back, and this thread calls again.
  auto burst = std::async(std::launch::async, [&] {
    KeepLock(true);
    int32_t wrong = 0;
    for (int32_t i = 0; i < 100; ++i) wrong += Add(add, i, 1) != i + 1;
    return wrong;
  });
  EXPECT_EQ(burst.get(), 0);
  auto after = std::async(std::launch::async, [&] { return Add(add, 3, 4); });
  ASSERT_EQ(after.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the lock stayed with a host thread that ended keeping it";
  EXPECT_EQ(after.get(), 7);
  AllowThreads(false);

  // Back under the automatic rule, with every other host thread gone, this
  // thread keeps the lock between calls again: a newcomer waits for its next
  // call.
  Has(m, "add");
  auto later = std::async(std::launch::async, [&] { return Add(add, 2, 3); });
  EXPECT_EQ(later.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "the lock was not kept after AllowThreads(False)";
  Has(m, "add");
  ASSERT_EQ(later.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(later.get(), 5);
  add.reset();
  m.reset();
  ExpectCountsAtStart();
}

// A second host thread's error stays pending for it between its calls, and
// only for it; one it never reads is released once the thread has ended.
TEST_F(ThreadsTest, EachHostThreadKeepsItsOwnError) {
  Ref m(Exec("import gc, weakref\n"
             "refs = []\n"
             "class Lost(Exception):\n"
             "    pass\n"
             "def boom():\n"
             "    e = Lost()\n"
             "    refs.append(weakref.ref(e))\n"
             "    raise e\n"
             "def released():\n"
             "    gc.collect()\n"
             "    return refs[0]() is None\n"));
  ASSERT_NE(m.get(), nullptr);
  Ref boom(GetFunction(m, "boom"));
  AllowThreads(true);
  std::string type, message;
  bool occurred = false;
  std::thread second([&] {
    Ref r(host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result",
                               S("1 / 0").get()));
    occurred = r.get() == nullptr && ErrorOccurred();
    SRef t(host.callShared<Str>("Coilwork", "GetErrorType() as String"));
    type = t.get() ? t.bytes() : "<nil>";
    message = GetError();
  });
  second.join();
  EXPECT_TRUE(occurred);
  EXPECT_EQ(type, "ZeroDivisionError");
  EXPECT_EQ(message, "division by zero");
  EXPECT_FALSE(ErrorOccurred()) << "the first thread saw the second's error";

  std::thread unread([&] { Ref r(Invoke(boom, nullptr)); });
  unread.join();
  EXPECT_FALSE(ErrorOccurred());
  Has(m, "boom");  // a call of this thread gives the ended thread's error back
  Ref released(GetFunction(m, "released"));
  Ref gone(Invoke(released, nullptr));
  ASSERT_NE(gone.get(), nullptr) << GetError();
  EXPECT_TRUE(host.call<int8_t>(gone, "BooleanValue() as Boolean"))
      << "the error an ended thread never read was not released";
  AllowThreads(false);
  gone.reset();
  released.reset();
  boom.reset();
  m.reset();
  ExpectCountsAtStart();
}

// Host code that Python's threads call: each run records whether it ran on
// the home thread, and leaves a mark among the console events.
std::thread::id gHomeId;
std::atomic<int> gHomeRuns{0}, gForeignRuns{0};

int32_t ArgInt(void* args) {
  Ref p(Host::get().create("Python3Parameters", "Constructor(paramPtr as Ptr)", args));
  return Host::get().call<int32_t>(p, "Int32Value(index as Integer) as Int32", int32_t(0));
}
void* Answer(int32_t value) {
  Ref r(Host::get().create("Python3Result", "Constructor(value as Int32)", value));
  return Host::get().call<void*>(r, "GetPtr() as Ptr");
}
void CountRun() { ++(std::this_thread::get_id() == gHomeId ? gHomeRuns : gForeignRuns); }
void* Twice(void*, void* args) {
  CountRun();
  return Answer(2 * ArgInt(args));
}
void* Mark(void*, void*) {
  CountRun();
  std::lock_guard<std::mutex> guard(gEventLock);
  gEvents.push_back("host");
  gEventThreads.push_back(std::this_thread::get_id());
  return Answer(0);
}
void* Refuse(void*, void*) {
  SRef m(Host::get().newString("bad"));
  Host::get().callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                               int32_t(20), m.get());
  return nullptr;
}
void* Silent(void*, void*) { return nullptr; }
int32_t CounterInit(void*, void*, void*) {
  CountRun();
  return 0;
}

class HomeCallsTest : public ThreadsTest {
 protected:
  void SetUp() override {
    ThreadsTest::SetUp();
    gHomeId = std::this_thread::get_id();
    gHomeRuns = gForeignRuns = 0;
    module.reset(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                             S("cw_home").get(), uint32_t(4)));
    const std::pair<const char*, void*> functions[] = {
        {"twice", reinterpret_cast<void*>(&Twice)}, {"mark", reinterpret_cast<void*>(&Mark)},
        {"refuse", reinterpret_cast<void*>(&Refuse)}, {"silent", reinterpret_cast<void*>(&Silent)}};
    for (auto& f : functions)
      host.call<void>(module, "RegisterFunction(name as String, fuction as Ptr)", S(f.first).get(), f.second);
    Ref counter(host.create("Python3XojoClass",
                            "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                            S("Counter").get(), uint32_t(1), reinterpret_cast<void*>(&CounterInit)));
    host.call<void>(counter, "RegisterFunction(name as String, fuction as Ptr)", S("twice").get(),
                    reinterpret_cast<void*>(&Twice));
    host.call<void>(module, "AddClass(classToAdd as Python3XojoClass)", counter.get());
    gThreadModule = module.get();
    host.callShared<void>("Coilwork",
                          "RegisterXojoModule(xojoModule as Python3XojoModule, "
                          "moduleCreatorFunction as Ptr)",
                          module.get(), reinterpret_cast<void*>(&CreateThreadModule));
  }
  void TearDown() override {
    SetTimeout(0);
    ThreadsTest::TearDown();
  }
  void SetTimeout(int32_t ms) {
    host.callShared<void>("Coilwork", "SetThreadCallTimeout(milliseconds as Integer)", ms);
  }
  // The host's idle loop: a timer that delivers, until Python's threads of
  // the module have ended (at most 20 s).
  void ServeUntilDone(Obj m) {
    for (int i = 0; i < 20000 && CallInt(m, "alive") > 0; ++i) {
      DeliverOutput();
      Pause(1);
    }
  }
  Ref module;
};

TEST_F(HomeCallsTest, PythonThreadsCallHostCodeOnTheHomeThread) {
  Ref receiver(Receiver());
  // Four threads at once, each making hundreds of calls of a function and of
  // a class's initialiser and method; answers and errors reach the caller.
  Ref m(Exec("import sys, threading, cw_home\n"
             "sums, errors = {}, []\n"
             "def work(k):\n"
             "    try:\n"
             "        c = cw_home.Counter()\n"
             "        sums[k] = sum(cw_home.twice(i) + c.twice(1) for i in range(200))\n"
             "        try:\n"
             "            cw_home.refuse()\n"
             "        except ValueError as e:\n"
             "            errors.append(str(e))\n"
             "        try:\n"
             "            cw_home.silent()\n"
             "        except SystemError as e:\n"
             "            errors.append(str(e))\n"
             "    except BaseException as e:\n"
             "        errors.append(repr(e))\n"
             "threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]\n"
             "for t in threads: t.start()\n"
             "def alive():\n"
             "    return sum(t.is_alive() for t in threads)\n"));
  ASSERT_NE(m.get(), nullptr);
  ServeUntilDone(m);
  Ref result(Exec("import sys\n"
                  "m = sys.modules['" + Name(m) + "']\n"
                  "ok = int(sorted(m.sums.values()) == [40200] * 4)\n"
                  "errors = ';'.join(sorted(set(m.errors)))\n"));
  ASSERT_NE(result.get(), nullptr);
  EXPECT_EQ(Int32(result, "ok"), 1);
  EXPECT_EQ(String(result, "errors"), "bad;cw_home.silent returned nil without setting an error");
  EXPECT_EQ(gForeignRuns, 0) << "host code ran on a Python thread";
  EXPECT_EQ(gHomeRuns, 4 * (1 + 400));

  // One order with output: what a thread printed before a call arrives
  // before the call runs, and what it printed after comes after.
  Ref ordered(Exec("import sys, threading, cw_home\n"
                   "def work():\n"
                   "    sys.stdout.write('before')\n"
                   "    cw_home.mark()\n"
                   "    sys.stdout.write('after')\n"
                   "threads = [threading.Thread(target=work)]\n"
                   "threads[0].start()\n"
                   "def alive():\n"
                   "    return int(threads[0].is_alive())\n"));
  ASSERT_NE(ordered.get(), nullptr);
  ServeUntilDone(ordered);
  DeliverOutput();
  EXPECT_EQ(Events(), (std::vector<std::string>{"before", "host", "after"}));
  EXPECT_TRUE(HostThreadOnly());
}

TEST_F(HomeCallsTest, HomeThreadServesWhileItRunsPythonCode) {
  // A host call that waits in Python for the thread's answer ends as soon
  // as the answer comes, not when it gives up.
  Ref m(Exec("import threading, time, cw_home\n"
             "def wait_busy():\n"
             "    got = []\n"
             "    threading.Thread(target=lambda: got.append(cw_home.twice(21))).start()\n"
             "    start = time.time()\n"
             "    while not got and time.time() - start < 10:\n"
             "        pass\n"
             "    return got[0] if got and time.time() - start < 5 else -1\n"));
  ASSERT_NE(m.get(), nullptr);
  EXPECT_EQ(CallInt(m, "wait_busy"), 42);
  EXPECT_EQ(gForeignRuns, 0);
}

TEST_F(HomeCallsTest, WithdrawnCallNeverRuns) {
  SetTimeout(100);
  AllowThreads(true);  // the lock is free between the home thread's calls
  Ref m(Exec("import cw_home\n"
             "message = ''\n"
             "def work():\n"
             "    global message\n"
             "    try:\n"
             "        message = str(cw_home.twice(1))\n"
             "    except TimeoutError as e:\n"
             "        message = str(e)\n"));
  ASSERT_NE(m.get(), nullptr);
  // A native thread calls while the home thread makes no plugin call at all.
  RunNative("import sys\nsys.modules['" + Name(m) + "'].work()\n").join();
  std::string message = String(m, "message");
  EXPECT_NE(message.find("cw_home.twice"), std::string::npos) << message;
  EXPECT_NE(message.find("100 ms"), std::string::npos) << message;
  DeliverOutput();
  EXPECT_EQ(gHomeRuns + gForeignRuns, 0) << "a withdrawn call ran";
}

TEST_F(HomeCallsTest, FinalizeServesThreadsThatCallHostCodeAsTheyEnd) {
  Ref receiver(Receiver());
  {
    // A worker that calls host code as it ends, a second later than
    // Finalize begins; a daemon thread that calls while the interpreter
    // stops (from an exit handler on), and then blocks for good.
    Ref m(Exec("import atexit, sys, threading, time, cw_home\n"
               "def late():\n"
               "    time.sleep(0.1)\n"
               "    sys.stdout.write('late %d' % cw_home.twice(4))\n"
               "go, never = threading.Event(), threading.Lock()\n"
               "never.acquire()\n"
               "def daemon():\n"
               "    go.wait()\n"
               "    try:\n"
               "        cw_home.twice(1)\n"
               "    except RuntimeError as e:\n"
               "        sys.stdout.write(str(e))\n"
               "    never.acquire()\n"
               "threading.Thread(target=daemon, daemon=True).start()\n"
               "threading.Thread(target=late).start()\n"
               "atexit.register(lambda: (go.set(), time.sleep(0.2)))\n"));
    ASSERT_NE(m.get(), nullptr);
  }
  module.reset();
  host.callShared<void>("Coilwork", "Finalize()");
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "late 8", "the interpreter is stopping: cw_home.twice was not called"}));
  EXPECT_EQ(gHomeRuns, 1);
  EXPECT_EQ(gForeignRuns, 0);
  EXPECT_TRUE(HostThreadOnly());
  EXPECT_EQ(host.refCount(receiver), 2) << "queued work left behind";
  EnsureInterpreter();
}

// An MQTT broker of the test's own (mosquitto on a free loopback port) for
// paho's network thread to receive from; killed and waited for as it goes.
struct Broker {
  std::string dir;
  pid_t pid = -1;
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  ~Broker() {
    if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }
  // Connects to the broker; without a port yet, binds to find a free one.
  bool Reach() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    auto a = reinterpret_cast<sockaddr*>(&address);
    socklen_t size = sizeof address;
    bool ok = address.sin_port ? connect(fd, a, size) == 0
                               : bind(fd, a, size) == 0 && getsockname(fd, a, &size) == 0;
    close(fd);
    return ok;
  }
  int Port() const { return ntohs(address.sin_port); }
  bool Start(const char* binary) {
    char folder[] = "/tmp/coilwork-mqtt-XXXXXX";
    if (!mkdtemp(folder)) return false;
    dir = folder;
    if (!Reach()) return false;
    std::string conf = dir + "/broker.conf", log = dir + "/broker.log";
    // As root it keeps root ("user root"): a broker that changes its user
    // loses the signal that ends it with the test process.
    std::ofstream(conf) << "listener " << Port() << " 127.0.0.1\nallow_anonymous true\n"
                        << (geteuid() == 0 ? "user root\n" : "");
    pid = fork();
    if (pid == 0) {  // the broker ends with the test process, however that ends
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1), dup2(fd, 2);
      execl(binary, binary, "-c", conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; pid > 0 && i < 500; ++i, Pause(20))
      if (Reach()) return true;  // accepting within 10 s
    return false;
  }
};

TEST_F(HomeCallsTest, PahoCallbackReachesHostCodeWithARealBroker) {
  const char kMosquitto[] = "/usr/sbin/mosquitto";
  if (access(kMosquitto, X_OK) != 0) GTEST_SKIP() << kMosquitto << " is not installed";
  if (!host.callShared<int8_t>("Coilwork", "Exec(code as String) as Boolean", S("import paho.mqtt.client").get())) {
    ClearError();
    GTEST_SKIP() << "paho-mqtt cannot be imported by this Python";
  }
  Broker broker;
  ASSERT_TRUE(broker.Start(kMosquitto)) << "mosquitto did not accept connections";
  // Bounds the wait of a call left unserved when a check fails, so that
  // loop_stop's join below cannot wait for good.
  SetTimeout(5000);

  // on_message runs on paho's own thread (loop_start) and hands each
  // payload to host code, keeping its answer.
  Ref m(Exec("import threading, cw_home\n"
             "import paho.mqtt.client as mqtt\n"
             "try:\n"
             "    c = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)\n"
             "except AttributeError:\n"
             "    c = mqtt.Client()\n"
             "got, subscribed = [], threading.Event()\n"
             "c.on_subscribe = lambda *args: subscribed.set()\n"
             "c.on_message = lambda client, data, msg: got.append(cw_home.twice(int(msg.payload)))\n"
             "c.connect('127.0.0.1', " + std::to_string(broker.Port()) + ")\n"
             "c.loop_start()\n"
             "c.subscribe('coilwork/home', qos=1)\n"
             "subscribed.wait(10)\n"
             "for n in (5, 6, 7):\n"
             "    c.publish('coilwork/home', str(n), qos=1)\n"
             "def count():\n"
             "    return len(got)\n"
             "def stop():\n"
             "    c.disconnect()\n"
             "    c.loop_stop()\n"
             "    return int(got == [10, 12, 14])\n"));
  ASSERT_NE(m.get(), nullptr);
  size_t objects = host.liveObjects(), strings = host.liveStrings();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (CallInt(m, "count") < 3 && std::chrono::steady_clock::now() < deadline) {
    DeliverOutput();
    Pause(1);
  }
  Pause(50);
  DeliverOutput();  // nothing more arrives
  EXPECT_EQ(gHomeRuns, 3);
  EXPECT_EQ(gForeignRuns, 0) << "host code ran on paho's thread";
  EXPECT_EQ(host.liveObjects(), objects) << "host objects leaked by the calls";
  EXPECT_EQ(host.liveStrings(), strings) << "host strings leaked by the calls";
  EXPECT_EQ(CallInt(m, "stop"), 1) << "payloads or answers lost or out of order";

  // The README's bridge as it stands, but for the broker's port, a hostapp
  // module whose on_reading calls the host function, and with paho 1.x the
  // constructor its comment names. A retained reading waits for it.
  std::string bridge = ReadmePython("mqtt_bridge.py");
  auto replace = [&](const std::string& from, const std::string& to) {
    size_t at = bridge.find(from);
    if (at != std::string::npos) bridge.replace(at, from.size(), to);
    return at != std::string::npos;
  };
  ASSERT_TRUE(replace("client.connect(\"localhost\")",
                      "client.connect(\"127.0.0.1\", " + std::to_string(broker.Port()) + ")"));
  Ref modern(host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result",
                                  S("int(hasattr(__import__('paho.mqtt.client').mqtt.client, "
                                    "'CallbackAPIVersion'))").get()));
  if (!modern.get() || !ResultInt(modern)) replace("mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)", "mqtt.Client()");
  bridge += "def stop():\n    client.disconnect()\n    client.loop_stop()\n    return 0\n";
  Ref retained(Exec("import sys, types, cw_home\n"
                    "import paho.mqtt.client as mqtt\n"
                    "readings = []\n"
                    "hostapp = types.ModuleType('hostapp')\n"
                    "hostapp.on_reading = lambda topic, text: readings.append((topic, cw_home.twice(int(text))))\n"
                    "sys.modules['hostapp'] = hostapp\n"
                    "try:\n"
                    "    p = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)\n"
                    "except AttributeError:\n"
                    "    p = mqtt.Client()\n"
                    "p.connect('127.0.0.1', " + std::to_string(broker.Port()) + ")\n"
                    "p.loop_start()\n"
                    "p.publish('sensors/kitchen', '21', qos=1, retain=True).wait_for_publish(10)\n"
                    "p.disconnect()\n"
                    "p.loop_stop()\n"
                    "def count():\n"
                    "    return len(readings)\n"
                    "def right():\n"
                    "    return int(readings == [('sensors/kitchen', 42)])\n"));
  ASSERT_NE(retained.get(), nullptr) << GetError();
  Ref example(Exec(bridge));
  ASSERT_NE(example.get(), nullptr) << GetError();
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (CallInt(retained, "count") < 1 && std::chrono::steady_clock::now() < deadline) {
    DeliverOutput();
    Pause(1);
  }
  EXPECT_EQ(CallInt(retained, "right"), 1) << "the README's bridge did not reach host code";
  EXPECT_EQ(CallInt(example, "stop"), 0);
}

// Python sees a host thread as one thread across its calls, gives it the
// hooks threading gives the threads it starts, and drops what it kept once
// it ends, without the ending thread waiting for the lock.
TEST_F(ThreadsTest, HostThreadIsOneThreadAcrossItsCallsAndGetsThreadingHooks) {
  auto version = reinterpret_cast<const char* (*)()>(PySym("Py_GetVersion"));
  if (PySym("_Py_NegativeRefcount") && version && atoi(version() + 2) >= 12) {
    GTEST_SKIP() << "a debug build from 3.12 on: a host thread's state is made and deleted "
                    "for each call, on that thread, as its checks require";
  }
  Ref m(Exec("import gc, threading, weakref\n"
             "local = threading.local()\n"
             "traced, refs = [], []\n"
             "class Thing:\n"
             "    pass\n"
             "def tracer(frame, event, arg):\n"
             "    if event == 'call':\n"
             "        traced.append((frame.f_code.co_name, threading.current_thread().name))\n"
             "def first():\n"
             "    local.value = Thing()\n"
             "    refs.append(weakref.ref(local.value))\n"
             "    local.me = threading.current_thread()\n"
             "    return 1\n"
             "def second():\n"
             "    me = threading.current_thread()\n"
             "    return int(getattr(local, 'me', None) is me and me.name.startswith('host-thread-'))\n"
             "def hook_on():\n"
             "    threading.settrace(tracer)\n"
             "    return 0\n"
             "def hook_off():\n"
             "    threading.settrace(None)\n"
             "    return 0\n"
             "def work():\n"
             "    return 7\n"
             "def worked_on_host_thread():\n"
             "    return sum(1 for c, n in traced if c == 'work' and n.startswith('host-thread-'))\n"
             "def worked_on_home_thread():\n"
             "    return sum(1 for c, n in traced if c == 'work' and n == threading.main_thread().name)\n"
             "def released():\n"
             "    gc.collect()\n"
             "    return int(refs[0]() is None)\n"));
  ASSERT_NE(m.get(), nullptr);
  Ref counters(Exec(ReadmePython("counters.py")));
  ASSERT_NE(counters.get(), nullptr);
  AllowThreads(true);
  {
    HostWorker worker;
    worker.Run([&] {
      EXPECT_EQ(CallInt(m, "first"), 1);
      EXPECT_EQ(CallInt(counters, "count"), 1);
    }).wait();
    worker.Run([&] {
      EXPECT_EQ(CallInt(m, "second"), 1) << "threading.local or current_thread() lost";
      EXPECT_EQ(CallInt(counters, "count"), 2);
    }).wait();
    EXPECT_EQ(CallInt(counters, "count"), 1);
    // A hook set after the thread's first call reaches it at its next one,
    // and leaves the home thread alone.
    EXPECT_EQ(CallInt(m, "hook_on"), 0);
    worker.Run([&] { EXPECT_EQ(CallInt(m, "work"), 7); }).wait();
    EXPECT_EQ(CallInt(m, "work"), 7);
    EXPECT_EQ(CallInt(m, "worked_on_host_thread"), 1);
    EXPECT_EQ(CallInt(m, "worked_on_home_thread"), 0);
    EXPECT_EQ(CallInt(m, "hook_off"), 0);
    worker.Run([&] { EXPECT_EQ(CallInt(m, "work"), 7); }).wait();
    EXPECT_EQ(CallInt(m, "worked_on_host_thread"), 1) << "the hook stayed after threading.settrace(None)";
    AllowThreads(false);
    Has(m, "work");  // this thread keeps the lock while the worker ends
  }
  EXPECT_EQ(CallInt(m, "released"), 1) << "an ended host thread's threading.local values were kept";
  // Its state went without taking this thread's state from PyGILState.
  auto thisThreads = reinterpret_cast<void* (*)()>(PySym("PyGILState_GetThisThreadState"));
  auto current = reinterpret_cast<void* (*)()>(PySym("PyThreadState_Get"));
  ASSERT_TRUE(thisThreads && current);
  EXPECT_EQ(thisThreads(), current()) << "the home thread lost its state to PyGILState";

  // A host thread waits while this one keeps the lock; DeliverOutput, with
  // nothing queued, gives it over as any call's return does.
  std::atomic<int32_t> got{-1};
  std::thread late([&] { got = CallInt(m, "work"); });
  Pause(100);
  EXPECT_EQ(got.load(), -1) << "the lock was not kept between calls";
  DeliverOutput();
  for (int i = 0; i < 1000 && got.load() == -1; ++i) Pause(10);
  EXPECT_EQ(got.load(), 7) << "DeliverOutput with nothing queued did not give the lock over";
  if (got.load() == -1) Has(m, "work");
  late.join();
  m.reset();
  counters.reset();
  ExpectCountsAtStart();
}

// hostapp.reading_done(future) of the README's asyncio example: reads the
// future's result on the thread it runs on.
std::atomic<double> gReading{0};
void* ReadingDone(void*, void* args) {
  CountRun();
  Host& host = Host::get();
  Ref p(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args));
  Ref future(host.call<Obj>(p, "EntityValue(index as Integer) as Python3EntityBase", int32_t(0)));
  Ref value(future.get() ? host.call<Obj>(future, "CallMethod(name as String, parameters as "
                                                  "Python3Parameters) as Python3Result",
                                          SRef(host.newString("result")).get(), Obj(nullptr))
                         : nullptr);
  gReading = value.get() ? host.call<double>(value, "DoubleValue() as Double") : -1;
  return Answer(0);
}

// The README's asyncio example as it stands there: a loop on a Python
// thread, a coroutine submitted from host code, its completion reaching
// host code on the home thread.
TEST_F(HomeCallsTest, ReadmeAsyncioExampleReachesHostCode) {
  std::string ble = ReadmePython("ble.py");
  ASSERT_FALSE(ble.empty()) << "the README's ble.py example is gone";
  Ref loop(Import("ble", ble));
  ASSERT_NE(loop.get(), nullptr) << GetError();
  Ref hostapp(host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                          S("hostapp").get(), uint32_t(1)));
  host.call<void>(hostapp, "RegisterFunction(name as String, fuction as Ptr)", S("reading_done").get(),
                  reinterpret_cast<void*>(&ReadingDone));
  gThreadModule = hostapp.get();
  host.callShared<void>("Coilwork",
                        "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)",
                        hostapp.get(), reinterpret_cast<void*>(&CreateThreadModule));
  gReading = 0;

  const char kCall[] = "CallMethod(name as String, parameters as Python3Parameters) as Python3Result";
  const char kEntity[] = "EntityValue(index as Integer) as Python3EntityBase";
  Ref a(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(a, "StringValue(index as Integer) as String", int32_t(0), S("AA:BB:CC:DD:EE:FF").get());
  Ref read(GetFunction(loop, "read_sensor"));
  Ref coroutine(Invoke(read, a));
  ASSERT_NE(coroutine.get(), nullptr) << GetError();
  Ref submit(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
  host.assign(submit, kEntity, int32_t(0), Ref(host.call<Obj>(coroutine, "AsEntity() as Python3Entity")).get());
  host.assign(submit, kEntity, int32_t(1),
              Ref(host.call<Obj>(loop, "EntityField(name as String) as Python3EntityBase", S("loop").get())).get());
  Ref asyncio(GetModule("asyncio"));
  Ref future(host.call<Obj>(Ref(host.call<Obj>(asyncio, "AsEntity() as Python3Entity")), kCall,
                            S("run_coroutine_threadsafe").get(), submit.get()));
  ASSERT_NE(future.get(), nullptr) << GetError();
  Ref app(GetModule("hostapp"));
  Ref done(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(done, kEntity, int32_t(0),
              Ref(host.call<Obj>(Ref(host.call<Obj>(app, "AsEntity() as Python3Entity")),
                                 "GetAttribute(name as String) as Python3Entity", S("reading_done").get()))
                  .get());
  Ref added(host.call<Obj>(future, kCall, S("add_done_callback").get(), done.get()));
  ASSERT_NE(added.get(), nullptr) << GetError();

  for (int i = 0; i < 5000 && gReading == 0; ++i) {  // the host's timer
    DeliverOutput();
    Pause(1);
  }
  EXPECT_EQ(gReading, 21.5);
  EXPECT_EQ(gForeignRuns, 0) << "host code ran on the loop's thread";
  // The loop's thread is a daemon that runs for ever: the loop is stopped.
  EXPECT_NE(Ref(Exec("import ble\nble.loop.call_soon_threadsafe(ble.loop.stop)\n")).get(), nullptr);
}

TEST_F(ThreadsTest, CapsuleFreedOnAPythonThreadGivesItsObjectBackOnAHostThread) {
  Ref m(Exec("import threading, time\n"
             "def drop():\n"
             "    global t\n"
             "    def work():\n"
             "        global held\n"
             "        time.sleep(0.05)  # after drop has returned\n"
             "        del held\n"
             "    t = threading.Thread(target=work)\n"
             "    t.start()\n"
             "    return 0\n"
             "def finish():\n"
             "    t.join()\n"
             "    return 0\n"));
  ASSERT_NE(m.get(), nullptr);
  Ref object(host.newInstance("CoilworkConsoleOutput"));
  host.assign(m, "ObjectField(name as String) as Object", S("held").get(), object.get());
  EXPECT_EQ(host.refCount(object), 2);
  EXPECT_EQ(CallInt(m, "drop"), 0);
  Pause(150);  // the thread frees the capsule meanwhile
  EXPECT_EQ(host.refCount(object), 2) << "given back on the Python thread";
  DeliverOutput();
  EXPECT_EQ(host.refCount(object), 1);
  EXPECT_EQ(CallInt(m, "finish"), 0);
}

TEST_F(ThreadsTest, FinalizeWaitsForWorkersAndLeavesDaemonsToPython) {
  Ref receiver(Receiver());
  {
    Ref m(Exec("import sys, threading, time\n"
               "def worker():\n"
               "    time.sleep(0.1)\n"
               "    sys.stdout.write('worker done')\n"
               "never = threading.Lock()\n"
               "never.acquire()\n"
               "up = threading.Event()\n"
               "def daemon():\n"
               "    sys.stdout.write('daemon up')\n"
               "    up.set()\n"
               "    never.acquire()\n"
               "threading.Thread(target=daemon, daemon=True).start()\n"
               "up.wait()\n"
               "threading.Thread(target=worker).start()\n"));
    ASSERT_NE(m.get(), nullptr);
  }
  host.callShared<void>("Coilwork", "Finalize()");
  EXPECT_EQ(Events(), (std::vector<std::string>{"daemon up", "worker done"}));
  EXPECT_TRUE(HostThreadOnly());
  EXPECT_EQ(host.refCount(receiver), 2);
  EnsureInterpreter();
  Ref again(Exec("x = 1\n"));
  EXPECT_NE(again.get(), nullptr);
}

}  // namespace
}  // namespace coiltest
