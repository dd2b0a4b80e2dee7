// The interpreter's own internals shared by its source files: the shared
// methods of Coilwork that live beside the code they belong to, and the
// console capture that Init installs.
#pragma once

#include "plugin/plugin.h"

// errors.cpp
int8_t Python_ErrorOccurred();
REALstring Python_GetError();
void Python_ClearError();
REALstring Python_GetErrorType();
REALstring Python_GetErrorTraceback();
int8_t Python_ErrorMatches(int32_t errorType);

// console.cpp
void Python_SetConsoleOutput(REALobject output);
// Creates the "aview" module and makes it sys.stdout; the module or null.
// The caller receives no reference (sys keeps the module).
PyObject* initaview();
// Raises the ConsoleOutput event of a CoilworkConsoleOutput instance.
void OnConsoleOutput(REALobject instance, REALstring text);
