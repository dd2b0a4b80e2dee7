// Python references held by the plugin's own code: counted in place where
// Python's own macros would, and a scope-bound owner for temporary ones.
#pragma once

#include "python/pyapi.h"

// Reference counts are changed in place while they are ordinary, as Python's
// own Py_INCREF and Py_DECREF do; everything else goes through Py_IncRef and
// Py_DecRef. From 3.12 on, immortal objects carry a count at or above this
// limit (2^30 - 1 on 32-bit builds, 2^32 - 1 in the low word on 64-bit ones)
// and must not be counted here; a release that would reach zero must run the
// deallocator, which only Python's function does. A debug build's counts
// are only ever changed by its functions (gPythonInPlace).
constexpr Py_ssize_t kPlainRefLimit = 0x3FFFFFFF;

// Whether an object is immortal (3.12 on: None, True, small ints, interned
// text...), whose count Python's own Py_INCREF and Py_DECREF leave alone: the
// low 32 bits of the count read negative on 64-bit builds, and it is at
// least 2^30 - 1 on 32-bit ones. Only meaningful where gImmortalObjects.
inline bool Immortal(const PyObject* o) {
  const Py_ssize_t count = o->ob_refcnt;
  if (sizeof(Py_ssize_t) > 4) return static_cast<int32_t>(static_cast<uint32_t>(count)) < 0;
  return count >= kPlainRefLimit;
}

// Adds n references through Python's function, or none to an immortal
// object, as Python's own macro would: kept out of line, so that the
// in-place path stays small where it is inlined.
__attribute__((noinline, cold)) inline void PyAddRefsByCall(PyObject* o, Py_ssize_t n) {
  if (gImmortalObjects && Immortal(o)) return;
  while (n-- > 0) EPy_IncRef(o);
}

// Releases one reference through Python's function, or none of an
// immortal object.
__attribute__((noinline)) inline void PyReleaseByCall(PyObject* o) {
  if (gImmortalObjects && Immortal(o)) return;
  EPy_DecRef(o);
}

// Adds n references to a non-null object.
COILWORK_HOT void PyAddRefs(PyObject* o, Py_ssize_t n) {
  Py_ssize_t count = o->ob_refcnt;
  if (gPythonInPlace && count > 0 && count < kPlainRefLimit - n) {
    o->ob_refcnt = count + n;
    return;
  }
  PyAddRefsByCall(o, n);
}

// Adds one reference.
COILWORK_HOT void PyAddRef(PyObject* o) {
  if (o) PyAddRefs(o, 1);
}

// Releases one reference of a non-null object of the running interpreter:
// for callers that already know it runs (a held object, see HeldPython).
COILWORK_HOT void PyReleaseLive(PyObject* o) {
  Py_ssize_t count = o->ob_refcnt;
  if (gPythonInPlace && count > 1 && count < kPlainRefLimit)
    o->ob_refcnt = count - 1;
  else
    PyReleaseByCall(o);
}

// Releases one reference: only for a non-null object while the interpreter
// runs; before Init and after Finalize it makes no Python call at all.
COILWORK_HOT void PyRelease(PyObject* o) {
  if (!o || !PythonRunning()) return;
  PyReleaseLive(o);
}

// A temporary new reference, released at scope exit.
class PyRef {
 public:
  explicit PyRef(PyObject* o = nullptr) : o_(o) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : o_(other.release()) {}
  ~PyRef() { PyRelease(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_;
};
