// Python3XojoClass: a Python class whose methods and initialiser are host
// functions. The type object lives inside the host object; a module readies
// it when it is imported (xojo_module.cpp).
#include <string.h>

#include "extension/extension.h"

namespace {

XojoClassData* ClassBlock(REALobject self) {
  return Data<XojoClassData>(self, PythonXojoClassClass);
}

// Instances are bare object headers; their memory goes back through the
// free routine of their own type, which for a Python subclass is that
// subclass's (it may carry a GC header and a dict).
void XojoInstance_Dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

void PythonXojoClass_Constructor(REALobject self, REALstring name, uint32_t methodCount,
                                 void* initMethod) {
  XojoClassData* d = ClassBlock(self);
  // Constructed once: a second call could pull tables from under Python.
  if (d->typeObject.ob_base.ob_refcnt != 0) return;
  ELockString(name);
  ObjectData(self)->name = name;
  MakeMethodTables(d, methodCount);

  // Only fields that sit at the same offsets in every supported version are
  // set; Python fills in the rest when it readies the type.
  PyTypeObject* t = &d->typeObject;
  memset(t, 0, sizeof(*t));
  t->ob_base.ob_refcnt = 1;
  t->tp_name = HostBytes(name);  // kept alive by the held name
  t->tp_basicsize = sizeof(PyObject);
  t->tp_itemsize = 0;
  t->tp_dealloc = XojoInstance_Dealloc;
  t->tp_flags = Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_BASETYPE;
  t->tp_doc = "";
  t->tp_methods = d->methodTable;
  t->tp_init = reinterpret_cast<initproc>(HostInitEntry(initMethod, name));
}

void PythonXojoClass_RegisterFunction(REALobject self, REALstring name, void* function) {
  AddMethod(ClassBlock(self), ObjectData(self)->name, name, function);
}

// The type object is left alone: Python is done with it by the time the
// last host reference goes (the module that readied it holds one).
void PythonXojoClass_Destructor(REALobject self) { FreeMethodTables(ClassBlock(self)); }

REALmethodDefinition PythonXojoClassMethods[] = {
    {FN(PythonXojoClass_Constructor), nullptr,
     DOC("Constructor(name as String, methodCount as UInt32, initMethod as Ptr)", "Names the class, sizes its method table (at most 65,536) and sets the host initialiser run by the class's __init__.", "Called again: ignored."), REALmemberFlag, 0,
     0},
    {FN(PythonXojoClass_RegisterFunction), nullptr,
     DOC("RegisterFunction(name as String, fuction as Ptr)", "Adds a method whose body is a host function (self As Ptr, args As Ptr) As Ptr.", "Nil function, or past the table's size: ignored."), REALmemberFlag, 0, 0},
};

}  // namespace

REALclassDefinition PythonXojoClassClass = CLASS_RECORD(
    DOC("Python3XojoClass", "A Python class whose methods are host functions, added to a host module.", ""), "Python3Object", sizeof(XojoClassData),
    nullptr, FN(PythonXojoClass_Destructor),
    NO_TABLE, CLASS_TABLE(PythonXojoClassMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);
