// New value holders (holders.h).
#include "values/holders.h"

#include "values/parameters.h"

REALobject NewHolder(REALclassRef& cache, const char* className, PyObject* o) {
  REALobject holder = NewInstance(cache, className);
  if (!holder) {
    PyRelease(o);
    return nullptr;
  }
  EntityData(holder)->held.set(o);  // the host hands out new holders zero-filled
  return holder;
}

void ReleaseHolder(REALobject self) {
  EntityBaseData* data = EntityData(self);
  if (PyObject* o = data->held.get(); o && KeepTuple(o)) {
    data->held.pyObject = nullptr;
    return;
  }
  ReleaseHeld(data->held);  // no Python call before Init or after Finalize
}

namespace {

REALobject Share(bool passes, REALclassRef& cache, const char* className, PyObject* o) {
  if (!passes) return nullptr;
  PyAddRef(o);
  return NewHolder(cache, className, o);
}

}  // namespace

REALobject ToBytesHolder(PyObject* o) {
  return Share(IsBytesObject(o), PythonBytesClassRef, "Python3Bytes", o);
}

REALobject ToTupleHolder(PyObject* o) {
  REALobject holder = Share(IsTupleObject(o), PythonParametersClassRef, "Python3Parameters", o);
  if (holder) Data<ParametersData>(holder, PythonParametersClass)->lastError = 0;
  return holder;
}

REALobject ToListHolder(PyObject* o) {
  return Share(IsListObject(o), PythonListClassRef, "Python3List", o);
}

REALobject ToDictHolder(PyObject* o) {
  return Share(IsDictObject(o), PythonDictionaryClassRef, "Python3Dictionary", o);
}

REALobject NewEntitySharing(PyObject* o) {
  return Share(o && PythonRunning(), PythonEntityClassRef, "Python3Entity", o);
}
