// What the built library shows the dynamic loader: exactly the plugin's entry
// and the binding functions in its dynamic symbol table, and no dependency
// beyond the C and C++ runtimes. The file is read as ELF directly (32-bit on
// armhf, 64-bit on x86_64), so no binutils for the target are needed.
#include <cxxabi.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "coilwork/plugin_interface.h"
#include "emuhost/host.h"

namespace {

struct DynamicInfo {
  std::set<std::string> exported;  // demangled where the name is mangled
  std::vector<std::string> needed;
};

std::string Demangle(const char* name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || !text) return name;
  std::string result(text);
  std::free(text);
  return result;
}

// Reads what the dynamic loader sees: defined global symbols of default or
// protected visibility in .dynsym, and the DT_NEEDED entries of .dynamic.
template <class Ehdr, class Shdr, class Sym, class Dyn>
bool ReadDynamic(const std::vector<char>& file, DynamicInfo& info) {
  auto at = [&](size_t offset, size_t size) -> const char* {
    return offset + size <= file.size() ? file.data() + offset : nullptr;
  };
  const auto* header = reinterpret_cast<const Ehdr*>(at(0, sizeof(Ehdr)));
  if (!header || header->e_shentsize != sizeof(Shdr)) return false;
  const auto* sections =
      reinterpret_cast<const Shdr*>(at(header->e_shoff, sizeof(Shdr) * header->e_shnum));
  if (!sections) return false;

  auto stringAt = [&](const Shdr& table, size_t offset) -> std::string {
    const char* base = at(table.sh_offset, table.sh_size);
    if (!base || offset >= table.sh_size) return {};
    return std::string(base + offset, strnlen(base + offset, table.sh_size - offset));
  };

  bool sawSymbols = false;
  for (size_t i = 0; i < header->e_shnum; ++i) {
    const Shdr& section = sections[i];
    if (section.sh_link >= header->e_shnum) continue;
    const Shdr& strings = sections[section.sh_link];
    if (section.sh_type == SHT_DYNSYM) {
      sawSymbols = true;
      const auto* symbols = reinterpret_cast<const Sym*>(at(section.sh_offset, section.sh_size));
      if (!symbols) return false;
      for (size_t n = 1; n < section.sh_size / sizeof(Sym); ++n) {
        const Sym& s = symbols[n];
        unsigned bind = s.st_info >> 4;
        unsigned visibility = s.st_other & 0x3;
        if (s.st_shndx == SHN_UNDEF) continue;
        if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
        if (visibility != STV_DEFAULT && visibility != STV_PROTECTED) continue;
        info.exported.insert(Demangle(stringAt(strings, s.st_name).c_str()));
      }
    } else if (section.sh_type == SHT_DYNAMIC) {
      const auto* entries = reinterpret_cast<const Dyn*>(at(section.sh_offset, section.sh_size));
      if (!entries) return false;
      for (size_t n = 0; n < section.sh_size / sizeof(Dyn) && entries[n].d_tag != DT_NULL; ++n)
        if (entries[n].d_tag == DT_NEEDED)
          info.needed.push_back(stringAt(strings, entries[n].d_un.d_val));
    }
  }
  return sawSymbols;
}

DynamicInfo ReadLibrary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DynamicInfo info;
  if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
    ADD_FAILURE() << path << " is not an ELF file";
    return info;
  }
  bool ok = file[EI_CLASS] == ELFCLASS64
                ? ReadDynamic<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Elf64_Dyn>(file, info)
                : ReadDynamic<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Elf32_Dyn>(file, info);
  if (!ok) ADD_FAILURE() << path << ": no readable dynamic symbol table";
  return info;
}

std::string WithoutSpaces(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  return s;
}

// ------------------------------------------- the expected names, from the tables
// The same tables that declare and define the binding functions name them
// here: C names as they stand, C++ overloads as their demangled signatures.

#define STR_(...) #__VA_ARGS__
#define STR(...) STR_(__VA_ARGS__)

struct Expected {
  std::vector<std::string> untyped, properties, arrays;
};

Expected ExpectedBindings() {
  Expected e;
  std::vector<std::string>* into = &e.untyped;
#define ROW(kind, name, ...) into->push_back(#name);
#define OVERLOAD(kind, R, name, named, params) \
  into->push_back(#name "(" STR(COILWORK_TYPES params) ")");
  COILWORK_UNTYPED_BINDINGS(ROW)
  COILWORK_UNTYPED_OVERLOADS(OVERLOAD)

  into = &e.properties;
#define PROPERTY(T, ...) into->insert(into->end(), {"REALGetPropValue" #T, "REALSetPropValue" #T});
#define PROP_GET_FWD(T) \
  into->push_back("REALGetPropValue(REALobjectStruct*, char const*, " #T "*)");
#define PROP_GET_OWN PROP_GET_FWD
#define PROP_GET_NO(T)
#define PROP_SET_FWD(T) into->push_back("REALSetPropValue(REALobjectStruct*, char const*, " #T ")");
#define PROP_SET_NO(T)
#define PROPERTY_OVERLOAD(T, getKind, getNamed, setKind, setNamed) \
  PROP_GET_##getKind(T) PROP_SET_##setKind(T)
  COILWORK_PROPERTY_TYPES(PROPERTY)
  COILWORK_PROPERTY_OVERLOADS(PROPERTY_OVERLOAD)

  into = &e.arrays;
#define ARRAY(T, ...)       \
  into->insert(into->end(), \
               {"REALGetArrayValue" #T, "REALSetArrayValue" #T, "REALInsertArrayValue" #T});
#define ARRAY_GET_FWD(T) into->push_back("REALGetArrayValue(REALarrayStruct*, int, " #T "*)");
#define ARRAY_GET_OWN ARRAY_GET_FWD
#define ARRAY_SET_FWD(T) into->push_back("REALSetArrayValue(REALarrayStruct*, int, " #T ")");
#define ARRAY_INSERT_FWD(T) into->push_back("REALInsertArrayValue(REALarrayStruct*, int, " #T ")");
#define ARRAY_INSERT_NO(T)
#define ARRAY_OVERLOAD(T, named, getKind, setKind, insertKind) \
  ARRAY_GET_##getKind(T) ARRAY_SET_##setKind(T) ARRAY_INSERT_##insertKind(T)
  COILWORK_ARRAY_TYPES(ARRAY)
  COILWORK_ARRAY_OVERLOADS(ARRAY_OVERLOAD)
  COILWORK_ARRAY_BINDINGS(ROW)
  return e;
}

const char* const kEntryNames[] = {"REALPluginMain", "PluginEntry", "HCallResolver",
                                   "SetClassConsoleSafe", "SetClassWebOnly"};

TEST(Exports, TheTablesDescribeEveryFamilyInFull) {
  Expected e = ExpectedBindings();
  EXPECT_EQ(e.untyped.size(), 147u);
  EXPECT_EQ(e.properties.size(), 70u);
  EXPECT_EQ(e.arrays.size(), 114u);
  std::set<std::string> distinct;
  for (auto* family : {&e.untyped, &e.properties, &e.arrays})
    for (const std::string& name : *family) distinct.insert(WithoutSpaces(name));
  EXPECT_EQ(distinct.size(), 331u) << "a name appears in more than one row";
}

TEST(Exports, DynamicSymbolTableHoldsExactlyTheEntryAndBindingNames) {
  DynamicInfo info = ReadLibrary(emuhost::Host::defaultPluginPath());
  std::set<std::string> actual;
  for (const std::string& name : info.exported) actual.insert(WithoutSpaces(name));

  std::set<std::string> expected(std::begin(kEntryNames), std::end(kEntryNames));
  Expected e = ExpectedBindings();
  for (auto* family : {&e.untyped, &e.properties, &e.arrays})
    for (const std::string& name : *family) expected.insert(WithoutSpaces(name));

  std::vector<std::string> missing, stray;
  std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                      std::back_inserter(missing));
  std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                      std::back_inserter(stray));
  EXPECT_TRUE(missing.empty()) << "not exported: " << ::testing::PrintToString(missing);
  EXPECT_TRUE(stray.empty()) << "exported but not a binding: " << ::testing::PrintToString(stray);
  EXPECT_EQ(actual.size(), 336u);
}

TEST(Exports, NeedsOnlyTheCAndCxxRuntimes) {
  DynamicInfo info = ReadLibrary(emuhost::Host::defaultPluginPath());
  const char* const allowed[] = {"libc.so.", "libstdc++.so.", "libgcc_s.so.", "libm.so.",
                                 "ld-linux"};
  EXPECT_FALSE(info.needed.empty());
  for (const std::string& needed : info.needed) {
    EXPECT_EQ(needed.find("python"), std::string::npos) << needed;
    bool known = std::any_of(std::begin(allowed), std::end(allowed),
                             [&](const char* prefix) { return needed.rfind(prefix, 0) == 0; });
    EXPECT_TRUE(known) << "unexpected dependency " << needed;
  }
}

}  // namespace
