// The shared internals that plugin.h declares: the process-wide state, the
// caches of class references and host methods, and the helpers that make
// instances of plugin and host classes.
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
