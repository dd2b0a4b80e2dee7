// Functions shared by the module, function, class and instance handles.
#pragma once

#include "values/calls.h"
#include "values/holders.h"

// The attribute accessors. They work on the Python3Object block of whatever
// handle they are called on, so the module's and the instance's records list
// the same functions (module.cpp).
int32_t PythonModule_GetInt32Field(REALobject self, REALstring name);
void PythonModule_SetInt32Field(REALobject self, REALstring name, int32_t value);
int64_t PythonModule_GetInt64Field(REALobject self, REALstring name);
void PythonModule_SetInt64Field(REALobject self, REALstring name, int64_t value);
uint64_t PythonModule_GetUInt64Field(REALobject self, REALstring name);
void PythonModule_SetUInt64Field(REALobject self, REALstring name, uint64_t value);
double PythonModule_GetDoubleField(REALobject self, REALstring name);
void PythonModule_SetDoubleField(REALobject self, REALstring name, double value);
int8_t PythonModule_GetBooleanField(REALobject self, REALstring name);
void PythonModule_SetBooleanField(REALobject self, REALstring name, int8_t value);
REALstring PythonModule_GetStringField(REALobject self, REALstring name);
void PythonModule_SetStringField(REALobject self, REALstring name, REALstring value);
REALobject PythonModule_GetObjectField(REALobject self, REALstring name);
void PythonModule_SetObjectField(REALobject self, REALstring name, REALobject value);
int8_t PythonModule_HasAttribute(REALobject self, REALstring name);
int32_t PythonModule_DeleteAttribute(REALobject self, REALstring name);
REALobject PythonModule_GetEntityField(REALobject self, REALstring name);
void PythonModule_SetEntityField(REALobject self, REALstring name, REALobject value);

// The method records of the attribute accessors, in record order, shared by
// the records of Python3Module and Python3Instance.
#define PYTHON_ATTRIBUTE_METHODS                                                              \
  {FN_PY(PythonModule_GetInt32Field), FN_PY(PythonModule_SetInt32Field),                           \
   DOC("Int32Field(name as String) as Int32", "The attribute as Int32; the setter stores an int.", "Wrong type: -1, TypeError pending. Missing attribute: the default, AttributeError pending. Empty handle or no interpreter: neutral. Setter: a value that cannot be made or an attribute Python refuses: unchanged (its error pending)."), REALmemberFlag, 0, 0},                              \
  {FN_PY(PythonModule_GetInt64Field), FN_PY(PythonModule_SetInt64Field),                           \
   DOC("Int64Field(name as String) as Int64", "The attribute as Int64; the setter stores an int.", "Wrong type: -1, TypeError pending. Missing attribute: the default, AttributeError pending. Empty handle or no interpreter: neutral. Setter: a value that cannot be made or an attribute Python refuses: unchanged (its error pending)."), REALmemberFlag, 0, 0},                              \
  {FN_PY(PythonModule_GetUInt64Field), FN_PY(PythonModule_SetUInt64Field),                         \
   DOC("UInt64Field(name as String) as UInt64", "The attribute as UInt64; the setter stores an int.", "Wrong type: all bits set, TypeError pending. Missing attribute: the default, AttributeError pending. Empty handle or no interpreter: neutral. Setter: a value that cannot be made or an attribute Python refuses: unchanged (its error pending)."), REALmemberFlag, 0, 0},                            \
  {FN_PY(PythonModule_GetDoubleField), FN_PY(PythonModule_SetDoubleField),                         \
   DOC("DoubleField(name as String) as Double", "The attribute as Double; the setter stores a float.", "Wrong type: -1.0, TypeError pending. Missing attribute: the default, AttributeError pending. Empty handle or no interpreter: neutral. Setter: a value that cannot be made or an attribute Python refuses: unchanged (its error pending)."), REALmemberFlag, 0, 0},                            \
  {FN_PY(PythonModule_GetBooleanField), FN_PY(PythonModule_SetBooleanField),                       \
   DOC("BooleanField(name as String) as Boolean", "Python's truth of the attribute; the setter stores True or False.", "Missing attribute: the default, AttributeError pending. Empty handle or no interpreter: neutral. Setter: a value that cannot be made or an attribute Python refuses: unchanged (its error pending)."), REALmemberFlag, 0, 0},                          \
  {FN_PY(PythonModule_GetStringField), FN_PY(PythonModule_SetStringField),                         \
   DOC("StringField(name as String) as String", "The attribute's str as text; the setter stores a str.", "Not a str: the empty string. Missing attribute: the default, AttributeError pending. Empty handle or no interpreter: neutral. Setter: a value that cannot be made or an attribute Python refuses: unchanged (its error pending)."), REALmemberFlag, 0, 0},                            \
  {FN_PY(PythonModule_GetObjectField), FN_PY(PythonModule_SetObjectField),                         \
   DOC("ObjectField(name as String) as Object", "The host object of the attribute's capsule; the setter stores a capsule.", "Not such a capsule: nil. Setter nil: ValueError pending, unchanged. Missing attribute: the default, AttributeError pending. Empty handle or no interpreter: neutral. Setter: a value that cannot be made or an attribute Python refuses: unchanged (its error pending)."), REALmemberFlag, 0, 0},                            \
  {FN_PY(PythonModule_HasAttribute), nullptr, DOC("HasAttribute(name as String) as Boolean", "Whether the attribute exists.", "Missing: False, nothing pending. Empty handle or no interpreter: neutral."),        \
   REALmemberFlag, 0, 0},                                                                     \
  {FN_PY(PythonModule_DeleteAttribute), nullptr, DOC("DeleteAttribute(name as String) as Integer", "Deletes the attribute: 0 when done.", "Missing: -1, AttributeError pending. Empty handle or no interpreter: neutral."),   \
   REALmemberFlag, 0, 0},                                                                     \
  {FN_PY(PythonModule_GetEntityField), FN_PY(PythonModule_SetEntityField),                         \
   DOC("EntityField(name as String) as Python3EntityBase", "The attribute, whatever its type, as a new Python3Entity; the setter stores any holder's object.", "Missing attribute: nil, AttributeError pending. Setter: nil or empty value: unchanged, ValueError pending; an attribute Python refuses: unchanged (its error pending). Empty handle or no interpreter: neutral."), REALmemberFlag, 0, 0},

// The Python object of a member's own handle, or null when there is nothing
// to ask Python about: a handle without an object, or no running
// interpreter. The host never calls a member on nil.
COILWORK_HOT PyObject* HandleTarget(REALobject self) { return ObjectData(self)->held.get(); }

// Fetches the attribute name of the handle's object: a new reference, or
// null (Python's error pending when Python was asked).
PyObject* FetchAttribute(REALobject self, REALstring name);

// Wraps a callable in a new Python3Function (function.cpp). The callable's
// reference passes to the handle; the handle takes its own host references on
// name and on the non-nil owners. Nil (callable released) when the host
// cannot make the handle.
REALobject NewFunctionHandle(REALstring name, PyObject* callable, REALobject ownerModule,
                             REALobject ownerInstance);
