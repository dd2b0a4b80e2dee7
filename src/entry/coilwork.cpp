// Coilwork: the class whose shared methods drive the process's one
// interpreter. This file holds the lifecycle (Init, Finalize), the choice of
// library (SetPythonPath, PythonIsFound), the module search path and import,
// and the class record listing every shared method.
#include <stdlib.h>
#include <wchar.h>

#include <new>
#include <string>

#include "convert/block_views.h"
#include "convert/capsules.h"
#include "convert/convert.h"
#include "entry/entry.h"
#include "extension/extension.h"
#include "interpreter/home_calls.h"
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "interpreter/interrupt.h"
#include "plugin/output_queue.h"
#include "values/holders.h"
#include "values/parameters.h"

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

// Starts the interpreter unless one runs, makes its standard output the
// console capture, and gives it what a program of its own has (sys.argv,
// sys.executable, the virtual environment).
void StartInterpreter(REALstring applicationName) {
  if (InterpreterRuns()) return;
  EPy_Initialize();
  ThreadsAfterInit();
  HomeCallsAfterInit();
  gPythonInitialized = true;
  gInterpreterGeneration = NewGeneration();  // never 0, which means that none runs
  IntsAfterInit();
  KeptTuplesAfterInit();
  initaview();
  ApplyErrorOutput();
  XojoModulesAfterInit();
  StartAsProgram(applicationName);
  ResetAfterInit();
}

void Python_InitWithName(REALstring applicationName) {
  if (!EnsurePython()) return;
  SetProgramName(applicationName);
  StartInterpreter(applicationName);
}

void Python_Init() {
  if (EnsurePython()) StartInterpreter(nullptr);
}

void Python_Finalize() {
  if (!EnsurePython() || !EPy_Finalize || !InterpreterRuns()) return;
  // Host code that a Python thread's call runs: the thread waits for it, and
  // Finalize would wait for the thread for ever.
  if (HomeCallRunning()) return;
  if (!CloseSubInterpretersBeforeFinalize()) return;
  InterruptBeforeFinalize();
  if (EPyErr_Clear) EPyErr_Clear();
  HomeCallsBeforeFinalize();
  XojoModulesBeforeFinalize();
  ConsoleBeforeFinalize();
  EnvironmentBeforeFinalize();
  ResetBeforeFinalize();
  KeptTuplesBeforeFinalize();
  ThreadsBeforeFinalize();
  EPy_Finalize();
  gInterpreterGeneration = 0;
  gPythonInitialized = false;
  ReleaseCapsulesAfterFinalize();
  ReleaseBlockViewsAfterFinalize();
  XojoModulesAfterFinalize();
  if (REALobject modules = gRegisteredModules) {
    gRegisteredModules = nullptr;
    EUnlockObject(modules);
  }
  // What C code and Python wrote to descriptors 1 and 2 up to here.
  TakeProcessOutput();
  ThreadsAfterFinalize();
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
    if (entry && EPyList_Append(path, entry.get()) == 0) ResetKeepsPath(entry.get());
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
  return NewResultHandle(RunInMain(text, kEvalInput));
}

REALconstant CoilworkConstants[] = {
    {DOC("PY_NO_ERROR = 0", "LastError: no error.", ""), {}},
    {DOC("PY_ERROR_COULD_NOT_CONVERT = 1", "LastError: the value could not be made a Python object.", ""), {}},
    {DOC("PY_ERROR_INDEX_OUT_OF_BOUNDS = 2", "LastError: the index is outside the tuple.", ""), {}},
    {DOC("PY_NIL_PARAM_ERROR = 3", "LastError: a nil holder was given.", ""), {}},
};

const char* PreferredVersionEntries[] = {
    "PREFERRED_VERSION_LATESTKNOWN = 0", "PREFERRED_VERSION_3_4_X = 1",
    "PREFERRED_VERSION_3_5_X = 2",       "PREFERRED_VERSION_3_6_X = 3",
    "PREFERRED_VERSION_3_7_X = 4",       "PREFERRED_VERSION_3_8_X = 5",
    "PREFERRED_VERSION_3_9_X = 6",       "PREFERRED_VERSION_3_10_X = 7",
    "PREFERRED_VERSION_3_11_X = 8",      "PREFERRED_VERSION_3_12_X = 9",
    "PREFERRED_VERSION_3_13_X = 10",     "PREFERRED_VERSION_3_14_X = 11",
    "PREFERRED_VERSION_3_15_X = 12",
};

REALenum CoilworkEnums[] = {
    {DOC("PreferredVersionValues", "The Python version PythonIsFound tries first; 0 tries the newest known first (3.15), then a newer one.", ""), "Integer", REALenumFlag, PreferredVersionEntries,
     sizeof(PreferredVersionEntries) / sizeof(PreferredVersionEntries[0]), 0, 0},
};

REALmethodDefinition CoilworkSharedMethods[] = {
    {FN(Python_InitWithName), nullptr, DOC("Init(applicationName as String)", "Starts the interpreter with the application's name as its program name, installs the console capture and makes registered host modules importable.", "Nil name: starts without a program name. No library: nothing. An interpreter already running: nothing."), REALmemberFlag, 0, 0},
    {FN(Python_Init), nullptr, DOC("Init()", "Starts the interpreter, installs the console capture and makes registered host modules importable.", "No library: nothing. An interpreter already running: nothing."), REALmemberFlag, 0, 0},
    {FN(Python_Finalize), nullptr, DOC("Finalize()", "Closes every sub-interpreter, then stops the interpreter, after waiting for Python's non-daemon threads (serving their host calls); capsules Python still holds give their host references back; handles of this interpreter answer as empty ones afterwards.", "No interpreter: nothing. Called from host code that a Python thread's call runs: nothing. A sub-interpreter that cannot be closed now (a call runs in it, or daemon threads of its own): nothing, RuntimeError pending."), REALmemberFlag, 0, 0},
    {FN(Python_SetConsoleOutput), nullptr, DOC("SetConsoleOutput(output as CoilworkConsoleOutput)", "Chooses the receiver of everything Python writes to sys.stdout, one ConsoleOutput event per write; holds across Finalize and Init.", "Nil: output is dropped."),
     REALmemberFlag, 0, 0},
    {FN(Python_AddSearchPath), nullptr, DOC("AddSearchPath(f as FolderItem)", "Appends the folder's native path to sys.path.", "Nil, or no interpreter: nothing (not remembered for the next Init)."), REALmemberFlag, 0, 0},
    {FN_PY(Python_GetModule), nullptr, DOC("GetModule(name as String) as Python3Module", "Imports a module by name and returns a new handle on it.", "Nil name: error pending (ValueError). Import failure: nil, error pending. Text not UTF-8: nil. No interpreter: neutral."), REALmemberFlag,
     0, 0},
    {FN(Python_ErrorOccurred), nullptr, DOC("ErrorOccurred() as Boolean", "Whether a Python error is pending; leaves it pending.", "No interpreter: neutral."), REALmemberFlag, 0, 0},
    {FN(Python_GetError), nullptr, DOC("GetError() as String", "The pending error's message (str() of the exception), and clears it.", "Nothing pending or no interpreter: nil."), REALmemberFlag, 0, 0},
    {FN(Python_ClearError), nullptr, DOC("ClearError()", "Clears the pending Python error.", "No interpreter: neutral."), REALmemberFlag, 0, 0},
    {FN(Python_RegisterXojoModule), nullptr,
     DOC("RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)", "Makes a host-made module importable under its name: at the next Init, or at once while Python runs.", "Nil module, nil function or a module never constructed: nothing registered."),
     REALmemberFlag, 0, 0},
    {FN(Python_SetTypeError), nullptr, DOC("SetError(errorType as Integer, message as String)", "Raises the Python3ErrorTypes exception with the message, for a host function to return nil after.", "Unknown type number or no interpreter: nothing. Nil message: an empty one."),
     REALmemberFlag, 0, 0},
    {FN(Python_IsFound), nullptr,
     DOC("PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
         "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean",
         "Loads a Python library, the preferred version first, and tells whether one was found; "
         "the first call decides the library for the process.",
         "No library: False, and the file names tried are printed."),
     REALmemberFlag, 0, 0},
    {FN(Python_SetPythonPath), nullptr, DOC("SetPythonPath(path as FolderItem)", "Names the library file to load instead of searching the standard names; only before the library is loaded.", "Nil, a missing file or a folder: forgets an earlier choice."), REALmemberFlag, 0, 0},
    {FN(Python_SetErrorOutput), nullptr,
     DOC("SetErrorOutput(output as CoilworkConsoleOutput)",
         "Chooses the receiver of everything Python writes to sys.stderr (warnings, logging, "
         "tracebacks), one ConsoleOutput event per write; holds across Finalize and Init.",
         "Nil: standard error is the process's own again."),
     REALmemberFlag, 0, 0},
    {FN(Python_UseVirtualEnvironment), nullptr,
     DOC("UseVirtualEnvironment(folder as FolderItem) as Boolean",
         "Uses the virtual environment in the folder: its base library is searched first, its "
         "site-packages (with .pth files) lead sys.path, sys.prefix names it; before Init or "
         "while Python runs.",
         "Nil, not a folder or no pyvenv.cfg: False, nothing changes. Made for another Python "
         "version: False (while running) with ImportError pending, or Init leaves that "
         "ImportError pending."),
     REALmemberFlag, 0, 0},
    {FN(Python_AllowThreads), nullptr,
     DOC("AllowThreads(allow as Boolean)",
         "True: every call gives the interpreter lock back when it returns, so any host thread "
         "may call at any time; False (the default): the host's thread keeps the lock while no "
         "other thread uses Python.",
         "Without Python's thread functions: nothing."),
     REALmemberFlag, 0, 0},
    {FN(Python_KeepLock), nullptr,
     DOC("KeepLock(keep as Boolean)",
         "True: this host thread keeps the interpreter lock across its returns, even while "
         "Python threads or other host threads exist, until it calls KeepLock(False), for a "
         "burst of calls; those threads run only while it is inside Python code that lets "
         "them (sleeps, I/O, Python's switching in long-running code). False: the usual rule "
         "again.",
         "The same value twice: nothing changes. Finalize ends it. No interpreter: nothing."),
     REALmemberFlag, 0, 0},
    {FN_NO_PYTHON(Python_DeliverOutput), nullptr,
     DOC("DeliverOutput()",
         "On the home thread (the host thread that called Init): raises now the ConsoleOutput "
         "events of text Python threads wrote and runs the host calls they made, in order (for "
         "a host timer); every call of the home thread also does so as it returns.",
         "Nothing queued, no interpreter, or another host thread: nothing."),
     REALmemberFlag, 0, 0},
    {FN_PY(Python_Exec), nullptr,
     DOC("Exec(code as String) as Boolean",
         "Runs the statements in the namespace of __main__, which every call shares until "
         "Finalize; True when they ran to the end.",
         "Nil or empty code: True, nothing runs. Raised or SyntaxError: False, error pending. "
         "Text not UTF-8: False. A NUL byte: False, ValueError pending. No interpreter: False."),
     REALmemberFlag, 0, 0},
    {FN_PY(Python_Eval), nullptr,
     DOC("Eval(expression as String) as Python3Result",
         "Evaluates one expression in the namespace of __main__ and returns its value.",
         "Nil, empty or non-UTF-8 text: nil. Raised, or a statement (SyntaxError): nil, error "
         "pending. No interpreter: nil."),
     REALmemberFlag, 0, 0},
    {FN(Python_GetErrorType), nullptr,
     DOC("GetErrorType() as String",
         "The pending exception's type name: \"ValueError\" for built-ins, "
         "\"module.QualifiedName\" for others; the error stays pending.",
         "Nothing pending or no interpreter: the empty string."),
     REALmemberFlag, 0, 0},
    {FN(Python_GetErrorTraceback), nullptr,
     DOC("GetErrorTraceback() as String",
         "The text Python prints for the pending exception: frames, chained exceptions and the "
         "final \"Type: message\" line; the error stays pending.",
         "Nothing pending or no interpreter: the empty string. No traceback: the final line only. "
         "The text cannot be made: nil."),
     REALmemberFlag, 0, 0},
    {FN(Python_ErrorMatches), nullptr,
     DOC("ErrorMatches(errorType as Integer) as Boolean",
         "Whether the pending exception is of the Python3ErrorTypes constant's class or a "
         "subclass; the error stays pending.",
         "Nothing pending, a number naming no type, or no interpreter: False."),
     REALmemberFlag, 0, 0},
    // Both without the lock wrapper: a Stop button must never wait for the
    // interpreter lock that the code it stops holds. Interrupt calls Python
    // only on a thread that already holds the lock inside a call.
    {FN_NO_PYTHON(Python_Interrupt), nullptr,
     DOC("Interrupt()",
         "Stops the Python code that host calls are running, on every host thread, with "
         "KeyboardInterrupt at its next instruction; each such outermost call returns its neutral "
         "result with the error pending. Callable from any thread (another host thread, a timer, "
         "a host function that Python called). Python's own threads are never stopped.",
         "No call running: nothing, and nothing waits for a later call. No interpreter: nothing. "
         "Code blocked in C (time.sleep, a socket read): stopped when it returns to Python code."),
     REALmemberFlag, 0, 0},
    {FN_NO_PYTHON(Python_SetTimeLimit), nullptr,
     DOC("SetTimeLimit(milliseconds as Integer)",
         "Stops every outermost call from host code that runs longer than this, as Interrupt "
         "does, with KeyboardInterrupt \"time limit of N milliseconds exceeded\"; raised again "
         "each further period while the call goes on. Holds across Finalize and Init, which are "
         "never stopped. A call is stopped at most a tenth of the limit (up to 100 ms) late.",
         "0, the default, turns the limit off; a negative value is taken as 0."),
     REALmemberFlag, 0, 0},
    {FN_PY(Python_Reset), nullptr,
     DOC("Reset() as Boolean",
         "A clean slate for the next script without stopping the interpreter: __main__ becomes "
         "a fresh module (as right after Init), modules imported since Init from the "
         "application's own folders (AddSearchPath's, the folder of sys.argv[0] when it is a "
         "file, the current directory) are forgotten so that the next import reads their files "
         "again, and sys.path (with AddSearchPath's folders since), sys.argv, sys.stdout and "
         "sys.stderr are as after Init. The standard library, installed packages, extension "
         "modules (numpy) and host modules stay loaded; handles keep their objects; Python "
         "threads go on. True when done.",
         "No interpreter: False. Called inside Python code (a host function or event Python "
         "called): False, RuntimeError pending. Python raised meanwhile: False, its error "
         "pending."),
     REALmemberFlag, 0, 0},
    {FN(Python_CaptureProcessOutput), nullptr,
     DOC("CaptureProcessOutput(capture as Boolean)",
         "True: whatever anything in the process (C code, child processes that inherit them, "
         "the host itself) writes to descriptors 1 and 2 from now on is read by the plugin and "
         "raised on the home thread as ConsoleOutput of the console receiver (descriptor 1) and "
         "of the error receiver, or the console receiver when none is set (descriptor 2), as "
         "the home thread's next call returns or at DeliverOutput; text Python prints after C "
         "output comes after it. Writers never wait for the host: past 8 MiB waiting, text is "
         "dropped and the next delivery says how many bytes, in a line. Bytes that are not "
         "UTF-8 arrive as the replacement character. False: delivers what was read and puts "
         "the original descriptors back. Holds across Finalize and Init; Finalize delivers what "
         "was read before it returns.",
         "The same value twice: nothing changes. Pipes or the reader thread cannot be had: "
         "nothing changes. No interpreter: captured all the same."),
     REALmemberFlag, 0, 0},
    {FN_NO_PYTHON(Python_SetThreadCallTimeout), nullptr,
     DOC("SetThreadCallTimeout(milliseconds as Integer)",
         "A host function, method or initialiser called on a Python thread runs on the home "
         "thread (the host thread that called Init) while the calling thread waits; a call the "
         "home thread has not begun within this many milliseconds is withdrawn, never runs, and "
         "the calling thread gets TimeoutError naming the function and the time. A call that has "
         "begun is always waited for. Holds across Finalize and Init.",
         "0, the default, waits for ever; a negative value is taken as 0."),
     REALmemberFlag, 0, 0},
    {FN_PY(Python_ListenForDebugger), nullptr,
     DOC("ListenForDebugger(port as Integer) as Integer",
         "Starts debugpy's server in the main interpreter, listening on 127.0.0.1 at the port "
         "(0: a free one), and answers the port; does not wait for a client. debugpy is "
         "imported from the interpreter's own path; its adapter runs in a Python of the "
         "library's version found beside the library, never in the host application. "
         "Breakpoints set from the client are hit on the home thread, on other host threads "
         "and on Python's threads.",
         "Called again while listening: the same port, whatever the argument. A port outside 0 "
         "to 65535: 0, ValueError pending. No debugpy: 0, ImportError pending naming what to "
         "install. No Python of that version to run the adapter, or the port taken: 0, "
         "RuntimeError pending. No interpreter: 0."),
     REALmemberFlag, 0, 0},
    {FN_PY(Python_WaitForDebugger), nullptr,
     DOC("WaitForDebugger(milliseconds as Integer) as Boolean",
         "Waits until a debugger client has attached (its configuration done) or the time is "
         "up, and answers whether one is attached; the home thread meanwhile raises queued "
         "output and runs Python threads' host calls, and other threads run Python. 0 only "
         "asks; a negative value waits for ever.",
         "Not listening: False at once. Stopped by Interrupt or the time limit: False, "
         "KeyboardInterrupt pending. No interpreter: False."),
     REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition CoilworkClass = CLASS_RECORD(
    DOC("Coilwork", "The interpreter's shared methods: finding and starting Python, imports, errors, console capture, host modules, the debugger.", ""), nullptr, 1,
    nullptr, nullptr,
    NO_TABLE, NO_TABLE, NO_TABLE,
    CLASS_TABLE(CoilworkConstants), CLASS_TABLE(CoilworkSharedMethods), CLASS_TABLE(CoilworkEnums));
