#include "support/python_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

namespace coiltest {

std::string PythonLibrary() {
  const char* p = getenv("COILWORK_TEST_PYTHON");
  if (!p || !*p) {
    fprintf(stderr, "COILWORK_TEST_PYTHON must name a libpython3.X shared library\n");
    exit(2);
  }
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

static std::string gModuleDir;
static int gSearchPathGeneration = -1;
static int gInitGeneration = 0;

std::string ModuleDir() {
  if (gModuleDir.empty()) {
    char tmpl[] = "/tmp/coilwork-pytest-XXXXXX";
    gModuleDir = mkdtemp(tmpl);
  }
  return gModuleDir;
}

void WriteModule(const std::string& name, const std::string& source) {
  std::ofstream(ModuleDir() + "/" + name + ".py") << source;
  // Stale bytecode of an earlier module of the same name must not win.
  std::string cache = ModuleDir() + "/__pycache__";
  system(("rm -rf '" + cache + "'").c_str());
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
  bool running = host.callShared<int8_t>("Coilwork", "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean", int32_t(0));
  if (!running) {
    fprintf(stderr, "Python library %s could not be loaded\n", PythonLibrary().c_str());
    exit(2);
  }
  host.callShared<void>("Coilwork", "Init()");
  // Each new interpreter gets the module folder on its path once.
  static int lastDir = -1;
  (void)gSearchPathGeneration;
  (void)gInitGeneration;
  Ref sys(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                               SRef(host.newString("sys")).get()));
  // Marker attribute: present while this interpreter already has our folder.
  bool has = host.call<int8_t>(sys, "HasAttribute(name as String) as Boolean",
                               SRef(host.newString("_coiltest_path")).get());
  if (!has) {
    Ref dir(host.folderItem(ModuleDir()));
    host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", dir.get());
    host.assign(sys.get(), "Int32Field(name as String) as Int32",
                SRef(host.newString("_coiltest_path")).get(), int32_t(1));
  }
  (void)lastDir;
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
  // importlib caches directory listings; a module written during the run must
  // be seen.
  Obj m = GetModule("importlib");
  if (m) {
    Ref f(host.call<Obj>(m, "GetFunction(name as String) as Python3Function", S("invalidate_caches").get()));
    if (f.get()) Ref r(host.call<Obj>(f, "Invoke(parameters as Python3Parameters) as Python3Result", Obj(nullptr)));
    host.unlock(m);
  }
  return GetModule(name);
}

Obj PythonTest::GetModule(const std::string& name) {
  return host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", S(name).get());
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
