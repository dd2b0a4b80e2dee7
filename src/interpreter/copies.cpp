// Objects of one interpreter met in another (copies.h): plain data read in
// its own interpreter into C++ values and made anew in the current one, and
// the slow ways of HeldPython (plugin.h).
#include "interpreter/copies.h"

#include <string>
#include <vector>

#include "convert/block_views.h"
#include "interpreter/interpreters.h"

namespace {

void RaiseValueError(const char* message) { PyRaise(e__PyExc_ValueError, message); }
PyObject* NewRef(PyObject* o) {
  PyAddRef(o);
  return o;
}

// ---------------------------------------------------------------------------
// Copies between interpreters: read in the source interpreter into plain
// C++ values, then made anew in the current one.

struct Value {
  enum Kind { kNone, kTrue, kFalse, kInt, kBigInt, kFloat, kStr, kBytes, kTuple, kList, kDict, kBlock } kind;
  REALobject block = nullptr;  // kBlock: one host reference, held by the copy
  long long integer = 0;
  double real = 0;
  std::string text;             // str (UTF-8), bytes, or a big int's digits
  std::vector<Value> items;     // tuple and list items, dict keys and values in turn
};

constexpr int kMaxNesting = 64;


// blocks: the host references of the blocks met, for the caller to give back.
bool Read(PyObject* o, Value* v, int nesting, std::vector<REALobject>* blocks) {
  if (nesting > kMaxNesting) return false;
  if (o == e___Py_NoneStruct) {
    v->kind = Value::kNone;
  } else if (REALobject block = BlockOfView(o, reinterpret_cast<int8_t*>(&v->integer))) {
    v->kind = Value::kBlock;  // the same host memory, seen from the other side
    v->block = block;
    blocks->push_back(block);
  } else if (o == e___Py_TrueStruct || o == e___Py_FalseStruct) {
    v->kind = o == e___Py_TrueStruct ? Value::kTrue : Value::kFalse;
  } else if (IsIntObject(o)) {
    int overflow = 0;
    long long n = EPyLong_AsLongLong ? EPyLong_AsLongLong(o) : 0;
    if (n == -1 && EPyErr_Occurred()) {
      EPyErr_Clear();
      overflow = 1;
    }
    if (!overflow) {
      v->kind = Value::kInt;
      v->integer = n;
    } else {
      PyRef digits(EPyObject_Str(o));
      Py_ssize_t size = 0;
      const char* utf8 = digits ? EPyUnicode_AsUTF8AndSize(digits.get(), &size) : nullptr;
      if (!utf8) return false;
      v->kind = Value::kBigInt;
      v->text.assign(utf8, size_t(size));
    }
  } else if (IsDoubleObject(o)) {
    v->kind = Value::kFloat;
    v->real = EPyFloat_AsDouble(o);
  } else if (IsStringObject(o)) {
    Py_ssize_t size = 0;
    const char* utf8 = EPyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) return false;
    v->kind = Value::kStr;
    v->text.assign(utf8, size_t(size));
  } else if (IsBytesObject(o)) {
    v->kind = Value::kBytes;
    v->text.assign(EPyBytes_AsString(o), size_t(EPyBytes_Size(o)));
  } else if (IsTupleObject(o) || IsListObject(o)) {
    bool tuple = IsTupleObject(o);
    v->kind = tuple ? Value::kTuple : Value::kList;
    Py_ssize_t n = tuple ? EPyTuple_Size(o) : EPyList_Size(o);
    v->items.resize(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = tuple ? EPyTuple_GetItem(o, i) : EPyList_GetItem(o, i);  // borrowed
      if (!item || !Read(item, &v->items[size_t(i)], nesting + 1, blocks)) return false;
    }
  } else if (IsDictObject(o)) {
    v->kind = Value::kDict;
    PyRef keys(EPyDict_Keys(o));
    Py_ssize_t n = keys ? EPyList_Size(keys.get()) : -1;
    if (n < 0) return false;
    v->items.resize(size_t(n) * 2);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* key = EPyList_GetItem(keys.get(), i);      // borrowed from the list
      PyObject* value = key ? EPyDict_GetItem(o, key) : nullptr;  // borrowed from the dict
      if (!value || !Read(key, &v->items[size_t(i) * 2], nesting + 1, blocks) ||
          !Read(value, &v->items[size_t(i) * 2 + 1], nesting + 1, blocks))
        return false;
    }
  } else {
    return false;
  }
  return true;
}

PyObject* Make(const Value& v) {
  switch (v.kind) {
    case Value::kNone: return NewRef(e___Py_NoneStruct);
    case Value::kTrue: return NewRef(e___Py_TrueStruct);
    case Value::kFalse: return NewRef(e___Py_FalseStruct);
    case Value::kBlock: return NewBlockView(v.block, int8_t(v.integer));
    case Value::kInt: return EPyLong_FromLongLong(v.integer);
    case Value::kBigInt: return EPyLong_FromString ? EPyLong_FromString(v.text.c_str(), nullptr, 10) : nullptr;
    case Value::kFloat: return EPyFloat_FromDouble(v.real);
    case Value::kStr: return EPyUnicode_FromStringAndSize(v.text.data(), Py_ssize_t(v.text.size()));
    case Value::kBytes: return EPyBytes_FromStringAndSize(v.text.data(), Py_ssize_t(v.text.size()));
    case Value::kTuple:
    case Value::kList: {
      Py_ssize_t n = Py_ssize_t(v.items.size());
      PyRef made(v.kind == Value::kTuple ? EPyTuple_New(n) : EPyList_New(n));
      if (!made) return nullptr;
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = Make(v.items[size_t(i)]);
        if (!item) return nullptr;
        // Both steal the item's reference.
        if (v.kind == Value::kTuple) EPyTuple_SetItem(made.get(), i, item);
        else EPyList_SetItem(made.get(), i, item);
      }
      return made.release();
    }
    case Value::kDict: {
      PyRef made(EPyDict_New());
      if (!made) return nullptr;
      for (size_t i = 0; i + 1 < v.items.size(); i += 2) {
        PyRef key(Make(v.items[i]));
        PyRef value(key ? Make(v.items[i + 1]) : nullptr);
        if (!value || EPyDict_SetItem(made.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return made.release();
    }
  }
  return nullptr;
}

// An object that cannot change and holds no other: None, a Boolean, an int,
// a float, a str or bytes, exactly (a subclass could hold more).
COILWORK_HOT bool ImmutableScalar(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  return type && (type == e__PyLong_Type || type == e__PyUnicode_Type || type == e__PyFloat_Type ||
                  type == e__PyBool_Type || type == e__PyBytes_Type || o == e___Py_NoneStruct);
}

// Plain data that cannot change: those, and tuples of them.
bool Immutable(PyObject* o, int nesting) {
  // Tuples first: the arguments of a call are one.
  if (Py_TYPE(o) != e__PyTuple_Type || !e__PyTuple_Type) return ImmutableScalar(o);
  if (nesting > kMaxNesting) return false;
  if (gPythonInPlace) {  // the items read where Python keeps them
    PyTupleObject* t = reinterpret_cast<PyTupleObject*>(o);
    for (Py_ssize_t i = 0; i < t->ob_size; ++i) {
      PyObject* item = TupleItems(t)[i];
      if (!item || !(ImmutableScalar(item) || Immutable(item, nesting + 1))) return false;
    }
    return true;
  }
  Py_ssize_t n = EPyTuple_Size(o);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = EPyTuple_GetItem(o, i);  // borrowed from the tuple
    if (!item || !Immutable(item, nesting + 1)) return false;
  }
  return true;
}

// The copy made anew in the current interpreter, kept until the member
// returns; null with ValueError pending for what cannot be copied.
__attribute__((noinline)) PyObject* CopyMade(PyObject* o, uint32_t generation);

}  // namespace

PyObject* CopyFromInterpreter(PyObject* o, uint32_t generation) {
  // Between interpreters that share the main lock (and its allocator), a
  // value that cannot change is the same value on both sides: it is lent
  // for the member's duration rather than copied, borrowed from its holder
  // as an argument of the holder's own interpreter is (a call keeps its
  // argument tuple for its duration itself).
  SubInterpreter* from = generation == gInterpreterGeneration ? nullptr : SlotRecord(generation);
  SubInterpreter* to = EnteredSub();
  if ((!from || !from->ownLock) && (!to || !to->ownLock) && (from || generation == gInterpreterGeneration) &&
      Immutable(o, 0))
    return o;
  return CopyMade(o, generation);
}

namespace {

PyObject* CopyMade(PyObject* o, uint32_t generation) {
  Value v;
  bool read = false;
  struct Blocks {
    std::vector<REALobject> held;
    ~Blocks() {
      for (REALobject b : held) EUnlockObject(b);
    }
  } blocks;
  {
    SubInterpreter* s = generation == gInterpreterGeneration ? nullptr : SlotRecord(generation);
    if (s || generation == gInterpreterGeneration) {
      InterpreterScope source(s);
      read = source.ok() && Read(o, &v, 0, &blocks.held);
      if (!read && EPyErr_Clear) EPyErr_Clear();
    }
  }
  if (!read) {
    RaiseValueError("the object belongs to another interpreter and is not plain data that can be copied");
    return nullptr;
  }
  PyObject* made = Make(v);
  if (!made) return nullptr;
  KeepCopy(made);
  return made;  // borrowed from the list of copies until the member returns
}

}  // namespace

PyObject* HeldPython::Elsewhere() const {
  if (!generation || !pyObject || !PythonRunning()) return nullptr;
  if (generation == CurrentGeneration()) return pyObject;
  return SwitchForMember(generation) ? pyObject : nullptr;
}

namespace {

// A number, a Boolean or None, exactly: a subclass could run code of its
// interpreter.
COILWORK_HOT bool PlainScalar(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  return type == e__PyLong_Type || type == e__PyFloat_Type || type == e__PyBool_Type || o == e___Py_NoneStruct;
}

__attribute__((noinline)) PyObject* ScalarOf(const HeldPython& h);

}  // namespace

PyObject* HeldPython::ScalarElsewhere() const {
  // Most often: the home thread in the main interpreter, inside a member,
  // reads a number a sub-interpreter sharing the main lock answered.
  HostThreadState& t = tHostThread;
  PyObject* o = pyObject;
  if (t.held == kLockHeldMain && !t.enteredGeneration && o && Depth(t) > 0) {
    SubInterpreter* owner = generation ? SlotRecord(generation) : nullptr;
    if (owner && !owner->ownLock && PlainScalar(o)) return o;
  }
  return ScalarOf(*this);
}

namespace {

PyObject* ScalarOf(const HeldPython& h) {
  PyObject* o = h.pyObject;
  const uint32_t g = h.generation;
  HostThreadState& t = tHostThread;
  if (!g || !o || !PythonRunning()) return nullptr;
  const uint32_t entered = t.enteredGeneration;
  if (g == (entered ? entered : gInterpreterGeneration)) return o;
  if (PlainScalar(o) && t.held != kLockNotHeld && Depth(t) > 0) {
    // Both interpreters share the main one's lock, which the thread holds:
    // the owner cannot close meanwhile, and its objects may be touched.
    SubInterpreter* owner = g == gInterpreterGeneration ? nullptr : SlotRecord(g);
    SubInterpreter* current = entered ? EnteredSub() : nullptr;
    if ((owner ? !owner->ownLock : g == gInterpreterGeneration) && !(current && current->ownLock)) return o;
  }
  return h.Elsewhere();
}

}  // namespace

PyObject* HeldPython::AsArgument() const {
  // Most often: the main interpreter's arguments (a tuple of numbers and
  // text) for a call in a sub-interpreter sharing the main lock.
  PyObject* o = pyObject;
  const uint32_t entered = tHostThread.enteredGeneration;
  if (o && entered && generation == gInterpreterGeneration && generation && gPythonInPlace &&
      Py_TYPE(o) == e__PyTuple_Type) {
    SubInterpreter* current = SlotRecord(entered);
    PyTupleObject* tuple = reinterpret_cast<PyTupleObject*>(o);
    Py_ssize_t i = 0;
    if (current && !current->ownLock)
      while (i < tuple->ob_size && TupleItems(tuple)[i] && ImmutableScalar(TupleItems(tuple)[i])) ++i;
    if (current && !current->ownLock && i == tuple->ob_size) return o;  // lent, as below
  }
  if (!generation || !pyObject || !PythonRunning()) return nullptr;
  if (generation == CurrentGeneration()) return pyObject;
  if (generation != gInterpreterGeneration && !SlotRecord(generation)) return nullptr;
  return CopyFromInterpreter(pyObject, generation);
}
