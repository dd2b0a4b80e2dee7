// The interpreter's own internals: the shared methods of Coilwork that live
// beside the code they belong to (Coilwork's record, entry/coilwork.cpp,
// lists them), the console capture that Init installs, and the hooks that
// Init, Finalize and the opening and closing of sub-interpreters run.
#pragma once

#include "plugin/plugin.h"

// errors.cpp
int8_t Python_ErrorOccurred();
REALstring Python_GetError();
void Python_ClearError();
REALstring Python_GetErrorType();
REALstring Python_GetErrorTraceback();
int8_t Python_ErrorMatches(int32_t errorType);
// SetError: raises the Python3ErrorTypes exception of that number.
void Python_SetTypeError(int32_t errorType, REALstring message);

// console.cpp
void Python_SetConsoleOutput(REALobject output);
void Python_SetErrorOutput(REALobject output);
// Makes sys.stderr the error stream while an error receiver is set, and the
// process's own standard error again when none is.
void ApplyErrorOutput();
// Hands one piece of text Python wrote to a receiver's ConsoleOutput event:
// the one point where output of sys.stdout and sys.stderr reaches the host.
void DeliverConsoleText(REALobject receiver, const char* utf8, size_t length);
// Runs plugin-defined source in a new private namespace (with builtins);
// the namespace (a new reference) or null with Python's error pending.
PyObject* RunPrivateSource(const char* source);
// In a sub-interpreter just made (current, lock held), of that generation:
// its sys.stdout, and its sys.stderr while an error receiver is set, write
// to the receivers. False when they cannot be made.
bool StreamsForThisInterpreter(uint32_t generation);
// In a sub-interpreter about to end (current, lock held).
void ConsoleBeforeClose(uint32_t generation);
// Releases the stream objects before Py_Finalize.
void ConsoleBeforeFinalize();
// Makes sys.stdout and sys.stderr the plugin's streams again (sys.stderr the
// process's own standard error while no error receiver is set).
void RestoreStreams();

// environment.cpp
int8_t Python_UseVirtualEnvironment(REALobject folder);
// After Py_Initialize: sys.argv, sys.executable and the virtual environment.
// A virtual environment that cannot be used leaves its error pending.
void StartAsProgram(REALstring applicationName);
// Releases the helper namespace before Py_Finalize.
void EnvironmentBeforeFinalize();
// Creates the "aview" module and makes sys.stdout a text stream writing
// through it (the bare module when no stream can be made); the module or null.
// The caller receives no reference (sys keeps the module).
PyObject* initaview();
// Raises the ConsoleOutput event of a CoilworkConsoleOutput instance.
void OnConsoleOutput(REALobject instance, REALstring text);

// threads.cpp: the lock after Py_Initialize (on the thread that ran it, with
// the lock held) and after Py_Finalize (which also delivers what is left for
// host threads); the shared methods.
void ThreadsAfterInit();
void ThreadsBeforeFinalize();
void ThreadsAfterFinalize();
void Python_AllowThreads(int8_t allow);
void Python_KeepLock(int8_t keep);
void Python_DeliverOutput();

// process_output.cpp: descriptors 1 and 2 read into the console receivers.
void Python_CaptureProcessOutput(int8_t capture);
// Takes in what the pipes behind descriptors 1 and 2 hold now (queued for the
// home thread); nothing while output is not captured. Others reach it through
// TakeProcessOutput (plugin/output_queue.h).
void FlushProcessOutput();

// reset.cpp: a clean slate for the next script.
int8_t Python_Reset();
// After Init, once sys is complete: what Reset goes back to.
void ResetAfterInit();
// A folder AddSearchPath appended to sys.path (a str): kept by Reset.
void ResetKeepsPath(PyObject* entry);
// sys.path now, a new list (null when Reset is not available), and, once the
// plugin has changed sys.path from that list, the same change to what Reset
// goes back to.
PyObject* ResetPathNow();
void ResetPathChanged(PyObject* before);
void ResetBeforeFinalize();
// The same for a sub-interpreter just made, and before it ends (current,
// lock held).
void ResetAfterOpen(uint32_t generation);
void ResetBeforeClose(uint32_t generation);

// debugger.cpp: debugpy's server in the main interpreter.
int32_t Python_ListenForDebugger(int32_t port);
int8_t Python_WaitForDebugger(int32_t milliseconds);
