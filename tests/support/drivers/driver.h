// What the programs that drive the plugin through the emulated host share
// (the benchmarks, the call-sequence fuzzer, the soak): loading the plugin as
// the host does, choosing the Python library, a folder of Python modules on
// sys.path, and host-made modules with the creators the host hands to
// RegisterXojoModule.
#pragma once

#include <dlfcn.h>

#include <string>

#include "emuhost/host.h"

namespace coildrive {

using emuhost::Host;
using emuhost::Obj;
using emuhost::Str;

// Loads the plugin into the emulated host and tells it to use the library
// that the environment variable names, or else fallback (empty: the plugin's
// own search). The library chosen, or "" for the plugin's own search.
std::string LoadPlugin(const char* variable, const std::string& fallback);

// PythonIsFound with the newest version preferred.
bool PythonFound();

// A new folder under /tmp, named from prefix, for the program's modules.
std::string MakeFolder(const std::string& prefix);
// AddSearchPath(folder) of the running interpreter.
void AddSearchPath(const std::string& folder);

// Coilwork.GetModule and GetFunction: a new host reference, or nil.
Obj GetModule(const std::string& name);
Obj GetFunction(Obj module, const std::string& name);

// A Python3XojoModule made with room for count functions.
Obj NewHostModule(const std::string& name, uint32_t count);
void AddHostFunction(Obj module, const std::string& name, void* function);

// Module creators, one per slot, each answering the ModuleCreateProc of the
// module bound to it. The binding holds a host reference until it is bound
// again or released (after Finalize, which lets go of the module records).
constexpr int kCreatorSlots = 8;
void* BindCreator(int slot, Obj module);
void ReleaseCreators();
// RegisterXojoModule(module, the creator of slot).
void RegisterHostModule(Obj module, int slot);

// In a host function: its argument tuple as a Python3Parameters (a new
// reference), and the answer made from a Python3Result, which it releases.
Obj Arguments(void* args);
void* Answer(Obj result);

// The Python library's own function of that name; null until the plugin has
// loaded the library.
template <class F>
F PythonEntry(const std::string& library, const char* name) {
  void* lib = dlopen(library.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!lib) return nullptr;
  void* f = dlsym(lib, name);
  dlclose(lib);
  return reinterpret_cast<F>(f);
}

}  // namespace coildrive
