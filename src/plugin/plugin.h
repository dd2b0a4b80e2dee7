// Shared internals of the plugin: process-wide state, the class records, the
// per-instance data blocks and the small helpers every class family uses.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "binding/resolver.h"
#include "coilwork/plugin_interface.h"
#include "plugin/host_call.h"
#include "python/loader.h"
#include "python/pyapi.h"

#define COILWORK_API extern "C" __attribute__((visibility("default")))

// The word stored in a record for a plugin function: a wrapper that holds
// the interpreter lock for the whole call (host_call.h).
#define FN(f) reinterpret_cast<REALproc>(&HostEntry<decltype(&f), &f>::Call)
// For members that run Python code: the same, and an error left pending by
// an earlier call set aside while the member runs (host_call.h).
#define FN_PY(f) reinterpret_cast<REALproc>(&HostEntry<decltype(&f), &f, true>::Call)
// For the few members that never call Python and never run host code that
// could (the initialisers that only bind the entry-point table, the empty
// destructors of classes whose base releases the object): stored as they
// are, which saves the lock bookkeeping on every instance made and freed.
#define FN_NO_PYTHON(f) reinterpret_cast<REALproc>(f)

// A record's name or declaration together with its text in the reference:
// what the member does, and what it answers to nil, to a missing interpreter
// and to a failure. The host reads the name up to its NUL; the reference
// generator (tools/apidoc) reads on past it, behind the marker byte 0x1E, up
// to the separator 0x1F and the final NUL. Each text is written once, beside
// the record it describes. The pieces stay separate literals so that no hex
// escape swallows the text after it.
#define DOC(name, what, faults) name "\0" "\x1e" what "\x1f" faults

// ---------------------------------------------------------------------------
// Process-wide state (reset by PluginEntry).

extern REALobject gRegisteredModules; // ObjectArray of registered extension modules, or nil
extern REALobject consoleOutputInstance;
extern REALobject errorOutputInstance;  // receiver of sys.stderr, or nil

// Class-reference caches, filled on first use.
extern REALclassRef PythonEntityClassRef, PythonBytesClassRef, PythonListClassRef,
    PythonDictionaryClassRef, PythonParametersClassRef, PythonResultClassRef,
    PythonModuleClassRef, PythonFunctionClassRef, PythonClassClassRef,
    PythonPythonInstanceClassRef, PythonIteratorClassRef, PythonBufferClassRef, ObjectArrayRef, MemoryBlockRef;

// Host-method caches, filled on first use.
extern void (*IArray_Append)(REALobject, REALobject);
extern int32_t (*IArray_Count)(REALobject);
extern REALobject (*IArray_GetAt)(REALobject, int32_t);
extern void (*EMemoryBlockConstructor)(REALobject, int32_t);
extern void* (*EMemoryBlock_OperatorConvert)(REALobject);

// ---------------------------------------------------------------------------
// Class and module records, each defined in the source file of its family.

extern REALclassDefinition PythonEntityBaseClass;   // values/entity.cpp
extern REALclassDefinition PythonEntityClass;       // values/entity.cpp
extern REALclassDefinition PythonBytesClass;        // values/bytes.cpp
extern REALclassDefinition PythonListClass;         // values/list.cpp
extern REALclassDefinition PythonObjectClass;       // values/object.cpp
extern REALclassDefinition PythonResultClass;       // values/result.cpp
extern REALclassDefinition PythonParametersClass;   // values/parameters.cpp
extern REALclassDefinition PythonDictionaryClass;   // values/dictionary.cpp
extern REALclassDefinition PythonIteratorClass;     // values/iterator.cpp
extern REALclassDefinition PythonBufferClass;       // values/buffer.cpp
extern REALclassDefinition PythonFunctionClass;     // code/function.cpp
extern REALclassDefinition PythonClassClass;        // code/class.cpp
extern REALclassDefinition PythonInstanceClass;     // code/instance.cpp
extern REALclassDefinition PythonModuleClass;       // code/module.cpp
extern REALclassDefinition PythonXojoClassClass;    // extension/xojo_class.cpp
extern REALclassDefinition PythonXojoModuleClass;   // extension/xojo_module.cpp

// Builds a class record; the tables are given with their element counts.
#define CLASS_TABLE(t) t, (sizeof(t) / sizeof((t)[0]))
#define NO_TABLE nullptr, 0

// A class record with the words the plugin fills; the rest (system-use word,
// event instances, interfaces "", bindings, class flags, shared properties,
// delegates) as every record of the plugin has them. Each table argument is
// CLASS_TABLE(t) or NO_TABLE.
#define CLASS_RECORD(name, superName, dataSize, constructor, destructor, properties, methods, \
                     events, constants, sharedMethods, enums)                                   \
  {kCurrentREALControlVersion, name, superName, dataSize, 0, constructor, destructor,          \
   properties, methods, events, NO_TABLE, "", NO_TABLE, constants, 0, NO_TABLE, sharedMethods,  \
   NO_TABLE, enums}

// ---------------------------------------------------------------------------
// Per-instance data blocks. Each is reached with the record of the class that
// declares it, whatever the instance's own class.

// A Python object held by a handle, with the interpreter it belongs to.
// Objects of a stopped interpreter are never touched again, not even after
// a later Init starts another one: Python may have freed their memory, so
// releasing or reading them there would corrupt the new interpreter. A held
// object therefore counts only in the interpreter that made it.
struct HeldPython {
  PyObject* pyObject;   // owned while its interpreter runs, or null
  uint32_t generation;  // the interpreter pyObject belongs to

  // Null while no interpreter runs (generation 0 then matches only empty
  // blocks) and for objects of an earlier interpreter. A non-null answer
  // therefore means the interpreter runs: the compiler is told so, and drops
  // the callers' own checks (the sanitized build traps should it not hold).
  //
  // An object of another interpreter than the thread's current one (a
  // sub-interpreter's, or the main one's while a sub-interpreter is
  // current): the member using it enters that interpreter until it returns.
  COILWORK_HOT PyObject* get() const {
    PyObject* o = InCurrent() ? pyObject : Elsewhere();
    if (o && !PythonRunning()) __builtin_unreachable();
    return o;
  }
  // As get, for reading a number, a Boolean or None and for releasing the
  // reference: such an object of a sub-interpreter that shares the current
  // one's lock and allocator is used where it is, without entering its
  // interpreter (Python runs no code of that interpreter for them, and
  // their memory goes back to the allocator both use).
  COILWORK_HOT PyObject* getScalar() const { return InCurrent() ? pyObject : ScalarElsewhere(); }
  // Takes over one reference of o, made in the thread's current interpreter.
  void set(PyObject* o) {
    pyObject = o;
    uint32_t entered = tHostThread.enteredGeneration;
    generation = entered ? entered : gInterpreterGeneration;
  }
  // Whether the object lives in the main interpreter and that is current.
  COILWORK_HOT bool InCurrent() const {
    return generation == gInterpreterGeneration && tHostThread.enteredGeneration == 0;
  }
  __attribute__((noinline, cold)) PyObject* Elsewhere() const;
  __attribute__((noinline, cold)) PyObject* ScalarElsewhere() const;
  // For a holder given as an argument: see HeldObject (interpreter/copies.h).
  __attribute__((noinline, cold)) PyObject* AsArgument() const;
};

// The generation new objects of this thread are tagged with: the
// sub-interpreter's current on the thread inside a call, else the main one's.
COILWORK_HOT uint32_t CurrentGenerationOfThread() {
  uint32_t entered = tHostThread.enteredGeneration;
  return entered ? entered : gInterpreterGeneration;
}

struct Python3ObjectData {
  REALstring name;  // retained, or nil
  HeldPython held;
};

struct EntityBaseData {
  HeldPython held;
};

struct ParametersData {
  int32_t lastError;
};

struct ResultData {
  HeldPython held;
};

struct FunctionData {
  REALobject ownerModule;    // retained, or nil
  REALobject ownerInstance;  // retained, or nil
};

struct ClassData {
  REALobject ownerModule;  // retained, or nil
};

struct InstanceData {
  REALobject owningClass;  // retained, or nil
  REALobject ownerModule;  // never stored; stays nil
};

struct ModuleData {
  uintptr_t unused;
};

struct ConsoleOutputData {
  void* handler;  // cached ConsoleOutput handler, or null
};

struct XojoModuleData {
  uint32_t capacity;
  PyMethodDef* methodTable;
  REALstring* nameRefs;
  uint32_t functionCount;
  REALobject classes;  // ObjectArray, or nil
  PyModuleDef* moduleDef;
};

struct XojoClassData {
  uint32_t capacity;
  PyMethodDef* methodTable;
  REALstring* nameRefs;
  uint32_t functionCount;
  PyTypeObject typeObject;
};

// The same arithmetic as REALGetClassData, done in place: every member call
// reaches one or two data blocks, so this sits on every path. The instance
// is never nil here (a member's own instance, which the host never passes as
// nil, or a holder its caller has checked), so it is not tested again.
template <class T>
COILWORK_HOT T* Data(REALobject instance, REALclassDefinition& definition) {
  return reinterpret_cast<T*>(reinterpret_cast<char*>(instance) + definition.forSystemUse);
}

COILWORK_HOT Python3ObjectData* ObjectData(REALobject o) { return Data<Python3ObjectData>(o, PythonObjectClass); }
COILWORK_HOT EntityBaseData* EntityData(REALobject o) { return Data<EntityBaseData>(o, PythonEntityBaseClass); }

// ---------------------------------------------------------------------------
// Helpers (plugin.cpp).

// Fills a class-reference cache slot on first use and makes an instance; the
// caller receives one host reference. Nil when the host cannot make it.
REALobject NewInstance(REALclassRef& cache, const char* className);

// A new host MemoryBlock of size bytes, made by the host's own constructor.
REALobject CreateMemoryBlock(int32_t size);

// The address of a block's bytes, through the block's own conversion method
// (looked up once, on the first block seen); null when the host has none.
void* MemoryBlockAddress(REALobject block);

// The ObjectArray methods, looked up on a live array on first use.
bool LoadObjectArrayMethods(REALobject array);
