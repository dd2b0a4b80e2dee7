// The Host object: the resolver, plugin loading, entry control for tests, and
// the typed API over strings, objects and members.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "impl.h"

namespace emuhost {

Host::Impl* gImpl;

Host::Impl::Impl() : spaces(kMaxSpaces) {
  gImpl = this;
  AddStringEntries(entries);
  AddObjectEntries(entries);
  AddHostClassEntries(entries);
  RegisterHostClasses(*this);
}

void* Host::Impl::resolveIn(int space, const char* name) {
  if (!name) return nullptr;
  std::string key(name);
  std::lock_guard<std::mutex> guard(tableLock);
  ++lookups[key];
  auto o = overrides.find(key);
  if (o != overrides.end()) return o->second;
  if (void* e = SpaceEntry(space, key)) return e;
  auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second;
}

Host::Host() : impl_(new Impl) {}

Host& Host::get() {
  // Never destroyed: plugins may still hold host objects when the process ends.
  static Host* host = new Host;
  return *host;
}

void* Plugin::symbol(const char* name) const { return handle ? dlsym(handle, name) : nullptr; }

// --- Loading ---------------------------------------------------------------------

namespace {

Plugin OpenPlugin(const std::string& file, const std::string& path, int space) {
  Plugin p;
  p.path = path;
  p.space = space;
  p.handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!p.handle) {
    const char* err = dlerror();
    throw HostError("cannot load the plugin " + path + ": " + (err ? err : "unknown error"));
  }
  auto main = p.sym<void (*)(void* (*)(const char*))>("REALPluginMain");
  if (!main) {
    dlclose(p.handle);
    throw HostError("the plugin " + path + " has no REALPluginMain");
  }
  main(SpaceResolver(space));
  return p;
}

int NewSpace(Host::Impl& impl) {
  if (impl.spacesUsed >= kMaxSpaces)
    throw HostError("too many plugin copies loaded (at most " + std::to_string(kMaxSpaces - 1) +
                    ")");
  return impl.spacesUsed++;
}

}  // namespace

std::string Host::defaultPluginPath() {
  const char* env = getenv("COILWORK_PLUGIN");
  if (env && *env) return env;
#ifdef COILWORK_DEFAULT_PLUGIN
  return COILWORK_DEFAULT_PLUGIN;
#else
  return "libcoilwork.so";
#endif
}

Plugin& Host::load(const std::string& path) {
  auto it = impl_->plugins.find(path);
  if (it != impl_->plugins.end()) return it->second;
  bool first = true;
  for (const auto& p : impl_->plugins)
    if (p.second.space == 0) first = false;
  int space = first ? 0 : NewSpace(*impl_);
  Plugin p = OpenPlugin(path, path, space);
  return impl_->plugins.emplace(path, p).first->second;
}

Plugin Host::loadCopy(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw HostError("cannot read the plugin " + path);
  std::stringstream content;
  content << in.rdbuf();
  char name[] = "/tmp/emuhost-plugin-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw HostError("cannot make a temporary copy of " + path);
  std::string bytes = content.str();
  bool ok = write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  close(fd);
  if (!ok) {
    unlink(name);
    throw HostError("cannot write a temporary copy of " + path);
  }
  int space = NewSpace(*impl_);
  try {
    Plugin p = OpenPlugin(name, name, space);
    unlink(name);  // the mapping stays; the file is not needed any more
    return p;
  } catch (...) {
    unlink(name);
    throw;
  }
}

void* Host::resolve(const char* name) { return impl_->resolveIn(0, name); }

REALResolver Host::resolver() { return SpaceResolver(0); }

// --- Entry control -----------------------------------------------------------------

void Host::setEntry(const std::string& name, void* fn) { impl_->overrides[name] = fn; }
void Host::removeEntry(const std::string& name) { impl_->overrides[name] = nullptr; }
void Host::restoreEntries() { impl_->overrides.clear(); }

int Host::lookupCount(const std::string& name) const {
  auto it = impl_->lookups.find(name);
  return it == impl_->lookups.end() ? 0 : it->second;
}

void Host::clearLookupCounts() { impl_->lookups.clear(); }

const std::vector<std::string>& Host::registrationLog() const { return impl_->spaces[0].log; }

const std::vector<std::string>& Host::registrationLog(const Plugin& plugin) const {
  return impl_->spaces[size_t(plugin.space)].log;
}

int32_t Host::pluginVersion() const { return impl_->version; }

// --- Strings -------------------------------------------------------------------------

Str Host::newString(const std::string& bytes, uint32_t encoding) {
  return impl_->makeString(bytes.data(), bytes.size(), encoding);
}

std::string Host::bytes(Str s) const {
  if (!s) return std::string();
  StrHeader* h = impl_->header(s);
  return std::string(h->bytes(), h->length);
}

uint32_t Host::encoding(Str s) const { return s ? impl_->header(s)->encoding : kUTF8; }

std::string Host::utf8(Str s) const {
  if (!s) return std::string();
  StrHeader* h = impl_->header(s);
  std::string out;
  if (!ConvertText(h->bytes(), h->length, h->encoding, kUTF8, out))
    throw HostError("the string cannot be converted to UTF-8");
  return out;
}

void Host::lockString(Str s) { LockStringEntry(s); }
void Host::unlockString(Str s) { UnlockStringEntry(s); }
int Host::stringRefCount(Str s) const { return s ? RefRead(impl_->header(s)->refs) : 0; }
size_t Host::liveStrings() const { return size_t(SumStrings()); }
size_t Host::liveStringData() const { return size_t(SumStringData()); }

// --- Classes and objects --------------------------------------------------------------

REALclassRef Host::classRef(const std::string& name) const {
  return reinterpret_cast<REALclassRef>(impl_->findClass(0, name));
}

const REALclassDefinition* Host::classDefinition(const std::string& name) const {
  ClassInfo* c = impl_->findClass(0, name);
  return c ? c->def : nullptr;
}

const REALmoduleDefinition* Host::moduleDefinition(const std::string& name) const {
  ModuleInfo* m = impl_->findModule(0, name);
  return m ? m->def : nullptr;
}

namespace {

ClassInfo* NeedClass(const Host::Impl& impl, const std::string& name) {
  ClassInfo* c = impl.findClass(0, name);
  if (!c) throw HostError("no class named " + name + " is registered");
  return c;
}

ClassInfo* NeedClassOf(const Host::Impl& impl, Obj o, const std::string& what) {
  if (!o) throw HostError(what + ": called on a nil object");
  return impl.classOf(o);
}

}  // namespace

Obj Host::newInstance(const std::string& className) {
  return impl_->instantiate(NeedClass(*impl_, className));
}

void Host::lock(Obj o) { impl_->lock(o); }
void Host::unlock(Obj o) { impl_->unlock(o); }
int Host::refCount(Obj o) const { return o ? RefRead(impl_->header(o)->refs) : 0; }

std::string Host::className(Obj o) const { return NeedClassOf(*impl_, o, "className")->name; }

bool Host::isA(Obj o, const std::string& name) const {
  if (!o) return false;
  for (ClassInfo* c = impl_->classOf(o); c; c = c->super)
    if (c->name == name) return true;
  return false;
}

size_t Host::liveObjects() const { return size_t(SumObjects()); }

size_t Host::liveObjects(const std::string& name) const {
  ClassInfo* c = impl_->findClass(0, name);
  if (!c) return 0;
  if (c->index >= kBookClasses) {
    std::lock_guard<std::mutex> guard(impl_->spareLock);
    return c->live;
  }
  return size_t(SumLive(c->index));
}

// --- Members ----------------------------------------------------------------------------

namespace {

const REALmethodDefinition* NeedMethod(const ClassInfo* c, const std::string& decl) {
  const REALmethodDefinition* m = FindMethod(c, Normalize(decl));
  if (!m) throw HostError("class " + c->name + " has no method " + decl);
  if (!m->function) throw HostError("the method " + decl + " of " + c->name + " has no function");
  return m;
}

const REALmethodDefinition* NeedShared(const Host::Impl& impl, const std::string& className,
                                       const std::string& decl) {
  std::string key = Normalize(decl);
  const REALmethodDefinition* m = nullptr;
  if (ClassInfo* c = impl.findClass(0, className)) {
    m = FindShared(c, key);
  } else if (ModuleInfo* mod = impl.findModule(0, className)) {
    auto it = mod->methods.find(key);
    if (it != mod->methods.end()) m = it->second;
  } else {
    throw HostError("no class or module named " + className + " is registered");
  }
  if (!m || !m->function) throw HostError(className + " has no shared method " + decl);
  return m;
}

const REALproperty* NeedProperty(const ClassInfo* c, const std::string& name) {
  const REALproperty* p = FindProperty(c, Lower(name));
  if (!p) throw HostError("class " + c->name + " has no property " + name);
  if (!p->type) throw HostError("the property " + name + " of " + c->name + " has no type");
  return p;
}

}  // namespace

void* Host::method(const std::string& className, const std::string& decl) const {
  return reinterpret_cast<void*>(NeedMethod(NeedClass(*impl_, className), decl)->function);
}

void* Host::setter(const std::string& className, const std::string& decl) const {
  const REALmethodDefinition* m = NeedMethod(NeedClass(*impl_, className), decl);
  if (!m->setterFunction)
    throw HostError("the method " + decl + " of " + className + " has no setter");
  return reinterpret_cast<void*>(m->setterFunction);
}

void* Host::sharedMethod(const std::string& className, const std::string& decl) const {
  return reinterpret_cast<void*>(NeedShared(*impl_, className, decl)->function);
}

void* Host::propertyGetter(const std::string& className, const std::string& name) const {
  const REALproperty* p = NeedProperty(NeedClass(*impl_, className), name);
  if (!p->getter) throw HostError("the property " + name + " of " + className + " has no getter");
  return reinterpret_cast<void*>(p->getter);
}

const REALproperty* Host::property(const std::string& className, const std::string& name) const {
  return NeedProperty(NeedClass(*impl_, className), name);
}

std::string Host::declarationOf(const std::string& className, const std::string& decl,
                                bool shared) const {
  if (shared) return NeedShared(*impl_, className, decl)->declaration;
  return NeedMethod(NeedClass(*impl_, className), decl)->declaration;
}

const REALmethodDefinition* Host::methodRecord(Obj self, const std::string& decl) const {
  return NeedMethod(NeedClassOf(*impl_, self, decl), decl);
}

const REALmethodDefinition* Host::sharedMethodRecord(const std::string& className,
                                                     const std::string& decl) const {
  return NeedShared(*impl_, className, decl);
}

const REALproperty* Host::propertyRecord(Obj self, const std::string& name) const {
  const REALproperty* p = NeedProperty(NeedClassOf(*impl_, self, name), name);
  if (!p->getter) throw HostError("the property " + name + " has no getter");
  return p;
}

// --- Events -------------------------------------------------------------------------------

void Host::setEventHandler(Obj o, const std::string& eventDecl, void* fn) {
  ClassInfo* c = NeedClassOf(*impl_, o, eventDecl);
  REALevent* e = FindEvent(c, Normalize(eventDecl));
  if (!e) throw HostError("class " + c->name + " has no event " + eventDecl);
  ObjHeader* h = impl_->header(o);
  if (!fn) {
    if (h->handlers) h->handlers->erase(e->forSystemUse);
    return;
  }
  if (!h->handlers) h->handlers = new std::map<uintptr_t, void*>;
  (*h->handlers)[e->forSystemUse] = fn;
}

void* Host::eventHandler(Obj o, uintptr_t eventWord) const {
  if (!o) return nullptr;
  ObjHeader* h = impl_->header(o);
  if (!h->handlers) return nullptr;
  auto it = h->handlers->find(eventWord);
  return it == h->handlers->end() ? nullptr : it->second;
}

void* Host::globalMethod(const std::string& decl) const {
  static const std::string kLenB = Normalize("LenB( s as string ) as integer");
  return Normalize(decl) == kLenB ? LenBMethod() : nullptr;
}

std::string classOfInstance(Obj o) { return Host::get().className(o); }

}  // namespace emuhost
