// The value conversion rules: host values to Python objects and back, the
// type tests that guard the way back, and the host-object capsule.
//
// Every function here is safe to call with a null object and answers
// neutrally when no interpreter runs, so a caller that forgot its own guard
// still never calls through an empty table slot.
#include "convert/convert.h"

#include "binding/binding.h"
#include "convert/capsules.h"
#include "plugin/output_queue.h"

#include <stdint.h>
#include <string.h>

namespace {

constexpr uint32_t kUTF8 = kREALTextEncodingUTF8;

bool Running(PyObject* o) { return o && PythonRunning(); }

// Taken as a wide integer so that the test reads the same where C long is
// itself 32 bits wide.
bool InInt32Range(long long v) { return v >= INT32_MIN && v <= INT32_MAX; }

bool HasTypeFlag(PyObject* o, unsigned long flag) {
  return Running(o) && (Py_TYPE(o)->tp_flags & flag) != 0;
}

bool IsExactly(PyObject* o, PyTypeObject* type) {
  return Running(o) && type && Py_TYPE(o) == type;
}

// Python calls this when one of our capsules is freed: the host reference
// taken when the capsule was made is given back here, unless Finalize gave
// it back already (capsules.h).
void Capsule_Destructor(PyObject* capsule) {
  // Python may free the capsule on one of its own threads: the host gets the
  // reference back on one of its threads.
  if (REALobject hostObject = CapsuleFreed(capsule)) ReleaseOnHostThread(hostObject);
}

}  // namespace

// ---------------------------------------------------------------------------
// Host text.

HostUTF8::HostUTF8(REALstring s) {
  data_.data = "";
  if (!s) {
    // The host's empty string: nothing to convert or dispose of.
    ok_ = true;
    return;
  }
  REALstringData filled{};
  if (!REALGetStringData(s, kUTF8, &filled)) return;
  ok_ = true;
  if (!filled.data) {
    // Success without bytes is the empty text.
    REALDisposeStringData(&filled);
    return;
  }
  data_ = filled;
  filled_ = true;
}

HostUTF8::~HostUTF8() {
  if (!filled_) return;
  REALDisposeStringData(&data_);
}

const char* HostBytes(REALstring s, size_t* length) {
  size_t unused;
  size_t& n = length ? *length : unused;
  n = 0;
  if (!s) return "";
  // The length comes from a separate host method; a host without it leaves
  // 0 and the bytes are measured up to their terminator.
  size_t counted = 0;
  const char* bytes = REALGetStringContents(s, &counted);
  if (!bytes) return "";
  n = counted ? counted : strlen(bytes);
  return bytes;
}

// ---------------------------------------------------------------------------
// Host to Python.

PyObject* PyFromInt32(int32_t v) { return PythonRunning() ? EPyLong_FromLong(v) : nullptr; }

PyObject* PyFromInt64(int64_t v) { return PythonRunning() ? EPyLong_FromLongLong(v) : nullptr; }

PyObject* PyFromUInt64(uint64_t v) {
  return PythonRunning() ? EPyLong_FromUnsignedLongLong(v) : nullptr;
}

PyObject* PyFromDouble(double v) { return PythonRunning() ? EPyFloat_FromDouble(v) : nullptr; }

PyObject* PyFromBoolean(int8_t v) {
  if (!PythonRunning()) return nullptr;
  PyObject* o = v ? e___Py_TrueStruct : e___Py_FalseStruct;
  PyAddRef(o);
  return o;
}

namespace {

// Text the host cannot hand over as stored UTF-8 (another encoding, or bytes
// Python's decoder refused): the host converts and checks it, and its refusal
// is told apart from Python's.
__attribute__((noinline)) PyObject* PyFromConvertedString(REALstring s, bool* hostFailed) {
  HostUTF8 text(s);
  if (!text.ok()) {
    if (hostFailed) *hostFailed = true;
    return nullptr;
  }
  return EPyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

// Text the host already stores as UTF-8 goes to Python as stored: Python's
// decoder checks it, so the host is not asked to check it first. Only with no
// error pending, since a failed decode is dropped again; the host is then
// asked for the text as above.
PyObject* PyFromString(REALstring s, bool* hostFailed) {
  if (hostFailed) *hostFailed = false;
  if (!PythonRunning()) return nullptr;
  size_t length;
  if (const char* bytes = coilwork::binding::StoredUTF8(s, &length)) {
    if (!ErrorPending()) {
      PyObject* o = EPyUnicode_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length));
      if (o) return o;
      EPyErr_Clear();
    }
  }
  return PyFromConvertedString(s, hostFailed);
}

PyObject* PyNewNone() {
  if (!PythonRunning()) return nullptr;
  if (e___Py_NoneStruct) {
    PyAddRef(e___Py_NoneStruct);
    return e___Py_NoneStruct;
  }
  return EPy_BuildValue("");  // its reference is the caller's
}

PyObject* PyFromObject(REALobject v) {
  if (!PythonRunning()) return nullptr;
  // Python refuses a null pointer itself (ValueError pending), which is the
  // answer callers expect for nil; no host reference is taken then.
  PyObject* capsule = EPyCapsule_New(v, nullptr, Capsule_Destructor);
  if (capsule) {
    ELockObject(v);
    CapsuleMade(capsule, v);
  }
  return capsule;
}

void PyRaise(PyObject** type, const char* message) {
  if (PythonRunning() && type && *type) EPyErr_SetString(*type, message);
}

// ---------------------------------------------------------------------------
// Type tests.

bool IsIntObject(PyObject* o) { return HasTypeFlag(o, Py_TPFLAGS_LONG_SUBCLASS); }

bool IsStringObject(PyObject* o) { return HasTypeFlag(o, Py_TPFLAGS_UNICODE_SUBCLASS); }

bool IsDoubleObject(PyObject* o) {
  if (!Running(o) || !e__PyFloat_Type) return false;
  PyTypeObject* type = Py_TYPE(o);
  return type == e__PyFloat_Type || EPyType_IsSubtype(type, e__PyFloat_Type) != 0;
}

bool IsBoolObject(PyObject* o) { return IsExactly(o, e__PyBool_Type); }

bool IsCapsuleObject(PyObject* o) {
  if (!IsExactly(o, e__PyCapsule_Type) || !EPyCapsule_GetDestructor) return false;
  // Only capsules that this plugin made carry a host object. A capsule is
  // always valid here, so asking for its destructor raises nothing; should a
  // library disagree, its error is dropped again without touching an error
  // that was already pending.
  bool wasPending = ErrorPending();
  PyCapsule_Destructor d = EPyCapsule_GetDestructor(o);
  if (!d && !wasPending && EPyErr_Occurred()) EPyErr_Clear();
  return d == Capsule_Destructor && CapsuleLive(o);  // not one of a stopped interpreter
}

bool IsBytesObject(PyObject* o) { return IsExactly(o, e__PyBytes_Type); }

bool IsTupleObject(PyObject* o) { return IsExactly(o, e__PyTuple_Type); }

bool IsListObject(PyObject* o) { return IsExactly(o, e__PyList_Type); }

bool IsDictObject(PyObject* o) { return IsExactly(o, e__PyDict_Type); }

int gIntLayout = kIntsByCall;

namespace {

// Python's conversions may run Python code (__index__, __float__,
// __bool__), and a debug build refuses to start one with an error pending:
// one left from an earlier call is set aside meanwhile. An object of
// exactly the type converted runs no Python code, and a release build
// converts it whatever is pending: that common case goes straight through.
COILWORK_HOT bool ConvertsPlainly(PyObject* o, PyTypeObject* type) {
  return gPythonInPlace && Py_TYPE(o) == type;
}

template <class R, R (*convert)(PyObject*)>
__attribute__((noinline)) R ConvertAside(PyObject* o) {
  PendingErrorAside aside;
  return convert(o);
}

template <class R, R (*convert)(PyObject*)>
COILWORK_HOT R Convert(PyObject* o, PyTypeObject* type) {
  return ConvertsPlainly(o, type) ? convert(o) : ConvertAside<R, convert>(o);
}

bool LongFitsInt32(PyObject* o) {
  long compact;
  if (CompactInt(o, &compact)) return InInt32Range(compact);
  int overflow = 0;
  long v = EPyLong_AsLongAndOverflow(o, &overflow);
  // C long is wider than 32 bits on 64-bit builds: the range is checked here
  // so that every build answers as a 32-bit long does.
  return overflow == 0 && InInt32Range(v);
}

int32_t LongToInt32(PyObject* o) {
  long v;
  if (CompactInt(o, &v)) return static_cast<int32_t>(v);  // below 2^30 in size
  v = EPyLong_AsLong(o);
  // Where C long is wider than 32 bits, answer as a 32-bit long would.
  if (!InInt32Range(v)) {
    EPyErr_SetString(*e__PyExc_OverflowError, "Python int too large to convert to C long");
    return -1;
  }
  return static_cast<int32_t>(v);
}

int64_t LongToInt64(PyObject* o) {
  long v;
  return CompactInt(o, &v) ? v : EPyLong_AsLongLong(o);
}
uint64_t LongToUInt64(PyObject* o) { return EPyLong_AsUnsignedLongLong(o); }
double FloatToDouble(PyObject* o) { return EPyFloat_AsDouble(o); }
int8_t Truth(PyObject* o) {
  // A failed truth test (-1) reaches the host as false; the error stays.
  return EPyObject_IsTrue(o) > 0 ? 1 : 0;
}

}  // namespace

void IntsAfterInit() {
  gIntLayout = kIntsByCall;
  if (!gPythonInPlace || !EPyLong_FromLongLong || !e__PyLong_Type) return;
  // Values of one digit on each side of 2^15, 2^16 and the digit's top, and
  // some of two digits, which the reader must leave to Python: each layout is
  // tried, and only the one that reads them all as Python does is used.
  static const long long kOne[] = {0, 1, -1, 5, -7, 255, 32767, 32768, -32769, 65536,
                                   1 << 20, -(1 << 20), (1 << 29) + 3, (1 << 30) - 1, -((1 << 30) - 1)};
  static const long long kTwo[] = {1 << 30, -(1 << 30), 1LL << 40, -(1LL << 45)};
  for (int layout : {kIntsSized, kIntsTagged}) {
    gIntLayout = layout;
    bool agrees = true;
    for (long long want : kOne) {
      PyObject* o = EPyLong_FromLongLong(want);
      long got = 0;
      agrees = agrees && o && CompactInt(o, &got) && got == want;
      if (o) PyRelease(o);
    }
    for (long long want : kTwo) {
      PyObject* o = EPyLong_FromLongLong(want);
      long got = 0;
      agrees = agrees && o && !CompactInt(o, &got);
      if (o) PyRelease(o);
    }
    if (agrees) return;
  }
  gIntLayout = kIntsByCall;
}

bool FitsInt32(PyObject* o) {
  return IsIntObject(o) && Convert<bool, LongFitsInt32>(o, e__PyLong_Type);
}

// ---------------------------------------------------------------------------
// Python to host without a type test.

int32_t AsInt32(PyObject* o) {
  return Running(o) ? Convert<int32_t, LongToInt32>(o, e__PyLong_Type) : 0;
}

int64_t AsInt64(PyObject* o) {
  return Running(o) ? Convert<int64_t, LongToInt64>(o, e__PyLong_Type) : 0;
}

uint64_t AsUInt64(PyObject* o) {
  return Running(o) ? Convert<uint64_t, LongToUInt64>(o, e__PyLong_Type) : 0;
}

double AsDouble(PyObject* o) {
  return Running(o) ? Convert<double, FloatToDouble>(o, e__PyFloat_Type) : 0.0;
}

int8_t AsTruth(PyObject* o) { return Running(o) ? Convert<int8_t, Truth>(o, e__PyBool_Type) : 0; }

// ---------------------------------------------------------------------------
// Python to host by the conversion table.

int32_t ToInt32(PyObject* o) { return IsIntObject(o) ? AsInt32(o) : 0; }

int64_t ToInt64(PyObject* o) { return IsIntObject(o) ? AsInt64(o) : 0; }

uint64_t ToUInt64(PyObject* o) { return IsIntObject(o) ? AsUInt64(o) : 0; }

double ToDouble(PyObject* o) { return IsDoubleObject(o) ? AsDouble(o) : 0.0; }

int8_t ToBoolean(PyObject* o) { return IsBoolObject(o) ? AsTruth(o) : 0; }

REALstring ToString(PyObject* o) {
  if (!IsStringObject(o)) return nullptr;
  Py_ssize_t length = 0;
  const char* bytes = EPyUnicode_AsUTF8AndSize(o, &length);  // owned by the str
  if (!bytes) return nullptr;
  return REALBuildStringWithEncoding(bytes, static_cast<size_t>(length), kUTF8);
}

REALobject ToObject(PyObject* o) {
  if (!IsCapsuleObject(o)) return nullptr;
  REALobject hostObject = static_cast<REALobject>(EPyCapsule_GetPointer(o, nullptr));
  if (hostObject) ELockObject(hostObject);
  return hostObject;
}
