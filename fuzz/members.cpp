// The members the fuzzer calls: every method, setter, property getter and
// shared method of every plugin class, read from the records the plugin
// registered, with the declared class of each object parameter.
#include <string>
#include <vector>

#include "fuzz.h"

namespace coilfuzz {
namespace {

// The declared type names of a declaration's parameters, then of its result.
std::vector<std::string> TypeNames(const std::string& decl) {
  std::vector<std::string> names;
  auto typeOf = [](std::string part) {
    size_t as = part.rfind(" as ");
    if (as == std::string::npos) as = part.rfind(" As ");
    if (as == std::string::npos) return std::string();
    std::string t = part.substr(as + 4);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    while (!t.empty() && t.front() == ' ') t.erase(0, 1);
    return t;
  };
  size_t open = decl.find('('), close = decl.rfind(')');
  if (open != std::string::npos && close != std::string::npos) {
    std::string params = decl.substr(open + 1, close - open - 1);
    size_t start = 0;
    while (params.find_first_not_of(' ') != std::string::npos && start <= params.size()) {
      size_t comma = params.find(',', start);
      names.push_back(typeOf(" " + params.substr(start, comma - start)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  names.push_back(typeOf(" " + decl.substr(close == std::string::npos ? 0 : close + 1)));
  return names;
}

Member MakeMember(const char* cls, const std::string& decl, const Declaration& d, void* fn) {
  Member m;
  m.cls = cls;
  m.decl = decl;
  m.d = d;
  m.fn = fn;
  return m;
}

// Fills objectTypes: the class name of each object parameter, "" elsewhere.
void NoteObjectTypes(Member& m, const std::string& decl) {
  std::vector<std::string> names = TypeNames(decl);
  m.resultType = names.back();
  std::vector<VType> params = m.d.params;
  if (m.setter) params.push_back(m.d.result);
  for (size_t i = 0; i < params.size(); i++) {
    std::string name = i < m.d.params.size() ? names[i] : names.back();
    m.objectTypes.push_back(params[i] == VType::Object ? name : std::string());
  }
}

}  // namespace

const char* const kClasses[] = {
    "Python3EntityBase", "Python3Entity",   "Python3Bytes",    "Python3List",
    "CoilworkConsoleOutput", "Python3Object", "Python3Result", "Python3Parameters",
    "Python3Dictionary", "Python3Function", "Python3Class",   "Python3Instance",
    "Python3Module",     "Python3XojoClass", "Python3XojoModule", "Coilwork",
    "Python3Iterator",   "Python3Buffer",     "Python3Interpreter",
};
const size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

std::vector<Member> gMembers;
std::vector<Member> gShared;

std::string MemberName(const Member& m) { return m.cls + "." + m.decl + (m.setter ? " (setter)" : ""); }

void CollectMembers() {
  for (const char* cls : kClasses) {
    const REALclassDefinition* def = host.classDefinition(cls);
    if (!def) continue;
    for (uintptr_t i = 0; i < def->methodCount; i++) {
      const REALmethodDefinition& m = def->methods[i];
      Member mem = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function));
      NoteObjectTypes(mem, m.declaration);
      gMembers.push_back(mem);
      if (m.setterFunction) {
        Member set = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                   reinterpret_cast<void*>(m.setterFunction));
        set.setter = true;
        NoteObjectTypes(set, m.declaration);
        gMembers.push_back(set);
      }
    }
    for (uintptr_t i = 0; i < def->propertyCount; i++) {
      const REALproperty& p = def->properties[i];
      Member mem = MakeMember(cls, p.name, Declaration::parse(std::string("P() as ") + p.type),
                 reinterpret_cast<void*>(p.getter));
      mem.property = true;
      mem.param = p.param;
      NoteObjectTypes(mem, "P() as " + std::string(p.type));
      gMembers.push_back(mem);
    }
    for (uintptr_t i = 0; i < def->sharedMethodCount; i++) {
      const REALmethodDefinition& m = def->sharedMethods[i];
      Member mem = MakeMember(cls, m.declaration, Declaration::parse(m.declaration),
                 reinterpret_cast<void*>(m.function));
      mem.shared = true;
      NoteObjectTypes(mem, m.declaration);
      gShared.push_back(mem);
    }
  }
}

}  // namespace coilfuzz
