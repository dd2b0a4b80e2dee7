// What makes the embedded Python look like a program of its own: sys.argv,
// sys.executable naming a real interpreter, and a virtual environment's
// packages (UseVirtualEnvironment).
#include <ctype.h>
#include <sys/stat.h>

#include <fstream>

#include "convert/convert.h"
#include "interpreter/interpreter.h"

namespace {

// Run in a private namespace after Py_Initialize; the C side calls start()
// and use_environment() with plain values.
const char kEnvironmentSource[] = R"PY(
import os, sys

def _interpreter(folder, names):
    for name in names:
        path = os.path.join(folder, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None

def _versioned(folder):
    # python3.X, or python3 when it is that same version.
    own = 'python%d.%d' % sys.version_info[:2]
    found = _interpreter(folder, [own])
    if found is None:
        other = _interpreter(folder, ['python3'])
        if other is not None and os.path.basename(os.path.realpath(other)) == own:
            found = other
    return found

def start(name):
    sys.argv = [name]
    found = _versioned(os.path.join(sys.base_prefix, 'bin'))
    if found is not None:
        sys.executable = found

def _inside(path, folders):
    path = os.path.normcase(os.path.abspath(path))
    for folder in folders:
        if path == folder or path.startswith(folder + os.sep):
            return True
    return False

def use_environment(folder, minor, system_site):
    own = sys.version_info[:2]
    if minor >= 0 and minor != own[1]:
        raise ImportError('the virtual environment %s was made for Python 3.%d, but the Python '
                          'library loaded is Python %d.%d' % (folder, minor, own[0], own[1]))
    import site
    version = 'python%d.%d' % own
    site_dir = os.path.join(folder, 'lib', version, 'site-packages')
    system = []
    try:
        system = list(site.getsitepackages())
    except AttributeError:
        pass
    try:
        system.append(site.getusersitepackages())
    except AttributeError:
        pass
    system = [os.path.normcase(os.path.abspath(p)) for p in system]
    if not system_site:
        sys.path[:] = [p for p in sys.path if not _inside(p, system)]
        site.ENABLE_USER_SITE = False
    # The environment's folder and what its .pth files add go ahead of the
    # system's site folders.
    before = list(sys.path)
    site.addsitedir(site_dir)
    added = [p for p in sys.path[len(before):]]
    if added:
        del sys.path[len(before):]
        at = len(sys.path)
        for i, p in enumerate(sys.path):
            if _inside(p, system):
                at = i
                break
        sys.path[at:at] = added
    sys.prefix = sys.exec_prefix = folder
    found = _interpreter(os.path.join(folder, 'bin'), [version, 'python3', 'python'])
    if found is not None:
        sys.executable = found
)PY";

// The namespace of kEnvironmentSource in the running interpreter, or empty.
HeldPython gHelpers;

// Calls a helper with the arguments Py_BuildValue makes from format; true
// when it returned. A failure leaves Python's error pending.
template <class... A>
bool CallHelper(const char* name, const char* format, A... args) {
  if (!gHelpers.get()) {
    PyObject* helpers = RunPrivateSource(kEnvironmentSource);
    if (!helpers) return false;
    gHelpers.set(helpers);
  }
  if (!EPyDict_GetItemString || !EPyObject_CallObject || !EPy_BuildValue) return false;
  PyObject* function = EPyDict_GetItemString(gHelpers.get(), name);  // borrowed
  if (!function) return false;
  PyRef arguments(EPy_BuildValue(format, args...));
  if (!arguments) return false;
  PyRef result(EPyObject_CallObject(function, arguments.get()));
  return result.get() != nullptr;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = char(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Reads folder/pyvenv.cfg; false when there is none.
bool ReadEnvironment(const std::string& folder, VirtualEnvironment* env) {
  std::string file = folder + "/pyvenv.cfg";
  struct stat info;
  if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  std::ifstream in(file);
  if (!in) return false;
  env->folder = folder;
  std::string line;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = Lower(Trim(line.substr(0, equals)));
    std::string value = Trim(line.substr(equals + 1));
    if (key == "home") {
      env->home = value;
    } else if ((key == "version" || key == "version_info") && env->minor < 0 &&
               value.compare(0, 2, "3.") == 0) {
      char* end = nullptr;
      long minor = strtol(value.c_str() + 2, &end, 10);
      if (end != value.c_str() + 2 && minor >= 0 && minor < 100) env->minor = int(minor);
    } else if (key == "include-system-site-packages") {
      env->systemSitePackages = Lower(value) == "true";
    }
  }
  return true;
}

// The folder's NativePath without a trailing separator; empty when the item
// is not an existing folder.
std::string FolderPath(REALobject folder) {
  int8_t exists = 0, directory = 0;
  if (!folder || !REALGetPropValueBoolean(folder, "Exists", &exists) ||
      !REALGetPropValueBoolean(folder, "Directory", &directory) || !exists || !directory)
    return "";
  REALstring native = nullptr;
  if (!REALGetPropValueString(folder, "NativePath", &native) || !native) return "";
  std::string path;
  {
    HostUTF8 text(native);
    if (text.ok()) path.assign(text.data(), text.size());
  }
  EUnlockString(native);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Applies the chosen environment to the running interpreter.
bool ApplyEnvironment() {
  const VirtualEnvironment& env = gVirtualEnvironment;
  if (env.folder.empty()) return true;
  return CallHelper("use_environment", "(sii)", env.folder.c_str(), env.minor,
                    env.systemSitePackages ? 1 : 0);
}

}  // namespace

void StartAsProgram(REALstring applicationName) {
  if (!PythonRunning() || !EPyUnicode_FromStringAndSize) return;
  {
    HostUTF8 name(applicationName);
    PyObject* text = name.ok()
                         ? EPyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()))
                         : nullptr;
    // A name the host cannot give as UTF-8, or that Python refuses, gives
    // the empty one.
    if (!text) {
      if (EPyErr_Clear) EPyErr_Clear();
      text = EPyUnicode_FromStringAndSize("", 0);
    }
    PyRef argument(text);
    if (!argument || !CallHelper("start", "(O)", argument.get())) {
      if (EPyErr_Clear) EPyErr_Clear();
    }
  }
  // A failure stays pending for GetError: this is the last step of Init.
  ApplyEnvironment();
}

void EnvironmentBeforeFinalize() { ReleaseHeld(gHelpers); }

int8_t Python_UseVirtualEnvironment(REALobject folder) {
  std::string path = FolderPath(folder);
  VirtualEnvironment env;
  if (path.empty() || !ReadEnvironment(path, &env)) return false;
  VirtualEnvironment previous = gVirtualEnvironment;
  gVirtualEnvironment = env;
  if (!PythonRunning()) return true;
  // Reset keeps the environment's sys.path.
  PyRef before(ResetPathNow());
  if (ApplyEnvironment()) {
    ResetPathChanged(before.get());
    return true;
  }
  // Not usable with the running Python: nothing changes.
  gVirtualEnvironment = previous;
  return false;
}
