// Functions shared by the module, function, class and instance handles.
#pragma once

#include "python/convert.h"

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

// The method records of the attribute accessors, in record order, shared by
// the records of Python3Module and Python3Instance.
#define PYTHON_ATTRIBUTE_METHODS                                                              \
  {FN(PythonModule_GetInt32Field), FN(PythonModule_SetInt32Field),                           \
   "Int32Field(name as String) as Int32", REALmemberFlag, 0, 0},                              \
  {FN(PythonModule_GetInt64Field), FN(PythonModule_SetInt64Field),                           \
   "Int64Field(name as String) as Int64", REALmemberFlag, 0, 0},                              \
  {FN(PythonModule_GetUInt64Field), FN(PythonModule_SetUInt64Field),                         \
   "UInt64Field(name as String) as UInt64", REALmemberFlag, 0, 0},                            \
  {FN(PythonModule_GetDoubleField), FN(PythonModule_SetDoubleField),                         \
   "DoubleField(name as String) as Double", REALmemberFlag, 0, 0},                            \
  {FN(PythonModule_GetBooleanField), FN(PythonModule_SetBooleanField),                       \
   "BooleanField(name as String) as Boolean", REALmemberFlag, 0, 0},                          \
  {FN(PythonModule_GetStringField), FN(PythonModule_SetStringField),                         \
   "StringField(name as String) as String", REALmemberFlag, 0, 0},                            \
  {FN(PythonModule_GetObjectField), FN(PythonModule_SetObjectField),                         \
   "ObjectField(name as String) as Object", REALmemberFlag, 0, 0},                            \
  {FN(PythonModule_HasAttribute), nullptr, "HasAttribute(name as String) as Boolean",        \
   REALmemberFlag, 0, 0},                                                                     \
  {FN(PythonModule_DeleteAttribute), nullptr, "DeleteAttribute(name as String) as Integer",   \
   REALmemberFlag, 0, 0},

// The Python object of a handle, or null when there is nothing to ask Python
// about: a nil handle, a handle without an object, or no running interpreter.
PyObject* HandleTarget(REALobject self);

// Fetches the attribute name of the handle's object: a new reference, or
// null (Python's error pending when Python was asked).
PyObject* FetchAttribute(REALobject self, REALstring name);

// Wraps a callable in a new Python3Function (function.cpp). The callable's
// reference passes to the handle; the handle takes its own host references on
// name and on the non-nil owners. Nil (callable released) when the host
// cannot make the handle.
REALobject NewFunctionHandle(REALstring name, PyObject* callable, REALobject ownerModule,
                             REALobject ownerInstance);

// Calls callable with the tuple of a Python3Parameters holder and the dict
// of a Python3Dictionary holder (function.cpp): a new reference, or null
// with Python's error pending. Nil or an empty holder means no arguments
// (no keywords); a holder whose object is no tuple (no dict), or keywords
// that are not all strings, raise TypeError without calling. Null with
// nothing pending for a null callable or without an interpreter.
PyObject* CallWithArguments(PyObject* callable, REALobject parameters, REALobject keywords);
