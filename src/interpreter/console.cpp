// Console capture: the "aview" module that Init installs as sys.stdout, and
// the CoilworkConsoleOutput class whose ConsoleOutput event receives every
// piece of text Python writes there, one event per write call.
#include "interpreter/interpreter.h"
#include "interpreter/output_queue.h"
#include "python/convert.h"

namespace {

REALevent CoilworkEvents[] = {
    {"ConsoleOutput(output as String)", 0, 0, 0},
};

using ConsoleOutputHandler = void (*)(REALobject instance, REALstring text);

ConsoleOutputData* HandlerData(REALobject instance) {
  return Data<ConsoleOutputData>(instance, CoilworkConsoleOutputClass);
}

void CoilworkConsoleOutput_Constructor(REALobject instance) {
  HandlerData(instance)->handler = REALGetEventInstance(instance, &CoilworkEvents[0]);
}

// write(text): one str argument, taken whole with its length so that text
// containing NUL characters arrives intact. A non-str argument raises
// TypeError, as a file's write does.
PyObject* aview_write(PyObject* module, PyObject* args) {
  PyObject* text = nullptr;  // borrowed from the argument tuple
  if (!EPyArg_ParseTuple(args, "U:write", &text)) return nullptr;
  Py_ssize_t length = 0;
  const char* utf8 = EPyUnicode_AsUTF8AndSize(text, &length);
  if (!utf8) return nullptr;  // e.g. lone surrogates: Python's error stands
  if (REALobject receiver = consoleOutputInstance) {
    // Written on a thread the host did not start: raised later on a host thread.
    if (QueueIfForeign(receiver, utf8, size_t(length), OnConsoleOutput)) return EPy_BuildValue("");
    REALstring output = REALBuildStringWithEncoding(utf8, size_t(length), kREALTextEncodingUTF8);
    // The handler may replace the receiver; keep this one alive meanwhile.
    ELockObject(receiver);
    OnConsoleOutput(receiver, output);
    EUnlockObject(receiver);
    if (output) EUnlockString(output);
  }
  return EPy_BuildValue("");
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

}  // namespace

void Python_SetConsoleOutput(REALobject output) {
  REALobject previous = consoleOutputInstance;
  if (output) ELockObject(output);
  consoleOutputInstance = output;
  if (previous) EUnlockObject(previous);
}

PyObject* initaview() {
  if (!EPyModule_Create2 || !EPySys_SetObject || !EPyArg_ParseTuple || !EPy_BuildValue ||
      !EPyUnicode_AsUTF8AndSize || !EPy_DecRef)
    return nullptr;
  PyObject* module = EPyModule_Create2(&aview_module, 3);
  if (!module) return nullptr;
  bool installed = EPySys_SetObject("stdout", module) == 0;
  // sys holds its own reference; the module lives as long as sys.stdout.
  EPy_DecRef(module);
  return installed ? module : nullptr;
}

void OnConsoleOutput(REALobject instance, REALstring text) {
  ConsoleOutputData* data = HandlerData(instance);
  if (!data->handler) data->handler = REALGetEventInstance(instance, &CoilworkEvents[0]);
  if (!data->handler) return;
  reinterpret_cast<ConsoleOutputHandler>(data->handler)(instance, text);
}

REALclassDefinition CoilworkConsoleOutputClass = CLASS_RECORD(
    "CoilworkConsoleOutput", nullptr, sizeof(ConsoleOutputData),
    FN(CoilworkConsoleOutput_Constructor), nullptr,
    NO_TABLE, NO_TABLE, CLASS_TABLE(CoilworkEvents),
    NO_TABLE, NO_TABLE, NO_TABLE);
