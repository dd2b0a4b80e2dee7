// Calls of Python objects with holders' arguments (calls.h).
#include "values/calls.h"

#include <string.h>

#include "interpreter/copies.h"

namespace {

bool HasFlag(PyObject* o, unsigned long flag) { return (Py_TYPE(o)->tp_flags & flag) != 0; }

void RaiseTypeError(const char* message) {
  if (EPyErr_SetString && e__PyExc_TypeError && *e__PyExc_TypeError)
    EPyErr_SetString(*e__PyExc_TypeError, message);
}

// Lets the callee use the word before the arguments, as Python's own calls
// of a method do.
constexpr size_t kArgumentsOffset = size_t(1) << (sizeof(size_t) * 8 - 1);
// The most arguments a method call passes on the stack; more go through the
// attribute and a call of it.
constexpr Py_ssize_t kStackArguments = 8;

}  // namespace

PyObject* CallKeywords(REALobject keywords, bool* refused) {
  *refused = false;
  PyObject* dict = HeldObject(keywords);  // borrowed from the holder
  if (!dict) return nullptr;
  if (!HasFlag(dict, Py_TPFLAGS_DICT_SUBCLASS)) {
    RaiseTypeError("keyword list must be a dictionary");
    *refused = true;
    return nullptr;
  }
  if (!EPyDict_Size || !EPyDict_Keys || !EPyList_Size || !EPyList_GetItem) {
    *refused = true;
    return nullptr;
  }
  if (EPyDict_Size(dict) == 0) return nullptr;
  PyRef names(EPyDict_Keys(dict));
  if (!names) {
    *refused = true;
    return nullptr;
  }
  Py_ssize_t count = EPyList_Size(names.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = EPyList_GetItem(names.get(), i);  // borrowed from the list
    if (!name || !HasFlag(name, Py_TPFLAGS_UNICODE_SUBCLASS)) {
      RaiseTypeError("keywords must be strings");
      *refused = true;
      return nullptr;
    }
  }
  return dict;
}

PyObject* CallWithArguments(PyObject* callable, REALobject parameters, REALobject keywords) {
  if (!callable || !PythonRunning() || !EPyTuple_New) return nullptr;
  if (!EPyObject_Call && !EPyEval_CallObjectWithKeywords) return nullptr;
  bool refused = false;
  PyObject* kwargs = CallKeywords(keywords, &refused);  // borrowed
  if (refused) return nullptr;
  // nil and a holder without a tuple mean no arguments; an object that is
  // no tuple is refused as Python refuses it.
  PyObject* held = HeldObject(parameters);
  if (!held && parameters && ErrorPending()) return nullptr;
  if (held && !HasFlag(held, Py_TPFLAGS_TUPLE_SUBCLASS)) {
    RaiseTypeError("argument list must be a tuple");
    return nullptr;
  }
  if (!kwargs && (!held || InPlaceTuple(held)) && VectorcallOf(callable))
    return CallWithTuple(callable, held);
  PyRef arguments(held ? held : EPyTuple_New(0));
  if (!arguments) return nullptr;
  if (held) PyAddRef(held);
  // PyEval_CallObjectWithKeywords is gone from 3.13; PyObject_Call does the
  // same for a tuple and a dict.
  if (EPyObject_Call) return EPyObject_Call(callable, arguments.get(), kwargs);
  return EPyEval_CallObjectWithKeywords(callable, arguments.get(), kwargs);
}

PyObject* CallWithTuple(PyObject* callable, PyObject* arguments) {
  return CallTuple(callable, arguments);
}

PyObject* CallMethodWithArguments(PyObject* o, REALstring name, REALobject parameters) {
  if (!o || !PythonRunning()) return nullptr;
  const char* text = HostBytes(name);
  PyObject* held = HeldObject(parameters);
  if (!held && parameters && ErrorPending()) return nullptr;
  PyTupleObject* t = InPlaceTuple(held);
  if (gVectorcallInPlace && (!held || (t && t->ob_size <= kStackArguments))) {
    // Python's method call: the function is found on the type and called
    // with the object first, without a bound method made and freed, as
    // Python code's own o.name(...) does. Items are borrowed from the tuple.
    PyRef method(EPyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(strlen(text))));
    if (!method) return nullptr;
    PyObject* stack[kStackArguments + 2];
    Py_ssize_t n = t ? t->ob_size : 0;
    stack[0] = nullptr;
    stack[1] = o;
    for (Py_ssize_t i = 0; i < n; ++i) stack[i + 2] = TupleItems(t)[i];
    KeptForCall kept(held), keptSelf(o);  // as a bound method would keep it
    return EPyObject_VectorcallMethod(method.get(), stack + 1,
                                      static_cast<size_t>(n + 1) | kArgumentsOffset, nullptr);
  }
  PyRef method(EPyObject_GetAttrString(o, text));
  if (!method) return nullptr;
  return CallWithArguments(method.get(), parameters, nullptr);
}
