// Declarations as host code writes them, "Name(a as Integer, b as String) as
// Int32", parsed into the C types of the call, and the check of a typed call
// against them.
#include <cctype>

#include "impl.h"

namespace emuhost {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool IsIdentifier(const std::string& s) {
  if (s.empty() || isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (unsigned char c : s)
    if (!isalnum(c) && c != '_') return false;
  return true;
}

// Splits at the separator where it stands outside quotes and brackets.
std::vector<std::string> SplitTop(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  int depth = 0;
  bool quoted = false;
  for (char c : s) {
    if (c == '"') quoted = !quoted;
    if (!quoted) {
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == sep && depth == 0) {
        parts.push_back(cur);
        cur.clear();
        continue;
      }
    }
    cur.push_back(c);
  }
  parts.push_back(cur);
  return parts;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> words;
  std::string cur;
  for (char c : s) {
    if (isspace(static_cast<unsigned char>(c))) {
      if (!cur.empty()) words.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) words.push_back(cur);
  return words;
}

// "x as Integer = 3", "ByRef n as Int32": the type of one parameter.
VType ParameterType(const std::string& text, const std::string& decl) {
  std::string p = Trim(SplitTop(text, '=')[0]);
  std::vector<std::string> words = Words(p);
  size_t i = 0;
  bool byRef = false;
  while (i < words.size()) {
    std::string w = Lower(words[i]);
    if (w == "byref") byRef = true;
    if (w != "byref" && w != "byval" && w != "optional" && w != "paramarray" && w != "assigns" &&
        w != "extends")
      break;
    ++i;
  }
  if (words.size() != i + 3 || Lower(words[i + 1]) != "as" || !IsIdentifier(words[i]))
    throw HostError("cannot read the parameter \"" + Trim(text) + "\" of " + decl);
  VType t = TypeOfName(words[i + 2]);
  return byRef ? VType::Ptr : t;
}

}  // namespace

VType TypeOfName(const std::string& typeName) {
  std::string t = Lower(Trim(typeName));
  if (t.size() > 2 && t.compare(t.size() - 2, 2, "()") == 0)
    throw HostError("array types cannot be passed in a typed call: " + typeName);
  if (t == "integer" || t == "int32" || t == "color") return VType::Int32;
  if (t == "uint32") return VType::UInt32;
  if (t == "int64") return VType::Int64;
  if (t == "uint64") return VType::UInt64;
  if (t == "double") return VType::Double;
  if (t == "boolean") return VType::Boolean;
  if (t == "string") return VType::String;
  if (t == "ptr" || t == "cstring" || t == "wstring" || t == "pstring") return VType::Ptr;
  if (t == "object" || t == "variant" || t == "folderitem" || t == "memoryblock")
    return VType::Object;
  if (t == "int8" || t == "int16" || t == "uint8" || t == "uint16" || t == "byte" ||
      t == "single" || t == "currency" || t == "text" || t == "auto")
    throw HostError("the typed calls do not pass the type " + typeName);
  size_t dot = t.rfind('.');
  if (dot != std::string::npos) {
    // A dotted name is an enum of a class ("Coilwork.PreferredVersionValues"),
    // unless it names a registered class.
    Host::Impl& impl = I();
    std::string owner = Trim(typeName).substr(0, dot);
    std::string member = Lower(Trim(typeName).substr(dot + 1));
    if (ClassInfo* c = impl.findClass(0, owner))
      if (c->enums.count(member)) return VType::Int32;
    if (impl.findClass(0, Trim(typeName))) return VType::Object;
    for (const std::string& part : SplitTop(t, '.'))
      if (!IsIdentifier(part)) throw HostError("cannot read the type " + typeName);
    return VType::Int32;
  }
  if (!IsIdentifier(t)) throw HostError("cannot read the type " + typeName);
  return VType::Object;  // any other name is a class
}

const char* VTypeName(VType t) {
  switch (t) {
    case VType::Void:
      return "nothing";
    case VType::Int32:
      return "Int32 (int32_t)";
    case VType::UInt32:
      return "UInt32 (uint32_t)";
    case VType::Int64:
      return "Int64 (int64_t)";
    case VType::UInt64:
      return "UInt64 (uint64_t)";
    case VType::Double:
      return "Double (double)";
    case VType::Boolean:
      return "Boolean (int8_t)";
    case VType::String:
      return "String (Str)";
    case VType::Ptr:
      return "Ptr (a pointer)";
    case VType::Object:
      return "Object (Obj)";
  }
  return "?";
}

Declaration Declaration::parse(const std::string& text) {
  Declaration d;
  std::string s = Trim(text);
  std::string rest;
  size_t open = s.find('(');
  if (open != std::string::npos) {
    int depth = 0;
    bool quoted = false;
    size_t close = std::string::npos;
    for (size_t i = open; i < s.size(); ++i) {
      if (s[i] == '"') quoted = !quoted;
      if (quoted) continue;
      if (s[i] == '(') ++depth;
      if (s[i] == ')' && --depth == 0) {
        close = i;
        break;
      }
    }
    if (close == std::string::npos) throw HostError("unbalanced parentheses in " + text);
    d.name = Trim(s.substr(0, open));
    std::string params = s.substr(open + 1, close - open - 1);
    if (!Trim(params).empty())
      for (const std::string& p : SplitTop(params, ',')) d.params.push_back(ParameterType(p, text));
    rest = Trim(s.substr(close + 1));
  } else {
    std::vector<std::string> words = Words(s);
    if (words.empty()) throw HostError("empty declaration");
    d.name = words[0];
    rest = Trim(s.substr(s.find(words[0]) + words[0].size()));
  }
  if (!IsIdentifier(d.name)) throw HostError("cannot read the name of " + text);
  if (!rest.empty()) {
    std::vector<std::string> words = Words(rest);
    if (words.size() != 2 || Lower(words[0]) != "as")
      throw HostError("cannot read the result type of " + text);
    d.result = TypeOfName(words[1]);
  }
  return d;
}

void Host::checkCall(const Declaration& d, const std::vector<VType>& args, VType result,
                     const std::string& what) const {
  if (args.size() != d.params.size())
    throw HostError(what + ": declared with " + std::to_string(d.params.size()) +
                    " parameter(s), called with " + std::to_string(args.size()));
  for (size_t i = 0; i < args.size(); ++i)
    if (args[i] != d.params[i])
      throw HostError(what + ": parameter " + std::to_string(i + 1) + " is declared " +
                      VTypeName(d.params[i]) + " but the call passes " + VTypeName(args[i]));
  if (result != d.result)
    throw HostError(what + ": the result is declared " + VTypeName(d.result) +
                    " but the call expects " + VTypeName(result));
}

}  // namespace emuhost
