// References (python/refs.h) and the value conversion rules shared by every class family:
// how host values become Python objects and back, with their type tests.
// Every function here assumes PythonRunning() unless it says otherwise.
#pragma once

#include "plugin/plugin.h"
#include "python/refs.h"

// EnsurePython for the paths every instance takes: the table is bound once,
// and later calls only read the flag.
COILWORK_HOT bool PythonTableBound() { return gPythonEntryPointsLoaded || EnsurePython(); }

// Releases what a handle holds (only in the interpreter that made it, which
// therefore runs) and leaves it empty. The handle is emptied first, as
// Py_CLEAR does: a deallocator that runs code finds no stale object in it.
COILWORK_HOT void ReleaseHeld(HeldPython& h) {
  PyObject* o = h.getScalar();
  h.pyObject = nullptr;
  if (o) PyReleaseLive(o);
}

// Replaces what a handle holds with o, whose reference passes to it; the
// former object is released after the handle holds o, as Py_SETREF does.
COILWORK_HOT void ReplaceHeld(HeldPython& h, PyObject* o) {
  PyObject* old = h.get();
  h.set(o);
  if (old) PyReleaseLive(old);
}

// Host text as UTF-8, disposed at scope exit. ok() is false when the host
// cannot give the text as UTF-8; a nil string gives the empty text.
class HostUTF8 {
 public:
  explicit HostUTF8(REALstring s);
  ~HostUTF8();
  HostUTF8(const HostUTF8&) = delete;
  HostUTF8& operator=(const HostUTF8&) = delete;
  bool ok() const { return ok_; }
  const char* data() const { return static_cast<const char*>(data_.data); }
  size_t size() const { return data_.length; }

 private:
  REALstringData data_{};
  bool ok_ = false;
  bool filled_ = false;  // the host filled data_: dispose of it
};

// A host string's bytes as the host stores them, NUL-terminated; "" for nil.
const char* HostBytes(REALstring s, size_t* length = nullptr);

// --- Host to Python: each returns a new reference or null (error pending).
PyObject* PyFromInt32(int32_t v);
PyObject* PyFromInt64(int64_t v);
PyObject* PyFromUInt64(uint64_t v);
PyObject* PyFromDouble(double v);
PyObject* PyFromBoolean(int8_t v);  // True or False with a reference added
PyObject* PyNewNone();              // None with a reference added
// Null when the host cannot give UTF-8 (*hostFailed set, nothing pending) or
// when Python refuses the bytes (error pending).
PyObject* PyFromString(REALstring s, bool* hostFailed = nullptr);
// A host-object capsule: takes one host reference on v; null for nil v
// (Python's ValueError pending) or when Python cannot make it.
PyObject* PyFromObject(REALobject v);

// Raises an exception of a type the table binds (e__PyExc_ValueError, ...)
// with the message; nothing when the type is not bound.
void PyRaise(PyObject** type, const char* message);

// --- Type tests (null object: false).
bool IsIntObject(PyObject* o);     // int flag
bool IsStringObject(PyObject* o);  // str flag
bool IsDoubleObject(PyObject* o);  // float or subtype
bool IsBoolObject(PyObject* o);    // exactly bool
bool IsCapsuleObject(PyObject* o); // exactly capsule, made by this plugin
bool IsBytesObject(PyObject* o);
bool IsTupleObject(PyObject* o);
bool IsListObject(PyObject* o);
bool IsDictObject(PyObject* o);
bool FitsInt32(PyObject* o);       // int flag and signed 32-bit range
// After Py_Initialize, with the lock held: finds whether small ints can be
// read in place, by reading known ones.
void IntsAfterInit();

// Ints of one digit (below 2^30 in size) read in place, without a call into
// Python: ob_size, or from 3.12 on lv_tag, in the word after the object's
// header, and the digit after it. Which of the two layouts applies is found
// at Init by reading known ints both ways (IntsAfterInit); a build whose
// digits are 15 bits wide, or any other surprise, reads through Python.
enum : int { kIntsByCall = 0, kIntsSized = 1, kIntsTagged = 2 };
extern int gIntLayout;

// True, with the value, for an exact int of one digit of the library loaded.
COILWORK_HOT bool CompactInt(PyObject* o, long* v) {
  if (gIntLayout == kIntsByCall || Py_TYPE(o) != e__PyLong_Type) return false;
  intptr_t word = reinterpret_cast<const intptr_t*>(o)[2];
  long digit = *reinterpret_cast<const uint32_t*>(reinterpret_cast<const intptr_t*>(o) + 3);
  if (gIntLayout == kIntsSized) {
    if (word < -1 || word > 1) return false;
    *v = word * digit;
    return true;
  }
  if (word < 0 || word >= 16) return false;  // more than one digit
  *v = (1 - (word & 3)) * digit;             // sign bits: 0 positive, 1 zero, 2 negative
  return true;
}

// --- Python to host without a type test: Python's conversion decides.
// Int32 follows a 32-bit C long on every build: out of range gives -1 with
// OverflowError pending.
int32_t AsInt32(PyObject* o);
int64_t AsInt64(PyObject* o);
uint64_t AsUInt64(PyObject* o);
double AsDouble(PyObject* o);
int8_t AsTruth(PyObject* o);  // PyObject_IsTrue; a failed test gives false

// --- Python to host by the conversion table (test first; neutral otherwise).
int32_t ToInt32(PyObject* o);
int64_t ToInt64(PyObject* o);
uint64_t ToUInt64(PyObject* o);
double ToDouble(PyObject* o);
int8_t ToBoolean(PyObject* o);
REALstring ToString(PyObject* o);  // new host string (UTF-8) or nil
REALobject ToObject(PyObject* o);  // the capsule's host object, locked once, or nil
