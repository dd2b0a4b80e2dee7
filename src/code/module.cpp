// Python3Module: the host's handle on an imported module. Its attribute
// accessors work on the Python3Object block of any handle, so the instance
// handle registers the same functions.
#include "code/code.h"
#include "values/generic.h"
#include "interpreter/copies.h"

PyObject* FetchAttribute(REALobject self, REALstring name) {
  PyObject* target = HandleTarget(self);
  if (!target) return nullptr;
  // The name goes to Python as the bytes the host stores, decoded there.
  return EPyObject_GetAttrString(target, HostBytes(name));
}

namespace {

// Reads an attribute with conversion: Python's own conversion decides what
// converts; a failed fetch answers fallback with Python's error pending.
template <class R, class F>
R ReadField(REALobject self, REALstring name, R fallback, F convert) {
  PyRef value(FetchAttribute(self, name));
  if (!value) return fallback;
  return convert(value.get());
}

// Stores a new reference under name; a value Python could not make leaves
// the attribute as it was (a null value would delete it).
void WriteField(REALobject self, REALstring name, PyObject* made) {
  PyRef value(made);
  PyObject* target = HandleTarget(self);
  if (!target || !value) return;
  // A refused assignment leaves Python's error pending; nothing else to do.
  EPyObject_SetAttrString(target, HostBytes(name), value.get());
}

}  // namespace

int32_t PythonModule_GetInt32Field(REALobject self, REALstring name) {
  return ReadField<int32_t>(self, name, 0, AsInt32);
}

void PythonModule_SetInt32Field(REALobject self, REALstring name, int32_t value) {
  if (HandleTarget(self)) WriteField(self, name, PyFromInt32(value));
}

int64_t PythonModule_GetInt64Field(REALobject self, REALstring name) {
  return ReadField<int64_t>(self, name, 0, AsInt64);
}

void PythonModule_SetInt64Field(REALobject self, REALstring name, int64_t value) {
  if (HandleTarget(self)) WriteField(self, name, PyFromInt64(value));
}

uint64_t PythonModule_GetUInt64Field(REALobject self, REALstring name) {
  return ReadField<uint64_t>(self, name, 0, AsUInt64);
}

void PythonModule_SetUInt64Field(REALobject self, REALstring name, uint64_t value) {
  if (HandleTarget(self)) WriteField(self, name, PyFromUInt64(value));
}

double PythonModule_GetDoubleField(REALobject self, REALstring name) {
  return ReadField<double>(self, name, 0.0, AsDouble);
}

void PythonModule_SetDoubleField(REALobject self, REALstring name, double value) {
  if (HandleTarget(self)) WriteField(self, name, PyFromDouble(value));
}

int8_t PythonModule_GetBooleanField(REALobject self, REALstring name) {
  // Python's truth of any object; a failing truth test reads as false.
  return ReadField<int8_t>(self, name, 0, AsTruth);
}

void PythonModule_SetBooleanField(REALobject self, REALstring name, int8_t value) {
  if (HandleTarget(self)) WriteField(self, name, PyFromBoolean(value));
}

REALstring PythonModule_GetStringField(REALobject self, REALstring name) {
  return ReadField<REALstring>(self, name, nullptr, ToString);
}

void PythonModule_SetStringField(REALobject self, REALstring name, REALstring value) {
  // Text the host cannot give as UTF-8 changes nothing and raises nothing.
  if (HandleTarget(self)) WriteField(self, name, PyFromString(value));
}

REALobject PythonModule_GetObjectField(REALobject self, REALstring name) {
  return ReadField<REALobject>(self, name, nullptr, ToObject);
}

void PythonModule_SetObjectField(REALobject self, REALstring name, REALobject value) {
  // The capsule holds its own host reference on value; nil makes none and
  // leaves Python's ValueError pending.
  if (HandleTarget(self)) WriteField(self, name, PyFromObject(value));
}

int8_t PythonModule_HasAttribute(REALobject self, REALstring name) {
  PyObject* target = HandleTarget(self);
  if (!target) return 0;
  return generic::HasAttribute(target, name);
}

int32_t PythonModule_DeleteAttribute(REALobject self, REALstring name) {
  PyObject* target = HandleTarget(self);
  if (!target) return -1;
  return EPyObject_SetAttrString(target, HostBytes(name), nullptr);
}

REALobject PythonModule_GetEntityField(REALobject self, REALstring name) {
  PyObject* value = FetchAttribute(self, name);
  // The fetched reference passes to the entity.
  return value ? NewHolder(PythonEntityClassRef, "Python3Entity", value) : nullptr;
}

void PythonModule_SetEntityField(REALobject self, REALstring name, REALobject value) {
  PyObject* target = HandleTarget(self);
  if (!target) return;
  PyObject* v = HeldObject(value);  // borrowed from the holder
  if (!v) {
    // A null value would delete the attribute: refused instead.
    PyRaise(e__PyExc_ValueError, "the value holder holds no object");
    return;
  }
  EPyObject_SetAttrString(target, HostBytes(name), v);
}

namespace {

REALobject PythonModule_GetFunction(REALobject self, REALstring name) {
  PyObject* value = FetchAttribute(self, name);
  if (!value) return nullptr;
  if (!EPyCallable_Check(value)) {
    PyRelease(value);  // not callable: nil, and no error is pending
    return nullptr;
  }
  return NewFunctionHandle(name, value, self, nullptr);
}

REALobject PythonModule_GetClass(REALobject self, REALstring name) {
  PyObject* value = FetchAttribute(self, name);
  if (!value) return nullptr;
  // Whatever the attribute holds is wrapped; calling it is CreateInstance's
  // business.
  REALobject handle = NewInstance(PythonClassClassRef, "Python3Class");
  if (!handle) {
    PyRelease(value);
    return nullptr;
  }
  ELockString(name);
  ELockObject(self);
  Python3ObjectData* object = ObjectData(handle);
  object->name = name;
  object->held.set(value);  // the fetched reference passes to the handle
  Data<ClassData>(handle, PythonClassClass)->ownerModule = self;
  return handle;
}

int8_t PythonModule_Reload(REALobject self) {
  PyObject* module = HandleTarget(self);
  if (!module) return 0;
  PyObject* reloaded = EPyImport_ReloadModule(module);
  if (!reloaded) {
    // The handle keeps the module it had; the reason is not kept.
    EPyErr_Clear();
    return 0;
  }
  ObjectData(self)->held.set(reloaded);
  PyRelease(module);
  return 1;
}

// The module reference belongs to the Python3Object level, which releases it.
void PythonModule_Destructor(REALobject) {}

REALmethodDefinition PythonModuleMethods[] = {
    {FN_PY(PythonModule_GetFunction), nullptr, DOC("GetFunction(name as String) as Python3Function", "The module's function of that name.", "Missing: nil, AttributeError pending. Not callable: nil, nothing pending. Empty handle or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN_PY(PythonModule_GetClass), nullptr, DOC("GetClass(name as String) as Python3Class", "The attribute of that name as a class handle.", "Missing: nil, AttributeError pending. Empty handle or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
    PYTHON_ATTRIBUTE_METHODS
    {FN_PY(PythonModule_Reload), nullptr, DOC("Reload() as Boolean", "Reloads the module from its source; the handle holds the new module.", "Failure: False, the handle keeps its module, the error is cleared. Empty handle or no interpreter: neutral."), REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition PythonModuleClass = CLASS_RECORD(
    DOC("Python3Module", "An imported Python module, with attribute access, its functions and classes.", ""), "Python3Object", sizeof(ModuleData),
    nullptr, FN_NO_PYTHON(PythonModule_Destructor),
    NO_TABLE, CLASS_TABLE(PythonModuleMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
