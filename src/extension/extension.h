// The method tables that extension modules and classes share: a fixed
// number of slots filled with host functions, the first empty one ending the
// table for Python.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include "convert/convert.h"

// The most functions one module or class holds. The tables are made whole
// at construction, before any function is known, so a count far beyond what
// anyone registers (a mistyped or negative one, read as UInt32) gets this
// many slots instead of gigabytes of memory; functions past it are ignored.
constexpr uint32_t kMaxMethods = 65536;

// What Python is given for a host function (self, args) and for a host
// class's initialiser (self, args, kwds): a stand-in that calls it on a host
// thread and raises RuntimeError on any other, and that raises SystemError
// naming "owner.name" when the host code breaks Python's rule for answers
// (host_functions.cpp). Null for null.
void* HostFunctionEntry(void* function, REALstring owner, REALstring name);
void* HostInitEntry(void* init, REALstring owner);

// Makes the tables for count functions (none for 0), at most kMaxMethods.
// When memory for them cannot be had, there are no slots at all.
template <class D>
void MakeMethodTables(D* d, uint32_t count) {
  d->capacity = 0;
  d->functionCount = 0;
  d->methodTable = nullptr;
  d->nameRefs = nullptr;
  if (count == 0) return;
  if (count > kMaxMethods) count = kMaxMethods;
  d->methodTable = static_cast<PyMethodDef*>(calloc(size_t(count) + 1, sizeof(PyMethodDef)));
  d->nameRefs = static_cast<REALstring*>(calloc(count, sizeof(REALstring)));
  if (!d->methodTable || !d->nameRefs) {
    free(d->methodTable);
    free(d->nameRefs);
    d->methodTable = nullptr;
    d->nameRefs = nullptr;
    return;
  }
  d->capacity = count;
}

// Fills the next slot: the entry points at the name's stored bytes, which the
// held name reference keeps alive. Nothing when the tables are full or there
// is no function.
template <class D>
void AddMethod(D* d, REALstring owner, REALstring name, void* function) {
  if (!function || !d->methodTable || d->functionCount >= d->capacity) return;
  ELockString(name);
  d->nameRefs[d->functionCount] = name;
  PyMethodDef& entry = d->methodTable[d->functionCount];
  entry.ml_name = HostBytes(name);
  entry.ml_meth = HostFunctionEntry(function, owner, name);
  entry.ml_flags = METH_VARARGS;
  entry.ml_doc = nullptr;
  ++d->functionCount;
}

template <class D>
void FreeMethodTables(D* d) {
  if (d->methodTable) {
    for (uint32_t i = 0; i < d->functionCount; ++i) EUnlockString(d->nameRefs[i]);
    free(d->methodTable);
    free(d->nameRefs);
  }
  d->methodTable = nullptr;
  d->nameRefs = nullptr;
  d->capacity = d->functionCount = 0;
}

// xojo_module.cpp: the shared method "RegisterXojoModule", listed in
// Coilwork's record; and the hooks that Init and Finalize run so that
// registered modules survive a restart safely.
void Python_RegisterXojoModule(REALobject xojoModule, void* moduleCreatorFunction);
void XojoModulesAfterInit();     // after Py_Initialize and the console capture
void XojoModulesBeforeFinalize(); // before Py_Finalize
void XojoModulesAfterFinalize();  // after Py_Finalize, before gRegisteredModules is released
// In a sub-interpreter of that generation, current, just made: registered
// modules are made in it; and before it ends, its types are let go.
void XojoModulesAfterOpen(uint32_t generation);
void XojoModulesBeforeClose(uint32_t generation);
