// What the files at the top of the plugin share: the interpreter's lifecycle
// (Init and Finalize, coilwork.cpp) and the sub-interpreters' (opening and
// closing, interpreter_class.cpp) run the hooks of every layer below them.
#pragma once

#include "plugin/plugin.h"

// interpreter_class.cpp: Finalize, before anything is torn down: closes every
// sub-interpreter. False, with RuntimeError pending, when one cannot be
// closed now (a call runs in it, or daemon threads of its own): Finalize then
// does nothing.
bool CloseSubInterpretersBeforeFinalize();
