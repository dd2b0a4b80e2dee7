// The checks of what the plugin reads and writes in Python's objects
// directly, made when a library is loaded and before anything of it runs:
// each compares the layout the plugin expects of that version with the
// library's own answers (its static type objects, their sizes and None).
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// What the loader found in the library. Addresses are the library's own
// objects; a size of 0 means that it could not be told.
struct LayoutFacts {
  int minor = -1;                     // 3.minor, -1 when unknown
  const void* tupleType = nullptr;    // PyTuple_Type
  size_t tupleTypeSize = 0;           // its size as the library's symbol table gives it
  const void* typeType = nullptr;     // PyType_Type
  const void* listType = nullptr;     // PyList_Type
  const void* none = nullptr;         // _Py_NoneStruct, where exported
};

// One check: its name, what it guards, and what was found.
struct LayoutCheck {
  std::string name;
  std::string guards;
  bool passed = false;
  std::string outcome;
};

// What the checks decide.
struct LayoutVerdict {
  bool usable = false;         // false: the library is refused
  std::string refusal;         // why, naming the version and the failed check
  size_t tupleItemsOffset = 0; // bytes from a tuple's start to its items
  bool tupleHashCached = false;
  bool inPlace = true;         // false: objects only through Python's functions
  std::vector<LayoutCheck> checks;
};

// The newest minor version whose layouts this plugin knows from its headers.
constexpr int kNewestKnownMinor = 15;

LayoutVerdict CheckLayouts(const LayoutFacts& facts);

// Bytes from a tuple's start to its items in 3.minor, as its headers lay it
// out (a cached hash stands before them from 3.14 on); 0 where the version
// is newer than the plugin knows or not told.
size_t KnownTupleItems(int minor);

// The checks of the library loaded last, for the diagnostic program.
extern std::vector<LayoutCheck> gLayoutChecks;
