// Python3Object: the root of the named handles (modules, functions, classes,
// instances, extension modules and classes). It holds the Python object and
// the name under which it was found or made, one reference on each.
#include "values/holders.h"

namespace {

void PythonObject_Initializer(REALobject self) { PythonTableBound(); }

// Releases the object only while the interpreter runs (after Finalize the
// object belongs to no live interpreter), and always the name.
void PythonObject_Destructor(REALobject self) {
  Python3ObjectData* data = ObjectData(self);
  ReleaseHeld(data->held);
  if (data->name) EUnlockString(data->name);
  data->name = nullptr;
}

// The stored name with one reference for the caller; nil (the host's empty
// string) when none was stored.
REALstring PythonObject_Name(REALobject self, intptr_t) {
  REALstring name = ObjectData(self)->name;
  if (name) ELockString(name);
  return name;
}

// The handle's object as a value holder, to pass it as an argument or store
// it in a list or dict.
REALobject PythonObject_AsEntity(REALobject self) {
  return NewEntitySharing(ObjectData(self)->held.get());
}

REALmethodDefinition PythonObjectMethods[] = {
    {FN(PythonObject_AsEntity), nullptr, DOC("AsEntity() as Python3Entity", "The handle's object (module, function, class or instance) as a new entity, to pass it as an argument, store it in a list or dict, or use the members every holder has.", "Empty handle or no interpreter: neutral."), REALmemberFlag, 0, 0},
};

REALproperty PythonObjectProperties[] = {
    {nullptr, DOC("Name", "The name the handle was made under (module, attribute or host module name).", "None stored: the empty string."), "String", REALmemberFlag, FN(PythonObject_Name), nullptr, 0, {}},
};

}  // namespace

REALclassDefinition PythonObjectClass = CLASS_RECORD(
    DOC("Python3Object", "The base of every handle on Python code: modules, functions, classes, instances, host modules and classes.", ""), nullptr, sizeof(Python3ObjectData),
    FN_NO_PYTHON(PythonObject_Initializer), FN(PythonObject_Destructor),
    CLASS_TABLE(PythonObjectProperties), CLASS_TABLE(PythonObjectMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
