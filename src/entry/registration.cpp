// The plugin's entry: REALPluginMain, PluginEntry and the class registration.
// PluginEntry resets the process-wide state of every layer below it before
// it registers the classes, so that a plugin loaded again starts afresh.
#include "plugin/plugin.h"

// The records of Coilwork and Python3Interpreter, beside this file, and of
// the console receiver and the error types, beside the interpreter's code:
// reached only from here.
extern REALclassDefinition CoilworkConsoleOutputClass;  // interpreter/console.cpp
extern REALclassDefinition CoilworkClass;               // coilwork.cpp
extern REALclassDefinition PythonInterpreterClass;      // interpreter_class.cpp
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
