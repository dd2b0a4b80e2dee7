// The interpreter's own internals shared by its source files: the shared
// methods of Coilwork that live beside the code they belong to, and the
// console capture that Init installs.
#pragma once

#include "plugin/plugin.h"

// errors.cpp
int8_t Python_ErrorOccurred();
REALstring Python_GetError();
void Python_ClearError();

// console.cpp
void Python_SetConsoleOutput(REALobject output);
// Creates the "aview" module and makes it sys.stdout; the module or null.
// The caller receives no reference (sys keeps the module).
PyObject* initaview();
// Raises the ConsoleOutput event of a CoilworkConsoleOutput instance.
void OnConsoleOutput(REALobject instance, REALstring text);

// threads.cpp: the lock after Py_Initialize (on the thread that ran it, with
// the lock held) and after Py_Finalize (which also delivers what is left for
// host threads); the shared methods.
void ThreadsAfterInit();
void ThreadsAfterFinalize();
void Python_AllowThreads(int8_t allow);
void Python_DeliverOutput();
