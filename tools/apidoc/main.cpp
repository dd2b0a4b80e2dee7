// apidoc: writes the reference of every class and member the plugin
// registers, read from the records themselves.
//
// The plugin is loaded into the emulated host as the real host loads it. For
// each class in the order it was registered, and then for each module, the
// program lists the records: constructors, properties, methods, shared
// methods, events, constants and enums, each with its declaration exactly as
// registered. The text beside each declaration comes from the record too: a
// declaration written with DOC(...) carries, after its terminating NUL, a
// marker byte, a one-line description, a separator and what the member
// answers to nil, to a missing interpreter and to a failure. The host never
// reads past the NUL, so the records stay what the host expects.
//
//   apidoc FILE           writes the reference to FILE
//   apidoc --check FILE   exits 1 when FILE differs from what would be written
//
// A record without its text is an error: every member is documented where it
// is registered, or the program says which one is not.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emuhost/host.h"

namespace {

struct Doc {
  std::string declaration;
  std::string what;
  std::string faults;
};

std::vector<std::string> gMissing;

// The declaration and the text stored behind it.
Doc Read(const char* record, const std::string& where) {
  Doc doc;
  if (!record) return doc;
  doc.declaration = record;
  const char* after = record + doc.declaration.size() + 1;
  if (*after != '\x1e') {
    gMissing.push_back(where + " " + doc.declaration);
    return doc;
  }
  const char* text = after + 1;
  const char* separator = strchr(text, '\x1f');
  if (!separator) {
    doc.what = text;
  } else {
    doc.what.assign(text, separator);
    doc.faults = separator + 1;
  }
  return doc;
}

// Markdown table cells: pipes escaped, declarations in code spans.
std::string Cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '|') out += "\\|";
    else out += c;
  }
  return out;
}

std::string Code(const std::string& text) { return "`" + Cell(text) + "`"; }

bool IsConstructor(const std::string& declaration) {
  return declaration.compare(0, 12, "Constructor(") == 0;
}

void Table(std::ostringstream& out, const char* heading, const std::vector<Doc>& rows,
           bool withFaults = true) {
  if (rows.empty()) return;
  out << "\n### " << heading << "\n\n";
  if (withFaults) {
    out << "| Declaration | What it does | Nil, no interpreter, failure |\n|---|---|---|\n";
    for (const Doc& d : rows)
      out << "| " << Code(d.declaration) << " | " << Cell(d.what) << " | " << Cell(d.faults)
          << " |\n";
  } else {
    out << "| Declaration | What it is |\n|---|---|\n";
    for (const Doc& d : rows) out << "| " << Code(d.declaration) << " | " << Cell(d.what) << " |\n";
  }
}

void Class(std::ostringstream& out, const REALclassDefinition& c) {
  Doc self = Read(c.name, "class");
  out << "\n## " << self.declaration << "\n\n";
  if (c.superName) out << "Superclass: `" << c.superName << "`.\n\n";
  out << self.what << "\n";
  if (!self.faults.empty()) out << "\n" << self.faults << "\n";

  std::string where = self.declaration;
  std::vector<Doc> constructors, methods, shared, properties, events, constants, enums;
  for (uintptr_t i = 0; i < c.methodCount; ++i) {
    Doc d = Read(c.methods[i].declaration, where);
    (IsConstructor(d.declaration) ? constructors : methods).push_back(d);
  }
  for (uintptr_t i = 0; i < c.propertyCount; ++i) {
    const REALproperty& p = c.properties[i];
    Doc d = Read(p.name, where);
    d.declaration += std::string(" as ") + (p.type ? p.type : "");
    if (!p.setter) d.declaration += " (read-only)";
    properties.push_back(d);
  }
  for (uintptr_t i = 0; i < c.sharedMethodCount; ++i)
    shared.push_back(Read(c.sharedMethods[i].declaration, where));
  for (uintptr_t i = 0; i < c.eventCount; ++i) events.push_back(Read(c.events[i].declaration, where));
  for (uintptr_t i = 0; i < c.constantCount; ++i)
    constants.push_back(Read(c.constants[i].declaration, where));
  for (uintptr_t i = 0; i < c.enumCount; ++i) {
    const REALenum& e = c.enums[i];
    Doc d = Read(e.name, where);
    std::string values;
    for (uintptr_t k = 0; k < e.numFields; ++k) values += (k ? ", " : "") + std::string(e.fields[k]);
    d.declaration += " as " + std::string(e.type ? e.type : "Integer");
    d.what += " Values: " + values + ".";
    enums.push_back(d);
  }
  Table(out, "Constructors", constructors);
  Table(out, "Properties", properties);
  Table(out, "Methods", methods);
  Table(out, "Shared methods", shared);
  Table(out, "Events", events, false);
  Table(out, "Constants", constants, false);
  Table(out, "Enums", enums, false);
}

void Module(std::ostringstream& out, const REALmoduleDefinition& m) {
  Doc self = Read(m.name, "module");
  out << "\n## Module " << self.declaration << "\n\n" << self.what << "\n";
  std::vector<Doc> methods, constants;
  for (uintptr_t i = 0; i < m.methodCount; ++i)
    methods.push_back(Read(m.methods[i].declaration, self.declaration));
  Table(out, "Methods", methods);
  if (m.constantCount == 0) return;
  out << "\n### Constants\n\n| Declaration | Python exception | What it is |\n|---|---|---|\n";
  for (uintptr_t i = 0; i < m.constantCount; ++i) {
    Doc d = Read(m.constants[i].declaration, self.declaration);
    // The exception's name is the text before the first space of the
    // description ("ValueError: ...").
    std::string exception = d.what.substr(0, d.what.find(':'));
    std::string rest = d.what.find(':') == std::string::npos ? "" : d.what.substr(d.what.find(':') + 1);
    while (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    out << "| " << Code(d.declaration) << " | `" << exception << "` | " << Cell(rest) << " |\n";
  }
}

std::string Reference() {
  emuhost::Host& host = emuhost::Host::get();
  host.load();
  std::ostringstream out;
  out << "# Coilwork reference\n\n"
         "Every class and member the plugin registers with its host, in the order of\n"
         "registration, with its declaration exactly as registered. Generated from the\n"
         "plugin's own records by `tools/apidoc` (`scripts/apidoc.sh` writes this file;\n"
         "the test command fails when it is out of date). Do not edit by hand.\n\n"
         "The last column says what a member answers when things go wrong, in the terms\n"
         "of [faults.md](faults.md): *neutral* is 0, 0.0, False, nil or an empty holder\n"
         "with nothing else done and Python not called; *error pending* is the neutral\n"
         "result with a Python exception left for `Coilwork.ErrorOccurred`, `GetError`\n"
         "and `ClearError`; *LastError n* is the code a `Python3Parameters` setter\n"
         "records. \"No interpreter\" covers no Python library, before `Init` and after\n"
         "`Finalize`, and holders whose object belongs to a stopped interpreter.\n";
  for (const std::string& entry : host.registrationLog()) {
    if (entry.compare(0, 6, "class ") == 0) {
      if (const REALclassDefinition* c = host.classDefinition(entry.substr(6))) Class(out, *c);
    } else if (entry.compare(0, 7, "module ") == 0) {
      if (const REALmoduleDefinition* m = host.moduleDefinition(entry.substr(7))) Module(out, *m);
    }
  }
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  bool check = argc == 3 && strcmp(argv[1], "--check") == 0;
  if (argc != 2 && !check) {
    fprintf(stderr, "usage: apidoc [--check] FILE\n");
    return 2;
  }
  const char* file = argv[argc - 1];
  std::string reference = Reference();
  if (!gMissing.empty()) {
    for (const std::string& m : gMissing) fprintf(stderr, "apidoc: no description: %s\n", m.c_str());
    return 1;
  }
  if (check) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream current;
    current << in.rdbuf();
    if (current.str() != reference) {
      fprintf(stderr,
              "apidoc: %s is out of date with the registered records; regenerate it with "
              "scripts/apidoc.sh and commit it\n",
              file);
      return 1;
    }
    printf("apidoc: %s is current\n", file);
    return 0;
  }
  std::ofstream outFile(file, std::ios::binary);
  outFile << reference;
  return outFile ? 0 : 1;
}
