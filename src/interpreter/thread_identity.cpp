#include "interpreter/thread_identity.h"

#include <atomic>
#include <cstdio>

#include "plugin/output_queue.h"
#include "python/refs.h"

namespace {

struct Identity {
  uint32_t generation = 0;  // the interpreter the objects below belong to
  bool named = false;
  // The hooks last given to this thread (strong references; null: none).
  PyObject* trace = nullptr;
  PyObject* profile = nullptr;
};
thread_local Identity tIdentity;
thread_local int tNumber;  // 1, 2, ... in the order host threads first called
std::atomic<int> gHostThreads{0};

// threading's hook for threads it starts (threadingName) given to this
// thread with the sys setter that threading uses, when it is not the one the
// thread was given last. Its own later sys.settrace calls are left alone
// until the hook changes again.
void GiveHook(PyObject* threading, const char* threadingName, const char* sysName, PyObject*& given) {
  PyObject* hook = EPyObject_GetAttrString(threading, threadingName);
  if (!hook) {
    EPyErr_Clear();
    return;
  }
  if (hook == e___Py_NoneStruct && !given) {
    PyRelease(hook);
    return;
  }
  if (hook == given) {
    PyRelease(hook);
    return;
  }
  PyObject* setter = EPySys_GetObject(sysName);  // borrowed
  PyRef args(setter ? EPy_BuildValue("(O)", hook) : nullptr);
  PyRef done(args ? EPyObject_CallObject(setter, args.get()) : nullptr);
  if (!done) EPyErr_Clear();
  PyRelease(given);
  given = hook;
  if (hook == e___Py_NoneStruct) {
    PyRelease(hook);
    given = nullptr;
  }
}

void Name(PyObject* threading) {
  PyRef current(EPyObject_GetAttrString(threading, "current_thread"));
  PyRef thread(current ? EPyObject_CallObject(current.get(), nullptr) : nullptr);
  if (!thread) {
    EPyErr_Clear();
    return;
  }
  if (!tNumber) tNumber = gHostThreads.fetch_add(1) + 1;
  char name[32];
  std::snprintf(name, sizeof name, "host-thread-%d", tNumber);
  PyRef text(EPyUnicode_FromStringAndSize(name, Py_ssize_t(std::char_traits<char>::length(name))));
  if (!text || EPyObject_SetAttrString(thread.get(), "name", text.get()) < 0) EPyErr_Clear();
  tIdentity.named = true;
}

}  // namespace

void AdoptHostThread(uint32_t generation) {
  Identity& id = tIdentity;
  if (id.generation != generation) {
    // Objects of an interpreter that has stopped went with it.
    id = Identity{};
    id.generation = generation;
  }
  if (!EPyImport_GetModuleDict || !EPyDict_GetItemString || !EPyObject_GetAttrString || !EPySys_GetObject ||
      !EPyObject_CallObject || !EPy_BuildValue || !EPyErr_Fetch || !EPyErr_Restore)
    return;
  PyObject *type, *value, *traceback;
  EPyErr_Fetch(&type, &value, &traceback);
  PyObject* modules = EPyImport_GetModuleDict();                                     // borrowed
  PyObject* threading = modules ? EPyDict_GetItemString(modules, "threading") : nullptr;  // borrowed
  if (threading) {
    PyAddRef(threading);
    if (!id.named) Name(threading);
    GiveHook(threading, "_trace_hook", "settrace", id.trace);
    GiveHook(threading, "_profile_hook", "setprofile", id.profile);
    PyRelease(threading);
  }
  EPyErr_Restore(type, value, traceback);
}

void ForgetHostThreadHooks(uint32_t generation) {
  Identity& id = tIdentity;
  if (id.generation == generation) {
    PyObject* hooks[] = {id.trace, id.profile};
    ReleasePythonOnHostThread(hooks, 2, generation);
  }
  id = Identity{};
}

void ImportThreadingAtInit() {
  if (!EPyImport_Import || !EPyUnicode_FromStringAndSize) return;
  PyRef name(EPyUnicode_FromStringAndSize("threading", 9));
  PyRef module(name ? EPyImport_Import(name.get()) : nullptr);
  if (!module && EPyErr_Clear) EPyErr_Clear();
}
