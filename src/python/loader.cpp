// Placeholder: the Python entry-point table and its loader.
#include <dlfcn.h>
#include <stdio.h>

#include "plugin/plugin.h"

#define COILWORK_DEFINE_PY_FUNCTION(ret, name, params) ret(*E##name) params;
COILWORK_PY_FUNCTIONS(COILWORK_DEFINE_PY_FUNCTION)
COILWORK_PY_HOME_FUNCTIONS(COILWORK_DEFINE_PY_FUNCTION)
#define COILWORK_DEFINE_PY_TYPE(name) PyTypeObject* e__##name;
COILWORK_PY_TYPES(COILWORK_DEFINE_PY_TYPE)
#define COILWORK_DEFINE_PY_EXC(name) PyObject** e__##name;
COILWORK_PY_EXCEPTIONS(COILWORK_DEFINE_PY_EXC)
PyObject* e___Py_TrueStruct;
PyObject* e___Py_FalseStruct;

void* PythonDLLHandle;
bool gPythonFound;
bool gPythonEntryPointsLoaded;
bool gPythonInitialized;
wchar_t* gPythonHome;

PlatformLoader gPlatform = {dlopen, dlsym, dlerror, dlclose, puts};

int LoadPythonEntryPoints(int32_t) { return 0; }
bool EnsurePython() { return gPythonEntryPointsLoaded || (LoadPythonEntryPoints(0), gPythonEntryPointsLoaded); }
