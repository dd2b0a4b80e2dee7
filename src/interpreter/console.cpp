// Console capture: the "aview" module whose write function receives what
// Python writes to sys.stdout, the text streams Init installs as sys.stdout
// (and as sys.stderr while an error receiver is set), and the
// CoilworkConsoleOutput class whose ConsoleOutput event receives every piece
// of text, one event per write call.
#include <mutex>
#include <string>

#include "convert/convert.h"
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "plugin/output_queue.h"

extern REALclassDefinition CoilworkConsoleOutputClass;  // the record, at the end

namespace {

REALevent CoilworkEvents[] = {
    {DOC("ConsoleOutput(output as String)", "Raised with the text of each write to sys.stdout, as UTF-8.", ""), 0, 0, 0},
};

using ConsoleOutputHandler = void (*)(REALobject instance, REALstring text);

ConsoleOutputData* HandlerData(REALobject instance) {
  return Data<ConsoleOutputData>(instance, CoilworkConsoleOutputClass);
}

void CoilworkConsoleOutput_Constructor(REALobject instance) {
  HandlerData(instance)->handler = REALGetEventInstance(instance, &CoilworkEvents[0]);
}

// One write: a single str argument, taken whole with its length so that
// text containing NUL characters arrives intact, handed to the receiver (if
// any). A non-str argument raises TypeError, as a file's write does.
PyObject* WriteTo(REALobject receiver, PyObject* args) {
  PyObject* text = nullptr;  // borrowed from the argument tuple
  if (!EPyArg_ParseTuple(args, "U:write", &text)) return nullptr;
  Py_ssize_t length = 0;
  const char* utf8 = EPyUnicode_AsUTF8AndSize(text, &length);
  if (!utf8) return nullptr;  // e.g. lone surrogates: Python's error stands
  if (receiver) DeliverConsoleText(receiver, utf8, size_t(length));
  return EPy_BuildValue("");
}

PyObject* aview_write(PyObject* module, PyObject* args) {
  return WriteTo(consoleOutputInstance, args);
}

// Nothing is buffered, so there is nothing to flush.
PyObject* aview_flush(PyObject* module, PyObject* args) { return EPy_BuildValue(""); }

PyMethodDef aview_methods[] = {
    {"write", reinterpret_cast<void*>(aview_write), METH_VARARGS, "Write something."},
    {"flush", reinterpret_cast<void*>(aview_flush), METH_VARARGS, "doc for flush"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef aview_module = {
    {{1, nullptr}, nullptr, 0, nullptr},  // PyModuleDef_HEAD_INIT
    "aview", "doc for aview", -1, aview_methods, nullptr, nullptr, nullptr, nullptr,
};

// The functions behind sys.stderr: write to the error receiver, and whether
// there is one (without one, the stream passes text to the process's own
// standard error).
PyObject* errors_write(PyObject* module, PyObject* args) {
  return WriteTo(errorOutputInstance, args);
}

PyObject* errors_receiving(PyObject* module, PyObject* args) {
  return EPy_BuildValue("i", errorOutputInstance ? 1 : 0);
}

PyMethodDef errors_methods[] = {
    {"write", reinterpret_cast<void*>(errors_write), METH_VARARGS, nullptr},
    {"receiving", reinterpret_cast<void*>(errors_receiving), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef errors_module = {
    {{1, nullptr}, nullptr, 0, nullptr},  // PyModuleDef_HEAD_INIT
    "coilwork_stderr", nullptr, -1, errors_methods, nullptr, nullptr, nullptr, nullptr,
};

// The stream classes. Deriving from io.TextIOBase gives what a text stream
// offers (writelines, closed, fileno raising io.UnsupportedOperation, the
// context manager); write goes straight to the C function above, so its
// argument rules and its return value are those of the capture module.
const char kStreamSource[] = R"PY(
import io, sys

class ConsoleStream(io.TextIOBase):
    encoding = 'utf-8'
    errors = 'strict'

    def __init__(self, write):
        self._write = write

    def write(self, text):
        return self._write(text)

    def writable(self):
        return True

    def readable(self):
        return False

    def isatty(self):
        return False

class ErrorStream(ConsoleStream):
    def __init__(self, write, receiving):
        ConsoleStream.__init__(self, write)
        self._receiving = receiving

    def _own(self):
        own = sys.__stderr__
        return None if own is self or self._receiving() else own

    def write(self, text):
        own = self._own()
        if own is None:
            return self._write(text)
        own.write(text)

    def flush(self):
        own = self._own()
        if own is not None:
            own.flush()

def make(stdout_module, errors_module):
    global stdout, stderr
    stdout = ConsoleStream(stdout_module.write)
    stderr = ErrorStream(errors_module.write, errors_module.receiving)
)PY";

// The namespace of kStreamSource in each interpreter.
PerInterpreter gStreams;

PyObject* Stream(const char* name) {
  PyObject* streams = gStreams.get();
  return streams && EPyDict_GetItemString ? EPyDict_GetItemString(streams, name) : nullptr;
}

// Builds the stream objects around the capture module; false (nothing
// pending) when this library lacks something they need.
bool MakeStreams(PyObject* stdoutModule) {
  PyRef streams(RunPrivateSource(kStreamSource));
  if (!streams) {
    if (EPyErr_Clear) EPyErr_Clear();
    return false;
  }
  PyRef errors(EPyModule_Create2(&errors_module, 3));
  PyObject* make = errors ? EPyDict_GetItemString(streams.get(), "make") : nullptr;
  PyRef made(make && EPyObject_CallObject
                 ? EPyObject_CallObject(make, PyRef(EPy_BuildValue("(OO)", stdoutModule,
                                                                    errors.get())).get())
                 : nullptr);
  if (!made) {
    if (EPyErr_Clear) EPyErr_Clear();
    return false;
  }
  gStreams.set(gInterpreterGeneration, streams.release());
  return true;
}

}  // namespace

void DeliverConsoleText(REALobject receiver, const char* utf8, size_t length) {
  // What C code and child processes wrote before this comes first.
  if (OnHomeThread()) TakeProcessOutput();
  // Written on a thread the host did not start: raised later on a host thread.
  if (QueueIfForeign(receiver, utf8, length, OnConsoleOutput)) return;
  REALstring output = REALBuildStringWithEncoding(utf8, length, kREALTextEncodingUTF8);
  // The handler may replace the receiver; keep this one alive meanwhile.
  ELockObject(receiver);
  OnConsoleOutput(receiver, output);
  EUnlockObject(receiver);
  if (output) EUnlockString(output);
}

PyObject* RunPrivateSource(const char* source) {
  if (!EPyRun_StringFlags || !EPyDict_New || !EPyDict_SetItemString ||
      !EPyUnicode_FromStringAndSize || !EPyImport_Import)
    return nullptr;
  PyRef name(EPyUnicode_FromStringAndSize("builtins", 8));
  PyRef builtins(name ? EPyImport_Import(name.get()) : nullptr);
  PyRef globals(builtins ? EPyDict_New() : nullptr);
  if (!globals || EPyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0)
    return nullptr;
  PyRef result(EPyRun_StringFlags(source, Py_file_input, globals.get(), globals.get(), nullptr));
  return result ? globals.release() : nullptr;
}

void Python_SetConsoleOutput(REALobject output) {
  REALobject previous = consoleOutputInstance;
  if (output) ELockObject(output);
  consoleOutputInstance = output;
  if (previous) EUnlockObject(previous);
}

// Makes sys.stderr follow the error receiver: the error stream while there
// is one, the process's own standard error (sys.__stderr__) when there is
// none. A stream Python code installed itself is left alone.
void ApplyErrorOutput() {
  if (!PythonRunning() || !EPySys_GetObject || !EPySys_SetObject) return;
  PyObject* stream = Stream("stderr");
  if (!stream) return;
  PyObject* current = EPySys_GetObject("stderr");  // borrowed
  if (errorOutputInstance) {
    if (current != stream) {
      PyObject* own = EPySys_GetObject("__stderr__");
      if (current == own || !current || current == e___Py_NoneStruct)
        EPySys_SetObject("stderr", stream);
    }
  } else if (current == stream) {
    PyObject* own = EPySys_GetObject("__stderr__");
    EPySys_SetObject("stderr", own ? own : e___Py_NoneStruct);
  }
}

void RestoreStreams() {
  if (!PythonRunning() || !EPySys_GetObject || !EPySys_SetObject) return;
  if (PyObject* stream = Stream("stdout")) EPySys_SetObject("stdout", stream);
  PyObject* errors = Stream("stderr");
  PyObject* own = EPySys_GetObject("__stderr__");  // borrowed
  if (errorOutputInstance && errors) EPySys_SetObject("stderr", errors);
  else if (errors) EPySys_SetObject("stderr", own ? own : e___Py_NoneStruct);
}

void Python_SetErrorOutput(REALobject output) {
  REALobject previous = errorOutputInstance;
  if (output) ELockObject(output);
  errorOutputInstance = output;
  if (previous) EUnlockObject(previous);
  ApplyErrorOutput();
}

// The stream source compiled once, as marshal data: a sub-interpreter runs
// it without compiling, which would take memory that an own-lock
// interpreter's allocator keeps for good.
std::mutex gCompiledLock;
std::string gCompiledStreams;

// Runs the stream source in a new private namespace of the current
// interpreter, from the compiled form where the library offers it.
PyObject* RunStreamSource() {
  if (!EPy_CompileString || !EPyMarshal_WriteObjectToString || !EPyMarshal_ReadObjectFromString ||
      !EPyEval_EvalCode || !EPyBytes_AsString)
    return RunPrivateSource(kStreamSource);
  std::string compiled;
  {
    std::lock_guard<std::mutex> guard(gCompiledLock);
    compiled = gCompiledStreams;
  }
  if (compiled.empty()) {
    PyRef code(EPy_CompileString(kStreamSource, "<coilwork streams>", Py_file_input));
    PyRef data(code ? EPyMarshal_WriteObjectToString(code.get(), 2) : nullptr);
    if (!data) return nullptr;
    compiled.assign(EPyBytes_AsString(data.get()), size_t(EPyBytes_Size(data.get())));
    std::lock_guard<std::mutex> guard(gCompiledLock);
    gCompiledStreams = compiled;
  }
  PyRef code(EPyMarshal_ReadObjectFromString(compiled.data(), Py_ssize_t(compiled.size())));
  PyRef name(code ? EPyUnicode_FromStringAndSize("builtins", 8) : nullptr);
  PyRef builtins(name ? EPyImport_Import(name.get()) : nullptr);
  PyRef globals(builtins ? EPyDict_New() : nullptr);
  if (!globals || EPyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0)
    return nullptr;
  PyRef result(EPyEval_EvalCode(code.get(), globals.get(), globals.get()));
  return result ? globals.release() : nullptr;
}

bool StreamsForThisInterpreter(uint32_t generation) {
  if (!EPyModule_Create2 || !EPySys_SetObject || !EPyArg_ParseTuple || !EPy_BuildValue ||
      !EPyUnicode_AsUTF8AndSize || !EPyDict_GetItemString)
    return false;
  PyRef module(EPyModule_Create2(&aview_module, 3));
  PyRef streams(module ? RunStreamSource() : nullptr);
  if (!streams) return false;
  PyRef errors(streams ? EPyModule_Create2(&errors_module, 3) : nullptr);
  PyObject* make = errors ? EPyDict_GetItemString(streams.get(), "make") : nullptr;
  PyRef made(make ? EPyObject_CallObject(make, PyRef(EPy_BuildValue("(OO)", module.get(),
                                                                      errors.get())).get())
                  : nullptr);
  if (!made) return false;
  PyObject* out = EPyDict_GetItemString(streams.get(), "stdout");  // borrowed
  PyObject* err = EPyDict_GetItemString(streams.get(), "stderr");  // borrowed
  if (!out || !err || EPySys_SetObject("stdout", out) != 0) return false;
  if (errorOutputInstance) EPySys_SetObject("stderr", err);
  gStreams.set(generation, streams.release());
  return true;
}

void ConsoleBeforeClose(uint32_t generation) { gStreams.drop(generation); }

PyObject* initaview() {
  if (!EPyModule_Create2 || !EPySys_SetObject || !EPyArg_ParseTuple || !EPy_BuildValue ||
      !EPyUnicode_AsUTF8AndSize || !EPy_DecRef)
    return nullptr;
  PyObject* module = EPyModule_Create2(&aview_module, 3);
  if (!module) return nullptr;
  // The stream when it can be made; the bare module otherwise.
  PyObject* stdoutObject = MakeStreams(module) ? Stream("stdout") : module;
  bool installed = EPySys_SetObject("stdout", stdoutObject) == 0;
  // sys (or the stream) holds its own reference; the module lives as long as
  // sys.stdout.
  EPy_DecRef(module);
  return installed ? module : nullptr;
}

void ConsoleBeforeFinalize() { gStreams.drop(gInterpreterGeneration); }

void OnConsoleOutput(REALobject instance, REALstring text) {
  ConsoleOutputData* data = HandlerData(instance);
  if (!data->handler) data->handler = REALGetEventInstance(instance, &CoilworkEvents[0]);
  if (!data->handler) return;
  reinterpret_cast<ConsoleOutputHandler>(data->handler)(instance, text);
}

REALclassDefinition CoilworkConsoleOutputClass = CLASS_RECORD(
    DOC("CoilworkConsoleOutput", "The receiver of Python's printed output: subclass it and handle ConsoleOutput.", ""), nullptr, sizeof(ConsoleOutputData),
    FN(CoilworkConsoleOutput_Constructor), nullptr,
    NO_TABLE, NO_TABLE, CLASS_TABLE(CoilworkEvents),
    NO_TABLE, NO_TABLE, NO_TABLE);
