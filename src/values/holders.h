// New value holders: host instances of the plugin's value classes made to
// hold a Python object (holders.cpp), and the object a member's own holder
// holds.
#pragma once

#include "convert/convert.h"
#include "interpreter/interpreters.h"

// What a member's own holder holds, or null for an empty holder and while no
// interpreter runs (a held object counts only while its interpreter runs):
// the object every member of a holder works on. The host never calls a
// member on nil, so self is not tested; holders given as arguments go
// through HeldObject, which is.
COILWORK_HOT PyObject* LiveHeld(REALobject self) { return EntityData(self)->held.get(); }

// The held object of an entity, and of a result.
COILWORK_HOT const HeldPython& EntityHeld(REALobject self) { return EntityData(self)->held; }
COILWORK_HOT const HeldPython& ResultHeld(REALobject self) {
  return Data<ResultData>(self, PythonResultClass)->held;
}

// The entry of a reader of a held int (Int32Value, Int64Value). Where the
// thread keeps the main lock and an entry would do nothing on its way in and
// out (the thread's watch is the main state and the head of the thread
// list), and the held object is an exact int of one digit of the running
// interpreter or of a sub-interpreter sharing its lock (which cannot close
// while the thread holds that lock), the number is read in place without the
// entry's steps: an int never changes, and the holder's reference keeps it.
// The answer is the member's own for such an int; anything else takes the
// member's entry.
template <class F, F f, const HeldPython& (*held)(REALobject)>
struct HeldIntEntry;
template <class R, class... A, R (*f)(REALobject, A...), const HeldPython& (*held)(REALobject)>
struct HeldIntEntry<R (*)(REALobject, A...), f, held> {
  static R Call(REALobject self, A... a) noexcept {
    if (EntryWouldDoNothing(tHostThread)) {
      const HeldPython& h = held(self);
      long v;
      // The object is touched only once its interpreter is known to run.
      auto Runs = [&h] {
        if (h.generation == gInterpreterGeneration) return true;
        const SubInterpreter* owner = h.generation ? SlotRecord(h.generation) : nullptr;
        return owner && !owner->ownLock;
      };
      if (h.pyObject && Runs() && CompactInt(h.pyObject, &v)) return static_cast<R>(v);
    }
    return HostEntry<R (*)(REALobject, A...), f>::Call(self, a...);
  }
};
#define FN_HELD_INT(f, held) reinterpret_cast<REALproc>(&HeldIntEntry<decltype(&f), &f, held>::Call)

// Releases what a holder holds and leaves it empty, with the lock held; an
// argument tuple of the holder's own is kept for the next one (KeepTuple).
void ReleaseHolder(REALobject self);

// New value holders sharing o (reference added); nil when o fails the test.
REALobject ToBytesHolder(PyObject* o);
REALobject ToTupleHolder(PyObject* o);  // Python3Parameters, lastError 0
REALobject ToListHolder(PyObject* o);
REALobject ToDictHolder(PyObject* o);

// Makes a holder of the given class whose EntityBase pyObject is o; the new
// reference o passes to the holder (the caller adds one first when sharing).
REALobject NewHolder(REALclassRef& cache, const char* className, PyObject* o);
// A new Python3Entity holding o with a reference added; nil for null o.
REALobject NewEntitySharing(PyObject* o);

// A new Python3Result holding value, whose new reference passes to the
// handle; nil for a null value, and nil with the reference released when the
// host cannot make the handle. Inline: it ends every call's path.
COILWORK_HOT REALobject NewResultHandle(PyObject* value) {
  if (!value) return nullptr;
  REALobject result = NewInstance(PythonResultClassRef, "Python3Result");
  if (!result) {
    PyRelease(value);
    return nullptr;
  }
  Data<ResultData>(result, PythonResultClass)->held.set(value);  // the reference passes
  return result;
}
