// Coilwork: the class whose shared methods drive the process's one
// interpreter. This file holds the lifecycle (Init, Finalize), the choice of
// library (SetPythonPath, PythonIsFound), the module search path and import,
// and the class record listing every shared method.
#include <stdlib.h>
#include <wchar.h>

#include <new>
#include <string>

#include "interpreter/interpreter.h"
#include "python/capsules.h"
#include "python/convert.h"

namespace {

// The program name handed to Py_SetProgramName. Older Pythons keep the
// pointer rather than a copy, so the buffer stays alive until a later Init
// hands over another one.
wchar_t* gProgramName;

// Whether an interpreter runs in this process, ours or not.
bool InterpreterRuns() {
  return EPy_IsInitialized ? EPy_IsInitialized() != 0 : gPythonInitialized;
}

// The name's bytes as the host stores them, converted in the current locale.
// A nil or empty name, or one the locale cannot convert, sets no name.
void SetProgramName(REALstring name) {
  if (!name || !EPy_SetProgramName) return;
  size_t length = 0;
  const char* bytes = REALGetStringContents(name, &length);
  if (!bytes || length == 0) return;
  wchar_t* wide = new (std::nothrow) wchar_t[length + 1];
  if (!wide) return;
  // A multibyte text never has more wide characters than bytes, so the
  // terminator always fits.
  if (mbstowcs(wide, bytes, length + 1) == size_t(-1)) {
    delete[] wide;
    return;
  }
  wide[length] = L'\0';
  EPy_SetProgramName(wide);
  delete[] gProgramName;
  gProgramName = wide;
}

// Starts the interpreter unless one runs, and makes its standard output the
// console capture.
void StartInterpreter() {
  if (InterpreterRuns()) return;
  EPy_Initialize();
  static uint32_t started;
  gInterpreterGeneration = ++started;
  initaview();
  gPythonInitialized = true;
  XojoModulesAfterInit();
}

void Python_InitWithName(REALstring applicationName) {
  if (!EnsurePython()) return;
  SetProgramName(applicationName);
  StartInterpreter();
}

void Python_Init() {
  if (EnsurePython()) StartInterpreter();
}

void Python_Finalize() {
  if (!EnsurePython() || !EPy_Finalize || !InterpreterRuns()) return;
  if (EPyErr_Clear) EPyErr_Clear();
  XojoModulesBeforeFinalize();
  EPy_Finalize();
  gPythonInitialized = false;
  gInterpreterGeneration = 0;
  ReleaseCapsulesAfterFinalize();
  XojoModulesAfterFinalize();
  if (REALobject modules = gRegisteredModules) {
    gRegisteredModules = nullptr;
    EUnlockObject(modules);
  }
}

// Names the library file to open instead of the standard names. Only until
// the table is loaded: after that the library can no longer change.
void Python_SetPythonPath(REALobject path) {
  if (gPythonEntryPointsLoaded) return;
  if (REALobject previous = gPythonPath) {
    gPythonPath = nullptr;
    EUnlockObject(previous);
  }
  if (!path) return;
  int8_t exists = 0, directory = 0;
  if (!REALGetPropValueBoolean(path, "Exists", &exists) ||
      !REALGetPropValueBoolean(path, "Directory", &directory))
    return;
  if (!exists || directory) return;
  ELockObject(path);
  gPythonPath = path;
}

int8_t Python_IsFound(int32_t preferredVersion) {
  if (!gPythonEntryPointsLoaded) LoadPythonEntryPoints(preferredVersion);
  return gPythonFound;
}

// Appends the folder's NativePath to sys.path; nothing before Init, when
// there is no sys.path yet.
void Python_AddSearchPath(REALobject folder) {
  if (!folder || !EnsurePython() || !PythonRunning()) return;
  if (!EPySys_GetObject || !EPyList_Append || !EPyUnicode_FromStringAndSize) return;
  REALstring native = nullptr;
  if (!REALGetPropValueString(folder, "NativePath", &native) || !native) return;
  size_t length = 0;
  const char* bytes = REALGetStringContents(native, &length);
  PyObject* path = EPySys_GetObject("path");  // borrowed from sys
  if (bytes && path) {
    PyRef entry(EPyUnicode_FromStringAndSize(bytes, Py_ssize_t(length)));
    if (entry) EPyList_Append(path, entry.get());
  }
  EUnlockString(native);
}

// Imports a module by name: a new Python3Module each call, or nil with
// Python's error pending when the import fails.
REALobject Python_GetModule(REALstring name) {
  if (!EnsurePython() || !PythonRunning()) return nullptr;
  if (!EPyImport_Import || !EPyUnicode_FromStringAndSize) return nullptr;
  PyObject* module = nullptr;
  {
    HostUTF8 text(name);
    if (!text.ok()) return nullptr;
    PyRef pyName(EPyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    if (!pyName) return nullptr;
    module = EPyImport_Import(pyName.get());
  }
  if (!module) return nullptr;
  REALobject instance = NewInstance(PythonModuleClassRef, "Python3Module");
  if (!instance) {
    PyRelease(module);
    return nullptr;
  }
  Python3ObjectData* data = ObjectData(instance);
  if (name) ELockString(name);
  data->name = name;
  data->held.set(module);  // the import's new reference passes to the handle
  return instance;
}

// The start symbols of PyRun_StringFlags.
constexpr int kFileInput = 257;  // a sequence of statements
constexpr int kEvalInput = 258;  // one expression

// Runs code in the namespace of __main__, which lasts until Finalize, and
// answers Python's result (a new reference) or null with the error pending.
// Python takes the code as a C string, so text holding a NUL byte is refused
// as Python's compile() refuses it, rather than run cut short. Null with
// nothing pending when the entries are missing.
PyObject* RunInMain(const HostUTF8& code, int start) {
  if (!EPyImport_AddModule || !EPyModule_GetDict || !EPyRun_StringFlags ||
      !EPyDict_GetItemString || !EPyDict_SetItemString || !EPyImport_Import ||
      !EPyUnicode_FromStringAndSize || !EPyErr_SetString)
    return nullptr;
  std::string text(code.data(), code.size());
  if (text.find('\0') != std::string::npos) {
    if (e__PyExc_ValueError && *e__PyExc_ValueError)
      EPyErr_SetString(*e__PyExc_ValueError, "source code string cannot contain null bytes");
    return nullptr;
  }
  PyObject* main = EPyImport_AddModule("__main__");  // borrowed from sys.modules
  if (!main) return nullptr;
  PyObject* globals = EPyModule_GetDict(main);  // borrowed from the module
  if (!globals) return nullptr;
  // Without __builtins__ in the namespace, older Pythons run the code with
  // builtins that hold only None; code that deleted it gets it back.
  if (!EPyDict_GetItemString(globals, "__builtins__")) {
    PyRef name(EPyUnicode_FromStringAndSize("builtins", 8));
    PyRef builtins(name ? EPyImport_Import(name.get()) : nullptr);
    if (!builtins || EPyDict_SetItemString(globals, "__builtins__", builtins.get()) != 0)
      return nullptr;
  }
  return EPyRun_StringFlags(text.c_str(), start, globals, globals, nullptr);
}

// Runs statements in __main__: true when they ran to the end, false with
// the exception pending when they raised or did not compile. Nil or empty
// code runs nothing.
int8_t Python_Exec(REALstring code) {
  if (!EnsurePython() || !PythonRunning()) return false;
  HostUTF8 text(code);
  if (!text.ok()) return false;
  if (!text.data() || text.size() == 0) return true;
  PyObject* result = RunInMain(text, kFileInput);
  if (!result) return false;
  PyRelease(result);
  return true;
}

// Evaluates one expression in __main__: a new Python3Result, or nil with
// the exception pending. Nil or empty text evaluates nothing (nil).
REALobject Python_Eval(REALstring expression) {
  if (!EnsurePython() || !PythonRunning()) return nullptr;
  HostUTF8 text(expression);
  if (!text.ok() || !text.data() || text.size() == 0) return nullptr;
  PyObject* value = RunInMain(text, kEvalInput);
  if (!value) return nullptr;
  REALobject result = NewInstance(PythonResultClassRef, "Python3Result");
  if (!result) {
    PyRelease(value);
    return nullptr;
  }
  Data<ResultData>(result, PythonResultClass)->held.set(value);  // the reference passes
  return result;
}

REALconstant CoilworkConstants[] = {
    {"PY_NO_ERROR = 0", {}},
    {"PY_ERROR_COULD_NOT_CONVERT = 1", {}},
    {"PY_ERROR_INDEX_OUT_OF_BOUNDS = 2", {}},
    {"PY_NIL_PARAM_ERROR = 3", {}},
};

const char* PreferredVersionEntries[] = {
    "PREFERRED_VERSION_LATESTKNOWN = 0", "PREFERRED_VERSION_3_4_X = 1",
    "PREFERRED_VERSION_3_5_X = 2",       "PREFERRED_VERSION_3_6_X = 3",
    "PREFERRED_VERSION_3_7_X = 4",       "PREFERRED_VERSION_3_8_X = 5",
    "PREFERRED_VERSION_3_9_X = 6",       "PREFERRED_VERSION_3_10_X = 7",
    "PREFERRED_VERSION_3_11_X = 8",      "PREFERRED_VERSION_3_12_X = 9",
    "PREFERRED_VERSION_3_13_X = 10",
};

REALenum CoilworkEnums[] = {
    {"PreferredVersionValues", "Integer", REALenumFlag, PreferredVersionEntries,
     sizeof(PreferredVersionEntries) / sizeof(PreferredVersionEntries[0]), 0, 0},
};

REALmethodDefinition CoilworkSharedMethods[] = {
    {FN(Python_InitWithName), nullptr, "Init(applicationName as String)", REALmemberFlag, 0, 0},
    {FN(Python_Init), nullptr, "Init()", REALmemberFlag, 0, 0},
    {FN(Python_Finalize), nullptr, "Finalize()", REALmemberFlag, 0, 0},
    {FN(Python_SetConsoleOutput), nullptr, "SetConsoleOutput(output as CoilworkConsoleOutput)",
     REALmemberFlag, 0, 0},
    {FN(Python_AddSearchPath), nullptr, "AddSearchPath(f as FolderItem)", REALmemberFlag, 0, 0},
    {FN(Python_GetModule), nullptr, "GetModule(name as String) as Python3Module", REALmemberFlag,
     0, 0},
    {FN(Python_ErrorOccurred), nullptr, "ErrorOccurred() as Boolean", REALmemberFlag, 0, 0},
    {FN(Python_GetError), nullptr, "GetError() as String", REALmemberFlag, 0, 0},
    {FN(Python_ClearError), nullptr, "ClearError()", REALmemberFlag, 0, 0},
    {FN(Python_RegisterXojoModule), nullptr,
     "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)",
     REALmemberFlag, 0, 0},
    {FN(Python_SetTypeError), nullptr, "SetError(errorType as Integer, message as String)",
     REALmemberFlag, 0, 0},
    {FN(Python_IsFound), nullptr,
     "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
     "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean",
     REALmemberFlag, 0, 0},
    {FN(Python_SetPythonPath), nullptr, "SetPythonPath(path as FolderItem)", REALmemberFlag, 0, 0},
    {FN(Python_Exec), nullptr, "Exec(code as String) as Boolean", REALmemberFlag, 0, 0},
    {FN(Python_Eval), nullptr, "Eval(expression as String) as Python3Result", REALmemberFlag, 0,
     0},
    {FN(Python_GetErrorType), nullptr, "GetErrorType() as String", REALmemberFlag, 0, 0},
    {FN(Python_GetErrorTraceback), nullptr, "GetErrorTraceback() as String", REALmemberFlag, 0,
     0},
    {FN(Python_ErrorMatches), nullptr, "ErrorMatches(errorType as Integer) as Boolean",
     REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition CoilworkClass = CLASS_RECORD(
    "Coilwork", nullptr, 1,
    nullptr, nullptr,
    NO_TABLE, NO_TABLE, NO_TABLE,
    CLASS_TABLE(CoilworkConstants), CLASS_TABLE(CoilworkSharedMethods), CLASS_TABLE(CoilworkEnums));
