// coilwork-doctor: tells what the plugin finds and why. It runs the
// plugin's own library search (linked statically, so that every file tried
// can be listed with what happened), then loads the plugin into the
// emulated host as an application would, starts Python and reports what
// that Python sees: version, home, prefixes, executable, search path, the
// virtual environment, and whether the named modules import.
//
//   coilwork-doctor [json] [--python LIBRARY] [--venv FOLDER] [MODULE ...]
// "json" (first) or "--json" (anywhere) prints one JSON object instead.
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "emuhost/host.h"
#include "plugin/plugin.h"
#include "python/layouts.h"

// Coilwork's class record, in the plugin objects linked into this program.
extern REALclassDefinition CoilworkClass;

namespace {

using emuhost::Host;
using emuhost::Obj;
using emuhost::Ref;
using emuhost::SRef;
using emuhost::Str;

const char kIsFound[] =
    "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
    "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean";
const char kSetPath[] = "SetPythonPath(path as FolderItem)";
const char kUseEnvironment[] = "UseVirtualEnvironment(folder as FolderItem) as Boolean";

struct Options {
  bool json = false;
  std::string python, venv;
  std::vector<std::string> modules;
};

struct ModuleReport {
  std::string name;
  bool imports = false;
  std::string reason;
};

struct Report {
  std::vector<LoaderAttempt> attempts;
  std::vector<LayoutCheck> layouts;   // the load-time checks of the library opened last
  std::vector<std::string> messages;  // what the loader printed
  bool found = false;
  std::string library, version, home;
  bool standardLibrary = false;
  bool started = false;
  std::string initError;
  std::string pyVersion, prefix, basePrefix, execPrefix, executable;
  std::vector<std::string> path;
  std::string venv;
  bool venvAccepted = false;
  std::string activatedVenv;  // $VIRTUAL_ENV, which the plugin does not read
  std::vector<ModuleReport> modules;
};

Report* gReport;
int CaptureLine(const char* line) {
  gReport->messages.push_back(line);
  return 0;
}

// --- The search, run by the plugin's own loader code (linked statically).

template <class F>
F Shared(const char* declaration) {
  for (uintptr_t i = 0; i < CoilworkClass.sharedMethodCount; ++i) {
    if (strcmp(CoilworkClass.sharedMethods[i].declaration, declaration) == 0)
      return reinterpret_cast<F>(CoilworkClass.sharedMethods[i].function);
  }
  return nullptr;
}

void* Resolve(const char* name) { return Host::get().resolve(name); }

void Search(const Options& options, Report* report) {
  Host& host = Host::get();
  gResolver = Resolve;
  ELockObject = reinterpret_cast<void (*)(REALobject)>(Resolve("REALLockObject"));
  EUnlockObject = reinterpret_cast<void (*)(REALobject)>(Resolve("REALUnlockObject"));
  ELockString = reinterpret_cast<void (*)(REALstring)>(Resolve("REALLockString"));
  EUnlockString = reinterpret_cast<void (*)(REALstring)>(Resolve("REALUnlockString"));
  gPlatform.puts = CaptureLine;
  if (!options.python.empty()) {
    Ref item(host.folderItem(options.python));
    Shared<void (*)(REALobject)>(kSetPath)(item.get());
  }
  if (!options.venv.empty()) {
    Ref item(host.folderItem(options.venv));
    report->venvAccepted = Shared<int8_t (*)(REALobject)>(kUseEnvironment)(item.get()) != 0;
  }
  report->found = Shared<int8_t (*)(int32_t)>(kIsFound)(0) != 0 && gPythonEntryPointsLoaded;
  report->attempts = gLoaderAttempts;
  report->layouts = gLayoutChecks;
  if (!report->found) return;

  // The file really opened, and its version.
  void* handle = PythonDLLHandle;
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) {
    char* real = realpath(map->l_name, nullptr);
    report->library = real ? real : map->l_name;
    free(real);
  }
  auto getVersion = reinterpret_cast<const char* (*)()>(dlsym(handle, "Py_GetVersion"));
  if (getVersion) report->version = getVersion();
  report->version = report->version.substr(0, report->version.find_first_of(" \n"));
  std::string v = report->version;
  int minor = v.compare(0, 2, "3.") == 0 ? atoi(v.c_str() + 2) : -1;
  std::string home;
  report->standardLibrary =
      minor >= 0 && !report->library.empty() && FindPythonHome(report->library, minor, &home);
  report->home = home;
}

// --- Python as the plugin gives it to an application.

std::string ErrorText() {
  Host& host = Host::get();
  if (!host.callShared<int8_t>("Coilwork", "ErrorOccurred() as Boolean")) return "";
  SRef s(host.callShared<Str>("Coilwork", "GetError() as String"));
  std::string text = s.bytes();
  host.callShared<void>("Coilwork", "ClearError()");
  return text.empty() ? "(an error without a message)" : text;
}

// The str of a Python expression, evaluated with builtins.eval in a fresh
// namespace.
std::string Eval(Obj eval, const std::string& expression) {
  Host& host = Host::get();
  Ref params(host.create("Python3Parameters", "Constructor(parameterCount as Integer)",
                         int32_t(2)));
  SRef code(host.newString(expression));
  host.assign(params.get(), "StringValue(index as Integer) as String", int32_t(0), code.get());
  Ref globals(host.create("Python3Dictionary", "Constructor()"));
  host.assign(params.get(), "DictionaryValue(index as Integer) as Python3Dictionary", int32_t(1),
              globals.get());
  Ref result(host.call<Obj>(eval, "Invoke(parameters as Python3Parameters) as Python3Result",
                            params.get()));
  if (!result.get()) return "(" + ErrorText() + ")";
  SRef s(host.call<Str>(result.get(), "StringValue() as String"));
  return s.bytes();
}

void Run(const Options& options, Report* report) {
  Host& host = Host::get();
  host.load();
  if (!options.python.empty()) {
    Ref item(host.folderItem(options.python));
    host.callShared<void>("Coilwork", kSetPath, item.get());
  }
  if (!options.venv.empty()) {
    Ref item(host.folderItem(options.venv));
    host.callShared<int8_t>("Coilwork", kUseEnvironment, item.get());
  }
  if (!host.callShared<int8_t>("Coilwork", kIsFound, int32_t(0))) return;
  SRef name(host.newString("coilwork-doctor"));
  host.callShared<void>("Coilwork", "Init(applicationName as String)", name.get());
  report->initError = ErrorText();
  SRef builtinsName(host.newString("builtins"));
  Ref builtins(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                                    builtinsName.get()));
  if (!builtins.get()) return;
  report->started = true;
  SRef evalName(host.newString("eval"));
  Ref eval(host.call<Obj>(builtins.get(), "GetFunction(name as String) as Python3Function",
                          evalName.get()));
  if (!eval.get()) return;
  report->pyVersion = Eval(eval.get(), "__import__('sys').version.split()[0]");
  report->prefix = Eval(eval.get(), "__import__('sys').prefix");
  report->basePrefix = Eval(eval.get(), "getattr(__import__('sys'), 'base_prefix', '')");
  report->execPrefix = Eval(eval.get(), "__import__('sys').exec_prefix");
  report->executable = Eval(eval.get(), "__import__('sys').executable");
  std::string path = Eval(eval.get(), "'\\n'.join(__import__('sys').path)");
  size_t start = 0;
  while (start <= path.size() && !path.empty()) {
    size_t end = path.find('\n', start);
    report->path.push_back(path.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (const std::string& module : options.modules) {
    SRef moduleName(host.newString(module));
    Ref m(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                               moduleName.get()));
    ModuleReport entry{module, m.get() != nullptr, ""};
    if (!entry.imports) entry.reason = ErrorText();
    report->modules.push_back(entry);
  }
  host.callShared<void>("Coilwork", "Finalize()");
}

// --- Output.

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string OrNull(const std::string& text) { return text.empty() ? "null" : Quote(text); }

void PrintJson(const Options& options, const Report& r) {
  printf("{\"plugin\": %s,\n", Quote(Host::defaultPluginPath()).c_str());
  printf(" \"attempts\": [");
  for (size_t i = 0; i < r.attempts.size(); ++i)
    printf("%s{\"file\": %s, \"outcome\": %s}", i ? ", " : "", Quote(r.attempts[i].file).c_str(),
           Quote(r.attempts[i].outcome).c_str());
  printf("],\n \"layout_checks\": [");
  for (size_t i = 0; i < r.layouts.size(); ++i)
    printf("%s{\"check\": %s, \"passed\": %s, \"outcome\": %s, \"guards\": %s}", i ? ", " : "",
           Quote(r.layouts[i].name).c_str(), r.layouts[i].passed ? "true" : "false",
           Quote(r.layouts[i].outcome).c_str(), Quote(r.layouts[i].guards).c_str());
  printf("],\n \"messages\": [");
  for (size_t i = 0; i < r.messages.size(); ++i)
    printf("%s%s", i ? ", " : "", Quote(r.messages[i]).c_str());
  printf("],\n \"found\": %s,\n", r.found ? "true" : "false");
  printf(" \"library\": %s, \"version\": %s,\n", OrNull(r.library).c_str(),
         OrNull(r.version).c_str());
  printf(" \"home\": %s, \"standard_library\": %s,\n", OrNull(r.home).c_str(),
         r.standardLibrary ? "true" : "false");
  printf(" \"started\": %s, \"init_error\": %s,\n", r.started ? "true" : "false",
         OrNull(r.initError).c_str());
  printf(" \"sys\": ");
  if (r.started) {
    printf("{\"version\": %s, \"prefix\": %s, \"base_prefix\": %s, \"exec_prefix\": %s, "
           "\"executable\": %s, \"path\": [",
           Quote(r.pyVersion).c_str(), Quote(r.prefix).c_str(), Quote(r.basePrefix).c_str(),
           Quote(r.execPrefix).c_str(), Quote(r.executable).c_str());
    for (size_t i = 0; i < r.path.size(); ++i)
      printf("%s%s", i ? ", " : "", Quote(r.path[i]).c_str());
    printf("]},\n");
  } else {
    printf("null,\n");
  }
  printf(" \"virtual_environment\": ");
  if (options.venv.empty())
    printf("null,\n");
  else
    printf("{\"folder\": %s, \"accepted\": %s},\n", Quote(options.venv).c_str(),
           r.venvAccepted ? "true" : "false");
  printf(" \"VIRTUAL_ENV\": %s,\n", OrNull(r.activatedVenv).c_str());
  printf(" \"modules\": [");
  for (size_t i = 0; i < r.modules.size(); ++i)
    printf("%s{\"name\": %s, \"imports\": %s, \"reason\": %s}", i ? ", " : "",
           Quote(r.modules[i].name).c_str(), r.modules[i].imports ? "true" : "false",
           OrNull(r.modules[i].reason).c_str());
  printf("]}\n");
}

void PrintText(const Options& options, const Report& r) {
  printf("Coilwork plugin: %s\n\n", Host::defaultPluginPath().c_str());
  printf("Library files tried, in order:\n");
  for (const LoaderAttempt& a : r.attempts) printf("  %-60s %s\n", a.file.c_str(), a.outcome.c_str());
  for (const std::string& line : r.messages) printf("  The plugin says: %s\n", line.c_str());
  if (!r.layouts.empty()) printf("\nWhat the plugin reads in place, checked against the library:\n");
  for (const LayoutCheck& c : r.layouts)
    printf("  %-18s %s: %s\n", c.name.c_str(), c.passed ? "passed" : "FAILED", c.outcome.c_str());
  if (!r.found) {
    printf("\nNo usable Python library was found. Install a Python 3 shared library (on\n"
           "Raspberry Pi OS and Debian: sudo apt install libpython3-dev), or name one with\n"
           "--python FILE, COILWORK_PYTHON=FILE or Coilwork.SetPythonPath.\n");
    return;
  }
  printf("\nChosen: %s\n  version %s\n", r.library.c_str(), r.version.c_str());
  if (r.standardLibrary)
    printf("  standard library found under %s\n", r.home.c_str());
  else
    printf("  missing standard library: no lib/python3.X/os.py beside the library, so Python\n"
           "  could not start; Python was not started\n");
  if (!options.venv.empty())
    printf("\nVirtual environment %s: %s\n", options.venv.c_str(),
           r.venvAccepted ? "accepted" : "refused (not a folder holding pyvenv.cfg)");
  else
    printf("\nVirtual environment: none chosen\n");
  if (!r.activatedVenv.empty())
    printf("  Note: VIRTUAL_ENV=%s is set in this shell; the plugin uses an environment only\n"
           "  when the application calls Coilwork.UseVirtualEnvironment (here: --venv).\n",
           r.activatedVenv.c_str());
  if (!r.initError.empty()) printf("\nInit reported: %s\n", r.initError.c_str());
  if (!r.started) {
    if (r.standardLibrary) printf("\nPython did not start.\n");
    return;
  }
  printf("\nPython %s as the application sees it:\n", r.pyVersion.c_str());
  printf("  sys.prefix      %s\n  sys.base_prefix %s\n  sys.exec_prefix %s\n"
         "  sys.executable  %s\n  sys.path:\n",
         r.prefix.c_str(), r.basePrefix.c_str(), r.execPrefix.c_str(), r.executable.c_str());
  for (const std::string& p : r.path) printf("    %s\n", p.c_str());
  if (!r.modules.empty()) printf("\nModules:\n");
  for (const ModuleReport& m : r.modules) {
    if (m.imports)
      printf("  %-24s imports\n", m.name.c_str());
    else
      printf("  %-24s does not import: %s\n", m.name.c_str(), m.reason.c_str());
  }
}

int Usage() {
  fprintf(stderr,
          "usage: coilwork-doctor [json] [--python LIBRARY] [--venv FOLDER] [MODULE ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "json" && i == 1) || arg == "--json") {
      options.json = true;
    } else if ((arg == "--python" || arg == "--venv") && i + 1 < argc) {
      (arg == "--python" ? options.python : options.venv) = argv[++i];
    } else if (arg == "-h" || arg == "--help" || arg.compare(0, 1, "-") == 0) {
      return Usage();
    } else {
      options.modules.push_back(arg);
    }
  }
  Report report;
  gReport = &report;
  if (const char* active = getenv("VIRTUAL_ENV")) report.activatedVenv = active;
  Search(options, &report);
  if (report.found && report.standardLibrary) Run(options, &report);
  if (options.json)
    PrintJson(options, report);
  else
    PrintText(options, report);
  return report.found ? 0 : 1;
}
