// Python's error indicator as the host sees it: ErrorOccurred, GetError,
// ClearError and SetError of Coilwork, and the Python3ErrorTypes module whose
// constants select the exception that SetError raises.
#include <string.h>

#include <string>

#include "interpreter/interpreter.h"
#include "python/convert.h"

namespace {

REALconstant PythonErrorTypesConstants[] = {
    {DOC("AssertionError = 1", "AssertionError", ""), {}},     {DOC("AttributeError = 2", "AttributeError", ""), {}}, {DOC("EOFError = 3", "EOFError", ""), {}},
    {DOC("FloatingPointError = 4", "FloatingPointError", ""), {}}, {DOC("IOError = 5", "OSError: IOError is its other name in Python 3.", ""), {}},        {DOC("ImportError = 6", "ImportError", ""), {}},
    {DOC("IndexError = 7", "IndexError", ""), {}},         {DOC("KeyError = 8", "KeyError", ""), {}},       {DOC("KeyboardInterrupt = 9", "KeyboardInterrupt", ""), {}},
    {DOC("MemoryError = 10", "MemoryError", ""), {}},       {DOC("NameError = 11", "NameError", ""), {}},     {DOC("NotImplementedError = 12", "NotImplementedError", ""), {}},
    {DOC("OSError = 13", "OSError", ""), {}},           {DOC("OverflowError = 14", "OverflowError", ""), {}}, {DOC("RuntimeError = 15", "RuntimeError", ""), {}},
    {DOC("SyntaxError = 16", "SyntaxError", ""), {}},       {DOC("SystemError = 17", "SystemError", ""), {}},   {DOC("SystemExit = 18", "SystemExit", ""), {}},
    {DOC("TypeError = 19", "TypeError", ""), {}},         {DOC("ValueError = 20", "ValueError", ""), {}},    {DOC("ZeroDivisionError = 21", "ZeroDivisionError", ""), {}},
    {DOC("ReferenceError = 22", "ReferenceError", ""), {}},
};

// The table slots of the exceptions, in the order of the constants. The slot
// is read when SetError runs: it holds the address of the library's variable,
// and the exception object is the value stored there.
#define EXCEPTION_SLOT(name) &e__##name,
PyObject*** const kExceptionSlots[] = {COILWORK_PY_EXCEPTIONS(EXCEPTION_SLOT)};
#undef EXCEPTION_SLOT
constexpr int32_t kExceptionCount = sizeof(kExceptionSlots) / sizeof(kExceptionSlots[0]);

bool ErrorsUsable() { return EnsurePython() && PythonRunning() && EPyErr_Occurred; }

// The text of a str up to its first NUL, as a new host string; nil when the
// str cannot be given as UTF-8.
REALstring MessageOf(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = EPyUnicode_AsUTF8AndSize(text, &size);
  if (!utf8) return nullptr;
  return REALBuildStringWithEncoding(utf8, strnlen(utf8, size_t(size)), kREALTextEncodingUTF8);
}

bool IsStr(PyObject* o) { return Py_TYPE(o)->tp_flags & Py_TPFLAGS_UNICODE_SUBCLASS; }

}  // namespace

int8_t Python_ErrorOccurred() { return ErrorsUsable() && EPyErr_Occurred() != nullptr; }

void Python_ClearError() {
  if (ErrorsUsable() && EPyErr_Clear) EPyErr_Clear();
}

// The message of the pending error, which is consumed. A str value is the
// message itself; any other value (an exception instance, which newer
// Pythons always store, or an argument tuple or nothing, which older ones
// may store for errors raised in C) is first made an exception instance and
// then turned into text with str(), so that every version gives the same
// text. The type name and traceback stay out. Nothing is left pending, even
// when the text cannot be made (nil then).
REALstring Python_GetError() {
  if (!ErrorsUsable() || !EPyErr_Fetch || !EPyErr_Clear || !EPyUnicode_AsUTF8AndSize)
    return nullptr;
  if (!EPyErr_Occurred()) return nullptr;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  EPyErr_Fetch(&type, &value, &traceback);
  REALstring message = nullptr;
  if (value && IsStr(value)) {
    message = MessageOf(value);
  } else {
    if (EPyErr_NormalizeException) EPyErr_NormalizeException(&type, &value, &traceback);
    if (value && EPyObject_Str) {
      PyRef text(EPyObject_Str(value));
      if (text) message = MessageOf(text.get());
    } else if (!value) {
      message = REALBuildStringWithEncoding("", 0, kREALTextEncodingUTF8);
    }
  }
  EPyErr_Clear();  // whatever a failed conversion raised
  PyRelease(type);
  PyRelease(value);
  PyRelease(traceback);
  return message;
}

void Python_SetTypeError(int32_t errorType, REALstring message) {
  if (errorType < 1 || errorType > kExceptionCount) return;
  if (!ErrorsUsable() || !EPyErr_SetString) return;
  PyObject** variable = *kExceptionSlots[errorType - 1];
  if (!variable || !*variable) return;
  // The message as UTF-8 text, up to the first NUL, whatever encoding the
  // host stores it in: Python decodes it as UTF-8, and bytes that are not
  // would lose the message or, in newer versions, raise a UnicodeDecodeError
  // in place of the type asked for. A nil message, or text the host cannot
  // give as UTF-8, raises with an empty one.
  HostUTF8 text(message);
  std::string utf8 = text.ok() && text.data() ? std::string(text.data(), text.size()) : "";
  EPyErr_SetString(*variable, utf8.c_str());
}

REALmoduleDefinition PythonErrorTypesModule = {
    kCurrentREALControlVersion, DOC("Python3ErrorTypes", "The exceptions SetError can raise, by number.", ""), NO_TABLE,
    CLASS_TABLE(PythonErrorTypesConstants), {},
};
