// Python3Function: a handle on a callable, taken from a module or from an
// instance. It keeps the handle it came from alive.
#include "code/code.h"

#include <string.h>

#include "interpreter/copies.h"

REALobject NewFunctionHandle(REALstring name, PyObject* callable, REALobject ownerModule,
                             REALobject ownerInstance) {
  REALobject handle = NewInstance(PythonFunctionClassRef, "Python3Function");
  if (!handle) {
    PyRelease(callable);
    return nullptr;
  }
  ELockString(name);
  if (ownerModule) ELockObject(ownerModule);
  if (ownerInstance) ELockObject(ownerInstance);
  Python3ObjectData* object = ObjectData(handle);
  object->name = name;
  object->held.set(callable);  // the caller's reference passes to the handle
  FunctionData* data = Data<FunctionData>(handle, PythonFunctionClass);
  data->ownerModule = ownerModule;
  data->ownerInstance = ownerInstance;
  return handle;
}

namespace {

bool HasFlag(PyObject* o, unsigned long flag) { return (Py_TYPE(o)->tp_flags & flag) != 0; }

void RaiseTypeError(const char* message) {
  if (EPyErr_SetString && e__PyExc_TypeError && *e__PyExc_TypeError)
    EPyErr_SetString(*e__PyExc_TypeError, message);
}

// The keyword dict to pass on: null for no keywords (nil, an empty holder,
// an empty dict), *refused set with TypeError pending for anything Python
// must not be given. Python's own call paths do not all check that keyword
// names are strings before reading them as strings, so that is checked here,
// with the answer Python gives where it does check.
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
  ~KeptForCall() { ReleaseHeld(held); }
  KeptForCall(const KeptForCall&) = delete;
  KeptForCall& operator=(const KeptForCall&) = delete;
};

// Lets the callee use the word before the arguments, as Python's own calls
// of a method do.
constexpr size_t kArgumentsOffset = size_t(1) << (sizeof(size_t) * 8 - 1);
// The most arguments a method call passes on the stack; more go through the
// attribute and a call of it.
constexpr Py_ssize_t kStackArguments = 8;

}  // namespace

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

namespace {

COILWORK_HOT PyObject* CallTuple(PyObject* callable, PyObject* arguments) {
  if (Vectorcall entry = VectorcallOf(callable)) {
    if (!arguments) return entry(callable, nullptr, 0, nullptr);
    if (PyTupleObject* t = InPlaceTuple(arguments)) {
      KeptForCall kept(arguments);
      return entry(callable, t->ob_item, static_cast<size_t>(t->ob_size), nullptr);
    }
  }
  KeptForCall kept(arguments);
  return EPyObject_CallObject(callable, arguments);
}

}  // namespace

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
    for (Py_ssize_t i = 0; i < n; ++i) stack[i + 2] = t->ob_item[i];
    KeptForCall kept(held), keptSelf(o);  // as a bound method would keep it
    return EPyObject_VectorcallMethod(method.get(), stack + 1,
                                      static_cast<size_t>(n + 1) | kArgumentsOffset, nullptr);
  }
  PyRef method(EPyObject_GetAttrString(o, text));
  if (!method) return nullptr;
  return CallWithArguments(method.get(), parameters, nullptr);
}

namespace {

REALobject PythonFunction_Module(REALobject self, intptr_t) {
  REALobject module = Data<FunctionData>(self, PythonFunctionClass)->ownerModule;
  if (module) ELockObject(module);
  return module;
}

REALobject PythonFunction_Invoke(REALobject self, REALobject parameters) {
  PyObject* callable = HandleTarget(self);
  if (!callable) return nullptr;
  // Borrowed from the parameters holder; a holder without a tuple, like nil,
  // means no arguments. Python itself refuses an object that is no tuple.
  PyObject* arguments = HeldObject(parameters);
  // A holder of another interpreter whose object cannot cross.
  if (!arguments && parameters && ErrorPending()) return nullptr;
  PyObject* answer = CallTuple(callable, arguments);
  return NewResultHandle(answer);  // nil with the exception pending when it raised
}

// The call with keyword arguments. Without keywords it is Invoke(parameters)
// exactly.
REALobject PythonFunction_InvokeKeywords(REALobject self, REALobject parameters,
                                         REALobject keywords) {
  PyObject* callable = HandleTarget(self);
  if (!callable) return nullptr;
  bool refused = false;
  if (!CallKeywords(keywords, &refused))
    return refused ? nullptr : PythonFunction_Invoke(self, parameters);
  PyObject* answer = CallWithArguments(callable, parameters, keywords);
  return NewResultHandle(answer);  // nil with the exception pending when it raised
}

void PythonFunction_Destructor(REALobject self) {
  FunctionData* data = Data<FunctionData>(self, PythonFunctionClass);
  if (data->ownerModule) EUnlockObject(data->ownerModule);
  if (data->ownerInstance) EUnlockObject(data->ownerInstance);
  data->ownerModule = data->ownerInstance = nullptr;
}

REALproperty PythonFunctionProperties[] = {
    {nullptr, DOC("OwnerModule", "The module handle the function was taken from.", "Taken from an instance: nil."), "Python3Module", REALmemberFlag, FN(PythonFunction_Module), nullptr,
     0, {}},
};

REALmethodDefinition PythonFunctionMethods[] = {
    {FN_PY(PythonFunction_Invoke), nullptr,
     DOC("Invoke(parameters as Python3Parameters) as Python3Result", "Calls the function with the tuple's items as arguments.", "Nil or empty parameters: no arguments. Raised: nil, error pending. Empty handle or no interpreter: neutral."), REALmemberFlag, 0, 0},
    {FN_PY(PythonFunction_InvokeKeywords), nullptr,
     DOC("Invoke(parameters as Python3Parameters, keywords as Python3Dictionary) as Python3Result",
         "Calls the function with the tuple's items as arguments and the dict's items as "
         "keyword arguments.",
         "Nil or empty keywords: as Invoke(parameters). Bad keywords (not str, unexpected): nil, "
         "TypeError pending. Raised: nil, error pending. Empty handle or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition PythonFunctionClass = CLASS_RECORD(
    DOC("Python3Function", "A callable Python object: a module's function or an instance's bound method.", ""), "Python3Object", sizeof(FunctionData),
    nullptr, FN(PythonFunction_Destructor),
    CLASS_TABLE(PythonFunctionProperties), CLASS_TABLE(PythonFunctionMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
