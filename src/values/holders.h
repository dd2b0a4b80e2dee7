// New value holders: host instances of the plugin's value classes made to
// hold a Python object (holders.cpp), and the object a member's own holder
// holds.
#pragma once

#include "convert/convert.h"

// What a member's own holder holds, or null for an empty holder and while no
// interpreter runs (a held object counts only while its interpreter runs):
// the object every member of a holder works on. The host never calls a
// member on nil, so self is not tested; holders given as arguments go
// through HeldObject, which is.
COILWORK_HOT PyObject* LiveHeld(REALobject self) { return EntityData(self)->held.get(); }

// New value holders sharing o (reference added); nil when o fails the test.
REALobject ToBytesHolder(PyObject* o);
REALobject ToTupleHolder(PyObject* o);  // Python3Parameters, lastError 0
REALobject ToListHolder(PyObject* o);
REALobject ToDictHolder(PyObject* o);

// Makes a holder of the given class whose EntityBase pyObject is o; the new
// reference o passes to the holder (the caller adds one first when sharing).
REALobject NewHolder(REALclassRef& cache, const char* className, PyObject* o);
// A new Python3Entity holding o with a reference added; nil for null o.
REALobject NewEntitySharing(PyObject* o);

// A new Python3Result holding value, whose new reference passes to the
// handle; nil for a null value, and nil with the reference released when the
// host cannot make the handle. Inline: it ends every call's path.
COILWORK_HOT REALobject NewResultHandle(PyObject* value) {
  if (!value) return nullptr;
  REALobject result = NewInstance(PythonResultClassRef, "Python3Result");
  if (!result) {
    PyRelease(value);
    return nullptr;
  }
  Data<ResultData>(result, PythonResultClass)->held.set(value);  // the reference passes
  return result;
}
