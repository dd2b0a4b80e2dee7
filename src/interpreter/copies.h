// Objects of one interpreter met in another. A member of a holder works in
// the holder's own interpreter (HeldPython::get, plugin.h); a holder given as
// an argument to a member working in another is never shared: it arrives as
// a copy made there, or not at all.
#pragma once

#include "convert/convert.h"

// A holder's object of another interpreter, given as an argument to a
// member working in the current one: plain data (None, bools, ints, floats,
// str, bytes, and tuples, lists and dicts of these) as a copy made here,
// kept alive until the member returns (between interpreters sharing the
// main lock, such data that cannot change is the holder's own object,
// borrowed as from a holder of the current interpreter); a memoryview over a host MemoryBlock
// as a view of the same memory; anything else null with ValueError pending.
PyObject* CopyFromInterpreter(PyObject* o, uint32_t generation);

// The Python object a value holder given as an argument holds, or null for
// nil or an empty holder. A holder of another interpreter gives a copy made
// in the current one (plain data) or null with ValueError pending: it never
// enters its own interpreter, which the member's own holder decides.
COILWORK_HOT PyObject* HeldObject(REALobject holder) {
  if (!holder) return nullptr;
  const HeldPython& h = EntityData(holder)->held;
  return h.InCurrent() ? h.pyObject : h.AsArgument();
}
