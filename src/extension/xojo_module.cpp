// Python3XojoModule: a Python module whose functions are host functions, with
// the host-defined classes added to it; and its registration with Python.
//
// Python may keep what it was given for longer than one interpreter: its
// table of built-in modules survives Py_Finalize in some versions, and the
// objects a readied type owns (its dict of method descriptors, its MRO) point
// back at the type and are never freed, while older versions go on walking
// them in the next interpreter's garbage collections. So Python is only ever
// handed what the plugin keeps for the life of the process: a copy of each
// module name with a creator of its own, and for each interpreter a fresh
// copy of each class's type object, made from the class as constructed.
#include <stdio.h>
#include <string.h>

#include <array>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "extension/extension.h"
#include "interpreter/home_calls.h"
#include "interpreter/interpreters.h"

// The method table of a module without functions: only the end marker.
PyMethodDef ModuleNoMethods[1] = {{nullptr, nullptr, 0, nullptr}};

namespace {

using ModuleCreator = PyObject* (*)(void);

XojoModuleData* ModuleBlock(REALobject self) {
  return Data<XojoModuleData>(self, PythonXojoModuleClass);
}

// Module definitions Python has been given. A module object keeps a
// pointer to its definition and reads it when the collector walks the
// module or frees it; a module of a stopped interpreter that Python never
// freed is still walked by the next interpreter's collections in older
// versions. So such a definition outlives its host object: it is never freed.
std::unordered_set<PyModuleDef*>& GivenDefinitions() {
  static auto* given = new std::unordered_set<PyModuleDef*>();
  return *given;
}

// Name and function table as Python reads them when it makes the module.
void PrepareDefinition(REALobject self, XojoModuleData* d) {
  d->moduleDef->m_name = HostBytes(ObjectData(self)->name);  // kept alive by name
  d->moduleDef->m_methods = d->functionCount ? d->methodTable : ModuleNoMethods;
  GivenDefinitions().insert(d->moduleDef);
}

// --------------------------------------------------------------------------
// Objects Python uses in the running interpreter: each held by one host
// reference until the interpreter has stopped, so that method tables, names
// and definitions stay valid for as long as Python may call through them.

// The type object Python sees for a class in one interpreter, with its own
// copy of the name. Never freed: objects of a stopped interpreter may still
// point at it.
struct LiveType {
  PyTypeObject type;
  std::string name;
};

struct Held {
  REALobject object;    // a Python3XojoModule or Python3XojoClass
  LiveType* live;       // a class's type in one interpreter; null for a module
  uint32_t generation;  // that interpreter; 0 for a module
};
// Sub-interpreters with locks of their own make their types at once.
std::mutex gHeldLock;
std::vector<Held> gHeld;
std::vector<LiveType*> gRetiredTypes;

Held* FindHeld(REALobject o, uint32_t generation) {
  for (Held& h : gHeld)
    if (h.object == o && h.generation == generation) return &h;
  return nullptr;
}

void Hold(REALobject o, LiveType* live, uint32_t generation) {
  ELockObject(o);
  gHeld.push_back(Held{o, live, generation});
}

// The current interpreter's type object of a class, made on first use from
// the type as the class's constructor left it: each interpreter has types
// of its own.
PyTypeObject* LiveTypeOf(REALobject cls) {
  const uint32_t generation = CurrentGeneration();
  std::lock_guard<std::mutex> guard(gHeldLock);
  if (Held* h = FindHeld(cls, generation)) return h->live ? &h->live->type : nullptr;
  const PyTypeObject& constructed = Data<XojoClassData>(cls, PythonXojoClassClass)->typeObject;
  if (constructed.ob_base.ob_refcnt == 0) return nullptr;  // never constructed
  LiveType* live = new (std::nothrow) LiveType{constructed, constructed.tp_name};
  if (!live) return nullptr;
  live->type.tp_name = live->name.c_str();
  Hold(cls, live, generation);
  return &live->type;
}

// A module definition as the constructor left it: Python writes its header
// (type, index, and a copy of the module dict) when it first makes a module.
void ResetDefinition(PyModuleDef* def) {
  def->m_base = PyModuleDef_Base{};
  def->m_base.ob_base.ob_refcnt = 1;
}

// --------------------------------------------------------------------------
// Registration before Init goes through Python's table of built-in modules.
// Python calls a creator without telling it which module it wants, so each
// module name gets a creator of its own from a fixed set; that creator looks
// up whichever module is registered under the name now.

constexpr int kNameSlots = 256;

struct Registration {
  REALobject module;  // one host reference, until Finalize
  ModuleCreator creator;
  int slot;  // the name's slot, or -1 when made at once in a running interpreter
};
std::vector<Registration> gRegistrations;

char* gSlotNames[kNameSlots];  // plugin-owned copies, kept for the process
bool gSlotAppended[kNameSlots];
int gSlotCount;

PyObject* CreateRegistered(int slot);

void RunCreator(HomeCall& call) { call.result = CreateRegistered(call.slot); }

PyObject* CreateRegistered(int slot) {
  // The creator is host code: imported first on a thread the host did not
  // start, the module is made on the home thread, as host functions run.
  if (!OnHostThread()) {
    HomeCall call{RunCreator, slot, nullptr, nullptr, nullptr, gSlotNames[slot]};
    return CallOnHomeThread(call) ? call.result : nullptr;
  }
  ModuleCreator creator = nullptr;
  for (auto r = gRegistrations.rbegin(); r != gRegistrations.rend(); ++r) {
    if (r->slot == slot) {
      creator = r->creator;
      break;
    }
  }
  if (creator) return creator();
  // Left over in Python's table from an earlier registration.
  if (EPyErr_SetString && e__PyExc_ImportError) {
    char message[320];
    snprintf(message, sizeof(message), "extension module '%.256s' is not registered",
             gSlotNames[slot]);
    EPyErr_SetString(*e__PyExc_ImportError, message);
  }
  return nullptr;
}

template <int I>
PyObject* SlotCreator() {
  return CreateRegistered(I);
}

template <int... I>
constexpr std::array<ModuleCreator, sizeof...(I)> MakeSlotCreators(
    std::integer_sequence<int, I...>) {
  return {{&SlotCreator<I>...}};
}

constexpr std::array<ModuleCreator, kNameSlots> kSlotCreators =
    MakeSlotCreators(std::make_integer_sequence<int, kNameSlots>{});

// The slot of a name, made on first use; -1 when every slot is taken.
int SlotFor(const char* name) {
  for (int i = 0; i < gSlotCount; ++i)
    if (strcmp(gSlotNames[i], name) == 0) return i;
  if (gSlotCount == kNameSlots) return -1;
  char* copy = strdup(name);
  if (!copy) return -1;
  gSlotNames[gSlotCount] = copy;
  return gSlotCount++;
}

// Whether Python's table of built-in modules still has the slot's creator.
// Some versions keep the table across Py_Finalize, others go back to their
// own; Python's exported table tells which. Without it, what was appended
// once is taken to be there still.
bool InittabHas(int slot) {
  struct InittabEntry {
    const char* name;
    ModuleCreator initfunc;
  };
  InittabEntry* const* table = nullptr;
  if (gPlatform.sym && PythonDLLHandle)
    table = static_cast<InittabEntry* const*>(gPlatform.sym(PythonDLLHandle, "PyImport_Inittab"));
  if (!table || !*table) return gSlotAppended[slot];
  for (const InittabEntry* e = *table; e->name; ++e)
    if (e->initfunc == kSlotCreators[slot]) return true;
  return false;
}

void AddToRegisteredModules(REALobject module) {
  if (!gRegisteredModules) gRegisteredModules = NewInstance(ObjectArrayRef, "ObjectArray");
  if (LoadObjectArrayMethods(gRegisteredModules)) IArray_Append(gRegisteredModules, module);
}

// --------------------------------------------------------------------------
// Readying a class for a module.

void AddClassTo(PyObject* module, REALobject cls) {
  PyTypeObject* type = LiveTypeOf(cls);
  if (!type) return;
  type->tp_new = EPyType_GenericNew;
  if (EPyType_Ready(type) < 0) return;  // left out; Python's error stays pending
  PyObject* typeObject = reinterpret_cast<PyObject*>(type);
  PyAddRef(typeObject);
  // Python takes the reference only when it succeeds.
  if (EPyModule_AddObject(module, HostBytes(ObjectData(cls)->name), typeObject) < 0)
    PyRelease(typeObject);
}

// --------------------------------------------------------------------------
// Members of Python3XojoModule.

void PythonXojoModule_Constructor(REALobject self, REALstring name, uint32_t methodCount) {
  XojoModuleData* d = ModuleBlock(self);
  // Constructed once: a second call could pull tables from under Python.
  if (d->moduleDef) return;
  PyModuleDef* def = static_cast<PyModuleDef*>(calloc(1, sizeof(PyModuleDef)));
  if (!def) return;
  def->m_base.ob_base.ob_refcnt = 1;
  def->m_doc = "";
  def->m_size = -1;  // no per-module state
  ELockString(name);
  ObjectData(self)->name = name;
  MakeMethodTables(d, methodCount);
  d->classes = nullptr;
  d->moduleDef = def;
}

void PythonXojoModule_RegisterFunction(REALobject self, REALstring name, void* function) {
  AddMethod(ModuleBlock(self), ObjectData(self)->name, name, function);
}

void PythonXojoModule_AddClass(REALobject self, REALobject classToAdd) {
  if (!classToAdd) return;
  XojoModuleData* d = ModuleBlock(self);
  if (!d->classes) d->classes = NewInstance(ObjectArrayRef, "ObjectArray");
  if (LoadObjectArrayMethods(d->classes)) IArray_Append(d->classes, classToAdd);
}

void* PythonXojoModule_ModuleCreateProc(REALobject self) {
  XojoModuleData* d = ModuleBlock(self);
  if (!PythonRunning() || !d->moduleDef) return nullptr;
  PrepareDefinition(self, d);
  {
    std::lock_guard<std::mutex> guard(gHeldLock);
    if (!FindHeld(self, 0)) Hold(self, nullptr, 0);
  }
  PyObject* module = EPyModule_Create2(d->moduleDef, 3);  // 3: the stable ABI version
  if (!module || !d->classes) return module;
  if (!LoadObjectArrayMethods(d->classes)) return module;
  for (int32_t i = 0; i < IArray_Count(d->classes); ++i) {
    REALobject cls = IArray_GetAt(d->classes, i);
    if (!cls) continue;
    AddClassTo(module, cls);
    EUnlockObject(cls);
  }
  return module;
}

void PythonXojoModule_Destructor(REALobject self) {
  XojoModuleData* d = ModuleBlock(self);
  FreeMethodTables(d);
  // A definition Python was given stays, without its name and functions,
  // which go with this object: only the walk and the freeing of old module
  // objects read it any more.
  if (d->moduleDef && GivenDefinitions().count(d->moduleDef)) {
    d->moduleDef->m_name = "";
    d->moduleDef->m_methods = ModuleNoMethods;
  } else {
    free(d->moduleDef);
  }
  d->moduleDef = nullptr;
  if (d->classes) EUnlockObject(d->classes);
  d->classes = nullptr;
}

REALmethodDefinition PythonXojoModuleMethods[] = {
    {FN(PythonXojoModule_Constructor), nullptr,
     DOC("Constructor(name as String, methodCount as UInt32)", "Names the module and sizes its function table (at most 65,536).", "Called again: ignored."), REALmemberFlag, 0, 0},
    {FN(PythonXojoModule_RegisterFunction), nullptr,
     DOC("RegisterFunction(name as String, fuction as Ptr)", "Adds a module function whose body is a host function (module As Ptr, args As Ptr) As Ptr.", "Nil function, or past the table's size: ignored."), REALmemberFlag, 0, 0},
    {FN(PythonXojoModule_AddClass), nullptr, DOC("AddClass(classToAdd as Python3XojoClass)", "Adds a host class to the module.", "Nil: nothing."),
     REALmemberFlag, 0, 0},
    {FN(PythonXojoModule_ModuleCreateProc), nullptr, DOC("ModuleCreateProc() as Ptr", "Makes the Python module object with its functions and classes, for the host's module creator function to return.", "Never constructed or no interpreter: null."), REALmemberFlag,
     0, 0},
};

// The minor version of the running Python, or -1 when it cannot be read.
int RunningMinorVersion() {
  PyObject* info = EPySys_GetObject("version_info");  // borrowed
  PyRef minor(info ? EPyObject_GetAttrString(info, "minor") : nullptr);
  if (!minor) {
    EPyErr_Clear();
    return -1;
  }
  return int(EPyLong_AsLong(minor.get()));
}

// Before 3.12 the subclass registry of a built-in base type outlives the
// interpreter, with a weak reference to every type readied on it. A type of
// a stopped interpreter must not be found there by the next one.
void ForgetSubclass(PyTypeObject* type) {
  PyTypeObject* base = type->tp_base;
  if (!base || !(type->tp_flags & (1UL << 12))) return;  // not readied
  PyObject* registry = static_cast<PyObject*>(base->tp_subclasses);
  if (!registry || Py_TYPE(registry) != e__PyDict_Type) return;
  // Python keys the registry by the subclass's address as an int.
  PyRef key(EPyLong_FromUnsignedLongLong(reinterpret_cast<uintptr_t>(type)));
  if (!key || EPyDict_Contains(registry, key.get()) != 1 ||
      EPyDict_DelItem(registry, key.get()) < 0)
    EPyErr_Clear();
}

}  // namespace

REALclassDefinition PythonXojoModuleClass = CLASS_RECORD(
    DOC("Python3XojoModule", "A Python extension module made by host code: host functions and host classes.", ""), "Python3Object", sizeof(XojoModuleData),
    nullptr, FN(PythonXojoModule_Destructor),
    NO_TABLE, CLASS_TABLE(PythonXojoModuleMethods), NO_TABLE,
    NO_TABLE, NO_TABLE, NO_TABLE);

void Python_RegisterXojoModule(REALobject xojoModule, void* moduleCreatorFunction) {
  if (!xojoModule || !moduleCreatorFunction) return;
  if (!EnsurePython()) return;
  XojoModuleData* d = ModuleBlock(xojoModule);
  if (!d->moduleDef) return;  // never constructed: nothing to offer Python
  PrepareDefinition(xojoModule, d);
  auto creator = reinterpret_cast<ModuleCreator>(moduleCreatorFunction);
  int slot = -1;
  if (PythonRunning()) {
    // Python forbids extending its built-in table once it runs (3.12 and
    // later abort): make the module now and let import find it loaded, in
    // the main interpreter and in every sub-interpreter open now.
    struct Made {
      ModuleCreator creator;
      const char* name;
      static void In(void* p) {
        Made* m = static_cast<Made*>(p);
        PyObject* module = m->creator();
        if (module) {
          PyObject* modules = EPyImport_GetModuleDict();  // borrowed
          if (modules) EPyDict_SetItemString(modules, m->name, module);
          PyRelease(module);
        }
      }
    } made{creator, d->moduleDef->m_name};
    {
      InterpreterScope main(nullptr);
      if (main.ok()) Made::In(&made);
    }
    ForEachOpenSubInterpreter(&Made::In, &made);
  } else if (EPy_IsInitialized()) {
    return;  // an interpreter this plugin did not start: hands off
  } else {
    slot = SlotFor(d->moduleDef->m_name);
    if (slot < 0) return;
    if (!InittabHas(slot)) {
      EPyImport_AppendInittab(gSlotNames[slot], kSlotCreators[slot]);
      gSlotAppended[slot] = true;
    }
  }
  ELockObject(xojoModule);
  gRegistrations.push_back(Registration{xojoModule, creator, slot});
  AddToRegisteredModules(xojoModule);
}

void XojoModulesAfterInit() {
  // Nothing to do: modules registered before Init reach Python through its
  // table of built-in modules, which Python read when it started.
}

void XojoModulesBeforeFinalize() {
  if (!PythonRunning()) return;
  static int minor = -1;
  if (minor < 0) minor = RunningMinorVersion();
  for (const Held& h : gHeld) {
    if (h.live && h.generation != gInterpreterGeneration) continue;
    if (h.live) {
      // 3.12 and later keep the registry per interpreter.
      if (minor >= 0 && minor < 12) ForgetSubclass(&h.live->type);
    } else if (PyModuleDef* def = ModuleBlock(h.object)->moduleDef) {
      // Python keeps a copy of a module's dict in its definition, for
      // imports after the first; no interpreter frees it, and it holds the
      // module's functions and types. Let it go while Python can free it.
      PyObject* copy = def->m_base.m_copy;
      def->m_base.m_copy = nullptr;
      PyRelease(copy);
    }
  }
}

void XojoModulesAfterOpen(uint32_t generation) {
  // Each registered module, made anew by its creator in this interpreter.
  std::vector<Registration> registrations = gRegistrations;
  for (const Registration& r : registrations) {
    PyObject* module = r.creator();
    const char* name = ModuleBlock(r.module)->moduleDef ? ModuleBlock(r.module)->moduleDef->m_name : nullptr;
    PyObject* modules = module && name ? EPyImport_GetModuleDict() : nullptr;  // borrowed
    if (modules) EPyDict_SetItemString(modules, name, module);
    PyRelease(module);
    if (EPyErr_Clear) EPyErr_Clear();
  }
}

void XojoModulesBeforeClose(uint32_t generation) {
  static int minor = -1;
  if (minor < 0) minor = RunningMinorVersion();
  std::vector<Held> gone;
  {
    std::lock_guard<std::mutex> guard(gHeldLock);
    for (auto it = gHeld.begin(); it != gHeld.end();) {
      if (it->live && it->generation == generation) {
        gone.push_back(*it);
        it = gHeld.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Held& h : gone) {
    if (minor >= 0 && minor < 12) ForgetSubclass(&h.live->type);
    gRetiredTypes.push_back(h.live);
  }
  for (Held& h : gone) EUnlockObject(h.object);
}

void XojoModulesAfterFinalize() {
  // Python is gone: definitions go back to how their constructors left them,
  // so a new interpreter starts from nothing of the old one; type objects
  // are retired (the next interpreter gets new ones); then the objects and
  // the registrations are let go.
  std::vector<Held> held;
  held.swap(gHeld);
  std::vector<Registration> registrations;
  registrations.swap(gRegistrations);
  for (Held& h : held) {
    if (h.live) {
      gRetiredTypes.push_back(h.live);
    } else if (PyModuleDef* def = ModuleBlock(h.object)->moduleDef) {
      ResetDefinition(def);
    }
  }
  for (Held& h : held) EUnlockObject(h.object);
  for (Registration& r : registrations) EUnlockObject(r.module);
}
