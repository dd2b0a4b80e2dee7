// Coilwork.Reset: a clean slate for the next script without stopping the
// interpreter, so that extension modules which cannot be loaded twice in one
// process (numpy first) stay loaded and usable.
//
// Init ends by noting what Reset goes back to: sys.path, sys.argv, the
// modules loaded by then and what __main__ holds. Reset then
// - puts a fresh module in place of __main__ (a script's own threads keep the
//   old one's namespace, which they may still use);
// - forgets the modules loaded since Init from the application's own folders
//   (AddSearchPath's, the folder of sys.argv[0] when it is a file, the
//   current directory), so that the next import reads their files again;
//   the standard library, installed packages and extension modules stay;
// - restores sys.path (with AddSearchPath's folders since), sys.argv and the
//   console streams, and collects what the old script left in cycles.
// A virtual environment chosen while Python runs changes what Reset goes back
// to as it changes sys.path. Interrupt and the time limit never stop Reset.
#include "convert/convert.h"
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "interpreter/interrupt.h"
#include "plugin/output_queue.h"

namespace {

const char kResetSource[] = R"PY(
import gc, os, sys

# A sub-interpreter's snapshot is taken when it is made, and this code runs
# in it at its first Reset.
if '_path' not in globals():
    _path = list(sys.path)
    _argv = list(sys.argv)
    _modules = set(sys.modules)
    _main = dict(vars(sys.modules['__main__']))
    added = []
_modules = set(_modules)

def _folder(path):
    return os.path.join(os.path.realpath(path), '')

def _own_folders():
    folders = list(added)
    if _argv and _argv[0] and os.path.isfile(_argv[0]):
        folders.append(os.path.dirname(os.path.abspath(_argv[0])))
    try:
        folders.append(os.getcwd())
    except OSError:
        pass
    return [_folder(f) for f in folders if isinstance(f, str) and f]

def _installed_folders():
    import sysconfig
    found = set()
    try:
        paths = sysconfig.get_paths()
    except Exception:
        paths = {}
    for key in ('stdlib', 'platstdlib', 'purelib', 'platlib'):
        if paths.get(key):
            found.add(_folder(paths[key]))
    for p in sys.path:
        if isinstance(p, str) and os.path.basename(p.rstrip(os.sep)) in ('site-packages', 'dist-packages'):
            found.add(_folder(p))
    return found

def _places(module):
    # Read from the module's own namespace: a module's __getattr__, or a
    # half-made extension module, runs no code here.
    if not isinstance(module, type(sys)):
        return []
    space = module.__dict__
    value = space.get('__file__')
    if isinstance(value, str):
        return [value]
    path = space.get('__path__')
    if isinstance(path, list):
        return [p for p in path if isinstance(p, str)]
    if path is not None and type(path).__name__ == '_NamespacePath':
        try:
            return [p for p in list(path) if isinstance(p, str)]
        except Exception:
            return []
    return []

def _forgettable(module, own, installed, extensions):
    places = _places(module)
    if not places:
        return False
    for place in places:
        if place.endswith(extensions):
            return False
        real = os.path.realpath(place)
        parts = real.split(os.sep)
        if 'site-packages' in parts or 'dist-packages' in parts:
            return False
        if any(real.startswith(folder) for folder in installed):
            return False
        if not any(real.startswith(folder) for folder in own):
            return False
    return True

def reset():
    main = type(sys)('__main__')
    for key, value in _main.items():
        main.__dict__[key] = {} if isinstance(value, dict) else value
    sys.modules['__main__'] = main
    own = _own_folders()
    installed = _installed_folders()
    try:
        from importlib.machinery import EXTENSION_SUFFIXES
        extensions = tuple(EXTENSION_SUFFIXES)
    except ImportError:
        extensions = ('.so',)
    for name, module in list(sys.modules.items()):
        if name in _modules or module is None or name == '__main__':
            continue
        if _forgettable(module, own, installed, extensions):
            del sys.modules[name]
    sys.path[:] = _path + [p for p in added if p not in _path]
    if hasattr(sys, "argv"):
        sys.argv[:] = _argv
    for name in ('last_type', 'last_value', 'last_traceback'):
        if hasattr(sys, name):
            delattr(sys, name)
    import importlib
    importlib.invalidate_caches()
    if 'linecache' in sys.modules:
        sys.modules['linecache'].clearcache()
    gc.collect()

def path_now():
    return list(sys.path)

def path_changed(before):
    # The plugin itself changed sys.path from before (a virtual environment
    # chosen while Python runs): what Reset goes back to changes alike. The
    # entries that went are dropped; each new one goes ahead of the entry it
    # now stands before.
    global _path
    now = list(sys.path)
    new = [p for p in now if p not in before]
    base = [p for p in _path + added if p in now or p not in before]
    for i, entry in enumerate(now):
        if entry not in new or entry in base:
            continue
        follower = next((p for p in now[i + 1:] if p not in new and p in base), None)
        base.insert(base.index(follower) if follower is not None else len(base), entry)
    _path = base
)PY";

// The namespace of kResetSource in each interpreter.
PerInterpreter gReset;

PyObject* Helper(const char* name) {
  PyObject* space = gReset.get();
  return space ? EPyDict_GetItemString(space, name) : nullptr;  // borrowed
}

void RaiseRuntimeError(const char* message) {
  if (EPyErr_SetString && e__PyExc_RuntimeError) EPyErr_SetString(*e__PyExc_RuntimeError, message);
}

}  // namespace

void ResetAfterInit() {
  if (!PythonRunning() || !EPyErr_Fetch || !EPyErr_Restore) return;
  // Init's last step may have left an error for GetError.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  EPyErr_Fetch(&type, &value, &traceback);
  PyObject* space = RunPrivateSource(kResetSource);
  if (space) gReset.set(gInterpreterGeneration, space);
  else EPyErr_Clear();
  EPyErr_Restore(type, value, traceback);
}

void ResetAfterOpen(uint32_t generation) {
  // Only the snapshot now, made without compiling anything: an own-lock
  // interpreter keeps the memory its allocator ever took until the process
  // ends, so what it is made with is kept small. Reset's code is compiled
  // in it at its first Reset.
  PyObject* modules = EPyImport_GetModuleDict();  // borrowed
  PyObject* main = EPyImport_AddModule("__main__");  // borrowed
  PyObject* path = EPySys_GetObject("path");       // borrowed
  PyObject* argv = EPySys_GetObject("argv");       // borrowed
  PyRef space(EPyDict_New());
  PyRef name(EPyUnicode_FromStringAndSize("builtins", 8));
  PyRef builtins(name ? EPyImport_Import(name.get()) : nullptr);
  PyRef snapshot[] = {
      PyRef(path ? EPySequence_List(path) : EPyList_New(0)),
      PyRef(argv ? EPySequence_List(argv) : EPyList_New(0)),
      PyRef(modules ? EPyDict_Keys(modules) : nullptr),
      PyRef(main ? EPyDict_Copy(EPyModule_GetDict(main)) : nullptr),
      PyRef(EPyList_New(0)),
  };
  const char* names[] = {"_path", "_argv", "_modules", "_main", "added"};
  bool made = space && builtins && EPyDict_SetItemString(space.get(), "__builtins__", builtins.get()) == 0;
  for (int i = 0; i < 5 && made; ++i)
    made = snapshot[i] && EPyDict_SetItemString(space.get(), names[i], snapshot[i].get()) == 0;
  if (made) gReset.set(generation, space.release());
  else EPyErr_Clear();
}

void ResetBeforeClose(uint32_t generation) { gReset.drop(generation); }

void ResetKeepsPath(PyObject* entry) {
  PyObject* added = Helper("added");
  if (added && entry && EPyList_Append(added, entry) != 0) EPyErr_Clear();
}

void ResetBeforeFinalize() { gReset.drop(gInterpreterGeneration); }

int8_t Python_Reset() {
  if (!EnsurePython() || !PythonRunning()) return false;
  // Inside Python code the old __main__ and modules are still running.
  if (Depth(tHostThread) > 1 || HomeCallRunning()) {
    RaiseRuntimeError("Reset cannot run inside Python code (a host function or event that Python "
                      "called); call it once the script has returned");
    return false;
  }
  // Reset is the plugin's own work, as Init and Finalize are: neither
  // Interrupt nor the time limit cuts it short half done.
  InterruptSpareThisCall();
  PyObject* reset = Helper("reset");
  if (!reset) {
    // A sub-interpreter's first Reset: its code, in the snapshot's namespace.
    if (PyObject* space = gReset.get()) {
      PyObject* ran = EPyRun_StringFlags(kResetSource, Py_file_input, space, space, nullptr);
      if (!ran) return false;
      PyRelease(ran);
      reset = Helper("reset");
    }
  }
  if (!reset) {
    RaiseRuntimeError("Reset is not available in this interpreter");
    return false;
  }
  // An error the last script left (read by GetError after Reset) is put
  // aside while Python runs the reset, and stays pending.
  if (!EPyErr_Fetch || !EPyErr_Restore || !EPyObject_CallObject) {
    RaiseRuntimeError("Reset is not available in this interpreter");
    return false;
  }
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  EPyErr_Fetch(&type, &value, &traceback);
  PyRef done(EPyObject_CallObject(reset, nullptr));
  if (!done) {
    PyRelease(type);
    PyRelease(value);
    PyRelease(traceback);
    return false;
  }
  RestoreStreams();
  EPyErr_Restore(type, value, traceback);
  return true;
}

PyObject* ResetPathNow() {
  PyObject* now = Helper("path_now");
  if (!now || !EPyObject_CallObject || !EPyErr_Clear) return nullptr;
  PyObject* path = EPyObject_CallObject(now, nullptr);
  if (!path) EPyErr_Clear();
  return path;
}

void ResetPathChanged(PyObject* before) {
  PyObject* changed = Helper("path_changed");
  if (!changed || !before || !EPy_BuildValue || !EPyObject_CallObject || !EPyErr_Clear) return;
  PyRef arguments(EPy_BuildValue("(O)", before));
  PyRef done(arguments ? EPyObject_CallObject(changed, arguments.get()) : nullptr);
  if (!done) EPyErr_Clear();
}
