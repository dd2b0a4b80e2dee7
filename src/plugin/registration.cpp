// The plugin's entry: REALPluginMain, PluginEntry and the class registration,
// the process-wide state they reset, and the helpers that make instances of
// plugin and host classes.
#include "plugin/plugin.h"

REALobject gRegisteredModules;
REALobject consoleOutputInstance;
REALobject errorOutputInstance;

REALclassRef PythonEntityClassRef, PythonBytesClassRef, PythonListClassRef,
    PythonDictionaryClassRef, PythonParametersClassRef, PythonResultClassRef,
    PythonModuleClassRef, PythonFunctionClassRef, PythonClassClassRef,
    PythonPythonInstanceClassRef, PythonIteratorClassRef, PythonBufferClassRef, ObjectArrayRef, MemoryBlockRef;

void (*IArray_Append)(REALobject, REALobject);
int32_t (*IArray_Count)(REALobject);
REALobject (*IArray_GetAt)(REALobject, int32_t);
void (*EMemoryBlockConstructor)(REALobject, int32_t);
void* (*EMemoryBlock_OperatorConvert)(REALobject);

// The interpreter's records, defined beside its code and reached only from
// here.
extern REALclassDefinition CoilworkConsoleOutputClass;  // interpreter/console.cpp
extern REALclassDefinition CoilworkClass;               // interpreter/coilwork.cpp
extern REALclassDefinition PythonInterpreterClass;      // interpreter/interpreter_class.cpp
extern REALmoduleDefinition PythonErrorTypesModule;     // interpreter/errors.cpp

namespace {

// The classes in registration order: every superclass before its subclasses.
REALclassDefinition* const kClasses[] = {
    &PythonEntityBaseClass, &PythonEntityClass,     &PythonBytesClass,
    &PythonListClass,       &CoilworkConsoleOutputClass, &PythonObjectClass,
    &PythonResultClass,     &PythonParametersClass, &PythonDictionaryClass,
    &PythonIteratorClass,
    &PythonBufferClass,
    &PythonFunctionClass,   &PythonClassClass,      &PythonInstanceClass,
    &PythonModuleClass,     &PythonXojoClassClass,  &PythonXojoModuleClass,
    &CoilworkClass,         &PythonInterpreterClass,
};

}  // namespace

COILWORK_API REALclassDefinition* SetClassConsoleSafe(REALclassDefinition* definition) {
  definition->mFlags |= REALconsoleSafe;
  return definition;
}

COILWORK_API REALclassDefinition* SetClassWebOnly(REALclassDefinition* definition) {
  definition->mFlags &= ~uintptr_t(8 | 256);
  definition->mFlags |= REALwebOnly;
  return definition;
}

COILWORK_API void PluginEntry(void) {
  gInterpreterGeneration = 0;  // first: no interpreter counts as running from here on
  gPythonFound = false;
  gPythonEntryPointsLoaded = false;
  gPythonPath = nullptr;
  IArray_Append = nullptr;
  IArray_Count = nullptr;
  IArray_GetAt = nullptr;

  LoadEntryPoints();
  EMemoryBlockConstructor = nullptr;
  EMemoryBlock_OperatorConvert = nullptr;

  consoleOutputInstance = nullptr;
  errorOutputInstance = nullptr;
  gVirtualEnvironment = VirtualEnvironment();
  PythonEntityClassRef = PythonBytesClassRef = PythonListClassRef = nullptr;
  PythonDictionaryClassRef = PythonParametersClassRef = PythonResultClassRef = nullptr;
  PythonModuleClassRef = PythonFunctionClassRef = PythonClassClassRef = nullptr;
  PythonPythonInstanceClassRef = PythonIteratorClassRef = PythonBufferClassRef = nullptr;
  ObjectArrayRef = MemoryBlockRef = nullptr;
  gPythonInitialized = false;
  gRegisteredModules = nullptr;

  for (REALclassDefinition* c : kClasses) SetClassConsoleSafe(c);

  ObjectArrayRef = REALGetClassRef("ObjectArray");

  for (REALclassDefinition* c : kClasses) REALRegisterClass(c);
  REALRegisterModule(&PythonErrorTypesModule);
}

COILWORK_API void REALPluginMain(void* (*resolver)(const char* entryName)) {
  gResolver = resolver;
  // A host without "RegisterPluginVersion" is told nothing; registration
  // still proceeds.
  auto registerVersion = reinterpret_cast<void (*)(int32_t)>(HCallResolver("RegisterPluginVersion"));
  if (registerVersion) registerVersion(kCurrentREALControlVersion);
  PluginEntry();
}

REALobject NewInstance(REALclassRef& cache, const char* className) {
  if (!cache && !(cache = REALGetClassRef(className))) return nullptr;
  return REALnewInstanceWithClass(cache);
}

REALobject CreateMemoryBlock(int32_t size) {
  if (!MemoryBlockRef) MemoryBlockRef = REALGetClassRef("MemoryBlock");
  REALobject block = REALnewInstanceWithClass(MemoryBlockRef);
  if (!block) return nullptr;
  if (!EMemoryBlockConstructor)
    EMemoryBlockConstructor = reinterpret_cast<void (*)(REALobject, int32_t)>(
        REALLoadObjectMethod(block, "Constructor(bytes as Integer)"));
  if (!EMemoryBlockConstructor) {
    // A block the host cannot size is of no use to anyone.
    EUnlockObject(block);
    return nullptr;
  }
  EMemoryBlockConstructor(block, size < 0 ? 0 : size);
  return block;
}

void* MemoryBlockAddress(REALobject block) {
  if (!EMemoryBlock_OperatorConvert)
    EMemoryBlock_OperatorConvert = reinterpret_cast<void* (*)(REALobject)>(
        REALLoadObjectMethod(block, "Operator_Convert() As Ptr"));
  return EMemoryBlock_OperatorConvert ? EMemoryBlock_OperatorConvert(block) : nullptr;
}

bool LoadObjectArrayMethods(REALobject array) {
  if (!array) return false;
  if (!IArray_Append)
    IArray_Append = reinterpret_cast<void (*)(REALobject, REALobject)>(
        REALLoadObjectMethod(array, "Append(item as Object)"));
  if (!IArray_Count)
    IArray_Count = reinterpret_cast<int32_t (*)(REALobject)>(
        REALLoadObjectMethod(array, "Count() as Integer"));
  if (!IArray_GetAt)
    IArray_GetAt = reinterpret_cast<REALobject (*)(REALobject, int32_t)>(
        REALLoadObjectMethod(array, "GetAt(n as Integer) as Object"));
  return IArray_Append && IArray_Count && IArray_GetAt;
}
