// Calls of Python objects with the arguments that host holders carry: the
// tuple of a Python3Parameters holder and the dict of a Python3Dictionary
// holder (calls.cpp). The members every holder answers (generic.h),
// Python3Function and Python3Class call through these.
#pragma once

#include <string.h>

#include "convert/convert.h"

// Calls callable with the tuple of a Python3Parameters holder and the dict
// of a Python3Dictionary holder: a new reference, or null with Python's
// error pending. Nil or an empty holder means no arguments
// (no keywords); a holder whose object is no tuple (no dict), or keywords
// that are not all strings, raise TypeError without calling. Null with
// nothing pending for a null callable or without an interpreter.
PyObject* CallWithArguments(PyObject* callable, REALobject parameters, REALobject keywords);
// callable(*arguments): arguments an exact tuple, or null for none. An
// answer, or null with Python's error pending.
PyObject* CallWithTuple(PyObject* callable, PyObject* arguments);
// o.name(*parameters), parameters as CallWithArguments takes them. An
// answer, or null with Python's error pending (null with nothing pending
// without an interpreter).
PyObject* CallMethodWithArguments(PyObject* o, REALstring name, REALobject parameters);

// The keyword dict to pass on: null for no keywords (nil, an empty holder,
// an empty dict), *refused set with TypeError pending for anything Python
// must not be given. Python's own call paths do not all check that keyword
// names are strings before reading them as strings, so that is checked here,
// with the answer Python gives where it does check.
PyObject* CallKeywords(REALobject keywords, bool* refused);

// ---------------------------------------------------------------------------
// CallWithTuple's own steps, inline: Python3Function.Invoke takes them
// directly, the shortest way from a host call to Python's.

// The vectorcall entry of an object whose type has one, read where Python
// 3.9 and later keep it; null for any other object or library. Calling it
// with a tuple's items is what PyObject_Call itself does for such an object,
// without the layers in between, which cost about as much as the plugin's
// own part of a call.
using Vectorcall = PyObject* (*)(PyObject*, PyObject* const*, size_t, PyObject*);
COILWORK_HOT Vectorcall VectorcallOf(PyObject* callable) {
  if (!gVectorcallInPlace) return nullptr;
  PyTypeObject* type = Py_TYPE(callable);
  if (!(type->tp_flags & Py_TPFLAGS_HAVE_VECTORCALL) || type->tp_vectorcall_offset <= 0)
    return nullptr;
  Vectorcall entry;
  memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof entry);
  return entry;
}

COILWORK_HOT PyTupleObject* InPlaceTuple(PyObject* o) {
  return o && gPythonInPlace && Py_TYPE(o) == e__PyTuple_Type ? reinterpret_cast<PyTupleObject*>(o)
                                                              : nullptr;
}

// One reference on a call's argument tuple for the call's duration, given
// back only in the interpreter that took it. Host code that the call runs
// may set the holder's slots, which on a tuple no one else holds happens in
// place and would free an item the callee still reads.
struct KeptForCall {
  HeldPython held;
  explicit KeptForCall(PyObject* o) {
    if (o) PyAddRefs(o, 1);
    held.set(o);
  }
  ~KeptForCall() {
    // Most often still in the interpreter that took it.
    if (held.pyObject && held.generation == CurrentGenerationOfThread()) PyReleaseLive(held.pyObject);
    else ReleaseHeld(held);
  }
  KeptForCall(const KeptForCall&) = delete;
  KeptForCall& operator=(const KeptForCall&) = delete;
};

// CallWithTuple's call.
COILWORK_HOT PyObject* CallTuple(PyObject* callable, PyObject* arguments) {
  if (Vectorcall entry = VectorcallOf(callable)) {
    if (!arguments) return entry(callable, nullptr, 0, nullptr);
    if (PyTupleObject* t = InPlaceTuple(arguments)) {
      KeptForCall kept(arguments);
      return entry(callable, TupleItems(t), static_cast<size_t>(t->ob_size), nullptr);
    }
  }
  KeptForCall kept(arguments);
  return EPyObject_CallObject(callable, arguments);
}
