// What the loader (loader.cpp) reads beyond the entry-point table, as the
// host's shared methods set it, and what it tells of its search: the library
// file SetPythonPath names, the virtual environment, and the files tried.
#pragma once

#include <string>
#include <vector>

#include "coilwork/plugin_interface.h"

extern REALobject gPythonPath;  // retained FolderItem of a chosen library, or nil

// The virtual environment chosen with UseVirtualEnvironment: its folder
// (empty: none) and what its pyvenv.cfg says.
struct VirtualEnvironment {
  std::string folder;
  std::string home;             // folder of the base interpreter ("home")
  int minor = -1;               // 3.minor from "version", -1 when not given
  bool systemSitePackages = false;
};
extern VirtualEnvironment gVirtualEnvironment;

// Every library file the last search tried, in order, with what happened
// ("loaded", "not found", ...). Read by the diagnostic program.
struct LoaderAttempt {
  std::string file;
  std::string outcome;
};
extern std::vector<LoaderAttempt> gLoaderAttempts;

// The Python home for a library file of Python 3.minor: the prefix whose
// lib/python3.minor holds the standard library (the library's folder, the
// parent of a folder named lib, or the prefix above a multiarch folder).
bool FindPythonHome(const std::string& library, int minor, std::string* home);
