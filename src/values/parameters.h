// Python3Parameters: what other families use of it.
#pragma once

#include "values/holders.h"

// Argument tuples kept for reuse. KeepTuple takes over the holder's
// reference of a tuple of a few slots that nothing else holds, and answers
// false, taking nothing, for any other object.
__attribute__((noinline)) bool KeepTupleSlow(PyObject* o);
COILWORK_HOT bool KeepTuple(PyObject* o) {
  return Py_TYPE(o) == gKeptTupleType && o->ob_refcnt == 1 && !tHostThread.enteredGeneration &&
         KeepTupleSlow(o);
}
// After Py_Initialize, with the lock held: finds whether the collector's
// tracking of a tuple can be read in place. Gives the kept tuples back
// before the interpreter stops.
void KeptTuplesAfterInit();
void KeptTuplesBeforeFinalize();
