// Python3List: a handle on a Python list, owned or shared. Items go in as
// value holders and come out as new Python3Entity holders. A handle without
// a list answers as an empty one without calling Python.
#include "interpreter/copies.h"
#include "values/holders.h"

namespace {

// Stands in for Python's own complaint about a null item, so that a value
// holder without an object never reaches the list functions.
void BadInternalCall() {
  EPyErr_SetString(*e__PyExc_SystemError, "bad argument to internal function");
}

void Replace(REALobject self, PyObject* list) {
  EntityBaseData* data = EntityData(self);
  ReplaceHeld(data->held, list);
}

// The list's "Constructor()": a new, empty list. (The sort and reverse
// functions are bound together with the entry-point table.)
void PythonDictionary_Constructor(REALobject self) {
  PythonTableBound();
  if (PythonRunning()) Replace(self, EPyList_New(0));
}

int32_t PythonList_Count(REALobject self, intptr_t) {
  PyObject* list = LiveHeld(self);
  return list ? static_cast<int32_t>(EPyList_Size(list)) : 0;
}

// Switches the handle to a new, empty list; the former list keeps its items
// for every other holder.
void PythonList_Clear(REALobject self) {
  if (PythonRunning()) Replace(self, EPyList_New(0));
}

void PythonList_Append(REALobject self, REALobject value) {
  PyObject* list = LiveHeld(self);
  if (!list || !value) return;
  if (PyObject* item = HeldObject(value))
    EPyList_Append(list, item);  // adds its own reference
  else
    BadInternalCall();
}

// Python's position rule: negative counts from the end, beyond the end
// appends; never an index error.
void PythonList_Insert(REALobject self, int32_t index, REALobject value) {
  PyObject* list = LiveHeld(self);
  if (!list || !value) return;
  if (PyObject* item = HeldObject(value))
    EPyList_Insert(list, index, item);  // adds its own reference
  else
    BadInternalCall();
}

// No counting from the end: an index outside 0..Count-1 gives nil with
// IndexError pending.
REALobject PythonList_GetItem(REALobject self, int32_t index) {
  PyObject* list = LiveHeld(self);
  if (!list) return nullptr;
  // An exact list is read in place within its bounds (where the library is
  // worked on in place); Python's own function answers everything else,
  // raising IndexError where it must.
  PyObject* item;
  if (gPythonInPlace && Py_TYPE(list) == e__PyList_Type && index >= 0 &&
      index < reinterpret_cast<PyListObject*>(list)->ob_size)
    item = reinterpret_cast<PyListObject*>(list)->ob_item[index];
  else
    item = EPyList_GetItem(list, index);
  return NewEntitySharing(item);  // borrowed from the list
}

void PythonList_SetItem(REALobject self, int32_t index, REALobject value) {
  PyObject* list = LiveHeld(self);
  PyObject* item = HeldObject(value);
  if (!list || !item) return;
  // PyList_SetItem takes over this reference, and drops it again on an index
  // out of range (IndexError pending, list unchanged).
  PyAddRef(item);
  EPyList_SetItem(list, index, item);
}

// A snapshot as a Python3Parameters handle, made as "Constructor(paramPtr)"
// makes one.
REALobject PythonList_AsTuple(REALobject self) {
  PyObject* list = LiveHeld(self);
  if (!list) return nullptr;
  PyRef tuple(EPyList_AsTuple(list));
  return tuple ? ToTupleHolder(tuple.get()) : nullptr;
}

void PythonList_Sort(REALobject self) {
  PyObject* list = LiveHeld(self);
  if (list && EPyList_Sort) EPyList_Sort(list);  // TypeError pending for items that do not compare
}

void PythonList_Reverse(REALobject self) {
  PyObject* list = LiveHeld(self);
  if (list && EPyList_Reverse) EPyList_Reverse(list);
}

REALproperty PythonListProperties[] = {
    {nullptr, DOC("Count", "The number of items.", "Empty holder or no interpreter: neutral."), "Integer", REALmemberFlag, FN(PythonList_Count), nullptr, 0, {}},
};

#define M(fn, decl) {FN(fn), nullptr, decl, REALmemberFlag, 0, 0}

REALmethodDefinition PythonListMethods[] = {
    M(PythonDictionary_Constructor, DOC("Constructor()", "Holds a new empty list.", "No interpreter: empty holder.")),
    M(PythonList_Clear, DOC("Clear()", "Removes every item.", "Empty holder or no interpreter: neutral.")),
    M(PythonList_Append, DOC("Append(value as Python3EntityBase)", "Appends the holder's object.", "Nil: nothing. Empty holder: SystemError pending. No interpreter: neutral.")),
    M(PythonList_Insert, DOC("Insert(index as Integer, value as Python3EntityBase)", "Inserts before the index; negative counts from the end, past the end appends.", "Nil: nothing. Empty holder: SystemError pending. No interpreter: neutral.")),
    M(PythonList_GetItem, DOC("GetItem(index as Integer) as Python3Entity", "The item at the index, as a new entity.", "Index outside 0 to Count-1: nil, IndexError pending. Empty holder or no interpreter: neutral.")),
    M(PythonList_SetItem, DOC("SetItem(index as Integer, value as Python3EntityBase)", "Replaces the item at the index.", "Index outside: IndexError pending. Nil or empty value: nothing. Empty holder or no interpreter: neutral.")),
    M(PythonList_AsTuple, DOC("AsTuple() as Python3Parameters", "The items as a new tuple.", "Empty holder or no interpreter: neutral.")),
    {FN_PY(PythonList_Sort), nullptr, DOC("Sort()", "Sorts the list in place with Python's ordering.", "Items that do not compare: TypeError pending. Empty holder or no interpreter: neutral."), REALmemberFlag, 0, 0},
    M(PythonList_Reverse, DOC("Reverse()", "Reverses the list in place.", "Empty holder or no interpreter: neutral.")),
};

#undef M

}  // namespace

REALclassDefinition PythonListClass = CLASS_RECORD(
    DOC("Python3List", "A Python list of holders' objects.", ""), "Python3EntityBase", 0,
    nullptr, nullptr,
    CLASS_TABLE(PythonListProperties), CLASS_TABLE(PythonListMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
