// Python3Result: one Python object carried across the boundary, as the
// result of a call or as the answer of a host-written function. Its number
// and truth readers hand the object to Python's own conversion whatever its
// type; the other readers follow the conversion table.
#include "values/generic.h"

#include "interpreter/copies.h"

namespace {

COILWORK_HOT ResultData* Result(REALobject self) { return Data<ResultData>(self, PythonResultClass); }

// The result's object, or null when there is none or no interpreter runs.
COILWORK_HOT PyObject* Held(REALobject self) { return Result(self)->held.get(); }
// For the accessors that read a number or a truth value.
COILWORK_HOT PyObject* Scalar(REALobject self) { return Result(self)->held.getScalar(); }

// Binds the table if needed; true when Python can be called (a running
// interpreter implies a bound table).
COILWORK_HOT bool Ready() {
  if (PythonRunning()) return true;
  PythonTableBound();
  return false;
}

COILWORK_HOT void Store(REALobject self, PyObject* o) {
  ResultData* data = Result(self);
  ReplaceHeld(data->held, o);
}

void PythonResult_Destructor(REALobject self) {
  ResultData* data = Result(self);
  ReleaseHeld(data->held);  // no Python call before Init or after Finalize
}

// ---------------------------------------------------------------------------
// Constructors: a failed Python call stores nothing, its error pending.

void PythonResult_Constructor(REALobject self) {
  if (Ready()) Store(self, PyNewNone());
}
void PythonResult_ConstructorInt32(REALobject self, int32_t value) {
  if (Ready()) Store(self, PyFromInt32(value));
}
void PythonResult_ConstructorInt64(REALobject self, int64_t value) {
  if (Ready()) Store(self, PyFromInt64(value));
}
void PythonResult_ConstructorUInt64(REALobject self, uint64_t value) {
  if (Ready()) Store(self, PyFromUInt64(value));
}
void PythonResult_ConstructorDouble(REALobject self, double value) {
  if (Ready()) Store(self, PyFromDouble(value));
}
void PythonResult_ConstructorString(REALobject self, REALstring value) {
  if (!Ready()) return;
  bool hostFailed = false;
  PyObject* o = PyFromString(value, &hostFailed);
  if (!hostFailed) Store(self, o);
}
void PythonResult_ConstructorBoolean(REALobject self, int8_t value) {
  if (Ready()) Store(self, PyFromBoolean(value));
}
void PythonResult_ConstructorObject(REALobject self, REALobject value) {
  // Nil: Python makes no capsule (ValueError pending) and nothing is stored.
  if (Ready()) Store(self, PyFromObject(value));
}

// ---------------------------------------------------------------------------
// Readers

int32_t PythonResult_Int32Value(REALobject self) { return AsInt32(Scalar(self)); }
int64_t PythonResult_Int64Value(REALobject self) { return AsInt64(Scalar(self)); }
uint64_t PythonResult_UInt64Value(REALobject self) { return AsUInt64(Scalar(self)); }
double PythonResult_DoubleValue(REALobject self) { return AsDouble(Scalar(self)); }
int8_t PythonResult_BooleanValue(REALobject self) { return AsTruth(Scalar(self)); }
REALstring PythonResult_StringValue(REALobject self) { return ToString(Held(self)); }
REALobject PythonResult_BytesValue(REALobject self) { return ToBytesHolder(Held(self)); }
REALobject PythonResult_ObjectValue(REALobject self) { return ToObject(Held(self)); }
REALobject PythonResult_TupleValue(REALobject self) { return ToTupleHolder(Held(self)); }
REALobject PythonResult_DictionaryValue(REALobject self) { return ToDictHolder(Held(self)); }
REALobject PythonResult_ListValue(REALobject self) { return ToListHolder(Held(self)); }
REALobject PythonResult_AsEntity(REALobject self) { return NewEntitySharing(Held(self)); }

// The caller owns the reference added here (Python takes it over when this
// is a host function's answer).
void* PythonResult_GetPtr(REALobject self) {
  PyObject* o = Held(self);
  PyAddRef(o);
  return o;
}

// ---------------------------------------------------------------------------
// Tests

int8_t PythonResult_IsString(REALobject self) { return IsStringObject(Held(self)); }
int8_t PythonResult_IsInteger(REALobject self) { return IsIntObject(Held(self)); }
int8_t PythonResult_FitsInInt32(REALobject self) { return FitsInt32(Held(self)); }
int8_t PythonResult_IsDouble(REALobject self) { return IsDoubleObject(Held(self)); }
int8_t PythonResult_IsBoolean(REALobject self) { return IsBoolObject(Held(self)); }
int8_t PythonResult_IsObject(REALobject self) { return IsCapsuleObject(Held(self)); }
int8_t PythonResult_IsTuple(REALobject self) { return IsTupleObject(Held(self)); }
int8_t PythonResult_IsBytes(REALobject self) { return IsBytesObject(Held(self)); }
int8_t PythonResult_IsDictionary(REALobject self) { return IsDictObject(Held(self)); }
int8_t PythonResult_IsList(REALobject self) { return IsListObject(Held(self)); }

// ---------------------------------------------------------------------------
// Shared

REALobject PythonResult_FromBytes(REALobject bytes) {
  if (!bytes || !Ready()) return nullptr;
  PyObject* o = HeldObject(bytes);
  if (!o) return nullptr;
  REALobject result = NewInstance(PythonResultClassRef, "Python3Result");
  if (!result) return nullptr;
  PyAddRef(o);
  Store(result, o);
  return result;
}

#define M(fn, decl) {FN(PythonResult_##fn), nullptr, decl, REALmemberFlag, 0, 0}

REALmethodDefinition PythonResultMethods[] = {
    M(Constructor, DOC("Constructor()", "Holds None.", "No interpreter: empty.")),
    M(ConstructorInt32, DOC("Constructor(value as Int32)", "Holds an int.", "No interpreter: empty.")),
    M(ConstructorInt64, DOC("Constructor(value as Int64)", "Holds an int.", "No interpreter: empty.")),
    M(ConstructorUInt64, DOC("Constructor(value as UInt64)", "Holds an int.", "No interpreter: empty.")),
    M(ConstructorDouble, DOC("Constructor(value as Double)", "Holds a float.", "No interpreter: empty.")),
    M(ConstructorString, DOC("Constructor(value as String)", "Holds a str.", "Nil: the empty str. Text not UTF-8: empty. No interpreter: empty.")),
    M(ConstructorBoolean, DOC("Constructor(value as Boolean)", "Holds True or False.", "No interpreter: empty.")),
    M(ConstructorObject, DOC("Constructor(value as Object)", "Holds a capsule of the host object.", "Nil: empty, ValueError pending. No interpreter: empty.")),
    {FN_HELD_INT(PythonResult_Int32Value, ResultHeld), nullptr, DOC("Int32Value() as Int32", "The value as Int32.", "Python's own conversion: the wrong type gives -1 with TypeError pending. Empty result or no interpreter: neutral. Outside Int32: -1, OverflowError pending."), REALmemberFlag, 0, 0},
    {FN_HELD_INT(PythonResult_Int64Value, ResultHeld), nullptr, DOC("Int64Value() as Int64", "The value as Int64.", "Python's own conversion: the wrong type gives -1 with TypeError pending. Empty result or no interpreter: neutral."), REALmemberFlag, 0, 0},
    M(UInt64Value, DOC("UInt64Value() as UInt64", "The value as UInt64.", "Python's own conversion: the wrong type gives -1 with TypeError pending. Empty result or no interpreter: neutral.")),
    M(DoubleValue, DOC("DoubleValue() as Double", "The value as Double (ints converted).", "Python's own conversion: the wrong type gives -1 with TypeError pending. Empty result or no interpreter: neutral.")),
    {FN_PY(PythonResult_BooleanValue), nullptr, DOC("BooleanValue() as Boolean", "Python's truth of the value.", "A failing truth test: False, its error pending. Empty result or no interpreter: neutral."), REALmemberFlag, 0, 0},
    M(StringValue, DOC("StringValue() as String", "The str as text.", "Not a str: the empty string. Empty result or no interpreter: neutral.")),
    M(BytesValue, DOC("BytesValue() as Python3Bytes", "The bytes as a new holder.", "Not bytes: nil. Empty result or no interpreter: neutral.")),
    M(ObjectValue, DOC("ObjectValue() as Object", "The host object of a capsule this plugin made.", "Anything else: nil. Empty result or no interpreter: neutral.")),
    M(TupleValue, DOC("TupleValue() as Python3Parameters", "The tuple as a new holder.", "Not a tuple: nil. Empty result or no interpreter: neutral.")),
    M(DictionaryValue, DOC("DictionaryValue() as Python3Dictionary", "The dict as a new holder.", "Not a dict: nil. Empty result or no interpreter: neutral.")),
    M(GetPtr, DOC("GetPtr() as Ptr", "The held object with a new reference for Python, which a host function returns.", "Empty: null (Python then raises the pending error, or SystemError).")),
    M(IsString, DOC("IsString() as Boolean", "Whether the value is a str.", "Empty result or no interpreter: neutral.")),
    M(IsInteger, DOC("IsInteger() as Boolean", "Whether the value is an int.", "Empty result or no interpreter: neutral.")),
    M(FitsInInt32, DOC("FitsInInt32() as Boolean", "Whether the value is an int within Int32.", "Empty result or no interpreter: neutral.")),
    M(IsDouble, DOC("IsDouble() as Boolean", "Whether the value is exactly a float.", "Empty result or no interpreter: neutral.")),
    M(IsBoolean, DOC("IsBoolean() as Boolean", "Whether the value is True or False.", "Empty result or no interpreter: neutral.")),
    M(IsObject, DOC("IsObject() as Boolean", "Whether the value is a capsule of a host object.", "Empty result or no interpreter: neutral.")),
    M(IsTuple, DOC("IsTuple() as Boolean", "Whether the value is exactly a tuple.", "Empty result or no interpreter: neutral.")),
    M(IsBytes, DOC("IsBytes() as Boolean", "Whether the value is exactly bytes.", "Empty result or no interpreter: neutral.")),
    M(IsDictionary, DOC("IsDictionary() as Boolean", "Whether the value is exactly a dict.", "Empty result or no interpreter: neutral.")),
    M(IsList, DOC("IsList() as Boolean", "Whether the value is exactly a list.", "Empty result or no interpreter: neutral.")),
    M(ListValue, DOC("ListValue() as Python3List", "The list as a new holder.", "Not a list: nil. Empty result or no interpreter: neutral.")),
    M(AsEntity, DOC("AsEntity() as Python3Entity", "The result's object as a new entity, to pass it as an argument, an item or an attribute.", "Empty result or no interpreter: neutral.")),
    GENERIC_METHODS(PythonResultClass),
};

REALproperty PythonResultProperties[] = {
    GENERIC_PROPERTIES(PythonResultClass),
};

REALmethodDefinition PythonResultSharedMethods[] = {
    M(FromBytes, DOC("FromBytes(bytes as Python3Bytes) as Python3Result", "A new result holding the holder's bytes.", "Nil or empty holder: nil. No interpreter: neutral.")),
};

#undef M

}  // namespace

REALclassDefinition PythonResultClass = CLASS_RECORD(
    DOC("Python3Result", "What a call returned, or what a host function answers to Python (GetPtr).", ""), nullptr, sizeof(ResultData),
    nullptr, FN(PythonResult_Destructor),
    CLASS_TABLE(PythonResultProperties), CLASS_TABLE(PythonResultMethods), NO_TABLE,
    NO_TABLE, CLASS_TABLE(PythonResultSharedMethods), NO_TABLE);
