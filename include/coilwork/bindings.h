/*
 * The exported binding functions: 331 functions under the host plugin SDK's
 * names, each of which finds one host entry by name on first use and forwards
 * its arguments to it (src/binding generates them from the tables below).
 *
 * Included by coilwork/plugin_interface.h; do not include directly.
 *
 * Every function is described by a row of a table. The same tables produce
 * the declarations here, the definitions in the plugin, and the list of
 * exported names that the tests check, so the three cannot drift apart.
 *
 * Rows of the plain tables read
 *
 *   X(kind, function, host entry, result type, unresolved result, (parameters))
 *
 * where the parameters are written as type, name pairs, "(void)" for none, and
 * the unresolved result is what the function returns when the host has no
 * such entry (empty for procedures). kind is FWD for a function that forwards
 * its arguments unchanged and returns the entry's result unchanged, OWN for a
 * function with rules of its own (written by hand, described where the row
 * is). A missing entry has no effect: output arguments are left as they were.
 *
 * Types chosen where the host's plugin SDK decides: handles are the handle
 * pointers (REALobject for controls, windows, graphics, pictures, sockets and
 * databases; void* for host records this library does not describe), counts,
 * indexes and coordinates are int32_t, text encodings uint32_t, floating
 * point double, booleans int8_t (0 false, anything else true).
 */
#ifndef COILWORK_BINDINGS_H
#define COILWORK_BINDINGS_H

/* The host's picture description record; only its address is passed. */
typedef struct REALpictureDescription REALpictureDescription;

/* A routine the host runs periodically (REALRegisterBackgroundTask) and one
 * it runs under its exception handler (REALCallFunctionWithExceptionHandler). */
typedef void (*REALBackgroundTaskProc)(void* data);
typedef void (*REALExceptionHandledProc)(void* data);

/* ------------------------------------------------------------------------
 * Parameter lists: (type, name, type, name, ...) or (void).
 * COILWORK_PARAMS gives the declaration list, COILWORK_TYPES the types alone,
 * COILWORK_NAMES the names alone. */
#define COILWORK_PARAMS(...) COILWORK_PICK_(COILWORK_PARAMS_, __VA_ARGS__)
#define COILWORK_TYPES(...) COILWORK_PICK_(COILWORK_TYPES_, __VA_ARGS__)
#define COILWORK_NAMES(...) COILWORK_PICK_(COILWORK_NAMES_, __VA_ARGS__)

#define COILWORK_CAT_(a, b) a##b
#define COILWORK_CAT(a, b) COILWORK_CAT_(a, b)
#define COILWORK_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, N, ...) N
#define COILWORK_COUNT(...) \
  COILWORK_COUNT_(__VA_ARGS__, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define COILWORK_PICK_(what, ...) COILWORK_CAT(what, COILWORK_COUNT(__VA_ARGS__))(__VA_ARGS__)

#define COILWORK_PARAMS_1(v) void
#define COILWORK_PARAMS_2(t1, n1) t1 n1
#define COILWORK_PARAMS_4(t1, n1, t2, n2) t1 n1, t2 n2
#define COILWORK_PARAMS_6(t1, n1, t2, n2, t3, n3) t1 n1, t2 n2, t3 n3
#define COILWORK_PARAMS_8(t1, n1, t2, n2, t3, n3, t4, n4) t1 n1, t2 n2, t3 n3, t4 n4
#define COILWORK_PARAMS_10(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5) \
  t1 n1, t2 n2, t3 n3, t4 n4, t5 n5
#define COILWORK_PARAMS_12(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5, t6, n6) \
  t1 n1, t2 n2, t3 n3, t4 n4, t5 n5, t6 n6
#define COILWORK_PARAMS_14(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5, t6, n6, t7, n7) \
  t1 n1, t2 n2, t3 n3, t4 n4, t5 n5, t6 n6, t7 n7

#define COILWORK_TYPES_1(v) void
#define COILWORK_TYPES_2(t1, n1) t1
#define COILWORK_TYPES_4(t1, n1, t2, n2) t1, t2
#define COILWORK_TYPES_6(t1, n1, t2, n2, t3, n3) t1, t2, t3
#define COILWORK_TYPES_8(t1, n1, t2, n2, t3, n3, t4, n4) t1, t2, t3, t4
#define COILWORK_TYPES_10(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5) t1, t2, t3, t4, t5
#define COILWORK_TYPES_12(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5, t6, n6) \
  t1, t2, t3, t4, t5, t6
#define COILWORK_TYPES_14(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5, t6, n6, t7, n7) \
  t1, t2, t3, t4, t5, t6, t7

#define COILWORK_NAMES_1(v)
#define COILWORK_NAMES_2(t1, n1) n1
#define COILWORK_NAMES_4(t1, n1, t2, n2) n1, n2
#define COILWORK_NAMES_6(t1, n1, t2, n2, t3, n3) n1, n2, n3
#define COILWORK_NAMES_8(t1, n1, t2, n2, t3, n3, t4, n4) n1, n2, n3, n4
#define COILWORK_NAMES_10(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5) n1, n2, n3, n4, n5
#define COILWORK_NAMES_12(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5, t6, n6) \
  n1, n2, n3, n4, n5, n6
#define COILWORK_NAMES_14(t1, n1, t2, n2, t3, n3, t4, n4, t5, n5, t6, n6, t7, n7) \
  n1, n2, n3, n4, n5, n6, n7

/* ========================================================================
 * Untyped bindings (147).
 * ======================================================================== */

/* Strings and text (26; the overloaded REALBuildString is in
 * COILWORK_UNTYPED_OVERLOADS).
 * REALGetStringContents: the bytes as "StringGetCString" gives them and, when
 *   numBytes is not nil, the byte count from the host's global method
 *   "LenB( s as string ) as integer"; nil for a nil string (numBytes then
 *   untouched). Without "StringGetCString" it returns nil, but may still have
 *   written the count.
 * REALStringLength: the byte count through the same "LenB" method; 0 when the
 *   host offers none.
 * The string functions that take an encoding return a new string; host
 * strings never change once made. */
#define COILWORK_STRING_BINDINGS(X)                                                              \
  X(FWD, REALGetStringData, "PluginGetStringData", int8_t, 0,                                    \
    (REALstring, str, uint32_t, encoding, REALstringData*, outData))                             \
  X(FWD, REALDisposeStringData, "PluginDisposeStringData", void, , (REALstringData*, data))     \
  X(FWD, REALCompareStrings, "RuntimeStringCompare", int32_t, 0, (REALstring, a, REALstring, b)) \
  X(FWD, REALAddStrings, "RuntimeAddString", REALstring, 0, (REALstring, a, REALstring, b))      \
  X(FWD, REALBuildString, "REALBuildString", REALstring, 0,                                      \
    (const char*, contents, int32_t, byteCount))                                                 \
  X(FWD, REALBuildStringWithEncoding, "REALBuildStringWithEncoding", REALstring, 0,              \
    (const char*, contents, size_t, byteCount, uint32_t, encoding))                              \
  X(OWN, REALGetStringContents, "StringGetCString", const char*, 0,                              \
    (REALstring, str, size_t*, numBytes))                                                        \
  X(FWD, REALCString, "StringGetCString", const char*, 0, (REALstring, str))                     \
  X(FWD, REALPString, "StringGetPString", const unsigned char*, 0, (REALstring, str))            \
  X(OWN, REALStringLength, "REALLoadGlobalMethod", int32_t, 0, (REALstring, str))                \
  X(FWD, REALLockString, "REALLockString", void, , (REALstring, str))                            \
  X(FWD, REALUnlockString, "REALUnlockString", void, , (REALstring, str))                        \
  X(FWD, REALGetStringEncoding, "REALGetStringEncoding", uint32_t, 0, (REALstring, str))         \
  X(FWD, REALSetStringEncoding, "REALSetStringEncoding", REALstring, 0,                          \
    (REALstring, str, uint32_t, encoding))                                                       \
  X(FWD, REALConvertString, "REALConvertString", REALstring, 0,                                  \
    (REALstring, str, uint32_t, encoding))                                                       \
  X(FWD, REALstringToOSType, "StringToOSType", uint32_t, 0, (REALstring, str))                   \
  X(FWD, REALGetSystemTextEncoding, "REALGetSystemTextEncoding", uint32_t, 0x08000100, (void))   \
  X(FWD, REALStripAmpersands, "REALStripAmpersands", REALstring, 0, (REALstring, str))           \
  X(FWD, REALLockText, "REALLockText", void, , (REALtext, text))                                 \
  X(FWD, REALUnlockText, "REALUnlockText", void, , (REALtext, text))                             \
  X(FWD, REALBuildText, "PluginBuildText", REALtext, 0,                                          \
    (const void*, contents, size_t, byteCount, uint32_t, encoding))                              \
  X(FWD, REALCompareText, "PluginCompareText", int32_t, 0,                                       \
    (REALtext, a, REALtext, b, uint32_t, options))                                               \
  X(FWD, REALConcatenateText, "PluginConcatenateText", REALtext, 0, (REALtext, a, REALtext, b))  \
  X(FWD, REALGetTextData, "PluginGetTextData", int8_t, 0,                                        \
    (REALtext, text, uint32_t, encoding, REALstringData*, outData))                              \
  X(FWD, REALDisposeTextData, "PluginDisposeTextData", void, , (REALstringData*, data))

/* Objects, classes and methods (20; the overloaded REALnewInstance is in
 * COILWORK_UNTYPED_OVERLOADS).
 * REALnewInstanceWithClass: nil for a nil class reference.
 * REALnewInstanceOfClass: through "PluginNewInstanceOfClass"; on a host
 *   without it, from the class name in the record through "pluginObjectType"
 *   and "CreateInstance". Nil for a nil record.
 * REALGetClassData, REALGetControlData: no host call; the instance address
 *   plus the data offset that the host wrote into the record at registration
 *   (word 5 of a class record, word 16 of a control record). Nil for a nil
 *   instance or record.
 * REALLoadGlobalMethod: the module is ignored (the host is asked with nil);
 *   REALLoadFrameworkMethod asks the same entry the same way.
 * REALGetEventInstance: the host is asked with the event record's second
 *   word, which it wrote at registration; nil for a nil record. */
#define COILWORK_OBJECT_BINDINGS(X)                                                              \
  X(FWD, REALObjectIsA, "RuntimeObjectIsa", int8_t, 0, (REALobject, obj, REALclassRef, classRef)) \
  X(FWD, REALLockObject, "REALLockObject", void, , (REALobject, obj))                            \
  X(FWD, REALUnlockObject, "REALUnlockObject", void, , (REALobject, obj))                        \
  X(FWD, REALGetClassRef, "pluginObjectType", REALclassRef, 0, (const char*, className))         \
  X(OWN, REALnewInstanceWithClass, "CreateInstance", REALobject, 0, (REALclassRef, classRef))    \
  X(FWD, REALnewInstance, "PluginNewInstance", REALobject, 0, (const char*, className))          \
  X(OWN, REALnewInstanceOfClass, "PluginNewInstanceOfClass", REALobject, 0,                      \
    (REALclassDefinition*, definition))                                                          \
  X(OWN, REALGetClassData, 0, void*, 0, (REALobject, instance, REALclassDefinition*, definition)) \
  X(OWN, REALGetControlData, 0, void*, 0, (REALobject, instance, void*, controlDefinition))       \
  X(FWD, REALLoadObjectMethod, "REALLoadObjectMethod", void*, 0,                                 \
    (REALobject, instance, const char*, declaration))                                            \
  X(FWD, REALLoadSharedMethod, "PluginLoadSharedMethod", void*, 0,                               \
    (REALclassRef, classRef, const char*, declaration))                                          \
  X(OWN, REALLoadGlobalMethod, "REALLoadGlobalMethod", void*, 0,                                 \
    (const char*, module, const char*, prototype))                                               \
  X(OWN, REALLoadFrameworkMethod, "REALLoadGlobalMethod", void*, 0, (const char*, prototype))    \
  X(FWD, REALInterfaceRoutine, "GetInterfaceRoutine", void*, 0,                                  \
    (REALobject, obj, const char*, interfaceName, const char*, methodName))                      \
  X(FWD, REALGetDelegateInvoker, "PluginGetDelegateInvoker", void*, 0, (REALobject, delegate))   \
  X(OWN, REALGetEventInstance, "GetEventInstance", void*, 0,                                     \
    (REALobject, instance, REALevent*, event))                                                   \
  X(FWD, REALGetPluginData, "PluginGetPluginData", void*, 0, (REALobject, obj))                  \
  X(FWD, REALCallFunctionWithExceptionHandler, "PluginCallFunctionWithExceptionHandler",         \
    REALobject, 0, (REALExceptionHandledProc, function, void*, data))                            \
  X(FWD, REALRaiseException, "RuntimeRaiseException", void, , (REALobject, exception))

/* Registration (17). Records this library does not describe itself are
 * passed as void*. REALRegisterBackgroundTask answers -1 when the host
 * cannot register the task. */
#define COILWORK_REGISTRATION_BINDINGS(X)                                                        \
  X(FWD, REALRegisterClass, "PluginRegisterClass", void, , (REALclassDefinition*, definition))   \
  X(FWD, REALRegisterModule, "PluginRegisterModule", void, , (REALmoduleDefinition*, definition)) \
  X(FWD, REALRegisterControl, "PluginRegisterControl", void, , (void*, controlDefinition))       \
  X(FWD, REALRegisterMethod, "PluginRegisterMethod", void, , (REALmethodDefinition*, definition)) \
  X(FWD, REALRegisterClassExtension, "PluginRegisterClassExtension", void, ,                     \
    (REALclassDefinition*, definition))                                                          \
  X(FWD, REALRegisterEnum, "PluginRegisterEnum", void, , (REALenum*, definition))                \
  X(FWD, REALRegisterStructure, "PluginRegisterStructure", void, , (void*, definition))          \
  X(FWD, REALRegisterInterface, "PluginRegisterInterface", void, , (void*, definition))          \
  X(FWD, REALRegisterBackgroundTask, "PluginRegisterBackgroundTask", int32_t, -1,                \
    (REALBackgroundTaskProc, task, uint32_t, period, void*, data))                               \
  X(FWD, REALUnregisterBackgroundTask, "PluginUnregisterBackgroundTask", void, , (int32_t, id))  \
  X(FWD, REALRegisterDBEngine, "PluginRegisterDBEngine", void, , (void*, definition))            \
  X(FWD, REALRegisterDBTable, "PluginRegisterDBTable", void, , (void*, definition))              \
  X(FWD, REALRegisterDBCursor, "PluginRegisterDBCursor", void, , (void*, definition))            \
  X(FWD, REALRegisterDataSourceInterface, "RegisterDataSourceInterface", void, ,                 \
    (void*, definition))                                                                         \
  X(FWD, REALRegisterDataSource, "RegisterDataSource", void, , (void*, definition))              \
  X(FWD, REALRegisterDatabaseConnection, "RegisterDatabaseConnection", void, ,                   \
    (void*, definition))                                                                         \
  X(FWD, REALDesignAddDataSource, "DesignAddDataSource", void, ,                                 \
    (const char*, name, void*, definition))

/* Runtime environment and files (12). REALGetRBVersion answers 0.0 on a host
 * that does not say. */
#define COILWORK_RUNTIME_BINDINGS(X)                                                             \
  X(FWD, REALinRuntime, "REALinRuntime", int8_t, 0, (void))                                      \
  X(FWD, REALInDebugMode, "REALInDebugMode", int8_t, 0, (void))                                  \
  X(FWD, REALGetRBVersion, "REALGetRBVersion", double, 0.0, (void))                              \
  X(FWD, REALYieldToRB, "REALYieldToRB", void, , (void))                                         \
  X(FWD, REALGetProjectFolder, "REALGetProjectFolder", REALobject, 0, (void))                    \
  X(FWD, REALMessageBox, "RuntimeMsgBox", void, , (REALstring, text))                            \
  X(FWD, REALDefaultControlFont, "PluginDefaultControlFont", REALstring, 0, (void))              \
  X(FWD, REALDefaultControlFontSize, "PluginDefaultControlFontSize", double, 0.0, (void))        \
  X(FWD, REALDefaultControlCaption, "PluginDefaultControlCaption", REALstring, 0, (void))        \
  X(FWD, REALGetFontEncoding, "REALGetFontEncoding", uint32_t, 0, (const char*, fontName))       \
  X(FWD, REALFolderItemFromPath, "FolderItemFromPath", REALobject, 0,                            \
    (REALstring, path, int32_t, pathType))                                                       \
  X(FWD, REALpathFromFolderItem, "REALpathFromFolderItem", REALstring, 0,                        \
    (REALobject, folderItem, int32_t, pathType))

/* Memory blocks (4). */
#define COILWORK_MEMORY_BINDINGS(X)                                                              \
  X(FWD, REALNewMemoryBlock, "newMemoryBlock", REALobject, 0, (int32_t, bytes))                  \
  X(FWD, REALMemoryBlockGetPtr, "memoryBlockGetPtr", void*, 0, (REALobject, block))              \
  X(FWD, REALMemoryBlockGetSize, "memoryBlockGetSize", int32_t, 0, (REALobject, block))          \
  X(FWD, REALPtrToMemoryBlock, "PtrToMemoryBlock", REALobject, 0, (void*, data))

/* Databases (14). Database and cursor objects are REALobject; the engine's own
 * database, cursor and definition records are void*. */
#define COILWORK_DATABASE_BINDINGS(X)                                                            \
  X(FWD, REALGetDBHost, "REALGetDBHost", REALstring, 0, (REALobject, database))                  \
  X(FWD, REALGetDBDatabaseName, "REALGetDBDatabaseName", REALstring, 0, (REALobject, database))  \
  X(FWD, REALGetDBPassword, "REALGetDBPassword", REALstring, 0, (REALobject, database))          \
  X(FWD, REALGetDBUserName, "REALGetDBUserName", REALstring, 0, (REALobject, database))          \
  X(FWD, REALGetDBFromREALdbDatabase, "REALGetDBFromREALdbDatabase", void*, 0,                   \
    (REALobject, database))                                                                      \
  X(FWD, REALConstructDBDatabase, "REALConstructDBDatabase", REALobject, 0,                      \
    (void*, engineDatabase, void*, engineDefinition))                                            \
  X(FWD, REALSetDBIsConnected, "REALSetDBIsConnected", void, ,                                   \
    (REALobject, database, int8_t, connected))                                                   \
  X(FWD, REALdbCursorFromDBCursor, "REALdbCursorFromDBCursor", REALobject, 0,                    \
    (void*, engineCursor, void*, cursorDefinition))                                              \
  X(FWD, REALdbDatabaseFromDBDatabase, "REALdbDatabaseFromDBDatabase", REALobject, 0,            \
    (void*, engineDatabase, void*, engineDefinition))                                            \
  X(FWD, REALGetCursorFromREALdbCursor, "REALGetCursorFromREALdbCursor", void*, 0,               \
    (REALobject, cursor))                                                                        \
  X(FWD, REALDBConnectionDialogCreate, "REALDBConnectionDialogCreate", void*, 0, (void))         \
  X(FWD, REALDBConnectionDialogAddField, "REALDBConnectionDialogAddField", void, ,               \
    (void*, dialog, REALstring, label, REALstring, defaultText, int8_t, masked))                 \
  X(FWD, REALDBConnectionDialogShow, "REALDBConnectionDialogShow", int8_t, 0,                    \
    (void*, dialog, REALstring, title))                                                          \
  X(FWD, REALDBConnectionDialogDelete, "REALDBConnectionDialogDelete", void, , (void*, dialog))

/* Controls and windows (19). "which" selects the position property (the
 * property record's parameter word). REALSetControlEnabled,
 * REALSetControlFocus pass their Boolean as a signed 8-bit value;
 * REALGetTabPanelVisible and REALGetControlFocus keep only the low 8 bits of
 * the host's answer. */
#define COILWORK_CONTROL_BINDINGS(X)                                                             \
  X(FWD, REALGetControlBounds, "GetControlBounds", void, , (REALobject, control, void*, bounds)) \
  X(FWD, REALGetControlVisible, "GetControlVisible", int8_t, 0, (REALobject, control))           \
  X(FWD, REALSetControlVisible, "SetControlVisible", void, ,                                     \
    (REALobject, control, int8_t, visible))                                                      \
  X(FWD, REALGetControlEnabled, "REALGetControlEnabled", int8_t, 0, (REALobject, control))       \
  X(FWD, REALSetControlEnabled, "controlEnabledSetter", void, ,                                  \
    (REALobject, control, intptr_t, param, int8_t, enabled))                                     \
  X(FWD, REALGetControlPosition, "ctlPosGetter", int32_t, 0,                                    \
    (REALobject, control, intptr_t, which))                                                      \
  X(FWD, REALSetControlPosition, "ctlPosSetter", void, ,                                         \
    (REALobject, control, intptr_t, which, int32_t, value))                                      \
  X(FWD, REALInvalidateControl, "REALInvalidateControl", void, , (REALobject, control))          \
  X(FWD, REALInvalidateControlRect, "REALInvalidateControlRect", void, ,                         \
    (REALobject, control, int32_t, left, int32_t, top, int32_t, right, int32_t, bottom))         \
  X(FWD, REALGetControlWindow, "getControlWindow", REALobject, 0, (REALobject, control))         \
  X(OWN, REALGetTabPanelVisible, "GetTabPanelVisible", int8_t, 0, (REALobject, control))         \
  X(OWN, REALGetControlFocus, "REALGetControlFocus", int8_t, 0, (REALobject, control))           \
  X(FWD, REALSetControlFocus, "REALSetControlFocus", void, , (REALobject, control, int8_t, focus)) \
  X(FWD, REALGetControlParent, "REALGetControlParent", REALobject, 0, (REALobject, control))     \
  X(FWD, REALGetControlName, "REALGetControlName", REALstring, 0, (REALobject, control))         \
  X(FWD, REALGetControlHandle, "REALGetControlHandle", void*, 0, (REALobject, control))          \
  X(FWD, REALGetControlGraphics, "REALGetControlGraphics", REALobject, 0, (REALobject, control)) \
  X(FWD, REALGetWindowHandle, "REALGetWindowHandle", void*, 0, (REALobject, window))             \
  X(FWD, REALSetAccelerator, "REALSetAccelerator", void, , (REALobject, control, REALstring, key))

/* Graphics and pictures (23; the two-argument REALLockPictureDescription is in
 * COILWORK_UNTYPED_OVERLOADS). Style and rectangle records are void*.
 * REALGetPictureMask passes its Boolean as a signed 8-bit value. */
#define COILWORK_GRAPHICS_BINDINGS(X)                                                            \
  X(FWD, GraphicsDrawLine, "RuntimeGraphicsDrawLine", void, ,                                    \
    (REALobject, graphics, int32_t, x1, int32_t, y1, int32_t, x2, int32_t, y2))                  \
  X(FWD, REALGraphicsDrawString, "RuntimeGraphicsDrawString", void, ,                            \
    (REALobject, graphics, REALstring, text, int32_t, x, int32_t, y, int32_t, width))            \
  X(FWD, REALGraphicsStringWidth, "RuntimeGraphicsStringWidth", double, 0.0,                     \
    (REALobject, graphics, REALstring, text))                                                    \
  X(FWD, REALGraphicsStringHeight, "RuntimeGraphicsStringHeight", double, 0.0,                   \
    (REALobject, graphics, REALstring, text, double, wrapWidth))                                 \
  X(FWD, REALGraphicsTextHeight, "RuntimeGraphicsTextHeight", double, 0.0,                       \
    (REALobject, graphics))                                                                      \
  X(FWD, REALGraphicsTextAscent, "RuntimeGraphicsTextAscent", double, 0.0,                       \
    (REALobject, graphics))                                                                      \
  X(FWD, REALGetGraphicsOrigin, "REALGetGraphicsOrigin", void, ,                                 \
    (REALobject, graphics, int32_t*, originX, int32_t*, originY))                                \
  X(FWD, REALSetGraphicsOrigin, "REALSetGraphicsOrigin", void, ,                                 \
    (REALobject, graphics, int32_t, originX, int32_t, originY))                                  \
  X(FWD, REALGetGraphicsFontStyle, "REALGetGraphicsFontStyle", void, ,                           \
    (REALobject, graphics, void*, style))                                                        \
  X(FWD, REALSetGraphicsStyle, "REALSetGraphicsStyle", void, ,                                  \
    (REALobject, graphics, void*, style))                                                        \
  X(FWD, REALGraphicsDC, "REALGraphicsDC", void*, 0, (REALobject, graphics))                     \
  X(FWD, REALGraphicsGdkDrawable, "REALGraphicsGdkDrawable", void*, 0, (REALobject, graphics))   \
  X(FWD, REALDrawPicturePrimitive, "REALDrawPicturePrimitive", void, ,                           \
    (REALobject, graphics, REALobject, picture, const void*, destination, int8_t, useMask))      \
  X(FWD, REALNewPicture, "newPicture", REALobject, 0,                                            \
    (int32_t, width, int32_t, height, int32_t, depth))                                           \
  X(FWD, REALGetPictureGraphics, "pluginPictureGraphicsGetter", REALobject, 0,                   \
    (REALobject, picture))                                                                       \
  X(FWD, REALBuildPictureFromBuffer, "REALBuildPictureFromBuffer", REALobject, 0,                \
    (int32_t, width, int32_t, height, const void*, pixels, int32_t, pixelType))                  \
  X(FWD, REALBuildPictureFromPictureDescription, "REALBuildPictureFromPictureDescription",       \
    REALobject, 0, (REALpictureDescription*, description, int8_t, copyPixels))                   \
  X(FWD, REALLockPictureDescriptionWithNativeType, "lockPictureDescription", int8_t, 0,          \
    (REALobject, picture, REALpictureDescription*, description))                                 \
  X(FWD, REALLockPictureDescription, "REALLockPictureDescription", int8_t, 0,                    \
    (REALobject, picture, REALpictureDescription*, description, uint32_t, pictureType))          \
  X(FWD, REALUnlockPictureDescription, "unlockPictureDescription", void, , (REALobject, picture)) \
  X(FWD, REALPictureClearCache, "REALPictureClearCache", void, , (REALobject, picture))          \
  X(FWD, REALGetPictureMask, "REALGetPictureMask", REALobject, 0,                                \
    (REALobject, picture, int8_t, create))

/* Sockets (12). */
#define COILWORK_SOCKET_BINDINGS(X)                                                              \
  X(FWD, REALMarkSocketUsage, "PluginMarkSocketUsage", void, , (void))                           \
  X(FWD, REALSocketConnect, "socketDirectConnect", void, ,                                       \
    (REALobject, socket, REALstring, address, int32_t, port))                                    \
  X(FWD, REALSocketClose, "socketClose", void, , (REALobject, socket))                           \
  X(FWD, REALSocketReadAll, "pluginSocketReadAll", REALstring, 0,                                \
    (REALobject, socket, uint32_t, encoding))                                                    \
  X(FWD, REALSocketRead, "pluginSocketRead", REALstring, 0,                                      \
    (REALobject, socket, int32_t, count, uint32_t, encoding))                                    \
  X(FWD, REALSocketWrite, "SocketWrite", void, , (REALobject, socket, REALstring, data))         \
  X(FWD, REALSocketLastErrorCode, "socketLastErrorCode", int32_t, 0, (REALobject, socket))       \
  X(FWD, REALSocketLookahead, "pluginSocketLookahead", REALstring, 0,                            \
    (REALobject, socket, uint32_t, encoding))                                                    \
  X(FWD, REALSocketLocalAddressGetter, "socketLocalAddressGetter", REALstring, 0,                \
    (REALobject, socket))                                                                        \
  X(FWD, REALSocketPoll, "socketPoll", void, , (REALobject, socket))                             \
  X(FWD, REALSocketGetEvents, "socketGetEvents", int32_t, 0, (REALobject, socket))               \
  X(FWD, REALSocketListen, "pluginSocketListen", void, , (REALobject, socket))

#define COILWORK_UNTYPED_BINDINGS(X) \
  COILWORK_STRING_BINDINGS(X)        \
  COILWORK_OBJECT_BINDINGS(X)        \
  COILWORK_REGISTRATION_BINDINGS(X)  \
  COILWORK_RUNTIME_BINDINGS(X)       \
  COILWORK_MEMORY_BINDINGS(X)        \
  COILWORK_DATABASE_BINDINGS(X)      \
  COILWORK_CONTROL_BINDINGS(X)       \
  COILWORK_GRAPHICS_BINDINGS(X)      \
  COILWORK_SOCKET_BINDINGS(X)

/* Overloaded untyped forms (C++):
 *   X(kind, result type, function, named function whose slot it shares, (parameters))
 * Parameter types are spelled as the C++ ABI names them. REALBuildString with
 * a negative count makes no string (nil). */
#define COILWORK_UNTYPED_OVERLOADS(X)                                                            \
  X(OWN, REALstring, REALBuildString, REALBuildStringWithEncoding,                               \
    (char const*, contents, int, byteCount, unsigned int, encoding))                             \
  X(FWD, REALobject, REALnewInstance, REALnewInstanceWithClass, (REALclassRefStruct*, classRef)) \
  X(FWD, int8_t, REALLockPictureDescription, REALLockPictureDescriptionWithNativeType,           \
    (REALobjectStruct*, picture, REALpictureDescription*, description))

/* ========================================================================
 * Property access by name (70).
 *
 * Named forms (42): for each type T below,
 *   int8_t REALGetPropValueT(REALobject obj, const char* propName, CType* value)
 *   int8_t REALSetPropValueT(REALobject obj, const char* propName, CType value)
 * return the host's success flag (0 when the entry is missing; the variable
 * is then untouched). Where a fallback is named, a host without the first
 * entry is used through the second from then on (a Color property is read and
 * written as a 32-bit integer).
 *
 *   X(T, CType, getter entry, getter fallback, setter entry, setter fallback)
 * ======================================================================== */
#define COILWORK_PROPERTY_TYPES(X)                                                               \
  X(Int8, int8_t, "REALGetPropValueInt8", 0, "REALSetPropValueInt8", 0)                          \
  X(UInt8, uint8_t, "REALGetPropValueBool", 0, "REALSetPropValueBoolean", 0)                     \
  X(Int16, int16_t, "REALGetPropValueInt16", 0, "REALSetPropValueInt16", 0)                      \
  X(UInt16, uint16_t, "REALGetPropValueUInt16", 0, "REALSetPropValueUInt16", 0)                  \
  X(Int32, int32_t, "REALGetPropValueInt", 0, "REALSetPropValueInt", 0)                          \
  X(UInt32, uint32_t, "REALGetPropValueUInt32", 0, "REALSetPropValueUInt32", 0)                  \
  X(Int64, int64_t, "REALGetPropValueInt64", 0, "REALSetPropValueInt64", 0)                      \
  X(UInt64, uint64_t, "REALGetPropValueUInt64", 0, "REALSetPropValueUInt64", 0)                  \
  X(Integer, int32_t, "REALGetPropValueInteger", "REALGetPropValueInt",                          \
    "REALSetPropValueInteger", "REALSetPropValueInt")                                            \
  X(Boolean, int8_t, "REALGetPropValueBool", 0, "REALSetPropValueBoolean", 0)                    \
  X(Single, float, "REALGetPropValueSingle", 0, "REALSetPropValueSingle", 0)                     \
  X(Double, double, "REALGetPropValueDouble", 0, "REALSetPropValueDouble", 0)                    \
  X(Currency, int64_t, "REALGetPropValueCurrency", 0, "REALSetPropValueCurrency", 0)             \
  X(Color, uint32_t, "REALGetPropValueColor", "REALGetPropValueInt",                             \
    "REALSetPropValueColor", "REALSetPropValueInt")                                              \
  X(String, REALstring, "REALGetPropValueString", 0, "REALSetPropValueString", 0)                \
  X(Text, REALtext, "PluginGetPropValueText", 0, "PluginSetPropValueText", 0)                    \
  X(Object, REALobject, "REALGetPropValueObject", 0, "REALSetPropValueObject", 0)                \
  X(Ptr, void*, "REALGetPropValuePtr", 0, "REALSetPropValuePtr", 0)                              \
  X(CString, const char*, "REALGetPropValueCString", 0, "REALSetPropValueCString", 0)            \
  X(WString, const wchar_t*, "REALGetPropValueWString", 0, "REALSetPropValueWString", 0)         \
  X(PString, const unsigned char*, "REALGetPropValuePString", 0, "REALSetPropValuePString", 0)

/* Overloaded forms (28, C++):
 *   bool REALGetPropValue(REALobject obj, const char* propName, T* value)
 *   bool REALSetPropValue(REALobject obj, const char* propName, T value)
 * behave as the named form given and share its entry slot; the result is the
 * host's flag as a boolean. The long and unsigned long getters read through a
 * 32-bit variable of their own and copy it to *value only when the host
 * succeeds (on 64-bit builds too, where long is wider).
 *
 *   X(T, getter kind, getter's named form, setter kind, setter's named form)
 * with kind NO where there is no such form. */
#define COILWORK_PROPERTY_OVERLOADS(X)                                                           \
  X(char, FWD, Int8, FWD, Int8)                                                                  \
  X(unsigned char, FWD, Boolean, FWD, Boolean)                                                   \
  X(short, FWD, Int16, FWD, Int16)                                                               \
  X(unsigned short, FWD, UInt16, FWD, UInt16)                                                    \
  X(int, FWD, Int32, NO, none)                                                                   \
  X(long, OWN, Int32, FWD, Int32)                                                                \
  X(unsigned long, OWN, UInt32, FWD, UInt32)                                                     \
  X(long long, FWD, Int64, FWD, Int64)                                                           \
  X(unsigned long long, FWD, UInt64, FWD, UInt64)                                                \
  X(double, FWD, Double, FWD, Double)                                                            \
  X(float, FWD, Single, FWD, Single)                                                             \
  X(REALstringStruct*, FWD, String, FWD, String)                                                 \
  X(REALobjectStruct*, FWD, Object, FWD, Ptr)                                                    \
  X(char const*, NO, none, FWD, CString)                                                         \
  X(wchar_t const*, NO, none, FWD, WString)                                                      \
  X(unsigned char const*, NO, none, FWD, PString)

/* ========================================================================
 * Array and variant access (114).
 *
 * Array elements, named forms (51): for each type T below,
 *   void REALGetArrayValueT(REALarray array, int32_t index, CType* value)
 *   void REALSetArrayValueT(REALarray array, int32_t index, CType value)
 *   void REALInsertArrayValueT(REALarray array, int32_t index, CType value)
 * On every access the host's accessor factory ("Plugin" T "ArrayGetProc",
 * "...SetProc", "...InsertProc"; on a host without it the direct factory
 * "RuntimeArrayDirectGet" + "GetProc"/"SetProc"/"InsertProc" where the row
 * says DIRECT) is asked for the element accessor of that array, which is then
 * called. A getter stores the element at the width of CType, and with a nil
 * value address still asks the factory but not the accessor. Nothing happens
 * when the host offers neither factory or no accessor.
 *
 *   X(T, CType, fallback factory)
 * ======================================================================== */
#define COILWORK_ARRAY_TYPES(X)   \
  X(Int8, int8_t, DIRECT)         \
  X(UInt8, uint8_t, DIRECT)       \
  X(Int16, int16_t, DIRECT)       \
  X(UInt16, uint16_t, DIRECT)     \
  X(Int32, int32_t, DIRECT)       \
  X(UInt32, uint32_t, DIRECT)     \
  X(Int64, int64_t, DIRECT)       \
  X(UInt64, uint64_t, DIRECT)     \
  X(Integer, int32_t, DIRECT)     \
  X(Boolean, int8_t, DIRECT)      \
  X(Single, float, DIRECT)        \
  X(Double, double, DIRECT)       \
  X(Currency, int64_t, NONE)      \
  X(Color, uint32_t, DIRECT)      \
  X(String, REALstring, DIRECT)   \
  X(Text, REALtext, DIRECT)       \
  X(Object, REALobject, DIRECT)

/* Overloaded element forms (38, C++):
 *   void REALGetArrayValue(REALarrayStruct* array, int index, T* value)
 *   void REALSetArrayValue(REALarrayStruct* array, int index, T value)
 *   void REALInsertArrayValue(REALarrayStruct* array, int index, T value)
 * behave as the named form given and share its factory slot. The long and
 * unsigned long getters always store into *value: the element, or 0 when the
 * host gives no accessor (nothing is stored through a nil address).
 *
 *   X(T, named form, get kind, set kind, insert kind) */
#define COILWORK_ARRAY_OVERLOADS(X)                       \
  X(char, Int8, FWD, FWD, FWD)                            \
  X(unsigned char, UInt8, FWD, FWD, FWD)                  \
  X(short, Int16, FWD, FWD, FWD)                          \
  X(unsigned short, UInt16, FWD, FWD, FWD)                \
  X(long, Int32, OWN, FWD, FWD)                           \
  X(unsigned long, UInt32, OWN, FWD, FWD)                 \
  X(long long, Int64, FWD, FWD, FWD)                      \
  X(unsigned long long, UInt64, FWD, FWD, FWD)            \
  X(double, Double, FWD, FWD, FWD)                        \
  X(float, Single, FWD, FWD, FWD)                         \
  X(REALstringStruct*, String, FWD, FWD, FWD)             \
  X(RuntimeText const*, Text, FWD, FWD, NO)               \
  X(REALobjectStruct*, Object, FWD, FWD, FWD)

/* Whole arrays, variants and structures (25), rows as the untyped tables.
 * A variant builder returns the new variant object, nil when the host lacks
 * the entry. */
#define COILWORK_ARRAY_BINDINGS(X)                                                               \
  X(FWD, REALGetArrayUBound, "RuntimeUBound", int32_t, 0, (REALarray, array))                    \
  X(FWD, REALGetArrayInt, "RuntimeDirectReadIntArray", void, ,                                   \
    (REALarray, array, int32_t*, values))                                                        \
  X(FWD, REALGetArrayString, "RuntimeDirectReadStringArray", void, ,                             \
    (REALarray, array, REALstring*, values))                                                     \
  X(FWD, REALGetArrayObject, "RuntimeDirectReadObjectArray", void, ,                             \
    (REALarray, array, REALobject*, values))                                                     \
  X(FWD, REALGetArrayStructure, "RuntimeDirectReadStructureArray", void, ,                       \
    (REALarray, array, void*, values, int32_t, structureSize))                                   \
  X(FWD, REALCreateArray, "RuntimeArrayCreateSingleDimBoundedArray", REALarray, 0,               \
    (int32_t, elementType, int32_t, upperBound))                                                 \
  X(FWD, REALNewVariantString, "StringToVariant", REALobject, 0, (REALstring, value))            \
  X(FWD, REALNewVariantText, "PluginNewVariantText", REALobject, 0, (REALtext, value))           \
  X(FWD, REALNewVariantPtr, "PtrToVariant", REALobject, 0, (void*, value))                       \
  X(FWD, REALNewVariantCString, "CStringToVariant", REALobject, 0, (const char*, value))         \
  X(FWD, REALNewVariantWString, "WStringToVariant", REALobject, 0, (const wchar_t*, value))      \
  X(FWD, REALNewVariantPString, "PStringToVariant", REALobject, 0,                               \
    (const unsigned char*, value))                                                               \
  X(FWD, REALNewVariantOSType, "OSTypeToVariant", REALobject, 0, (uint32_t, value))              \
  X(FWD, REALNewVariantInteger, "Int32ToVariant", REALobject, 0, (int32_t, value))               \
  X(FWD, REALNewVariantRBInteger, "IntegerToVariant", REALobject, 0, (int32_t, value))           \
  X(FWD, REALNewVariantUInt32, "UInt32ToVariant", REALobject, 0, (uint32_t, value))              \
  X(FWD, REALNewVariantInt64, "Int64ToVariant", REALobject, 0, (int64_t, value))                 \
  X(FWD, REALNewVariantUInt64, "UInt64ToVariant", REALobject, 0, (uint64_t, value))              \
  X(FWD, REALNewVariantSingle, "SingleToVariant", REALobject, 0, (float, value))                 \
  X(FWD, REALNewVariantDouble, "DoubleToVariant", REALobject, 0, (double, value))                \
  X(FWD, REALNewVariantBoolean, "BooleanToVariant", REALobject, 0, (int8_t, value))              \
  X(FWD, REALNewVariantColor, "ColorToVariant", REALobject, 0, (uint32_t, value))                \
  X(FWD, REALNewVariantCurrency, "CurrencyToVariant", REALobject, 0, (int64_t, value))           \
  X(FWD, REALNewVariantStructure, "PluginStructureToVariant", REALobject, 0,                     \
    (const void*, data, uint32_t, size))                                                         \
  X(FWD, REALGetVariantStructure, "PluginStructureFromVariant", int8_t, 0,                       \
    (REALobject, variant, void*, buffer, uint32_t, size))

/* ========================================================================
 * Declarations.
 * ======================================================================== */
#define COILWORK_DECLARE_(kind, name, entry, R, unresolved, params) R name(COILWORK_PARAMS params);
#define COILWORK_DECLARE_PROPERTY_(T, CType, getEntry, getFallback, setEntry, setFallback) \
  int8_t REALGetPropValue##T(REALobject obj, const char* propName, CType* value);        \
  int8_t REALSetPropValue##T(REALobject obj, const char* propName, CType value);
#define COILWORK_DECLARE_ARRAY_(T, CType, fallback)                          \
  void REALGetArrayValue##T(REALarray array, int32_t index, CType* value);   \
  void REALSetArrayValue##T(REALarray array, int32_t index, CType value);    \
  void REALInsertArrayValue##T(REALarray array, int32_t index, CType value);

#ifdef __cplusplus
extern "C" {
#endif

COILWORK_UNTYPED_BINDINGS(COILWORK_DECLARE_)
COILWORK_PROPERTY_TYPES(COILWORK_DECLARE_PROPERTY_)
COILWORK_ARRAY_TYPES(COILWORK_DECLARE_ARRAY_)
COILWORK_ARRAY_BINDINGS(COILWORK_DECLARE_)

#ifdef __cplusplus
}

#define COILWORK_DECLARE_OVERLOAD_(kind, R, name, named, params) R name(COILWORK_PARAMS params);
#define COILWORK_DECLARE_PROP_GET_FWD(T) \
  bool REALGetPropValue(REALobjectStruct* obj, char const* propName, T* value);
#define COILWORK_DECLARE_PROP_GET_OWN COILWORK_DECLARE_PROP_GET_FWD
#define COILWORK_DECLARE_PROP_GET_NO(T)
#define COILWORK_DECLARE_PROP_SET_FWD(T) \
  bool REALSetPropValue(REALobjectStruct* obj, char const* propName, T value);
#define COILWORK_DECLARE_PROP_SET_NO(T)
#define COILWORK_DECLARE_PROPERTY_OVERLOAD_(T, getKind, getNamed, setKind, setNamed) \
  COILWORK_DECLARE_PROP_GET_##getKind(T) COILWORK_DECLARE_PROP_SET_##setKind(T)
#define COILWORK_DECLARE_ARRAY_GET_FWD(T) \
  void REALGetArrayValue(REALarrayStruct* array, int index, T* value);
#define COILWORK_DECLARE_ARRAY_GET_OWN COILWORK_DECLARE_ARRAY_GET_FWD
#define COILWORK_DECLARE_ARRAY_SET_FWD(T) \
  void REALSetArrayValue(REALarrayStruct* array, int index, T value);
#define COILWORK_DECLARE_ARRAY_INSERT_FWD(T) \
  void REALInsertArrayValue(REALarrayStruct* array, int index, T value);
#define COILWORK_DECLARE_ARRAY_INSERT_NO(T)
#define COILWORK_DECLARE_ARRAY_OVERLOAD_(T, named, getKind, setKind, insertKind)      \
  COILWORK_DECLARE_ARRAY_GET_##getKind(T) COILWORK_DECLARE_ARRAY_SET_##setKind(T) \
      COILWORK_DECLARE_ARRAY_INSERT_##insertKind(T)

COILWORK_UNTYPED_OVERLOADS(COILWORK_DECLARE_OVERLOAD_)
COILWORK_PROPERTY_OVERLOADS(COILWORK_DECLARE_PROPERTY_OVERLOAD_)
COILWORK_ARRAY_OVERLOADS(COILWORK_DECLARE_ARRAY_OVERLOAD_)

#endif /* __cplusplus */

#endif
