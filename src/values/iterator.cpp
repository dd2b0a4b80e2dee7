// Python3Iterator: a value holder of a Python iterator, made by Iterate. It
// keeps what it iterates over alive through the iterator itself, and hands
// out the items one by one. The end of the iteration is no error: the
// StopIteration that ends it never reaches host code.
#include "python/convert.h"

namespace {

// The next item as a new entity. PyIter_Next answers null with nothing
// pending at the end (it clears StopIteration) and null with the error
// pending when the iterator raised. The holder only ever holds what
// PyObject_GetIter answered, which is an iterator; the slot is still tested,
// so that no call goes through an empty one.
REALobject PythonIterator_Next(REALobject self) {
  PyObject* iterator = LiveHeld(self);
  if (!iterator || !Py_TYPE(iterator)->tp_iternext) return nullptr;
  PyObject* item = EPyIter_Next(iterator);
  if (!item) return nullptr;
  return NewHolder(PythonEntityClassRef, "Python3Entity", item);  // the item's reference passes
}

REALmethodDefinition PythonIteratorMethods[] = {
    {FN(PythonIterator_Next), nullptr,
     DOC("Next() as Python3Entity", "The next item, as a new entity.",
         "At the end: nil, nothing pending (StopIteration never reaches host code). Raised by the "
         "iterator: nil, error pending. Empty holder or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
};

}  // namespace

// The object is released by the Python3EntityBase destructor.
REALclassDefinition PythonIteratorClass = CLASS_RECORD(
    DOC("Python3Iterator", "A Python iterator, made by Iterate: its items one by one with Next.", ""),
    "Python3EntityBase", 0,
    nullptr, nullptr,
    NO_TABLE, CLASS_TABLE(PythonIteratorMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
