// The Python loader driven through its replaceable platform layer: which
// files it opens in which order and with which flags, what it binds, which
// symbols it requires, the lines it prints, and the Python home it derives
// from a library chosen by path. No real library is involved; FolderItems
// come from the emulated host.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emuhost/host.h"
#include "plugin/plugin.h"
#include "python/layouts.h"
#include "python/refs.h"

// Coilwork's class record, in the plugin objects linked into this program.
extern REALclassDefinition CoilworkClass;

namespace {

using emuhost::Host;

// --- The fake dynamic loader --------------------------------------------------

struct FakeLoader {
  std::set<std::string> present;  // files that open
  std::set<std::string> missing;  // symbols the library lacks
  std::set<std::string> foreign;  // files of another architecture
  std::set<std::string> debug;    // symbols of debug builds it has (none by default)
  std::vector<std::string> opened;
  std::vector<int> flags;
  std::vector<std::string> lookups;
  std::vector<std::string> lines;
  std::vector<void*> closed;
  const char* pendingError = nullptr;
  const char* version = "3.11.4 (main, Jan 1 2024, 00:00:00) [GCC]";
  std::vector<std::string> decoded;       // what Py_DecodeLocale was given
  std::vector<std::wstring> homes;        // what Py_SetPythonHome was given
};
FakeLoader* gFake;

int gLibrary;                      // its address is the fake handle
std::map<std::string, int> gData;  // one distinct address per symbol

void* FakeOpen(const char* file, int flags) {
  gFake->opened.push_back(file);
  gFake->flags.push_back(flags);
  if (gFake->present.count(file)) return &gLibrary;
  gFake->pendingError = gFake->foreign.count(file)
                            ? "wrong ELF class: ELFCLASS32"
                            : "cannot open shared object file: No such file or directory";
  return nullptr;
}

const char* FakeVersion() { return gFake->version; }

wchar_t* FakeDecodeLocale(const char* text, size_t* size) {
  gFake->decoded.push_back(text);
  size_t n = strlen(text);
  wchar_t* wide = static_cast<wchar_t*>(malloc((n + 1) * sizeof(wchar_t)));
  mbstowcs(wide, text, n + 1);
  return wide;
}

void FakeSetPythonHome(const wchar_t* home) { gFake->homes.push_back(home); }

// What only debug builds export.
const std::set<std::string> kDebugSymbols = {
    "_Py_PrintReferenceAddresses", "_Py_PrintReferences", "_Py_AddToAllObjects",
    "_Py_ForgetReference", "_Py_RefTotal", "_Py_GetRefTotal", "_Py_GetGlobalRefTotal",
    "_Py_NegativeRefcount"};

void* FakeSym(void* handle, const char* name) {
  gFake->lookups.push_back(name);
  if (handle != &gLibrary || gFake->missing.count(name) ||
      (kDebugSymbols.count(name) && !gFake->debug.count(name))) {
    gFake->pendingError = "undefined symbol";
    return nullptr;
  }
  std::string n = name;
  if (n == "Py_GetVersion") return reinterpret_cast<void*>(&FakeVersion);
  if (n == "Py_DecodeLocale") return reinterpret_cast<void*>(&FakeDecodeLocale);
  if (n == "Py_SetPythonHome") return reinterpret_cast<void*>(&FakeSetPythonHome);
  return &gData[n];
}

char* FakeError() {
  const char* e = gFake->pendingError;
  gFake->pendingError = nullptr;
  return const_cast<char*>(e);
}

int FakeClose(void* handle) {
  gFake->closed.push_back(handle);
  return 0;
}

int FakePuts(const char* line) {
  gFake->lines.push_back(line);
  return 0;
}

void* Resolve(const char* name) { return Host::get().resolve(name); }

const char kNoLibrary[] =
    "Could not load libpython3.4m.so, libpython3.5m.so, libpython3.6m.so, libpython3.7m.so, "
    "libpython3.8.so, libpython3.9.so, libpython3.10.so, libpython3.11.so, libpython3.12.so, "
    "libpython3.13.so, libpython3.14.so, libpython3.15.so or a newer libpython3.N.so";

const std::vector<std::string> kAllFiles = {
    "libpython3.15.so.1.0", "libpython3.14.so.1.0", "libpython3.13.so.1.0", "libpython3.12.so.1.0", "libpython3.11.so.1.0",
    "libpython3.10.so.1.0", "libpython3.9.so.1.0",  "libpython3.8.so.1.0",
    "libpython3.8m.so.1.0", "libpython3.7m.so.1.0", "libpython3.6m.so.1.0",
    "libpython3.5m.so.1.0", "libpython3.4m.so.1.0", "libpython3.16.so.1.0",
    "libpython3.17.so.1.0", "libpython3.18.so.1.0", "libpython3.19.so.1.0",
    "libpython3.20.so.1.0", "libpython3.21.so.1.0", "libpython3.22.so.1.0",
    "libpython3.23.so.1.0",
};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A shared method of Coilwork, found in its class record by declaration.
template <class F>
F Shared(const char* declaration) {
  for (uintptr_t i = 0; i < CoilworkClass.sharedMethodCount; ++i) {
    if (strcmp(CoilworkClass.sharedMethods[i].declaration, declaration) == 0)
      return reinterpret_cast<F>(CoilworkClass.sharedMethods[i].function);
  }
  ADD_FAILURE() << "no shared method " << declaration;
  return nullptr;
}

const char kIsFound[] =
    "PythonIsFound(preferredVersion as Coilwork.PreferredVersionValues = "
    "Coilwork.PreferredVersionValues.PREFERRED_VERSION_LATESTKNOWN) as Boolean";

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = gPlatform;
    gPlatform = {FakeOpen, FakeSym, FakeError, FakeClose, FakePuts};
    gFake = &fake;
    gResolver = Resolve;
    ELockObject = reinterpret_cast<void (*)(REALobject)>(Resolve("REALLockObject"));
    EUnlockObject = reinterpret_cast<void (*)(REALobject)>(Resolve("REALUnlockObject"));
    ELockString = reinterpret_cast<void (*)(REALstring)>(Resolve("REALLockString"));
    EUnlockString = reinterpret_cast<void (*)(REALstring)>(Resolve("REALUnlockString"));
    ResetPlugin();
    startObjects = host.liveObjects();
    startStrings = host.liveStrings();
  }
  void TearDown() override {
    ResetPlugin();
    gPlatform = saved_;
    EXPECT_EQ(host.liveObjects(), startObjects);
    EXPECT_EQ(host.liveStrings(), startStrings);
  }
  void ResetPlugin() {
    gPythonEntryPointsLoaded = false;
    gPythonFound = false;
    gPythonInitialized = false;
    PythonDLLHandle = nullptr;
    if (gPythonPath) EUnlockObject(gPythonPath);
    gPythonPath = nullptr;
    free(gPythonHome);
    gPythonHome = nullptr;
    gVirtualEnvironment = VirtualEnvironment();
    unsetenv("COILWORK_PYTHON");
  }

  bool IsFound(int32_t preference) { return Shared<int8_t (*)(int32_t)>(kIsFound)(preference); }
  void SetPythonPath(REALobject path) {
    Shared<void (*)(REALobject)>("SetPythonPath(path as FolderItem)")(path);
  }
  // Sets the library path through SetPythonPath with a host FolderItem.
  void ChooseLibrary(const std::string& path) {
    REALobject item = host.folderItem(path);
    SetPythonPath(item);
    host.unlock(item);
  }

  Host& host = Host::get();
  FakeLoader fake;
  size_t startObjects = 0, startStrings = 0;

 private:
  PlatformLoader saved_;
};

// A scratch folder tree, removed at scope exit.
class TempTree {
 public:
  TempTree() {
    char tmpl[] = "/tmp/coilwork-loader-XXXXXX";
    root_ = mkdtemp(tmpl);
  }
  ~TempTree() { EXPECT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0); }
  // Makes the file (and its folders) below the root; returns its full path.
  std::string File(const std::string& relative) {
    std::string full = root_ + "/" + relative;
    std::string dir = full.substr(0, full.rfind('/'));
    EXPECT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    std::ofstream(full) << "";
    return full;
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

TEST_F(LoaderTest, WithoutLibraryEveryFileIsTriedNewestFirstAndOneLineIsPrinted) {
  EXPECT_FALSE(IsFound(0));
  EXPECT_EQ(fake.opened, kAllFiles);
  for (int f : fake.flags) EXPECT_EQ(f, 0x101);
  EXPECT_EQ(fake.lines, std::vector<std::string>{kNoLibrary});

  // Each call makes a full attempt of its own.
  EXPECT_FALSE(IsFound(0));
  EXPECT_EQ(fake.opened.size(), 2 * kAllFiles.size());
  EXPECT_EQ(fake.lines.size(), 2u);
  EXPECT_FALSE(gPythonEntryPointsLoaded);
  EXPECT_TRUE(fake.lookups.empty());
}

TEST_F(LoaderTest, PreferredVersionIsTriedFirstThenTheWholeList) {
  const std::map<int32_t, std::vector<std::string>> preferred = {
      {1, {"libpython3.4m.so.1.0"}},
      {2, {"libpython3.5m.so.1.0"}},
      {3, {"libpython3.6m.so.1.0"}},
      {4, {"libpython3.7m.so.1.0"}},
      {5, {"libpython3.8.so.1.0", "libpython3.8m.so.1.0"}},
      {6, {"libpython3.9.so.1.0"}},
      {7, {"libpython3.10.so.1.0"}},
      {8, {"libpython3.11.so.1.0"}},
      {9, {"libpython3.12.so.1.0"}},
      {10, {"libpython3.13.so.1.0"}},
      {11, {"libpython3.14.so.1.0"}},
      {12, {"libpython3.15.so.1.0"}},
  };
  for (const auto& [preference, first] : preferred) {
    SCOPED_TRACE(preference);
    fake.opened.clear();
    EXPECT_FALSE(IsFound(preference));
    EXPECT_EQ(fake.opened, Concat(first, kAllFiles));
  }
  // Any other value behaves as 0.
  for (int32_t preference : {-1, 13, 1000}) {
    SCOPED_TRACE(preference);
    fake.opened.clear();
    EXPECT_FALSE(IsFound(preference));
    EXPECT_EQ(fake.opened, kAllFiles);
  }
}

TEST_F(LoaderTest, FirstFileThatOpensIsUsed) {
  fake.present = {"libpython3.6m.so.1.0", "libpython3.4m.so.1.0"};
  EXPECT_TRUE(IsFound(1));  // the preferred 3.4 opens at once
  EXPECT_EQ(fake.opened, std::vector<std::string>{"libpython3.4m.so.1.0"});
  EXPECT_TRUE(gPythonEntryPointsLoaded);
  EXPECT_EQ(PythonDLLHandle, &gLibrary);
  EXPECT_TRUE(fake.lines.empty());
  EXPECT_TRUE(fake.closed.empty());

  // Once loaded, nothing is opened again, whatever the preference.
  fake.opened.clear();
  EXPECT_TRUE(IsFound(3));
  EXPECT_TRUE(EnsurePython());
  EXPECT_EQ(LoadPythonEntryPoints(0), 1);
  EXPECT_TRUE(fake.opened.empty());

  ResetPlugin();
  fake.opened.clear();
  fake.present = {"libpython3.6m.so.1.0"};
  EXPECT_TRUE(IsFound(1));  // the preferred file is missing: the whole list
  EXPECT_EQ(fake.opened, (std::vector<std::string>{"libpython3.4m.so.1.0", "libpython3.15.so.1.0",
                                                   "libpython3.14.so.1.0", "libpython3.13.so.1.0", "libpython3.12.so.1.0",
                                                   "libpython3.11.so.1.0", "libpython3.10.so.1.0",
                                                   "libpython3.9.so.1.0", "libpython3.8.so.1.0",
                                                   "libpython3.8m.so.1.0", "libpython3.7m.so.1.0",
                                                   "libpython3.6m.so.1.0"}));

  // A minor newer than the plugin knows is found once no known one is.
  ResetPlugin();
  fake.opened.clear();
  fake.present = {"libpython3.17.so.1.0"};
  EXPECT_TRUE(IsFound(0));
  ASSERT_EQ(fake.opened.size(), 15u);
  EXPECT_EQ(fake.opened.back(), "libpython3.17.so.1.0");
}

// --- The layout checks --------------------------------------------------------

// Stand-ins for a library's static objects, laid out as 3.minor lays them
// out in its headers.
struct FakeObjects {
  PyTypeObject type{}, tuple{}, list{};
  PyObject none{};
  int minor;
  explicit FakeObjects(int m) : minor(m) {
    for (PyTypeObject* t : {&type, &tuple, &list}) t->ob_base.ob_type = &type;
    tuple.tp_name = "tuple";
    tuple.tp_itemsize = sizeof(void*);
    tuple.tp_basicsize = (minor >= 14 ? 4 : 3) * sizeof(void*);
    tuple.tp_flags = Py_TPFLAGS_TUPLE_SUBCLASS;
    list.tp_basicsize = sizeof(PyListObject);
    none.ob_refcnt = minor >= 12 ? kPlainRefLimit : 1;  // immortal from 3.12 on
  }
  LayoutFacts Facts() const {
    LayoutFacts f;
    f.minor = minor;
    f.tupleType = &tuple;
    f.tupleTypeSize = sizeof(PyTypeObject) - 6 * sizeof(void*);
    f.typeType = &type;
    f.listType = &list;
    f.none = &none;
    return f;
  }
};

bool AllPassed(const LayoutVerdict& v) {
  for (const LayoutCheck& c : v.checks)
    if (!c.passed) return false;
  return !v.checks.empty();
}

TEST(LayoutTest, EveryKnownVersionAndANewerOnePass) {
  for (int minor = 4; minor <= kNewestKnownMinor + 1; ++minor) {
    SCOPED_TRACE(minor);
    FakeObjects objects(minor);
    LayoutVerdict v = CheckLayouts(objects.Facts());
    EXPECT_TRUE(v.usable);
    EXPECT_TRUE(v.inPlace);
    EXPECT_TRUE(AllPassed(v));
    EXPECT_EQ(v.tupleItemsOffset, size_t(objects.tuple.tp_basicsize));
    EXPECT_EQ(v.tupleHashCached, minor >= 14);
  }
}

// A layout that differs where Python's functions can stand in is read
// through them; one that differs in every object's header or in the type
// objects the plugin makes is refused, naming the version and the check.
TEST(LayoutTest, AWrongLayoutFallsBackOrIsRefused) {
  FakeObjects objects(14);
  objects.tuple.tp_basicsize = 3 * sizeof(void*);  // 3.13's tuple in a 3.14
  LayoutVerdict v = CheckLayouts(objects.Facts());
  EXPECT_TRUE(v.usable);
  EXPECT_FALSE(v.inPlace);
  EXPECT_FALSE(v.checks[2].passed);
  EXPECT_EQ(v.checks[2].name, "tuple");

  FakeObjects newer(16);
  newer.tuple.tp_basicsize = 6 * sizeof(void*);
  EXPECT_FALSE(CheckLayouts(newer.Facts()).inPlace);

  FakeObjects counted(12);  // None not immortal where counts must skip it
  counted.none.ob_refcnt = 7;
  v = CheckLayouts(counted.Facts());
  EXPECT_TRUE(v.usable);
  EXPECT_FALSE(v.inPlace);

  // Two list pointers ahead of the header, as reference tracing lays it.
  FakeObjects traced(16);
  traced.tuple.ob_base.ob_type = nullptr;
  v = CheckLayouts(traced.Facts());
  EXPECT_FALSE(v.usable);
  EXPECT_EQ(v.refusal,
            "Python 3.16 is laid out differently from what Coilwork reads (object header), and "
            "Coilwork cannot use it");

  // Type objects larger than the room the plugin gives its own.
  FakeObjects large(17);
  LayoutFacts facts = large.Facts();
  facts.tupleTypeSize = sizeof(PyTypeObject) + sizeof(void*);
  v = CheckLayouts(facts);
  EXPECT_FALSE(v.usable);
  EXPECT_NE(v.refusal.find("Python 3.17"), std::string::npos);
  EXPECT_NE(v.refusal.find("(type object)"), std::string::npos);
  EXPECT_FALSE(v.checks.back().passed);
}

TEST_F(LoaderTest, EverySlotIsBoundFromTheOpenedLibrary) {
  fake.present = {"libpython3.13.so.1.0"};
  ASSERT_TRUE(EnsurePython());
#define CHECK_FUNCTION(ret, name, params)                                    \
  EXPECT_EQ(reinterpret_cast<void*>(E##name), static_cast<void*>(&gData[#name])) << #name;
  COILWORK_PY_FUNCTIONS(CHECK_FUNCTION)
#undef CHECK_FUNCTION
#define CHECK_DATA(name) EXPECT_EQ(static_cast<void*>(e__##name), &gData[#name]) << #name;
  COILWORK_PY_TYPES(CHECK_DATA)
  COILWORK_PY_EXCEPTIONS(CHECK_DATA)
#undef CHECK_DATA
  EXPECT_EQ(static_cast<void*>(e___Py_TrueStruct), &gData["_Py_TrueStruct"]);
  EXPECT_EQ(static_cast<void*>(e___Py_FalseStruct), &gData["_Py_FalseStruct"]);
  // Without a library path no home is handed over, nor even looked up.
  for (const std::string& name : fake.lookups) {
    EXPECT_NE(name, "Py_SetPythonHome");
    EXPECT_NE(name, "Py_DecodeLocale");
  }
  EXPECT_EQ(fake.lookups.front(), "Py_Initialize");
}

TEST_F(LoaderTest, MissingOptionalSymbolLeavesItsSlotEmpty) {
  fake.present = {"libpython3.13.so.1.0"};
  // The last functions looked up before _Py_TrueStruct: a stale loader
  // error from them must not be taken for a missing _Py_TrueStruct.
  fake.missing = {"PyEval_CallObjectWithKeywords", "PyType_Ready", "PyExc_ReferenceError"};
  ASSERT_TRUE(EnsurePython());
  EXPECT_EQ(EPyEval_CallObjectWithKeywords, nullptr);
  EXPECT_EQ(EPyType_Ready, nullptr);
  EXPECT_EQ(e__PyExc_ReferenceError, nullptr);
  EXPECT_NE(EPyObject_Call, nullptr);
  EXPECT_TRUE(fake.lines.empty());
}

TEST_F(LoaderTest, MissingRequiredSymbolClosesTheLibrary) {
  const std::map<std::string, std::string> required = {
      {"Py_Initialize", "Coult not load symbol"},
      {"_Py_TrueStruct", "Coult not dlsym_errorload symbol _Py_TrueStruct"},
      {"_Py_FalseStruct", "Coult not dlsym_errorload symbol _Py_FalseStruct"},
  };
  fake.present = {"libpython3.12.so.1.0"};
  for (const auto& [symbol, line] : required) {
    SCOPED_TRACE(symbol);
    ResetPlugin();
    fake.missing = {symbol};
    fake.lines.clear();
    fake.closed.clear();
    EXPECT_TRUE(IsFound(0));  // a library was found...
    EXPECT_FALSE(gPythonEntryPointsLoaded);  // ...but it is not usable
    EXPECT_EQ(fake.lines, std::vector<std::string>{line});
    EXPECT_EQ(fake.closed, std::vector<void*>{&gLibrary});
    EXPECT_EQ(PythonDLLHandle, nullptr);
    // Nothing of the closed library stays callable.
    EXPECT_EQ(EPy_Initialize, nullptr);
    EXPECT_EQ(EPy_Finalize, nullptr);
    EXPECT_EQ(e___Py_TrueStruct, nullptr);
    // The next user tries again in full.
    fake.opened.clear();
    EXPECT_FALSE(EnsurePython());
    EXPECT_EQ(fake.opened.size(), 4u);  // 3.15, 3.14, 3.13, then 3.12 opens
    EXPECT_EQ(fake.closed.size(), 2u);
  }
  fake.missing.clear();
  EXPECT_TRUE(EnsurePython());
}

// A build that traces references heads every object with two more
// pointers: used, every type test and in-place write would read or corrupt
// the wrong words. It is refused, with a line saying why. A build that only
// counts references is laid out as a release build and is used, with its
// objects worked on through its own functions alone.
TEST_F(LoaderTest, DebugBuildsAreTold) {
  fake.present = {"libpython3.11.so.1.0"};
  for (const char* marker : {"_Py_PrintReferenceAddresses", "_Py_AddToAllObjects"}) {
    SCOPED_TRACE(marker);
    ResetPlugin();
    fake.debug = {marker, "_Py_RefTotal"};
    fake.lines.clear();
    fake.closed.clear();
    EXPECT_FALSE(IsFound(0));
    EXPECT_FALSE(gPythonEntryPointsLoaded);
    EXPECT_EQ(fake.lines, std::vector<std::string>{
                              "This Python was built with reference tracing (Py_TRACE_REFS): its "
                              "objects are laid out differently, and Coilwork cannot use it"});
    EXPECT_EQ(fake.closed, std::vector<void*>{&gLibrary});
    EXPECT_EQ(EPy_Initialize, nullptr);
    EXPECT_EQ(EPyTuple_SetItem, nullptr);
  }
  for (const char* marker : {"_Py_RefTotal", "_Py_GetGlobalRefTotal", "_Py_NegativeRefcount"}) {
    SCOPED_TRACE(marker);
    ResetPlugin();
    fake.debug = {marker};
    EXPECT_TRUE(IsFound(0));
    EXPECT_TRUE(gPythonEntryPointsLoaded);
    EXPECT_FALSE(gPythonInPlace);
  }
  // 3.14 exports _Py_ForgetReference from release builds too: no sign of
  // either kind of debug build.
  for (auto exported : {std::set<std::string>{}, std::set<std::string>{"_Py_ForgetReference"}}) {
    ResetPlugin();
    fake.debug = exported;
    fake.lines.clear();
    EXPECT_TRUE(IsFound(0));
    EXPECT_TRUE(gPythonInPlace);
    EXPECT_TRUE(fake.lines.empty());
  }
}

TEST_F(LoaderTest, ChosenLibraryIsOpenedByPathOnly) {
  TempTree tree;
  std::string lib = tree.File("opt/py/lib/libpython3.11.so.1.0");
  fake.present = {"libpython3.13.so.1.0"};  // a standard one would open
  ChooseLibrary(lib);
  EXPECT_FALSE(IsFound(0));  // no fallback, and no message
  EXPECT_EQ(fake.opened, std::vector<std::string>{lib});
  EXPECT_TRUE(fake.lines.empty());

  fake.present = {lib};
  EXPECT_TRUE(IsFound(0));
  EXPECT_EQ(fake.opened, (std::vector<std::string>{lib, lib}));
  EXPECT_EQ(fake.flags, (std::vector<int>{0x101, 0x101}));

  // The library cannot change once the table is loaded.
  REALobject held = gPythonPath;
  ChooseLibrary(tree.File("other/libpython3.12.so.1.0"));
  EXPECT_EQ(gPythonPath, held);
}

TEST_F(LoaderTest, SetPythonPathTakesExistingFilesOnly) {
  TempTree tree;
  std::string lib = tree.File("lib/libpython3.11.so.1.0");
  ChooseLibrary(lib);
  ASSERT_NE(gPythonPath, nullptr);
  EXPECT_EQ(host.refCount(gPythonPath), 1);  // the plugin's own reference

  ChooseLibrary(tree.root() + "/lib");  // a folder: no path, the old one dropped
  EXPECT_EQ(gPythonPath, nullptr);
  ChooseLibrary(lib);
  ChooseLibrary(tree.root() + "/missing.so");
  EXPECT_EQ(gPythonPath, nullptr);
  ChooseLibrary(lib);
  SetPythonPath(nullptr);
  EXPECT_EQ(gPythonPath, nullptr);

  // Without a path the standard names are used again.
  EXPECT_FALSE(IsFound(0));
  EXPECT_EQ(fake.opened, kAllFiles);
}

struct HomeCase {
  const char* name;
  const char* library;              // below the tree
  std::vector<const char*> stdlib;  // os.py files below the tree
  const char* home;                 // expected, below the tree; null: none
};

TEST_F(LoaderTest, PythonHomeIsThePrefixHoldingTheStandardLibrary) {
  const HomeCase cases[] = {
      {"library in PREFIX/lib", "p/lib/libpython3.11.so.1.0", {"p/lib/python3.11/os.py"}, "p"},
      {"library in PREFIX", "p/libpython3.11.so.1.0", {"p/lib/python3.11/os.py"}, "p"},
      {"multiarch folder", "p/lib/x86_64-linux-gnu/libpython3.11.so.1.0",
       {"p/lib/python3.11/os.py"}, "p"},
      {"no standard library", "p/lib/libpython3.11.so.1.0", {}, nullptr},
      {"another version's library", "p/lib/libpython3.11.so.1.0", {"p/lib/python3.10/os.py"},
       nullptr},
      {"library's own folder first", "p/lib/arm-linux-gnueabihf/libpython3.11.so.1.0",
       {"p/lib/arm-linux-gnueabihf/lib/python3.11/os.py", "p/lib/python3.11/os.py"},
       "p/lib/arm-linux-gnueabihf"},
  };
  for (const HomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetPlugin();
    fake.homes.clear();
    fake.decoded.clear();
    TempTree tree;
    std::string lib = tree.File(c.library);
    for (const char* file : c.stdlib) tree.File(file);
    fake.present = {lib};
    ChooseLibrary(lib);
    ASSERT_TRUE(IsFound(0));
    ASSERT_TRUE(gPythonEntryPointsLoaded);
    if (c.home) {
      std::string home = tree.root() + "/" + c.home;
      EXPECT_EQ(fake.decoded, std::vector<std::string>{home});
      ASSERT_EQ(fake.homes.size(), 1u);
      EXPECT_EQ(fake.homes[0], std::wstring(home.begin(), home.end()));
      EXPECT_EQ(fake.homes[0], std::wstring(gPythonHome));  // kept for Python
    } else {
      EXPECT_TRUE(fake.homes.empty());
      EXPECT_EQ(gPythonHome, nullptr);
    }
  }
}

TEST_F(LoaderTest, LibraryWithoutHomeFunctionsIsUsedWithoutHome) {
  for (const char* absent : {"Py_DecodeLocale", "Py_SetPythonHome", "Py_GetVersion"}) {
    SCOPED_TRACE(absent);
    ResetPlugin();
    TempTree tree;
    std::string lib = tree.File("p/lib/libpython3.11.so.1.0");
    tree.File("p/lib/python3.11/os.py");
    fake.present = {lib};
    fake.missing = {absent};
    fake.homes.clear();
    ChooseLibrary(lib);
    EXPECT_TRUE(IsFound(0));
    EXPECT_TRUE(gPythonEntryPointsLoaded);
    EXPECT_TRUE(fake.homes.empty());
    EXPECT_TRUE(fake.lines.empty());
  }
}

TEST_F(LoaderTest, LibraryNamedByTheEnvironmentVariableIsTheOnlyOneTried) {
  TempTree tree;
  std::string lib = tree.File("p/lib/libpython3.10.so.1.0");
  tree.File("p/lib/python3.10/os.py");
  fake.version = "3.10.2";
  fake.present = {"libpython3.13.so.1.0"};  // a standard one would open
  setenv("COILWORK_PYTHON", lib.c_str(), 1);
  EXPECT_FALSE(IsFound(0));
  EXPECT_EQ(fake.opened, std::vector<std::string>{lib});
  EXPECT_EQ(fake.lines, std::vector<std::string>{"Could not load " + lib +
                                                 " (named by COILWORK_PYTHON)"});
  ASSERT_EQ(gLoaderAttempts.size(), 1u);
  EXPECT_EQ(gLoaderAttempts[0].outcome, "not found");

  fake.present.insert(lib);
  fake.opened.clear();
  EXPECT_TRUE(IsFound(0));
  EXPECT_EQ(fake.opened, std::vector<std::string>{lib});
  // It gets its home as a library chosen by path does.
  ASSERT_EQ(fake.homes.size(), 1u);
  std::string home = tree.root() + "/p";
  EXPECT_EQ(fake.homes[0], std::wstring(home.begin(), home.end()));

  // SetPythonPath wins over the variable.
  ResetPlugin();
  setenv("COILWORK_PYTHON", lib.c_str(), 1);
  std::string chosen = tree.File("q/libpython3.12.so.1.0");
  fake.present.insert(chosen);
  fake.opened.clear();
  ChooseLibrary(chosen);
  EXPECT_TRUE(IsFound(0));
  EXPECT_EQ(fake.opened, std::vector<std::string>{chosen});

  // An empty variable counts as unset.
  ResetPlugin();
  setenv("COILWORK_PYTHON", "", 1);
  fake.opened.clear();
  EXPECT_TRUE(IsFound(0));
  EXPECT_EQ(fake.opened, (std::vector<std::string>{"libpython3.15.so.1.0", "libpython3.14.so.1.0",
                                                   "libpython3.13.so.1.0"}));
}

TEST_F(LoaderTest, VirtualEnvironmentBaseLibraryIsSearchedFirst) {
  auto use = [&](const std::string& folder) {
    REALobject item = host.folderItem(folder);
    int8_t used = Shared<int8_t (*)(REALobject)>(
        "UseVirtualEnvironment(folder as FolderItem) as Boolean")(item);
    host.unlock(item);
    return used != 0;
  };
  TempTree tree;
  tree.File("env/lib/python3.9/site-packages/x.py");
  std::ofstream(tree.root() + "/env/pyvenv.cfg")
      << "home = " << tree.root() << "/base/bin\n"
      << "include-system-site-packages = false\n"
      << "version = 3.9.2\n";
  EXPECT_FALSE(use(tree.root() + "/base"));  // no pyvenv.cfg
  EXPECT_FALSE(use(tree.root() + "/env/pyvenv.cfg"));  // not a folder
  EXPECT_TRUE(gVirtualEnvironment.folder.empty());
  ASSERT_TRUE(use(tree.root() + "/env/"));
  EXPECT_EQ(gVirtualEnvironment.folder, tree.root() + "/env");
  EXPECT_EQ(gVirtualEnvironment.minor, 9);
  EXPECT_FALSE(gVirtualEnvironment.systemSitePackages);

  const std::string lib = tree.root() + "/base/lib/";
#if defined(__x86_64__)
  const std::string multiarch = lib + "x86_64-linux-gnu/";
#elif defined(__arm__)
  const std::string multiarch = lib + "arm-linux-gnueabihf/";
#endif
  const std::vector<std::string> base = {lib + "libpython3.9.so.1.0",
                                         multiarch + "libpython3.9.so.1.0"};
  // None of the base's files opens: then the usual search.
  fake.foreign = {base[0]};
  EXPECT_FALSE(IsFound(0));
  EXPECT_EQ(fake.opened, Concat(base, kAllFiles));
  ASSERT_EQ(gLoaderAttempts.size(), base.size() + kAllFiles.size());
  EXPECT_EQ(gLoaderAttempts[0].file, base[0]);
  EXPECT_EQ(gLoaderAttempts[0].outcome.rfind("wrong architecture for this plugin", 0), 0u);
  EXPECT_EQ(gLoaderAttempts[1].outcome, "not found");

  // Debian's multiarch library of the base is found, with its home.
  tree.File("base/lib/python3.9/os.py");
  fake.version = "3.9.2";
  fake.present = {base[1], "libpython3.13.so.1.0"};
  fake.opened.clear();
  EXPECT_TRUE(IsFound(0));
  EXPECT_EQ(fake.opened, base);
  EXPECT_EQ(gLoaderAttempts.back().outcome, "loaded");
  ASSERT_EQ(fake.homes.size(), 1u);
  std::string home = tree.root() + "/base";
  EXPECT_EQ(fake.homes[0], std::wstring(home.begin(), home.end()));
}

}  // namespace
