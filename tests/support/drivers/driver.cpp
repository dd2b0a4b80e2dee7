#include "drivers/driver.h"

#include <stdlib.h>

#include <array>
#include <utility>
#include <vector>

namespace coildrive {
namespace {

Host& host = Host::get();

Obj gCreatorModule[kCreatorSlots];

template <int I>
void* Creator() {
  return gCreatorModule[I] ? host.call<void*>(gCreatorModule[I], "ModuleCreateProc() as Ptr")
                           : nullptr;
}

template <int... I>
constexpr auto CreatorTable(std::integer_sequence<int, I...>) {
  return std::array<void*, sizeof...(I)>{reinterpret_cast<void*>(&Creator<I>)...};
}
const auto kCreators = CreatorTable(std::make_integer_sequence<int, kCreatorSlots>());

}  // namespace

std::string LoadPlugin(const char* variable, const std::string& fallback) {
  host.load();
  const char* named = variable ? getenv(variable) : nullptr;
  std::string library = named && *named ? named : fallback;
  if (!library.empty()) {
    Obj path = host.folderItem(library);
    host.callShared<void>("Coilwork", "SetPythonPath(path as FolderItem)", path);
    host.unlock(path);
  }
  return library;
}

bool PythonFound() {
  return host.callShared<int8_t>(
             "Coilwork",
             "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
             "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean",
             int32_t(0)) != 0;
}

std::string MakeFolder(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  return mkdtemp(name.data()) ? std::string(name.data()) : std::string();
}

void AddSearchPath(const std::string& folder) {
  Obj dir = host.folderItem(folder);
  host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", dir);
  host.unlock(dir);
}

Obj GetModule(const std::string& name) {
  Str s = host.newString(name);
  Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
  host.unlockString(s);
  return m;
}

Obj GetFunction(Obj module, const std::string& name) {
  Str s = host.newString(name);
  Obj f = host.call<Obj>(module, "GetFunction(name as String) as Python3Function", s);
  host.unlockString(s);
  return f;
}

Obj NewHostModule(const std::string& name, uint32_t count) {
  Str s = host.newString(name);
  Obj m = host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)", s,
                      count);
  host.unlockString(s);
  return m;
}

void AddHostFunction(Obj module, const std::string& name, void* function) {
  Str s = host.newString(name);
  host.call<void>(module, "RegisterFunction(name as String, fuction as Ptr)", s, function);
  host.unlockString(s);
}

void* BindCreator(int slot, Obj module) {
  if (gCreatorModule[slot]) host.unlock(gCreatorModule[slot]);
  gCreatorModule[slot] = module;
  host.lock(module);
  return kCreators[slot];
}

void ReleaseCreators() {
  for (Obj& m : gCreatorModule) {
    if (m) host.unlock(m);
    m = nullptr;
  }
}

void RegisterHostModule(Obj module, int slot) {
  host.callShared<void>("Coilwork",
                        "RegisterXojoModule(xojoModule as Python3XojoModule, "
                        "moduleCreatorFunction as Ptr)",
                        module, BindCreator(slot, module));
}

Obj Arguments(void* args) {
  return host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args);
}

void* Answer(Obj result) {
  void* answer = host.call<void*>(result, "GetPtr() as Ptr");
  host.unlock(result);
  return answer;
}

}  // namespace coildrive
