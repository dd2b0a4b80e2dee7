// Python3Instance: a handle on what calling a class made. Its attributes are
// reached with the module's accessors; its methods with its own GetFunction.
// It keeps its class handle alive.
#include "code/code.h"

namespace {

REALobject PythonInstance_GetFunction(REALobject self, REALstring name) {
  // A method of the class comes back bound to the instance, so Invoke passes
  // the instance first by Python's own rules.
  PyObject* value = FetchAttribute(self, name);
  if (!value) return nullptr;
  if (!EPyCallable_Check(value)) {
    PyRelease(value);  // a data attribute: nil, and no error is pending
    return nullptr;
  }
  REALobject ownerModule = Data<InstanceData>(self, PythonInstanceClass)->ownerModule;
  return NewFunctionHandle(name, value, ownerModule, self);
}

void PythonInstance_Destructor(REALobject self) {
  InstanceData* data = Data<InstanceData>(self, PythonInstanceClass);
  if (data->owningClass) EUnlockObject(data->owningClass);
  if (data->ownerModule) EUnlockObject(data->ownerModule);
  data->owningClass = data->ownerModule = nullptr;
}

REALmethodDefinition PythonInstanceMethods[] = {
    {FN_PY(PythonInstance_GetFunction), nullptr, DOC("GetFunction(name as String) as Python3Function", "The bound method of that name.", "Missing: nil, AttributeError pending. Not callable: nil, nothing pending. Empty handle or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
    PYTHON_ATTRIBUTE_METHODS
};

}  // namespace

REALclassDefinition PythonInstanceClass = CLASS_RECORD(
    DOC("Python3Instance", "An instance of a Python class, with attribute access and bound methods.", ""), "Python3Object", sizeof(InstanceData),
    nullptr, FN(PythonInstance_Destructor),
    NO_TABLE, CLASS_TABLE(PythonInstanceMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
