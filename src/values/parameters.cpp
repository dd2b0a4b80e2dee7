// Python3Parameters: the host's view of a Python tuple. Items are read and
// written by index with the conversion rules; setters that fail on the host
// side leave an error code in lastError until ClearError.
#include "values/parameters.h"

#include <string.h>

#include "interpreter/copies.h"

namespace {

enum : int32_t {
  PY_NO_ERROR = 0,
  PY_ERROR_COULD_NOT_CONVERT = 1,
  PY_ERROR_INDEX_OUT_OF_BOUNDS = 2,
  PY_NIL_PARAM_ERROR = 3,
};

// The most slots a Python3Parameters made with a count holds (2^24).
constexpr int32_t kMaxParameterCount = 1 << 24;

COILWORK_HOT ParametersData* Params(REALobject self) { return Data<ParametersData>(self, PythonParametersClass); }

// An exact tuple is read in place; anything else (a subclass, or an object
// "Constructor(paramPtr as Ptr)" took unchecked), and every tuple of a
// library not worked on in place, through Python's calls.
COILWORK_HOT PyTupleObject* ExactTuple(PyObject* o) {
  return gPythonInPlace && Py_TYPE(o) == e__PyTuple_Type ? reinterpret_cast<PyTupleObject*>(o)
                                                         : nullptr;
}

// The tuple's size is asked anew on every call: the tuple may be shared.
COILWORK_HOT bool ValidIndex(PyObject* tuple, int32_t index) {
  if (!tuple || index < 0) return false;
  if (PyTupleObject* t = ExactTuple(tuple)) return index < t->ob_size;
  return index < EPyTuple_Size(tuple);
}

// The item at a valid index, borrowed from the tuple; null otherwise.
COILWORK_HOT PyObject* Item(REALobject self, int32_t index) {
  PyObject* tuple = LiveHeld(self);
  if (!ValidIndex(tuple, index)) return nullptr;
  if (PyTupleObject* t = ExactTuple(tuple)) return TupleItems(t)[index];
  return EPyTuple_GetItem(tuple, index);
}

// ---------------------------------------------------------------------------
// Argument tuples kept for reuse. Host code makes a Python3Parameters, calls
// and lets it go, over and over: making and freeing its tuple costs Python
// about a tenth of such a call. A tuple of up to kKeptSize slots that its
// holder alone held is kept when the holder goes, its slots set to None, and
// the next holder of that size takes it instead of a new one. Only tuples no
// one else holds are kept or taken (Python code can reach any tracked object
// through the gc module), and a taken tuple is tracked by the collector
// again where a collection had stopped tracking it, as a new one is.

constexpr Py_ssize_t kKeptSize = 4;  // slots
constexpr int kKeptPerSize = 4;

struct KeptTuples {
  PyObject* tuples[kKeptSize + 1][kKeptPerSize];
  int count[kKeptSize + 1];
  uint32_t generation;  // the interpreter they belong to
  bool closed;          // that interpreter is stopping: nothing more is kept
};
KeptTuples gKept;

// Forgets tuples of an interpreter that has stopped: they went with it.
COILWORK_HOT void KeptOfThisInterpreter() {
  if (__builtin_expect(gKept.generation != gInterpreterGeneration, 0)) {
    memset(&gKept, 0, sizeof gKept);
    gKept.generation = gInterpreterGeneration;
  }
}

// Whether the collector tracks a kept tuple (a collection stops tracking
// tuples of untracked items, such as a kept one's Nones): read in place, as
// the collector's link in the word before the object (zero while untracked),
// where Init found it so (KeptTuplesAfterInit); asked of Python otherwise.
bool gTrackedInPlace = false;
COILWORK_HOT bool Tracked(PyObject* o) {
  return gTrackedInPlace ? reinterpret_cast<const uintptr_t*>(o)[-2] != 0 : EPyObject_GC_IsTracked(o);
}

COILWORK_HOT PyObject* TakeKeptTuple(int32_t size) {
  // Kept tuples are the main interpreter's, used under its lock only.
  if (!gKeptTupleType || size < 1 || size > kKeptSize || tHostThread.enteredGeneration) return nullptr;
  KeptOfThisInterpreter();
  while (gKept.count[size] > 0) {
    PyObject* tuple = gKept.tuples[size][--gKept.count[size]];
    if (tuple->ob_refcnt == 1) {
      if (!Tracked(tuple)) EPyObject_GC_Track(tuple);
      return tuple;
    }
    PyReleaseLive(tuple);  // someone took a reference meanwhile: it is theirs
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Constructors

void PythonParameters_ConstructorCount(REALobject self, int32_t parameterCount) {
  Params(self)->lastError = PY_NO_ERROR;
  if (!PythonRunning()) {
    PythonTableBound();  // binds the table; there is no interpreter to make a tuple in
    return;
  }
  // A negative count makes no tuple: the object stays empty.
  if (parameterCount < 0) return;
  // More slots than any call takes makes no tuple either, with MemoryError
  // pending: a count near the Integer limit would ask for gigabytes, which
  // a 32-bit Python refuses and a 64-bit one would try to fill.
  if (parameterCount > kMaxParameterCount) {
    if (e__PyExc_MemoryError) EPyErr_SetString(*e__PyExc_MemoryError, "too many parameters");
    return;
  }
  if (PyObject* kept = TakeKeptTuple(parameterCount)) {  // its slots are None
    ReplaceHeld(EntityData(self)->held, kept);
    return;
  }
  PyObject* tuple = EPyTuple_New(parameterCount);
  // Slots start as None rather than empty: an empty slot that reaches Python
  // code (a call with a slot left unset) would crash the interpreter. None
  // passes no test, so an unset slot still reads as nothing. Each slot takes
  // over one reference, all added at once.
  if (tuple && parameterCount > 0) {
    PyObject* none = e___Py_NoneStruct;
    if (none)
      PyAddRefs(none, parameterCount);
    else if ((none = PyNewNone()))
      PyAddRefs(none, parameterCount - 1);
    if (PyTupleObject* t = none ? ExactTuple(tuple) : nullptr) {
      // The new tuple is ours alone and its slots are empty: fill them in
      // place.
      PyObject** slot = TupleItems(t);
      slot[0] = none;
      for (int32_t i = 1; i < parameterCount; ++i) slot[i] = none;
    } else if (none) {
      for (int32_t i = 0; i < parameterCount; ++i) EPyTuple_SetItem(tuple, i, none);
    }
  }
  EntityBaseData* data = EntityData(self);
  ReplaceHeld(data->held, tuple);
}

void PythonParameters_ConstructorPtr(REALobject self, void* paramPtr) {
  Params(self)->lastError = PY_NO_ERROR;
  if (!PythonRunning()) {
    PythonTableBound();
    return;
  }
  if (!paramPtr) return;
  PyObject* o = static_cast<PyObject*>(paramPtr);
  PyAddRefs(o, 1);
  EntityBaseData* data = EntityData(self);
  ReplaceHeld(data->held, o);
}

// ---------------------------------------------------------------------------
// Getters and tests: a bad index or an unset slot reads as nothing;
// lastError is never touched.

int32_t PythonParameters_GetParamInt32(REALobject self, int32_t index) {
  return ToInt32(Item(self, index));
}
REALstring PythonParameters_GetParamString(REALobject self, int32_t index) {
  return ToString(Item(self, index));
}
double PythonParameters_GetParamDouble(REALobject self, int32_t index) {
  return ToDouble(Item(self, index));
}
int8_t PythonParameters_GetParamBoolean(REALobject self, int32_t index) {
  return ToBoolean(Item(self, index));
}
REALobject PythonParameters_GetParamObject(REALobject self, int32_t index) {
  return ToObject(Item(self, index));
}
int64_t PythonParameters_GetParamInt64(REALobject self, int32_t index) {
  return ToInt64(Item(self, index));
}
uint64_t PythonParameters_GetParamUInt64(REALobject self, int32_t index) {
  return ToUInt64(Item(self, index));
}
REALobject PythonParameters_GetParamDictionary(REALobject self, int32_t index) {
  return ToDictHolder(Item(self, index));
}
REALobject PythonParameters_GetParamTuple(REALobject self, int32_t index) {
  return ToTupleHolder(Item(self, index));
}
REALobject PythonParameters_GetParamList(REALobject self, int32_t index) {
  return ToListHolder(Item(self, index));
}
REALobject PythonParameters_GetParamBytes(REALobject self, int32_t index) {
  return ToBytesHolder(Item(self, index));
}

int8_t PythonParameters_IsBoolean(REALobject self, int32_t index) {
  return IsBoolObject(Item(self, index));
}
int8_t PythonParameters_IsInteger(REALobject self, int32_t index) {
  return IsIntObject(Item(self, index));
}
int8_t PythonParameters_IsDouble(REALobject self, int32_t index) {
  return IsDoubleObject(Item(self, index));
}
int8_t PythonParameters_IsString(REALobject self, int32_t index) {
  return IsStringObject(Item(self, index));
}
int8_t PythonParameters_IsObject(REALobject self, int32_t index) {
  return IsCapsuleObject(Item(self, index));
}
int8_t PythonParameters_FitsInInt32(REALobject self, int32_t index) {
  return FitsInt32(Item(self, index));
}
int8_t PythonParameters_IsDictionary(REALobject self, int32_t index) {
  return IsDictObject(Item(self, index));
}
int8_t PythonParameters_IsTuple(REALobject self, int32_t index) {
  return IsTupleObject(Item(self, index));
}
int8_t PythonParameters_IsBytes(REALobject self, int32_t index) {
  return IsBytesObject(Item(self, index));
}
int8_t PythonParameters_IsList(REALobject self, int32_t index) {
  return IsListObject(Item(self, index));
}

// ---------------------------------------------------------------------------
// Setters. Without a tuple (or an interpreter) a setter does nothing at all.
// PyTuple_SetItem takes over the new reference; Python refuses it on a tuple
// that others share (SystemError pending, item dropped) and lastError stays.

// Where a setter stores: the tuple, and the slot itself when the tuple is
// exactly a tuple, written in place.
struct SetTarget {
  PyObject* tuple;  // null: nothing to store into
  PyObject** slot;
};

// Index check shared by the setters: records code 2 on failure.
COILWORK_HOT SetTarget TupleForSet(REALobject self, int32_t index) {
  PyObject* tuple = LiveHeld(self);
  if (!tuple) return {};
  PyTupleObject* t = ExactTuple(tuple);
  if (index < 0 || index >= (t ? t->ob_size : EPyTuple_Size(tuple))) {
    Params(self)->lastError = PY_ERROR_INDEX_OUT_OF_BOUNDS;
    return {};
  }
  return {tuple, t ? &TupleItems(t)[index] : nullptr};
}

// Stores a freshly made item, or records code 1 when it was not made.
COILWORK_HOT void SetMade(REALobject self, SetTarget target, int32_t index, PyObject* item) {
  if (!item) {
    Params(self)->lastError = PY_ERROR_COULD_NOT_CONVERT;
    return;
  }
  // An exact tuple that no one else holds (asked after the item was made:
  // making it may have run Python code) is written in place, as
  // PyTuple_SetItem itself would write it; the index was checked. The
  // former item belongs to the running interpreter, as the tuple does.
  if (target.slot && target.tuple->ob_refcnt == 1) {
    PyObject* old = *target.slot;
    *target.slot = item;
    TupleForgetHash(reinterpret_cast<PyTupleObject*>(target.tuple));
    if (old) PyReleaseLive(old);
    return;
  }
  // Python's own store keeps a hash the tuple cached: it is forgotten here
  // as well, once the store succeeded (the tuple is then the caller's alone).
  if (EPyTuple_SetItem(target.tuple, index, item) == 0 && Py_TYPE(target.tuple) == e__PyTuple_Type)
    TupleForgetHash(reinterpret_cast<PyTupleObject*>(target.tuple));
}

// The setters of a value made from a host value: make() runs only for a
// valid index.
template <class Make>
COILWORK_HOT void SetMadeAt(REALobject self, int32_t index, Make make) {
  SetTarget target = TupleForSet(self, index);
  if (target.tuple) SetMade(self, target, index, make());
}

void PythonParameters_SetParamInt32(REALobject self, int32_t index, int32_t value) {
  SetMadeAt(self, index, [=] { return PyFromInt32(value); });
}
void PythonParameters_SetParamInt64(REALobject self, int32_t index, int64_t value) {
  SetMadeAt(self, index, [=] { return PyFromInt64(value); });
}
void PythonParameters_SetParamUInt64(REALobject self, int32_t index, uint64_t value) {
  SetMadeAt(self, index, [=] { return PyFromUInt64(value); });
}
void PythonParameters_SetParamDouble(REALobject self, int32_t index, double value) {
  SetMadeAt(self, index, [=] { return PyFromDouble(value); });
}

void PythonParameters_SetParamString(REALobject self, int32_t index, REALstring value) {
  SetTarget target = TupleForSet(self, index);
  if (!target.tuple) return;
  bool hostFailed = false;
  PyObject* item = PyFromString(value, &hostFailed);
  if (hostFailed) return;  // text the host cannot give as UTF-8 changes nothing
  SetMade(self, target, index, item);
}

void PythonParameters_SetParamBoolean(REALobject self, int32_t index, int8_t value) {
  SetMadeAt(self, index, [=] { return PyFromBoolean(value); });
}

void PythonParameters_SetParamObject(REALobject self, int32_t index, REALobject value) {
  // A nil value makes Python refuse the capsule: code 1, ValueError pending.
  SetMadeAt(self, index, [=] { return PyFromObject(value); });
}

// Stores the object of a value holder, shared with it.
void SetShared(REALobject self, PyObject* tuple, int32_t index, REALobject value) {
  PyObject* item = HeldObject(value);
  if (!item) return;  // a holder without an object changes nothing
  PyAddRef(item);
  EPyTuple_SetItem(tuple, index, item);
}

// Dictionary, tuple and list: nil is an error of its own, checked first.
void SetContainer(REALobject self, int32_t index, REALobject value) {
  if (!LiveHeld(self)) return;
  if (!value) {
    Params(self)->lastError = PY_NIL_PARAM_ERROR;
    return;
  }
  if (PyObject* t = TupleForSet(self, index).tuple) SetShared(self, t, index, value);
}

void PythonParameters_SetParamDictionary(REALobject self, int32_t index, REALobject value) {
  SetContainer(self, index, value);
}
void PythonParameters_SetParamTuple(REALobject self, int32_t index, REALobject value) {
  SetContainer(self, index, value);
}
// Any holder's object, shared with it; reading gives a new entity sharing
// the slot's object.
REALobject PythonParameters_GetParamEntity(REALobject self, int32_t index) {
  return NewEntitySharing(Item(self, index));
}
void PythonParameters_SetParamEntity(REALobject self, int32_t index, REALobject value) {
  SetContainer(self, index, value);
}

void PythonParameters_SetParamBytes(REALobject self, int32_t index, REALobject value) {
  PyObject* t = TupleForSet(self, index).tuple;
  if (t && value) SetShared(self, t, index, value);
}

void PythonParameters_ClearError(REALobject self) { Params(self)->lastError = PY_NO_ERROR; }

// ---------------------------------------------------------------------------
// Properties

int32_t PythonParameters_Count(REALobject self, intptr_t) {
  PyObject* tuple = LiveHeld(self);
  return tuple ? static_cast<int32_t>(EPyTuple_Size(tuple)) : 0;
}

int32_t PythonParameters_LastError(REALobject self, intptr_t) { return Params(self)->lastError; }

}  // namespace

bool KeepTupleSlow(PyObject* o) {
  PyTupleObject* tuple = reinterpret_cast<PyTupleObject*>(o);
  Py_ssize_t size = tuple->ob_size;
  PyObject* none = e___Py_NoneStruct;
  if (size < 1 || size > kKeptSize || !none || !PythonRunning()) return false;
  KeptOfThisInterpreter();
  if (gKept.closed || gKept.count[size] == kKeptPerSize) return false;
  // Each slot holds None before its former item goes: releasing an item may
  // run Python code, which finds the tuple whole (and not yet kept: that
  // code may make and let go of holders itself).
  PyAddRefs(none, size);
  TupleForgetHash(tuple);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = TupleItems(tuple)[i];
    TupleItems(tuple)[i] = none;
    if (item) PyReleaseLive(item);
  }
  if (gKept.generation != gInterpreterGeneration || gKept.closed ||
      gKept.count[size] == kKeptPerSize)
    return false;  // that code stopped Python or filled the place: released as usual
  gKept.tuples[size][gKept.count[size]++] = o;
  return true;
}

void KeptTuplesAfterInit() {
  gTrackedInPlace = false;
  if (!gKeptTupleType || !EPyObject_GC_UnTrack || !EPyTuple_New) return;
  PyObject* t = EPyTuple_New(1);
  if (!t) return;
  auto Word = [t] { return reinterpret_cast<const uintptr_t*>(t)[-2]; };
  bool agrees = EPyObject_GC_IsTracked(t) == 1 && Word() != 0;
  EPyObject_GC_UnTrack(t);
  agrees = agrees && EPyObject_GC_IsTracked(t) == 0 && Word() == 0;
  EPyObject_GC_Track(t);
  agrees = agrees && EPyObject_GC_IsTracked(t) == 1 && Word() != 0;
  PyRelease(t);
  gTrackedInPlace = agrees;
}

void KeptTuplesBeforeFinalize() {
  if (gKept.generation == gInterpreterGeneration && PythonRunning()) {
    for (Py_ssize_t size = 1; size <= kKeptSize; ++size)
      while (gKept.count[size] > 0) PyReleaseLive(gKept.tuples[size][--gKept.count[size]]);
  }
  // Holders Py_Finalize lets go release their tuples as before.
  memset(&gKept, 0, sizeof gKept);
  gKept.generation = gInterpreterGeneration;
  gKept.closed = true;
}

namespace {

// The tuple is released (or kept for the next holder) here, before the
// Python3EntityBase destructor, which then finds the holder empty and has
// nothing to do: an argument tuple's items may run Python code as they go.
void PythonParameters_Destructor(REALobject self) { ReleaseHolder(self); }

REALproperty PythonParametersProperties[] = {
    {nullptr, DOC("Count", "The number of slots.", "Not a tuple: -1, SystemError pending. Empty holder or no interpreter: neutral."), "Integer", REALmemberFlag, FN(PythonParameters_Count), nullptr, 0, {}},
    {nullptr, DOC("LastError", "The code of the last failed setter (Coilwork.PY_...), until ClearError.", ""), "Integer", REALmemberFlag, FN(PythonParameters_LastError), nullptr, 0,
     {}},
};

#define VALUE(kind, decl) \
  {FN(PythonParameters_GetParam##kind), FN(PythonParameters_SetParam##kind), decl, REALmemberFlag, 0, 0}
#define CALL(fn, decl) {FN(PythonParameters_##fn), nullptr, decl, REALmemberFlag, 0, 0}

REALmethodDefinition PythonParametersMethods[] = {
    CALL(ConstructorCount, DOC("Constructor(parameterCount as Integer)", "Holds a new tuple of that many slots, each None until set.", "Negative: empty holder. Above 16,777,216: empty holder, MemoryError pending. No interpreter: empty holder.")),
    CALL(ConstructorPtr, DOC("Constructor(paramPtr as Ptr)", "Holds the tuple a host function receives as its arguments (a new reference).", "Null: empty holder. Not a tuple: Count -1 with SystemError pending. No interpreter: empty holder.")),
    VALUE(Int32, DOC("Int32Value(index as Integer) as Int32", "The slot's int as Int32; the setter stores an int.", "Getter: not an int: 0. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(String, DOC("StringValue(index as Integer) as String", "The slot's str as text; the setter stores a str.", "Getter: not a str: empty string. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: text not UTF-8: slot unchanged. Nil: the empty str. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(Double, DOC("DoubleValue(index as Integer) as Double", "The slot's float; the setter stores a float.", "Getter: not a float: 0.0. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(Boolean, DOC("BooleanValue(index as Integer) as Boolean", "Whether the slot holds True; the setter stores True or False.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(Object, DOC("ObjectValue(index as Integer) as Object", "The host object of the slot's capsule; the setter stores a capsule of the object.", "Getter: not such a capsule: nil. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: nil: LastError 1, ValueError pending. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(Int64, DOC("Int64Value(index as Integer) as Int64", "The slot's int as Int64; the setter stores an int.", "Getter: not an int: 0. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(UInt64, DOC("UInt64Value(index as Integer) as UInt64", "The slot's int as UInt64; the setter stores an int.", "Getter: not an int: 0. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(Dictionary, DOC("DictionaryValue(index as Integer) as Python3Dictionary", "The slot's dict as a new holder; the setter stores the holder's dict.", "Getter: not a dict: nil. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: nil: LastError 3. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(Tuple, DOC("TupleValue(index as Integer) as Python3Parameters", "The slot's tuple as a new holder; the setter stores the holder's object.", "Getter: not a tuple: nil. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: nil: LastError 3. Setter: index outside: LastError 2. No interpreter: nothing.")),
    // The list setter is the tuple setter: it stores whatever the holder holds.
    {FN(PythonParameters_GetParamList), FN(PythonParameters_SetParamTuple),
     DOC("ListValue(index as Integer) as Python3List", "The slot's list as a new holder; the setter stores the holder's object.", "Getter: not a list: nil. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: nil: LastError 3. Setter: index outside: LastError 2. No interpreter: nothing."), REALmemberFlag, 0, 0},
    VALUE(Bytes, DOC("BytesValue(index as Integer) as Python3Bytes", "The slot's bytes as a new holder; the setter stores the holder's bytes.", "Getter: not bytes: nil. Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: nil: nothing. Setter: index outside: LastError 2. No interpreter: nothing.")),
    VALUE(Entity, DOC("EntityValue(index as Integer) as Python3EntityBase", "The slot's object, whatever its type, as a new Python3Entity; the setter stores any holder's object.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched. Setter: nil: LastError 3. Setter: index outside: LastError 2. Setter: empty value holder: nothing. No interpreter: nothing.")),
    CALL(ClearError, DOC("ClearError()", "Sets LastError back to 0.", "")),
    CALL(IsBoolean, DOC("IsBoolean(index as Integer) as Boolean", "Whether the slot holds True or False.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsInteger, DOC("IsInteger(index as Integer) as Boolean", "Whether the slot holds an int.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsDouble, DOC("IsDouble(index as Integer) as Boolean", "Whether the slot holds exactly a float.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsString, DOC("IsString(index as Integer) as Boolean", "Whether the slot holds a str.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsObject, DOC("IsObject(index as Integer) as Boolean", "Whether the slot holds a capsule of a host object.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(FitsInInt32, DOC("FitsInInt32(index as Integer) as Boolean", "Whether the slot holds an int within Int32.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsDictionary, DOC("IsDictionary(index as Integer) as Boolean", "Whether the slot holds exactly a dict.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsTuple, DOC("IsTuple(index as Integer) as Boolean", "Whether the slot holds exactly a tuple.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsBytes, DOC("IsBytes(index as Integer) as Boolean", "Whether the slot holds exactly bytes.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
    CALL(IsList, DOC("IsList(index as Integer) as Boolean", "Whether the slot holds exactly a list.", "Index outside the tuple, empty holder or no interpreter: neutral; LastError untouched.")),
};

#undef VALUE
#undef CALL

}  // namespace

REALclassDefinition PythonParametersClass = CLASS_RECORD(
    DOC("Python3Parameters", "A Python tuple with typed slots, for arguments and tuple values, with a sticky LastError for failed setters.", ""), "Python3EntityBase", sizeof(ParametersData),
    nullptr, FN(PythonParameters_Destructor),
    CLASS_TABLE(PythonParametersProperties), CLASS_TABLE(PythonParametersMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
