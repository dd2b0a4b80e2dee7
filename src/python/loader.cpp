// The Python entry-point table and its loader: finds a libpython, opens it
// with the dynamic loader and binds every C-API function and object the
// plugin uses. Nothing here calls Python except Py_GetVersion, which only
// formats constants and is safe before the interpreter starts.
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "binding/resolver.h"
#include "python/layouts.h"
#include "python/loader.h"
#include "python/pyapi.h"

#define COILWORK_DEFINE_PY_FUNCTION(ret, name, params) ret(*E##name) params;
COILWORK_PY_FUNCTIONS(COILWORK_DEFINE_PY_FUNCTION)
COILWORK_PY_HOME_FUNCTIONS(COILWORK_DEFINE_PY_FUNCTION)
#undef COILWORK_DEFINE_PY_FUNCTION
#define COILWORK_DEFINE_PY_TYPE(name) PyTypeObject* e__##name;
COILWORK_PY_TYPES(COILWORK_DEFINE_PY_TYPE)
#undef COILWORK_DEFINE_PY_TYPE
#define COILWORK_DEFINE_PY_EXC(name) PyObject** e__##name;
COILWORK_PY_EXCEPTIONS(COILWORK_DEFINE_PY_EXC)
COILWORK_PY_MORE_EXCEPTIONS(COILWORK_DEFINE_PY_EXC)
#undef COILWORK_DEFINE_PY_EXC
PyObject* e___Py_TrueStruct;
PyObject* e___Py_FalseStruct;
PyObject* e___Py_NoneStruct;

void* PythonDLLHandle;
bool gPythonFound;
bool gPythonEntryPointsLoaded;
bool gPythonInitialized;
wchar_t* gPythonHome;
bool gPythonInPlace = true;
bool gStatesStayOnTheirThread = false;
bool gImmortalObjects = false;
bool gVectorcallInPlace = false;
size_t gTupleItemsOffset = sizeof(PyTupleObject);
bool gTupleHashCached = false;
PyTypeObject* gKeptTupleType = nullptr;
uint32_t gInterpreterGeneration;
REALobject gPythonPath;
VirtualEnvironment gVirtualEnvironment;
std::vector<LoaderAttempt> gLoaderAttempts;

PlatformLoader gPlatform = {dlopen, dlsym, dlerror, dlclose, puts};

namespace {

constexpr int kOpenFlags = RTLD_LAZY | RTLD_GLOBAL;  // 0x101

// The standard library file names, newest first, each with the preference
// value that names its version. Python 3.8 dropped the "m" from the name;
// 3.8 is tried under its own name first and then under the old one, which
// some builds still use.
struct Library {
  int32_t preference;
  const char* file;
};
constexpr Library kLibraries[] = {
    {12, "libpython3.15.so.1.0"}, {11, "libpython3.14.so.1.0"}, {10, "libpython3.13.so.1.0"},
    {9, "libpython3.12.so.1.0"},  {8, "libpython3.11.so.1.0"},  {7, "libpython3.10.so.1.0"},
    {6, "libpython3.9.so.1.0"},   {5, "libpython3.8.so.1.0"},   {5, "libpython3.8m.so.1.0"},
    {4, "libpython3.7m.so.1.0"},  {3, "libpython3.6m.so.1.0"},  {2, "libpython3.5m.so.1.0"},
    {1, "libpython3.4m.so.1.0"},
};
constexpr int32_t kNewestPreference = 12;

// Minor versions newer than the plugin knows, tried after every known one:
// a Python of a year or a few to come, whose layouts the load-time checks
// judge.
constexpr int kNewerMinors = 8;

const char kNoLibrary[] =
    "Could not load libpython3.4m.so, libpython3.5m.so, libpython3.6m.so, libpython3.7m.so, "
    "libpython3.8.so, libpython3.9.so, libpython3.10.so, libpython3.11.so, libpython3.12.so, "
    "libpython3.13.so, libpython3.14.so, libpython3.15.so or a newer libpython3.N.so";

// Every slot back to null, so that nothing from an earlier attempt (whose
// library may be closed) can be called.
void ClearTable() {
#define CLEAR_FUNCTION(ret, name, params) E##name = nullptr;
  COILWORK_PY_FUNCTIONS(CLEAR_FUNCTION)
  COILWORK_PY_HOME_FUNCTIONS(CLEAR_FUNCTION)
#undef CLEAR_FUNCTION
#define CLEAR_DATA(name) e__##name = nullptr;
  COILWORK_PY_TYPES(CLEAR_DATA)
  COILWORK_PY_EXCEPTIONS(CLEAR_DATA)
  COILWORK_PY_MORE_EXCEPTIONS(CLEAR_DATA)
#undef CLEAR_DATA
  e___Py_TrueStruct = nullptr;
  e___Py_FalseStruct = nullptr;
  e___Py_NoneStruct = nullptr;
  gVectorcallInPlace = false;
  gKeptTupleType = nullptr;
  gStatesStayOnTheirThread = false;
  gImmortalObjects = false;
}

// One symbol lookup. The loader's error state is cleared before the lookup,
// so what *failed reports concerns this lookup alone; a null address counts
// as a failure too, since it could never be called.
void* Lookup(void* handle, const char* name, bool* failed = nullptr) {
  gPlatform.error();
  void* address = gPlatform.sym(handle, name);
  bool error = gPlatform.error() != nullptr;
  if (failed) *failed = error || !address;
  return error ? nullptr : address;
}

// What a failed open means, in plain words.
std::string FailureOf(const char* error) {
  if (!error) return "not loaded";
  std::string text = error;
  if (text.find("No such file") != std::string::npos) return "not found";
  if (text.find("wrong ELF class") != std::string::npos ||
      text.find("ELF file's machine") != std::string::npos ||
      text.find("wrong machine") != std::string::npos)
    return "wrong architecture for this plugin (" + text + ")";
  return "not loaded (" + text + ")";
}

// One open, recorded with its outcome.
void* Open(const char* file) {
  gPlatform.error();
  void* handle = gPlatform.open(file, kOpenFlags);
  gLoaderAttempts.push_back({file, handle ? "loaded" : FailureOf(gPlatform.error())});
  return handle;
}

void* OpenStandardLibrary(int32_t preferredVersion) {
  if (preferredVersion >= 1 && preferredVersion <= kNewestPreference) {
    for (const Library& library : kLibraries) {
      if (library.preference != preferredVersion) continue;
      if (void* handle = Open(library.file)) return handle;
    }
  }
  for (const Library& library : kLibraries) {
    if (void* handle = Open(library.file)) return handle;
  }
  for (int minor = kNewestKnownMinor + 1; minor <= kNewestKnownMinor + kNewerMinors; ++minor) {
    std::string file = "libpython3." + std::to_string(minor) + ".so.1.0";
    if (void* handle = Open(file.c_str())) return handle;
  }
  gPlatform.puts(kNoLibrary);
  return nullptr;
}

// --- FolderItem access. Each getter returns one host reference or nil.

REALstring StringProperty(REALobject item, const char* name) {
  REALstring value = nullptr;
  if (!item || !REALGetPropValueString(item, name, &value)) return nullptr;
  return value;
}

// The item's NativePath as UTF-8 bytes; false when it cannot be had.
bool NativePathUTF8(REALobject item, std::string* path) {
  REALstring native = StringProperty(item, "NativePath");
  if (!native) return false;
  REALstringData data{};
  bool ok = REALGetStringData(native, kREALTextEncodingUTF8, &data) != 0;
  if (ok) {
    path->assign(static_cast<const char*>(data.data), data.length);
    REALDisposeStringData(&data);
  }
  EUnlockString(native);
  return ok && !path->empty();
}

// --- Paths.

std::string ParentPath(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "";
  size_t slash = path.find_last_of('/', end);
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "";
  size_t slash = path.find_last_of('/', end);
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end + 1 - start);
}

// The minor version of the opened library ("3.11.4 (main, ...)" gives 11),
// or -1 when it cannot be told.
int LibraryMinor(void* handle) {
  auto getVersion = reinterpret_cast<const char* (*)(void)>(Lookup(handle, "Py_GetVersion"));
  const char* version = getVersion ? getVersion() : nullptr;
  if (!version || strncmp(version, "3.", 2) != 0) return -1;
  char* end = nullptr;
  long minor = strtol(version + 2, &end, 10);
  return end != version + 2 && minor >= 0 && minor < 100 ? int(minor) : -1;
}

// True when the folder at path holds the standard library of Python 3.minor.
bool HoldsStandardLibrary(const std::string& path, int minor) {
  std::string file = path;
  if (file.back() != '/') file += '/';
  file += "lib/python3." + std::to_string(minor) + "/os.py";
  struct stat info;
  return stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Hands Python the home of a library opened by path. A library without
// Py_DecodeLocale (3.4) or Py_SetPythonHome is used without one.
void HandOverHome(void* handle, const std::string& library) {
#define BIND_HOME(ret, name, params) \
  E##name = reinterpret_cast<ret(*) params>(Lookup(handle, #name));
  COILWORK_PY_HOME_FUNCTIONS(BIND_HOME)
#undef BIND_HOME
  if (!EPy_SetPythonHome || !EPy_DecodeLocale || gPythonHome) return;
  int minor = LibraryMinor(handle);
  std::string home;
  if (minor < 0 || !FindPythonHome(library, minor, &home)) {
    if (!gLoaderAttempts.empty())
      gLoaderAttempts.back().outcome += ", but no standard library found beside it";
    return;
  }
  wchar_t* decoded = EPy_DecodeLocale(home.c_str(), nullptr);
  if (!decoded) return;
  // Python keeps the pointer: the decoded home lives for the process.
  gPythonHome = decoded;
  EPy_SetPythonHome(gPythonHome);
}

// The library of a virtual environment's base interpreter: PREFIX/lib or
// the multiarch folder below it, where PREFIX is the parent of "home".
#if defined(__x86_64__)
const char kMultiarch[] = "x86_64-linux-gnu";
#elif defined(__aarch64__)
const char kMultiarch[] = "aarch64-linux-gnu";
#elif defined(__arm__)
const char kMultiarch[] = "arm-linux-gnueabihf";
#elif defined(__i386__)
const char kMultiarch[] = "i386-linux-gnu";
#else
const char kMultiarch[] = "";
#endif

void* OpenEnvironmentBase(std::string* opened) {
  const VirtualEnvironment& env = gVirtualEnvironment;
  if (env.folder.empty() || env.home.empty() || env.minor < 0) return nullptr;
  std::string prefix = ParentPath(env.home);
  if (prefix.empty()) return nullptr;
  if (prefix != "/") prefix += '/';
  std::string version = "3." + std::to_string(env.minor);
  std::vector<std::string> names = {"libpython" + version + ".so.1.0"};
  if (env.minor <= 8) names.push_back("libpython" + version + "m.so.1.0");
  std::vector<std::string> folders = {prefix + "lib/"};
  if (*kMultiarch) folders.push_back(prefix + "lib/" + kMultiarch + "/");
  for (const std::string& folder : folders) {
    for (const std::string& name : names) {
      std::string file = folder + name;
      if (void* handle = Open(file.c_str())) {
        *opened = file;
        return handle;
      }
    }
  }
  return nullptr;
}

// Exported only by builds that trace references (Py_TRACE_REFS): two more
// pointers head every object, so no object, type or module definition is
// laid out as this plugin reads and writes them. (_Py_ForgetReference is no
// such sign: 3.14 exports it from every build.)
constexpr const char* kTracingMarkers[] = {"_Py_PrintReferenceAddresses", "_Py_PrintReferences",
                                           "_Py_AddToAllObjects"};
// Exported only by builds that count references for debugging (Py_REF_DEBUG,
// part of every debug build): objects are laid out as in a release build.
constexpr const char* kCountingMarkers[] = {"_Py_RefTotal", "_Py_GetRefTotal",
                                            "_Py_GetGlobalRefTotal", "_Py_NegativeRefcount"};

const char kTracingRefused[] =
    "This Python was built with reference tracing (Py_TRACE_REFS): its objects are laid out "
    "differently, and Coilwork cannot use it";

bool ExportsAny(void* handle, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (Lookup(handle, names[i])) return true;
  return false;
}

// A required symbol is missing: the library is of no use.
int Abandon(void* handle, const char* message) {
  gPlatform.puts(message);
  if (!gLoaderAttempts.empty())
    gLoaderAttempts.back().outcome = "loaded, but unusable: " + std::string(message);
  ClearTable();
  gPlatform.close(handle);
  return 0;
}

// The size of the library's object at address, as its symbol table gives
// it, when address is the start of the exported symbol name; false when the
// library cannot tell (then no layout is checked).
bool SymbolSize(const void* address, const char* name, size_t* size) {
  Dl_info info;
  void* entry = nullptr;
  if (!address || !dladdr1(address, &info, &entry, RTLD_DL_SYMENT) || !entry || !info.dli_sname ||
      info.dli_saddr != address || strcmp(info.dli_sname, name) != 0)
    return false;
  *size = static_cast<const ElfW(Sym)*>(entry)->st_size;
  return true;
}

// Checks the layouts the plugin reads directly against the library's own
// objects, and sets what follows from them. False when the library is
// refused; the reason is printed.
bool CheckLibraryLayouts(void* handle, int minor) {
  gLayoutChecks.clear();
  gTupleItemsOffset = sizeof(PyTupleObject);
  gTupleHashCached = false;
  LayoutFacts facts;
  facts.minor = minor;
  facts.tupleType = e__PyTuple_Type;
  facts.typeType = Lookup(handle, "PyType_Type");
  facts.listType = e__PyList_Type;
  facts.none = e___Py_NoneStruct;
  size_t size = 0;
  if (!SymbolSize(facts.tupleType, "PyTuple_Type", &size)) {
    // Only a stand-in library can hide where its own objects lie; its
    // version's layout is taken as it is.
    gLayoutChecks.push_back({"layouts", "", true, "not checked: the library's objects cannot be located"});
    if (size_t known = KnownTupleItems(minor)) {
      gTupleItemsOffset = known;
      gTupleHashCached = known > sizeof(PyTupleObject);
    }
    return true;
  }
  facts.tupleTypeSize = size;
  LayoutVerdict verdict = CheckLayouts(facts);
  gLayoutChecks = verdict.checks;
  if (!verdict.usable) {
    gPlatform.puts(verdict.refusal.c_str());
    return false;
  }
  gTupleItemsOffset = verdict.tupleItemsOffset;
  gTupleHashCached = verdict.tupleHashCached;
  if (!verdict.inPlace) gPythonInPlace = false;
  return true;
}

}  // namespace

bool FindPythonHome(const std::string& library, int minor, std::string* home) {
  std::string folder = ParentPath(library);
  if (folder.empty()) return false;
  std::string candidates[2];
  if (BaseName(folder) == "lib") {
    candidates[0] = ParentPath(folder);
  } else {
    candidates[0] = folder;
    if (BaseName(ParentPath(folder)) == "lib") candidates[1] = ParentPath(ParentPath(folder));
  }
  for (const std::string& candidate : candidates) {
    if (!candidate.empty() && HoldsStandardLibrary(candidate, minor)) {
      *home = candidate;
      return true;
    }
  }
  return false;
}

int LoadPythonEntryPoints(int32_t preferredVersion) {
  if (gPythonEntryPointsLoaded) return 1;
  PythonDLLHandle = nullptr;
  ClearTable();

  gLoaderAttempts.clear();
  // A library named by path (SetPythonPath, then $COILWORK_PYTHON) is the
  // only one tried; otherwise a virtual environment's base library comes
  // before the standard names.
  void* handle = nullptr;
  std::string path;
  const char* fromEnvironment = getenv("COILWORK_PYTHON");
  if (gPythonPath) {
    if (NativePathUTF8(gPythonPath, &path)) handle = Open(path.c_str());
  } else if (fromEnvironment && *fromEnvironment) {
    path = fromEnvironment;
    handle = Open(path.c_str());
    if (!handle) gPlatform.puts(("Could not load " + path + " (named by COILWORK_PYTHON)").c_str());
  } else {
    handle = OpenEnvironmentBase(&path);
    if (!handle) {
      path.clear();
      handle = OpenStandardLibrary(preferredVersion);
    }
  }
  if (!handle) return 0;
  gPythonFound = true;

  bool failed = false;
  EPy_Initialize = reinterpret_cast<void (*)(void)>(Lookup(handle, "Py_Initialize", &failed));
  if (failed) return Abandon(handle, "Coult not load symbol");

#define BIND_FUNCTION(ret, name, params) \
  if (!E##name) E##name = reinterpret_cast<ret(*) params>(Lookup(handle, #name));
  COILWORK_PY_FUNCTIONS(BIND_FUNCTION)
#undef BIND_FUNCTION

  e___Py_TrueStruct = static_cast<PyObject*>(Lookup(handle, "_Py_TrueStruct", &failed));
  if (failed) return Abandon(handle, "Coult not dlsym_errorload symbol _Py_TrueStruct");
  e___Py_FalseStruct = static_cast<PyObject*>(Lookup(handle, "_Py_FalseStruct", &failed));
  if (failed) return Abandon(handle, "Coult not dlsym_errorload symbol _Py_FalseStruct");

  e___Py_NoneStruct = static_cast<PyObject*>(Lookup(handle, "_Py_NoneStruct"));

  // A build whose objects are laid out differently is refused before
  // anything of it is used; PythonIsFound answers false.
  if (ExportsAny(handle, kTracingMarkers, sizeof kTracingMarkers / sizeof *kTracingMarkers)) {
    Abandon(handle, kTracingRefused);
    gPythonFound = false;
    return 0;
  }
  gPythonInPlace =
      !ExportsAny(handle, kCountingMarkers, sizeof kCountingMarkers / sizeof *kCountingMarkers);
  const int minor = LibraryMinor(handle);
  gStatesStayOnTheirThread = !gPythonInPlace && minor >= 12;

#define BIND_TYPE(name) e__##name = static_cast<PyTypeObject*>(Lookup(handle, #name));
  COILWORK_PY_TYPES(BIND_TYPE)
#undef BIND_TYPE
  // What the plugin reads in place is checked against the library itself;
  // a library laid out otherwise is refused before anything of it runs.
  if (!CheckLibraryLayouts(handle, minor)) {
    if (!gLoaderAttempts.empty())
      gLoaderAttempts.back().outcome = "loaded, but refused: its layout checks failed";
    ClearTable();
    gPlatform.close(handle);
    gPythonFound = false;
    return 0;
  }
  gVectorcallInPlace = gPythonInPlace && EPyObject_VectorcallMethod != nullptr;
  gImmortalObjects = gPythonInPlace && minor >= 12;
  gKeptTupleType =
      gPythonInPlace && EPyObject_GC_IsTracked && EPyObject_GC_Track ? e__PyTuple_Type : nullptr;
#define BIND_EXC(name) e__##name = static_cast<PyObject**>(Lookup(handle, #name));
  COILWORK_PY_EXCEPTIONS(BIND_EXC)
  COILWORK_PY_MORE_EXCEPTIONS(BIND_EXC)
#undef BIND_EXC

  // The home is handed over only once the library is known to be usable.
  if (!path.empty()) HandOverHome(handle, path);

  PythonDLLHandle = handle;
  gPythonEntryPointsLoaded = true;
  return 1;
}

bool EnsurePython() {
  if (!gPythonEntryPointsLoaded) LoadPythonEntryPoints(0);
  return gPythonEntryPointsLoaded;
}
