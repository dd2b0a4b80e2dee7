// Python tests: the plugin loaded into the emulated host, with the Python
// library named by $COILWORK_TEST_PYTHON chosen through SetPythonPath and an
// interpreter started with Init. One library per process.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "emuhost/host.h"

namespace coiltest {

using emuhost::Host;
using emuhost::Obj;
using emuhost::Ref;
using emuhost::SRef;
using emuhost::Str;

// The library under test ($COILWORK_TEST_PYTHON); the run stops at once
// when it is not set.
std::string PythonLibrary();
// "3.11" and the like, read from the library's file name.
std::string PythonVersion();
int PythonMinor();

// Loads the plugin (once), chooses the library, and makes sure an
// interpreter runs with the module folder on its sys.path. Safe to call
// after a test stopped the interpreter: it starts a new one.
void EnsureInterpreter();

// A folder put on sys.path of every interpreter; modules written there with
// WriteModule are importable with GetModule.
std::string ModuleDir();
void WriteModule(const std::string& name, const std::string& source);

class PythonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Host& host = Host::get();

  // A new host string (UTF-8); the test owns the reference.
  SRef S(const std::string& text) { return SRef(host.newString(text)); }
  // Bytes of a host string as stored ("" for nil).
  std::string T(Str s) { return host.bytes(s); }

  // Writes name.py with the source and imports it: a Python3Module (one
  // reference for the caller), or nil when the import failed. A name used
  // before in the same interpreter is reloaded, so the new source counts.
  Obj Import(const std::string& name, const std::string& source);
  // Imports an existing module.
  Obj GetModule(const std::string& name);

  // Coilwork shared methods.
  bool ErrorOccurred();
  std::string GetError();  // "" when none; nothing stays pending afterwards
  void ClearError();

  // Runs statements as the body of a new scratch module and returns it (a
  // Python3Module), or nil when they raised.
  Obj Run(const std::string& code);

  // A symbol of the Python library under test (already loaded by the plugin).
  static void* PySym(const char* name) {
    static void* lib = dlopen(PythonLibrary().c_str(), RTLD_LAZY | RTLD_NOLOAD);
    return lib ? dlsym(lib, name) : nullptr;
  }

  // True when the pending error is of the named built-in exception type
  // ("OverflowError"); nothing is pending afterwards.
  bool PendingIs(const std::string& type) {
    auto occurred = reinterpret_cast<void* (*)()>(PySym("PyErr_Occurred"));
    auto matches = reinterpret_cast<int (*)(void*, void*)>(PySym("PyErr_GivenExceptionMatches"));
    auto exc = static_cast<void**>(PySym(("PyExc_" + type).c_str()));
    if (!occurred || !matches || !exc) {
      ADD_FAILURE() << "no Python symbol for " << type;
      return false;
    }
    void* pending = occurred();
    bool same = pending && matches(pending, *exc);
    if (pending) ClearError();
    return same;
  }

  // Live host objects and strings when the test started.
  size_t startObjects = 0;
  size_t startStrings = 0;
};

// Reads Python's own reference count of an object (the first word of its
// header). Returns -1 for null.
intptr_t RefCountOf(void* pyObject);

}  // namespace coiltest
