// Python3Result: one Python object carried across the boundary, as the
// result of a call or as the answer of a host-written function. Its number
// and truth readers hand the object to Python's own conversion whatever its
// type; the other readers follow the conversion table.
#include "python/convert.h"

namespace {

COILWORK_HOT ResultData* Result(REALobject self) { return Data<ResultData>(self, PythonResultClass); }

// The result's object, or null when there is none or no interpreter runs.
COILWORK_HOT PyObject* Held(REALobject self) { return PythonRunning() ? Result(self)->held.get() : nullptr; }

// Binds the table if needed; true when Python can be called.
COILWORK_HOT bool Ready() { return PythonTableBound() && PythonRunning(); }

void Store(REALobject self, PyObject* o) {
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

int32_t PythonResult_Int32Value(REALobject self) { return AsInt32(Held(self)); }
int64_t PythonResult_Int64Value(REALobject self) { return AsInt64(Held(self)); }
uint64_t PythonResult_UInt64Value(REALobject self) { return AsUInt64(Held(self)); }
double PythonResult_DoubleValue(REALobject self) { return AsDouble(Held(self)); }
int8_t PythonResult_BooleanValue(REALobject self) { return AsTruth(Held(self)); }
REALstring PythonResult_StringValue(REALobject self) { return ToString(Held(self)); }
REALobject PythonResult_BytesValue(REALobject self) { return ToBytesHolder(Held(self)); }
REALobject PythonResult_ObjectValue(REALobject self) { return ToObject(Held(self)); }
REALobject PythonResult_TupleValue(REALobject self) { return ToTupleHolder(Held(self)); }
REALobject PythonResult_DictionaryValue(REALobject self) { return ToDictHolder(Held(self)); }

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
    M(Constructor, "Constructor()"),
    M(ConstructorInt32, "Constructor(value as Int32)"),
    M(ConstructorInt64, "Constructor(value as Int64)"),
    M(ConstructorUInt64, "Constructor(value as UInt64)"),
    M(ConstructorDouble, "Constructor(value as Double)"),
    M(ConstructorString, "Constructor(value as String)"),
    M(ConstructorBoolean, "Constructor(value as Boolean)"),
    M(ConstructorObject, "Constructor(value as Object)"),
    M(Int32Value, "Int32Value() as Int32"),
    M(Int64Value, "Int64Value() as Int64"),
    M(UInt64Value, "UInt64Value() as UInt64"),
    M(DoubleValue, "DoubleValue() as Double"),
    M(BooleanValue, "BooleanValue() as Boolean"),
    M(StringValue, "StringValue() as String"),
    M(BytesValue, "BytesValue() as Python3Bytes"),
    M(ObjectValue, "ObjectValue() as Object"),
    M(TupleValue, "TupleValue() as Python3Parameters"),
    M(DictionaryValue, "DictionaryValue() as Python3Dictionary"),
    M(GetPtr, "GetPtr() as Ptr"),
    M(IsString, "IsString() as Boolean"),
    M(IsInteger, "IsInteger() as Boolean"),
    M(FitsInInt32, "FitsInInt32() as Boolean"),
    M(IsDouble, "IsDouble() as Boolean"),
    M(IsBoolean, "IsBoolean() as Boolean"),
    M(IsObject, "IsObject() as Boolean"),
    M(IsTuple, "IsTuple() as Boolean"),
    M(IsBytes, "IsBytes() as Boolean"),
    M(IsDictionary, "IsDictionary() as Boolean"),
};

REALmethodDefinition PythonResultSharedMethods[] = {
    M(FromBytes, "FromBytes(bytes as Python3Bytes) as Python3Result"),
};

#undef M

}  // namespace

REALclassDefinition PythonResultClass = CLASS_RECORD(
    "Python3Result", nullptr, sizeof(ResultData),
    nullptr, FN(PythonResult_Destructor),
    NO_TABLE, CLASS_TABLE(PythonResultMethods), NO_TABLE,
    NO_TABLE, CLASS_TABLE(PythonResultSharedMethods), NO_TABLE);
