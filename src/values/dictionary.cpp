// Python3Dictionary: a handle on a Python dict, owned or shared. Keys are
// host Strings (made into a str for the one operation) or any value holder.
// A handle without a dict answers as an empty one without calling Python.
#include "interpreter/copies.h"
#include "values/holders.h"

namespace {

// A key str made from host text for one operation; null when the host cannot
// give the text as UTF-8 or Python cannot make the str. A nil key is refused
// by the callers before this.
PyRef StringKey(REALstring key) { return PyRef(PyFromString(key)); }

int8_t Contains(PyObject* dict, PyObject* key) {
  // -1 (an unhashable key) reaches the host as false, the TypeError pending.
  return dict && key && EPyDict_Contains(dict, key) > 0 ? 1 : 0;
}

// A new entity sharing the value stored under key; nil when absent.
// PyDict_GetItem gives a borrowed reference and drops lookup errors.
REALobject GetValue(PyObject* dict, PyObject* key) {
  if (!dict || !key) return nullptr;
  return NewEntitySharing(EPyDict_GetItem(dict, key));
}

void SetValue(PyObject* dict, PyObject* key, PyObject* value) {
  if (dict && key && value) EPyDict_SetItem(dict, key, value);  // takes its own references
}

// An absent key leaves the dict as it is with KeyError pending.
void Remove(PyObject* dict, PyObject* key) {
  if (dict && key && EPyDict_DelItem) EPyDict_DelItem(dict, key);
}

// ---------------------------------------------------------------------------

void PythonDictionary_Constructor(REALobject self) {
  PythonTableBound();
  if (!PythonRunning()) return;
  EntityBaseData* data = EntityData(self);
  ReplaceHeld(data->held, EPyDict_New());
}

// The dict is released by the Python3EntityBase destructor.
void PythonDictionary_Destructor(REALobject) {}

int32_t PythonDictionary_Count(REALobject self, intptr_t) {
  PyObject* dict = LiveHeld(self);
  return dict ? static_cast<int32_t>(EPyDict_Size(dict)) : 0;
}

// Empties the dict in place: every holder of it sees it empty.
void PythonDictionary_Clear(REALobject self) {
  if (PyObject* dict = LiveHeld(self)) EPyDict_Clear(dict);
}

int8_t PythonDictionary_ContainsString(REALobject self, REALstring key) {
  PyObject* dict = LiveHeld(self);
  if (!dict || !key) return 0;
  return Contains(dict, StringKey(key).get());
}

REALobject PythonDictionary_GetValue(REALobject self, REALstring key) {
  PyObject* dict = LiveHeld(self);
  if (!dict || !key) return nullptr;
  return GetValue(dict, StringKey(key).get());
}

void PythonDictionary_SetValue(REALobject self, REALstring key, REALobject value) {
  PyObject* dict = LiveHeld(self);
  PyObject* item = HeldObject(value);  // borrowed: the host holds the value holder
  if (!dict || !key || !item) return;
  SetValue(dict, StringKey(key).get(), item);
}

// Keys and values are snapshots: new lists whose reference passes to the
// new handle.
REALobject PythonDictionary_GetKeys(REALobject self) {
  PyObject* dict = LiveHeld(self);
  return dict ? NewHolder(PythonListClassRef, "Python3List", EPyDict_Keys(dict)) : nullptr;
}

REALobject PythonDictionary_GetValues(REALobject self) {
  PyObject* dict = LiveHeld(self);
  return dict ? NewHolder(PythonListClassRef, "Python3List", EPyDict_Values(dict)) : nullptr;
}

// A shallow copy in a new handle made from the class record, so that its
// Constructor does not run.
REALobject PythonDictionary_Copy(REALobject self) {
  PyObject* dict = LiveHeld(self);
  if (!dict || !EPyDict_Copy) return nullptr;
  REALobject copy = REALnewInstanceOfClass(&PythonDictionaryClass);
  if (!copy) return nullptr;
  EntityData(copy)->held.set(EPyDict_Copy(dict));
  return copy;
}

void PythonDictionary_Remove(REALobject self, REALstring key) {
  PyObject* dict = LiveHeld(self);
  if (!dict || !key) return;
  Remove(dict, StringKey(key).get());
}

void PythonDictionary_RemoveByEnt(REALobject self, REALobject key) {
  Remove(LiveHeld(self), HeldObject(key));
}

int8_t PythonDictionary_ContainsByEnt(REALobject self, REALobject key) {
  return Contains(LiveHeld(self), HeldObject(key));
}

REALobject PythonDictionary_GetValueByEnt(REALobject self, REALobject key) {
  return GetValue(LiveHeld(self), HeldObject(key));
}

void PythonDictionary_SetValueByEnt(REALobject self, REALobject key, REALobject value) {
  SetValue(LiveHeld(self), HeldObject(key), HeldObject(value));
}

REALproperty PythonDictionaryProperties[] = {
    {nullptr, DOC("Count", "The number of items.", "Empty holder or no interpreter: neutral."), "Integer", REALmemberFlag, FN(PythonDictionary_Count), nullptr, 0, {}},
};

#define M(fn, decl) {FN(PythonDictionary_##fn), nullptr, decl, REALmemberFlag, 0, 0}
// Keys of any type are hashed and compared by Python code of their own.
#define M_PY(fn, decl) {FN_PY(PythonDictionary_##fn), nullptr, decl, REALmemberFlag, 0, 0}

REALmethodDefinition PythonDictionaryMethods[] = {
    M(Constructor, DOC("Constructor()", "Holds a new empty dict.", "No interpreter: empty holder.")),
    M(Clear, DOC("Clear()", "Removes every item.", "Empty holder or no interpreter: neutral.")),
    M(ContainsString, DOC("Contains(key as String) as Boolean", "Whether the str key is present.", "Nil or non-UTF-8 key: False. Empty holder or no interpreter: neutral.")),
    M(GetValue, DOC("GetValue(key as String) as Python3Entity", "The value under the str key, as a new entity.", "Missing key: nil, nothing pending. Nil key: nil. Empty holder or no interpreter: neutral.")),
    M(SetValue, DOC("SetValue(key as String, value as Python3EntityBase)", "Stores the holder's object under the str key.", "Nil key or value, empty value: nothing. Empty holder or no interpreter: neutral.")),
    M(GetKeys, DOC("GetKeys() as Python3List", "The keys as a new list.", "Empty holder or no interpreter: neutral.")),
    M(GetValues, DOC("GetValues() as Python3List", "The values as a new list.", "Empty holder or no interpreter: neutral.")),
    M(Copy, DOC("Copy() as Python3Dictionary", "A shallow copy.", "Empty holder or no interpreter: neutral.")),
    M(Remove, DOC("Remove(key as String)", "Removes the str key.", "Missing key: KeyError pending. Nil key: nothing. Empty holder or no interpreter: neutral.")),
    M_PY(RemoveByEnt, DOC("Remove(key as Python3EntityBase)", "Removes the key the holder holds.", "Missing key: KeyError pending. Unhashable key: TypeError pending. Nil: nothing. Empty holder or no interpreter: neutral.")),
    M_PY(ContainsByEnt, DOC("Contains(key as Python3EntityBase) as Boolean", "Whether the key the holder holds is present.", "Unhashable key: False, TypeError pending. Nil: False. Empty holder or no interpreter: neutral.")),
    M_PY(GetValueByEnt, DOC("GetValue(key as Python3EntityBase) as Python3Entity", "The value under the holder's key, as a new entity.", "Missing or unhashable key: nil, nothing pending. Empty holder or no interpreter: neutral.")),
    M_PY(SetValueByEnt, DOC("SetValue(key as Python3EntityBase, value as Python3EntityBase)", "Stores the value holder's object under the key holder's object.", "Unhashable key: TypeError pending. Nil or empty holders: nothing. Empty holder or no interpreter: neutral.")),
};

#undef M
#undef M_PY

}  // namespace

REALclassDefinition PythonDictionaryClass = CLASS_RECORD(
    DOC("Python3Dictionary", "A Python dict with String or holder keys.", ""), "Python3EntityBase", 0,
    nullptr, FN_NO_PYTHON(PythonDictionary_Destructor),
    CLASS_TABLE(PythonDictionaryProperties), CLASS_TABLE(PythonDictionaryMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
