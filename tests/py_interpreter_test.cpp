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
              "')\nis_aview = sys.stdout.__name__ == 'aview'\n"));
    ASSERT_NE(m.get(), nullptr) << GetError();
    EXPECT_TRUE(Bool(m, "is_aview"));
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

}  // namespace
}  // namespace coiltest
