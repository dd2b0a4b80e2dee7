// The emulated host: the host's side of the plugin contract, in-process.
//
// It keeps reference-counted objects and strings, registers classes and
// modules, runs constructors and destructors in order, finds methods by
// declaration, raises events, offers ObjectArray, MemoryBlock and FolderItem,
// and loads the plugin with dlopen, calling REALPluginMain with its resolver.
//
// For tests it adds typed calls by declaration, event handlers, live counts,
// and entry overrides with look-up counts.
//
// Namespaces: every plugin library loaded (the first load(), each other path
// given to load(), each loadCopy()) gets a resolver of its own, and its class
// and module registrations and class-name look-ups ("pluginObjectType") stay
// in its own namespace. A copy therefore registers its own eighteen classes,
// with their own records and data offsets, beside the main plugin's, and
// neither disturbs the other. The host classes (ObjectArray, MemoryBlock,
// FolderItem) are seen from every namespace. Classes that tests register
// through resolve("PluginRegisterClass") share the first plugin's namespace,
// which is also the one the name-based API below looks in.
//
// Handles are checked: locking, releasing or reading an object or string that
// is not live (a double release, a stale pointer) aborts the process with a
// message, where a real host would corrupt memory.
//
// Calls are expected one at a time, as the real host makes them.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "coilwork/plugin_interface.h"

namespace emuhost {

using Obj = REALobject;
using Str = REALstring;

constexpr uint32_t kUTF8 = 0x08000100;
constexpr uint32_t kASCII = 0x0600;
constexpr uint32_t kLatin1 = 0x0201;
constexpr uint32_t kWinLatin1 = 0x0500;
constexpr uint32_t kUTF16 = 0x0100;
constexpr uint32_t kUnknown = 0xFFFF;

// Raised by the typed calls when a declaration is unknown or the C++ argument
// types do not match the declared ones: a fault in the test, not the plugin.
struct HostError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One loaded copy of a plugin library.
struct Plugin {
  void* handle = nullptr;
  std::string path;
  int space = 0;  // the namespace its registrations went to
  void* symbol(const char* name) const;
  template <class F>
  F sym(const char* name) const {
    return reinterpret_cast<F>(symbol(name));
  }
};

// The C type of each declared host type, used to check typed calls.
enum class VType { Void, Int32, UInt32, Int64, UInt64, Double, Boolean, String, Ptr, Object };

template <class T>
constexpr VType vtypeOf() {
  // clang-format off
  if constexpr (std::is_same_v<T, void>) return VType::Void;
  else if constexpr (std::is_same_v<T, int32_t>) return VType::Int32;
  else if constexpr (std::is_same_v<T, uint32_t>) return VType::UInt32;
  else if constexpr (std::is_same_v<T, int64_t>) return VType::Int64;
  else if constexpr (std::is_same_v<T, uint64_t>) return VType::UInt64;
  else if constexpr (std::is_same_v<T, double>) return VType::Double;
  else if constexpr (std::is_same_v<T, int8_t>) return VType::Boolean;
  else if constexpr (std::is_same_v<T, Str>) return VType::String;
  else if constexpr (std::is_same_v<T, Obj>) return VType::Object;
  else if constexpr (std::is_pointer_v<T>) return VType::Ptr;
  else static_assert(!sizeof(T), "no host type for this C++ type");
  // clang-format on
}

// A parsed declaration: "Name(a as Integer, b as String) as Int32".
struct Declaration {
  std::string name;
  std::vector<VType> params;
  VType result = VType::Void;
  static Declaration parse(const std::string& text);  // throws HostError
};

class Host {
 public:
  static Host& get();

  // --- Loading. The first load() of a path dlopens it and calls
  // REALPluginMain; later calls return the same Plugin. loadCopy() copies the
  // file to a fresh temporary name so the copy has its own globals (binding
  // tests that need unfilled slots). Default path: $COILWORK_PLUGIN, else the
  // build's libcoilwork.so.
  static std::string defaultPluginPath();
  Plugin& load(const std::string& path = defaultPluginPath());
  Plugin loadCopy(const std::string& path = defaultPluginPath());
  void* resolve(const char* name);  // the resolver of the first plugin's namespace
  static REALResolver resolver();   // the same as a plain C function

  // --- Entry control for binding tests.
  void setEntry(const std::string& name, void* fn);  // install or replace
  void removeEntry(const std::string& name);         // resolver answers null
  void restoreEntries();                             // back to the host's own
  int lookupCount(const std::string& name) const;
  void clearLookupCounts();
  // "version 13", "class <name>", "module <name>" in the order they happened.
  const std::vector<std::string>& registrationLog() const;
  const std::vector<std::string>& registrationLog(const Plugin& plugin) const;
  int32_t pluginVersion() const;  // last RegisterPluginVersion value, or -1

  // --- Strings. New strings carry one reference for the caller.
  Str newString(const std::string& bytes, uint32_t encoding = kUTF8);
  std::string bytes(Str s) const;  // as stored; "" for nil
  uint32_t encoding(Str s) const;  // kUTF8 for nil
  // The text converted to UTF-8 (throws HostError when not convertible).
  std::string utf8(Str s) const;
  void lockString(Str s);
  void unlockString(Str s);
  int stringRefCount(Str s) const;
  size_t liveStrings() const;
  // String data filled by "PluginGetStringData" and not yet disposed.
  size_t liveStringData() const;

  // --- Classes and objects. New objects carry one reference for the caller.
  REALclassRef classRef(const std::string& name) const;  // null when unknown
  const REALclassDefinition* classDefinition(const std::string& name) const;
  const REALmoduleDefinition* moduleDefinition(const std::string& name) const;
  Obj newInstance(const std::string& className);  // no "Constructor" is called
  void lock(Obj o);
  void unlock(Obj o);
  int refCount(Obj o) const;
  std::string className(Obj o) const;
  bool isA(Obj o, const std::string& className) const;
  size_t liveObjects() const;
  size_t liveObjects(const std::string& className) const;  // of exactly that class

  // --- Members by declaration (compared without regard to case or spaces).
  // Each throws HostError when the class has no such member.
  void* method(const std::string& className, const std::string& decl) const;
  void* setter(const std::string& className, const std::string& decl) const;
  void* sharedMethod(const std::string& className, const std::string& decl) const;
  void* propertyGetter(const std::string& className, const std::string& name) const;
  const REALproperty* property(const std::string& className, const std::string& name) const;
  std::string declarationOf(const std::string& className, const std::string& decl,
                            bool shared) const;  // the record's own text
  // The records behind the typed calls; an instance's members are looked up
  // in its own class and its superclasses. Each throws HostError when there is
  // no such member or it has no function.
  const REALmethodDefinition* methodRecord(Obj self, const std::string& decl) const;
  const REALmethodDefinition* sharedMethodRecord(const std::string& className,
                                                 const std::string& decl) const;
  const REALproperty* propertyRecord(Obj self, const std::string& name) const;

  // Typed calls that read like host code. Argument and result types are
  // checked against the declaration (HostError on a mismatch).
  //   Obj p = host.create("Python3Parameters", "Constructor(parameterCount as Integer)", 2);
  //   host.assign(p, "Int32Value(index as Integer) as Int32", 0, 7);
  //   int32_t v = host.call<int32_t>(p, "Int32Value(index as Integer) as Int32", 0);
  //   Obj m = host.callShared<Obj>("Coilwork", "GetModule(name as String) as Python3Module", s);
  //   Str n = host.prop<Str>(m, "Name");
  template <class R = void, class... A>
  R call(Obj self, const std::string& decl, A... args);
  template <class... A>
  void assign(Obj self, const std::string& decl, A... args);  // value last
  template <class R = void, class... A>
  R callShared(const std::string& className, const std::string& decl, A... args);
  template <class R>
  R prop(Obj self, const std::string& name);
  // New instance, then the "Constructor(...)" with that declaration.
  template <class... A>
  Obj create(const std::string& className, const std::string& ctorDecl, A... args);

  // --- Events. The handler is called as the event's declared signature with
  // the instance first (ConsoleOutput: void(Obj, Str)).
  void setEventHandler(Obj o, const std::string& eventDecl, void* fn);
  void* eventHandler(Obj o, uintptr_t eventWord) const;

  // --- Host classes.
  Obj newObjectArray();
  int32_t arrayCount(Obj array) const;
  Obj arrayAt(Obj array, int32_t index) const;  // borrowed
  Obj newMemoryBlock(const std::string& bytes);
  std::string memoryBlockBytes(Obj block) const;
  void* memoryBlockData(Obj block) const;
  Obj folderItem(const std::string& path);  // nil never; the file need not exist

  // Global methods offered through "REALLoadGlobalMethod" ("LenB").
  void* globalMethod(const std::string& decl) const;

  // Internal: used by the implementation of the typed calls.
  void checkCall(const Declaration& d, const std::vector<VType>& args, VType result,
                 const std::string& what) const;
  struct Impl;
  Impl* impl() const { return impl_; }

 private:
  Host();
  Impl* impl_;
};

// The class of an instance, as the host's name lookup needs it.
std::string classOfInstance(Obj o);

template <class R, class... A>
R Host::call(Obj self, const std::string& decl, A... args) {
  const REALmethodDefinition* m = methodRecord(self, decl);
  Declaration d = Declaration::parse(m->declaration);
  checkCall(d, {vtypeOf<A>()...}, vtypeOf<R>(), decl);
  auto fn = reinterpret_cast<R (*)(Obj, A...)>(m->function);
  return fn(self, args...);
}

template <class... A>
void Host::assign(Obj self, const std::string& decl, A... args) {
  const REALmethodDefinition* m = methodRecord(self, decl);
  Declaration d = Declaration::parse(m->declaration);
  std::vector<VType> types{vtypeOf<A>()...};
  if (types.empty()) throw HostError("assign needs a value: " + decl);
  VType value = types.back();
  types.pop_back();
  checkCall(d, types, value, decl);
  if (!m->setterFunction) throw HostError("the method " + decl + " has no setter");
  auto fn = reinterpret_cast<void (*)(Obj, A...)>(m->setterFunction);
  fn(self, args...);
}

template <class R, class... A>
R Host::callShared(const std::string& className, const std::string& decl, A... args) {
  const REALmethodDefinition* m = sharedMethodRecord(className, decl);
  Declaration d = Declaration::parse(m->declaration);
  checkCall(d, {vtypeOf<A>()...}, vtypeOf<R>(), decl);
  auto fn = reinterpret_cast<R (*)(A...)>(m->function);
  return fn(args...);
}

template <class R>
R Host::prop(Obj self, const std::string& name) {
  const REALproperty* p = propertyRecord(self, name);
  Declaration d = Declaration::parse("P() as " + std::string(p->type));
  checkCall(d, {}, vtypeOf<R>(), name);
  auto fn = reinterpret_cast<R (*)(Obj, intptr_t)>(p->getter);
  return fn(self, p->param);
}

template <class... A>
Obj Host::create(const std::string& className, const std::string& ctorDecl, A... args) {
  Obj o = newInstance(className);
  call<void>(o, ctorDecl, args...);
  return o;
}

// Owns one host reference on an object or string; releases it at scope exit.
class Ref {
 public:
  Ref() = default;
  Ref(Obj o) : o_(o) {}  // NOLINT: adopts the caller's reference
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
  Ref& operator=(Ref&& r) noexcept {
    reset(r.o_);
    r.o_ = nullptr;
    return *this;
  }
  ~Ref() { reset(); }
  void reset(Obj o = nullptr) {
    if (o_) Host::get().unlock(o_);
    o_ = o;
  }
  Obj get() const { return o_; }
  operator Obj() const { return o_; }  // NOLINT
  Obj release() {
    Obj o = o_;
    o_ = nullptr;
    return o;
  }

 private:
  Obj o_ = nullptr;
};

class SRef {
 public:
  SRef() = default;
  SRef(Str s) : s_(s) {}  // NOLINT: adopts the caller's reference
  SRef(const SRef&) = delete;
  SRef& operator=(const SRef&) = delete;
  SRef(SRef&& r) noexcept : s_(r.s_) { r.s_ = nullptr; }
  ~SRef() {
    if (s_) Host::get().unlockString(s_);
  }
  Str get() const { return s_; }
  operator Str() const { return s_; }  // NOLINT
  std::string bytes() const { return Host::get().bytes(s_); }

 private:
  Str s_ = nullptr;
};

}  // namespace emuhost
