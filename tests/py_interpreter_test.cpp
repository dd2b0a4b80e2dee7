// The interpreter's lifecycle and module import through the Coilwork shared
// methods: Init, Finalize, AddSearchPath, GetModule, and the Python3Object
// root that every named handle shares.
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "support/python_fixture.h"

namespace coiltest {
namespace {

const char kGetModule[] = "GetModule(name as String) as Python3Module";

std::vector<std::string> gOutput;
void CollectOutput(Obj, Str text) { gOutput.push_back(Host::get().bytes(text)); }

class InterpreterTest : public PythonTest {
 protected:
  void Init() { host.callShared<void>("Coilwork", "Init()"); }
  void InitWithName(Str name) {
    host.callShared<void>("Coilwork", "Init(applicationName as String)", name);
  }
  void Finalize() { host.callShared<void>("Coilwork", "Finalize()"); }
  void AddSearchPath(Obj folder) {
    host.callShared<void>("Coilwork", "AddSearchPath(f as FolderItem)", folder);
  }
  Obj GetModuleStr(Str name) { return host.callShared<Obj>("Coilwork", kGetModule, name); }

  int32_t Int(Obj m, const std::string& name) {
    return host.call<int32_t>(m, "Int32Field(name as String) as Int32", S(name).get());
  }
  void SetInt(Obj m, const std::string& name, int32_t value) {
    host.assign(m, "Int32Field(name as String) as Int32", S(name).get(), value);
  }
  bool Bool(Obj m, const std::string& name) {
    return host.call<int8_t>(m, "BooleanField(name as String) as Boolean", S(name).get()) != 0;
  }
  bool Has(Obj m, const std::string& name) {
    return host.call<int8_t>(m, "HasAttribute(name as String) as Boolean", S(name).get()) != 0;
  }
  std::string Name(Obj handle) {
    SRef s(host.prop<Str>(handle, "Name"));
    return s.bytes();
  }
  // Runs code and reads one int it leaves behind.
  int32_t Eval(const std::string& code, const std::string& name) {
    Ref m(Run(code));
    EXPECT_NE(m.get(), nullptr) << GetError();
    return m.get() ? Int(m, name) : -1000;
  }
};

TEST_F(InterpreterTest, InitOnRunningInterpreterChangesNothing) {
  {
    Ref sys(GetModule("sys"));
    SetInt(sys, "_coiltest_keep", 7);
  }
  Init();
  InitWithName(S("another-name").get());
  InitWithName(Str(nullptr));
  Ref sys(GetModule("sys"));
  EXPECT_EQ(Int(sys, "_coiltest_keep"), 7);
  EXPECT_FALSE(ErrorOccurred());
}

TEST_F(InterpreterTest, RestartGivesFreshInterpreterWithOutputCapturedAgain) {
  Ref receiver(host.newInstance("CoilworkConsoleOutput"));
  host.setEventHandler(receiver, "ConsoleOutput(output as String)",
                       reinterpret_cast<void*>(&CollectOutput));
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)",
                        receiver.get());
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Ref kept(GetModule("json"));  // outlives its interpreter
    {
      Ref sys(GetModule("sys"));
      SetInt(sys, "_coiltest_round", round + 1);
    }
    Finalize();
    Finalize();  // nothing runs: does nothing
    kept.reset();  // released after Finalize: no Python call may happen

    EnsureInterpreter();  // Init, and the module folder on the new sys.path
    Ref sys(GetModule("sys"));
    EXPECT_FALSE(Has(sys, "_coiltest_round"));
    gOutput.clear();
    Ref m(Run("import sys\nprint('round " + std::to_string(round) +
              "')\nis_stream = type(sys.stdout).__name__ == 'ConsoleStream'\n"));
    ASSERT_NE(m.get(), nullptr) << GetError();
    EXPECT_TRUE(Bool(m, "is_stream"));
    EXPECT_EQ(gOutput, (std::vector<std::string>{"round " + std::to_string(round), "\n"}));
  }
  host.callShared<void>("Coilwork", "SetConsoleOutput(output as CoilworkConsoleOutput)",
                        Obj(nullptr));
}

TEST_F(InterpreterTest, WithoutInterpreterEverySharedMethodIsNeutral) {
  Ref folder(host.folderItem(ModuleDir()));
  Finalize();
  EXPECT_EQ(GetModuleStr(S("sys").get()), nullptr);
  AddSearchPath(folder);
  host.callShared<void>("Coilwork", "SetError(errorType as Integer, message as String)",
                        int32_t(19), S("not raised").get());
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_EQ(host.callShared<Str>("Coilwork", "GetError() as String"), nullptr);
  ClearError();
  EXPECT_TRUE(host.callShared<int8_t>(
      "Coilwork",
      "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
      "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean",
      int32_t(1)));
  Init();
  EXPECT_FALSE(ErrorOccurred()) << "SetError without an interpreter must not queue an error";
  EXPECT_EQ(host.liveStrings(), startStrings);
}

TEST_F(InterpreterTest, InitWithApplicationNameStartsInterpreter) {
  // Whatever the name (none, empty, a path, non-ASCII), Python starts.
  for (const char* name : {"", "/tmp/coilwork-app/bin/coilapp", "\xc3\xbcnicode-app"}) {
    Finalize();
    InitWithName(S(name).get());
    EnsureInterpreter();
    EXPECT_EQ(Eval("x = 40 + 2\n", "x"), 42);
  }
  Finalize();
  InitWithName(Str(nullptr));
  EnsureInterpreter();
  EXPECT_EQ(Eval("x = 6 * 7\n", "x"), 42);
}

// The library was chosen by path, so Python got the prefix that holds its
// standard library as its home: PREFIX/lib/libpython3.X.so (pyenv) and
// PREFIX/lib/<multiarch>/libpython3.X.so (Debian) both give PREFIX.
TEST_F(InterpreterTest, ChosenLibraryGivesPythonItsHome) {
  auto parent = [](const std::string& p) { return p.substr(0, p.rfind('/')); };
  auto name = [](const std::string& p) { return p.substr(p.rfind('/') + 1); };
  auto holdsStdlib = [](const std::string& prefix) {
    return access((prefix + "/lib/python" + PythonVersion() + "/os.py").c_str(), F_OK) == 0;
  };
  std::string folder = parent(PythonLibrary());
  std::string home = name(folder) == "lib" ? parent(folder) : folder;
  if (!holdsStdlib(home) && name(parent(folder)) == "lib") home = parent(parent(folder));
  ASSERT_TRUE(holdsStdlib(home)) << "no standard library next to " << PythonLibrary();
  Ref sys(GetModule("sys"));
  SRef prefix(host.call<Str>(sys, "StringField(name as String) as String", S("prefix").get()));
  EXPECT_EQ(prefix.bytes(), home);
}

TEST_F(InterpreterTest, GetModuleGivesNewHandleOnTheSameModule) {
  {
    Ref a(GetModule("json"));
    Ref b(GetModule("json"));
    ASSERT_NE(a.get(), nullptr);
    ASSERT_NE(b.get(), nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_TRUE(host.isA(a, "Python3Module"));
    EXPECT_EQ(Name(a), "json");
    SetInt(a, "_coiltest_shared", 5);
    EXPECT_EQ(Int(b, "_coiltest_shared"), 5);
  }
  // Handles and the names they kept are all given back.
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

TEST_F(InterpreterTest, GetModuleFailures) {
  EXPECT_EQ(GetModule("coiltest_no_such_module"), nullptr);
  EXPECT_TRUE(ErrorOccurred());
  EXPECT_NE(GetError().find("coiltest_no_such_module"), std::string::npos);

  EXPECT_EQ(Import("coiltest_syntax", "def broken(:\n"), nullptr);
  EXPECT_TRUE(ErrorOccurred());
  ClearError();

  EXPECT_EQ(Import("coiltest_raises", "raise ValueError('boom at import')\n"), nullptr);
  EXPECT_EQ(GetError(), "boom at import");

  // A nil name is the empty name, which Python refuses.
  EXPECT_EQ(GetModuleStr(Str(nullptr)), nullptr);
  EXPECT_TRUE(ErrorOccurred());
  ClearError();

  // Text the host cannot give as UTF-8 never reaches Python.
  SRef invalid(host.newString("\xff\xfe", emuhost::kUTF8));
  EXPECT_EQ(GetModuleStr(invalid), nullptr);
  EXPECT_FALSE(ErrorOccurred());

  EXPECT_EQ(host.liveObjects(), startObjects);
}

TEST_F(InterpreterTest, GetModuleTakesNonAsciiNames) {
  Ref m(Import("coiltest_m\xc3\xb6" "dul", "value = 11\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_EQ(Int(m, "value"), 11);
  EXPECT_EQ(Name(m), "coiltest_m\xc3\xb6" "dul");
}

TEST_F(InterpreterTest, AddSearchPathMakesModulesImportable) {
  char tmpl[] = "/tmp/coilwork-searchpath-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  std::ofstream(dir + "/coiltest_elsewhere.py") << "answer = 42\n";

  EXPECT_EQ(GetModule("coiltest_elsewhere"), nullptr);
  ClearError();
  AddSearchPath(Obj(nullptr));  // nothing
  {
    Ref folder(host.folderItem(dir));
    AddSearchPath(folder);
    AddSearchPath(folder);
  }
  Ref m(GetModule("coiltest_elsewhere"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_EQ(Int(m, "answer"), 42);
  // Nothing is checked for duplicates: the folder is on the path twice.
  EXPECT_EQ(Eval("import sys\nn = sys.path.count('" + dir + "')\n", "n"), 2);
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST_F(InterpreterTest, ObjectNameAndDestructor) {
  {
    // A handle that holds neither a name nor an object.
    Ref empty(host.newInstance("Python3Module"));
    EXPECT_EQ(host.prop<Str>(empty, "Name"), nullptr);
  }
  {
    SRef name(host.newString("json"));
    Ref m(GetModuleStr(name));
    ASSERT_NE(m.get(), nullptr);
    EXPECT_EQ(host.stringRefCount(name), 2);  // ours and the handle's
    SRef got(host.prop<Str>(m, "Name"));
    EXPECT_EQ(got.get(), name.get());
    EXPECT_EQ(host.stringRefCount(name), 3);
  }
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

// sys.argv holds the application name on every version; sys.executable
// names the interpreter beside the library, which runs.
TEST_F(InterpreterTest, ArgvAndExecutableAreThoseOfAProgram) {
  auto argv = [&]() {
    Ref m(Run("import sys\nargv = '|'.join(sys.argv) + '#%d' % len(sys.argv)\n"));
    EXPECT_NE(m.get(), nullptr) << GetError();
    SRef s(host.call<Str>(m, "StringField(name as String) as String", S("argv").get()));
    return s.bytes();
  };
  Finalize();
  Init();
  EnsureInterpreter();
  EXPECT_EQ(argv(), "#1");
  Finalize();
  InitWithName(S("CoilApp \xc3\xbc").get());
  EnsureInterpreter();
  EXPECT_EQ(argv(), "CoilApp \xc3\xbc#1");

  // The library's prefix: PREFIX/lib/libpython (pyenv) or
  // PREFIX/lib/<multiarch>/libpython (Debian).
  std::string lib = PythonLibrary();
  std::string prefix = lib.substr(0, lib.find("/lib/"));
  std::string expected = prefix + "/bin/python" + PythonVersion();
  ASSERT_EQ(access(expected.c_str(), X_OK), 0) << "no interpreter at " << expected;
  Ref sys(GetModule("sys"));
  SRef executable(
      host.call<Str>(sys, "StringField(name as String) as String", S("executable").get()));
  EXPECT_EQ(executable.bytes(), expected);
#if defined(__x86_64__)
  // It is a real Python of the same version (on other machines it may need
  // an emulator to run).
  Ref m(Run("import subprocess, sys\n"
            "out = subprocess.run([sys.executable, '-c', 'import sys; print(sys.version_info[1])'],\n"
            "                     stdout=subprocess.PIPE).stdout\n"
            "minor = int(out)\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_EQ(Int(m, "minor"), PythonMinor());
#endif
}

class EnvironmentTest : public InterpreterTest {
 protected:
  // A virtual environment made by hand: pyvenv.cfg, a module in its
  // site-packages, and a .pth file there naming another folder with a module.
  std::string MakeEnvironment(const std::string& name, int minor, bool systemSite) {
    std::string root = ModuleDir() + "/" + name;
    std::string site = root + "/lib/python3." + std::to_string(minor) + "/site-packages";
    EXPECT_EQ(system(("mkdir -p '" + site + "' '" + root + "/extra'").c_str()), 0);
    Ref sys(GetModule("sys"));
    SRef base(host.call<Str>(sys, "StringField(name as String) as String",
                             S("base_prefix").get()));
    std::ofstream(root + "/pyvenv.cfg")
        << "home = " << base.bytes() << "/bin\n"
        << "include-system-site-packages = " << (systemSite ? "true" : "false") << "\n"
        << "version = 3." << minor << ".1\n";
    std::ofstream(site + "/coiltest_in_" + name + ".py") << "where = 'site'\n";
    std::ofstream(site + "/coiltest.pth") << root << "/extra\n";
    std::ofstream(root + "/extra/coiltest_pth_" + name + ".py") << "where = 'pth'\n";
    return root;
  }
  bool Use(const std::string& folder) {
    Ref item(host.folderItem(folder));
    return host.callShared<int8_t>("Coilwork", kUse, item.get()) != 0;
  }
  std::string SysString(const std::string& name) {
    Ref sys(GetModule("sys"));
    SRef s(host.call<Str>(sys, "StringField(name as String) as String", S(name).get()));
    return s.bytes();
  }
  static constexpr const char* kUse = "UseVirtualEnvironment(folder as FolderItem) as Boolean";
};

TEST_F(EnvironmentTest, FolderWithoutConfigurationIsRefused) {
  std::string before = SysString("prefix");
  EXPECT_FALSE(host.callShared<int8_t>("Coilwork", kUse, Obj(nullptr)));
  EXPECT_FALSE(Use(ModuleDir()));                      // no pyvenv.cfg
  EXPECT_FALSE(Use(ModuleDir() + "/coiltest_none"));  // no folder
  std::string file = ModuleDir() + "/coiltest_file.txt";
  std::ofstream(file) << "x";
  EXPECT_FALSE(Use(file));  // not a folder
  EXPECT_EQ(SysString("prefix"), before);
  EXPECT_FALSE(ErrorOccurred());
  EXPECT_EQ(host.liveObjects(), startObjects);
  EXPECT_EQ(host.liveStrings(), startStrings);
}

TEST_F(EnvironmentTest, EnvironmentOfAnotherVersionIsRefusedInPlainWords) {
  const int other = PythonMinor() == 13 ? 12 : PythonMinor() + 1;
  std::string env = MakeEnvironment("otherenv", other, false);
  std::string prefix = SysString("prefix");
  EXPECT_FALSE(Use(env));  // while Python runs
  std::string error = GetError();
  EXPECT_NE(error.find("3." + std::to_string(other)), std::string::npos) << error;
  EXPECT_NE(error.find(PythonVersion()), std::string::npos) << error;
  EXPECT_EQ(SysString("prefix"), prefix);

  // Chosen before Init: Init starts Python and says why it was not used.
  Finalize();
  EXPECT_TRUE(Use(env));
  Init();
  EXPECT_TRUE(ErrorOccurred());
  error = GetError();
  EXPECT_NE(error.find("3." + std::to_string(other)), std::string::npos) << error;
  EnsureInterpreter();
  EXPECT_EQ(Eval("x = 1\n", "x"), 1);
  // Leave a usable environment chosen for the following Inits.
  EXPECT_TRUE(Use(MakeEnvironment("keptenv", PythonMinor(), true)));
  Finalize();
  EnsureInterpreter();
  EXPECT_FALSE(ErrorOccurred());
}

TEST_F(EnvironmentTest, PackagesPthFilesAndPrefixesOfTheEnvironment) {
  std::string base = SysString("base_prefix");
  // While Python runs, without the system's site folders.
  std::string env = MakeEnvironment("isolated", PythonMinor(), false);
  ASSERT_TRUE(Use(env));
  EXPECT_EQ(SysString("prefix"), env);
  EXPECT_EQ(SysString("exec_prefix"), env);
  EXPECT_EQ(SysString("base_prefix"), base);
  Ref m(Run("import sys\n"
            "import coiltest_in_isolated as a, coiltest_pth_isolated as b\n"
            "found = a.where == 'site' and b.where == 'pth'\n"
            "system = [p for p in sys.path if ('site-packages' in p or 'dist-packages' in p)\n"
            "          and not p.startswith('" + ModuleDir() + "')]\n"
            "n_system = len(system)\n"
            "listed = repr(system)\n"));
  ASSERT_NE(m.get(), nullptr) << GetError();
  EXPECT_TRUE(Bool(m, "found"));
  EXPECT_EQ(Int(m, "n_system"), 0)
      << SRef(host.call<Str>(m, "StringField(name as String) as String", S("listed").get())).bytes();

  // Chosen before Init, with the system's site folders: the environment's
  // come first.
  std::string shared = MakeEnvironment("shared", PythonMinor(), true);
  Finalize();
  ASSERT_TRUE(Use(shared));
  EnsureInterpreter();
  EXPECT_EQ(SysString("prefix"), shared);
  Ref n(Run("import sys, site\n"
            "import coiltest_in_shared, coiltest_pth_shared\n"
            "mine = sys.path.index('" + shared + "/lib/python" + PythonVersion() +
            "/site-packages')\n"
            "theirs = [sys.path.index(p) for p in site.getsitepackages() if p in sys.path]\n"
            "ahead = all(mine < i for i in theirs)\n"));
  ASSERT_NE(n.get(), nullptr) << GetError();
  EXPECT_TRUE(Bool(n, "ahead"));
}

// An environment chosen while Python runs stays on sys.path across Reset, as
// AddSearchPath's folders do; what a script put there goes.
TEST_F(EnvironmentTest, ResetKeepsAnEnvironmentChosenWhilePythonRuns) {
  std::string env = MakeEnvironment("resetenv", PythonMinor(), false);
  ASSERT_TRUE(Use(env));
  Ref before(Run("import sys\npath = repr(sys.path)\nsys.path.insert(0, '/cw/script')\n"));
  ASSERT_NE(before.get(), nullptr) << GetError();
  ASSERT_TRUE(host.callShared<int8_t>("Coilwork", "Reset() as Boolean")) << GetError();
  Ref after(Run("import sys, coiltest_in_resetenv, coiltest_pth_resetenv\npath = repr(sys.path)\n"));
  ASSERT_NE(after.get(), nullptr) << GetError();
  auto path = [&](Obj m) {
    return SRef(host.call<Str>(m, "StringField(name as String) as String", S("path").get())).bytes();
  };
  EXPECT_EQ(path(after), path(before));
  // The following Inits get an environment with the system's packages.
  std::string kept = MakeEnvironment("afterreset", PythonMinor(), true);
  Finalize();
  ASSERT_TRUE(Use(kept));
  EnsureInterpreter();
}

}  // namespace
}  // namespace coiltest
