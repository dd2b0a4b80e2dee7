// Python3Object: the root of the named handles (modules, functions, classes,
// instances, extension modules and classes). It holds the Python object and
// the name under which it was found or made, one reference on each.
#include "python/convert.h"

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

REALproperty PythonObjectProperties[] = {
    {nullptr, DOC("Name", "The name the handle was made under (module, attribute or host module name).", "None stored: the empty string."), "String", REALmemberFlag, FN(PythonObject_Name), nullptr, 0, {}},
};

}  // namespace

REALclassDefinition PythonObjectClass = CLASS_RECORD(
    DOC("Python3Object", "The base of every handle on Python code: modules, functions, classes, instances, host modules and classes.", ""), nullptr, sizeof(Python3ObjectData),
    FN_NO_PYTHON(PythonObject_Initializer), FN(PythonObject_Destructor),
    CLASS_TABLE(PythonObjectProperties), NO_TABLE, NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
