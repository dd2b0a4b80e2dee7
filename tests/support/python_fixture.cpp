#include "support/python_fixture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

namespace coiltest {

namespace {

const char kIsFound[] =
    "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
    "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean";
const char kGetModule[] = "GetModule(name as String) as Python3Module";
// Set on sys once this interpreter has the module folder on its path; a new
// interpreter has a new sys without it.
const char kMarker[] = "_coiltest_path";

std::string gModuleDir;
// Names imported through Import in the current interpreter.
std::set<std::string> gImported;

[[noreturn]] void Stop(const std::string& why) {
  fprintf(stderr, "python fixture: %s\n", why.c_str());
  exit(2);
}

void RemoveTree(const std::string& path) {
  std::string command = "rm -rf '" + path + "'";
  if (system(command.c_str()) != 0) Stop("cannot remove " + path);
}

}  // namespace

std::string PythonLibrary() {
  const char* p = getenv("COILWORK_TEST_PYTHON");
  if (!p || !*p) Stop("COILWORK_TEST_PYTHON must name a libpython3.X shared library");
  return p;
}

std::string PythonVersion() {
  std::smatch m;
  std::string lib = PythonLibrary();
  if (std::regex_search(lib, m, std::regex("libpython(3\\.[0-9]+)"))) return m[1];
  return "";
}

int PythonMinor() {
  std::string v = PythonVersion();
  return v.size() > 2 ? atoi(v.c_str() + 2) : 0;
}

std::string ModuleDir() {
  if (gModuleDir.empty()) {
    char tmpl[] = "/tmp/coilwork-pytest-XXXXXX";
    if (!mkdtemp(tmpl)) Stop("cannot make a module folder");
    gModuleDir = tmpl;
    atexit([] { RemoveTree(gModuleDir); });
  }
  return gModuleDir;
}

void WriteModule(const std::string& name, const std::string& source) {
  std::ofstream file(ModuleDir() + "/" + name + ".py", std::ios::trunc);
  file << source;
  file.close();
  if (!file) Stop("cannot write module " + name);
  // Stale bytecode of an earlier module of the same name must not win.
  RemoveTree(ModuleDir() + "/__pycache__");
}

void EnsureInterpreter() {
  Host& host = Host::get();
  static bool loaded = false;
  if (!loaded) {
    host.load();
    Ref lib(host.folderItem(PythonLibrary()));
    host.callShared<void>("Coilwork", "SetPythonPath(path as FolderItem)", lib.get());
    loaded = true;
  }
  if (!host.callShared<int8_t>("Coilwork", kIsFound, int32_t(0)))
    Stop("Python library " + PythonLibrary() + " could not be loaded");
  host.callShared<void>("Coilwork", "Init()");

  SRef sysName(host.newString("sys"));
  Ref sys(host.callShared<Obj>("Coilwork", kGetModule, sysName.get()));
  if (!sys.get()) Stop("no sys module after Init");
  SRef marker(host.newString(kMarker));
  if (host.call<int8_t>(sys, "HasAttribute(name as String) as Boolean", marker.get())) return;

  // A new interpreter: it knows none of the modules imported before.
  gImported.clear();
  Ref dir(host.folderItem(ModuleDir()));
  host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", dir.get());
  host.assign(sys.get(), "Int32Field(name as String) as Int32", marker.get(), int32_t(1));
}

void PythonTest::SetUp() {
  EnsureInterpreter();
  ClearError();
  startObjects = host.liveObjects();
  startStrings = host.liveStrings();
}

void PythonTest::TearDown() {
  if (ErrorOccurred()) ClearError();
}

Obj PythonTest::Import(const std::string& name, const std::string& source) {
  WriteModule(name, source);
  // importlib caches directory listings; a module written during the run
  // must be seen.
  {
    Ref importlib(GetModule("importlib"));
    if (!importlib.get()) Stop("cannot import importlib");
    Ref invalidate(host.call<Obj>(importlib, "GetFunction(name as String) as Python3Function",
                                  S("invalidate_caches").get()));
    if (invalidate.get()) {
      Ref result(host.call<Obj>(invalidate,
                                "Invoke(parameters as Python3Parameters) as Python3Result",
                                Obj(nullptr)));
    }
  }
  Obj module = GetModule(name);
  if (module && !gImported.insert(name).second &&
      !host.call<int8_t>(module, "Reload() as Boolean")) {
    host.unlock(module);
    return nullptr;
  }
  return module;
}

Obj PythonTest::GetModule(const std::string& name) {
  return host.callShared<Obj>("Coilwork", kGetModule, S(name).get());
}

bool PythonTest::ErrorOccurred() {
  return host.callShared<int8_t>("Coilwork", "ErrorOccurred() as Boolean") != 0;
}

std::string PythonTest::GetError() {
  SRef s(host.callShared<Str>("Coilwork", "GetError() as String"));
  return s.bytes();
}

void PythonTest::ClearError() { host.callShared<void>("Coilwork", "ClearError()"); }

Obj PythonTest::Run(const std::string& code) {
  static int counter = 0;
  return Import("coiltest_run_" + std::to_string(++counter), code);
}

intptr_t RefCountOf(void* pyObject) {
  if (!pyObject) return -1;
  return *static_cast<intptr_t*>(pyObject);
}

}  // namespace coiltest
