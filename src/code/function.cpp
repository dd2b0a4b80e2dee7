// Python3Function: a handle on a callable, taken from a module or from an
// instance. It keeps the handle it came from alive.
#include "code/code.h"

#include "interpreter/copies.h"
#include "interpreter/interpreter_quick_switch.h"
#include "interpreter/interpreters.h"

REALobject NewFunctionHandle(REALstring name, PyObject* callable, REALobject ownerModule,
                             REALobject ownerInstance) {
  REALobject handle = NewInstance(PythonFunctionClassRef, "Python3Function");
  if (!handle) {
    PyRelease(callable);
    return nullptr;
  }
  ELockString(name);
  if (ownerModule) ELockObject(ownerModule);
  if (ownerInstance) ELockObject(ownerInstance);
  Python3ObjectData* object = ObjectData(handle);
  object->name = name;
  object->held.set(callable);  // the caller's reference passes to the handle
  FunctionData* data = Data<FunctionData>(handle, PythonFunctionClass);
  data->ownerModule = ownerModule;
  data->ownerInstance = ownerInstance;
  return handle;
}

namespace {

REALobject PythonFunction_Module(REALobject self, intptr_t) {
  REALobject module = Data<FunctionData>(self, PythonFunctionClass)->ownerModule;
  if (module) ELockObject(module);
  return module;
}

// A function of a sub-interpreter sharing the main lock, called by the home
// thread from the main interpreter: the switch is the member's own. *taken
// false: nothing done, the general way applies.
__attribute__((noinline)) REALobject InvokeElsewhere(REALobject self, REALobject parameters, bool* taken) {
  const HeldPython& held = ObjectData(self)->held;
  QuickSwitch in(held.generation);
  *taken = in.taken();
  if (!in.taken()) return nullptr;
  PyObject* arguments = HeldObject(parameters);
  if (!arguments && parameters && ErrorPending()) return nullptr;
  return NewResultHandle(CallTuple(held.pyObject, arguments));
}

REALobject PythonFunction_Invoke(REALobject self, REALobject parameters) {
  const HeldPython& held = ObjectData(self)->held;
  if (__builtin_expect(!held.InCurrent(), 0) && held.pyObject && held.generation && PythonRunning()) {
    bool taken = false;
    REALobject answer = InvokeElsewhere(self, parameters, &taken);
    if (taken) return answer;
  }
  PyObject* callable = HandleTarget(self);
  if (!callable) return nullptr;
  // Borrowed from the parameters holder; a holder without a tuple, like nil,
  // means no arguments. Python itself refuses an object that is no tuple.
  PyObject* arguments = HeldObject(parameters);
  // A holder of another interpreter whose object cannot cross.
  if (!arguments && parameters && ErrorPending()) return nullptr;
  PyObject* answer = CallTuple(callable, arguments);
  return NewResultHandle(answer);  // nil with the exception pending when it raised
}

// The call with keyword arguments. Without keywords it is Invoke(parameters)
// exactly.
REALobject PythonFunction_InvokeKeywords(REALobject self, REALobject parameters,
                                         REALobject keywords) {
  PyObject* callable = HandleTarget(self);
  if (!callable) return nullptr;
  bool refused = false;
  if (!CallKeywords(keywords, &refused))
    return refused ? nullptr : PythonFunction_Invoke(self, parameters);
  PyObject* answer = CallWithArguments(callable, parameters, keywords);
  return NewResultHandle(answer);  // nil with the exception pending when it raised
}

void PythonFunction_Destructor(REALobject self) {
  FunctionData* data = Data<FunctionData>(self, PythonFunctionClass);
  if (data->ownerModule) EUnlockObject(data->ownerModule);
  if (data->ownerInstance) EUnlockObject(data->ownerInstance);
  data->ownerModule = data->ownerInstance = nullptr;
}

REALproperty PythonFunctionProperties[] = {
    {nullptr, DOC("OwnerModule", "The module handle the function was taken from.", "Taken from an instance: nil."), "Python3Module", REALmemberFlag, FN(PythonFunction_Module), nullptr,
     0, {}},
};

REALmethodDefinition PythonFunctionMethods[] = {
    {FN_PY(PythonFunction_Invoke), nullptr,
     DOC("Invoke(parameters as Python3Parameters) as Python3Result", "Calls the function with the tuple's items as arguments.", "Nil or empty parameters: no arguments. Raised: nil, error pending. Empty handle or no interpreter: neutral."), REALmemberFlag, 0, 0},
    {FN_PY(PythonFunction_InvokeKeywords), nullptr,
     DOC("Invoke(parameters as Python3Parameters, keywords as Python3Dictionary) as Python3Result",
         "Calls the function with the tuple's items as arguments and the dict's items as "
         "keyword arguments.",
         "Nil or empty keywords: as Invoke(parameters). Bad keywords (not str, unexpected): nil, "
         "TypeError pending. Raised: nil, error pending. Empty handle or no interpreter: neutral."),
     REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition PythonFunctionClass = CLASS_RECORD(
    DOC("Python3Function", "A callable Python object: a module's function or an instance's bound method.", ""), "Python3Object", sizeof(FunctionData),
    nullptr, FN(PythonFunction_Destructor),
    CLASS_TABLE(PythonFunctionProperties), CLASS_TABLE(PythonFunctionMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
