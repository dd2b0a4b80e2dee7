// The members every holder of a Python object answers (generic.h), written
// once over the held object. Each takes a new reference only where it keeps
// one (a new holder or handle takes it over) and releases every temporary
// one before returning; Python's own error is left pending on failure.
#include "values/generic.h"

#include <stdint.h>
#include <string.h>

#include <string>

#include "interpreter/copies.h"
#include "values/calls.h"

namespace generic {

namespace {

// A new entity taking over the new reference made; nil for null (Python's
// error, if any, stays pending).
REALobject NewEntity(PyObject* made) {
  return made ? NewHolder(PythonEntityClassRef, "Python3Entity", made) : nullptr;
}

// A handle of a Python3Object class holding o, with a reference added. It
// was found under no name, so its Name is empty.
REALobject NewHandle(REALclassRef& cache, const char* className, PyObject* o) {
  REALobject handle = NewInstance(cache, className);
  if (!handle) return nullptr;
  PyAddRef(o);
  ObjectData(handle)->held.set(o);
  return handle;
}

REALstring NewText(const std::string& text) {
  return REALBuildStringWithEncoding(text.data(), text.size(), kREALTextEncodingUTF8);
}

// The text of a str attribute of the type, "" when it has none. A failed
// lookup is dropped again: the member runs with no earlier error pending
// (it is set aside meanwhile), so only the lookup's own is cleared.
std::string TypeText(PyObject* type, const char* attribute) {
  PyRef value(EPyObject_GetAttrString(type, attribute));
  Py_ssize_t length = 0;
  const char* bytes = IsStringObject(value.get()) ? EPyUnicode_AsUTF8AndSize(value.get(), &length)
                                                  : nullptr;
  if (!bytes) {
    EPyErr_Clear();
    return std::string();
  }
  return std::string(bytes, static_cast<size_t>(length));
}

}  // namespace

REALstring TypeName(PyObject* o) {
  if (!o) return nullptr;
  PyTypeObject* type = Py_TYPE(o);
  PyObject* typeObject = reinterpret_cast<PyObject*>(type);
  // __qualname__ and __module__ are how Python itself names a class in
  // repr(); tp_name is the answer only should they be missing.
  std::string qualified = TypeText(typeObject, "__qualname__");
  if (qualified.empty()) return NewText(type->tp_name ? type->tp_name : "");
  std::string module = TypeText(typeObject, "__module__");
  if (!module.empty() && module != "builtins") qualified = module + "." + qualified;
  return NewText(qualified);
}

int8_t IsNone(PyObject* o) {
  if (!o) return 0;
  if (e___Py_NoneStruct) return o == e___Py_NoneStruct;
  PyRef none(PyNewNone());
  return o == none.get();
}

int32_t Length(PyObject* o) {
  if (!o) return 0;
  Py_ssize_t n = EPyObject_Size(o);
  if (n > INT32_MAX) {
    PyRaise(e__PyExc_OverflowError, "length does not fit in an Integer");
    return -1;
  }
  return static_cast<int32_t>(n);
}

REALstring ToStr(PyObject* o) {
  if (!o) return nullptr;
  PyRef text(EPyObject_Str(o));
  return text ? ToString(text.get()) : nullptr;
}

REALstring ToRepr(PyObject* o) {
  if (!o) return nullptr;
  PyRef text(EPyObject_Repr(o));
  return text ? ToString(text.get()) : nullptr;
}

// Attribute names go to Python as the bytes the host stores, as the module
// handle's accessors send them.
// Any error of the lookup (no such attribute, a name that is no UTF-8, a
// property that raised) is dropped here: Python 3.13's own HasAttrString
// would print it to sys.stderr as an ignored exception first.
int8_t HasAttribute(PyObject* o, REALstring name) {
  if (!o) return 0;
  PyObject* found = EPyObject_GetAttrString(o, HostBytes(name));
  if (!found) {
    EPyErr_Clear();
    return 0;
  }
  PyReleaseLive(found);
  return 1;
}

REALobject GetAttribute(PyObject* o, REALstring name) {
  if (!o) return nullptr;
  return NewEntity(EPyObject_GetAttrString(o, HostBytes(name)));
}

int8_t SetAttribute(PyObject* o, REALstring name, REALobject value) {
  if (!o) return 0;
  PyObject* v = HeldObject(value);  // borrowed from the holder
  if (!v) {
    // A null value would delete the attribute: refused instead.
    PyRaise(e__PyExc_ValueError, "the value holder holds no object");
    return 0;
  }
  return EPyObject_SetAttrString(o, HostBytes(name), v) == 0 ? 1 : 0;
}

REALobject GetItem(PyObject* o, REALobject key) {
  PyObject* k = HeldObject(key);  // borrowed from the holder
  if (!o || !k) return nullptr;
  return NewEntity(EPyObject_GetItem(o, k));
}

int8_t SetItem(PyObject* o, REALobject key, REALobject value) {
  PyObject* k = HeldObject(key);    // borrowed from the holder
  PyObject* v = HeldObject(value);  // borrowed from the holder
  if (!o || !k || !v) return 0;
  return EPyObject_SetItem(o, k, v) == 0 ? 1 : 0;
}

REALobject Call(PyObject* o, REALobject parameters, REALobject keywords) {
  if (!o) return nullptr;
  return NewResultHandle(CallWithArguments(o, parameters, keywords));
}

REALobject CallMethod(PyObject* o, REALstring name, REALobject parameters, REALobject keywords) {
  if (!o) return nullptr;
  if (!keywords) return NewResultHandle(CallMethodWithArguments(o, name, parameters));
  PyRef method(EPyObject_GetAttrString(o, HostBytes(name)));
  if (!method) return nullptr;
  return NewResultHandle(CallWithArguments(method.get(), parameters, keywords));
}

REALobject Iterate(PyObject* o) {
  if (!o) return nullptr;
  PyObject* iterator = EPyObject_GetIter(o);
  return iterator ? NewHolder(PythonIteratorClassRef, "Python3Iterator", iterator) : nullptr;
}

REALobject ToList(PyObject* o) {
  if (!o) return nullptr;
  PyObject* list = EPySequence_List(o);
  return list ? NewHolder(PythonListClassRef, "Python3List", list) : nullptr;
}

int8_t IsInstance(PyObject* o, REALobject ofClass) {
  // The class handle's object, borrowed from it; none for an empty handle or
  // one of a stopped interpreter.
  PyObject* cls = ofClass ? ObjectData(ofClass)->held.get() : nullptr;
  if (!o || !cls) return 0;
  // A failed test (-1) reaches the host as false; the error stays.
  return EPyObject_IsInstance(o, cls) > 0 ? 1 : 0;
}

REALobject AsInstance(PyObject* o) {
  if (!o) return nullptr;
  return NewHandle(PythonPythonInstanceClassRef, "Python3Instance", o);
}

REALobject AsModule(PyObject* o) {
  if (!o || !e__PyModule_Type) return nullptr;
  PyTypeObject* type = Py_TYPE(o);
  if (type != e__PyModule_Type && !EPyType_IsSubtype(type, e__PyModule_Type)) {
    PyRaise(e__PyExc_TypeError, "the object is not a module");
    return nullptr;
  }
  return NewHandle(PythonModuleClassRef, "Python3Module", o);
}

}  // namespace generic
