// The Python entry-point table and its loader: finds a libpython, opens it
// with the dynamic loader and binds every C-API function and object the
// plugin uses. Nothing here calls Python except Py_GetVersion, which only
// formats constants and is safe before the interpreter starts.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "plugin/plugin.h"

#define COILWORK_DEFINE_PY_FUNCTION(ret, name, params) ret(*E##name) params;
COILWORK_PY_FUNCTIONS(COILWORK_DEFINE_PY_FUNCTION)
COILWORK_PY_HOME_FUNCTIONS(COILWORK_DEFINE_PY_FUNCTION)
#undef COILWORK_DEFINE_PY_FUNCTION
#define COILWORK_DEFINE_PY_TYPE(name) PyTypeObject* e__##name;
COILWORK_PY_TYPES(COILWORK_DEFINE_PY_TYPE)
#undef COILWORK_DEFINE_PY_TYPE
#define COILWORK_DEFINE_PY_EXC(name) PyObject** e__##name;
COILWORK_PY_EXCEPTIONS(COILWORK_DEFINE_PY_EXC)
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
uint32_t gInterpreterGeneration;

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
    {10, "libpython3.13.so.1.0"}, {9, "libpython3.12.so.1.0"}, {8, "libpython3.11.so.1.0"},
    {7, "libpython3.10.so.1.0"},  {6, "libpython3.9.so.1.0"},  {5, "libpython3.8.so.1.0"},
    {5, "libpython3.8m.so.1.0"},  {4, "libpython3.7m.so.1.0"}, {3, "libpython3.6m.so.1.0"},
    {2, "libpython3.5m.so.1.0"},  {1, "libpython3.4m.so.1.0"},
};

const char kNoLibrary[] =
    "Could not load libpython3.4m.so, libpython3.5m.so, libpython3.6m.so, libpython3.7m.so, "
    "libpython3.8.so, libpython3.9.so, libpython3.10.so, libpython3.11.so, libpython3.12.so or "
    "libpython3.13.so";

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
#undef CLEAR_DATA
  e___Py_TrueStruct = nullptr;
  e___Py_FalseStruct = nullptr;
  e___Py_NoneStruct = nullptr;
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

void* OpenStandardLibrary(int32_t preferredVersion) {
  if (preferredVersion >= 1 && preferredVersion <= 10) {
    for (const Library& library : kLibraries) {
      if (library.preference != preferredVersion) continue;
      if (void* handle = gPlatform.open(library.file, kOpenFlags)) return handle;
    }
  }
  for (const Library& library : kLibraries) {
    if (void* handle = gPlatform.open(library.file, kOpenFlags)) return handle;
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

REALobject ObjectProperty(REALobject item, const char* name) {
  REALobject value = nullptr;
  if (!item || !REALGetPropValueObject(item, name, &value)) return nullptr;
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

bool IsNamedLib(REALobject folder) {
  REALstring name = StringProperty(folder, "Name");
  if (!name) return false;
  REALstring lib = REALBuildStringWithEncoding("lib", 3, kREALTextEncodingASCII);
  bool equal = lib && REALCompareStrings(name, lib) == 0;
  EUnlockString(lib);
  EUnlockString(name);
  return equal;
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

// The Python home for the library in gPythonPath: the prefix whose
// lib/python3.X holds the standard library. The library usually sits in
// PREFIX/lib (the folder named "lib" gives its parent), or in PREFIX itself,
// or in a multiarch folder PREFIX/lib/<triplet>. False when no candidate
// holds the standard library: Python is then left to find its own.
bool FindHome(int minor, std::string* home) {
  REALobject folder = ObjectProperty(gPythonPath, "Parent");
  if (!folder) return false;
  REALobject candidates[2] = {nullptr, nullptr};
  REALobject parent = ObjectProperty(folder, "Parent");
  if (IsNamedLib(folder)) {
    candidates[0] = parent;
    parent = nullptr;
  } else {
    ELockObject(folder);
    candidates[0] = folder;
    if (parent && IsNamedLib(parent)) candidates[1] = ObjectProperty(parent, "Parent");
  }
  bool found = false;
  for (REALobject candidate : candidates) {
    std::string path;
    if (!found && candidate && NativePathUTF8(candidate, &path) &&
        HoldsStandardLibrary(path, minor)) {
      *home = path;
      found = true;
    }
  }
  for (REALobject candidate : candidates) {
    if (candidate) EUnlockObject(candidate);
  }
  if (parent) EUnlockObject(parent);
  EUnlockObject(folder);
  return found;
}

// Hands Python the home of a library chosen by path. A library without
// Py_DecodeLocale (3.4) or Py_SetPythonHome is used without one.
void HandOverHome(void* handle) {
#define BIND_HOME(ret, name, params) \
  E##name = reinterpret_cast<ret(*) params>(Lookup(handle, #name));
  COILWORK_PY_HOME_FUNCTIONS(BIND_HOME)
#undef BIND_HOME
  if (!EPy_SetPythonHome || !EPy_DecodeLocale || gPythonHome) return;
  int minor = LibraryMinor(handle);
  std::string home;
  if (minor < 0 || !FindHome(minor, &home)) return;
  wchar_t* decoded = EPy_DecodeLocale(home.c_str(), nullptr);
  if (!decoded) return;
  // Python keeps the pointer: the decoded home lives for the process.
  gPythonHome = decoded;
  EPy_SetPythonHome(gPythonHome);
}

// Exported only by builds that trace references (Py_TRACE_REFS): two more
// pointers head every object, so no object, type or module definition is
// laid out as this plugin reads and writes them.
constexpr const char* kTracingMarkers[] = {"_Py_PrintReferenceAddresses", "_Py_PrintReferences",
                                           "_Py_AddToAllObjects", "_Py_ForgetReference"};
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
  ClearTable();
  gPlatform.close(handle);
  return 0;
}

}  // namespace

int LoadPythonEntryPoints(int32_t preferredVersion) {
  if (gPythonEntryPointsLoaded) return 1;
  PythonDLLHandle = nullptr;
  ClearTable();

  void* handle = nullptr;
  if (gPythonPath) {
    std::string path;
    if (NativePathUTF8(gPythonPath, &path)) handle = gPlatform.open(path.c_str(), kOpenFlags);
  } else {
    handle = OpenStandardLibrary(preferredVersion);
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

#define BIND_TYPE(name) e__##name = static_cast<PyTypeObject*>(Lookup(handle, #name));
  COILWORK_PY_TYPES(BIND_TYPE)
#undef BIND_TYPE
#define BIND_EXC(name) e__##name = static_cast<PyObject**>(Lookup(handle, #name));
  COILWORK_PY_EXCEPTIONS(BIND_EXC)
#undef BIND_EXC

  // The home is handed over only once the library is known to be usable.
  if (gPythonPath) HandOverHome(handle);

  PythonDLLHandle = handle;
  gPythonEntryPointsLoaded = true;
  return 1;
}

bool EnsurePython() {
  if (!gPythonEntryPointsLoaded) LoadPythonEntryPoints(0);
  return gPythonEntryPointsLoaded;
}
