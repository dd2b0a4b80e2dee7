// Python3Class: a handle on a module attribute that is called to make
// instances. It keeps its module handle alive.
#include "code/code.h"

namespace {

// Wraps what calling the class made in a new Python3Instance of self; the
// call's reference passes to the handle (released when the host cannot make
// one). Nil for a null object: the exception stays pending.
REALobject NewInstanceHandle(REALobject self, PyObject* made) {
  if (!made) return nullptr;
  REALobject instance = NewInstance(PythonPythonInstanceClassRef, "Python3Instance");
  if (!instance) {
    PyRelease(made);
    return nullptr;
  }
  // The instance is known by the name its class was looked up under.
  REALstring name = ObjectData(self)->name;
  ELockString(name);
  ELockObject(self);
  Python3ObjectData* object = ObjectData(instance);
  object->name = name;
  object->held.set(made);  // the call's reference passes to the handle
  Data<InstanceData>(instance, PythonInstanceClass)->owningClass = self;
  return instance;
}

REALobject PythonClass_CreateInstance(REALobject self) {
  PyObject* cls = HandleTarget(self);
  if (!cls) return nullptr;
  PyRef noArguments(EPy_BuildValue("()"));
  if (!noArguments) return nullptr;
  // PyEval_CallObjectWithKeywords is gone from 3.13; PyObject_Call does the
  // same for a tuple without keywords.
  PyObject* made = nullptr;
  if (EPyEval_CallObjectWithKeywords)
    made = EPyEval_CallObjectWithKeywords(cls, noArguments.get(), nullptr);
  else if (EPyObject_Call)
    made = EPyObject_Call(cls, noArguments.get(), nullptr);
  return NewInstanceHandle(self, made);
}

// The class called with arguments and keywords; nil parameters or keywords
// mean none.
REALobject PythonClass_CreateInstanceWith(REALobject self, REALobject parameters,
                                          REALobject keywords) {
  PyObject* cls = HandleTarget(self);
  if (!cls) return nullptr;
  return NewInstanceHandle(self, CallWithArguments(cls, parameters, keywords));
}

REALobject PythonClass_CreateInstanceArguments(REALobject self, REALobject parameters) {
  return PythonClass_CreateInstanceWith(self, parameters, nullptr);
}

void PythonClass_Destructor(REALobject self) {
  ClassData* data = Data<ClassData>(self, PythonClassClass);
  if (data->ownerModule) EUnlockObject(data->ownerModule);
  data->ownerModule = nullptr;
}

REALmethodDefinition PythonClassMethods[] = {
    {FN_PY(PythonClass_CreateInstance), nullptr, DOC("CreateInstance() as Python3Instance", "Calls the class with no arguments and returns a handle on the new instance.", "Raised, or not callable: nil, error pending. Empty handle or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN_PY(PythonClass_CreateInstanceArguments), nullptr,
     DOC("CreateInstance(parameters as Python3Parameters) as Python3Instance",
         "Calls the class with the tuple's items as arguments and returns a handle on the new "
         "instance.",
         "Nil or empty parameters: no arguments. Raised: nil, error pending. Empty handle or no "
         "interpreter: neutral."),
     REALmemberFlag, 0, 0},
    {FN_PY(PythonClass_CreateInstanceWith), nullptr,
     DOC("CreateInstance(parameters as Python3Parameters, keywords as Python3Dictionary) as "
         "Python3Instance",
         "Calls the class with the tuple's items as arguments and the dict's items as keyword "
         "arguments, and returns a handle on the new instance.",
         "Nil or empty keywords: as CreateInstance(parameters). Bad keywords: nil, TypeError "
         "pending. Raised: nil, error pending. Empty handle or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition PythonClassClass = CLASS_RECORD(
    DOC("Python3Class", "A Python class taken from a module.", ""), "Python3Object", sizeof(ClassData),
    nullptr, FN(PythonClass_Destructor),
    NO_TABLE, CLASS_TABLE(PythonClassMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
