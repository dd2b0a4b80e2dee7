// The layout checks made when a library is loaded (layouts.h). Each reads
// only the library's static objects, never calls into it, and decides one
// of three things: the layout is used as the plugin reads it, Python's own
// functions take over where it differs, or the library is refused.
#include "python/layouts.h"

#include <string.h>

#include "python/pyapi.h"
#include "python/refs.h"

std::vector<LayoutCheck> gLayoutChecks;

namespace {

constexpr size_t kWord = sizeof(void*);

std::string Words(size_t bytes) {
  return std::to_string(bytes / kWord) + (bytes % kWord ? " words and " + std::to_string(bytes % kWord) + " bytes" : " words");
}

std::string VersionName(int minor) {
  return minor >= 0 ? "Python 3." + std::to_string(minor) : "this Python (version not told)";
}

}  // namespace

size_t KnownTupleItems(int minor) {
  if (minor < 0 || minor > kNewestKnownMinor) return 0;
  return minor >= 14 ? 4 * kWord : 3 * kWord;
}

LayoutVerdict CheckLayouts(const LayoutFacts& facts) {
  LayoutVerdict v;
  v.tupleItemsOffset = 3 * kWord;
  auto add = [&](const char* name, const char* guards, bool passed, std::string outcome) {
    v.checks.push_back({name, guards, passed, std::move(outcome)});
    return passed;
  };
  auto refuse = [&](const std::string& check) {
    v.usable = false;
    v.refusal = VersionName(facts.minor) + " is laid out differently from what Coilwork reads (" +
                check + "), and Coilwork cannot use it";
    return v;
  };
  if (!facts.tupleType || !facts.typeType) {
    add("object header", "every type test and reference count", false,
        "the library exports no PyTuple_Type or PyType_Type");
    return refuse("object header");
  }

  // The object header: the type pointer is the second word. A build that
  // traces references puts two list pointers first, a free-threaded build a
  // thread id and split counts: either moves it.
  const PyObject* tupleHead = static_cast<const PyObject*>(facts.tupleType);
  const PyObject* typeHead = static_cast<const PyObject*>(facts.typeType);
  bool header = tupleHead->ob_type == facts.typeType && typeHead->ob_type == facts.typeType;
  if (!add("object header", "every type test and reference count", header,
           header ? "the type is the second word" : "the type of PyTuple_Type is not at the second word"))
    return refuse("object header");

  // The type object: the fields the plugin reads of every type and fills
  // in for the types it makes, and room enough in its own type objects.
  const PyTypeObject* tuple = static_cast<const PyTypeObject*>(facts.tupleType);
  bool named = tuple->tp_name && strcmp(tuple->tp_name, "tuple") == 0;
  bool itemSize = tuple->tp_itemsize == Py_ssize_t(kWord);
  bool flags = (tuple->tp_flags & Py_TPFLAGS_TUPLE_SUBCLASS) != 0;
  bool fits = facts.tupleTypeSize <= sizeof(PyTypeObject);
  std::string typeOutcome;
  if (!named) typeOutcome = "tp_name of PyTuple_Type is not \"tuple\"";
  else if (!itemSize || !flags) typeOutcome = "tp_itemsize or tp_flags of PyTuple_Type are not where expected";
  else if (!fits)
    typeOutcome = "a type object takes " + std::to_string(facts.tupleTypeSize) + " bytes, more than the " +
                  std::to_string(sizeof(PyTypeObject)) + " Coilwork makes room for";
  else
    typeOutcome = facts.tupleTypeSize
                      ? "fields in place; a type object takes " + std::to_string(facts.tupleTypeSize) +
                            " bytes of the " + std::to_string(sizeof(PyTypeObject)) + " Coilwork gives its own"
                      : "fields in place; the type object's size not told";
  if (!add("type object", "the types Coilwork makes (host classes, host memory) and reads",
           named && itemSize && flags && fits, typeOutcome))
    return refuse("type object");
  v.usable = true;

  // Tuples: the items start at the tuple type's basic size.
  const size_t basic = size_t(tuple->tp_basicsize);
  const size_t known = KnownTupleItems(facts.minor);
  bool tupleOk = known ? basic == known : basic == 3 * kWord || basic == 4 * kWord;
  if (tupleOk) {
    v.tupleItemsOffset = basic;
    v.tupleHashCached = basic == 4 * kWord;
  } else {
    v.inPlace = false;
  }
  add("tuple", "arguments and results read and filled in place", tupleOk,
      tupleOk ? "items after " + Words(basic) + (v.tupleHashCached ? " (with the cached hash)" : "")
              : "items after " + Words(basic) + (known ? ", " + Words(known) + " expected" : "") +
                    ": read through Python's functions");

  // Lists: the header, the item array and its capacity.
  bool listOk = true;
  std::string listOutcome = "not exported: read through Python's functions";
  if (facts.listType) {
    const PyTypeObject* list = static_cast<const PyTypeObject*>(facts.listType);
    listOk = size_t(list->tp_basicsize) == sizeof(PyListObject) && list->tp_itemsize == 0;
    listOutcome = listOk ? "items array at the fourth word"
                         : "a list takes " + Words(size_t(list->tp_basicsize)) + ", " +
                               Words(sizeof(PyListObject)) + " expected: read through Python's functions";
  }
  if (!listOk || !facts.listType) v.inPlace = false;
  add("list", "list items read in place", listOk && facts.listType, listOutcome);

  // Reference counts: from 3.12 on, immortal objects carry a count that
  // in-place counting must never touch; None is one of them. Before, None's
  // count is an ordinary one.
  if (facts.none) {
    const Py_ssize_t count = static_cast<const PyObject*>(facts.none)->ob_refcnt;
    const bool immortalExpected = facts.minor < 0 || facts.minor >= 12;
    bool countOk = immortalExpected ? count >= kPlainRefLimit || (facts.minor < 0 && count > 0)
                                    : count > 0 && count < kPlainRefLimit;
    if (!countOk) v.inPlace = false;
    add("reference counts", "counts changed in place, immortal objects left alone", countOk,
        countOk ? (count >= kPlainRefLimit ? "None is immortal, as in-place counting reads it"
                                           : "None's count is an ordinary one")
                : "None's count does not read as expected: counted through Python's functions");
  } else {
    add("reference counts", "counts changed in place, immortal objects left alone", true,
        "None not exported: not checked");
  }
  return v;
}
