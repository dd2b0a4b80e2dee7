// Python3EntityBase, the root of the value holders, and Python3Entity, a
// holder of any Python value read and written by the conversion rules.
#include "values/buffer.h"
#include "values/generic.h"
#include "values/parameters.h"

namespace {

// ---------------------------------------------------------------------------
// Python3EntityBase

// Binds the entry-point table; the holder starts empty because the host
// zero-fills every data block.
void PythonEntityBase_Initializer(REALobject) { PythonTableBound(); }

void PythonEntityBase_Destructor(REALobject self) { ReleaseHolder(self); }

// The destructor's entry. Where the thread keeps the main lock and an entry
// would do nothing on its way in and out (as for the int readers,
// FN_HELD_INT), a holder whose object of the running interpreter others hold
// too, or is an exact int, releases it without the entry's steps: neither
// release can run Python code. Anything else takes the entry as every
// member does.
void HolderDestructorEntry(REALobject self) noexcept {
  HeldPython& h = EntityData(self)->held;
  PyObject* o = h.pyObject;
  if (!o) return;  // empty (a Python3Parameters' destructor, which runs first, empties it)
  // The object is read only once it is known to be of the running
  // interpreter: one of an interpreter closed since is gone.
  if (EntryWouldDoNothing(tHostThread) && gPythonInPlace && h.generation == gInterpreterGeneration &&
      ((o->ob_refcnt > 1 && o->ob_refcnt < kPlainRefLimit) || Py_TYPE(o) == e__PyLong_Type)) {
    h.pyObject = nullptr;
    PyReleaseLive(o);
    return;
  }
  HostCall call;
  PythonEntityBase_Destructor(self);
}

// The no-argument constructor of both classes: the holder stays empty.
void PythonEntityBase_Constructor(REALobject) {}

REALproperty PythonEntityBaseProperties[] = {
    GENERIC_PROPERTIES(PythonEntityBaseClass),
};

REALmethodDefinition PythonEntityBaseMethods[] = {
    {FN(PythonEntityBase_Constructor), nullptr, DOC("Constructor()", "An empty holder; values are made with the From... shared methods.", ""), REALdefaultConstructorFlag, 0, 0},
    GENERIC_METHODS(PythonEntityBaseClass),
    {FN(PythonEntityBase_GetBuffer), nullptr,
     DOC("GetBuffer(writable as Boolean) as Python3Buffer",
         "The held object's buffer (bytes, bytearray, memoryview, array.array, mmap, numpy arrays: "
         "any exporter of Python's buffer protocol), read in place: no copy; the exporter's "
         "memory stays where it is until the buffer is released.",
         "No buffer: nil, TypeError pending. Writable asked of read-only memory, or memory that "
         "is not C-contiguous: nil, Python's error (BufferError) pending. Empty holder or no "
         "interpreter: neutral."),
     REALmemberFlag, 0, 0},
};

// ---------------------------------------------------------------------------
// Python3Entity: builders. Each makes a new entity holding the new object
// (null when Python could not make it, its error pending).

REALobject NewEntity(PyObject* o) { return NewHolder(PythonEntityClassRef, "Python3Entity", o); }

REALobject PythonEntity_FromInt32(int32_t value) {
  return PythonRunning() ? NewEntity(PyFromInt32(value)) : nullptr;
}

REALobject PythonEntity_FromDouble(double value) {
  return PythonRunning() ? NewEntity(PyFromDouble(value)) : nullptr;
}

REALobject PythonEntity_FromString(REALstring value) {
  if (!PythonRunning()) return nullptr;
  bool hostFailed = false;
  PyObject* o = PyFromString(value, &hostFailed);
  return hostFailed ? nullptr : NewEntity(o);
}

REALobject PythonEntity_FromBoolean(int8_t value) {
  return PythonRunning() ? NewEntity(PyFromBoolean(value)) : nullptr;
}

REALobject PythonEntity_FromObject(REALobject value) {
  if (!value || !PythonRunning()) return nullptr;
  PyObject* capsule = PyFromObject(value);
  return capsule ? NewEntity(capsule) : nullptr;
}

REALobject PythonEntity_FromInt64(int64_t value) {
  return PythonRunning() ? NewEntity(PyFromInt64(value)) : nullptr;
}

REALobject PythonEntity_FromUInt64(uint64_t value) {
  return PythonRunning() ? NewEntity(PyFromUInt64(value)) : nullptr;
}

REALobject PythonEntity_FromNone() { return PythonRunning() ? NewEntity(PyNewNone()) : nullptr; }

// ---------------------------------------------------------------------------
// Python3Entity: read-only properties. The conversion functions answer
// neutrally for an empty entity and when no interpreter runs.

int32_t PythonEntity_Int32Value(REALobject self, intptr_t) { return ToInt32(LiveHeld(self)); }
double PythonEntity_DoubleValue(REALobject self, intptr_t) { return ToDouble(LiveHeld(self)); }
REALstring PythonEntity_StringValue(REALobject self, intptr_t) { return ToString(LiveHeld(self)); }
int8_t PythonEntity_BooleanValue(REALobject self, intptr_t) { return ToBoolean(LiveHeld(self)); }
REALobject PythonEntity_ObjectValue(REALobject self, intptr_t) { return ToObject(LiveHeld(self)); }
int64_t PythonEntity_Int64Value(REALobject self, intptr_t) { return ToInt64(LiveHeld(self)); }
uint64_t PythonEntity_UInt64Value(REALobject self, intptr_t) { return ToUInt64(LiveHeld(self)); }
REALobject PythonEntity_BytesValue(REALobject self, intptr_t) { return ToBytesHolder(LiveHeld(self)); }
REALobject PythonEntity_TupleValue(REALobject self, intptr_t) { return ToTupleHolder(LiveHeld(self)); }
REALobject PythonEntity_ListValue(REALobject self, intptr_t) { return ToListHolder(LiveHeld(self)); }
REALobject PythonEntity_DictionaryValue(REALobject self, intptr_t) {
  return ToDictHolder(LiveHeld(self));
}

int8_t PythonEntity_IsInteger(REALobject self, intptr_t) { return IsIntObject(LiveHeld(self)); }
int8_t PythonEntity_IsString(REALobject self, intptr_t) { return IsStringObject(LiveHeld(self)); }
int8_t PythonEntity_IsDouble(REALobject self, intptr_t) { return IsDoubleObject(LiveHeld(self)); }
int8_t PythonEntity_IsBytes(REALobject self, intptr_t) { return IsBytesObject(LiveHeld(self)); }
int8_t PythonEntity_IsTuple(REALobject self, intptr_t) { return IsTupleObject(LiveHeld(self)); }
int8_t PythonEntity_IsBoolean(REALobject self, intptr_t) { return IsBoolObject(LiveHeld(self)); }
int8_t PythonEntity_IsList(REALobject self, intptr_t) { return IsListObject(LiveHeld(self)); }
int8_t PythonEntity_IsObject(REALobject self, intptr_t) { return IsCapsuleObject(LiveHeld(self)); }
int8_t PythonEntity_IsDictionary(REALobject self, intptr_t) { return IsDictObject(LiveHeld(self)); }
int8_t PythonEntity_FitsInInt32(REALobject self, intptr_t) { return FitsInt32(LiveHeld(self)); }

#define PROPERTY(name, type, what, faults) \
  {nullptr, DOC(#name, what, faults), type, REALmemberFlag, FN(PythonEntity_##name), nullptr, 0, {}}
// The int readers read a small int in place where the thread's entry would
// have nothing to do (FN_HELD_INT).
#define INT_PROPERTY(name, type, what, faults)                                                  \
  {nullptr, DOC(#name, what, faults), type, REALmemberFlag,                                    \
   FN_HELD_INT(PythonEntity_##name, EntityHeld), nullptr, 0, {}}

REALproperty PythonEntityProperties[] = {
    INT_PROPERTY(Int32Value, "Int32", "The int as Int32.", "Not an int: 0. Outside Int32: -1, OverflowError pending. Empty holder or no interpreter: neutral."),
    PROPERTY(DoubleValue, "Double", "The float as Double (exactly float; an int gives 0.0).", "Not a float: 0.0. Empty holder or no interpreter: neutral."),
    PROPERTY(StringValue, "String", "The str as UTF-8 text.", "Not a str: the empty string. Lone surrogates: nil, UnicodeEncodeError pending. Empty holder or no interpreter: neutral."),
    PROPERTY(BooleanValue, "Boolean", "True for True; False for anything else.", "Empty holder or no interpreter: neutral."),
    PROPERTY(ObjectValue, "Object", "The host object of a capsule this plugin made.", "Anything else: nil. Empty holder or no interpreter: neutral."),
    INT_PROPERTY(Int64Value, "Int64", "The int as Int64.", "Not an int: 0. Outside Int64: -1, OverflowError pending. Empty holder or no interpreter: neutral."),
    PROPERTY(UInt64Value, "UInt64", "The int as UInt64.", "Not an int: 0. Negative or too large: all bits set, OverflowError pending. Empty holder or no interpreter: neutral."),
    PROPERTY(BytesValue, "Python3Bytes", "The bytes as a new Python3Bytes.", "Not exactly bytes: nil. Empty holder or no interpreter: neutral."),
    PROPERTY(TupleValue, "Python3Parameters", "The tuple as a new Python3Parameters.", "Not exactly a tuple: nil. Empty holder or no interpreter: neutral."),
    PROPERTY(ListValue, "Python3List", "The list as a new Python3List.", "Not exactly a list: nil. Empty holder or no interpreter: neutral."),
    PROPERTY(DictionaryValue, "Python3Dictionary", "The dict as a new Python3Dictionary.", "Not exactly a dict: nil. Empty holder or no interpreter: neutral."),
    PROPERTY(IsInteger, "Boolean", "Whether the value is an int (bool and int subclasses included).", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsString, "Boolean", "Whether the value is a str or a str subclass.", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsDouble, "Boolean", "Whether the value is exactly a float.", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsBytes, "Boolean", "Whether the value is exactly bytes.", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsTuple, "Boolean", "Whether the value is exactly a tuple.", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsBoolean, "Boolean", "Whether the value is True or False.", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsList, "Boolean", "Whether the value is exactly a list.", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsObject, "Boolean", "Whether the value is a capsule of a host object made by this plugin.", "Empty holder or no interpreter: neutral."),
    PROPERTY(IsDictionary, "Boolean", "Whether the value is exactly a dict.", "Empty holder or no interpreter: neutral."),
    PROPERTY(FitsInInt32, "Boolean", "Whether the value is an int within Int32.", "Empty holder or no interpreter: neutral."),
};

#undef PROPERTY

REALmethodDefinition PythonEntityMethods[] = {
    {FN(PythonEntityBase_Constructor), nullptr, DOC("Constructor()", "An empty holder; values are made with the From... shared methods.", ""), REALdefaultConstructorFlag, 0, 0},
};

REALmethodDefinition PythonEntitySharedMethods[] = {
    {FN(PythonEntity_FromInt32), nullptr, DOC("FromInt32(value as Int32) as Python3Entity", "A new entity holding an int.", "No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromDouble), nullptr, DOC("FromDouble(value as Double) as Python3Entity", "A new entity holding a float.", "No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromString), nullptr, DOC("FromString(value as String) as Python3Entity", "A new entity holding a str made from the text.", "Nil: the empty str. Text not UTF-8: nil. No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromBoolean), nullptr, DOC("FromBoolean(value as Boolean) as Python3Entity", "A new entity holding True or False.", "No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromObject), nullptr, DOC("FromObject(value as Object) as Python3Entity", "A new entity holding a capsule of the host object (one host reference, given back when Python lets go).", "Nil: nil. No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromInt64), nullptr, DOC("FromInt64(value as Int64) as Python3Entity", "A new entity holding an int.", "No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromUInt64), nullptr, DOC("FromUInt64(value as UInt64) as Python3Entity", "A new entity holding an int.", "No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromMemoryBlock), nullptr,
     DOC("FromMemoryBlock(block as MemoryBlock, writable as Boolean) as Python3Entity",
         "A memoryview (format \"B\", one dimension, the block's size) over the block's own "
         "bytes, no copy: each side sees what the other writes; read-only unless writable. The "
         "block stays alive while Python holds the view or anything made from it; its reference "
         "is given back on a host thread once Python lets go.",
         "Nil block, or a block whose size or address is not known: nil, ValueError pending. "
         "No interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN(PythonEntity_FromNone), nullptr, DOC("FromNone() as Python3Entity", "A new entity holding None.", "No interpreter: neutral."),
     REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition PythonEntityBaseClass = CLASS_RECORD(
    DOC("Python3EntityBase", "The base of every value holder: one Python object, released when the holder goes.", ""), nullptr, sizeof(EntityBaseData),
    FN_NO_PYTHON(PythonEntityBase_Initializer), reinterpret_cast<REALproc>(&HolderDestructorEntry),
    CLASS_TABLE(PythonEntityBaseProperties), CLASS_TABLE(PythonEntityBaseMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);

REALclassDefinition PythonEntityClass = CLASS_RECORD(
    DOC("Python3Entity", "A Python value of any type, made from a host value or read from Python, with typed readers and type tests.", ""), "Python3EntityBase", 0,
    nullptr, nullptr,
    CLASS_TABLE(PythonEntityProperties), CLASS_TABLE(PythonEntityMethods), NO_TABLE,
    NO_TABLE, CLASS_TABLE(PythonEntitySharedMethods), NO_TABLE);
