// The members that every holder of a Python object answers, whatever the
// object: its type, str and repr, length, attributes, items, calls, method
// calls and iteration. Python3EntityBase registers them for every value
// holder, and Python3Result registers them again with the same declarations,
// since a call's result is no value holder.
//
// Each is written once, over the held object (generic.cpp); the record words
// are thin entries, one per record, that find the object in the data block of
// that record's class. Both blocks start with the held object.
#pragma once

#include "values/holders.h"

namespace generic {

// Null object (an empty holder, no interpreter): the neutral answer, Python
// not called.
REALstring TypeName(PyObject* o);
int8_t IsNone(PyObject* o);
int32_t Length(PyObject* o);
REALstring ToStr(PyObject* o);
REALstring ToRepr(PyObject* o);
int8_t HasAttribute(PyObject* o, REALstring name);
REALobject GetAttribute(PyObject* o, REALstring name);
int8_t SetAttribute(PyObject* o, REALstring name, REALobject value);
REALobject GetItem(PyObject* o, REALobject key);
int8_t SetItem(PyObject* o, REALobject key, REALobject value);
REALobject Call(PyObject* o, REALobject parameters, REALobject keywords);
REALobject CallMethod(PyObject* o, REALstring name, REALobject parameters, REALobject keywords);
REALobject Iterate(PyObject* o);
REALobject ToList(PyObject* o);
int8_t IsInstance(PyObject* o, REALobject ofClass);
REALobject AsInstance(PyObject* o);
REALobject AsModule(PyObject* o);

// The record words for the class whose record is Record.
template <REALclassDefinition* Record>
struct Entries {
  static PyObject* Held(REALobject self) { return Data<HeldPython>(self, *Record)->get(); }

  static REALstring TypeName(REALobject self, intptr_t) { return generic::TypeName(Held(self)); }
  static int8_t IsNone(REALobject self, intptr_t) { return generic::IsNone(Held(self)); }
  static int32_t Length(REALobject self, intptr_t) { return generic::Length(Held(self)); }
  static REALstring ToStr(REALobject self) { return generic::ToStr(Held(self)); }
  static REALstring ToRepr(REALobject self) { return generic::ToRepr(Held(self)); }
  static int8_t HasAttribute(REALobject self, REALstring name) {
    return generic::HasAttribute(Held(self), name);
  }
  static REALobject GetAttribute(REALobject self, REALstring name) {
    return generic::GetAttribute(Held(self), name);
  }
  static int8_t SetAttribute(REALobject self, REALstring name, REALobject value) {
    return generic::SetAttribute(Held(self), name, value);
  }
  static REALobject GetItem(REALobject self, REALobject key) {
    return generic::GetItem(Held(self), key);
  }
  static int8_t SetItem(REALobject self, REALobject key, REALobject value) {
    return generic::SetItem(Held(self), key, value);
  }
  static REALobject Call(REALobject self, REALobject parameters) {
    return generic::Call(Held(self), parameters, nullptr);
  }
  static REALobject CallKeywords(REALobject self, REALobject parameters, REALobject keywords) {
    return generic::Call(Held(self), parameters, keywords);
  }
  static REALobject CallMethod(REALobject self, REALstring name, REALobject parameters) {
    return generic::CallMethod(Held(self), name, parameters, nullptr);
  }
  static REALobject CallMethodKeywords(REALobject self, REALstring name, REALobject parameters,
                                       REALobject keywords) {
    return generic::CallMethod(Held(self), name, parameters, keywords);
  }
  static REALobject Iterate(REALobject self) { return generic::Iterate(Held(self)); }
  static REALobject ToList(REALobject self) { return generic::ToList(Held(self)); }
  static int8_t IsInstance(REALobject self, REALobject ofClass) {
    return generic::IsInstance(Held(self), ofClass);
  }
  static REALobject AsInstance(REALobject self) { return generic::AsInstance(Held(self)); }
  static REALobject AsModule(REALobject self) { return generic::AsModule(Held(self)); }
};

}  // namespace generic

#define GENERIC_EMPTY "Empty holder or no interpreter: neutral."

// The property records, for the class whose record is Record. Every member
// here may run Python code (a __len__, a __getattr__, a generator), so each
// sets an error left pending by an earlier call aside while it runs.
#define GENERIC_PROPERTY(Record, name, type, what, faults)                                     \
  {nullptr, DOC(#name, what, faults), type, REALmemberFlag,                                   \
   FN_PY(generic::Entries<&Record>::name), nullptr, 0, {}}
#define GENERIC_PROPERTIES(Record)                                                              \
  GENERIC_PROPERTY(Record, TypeName, "String",                                                  \
                   "The object's type as Python names it: the bare name for built-in types "    \
                   "(\"int\", \"list\", \"NoneType\"), module.QualifiedName for the rest "      \
                   "(\"re.Match\", \"collections.Counter\", \"datetime.date\").",               \
                   GENERIC_EMPTY),                                                              \
  GENERIC_PROPERTY(Record, IsNone, "Boolean", "Whether the object is None.", GENERIC_EMPTY),    \
  GENERIC_PROPERTY(Record, Length, "Integer", "len() of the object.",                           \
                   "No length: -1, TypeError pending. Above the Integer range: -1, "            \
                   "OverflowError pending. " GENERIC_EMPTY)

// The method records, for the class whose record is Record.
#define GENERIC_METHOD(Record, fn, what)                                                        \
  {FN_PY(generic::Entries<&Record>::fn), nullptr, what, REALmemberFlag, 0, 0}
#define GENERIC_METHODS(Record)                                                                 \
  GENERIC_METHOD(Record, ToStr,                                                                 \
                 DOC("ToStr() as String", "str() of the object.",                               \
                     "Raised: the empty string, error pending. " GENERIC_EMPTY)),               \
  GENERIC_METHOD(Record, ToRepr,                                                                \
                 DOC("ToRepr() as String", "repr() of the object.",                             \
                     "Raised: the empty string, error pending. " GENERIC_EMPTY)),               \
  GENERIC_METHOD(Record, HasAttribute,                                                          \
                 DOC("HasAttribute(name as String) as Boolean",                                 \
                     "Whether the object has the attribute.",                                   \
                     "Missing: False, nothing pending. Nil name: the name \"\". "               \
                     GENERIC_EMPTY)),                                                           \
  GENERIC_METHOD(Record, GetAttribute,                                                          \
                 DOC("GetAttribute(name as String) as Python3Entity",                           \
                     "The attribute, as a new entity.",                                         \
                     "Missing: nil, AttributeError pending. Nil name: the name \"\". "          \
                     GENERIC_EMPTY)),                                                           \
  GENERIC_METHOD(Record, SetAttribute,                                                          \
                 DOC("SetAttribute(name as String, value as Python3EntityBase) as Boolean",     \
                     "Sets the attribute to the value holder's object; True when done.",        \
                     "Refused by Python: False, its error pending. Nil or empty value: False, " \
                     "ValueError pending. " GENERIC_EMPTY)),                                    \
  GENERIC_METHOD(Record, GetItem,                                                               \
                 DOC("GetItem(key as Python3EntityBase) as Python3Entity",                      \
                     "obj[key], as a new entity.",                                              \
                     "Failed: nil, Python's KeyError, IndexError or TypeError pending. Nil or " \
                     "empty key: nil, nothing pending. " GENERIC_EMPTY)),                       \
  GENERIC_METHOD(Record, SetItem,                                                               \
                 DOC("SetItem(key as Python3EntityBase, value as Python3EntityBase) as Boolean", \
                     "obj[key] = value; True when done.",                                       \
                     "Refused by Python: False, its error pending. Nil or empty key or value: " \
                     "False, nothing pending. " GENERIC_EMPTY)),                                \
  GENERIC_METHOD(Record, Call,                                                                  \
                 DOC("Call(parameters as Python3Parameters) as Python3Result",                  \
                     "Calls the object with the tuple's items as arguments.",                   \
                     "Nil or empty parameters: no arguments. Raised or not callable: nil, "     \
                     "error pending. " GENERIC_EMPTY)),                                         \
  GENERIC_METHOD(Record, CallKeywords,                                                          \
                 DOC("Call(parameters as Python3Parameters, keywords as Python3Dictionary) as " \
                     "Python3Result",                                                           \
                     "Calls the object with the tuple's items as arguments and the dict's "     \
                     "items as keyword arguments.",                                             \
                     "Nil parameters: no arguments; nil keywords: none. Bad keywords: nil, "    \
                     "TypeError pending. Raised: nil, error pending. " GENERIC_EMPTY)),         \
  GENERIC_METHOD(Record, CallMethod,                                                            \
                 DOC("CallMethod(name as String, parameters as Python3Parameters) as "          \
                     "Python3Result",                                                           \
                     "obj.name(*parameters).",                                                  \
                     "Nil or empty parameters: no arguments. Missing: nil, AttributeError "     \
                     "pending. Raised: nil, error pending. " GENERIC_EMPTY)),                   \
  GENERIC_METHOD(Record, CallMethodKeywords,                                                    \
                 DOC("CallMethod(name as String, parameters as Python3Parameters, keywords as " \
                     "Python3Dictionary) as Python3Result",                                     \
                     "obj.name(*parameters, **keywords).",                                      \
                     "Nil parameters: no arguments; nil keywords: none. Missing: nil, "         \
                     "AttributeError pending. Bad keywords: nil, TypeError pending. Raised: "   \
                     "nil, error pending. " GENERIC_EMPTY)),                                    \
  GENERIC_METHOD(Record, Iterate,                                                               \
                 DOC("Iterate() as Python3Iterator", "iter() of the object.",                   \
                     "Not iterable: nil, TypeError pending. " GENERIC_EMPTY)),                  \
  GENERIC_METHOD(Record, ToList,                                                                \
                 DOC("ToList() as Python3List",                                                 \
                     "list() of the object: the items of any finite iterable (a set, a "        \
                     "generator, a dict view, a range) in a new list.",                         \
                     "Not iterable: nil, TypeError pending. Raised while iterating: nil, error " \
                     "pending. " GENERIC_EMPTY)),                                               \
  GENERIC_METHOD(Record, IsInstance,                                                            \
                 DOC("IsInstance(ofClass as Python3Class) as Boolean",                          \
                     "isinstance(obj, ofClass).",                                               \
                     "Not a class: False, TypeError pending. Nil or empty class: False. "       \
                     GENERIC_EMPTY)),                                                           \
  GENERIC_METHOD(Record, AsInstance,                                                            \
                 DOC("AsInstance() as Python3Instance",                                         \
                     "The same object as a new Python3Instance handle, for its typed fields "   \
                     "and GetFunction.",                                                        \
                     GENERIC_EMPTY)),                                                           \
  GENERIC_METHOD(Record, AsModule,                                                              \
                 DOC("AsModule() as Python3Module",                                             \
                     "The same module object as a new Python3Module handle.",                   \
                     "Not a module: nil, TypeError pending. " GENERIC_EMPTY))
