// Quickstart: a host program that embeds Python through Coilwork.
//
// It loads the plugin into the emulated host exactly as the real host does,
// lists what the plugin registered, publishes a host function and a host
// class to Python, starts Python, imports a module from its own folder,
// calls a Python function with host values and with keyword arguments, runs
// code strings in __main__, calls a match object's methods and iterates a
// generator directly, receives Python's printed output as host events,
// reports a Python error with its type and traceback, and shuts Python down
// again.
#include <cstdio>
#include <map>
#include <string>

#include "emuhost/host.h"

using emuhost::Host;
using emuhost::Obj;
using emuhost::Ref;
using emuhost::SRef;
using emuhost::Str;

namespace {

Host& host = Host::get();

SRef S(const std::string& text) { return SRef(host.newString(text)); }

// ConsoleOutput event handler: everything Python prints arrives here, one
// event per write (print writes each piece and the line end separately), so
// the host gathers whole lines before showing them.
std::string pending;
void OnConsoleOutput(Obj, Str text) {
  pending += host.bytes(text);
  size_t end;
  while ((end = pending.find('\n')) != std::string::npos) {
    printf("  [python says] %s\n", pending.substr(0, end).c_str());
    pending.erase(0, end + 1);
  }
}

// --- Host code published to Python -------------------------------------

// hostmath.add(a, b): reads two integers, answers their sum.
void* HostAdd(void* /*module*/, void* args) {
  Ref p(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args));
  int32_t a = host.call<int32_t>(p, "Int32Value(index as Integer) as Int32", int32_t(0));
  int32_t b = host.call<int32_t>(p, "Int32Value(index as Integer) as Int32", int32_t(1));
  Ref r(host.create("Python3Result", "Constructor(value as Int32)", int32_t(a + b)));
  return host.call<void*>(r, "GetPtr() as Ptr");
}

// hostmath.Counter: the host keeps each instance's state, keyed by self.
std::map<void*, int32_t> counters;

int CounterInit(void* self, void* /*args*/, void* /*kwargs*/) {
  counters[self] = 0;
  return 0;
}

void* CounterBump(void* self, void* args) {
  Ref p(host.create("Python3Parameters", "Constructor(paramPtr as Ptr)", args));
  if (!host.call<int8_t>(p, "IsInteger(index as Integer) as Boolean", int32_t(0))) {
    host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                          int32_t(19), S("bump() needs an integer").get());
    return nullptr;
  }
  counters[self] += host.call<int32_t>(p, "Int32Value(index as Integer) as Int32", int32_t(0));
  Ref r(host.create("Python3Result", "Constructor()"));
  return host.call<void*>(r, "GetPtr() as Ptr");
}

void* CounterValue(void* self, void* /*args*/) {
  Ref r(host.create("Python3Result", "Constructor(value as Int32)", counters[self]));
  return host.call<void*>(r, "GetPtr() as Ptr");
}

Obj gHostMath;  // the Python3XojoModule, kept for the module creator
void* CreateHostMath() { return host.call<void*>(gHostMath, "ModuleCreateProc() as Ptr"); }

void ListRegistrations() {
  printf("The plugin registered with the host:\n");
  for (const std::string& line : host.registrationLog()) printf("  %s\n", line.c_str());
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "quickstart: %s failed\n", what);
    exit(1);
  }
}

}  // namespace

int main() {
  host.load();
  ListRegistrations();

  // Python's output arrives in this object's ConsoleOutput event.
  Ref console(host.newInstance("CoilworkConsoleOutput"));
  host.setEventHandler(console, "ConsoleOutput(output as String)",
                       reinterpret_cast<void*>(OnConsoleOutput));
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)",
                        console.get());

  bool found = host.callShared<int8_t>(
      "Coilwork",
      "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
      "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean",
      int32_t(0));
  Check(found, "finding Python");
  printf("\nPython found. Publishing the host module hostmath, then starting Python.\n");

  // Host code as Python: one function and one class, registered before Init.
  gHostMath = host.create("Python3XojoModule", "Constructor(name as String, methodCount as UInt32)",
                          S("hostmath").get(), uint32_t(1));
  host.call<void>(gHostMath, "RegisterFunction(name as String, fuction as Ptr)", S("add").get(),
                  reinterpret_cast<void*>(HostAdd));
  Ref counter(host.create("Python3XojoClass",
                          "Constructor(name as String, methodCount as UInt32, initMethod as Ptr)",
                          S("Counter").get(), uint32_t(2), reinterpret_cast<void*>(CounterInit)));
  host.call<void>(counter, "RegisterFunction(name as String, fuction as Ptr)", S("bump").get(),
                  reinterpret_cast<void*>(CounterBump));
  host.call<void>(counter, "RegisterFunction(name as String, fuction as Ptr)", S("value").get(),
                  reinterpret_cast<void*>(CounterValue));
  host.call<void>(gHostMath, "AddClass(classToAdd as Python3XojoClass)", counter.get());
  host.callShared<void>("Coilwork",
                        "RegisterXojoModule(xojoModule as Python3XojoModule, moduleCreatorFunction as Ptr)",
                        gHostMath, reinterpret_cast<void*>(CreateHostMath));

  host.callShared<void>("Coilwork", "Init(applicationName as String)", S("quickstart").get());
  Ref folder(host.folderItem(QUICKSTART_DIR "/python"));
  host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", folder.get());

  printf("\nImporting greeter:\n");
  Ref greeter(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                                   S("greeter").get()));
  Check(greeter.get() != nullptr, "importing greeter");

  // The typical call: greet(2, "Raspberry Pi").
  printf("\nCalling greeter.greet(2, \"Raspberry Pi\"):\n");
  Ref greet(host.call<Obj>(greeter, "GetFunction(name as String) as Python3Function",
                           S("greet").get()));
  Ref params(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
  host.assign(params.get(), "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(2));
  host.assign(params.get(), "StringValue(index as Integer) as String", int32_t(1),
              S("Raspberry Pi").get());
  Ref result(host.call<Obj>(greet, "Invoke(parameters as Python3Parameters) as Python3Result",
                            params.get()));
  Check(result.get() != nullptr, "calling greet");
  SRef text(host.call<Str>(result, "StringValue() as String"));
  printf("  greet returned %zu characters: \"%s\"\n", text.bytes().size(), text.bytes().c_str());

  // Keyword arguments: describe("Pi", greeting="Welcome").
  printf("\nCalling greeter.describe(\"Pi\", greeting=\"Welcome\"):\n");
  Ref describe(host.call<Obj>(greeter, "GetFunction(name as String) as Python3Function",
                              S("describe").get()));
  Ref name(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(name.get(), "StringValue(index as Integer) as String", int32_t(0), S("Pi").get());
  Ref keywords(host.create("Python3Dictionary", "Constructor()"));
  Ref welcome(host.callShared<Obj>("Python3Entity", "FromString(value as String) as Python3Entity",
                                   S("Welcome").get()));
  host.call<void>(keywords, "SetValue(key as String, value as Python3EntityBase)",
                  S("greeting").get(), welcome.get());
  Ref described(host.call<Obj>(
      describe, "Invoke(parameters as Python3Parameters, keywords as Python3Dictionary) as Python3Result",
      name.get(), keywords.get()));
  Check(described.get() != nullptr, "calling describe with keywords");
  SRef description(host.call<Str>(described, "StringValue() as String"));
  printf("  describe returned \"%s\"\n", description.bytes().c_str());

  // Code strings: statements with Exec, an expression with Eval, both in __main__.
  printf("\nRunning code strings in __main__:\n");
  bool ran = host.callShared<int8_t>(
      "Coilwork", "Exec(code as String) as Boolean",
      S("import math\nradius = 2.0\nprint('radius set to', radius)").get());
  Check(ran, "Exec");
  Ref area(host.callShared<Obj>("Coilwork", "Eval(expression as String) as Python3Result",
                                S("round(math.pi * radius ** 2, 3)").get()));
  Check(area.get() != nullptr, "Eval");
  printf("  Eval(\"round(math.pi * radius ** 2, 3)\") = %g\n",
         host.call<double>(area, "DoubleValue() as Double"));

  // Any Python object, used directly: a match object's groups and a
  // generator's items, without writing Python source.
  printf("\nMatching \"(\\d+)-(\\d+)\" against \"12-34\" with re.match:\n");
  Ref re(host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module",
                              S("re").get()));
  Ref reEntity(host.call<Obj>(re, "AsEntity() as Python3Entity"));
  Ref pattern(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(2)));
  host.assign(pattern.get(), "StringValue(index as Integer) as String", int32_t(0),
              S("(\\d+)-(\\d+)").get());
  host.assign(pattern.get(), "StringValue(index as Integer) as String", int32_t(1), S("12-34").get());
  const char* kCallMethod = "CallMethod(name as String, parameters as Python3Parameters) as Python3Result";
  Ref match(host.call<Obj>(reEntity, kCallMethod, S("match").get(), pattern.get()));
  Check(match.get() != nullptr, "re.match");
  SRef matchType(host.prop<Str>(match, "TypeName"));
  printf("  re.match returned a %s\n", matchType.bytes().c_str());
  for (int32_t g = 1; g <= 2; g++) {
    Ref index(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
    host.assign(index.get(), "Int32Value(index as Integer) as Int32", int32_t(0), g);
    Ref group(host.call<Obj>(match, kCallMethod, S("group").get(), index.get()));
    SRef groupText(host.call<Str>(group, "StringValue() as String"));
    printf("  group(%d) = \"%s\"\n", g, groupText.bytes().c_str());
  }

  printf("\nIterating greeter.countdown(3), a generator:\n");
  Ref countdown(host.call<Obj>(greeter, "EntityField(name as String) as Python3EntityBase",
                               S("countdown").get()));
  Ref three(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(three.get(), "Int32Value(index as Integer) as Int32", int32_t(0), int32_t(3));
  Ref generator(host.call<Obj>(countdown, "Call(parameters as Python3Parameters) as Python3Result",
                               three.get()));
  Check(generator.get() != nullptr, "calling countdown");
  Ref items(host.call<Obj>(generator, "Iterate() as Python3Iterator"));
  while (Ref item{host.call<Obj>(items, "Next() as Python3Entity")})
    printf("  next item: %d\n", host.prop<int32_t>(item, "Int32Value"));
  Check(!host.callShared<int8_t>("Coilwork", "ErrorOccurred() as Boolean"), "ending the iteration");

  // Python calling host code.
  printf("\nCalling greeter.use_host(), which calls the host's hostmath module:\n");
  Ref useHost(host.call<Obj>(greeter, "GetFunction(name as String) as Python3Function",
                             S("use_host").get()));
  Ref answer(host.call<Obj>(useHost, "Invoke(parameters as Python3Parameters) as Python3Result",
                            Obj(nullptr)));
  Check(answer.get() != nullptr, "calling use_host");
  printf("  use_host returned %d\n", host.call<int32_t>(answer, "Int32Value() as Int32"));

  // An error: average of an empty list divides by zero.
  printf("\nCalling greeter.average([]) to provoke an error:\n");
  Ref average(host.call<Obj>(greeter, "GetFunction(name as String) as Python3Function",
                             S("average").get()));
  Ref empty(host.create("Python3List", "Constructor()"));
  Ref args(host.create("Python3Parameters", "Constructor(parameterCount as Integer)", int32_t(1)));
  host.assign(args.get(), "ListValue(index as Integer) as Python3List", int32_t(0), empty.get());
  Ref failed(host.call<Obj>(average, "Invoke(parameters as Python3Parameters) as Python3Result",
                            args.get()));
  bool occurred = host.callShared<int8_t>("Coilwork", "ErrorOccurred() as Boolean");
  // The type, the class test and the traceback leave the error pending;
  // GetError reads its message and clears it.
  SRef type(host.callShared<Str>("Coilwork", "GetErrorType() as String"));
  bool arithmetic = host.callShared<int8_t>(
      "Coilwork", "ErrorMatches(errorType as Integer) as Boolean", int32_t(21));  // ZeroDivisionError
  SRef traceback(host.callShared<Str>("Coilwork", "GetErrorTraceback() as String"));
  SRef message(host.callShared<Str>("Coilwork", "GetError() as String"));
  printf("  result is %s, ErrorOccurred = %s, GetErrorType = \"%s\", "
         "ErrorMatches(ZeroDivisionError) = %s, GetError = \"%s\"\n",
         failed.get() ? "an object" : "nil", occurred ? "True" : "False", type.bytes().c_str(),
         arithmetic ? "True" : "False", message.bytes().c_str());
  printf("  GetErrorTraceback:\n");
  std::string lines = traceback.bytes();
  for (size_t start = 0, end; start < lines.size(); start = end + 1) {
    end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    printf("    | %s\n", lines.substr(start, end - start).c_str());
  }
  Check(!failed.get() && occurred && arithmetic, "reporting the error");

  // Release every handle before Python stops, then stop it.
  failed.reset(); args.reset(); empty.reset(); average.reset(); answer.reset(); useHost.reset();
  area.reset(); described.reset(); welcome.reset(); keywords.reset(); name.reset(); describe.reset();
  result.reset(); params.reset(); greet.reset(); greeter.reset(); folder.reset();
  items.reset(); generator.reset(); three.reset(); countdown.reset();
  match.reset(); pattern.reset(); reEntity.reset(); re.reset();
  host.callShared<void>("Coilwork", "Finalize()");
  host.unlock(gHostMath);
  counter.reset();
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)", Obj(nullptr));
  console.reset();
  printf("\nPython finalized. Live host objects left: %zu\n", host.liveObjects());
  Check(host.liveObjects() == 0, "releasing every host object");
  return 0;
}
