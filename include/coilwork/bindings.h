/*
 * Exported binding functions: each resolves one host entry by name on first
 * use and forwards its arguments to it (see src/binding). Named functions have
 * C linkage; the overloaded forms are C++ functions.
 *
 * Included by coilwork/rb_plugin.h; do not include directly.
 */
#ifndef COILWORK_BINDINGS_H
#define COILWORK_BINDINGS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Strings and text (subset used by the plugin's own code; the binding layer
 * declares the rest below). */
int8_t REALGetStringData(REALstring str, uint32_t encoding, REALstringData* outData);
void REALDisposeStringData(REALstringData* data);
int32_t REALCompareStrings(REALstring a, REALstring b);
REALstring REALBuildStringWithEncoding(const char* contents, size_t byteCount, uint32_t encoding);
const char* REALGetStringContents(REALstring str, size_t* numBytes);
int32_t REALStringLength(REALstring str);
void REALLockString(REALstring str);
void REALUnlockString(REALstring str);

/* Objects, classes and methods. */
void REALLockObject(REALobject obj);
void REALUnlockObject(REALobject obj);
REALclassRef REALGetClassRef(const char* className);
REALobject REALnewInstanceWithClass(REALclassRef classRef);
REALobject REALnewInstanceOfClass(REALclassDefinition* definition);
void* REALGetClassData(REALobject instance, REALclassDefinition* definition);
void* REALLoadObjectMethod(REALobject instance, const char* declaration);
void* REALLoadGlobalMethod(const char* module, const char* prototype);
void* REALGetEventInstance(REALobject instance, REALevent* event);

/* Registration. */
void REALRegisterClass(REALclassDefinition* definition);
void REALRegisterModule(REALmoduleDefinition* definition);

/* Memory blocks. */
int32_t REALMemoryBlockGetSize(REALobject block);

/* Property access by name (subset used by the plugin's own code). */
int8_t REALGetPropValueString(REALobject obj, const char* propName, REALstring* value);
int8_t REALGetPropValueObject(REALobject obj, const char* propName, REALobject* value);
int8_t REALGetPropValueBoolean(REALobject obj, const char* propName, int8_t* value);

#ifdef __cplusplus
}
#endif

#endif
