// Python's error indicator as the host sees it: ErrorOccurred, GetError,
// ClearError and SetError of Coilwork, and the Python3ErrorTypes module whose
// constants select the exception that SetError raises.
#include <string.h>

#include <optional>
#include <string>

#include "convert/convert.h"
#include "interpreter/interpreter.h"
#include "interpreter/interpreters.h"
#include "plugin/output_queue.h"

void PendingErrorAside::SetAside() {
  if (!EPyErr_Fetch || !EPyErr_Restore) return;
  EPyErr_Fetch(&type, &value, &traceback);
  generation = CurrentGeneration();
  if (type) NoteErrorSetAside(1);
}

void PendingErrorAside::PutBack() {
  NoteErrorSetAside(-1);
  // Python code the member ran may have stopped the interpreter (a host
  // function calling Finalize): the set-aside objects went with it.
  if (!PythonRunning()) return;
  if (generation != CurrentGeneration()) {
    // The member went on in another interpreter, which is current until it
    // returns: its own error there is the newer one; without one, the
    // earlier error is kept for the thread, pending again once its
    // interpreter is current.
    HostThreadState& t = tHostThread;
    PyObject* objects[] = {type, value, traceback};
    if (EPyErr_Occurred() || t.errorType || (generation != gInterpreterGeneration && !SubOf(generation))) {
      ReleasePythonOnHostThread(objects, 3, generation);
      return;
    }
    t.errorType = type;
    t.errorValue = value;
    t.errorTraceback = traceback;
    t.errorGeneration = generation;
    return;
  }
  if (EPyErr_Occurred()) {
    // The member's own error is the one the host reads next.
    PyRelease(type);
    PyRelease(value);
    PyRelease(traceback);
    return;
  }
  EPyErr_Restore(type, value, traceback);  // the references pass back to Python
}

namespace {

// The thread's pending error may have been raised in another interpreter
// than the current one: the error members work in that one meanwhile.
struct ErrorHome {
  std::optional<InterpreterScope> scope;
  ErrorHome() {
    if (ErrorKeptElsewhere()) scope.emplace(KeptErrorInterpreter());
  }
};

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
bool IsType(PyObject* o) { return o && (Py_TYPE(o)->tp_flags & Py_TPFLAGS_TYPE_SUBCLASS); }

// The pending error as Python reports it: its class and instance once
// normalized (the class of the instance, which may be a subclass of the type
// that was raised), and its traceback.
struct PendingError {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
};

// Looks at the pending error without consuming it. The pending triple is
// fetched and set aside; read() sees a normalized copy with nothing pending,
// so it may call Python; then whatever read() raised is cleared and the
// original triple is restored exactly as it was. False (read() not run, the
// error untouched) when nothing is pending or the entries are missing; read()
// is skipped (the error still restored) when the type is no class.
template <class F>
bool ReadPendingError(F read) {
  if (!ErrorsUsable() || !EPyErr_Fetch || !EPyErr_Restore || !EPyErr_Clear) return false;
  if (!EPyErr_Occurred()) return false;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  EPyErr_Fetch(&type, &value, &traceback);
  PendingError copy{type, value, traceback};
  PyAddRef(copy.type);
  PyAddRef(copy.value);
  PyAddRef(copy.traceback);
  if (EPyErr_NormalizeException) EPyErr_NormalizeException(&copy.type, &copy.value, &copy.traceback);
  // Normalizing makes the instance by calling the type, which may answer an
  // instance of a subclass (OSError(2, ...) gives a FileNotFoundError) while
  // the type stays the one raised; the instance's class is what Python shows.
  if (IsType(copy.type) && copy.value && EPyType_IsSubtype &&
      EPyType_IsSubtype(Py_TYPE(copy.value), reinterpret_cast<PyTypeObject*>(copy.type))) {
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(copy.value));
    PyAddRef(cls);
    PyRelease(copy.type);
    copy.type = cls;
  }
  if (IsType(copy.type)) read(copy);
  EPyErr_Clear();
  PyRelease(copy.type);
  PyRelease(copy.value);
  PyRelease(copy.traceback);
  EPyErr_Restore(type, value, traceback);  // the references pass back to Python
  return true;
}

// The UTF-8 text of a str attribute of o; false (nothing pending) when o has
// no such attribute or it is no str that converts.
bool StrAttribute(PyObject* o, const char* name, std::string* text) {
  if (!EPyObject_GetAttrString || !EPyUnicode_AsUTF8AndSize) return false;
  PyRef attribute(EPyObject_GetAttrString(o, name));
  Py_ssize_t size = 0;
  const char* utf8 = attribute && IsStr(attribute.get())
                         ? EPyUnicode_AsUTF8AndSize(attribute.get(), &size)
                         : nullptr;
  if (utf8) text->assign(utf8, size_t(size));
  EPyErr_Clear();
  return utf8 != nullptr;
}

// The name of an exception class: the qualified name alone for the built-in
// ones, "module.QualifiedName" for the others.
std::string ClassName(PyObject* cls) {
  std::string qualified, module;
  if (!StrAttribute(cls, "__qualname__", &qualified) &&
      !StrAttribute(cls, "__name__", &qualified)) {
    qualified = reinterpret_cast<PyTypeObject*>(cls)->tp_name;
  }
  if (StrAttribute(cls, "__module__", &module) && module != "builtins")
    return module + "." + qualified;
  return qualified;
}

REALstring NewUTF8String(const std::string& text) {
  return REALBuildStringWithEncoding(text.data(), text.size(), kREALTextEncodingUTF8);
}

// The lines traceback.format_exception gives for the error, joined: the
// text Python prints for it. False when the text cannot be made.
bool FormatTraceback(const PendingError& error, std::string* text) {
  if (!EPyImport_Import || !EPyUnicode_FromStringAndSize || !EPyObject_GetAttrString ||
      !EPyObject_CallObject || !EPyTuple_New || !EPyTuple_SetItem || !EPyList_Size ||
      !EPyList_GetItem || !EPyUnicode_AsUTF8AndSize || !error.value)
    return false;
  PyRef name(EPyUnicode_FromStringAndSize("traceback", 9));
  if (!name) return false;
  PyRef module(EPyImport_Import(name.get()));
  if (!module) return false;
  PyRef format(EPyObject_GetAttrString(module.get(), "format_exception"));
  if (!format) return false;
  PyObject* traceback = error.traceback ? error.traceback : PyNewNone();
  if (!traceback) return false;
  if (error.traceback) PyAddRef(traceback);
  PyRef arguments(EPyTuple_New(3));
  if (!arguments) {
    PyRelease(traceback);
    return false;
  }
  PyAddRef(error.type);
  PyAddRef(error.value);
  // Each slot takes over one reference.
  EPyTuple_SetItem(arguments.get(), 0, error.type);
  EPyTuple_SetItem(arguments.get(), 1, error.value);
  EPyTuple_SetItem(arguments.get(), 2, traceback);
  PyRef lines(EPyObject_CallObject(format.get(), arguments.get()));
  if (!lines || !IsListObject(lines.get())) return false;
  Py_ssize_t count = EPyList_Size(lines.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* line = EPyList_GetItem(lines.get(), i);  // borrowed
    Py_ssize_t size = 0;
    const char* utf8 = line && IsStr(line) ? EPyUnicode_AsUTF8AndSize(line, &size) : nullptr;
    if (!utf8) return false;
    text->append(utf8, size_t(size));
  }
  return true;
}

}  // namespace

int8_t Python_ErrorOccurred() {
  ErrorHome home;
  return ErrorsUsable() && EPyErr_Occurred() != nullptr;
}

void Python_ClearError() {
  ErrorHome home;
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
  ErrorHome home;
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

// The type name of the pending error, which stays pending; "" when none is.
REALstring Python_GetErrorType() {
  ErrorHome home;
  std::string name;
  ReadPendingError([&](const PendingError& error) { name = ClassName(error.type); });
  return NewUTF8String(name);
}

// The text Python prints for the pending error, which stays pending; "" when
// none is, nil when the text cannot be made.
REALstring Python_GetErrorTraceback() {
  ErrorHome home;
  std::string text;
  bool formatted = false;
  if (!ReadPendingError([&](const PendingError& error) {
        formatted = FormatTraceback(error, &text);
      }))
    return NewUTF8String("");
  return formatted ? NewUTF8String(text) : nullptr;
}

// Whether the pending error is of the constant's exception class or a
// subclass of it; the error stays pending.
int8_t Python_ErrorMatches(int32_t errorType) {
  ErrorHome home;
  if (errorType < 1 || errorType > kExceptionCount) return false;
  if (!ErrorsUsable() || !EPyErr_GivenExceptionMatches) return false;
  PyObject** variable = *kExceptionSlots[errorType - 1];
  if (!variable || !*variable) return false;
  bool matches = false;
  ReadPendingError([&](const PendingError& error) {
    matches = EPyErr_GivenExceptionMatches(error.type, *variable) != 0;
  });
  return matches;
}

REALmoduleDefinition PythonErrorTypesModule = {
    kCurrentREALControlVersion, DOC("Python3ErrorTypes", "The exceptions SetError can raise, by number.", ""), NO_TABLE,
    CLASS_TABLE(PythonErrorTypesConstants), {},
};
