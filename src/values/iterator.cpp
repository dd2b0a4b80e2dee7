// Python3Iterator: a value holder of a Python iterator, made by Iterate. It
// keeps what it iterates over alive through the iterator itself, and hands
// out the items one by one. The end of the iteration is no error: the
// StopIteration that ends it never reaches host code.
#include "values/holders.h"

namespace {

using IterNext = PyObject* (*)(PyObject*);

// The end of an iteration, or the iterator's error: a StopIteration the
// iterator raised to end is cleared, as PyIter_Next clears it; any other
// error stays pending. Out of line: it runs once per iteration.
__attribute__((noinline)) REALobject Ended() {
  PyObject* pending = EPyErr_Occurred();
  if (pending && e__PyExc_StopIteration &&
      EPyErr_GivenExceptionMatches(pending, *e__PyExc_StopIteration))
    EPyErr_Clear();
  return nullptr;
}

// The next item as a new entity; nil at the end with nothing pending, nil
// with the error pending when the iterator raised. The type's own slot is
// called, as PyIter_Next calls it: this is the path of every item. The
// holder only ever holds what PyObject_GetIter answered, which is an
// iterator; the slot is still tested, so that no call goes through an empty
// one.
REALobject PythonIterator_Next(REALobject self) {
  PyObject* iterator = LiveHeld(self);
  if (!iterator) return nullptr;
  auto next = reinterpret_cast<IterNext>(Py_TYPE(iterator)->tp_iternext);
  if (!next) return nullptr;
  PyObject* item = next(iterator);
  if (!item) return Ended();
  return NewHolder(PythonEntityClassRef, "Python3Entity", item);  // the item's reference passes
}

REALmethodDefinition PythonIteratorMethods[] = {
    {FN_PY(PythonIterator_Next), nullptr,
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
