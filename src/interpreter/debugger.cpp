// ListenForDebugger and WaitForDebugger: debugpy's server in the main
// interpreter, for VS Code or any Debug Adapter Protocol client.
//
// debugpy starts its adapter as a process of its own with sys.executable,
// which in an embedding program names the host application: the host would
// start a second copy of itself. The adapter is therefore given a real
// Python of the library's version, found beside the loaded library or under
// the interpreter's prefixes, and never the host's own executable.
//
// Breakpoints on every thread need no more than debugpy does: pydevd puts its
// trace function on the calling thread and on every thread that exists, and
// hands it to future threads through threading.settrace, which host threads
// take at their next outermost call as threads that threading starts do.
#include <dlfcn.h>

#include <chrono>
#include <thread>

#include "convert/convert.h"
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "plugin/output_queue.h"

namespace {

const char kDebuggerSource[] =
    "import os, sys\n"
    "def interpreter(library):\n"
    "    name = 'python%d.%d' % sys.version_info[:2]\n"
    "    prefixes = [sys.prefix]\n"
    "    if library:\n"
    "        folder = os.path.dirname(library)\n"
    "        up = os.path.dirname(folder)\n"
    "        if os.path.basename(folder) == 'lib':\n"
    "            prefixes.append(up)\n"
    "        elif os.path.basename(up) == 'lib':\n"
    "            prefixes.append(os.path.dirname(up))\n"
    "    prefixes += [sys.exec_prefix, sys.base_prefix, sys.base_exec_prefix, '/usr', '/usr/local']\n"
    "    own = os.path.realpath('/proc/self/exe')\n"
    "    tried = []\n"
    "    for prefix in prefixes:\n"
    "        path = os.path.join(prefix, 'bin', name)\n"
    "        if path in tried:\n"
    "            continue\n"
    "        tried.append(path)\n"
    "        if os.path.isfile(path) and os.access(path, os.X_OK) and os.path.realpath(path) != own:\n"
    "            return path\n"
    "    raise RuntimeError('no %s interpreter to run debugpy\\'s adapter with (tried %s)'\n"
    "                       % (name, ', '.join(tried)))\n"
    "def listen(port, library):\n"
    "    try:\n"
    "        import debugpy\n"
    "    except Exception as e:\n"
    "        raise ImportError('debugpy cannot be imported by this Python %d.%d (%s); install it: '\n"
    "                          'python3-debugpy on Debian and Raspberry Pi OS, or pip install '\n"
    "                          'debugpy in the virtual environment' % (sys.version_info[:2] + (e,)),\n"
    "                          name='debugpy') from e\n"
    "    debugpy.configure(python=interpreter(library))\n"
    "    return debugpy.listen(('127.0.0.1', port))[1]\n"
    "def probe():\n"
    "    debugpy, pydevd = sys.modules.get('debugpy'), sys.modules.get('pydevd')\n"
    "    debugger = getattr(pydevd, 'get_global_debugger', None)\n"
    "    if debugpy is None or debugger is None or debugger() is None:\n"
    "        return None\n"
    "    return debugpy.is_client_connected\n";

// The server of the main interpreter of that generation: its port once
// listening, or starting while one thread's listen runs. Read and written
// with the main interpreter's lock held.
struct Server {
  uint32_t generation = 0;
  int32_t port = 0;
  bool starting = false;
};
Server gServer;

bool EntriesBound() {
  return EPyEval_SaveThread && EPyEval_RestoreThread && EPyDict_GetItemString &&
         EPyObject_CallObject && EPyObject_IsTrue && EPy_BuildValue && EPyLong_AsLong &&
         EPyErr_Occurred && EPyErr_SetString;
}

// The loaded library's file, as the dynamic loader found it; "" if unknown.
const char* LibraryFile() {
  Dl_info info;
  if (!EPy_Initialize || !dladdr(reinterpret_cast<void*>(EPy_Initialize), &info) || !info.dli_fname)
    return "";
  return info.dli_fname;
}

// Gives the lock over for a few milliseconds, or until the deadline.
void PauseWithoutLock(std::chrono::steady_clock::time_point deadline, bool forever) {
  auto period = std::chrono::milliseconds(5);
  auto left = deadline - std::chrono::steady_clock::now();
  PyThreadState* saved = EPyEval_SaveThread();
  std::this_thread::sleep_for(forever || left > period ? period : left);
  EPyEval_RestoreThread(saved);
}

// A function of the helper namespace called with the arguments (a
// Py_BuildValue format), or null with the error pending.
PyObject* CallHelper(PyObject* space, const char* name, PyObject* args) {
  PyObject* f = EPyDict_GetItemString(space, name);  // borrowed from the namespace
  if (!f || !args) return nullptr;
  return EPyObject_CallObject(f, args);
}

}  // namespace

int32_t Python_ListenForDebugger(int32_t port) {
  if (!EnsurePython() || !PythonRunning() || !EntriesBound()) return 0;
  InterpreterScope main(nullptr);
  if (!main.ok()) return 0;
  const uint32_t generation = gInterpreterGeneration;
  // Another host thread is starting the server: its port is the answer.
  while (gServer.generation == generation && gServer.starting)
    PauseWithoutLock(std::chrono::steady_clock::now(), true);
  if (gServer.generation == generation && gServer.port) return gServer.port;
  if (port < 0 || port > 65535) {
    if (e__PyExc_ValueError && *e__PyExc_ValueError)
      EPyErr_SetString(*e__PyExc_ValueError, "the port must be 0 (any free port) to 65535");
    return 0;
  }
  PyRef space(RunPrivateSource(kDebuggerSource));
  if (!space) return 0;
  gServer = Server{generation, 0, true};
  PyRef answer(CallHelper(space.get(), "listen", EPy_BuildValue("(is)", int(port), LibraryFile())));
  gServer.starting = false;
  if (!answer) return 0;
  long listening = EPyLong_AsLong(answer.get());
  if (listening <= 0 || listening > 65535) return 0;
  gServer.port = int32_t(listening);
  return gServer.port;
}

int8_t Python_WaitForDebugger(int32_t milliseconds) {
  if (!EnsurePython() || !PythonRunning() || !EntriesBound()) return false;
  InterpreterScope main(nullptr);
  if (!main.ok()) return false;
  const uint32_t generation = gInterpreterGeneration;
  PyRef space(RunPrivateSource(kDebuggerSource));
  PyRef attached(space ? CallHelper(space.get(), "probe", EPy_BuildValue("()")) : nullptr);
  if (!attached || attached.get() == e___Py_NoneStruct) return false;  // not listening
  const bool forever = milliseconds < 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    // Python code at each look: a stop (Interrupt, the time limit) ends the wait.
    PyRef answer(EPyObject_CallObject(attached.get(), nullptr));
    int yes = answer ? EPyObject_IsTrue(answer.get()) : -1;
    if (yes != 0) return yes > 0;
    if (!forever && std::chrono::steady_clock::now() >= deadline) return false;
    if (OnHomeThread()) {
      TakeProcessOutput();
      if (gHostWorkPending.load(std::memory_order_acquire)) DeliverQueuedWork();
      // Host code run meanwhile may have stopped the interpreter, whose
      // objects are gone with it.
      if (gInterpreterGeneration != generation || !HoldHomeLock()) {
        answer.release();
        attached.release();
        space.release();
        return false;
      }
    }
    PauseWithoutLock(deadline, forever);
  }
}
