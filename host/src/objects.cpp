// Classes and objects: registration with data offsets, instances with their
// constructors and destructors, reference counts, events and member look-up.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "impl.h"

namespace emuhost {

thread_local ThreadBook* tBook;

namespace {
std::mutex& BooksLock() {
  static auto* lock = new std::mutex();
  return *lock;
}
std::vector<ThreadBook*>& Books() {
  static auto* books = new std::vector<ThreadBook*>();
  return *books;
}
template <class F>
ptrdiff_t Sum(F f) {
  std::lock_guard<std::mutex> guard(BooksLock());
  ptrdiff_t total = 0;
  for (ThreadBook* b : Books()) total += f(*b);
  return total;
}
}  // namespace

ThreadBook* NewBook() {
  // Kept for the process, also after its thread ends: its counts still
  // count.
  ThreadBook* b = new ThreadBook();
  std::lock_guard<std::mutex> guard(BooksLock());
  Books().push_back(b);
  tBook = b;
  return b;
}

ptrdiff_t SumObjects() { return Sum([](const ThreadBook& b) { return Peek(b.objects); }); }
ptrdiff_t SumStrings() { return Sum([](const ThreadBook& b) { return Peek(b.strings); }); }
ptrdiff_t SumStringData() { return Sum([](const ThreadBook& b) { return Peek(b.stringData); }); }
ptrdiff_t SumLive(size_t i) {
  return i < kBookClasses ? Sum([i](const ThreadBook& b) { return Peek(b.live[i]); }) : 0;
}

std::string Normalize(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text)
    if (!isspace(c)) out.push_back(char(tolower(c)));
  return out;
}

std::string Lower(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = char(tolower(static_cast<unsigned char>(c)));
  return out;
}

void Fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("emuhost: fatal: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  abort();
}

const REALmethodDefinition* FindMethod(const ClassInfo* cls, const std::string& decl) {
  for (; cls; cls = cls->super) {
    auto it = cls->methods.find(decl);
    if (it != cls->methods.end()) return it->second;
  }
  return nullptr;
}

const REALmethodDefinition* FindShared(const ClassInfo* cls, const std::string& decl) {
  for (; cls; cls = cls->super) {
    auto it = cls->shared.find(decl);
    if (it != cls->shared.end()) return it->second;
  }
  return nullptr;
}

const REALproperty* FindProperty(const ClassInfo* cls, const std::string& name) {
  for (; cls; cls = cls->super) {
    auto it = cls->properties.find(name);
    if (it != cls->properties.end()) return it->second;
  }
  return nullptr;
}

REALevent* FindEvent(const ClassInfo* cls, const std::string& decl) {
  for (; cls; cls = cls->super) {
    auto it = cls->events.find(decl);
    if (it != cls->events.end()) return it->second;
  }
  return nullptr;
}

// --- The class table -------------------------------------------------------

ClassInfo* Host::Impl::findClass(int space, const std::string& name) const {
  if (space >= 0 && space < kMaxSpaces) {
    auto it = spaces[space].classes.find(name);
    if (it != spaces[space].classes.end()) return it->second;
  }
  auto it = hostClasses.find(name);
  return it == hostClasses.end() ? nullptr : it->second;
}

ModuleInfo* Host::Impl::findModule(int space, const std::string& name) const {
  if (space < 0 || space >= kMaxSpaces) return nullptr;
  auto it = spaces[space].modules.find(name);
  return it == spaces[space].modules.end() ? nullptr : it->second;
}

ClassInfo* Host::Impl::checkRef(REALclassRef ref) const {
  ClassInfo* c = reinterpret_cast<ClassInfo*>(ref);
  return c && c->magic == kClassMagic ? c : nullptr;
}

// Lays the class's own block out after every block of its superclasses, so
// that the blocks of one instance never overlap, and indexes its members.
// A class whose superclass is not registered is refused.
bool Host::Impl::registerClass(int space, REALclassDefinition* def) {
  if (!def || !def->name || !*def->name) return false;
  auto known = byRecord.find(def);
  if (known != byRecord.end()) {
    ClassInfo* c = known->second;
    def->forSystemUse = c->offset;
    if (space >= 0) {
      spaces[space].classes[c->name] = c;
      spaces[space].log.push_back("class " + c->name);
    }
    return true;
  }
  ClassInfo* super = nullptr;
  if (def->superName && *def->superName) {
    super = findClass(space, def->superName);
    if (!super) {
      fprintf(stderr, "emuhost: class %s not registered: its superclass %s is unknown\n", def->name,
              def->superName);
      return false;
    }
  }
  allClasses.push_back(std::make_unique<ClassInfo>());
  ClassInfo* c = allClasses.back().get();
  c->name = def->name;
  c->def = def;
  c->super = super;
  c->index = allClasses.size() - 1;
  c->space = space;
  c->offset = super ? super->size : kHeaderSize;
  c->size = c->offset + AlignUp(def->dataSize);
  if (super) c->chain = super->chain;
  c->chain.push_back(c);
  for (ClassInfo* k : c->chain)
    if (k->def->constructor)
      c->constructors.push_back(reinterpret_cast<void (*)(REALobject)>(k->def->constructor));
  for (auto k = c->chain.rbegin(); k != c->chain.rend(); ++k)
    if ((*k)->def->destructor)
      c->destructors.push_back(reinterpret_cast<void (*)(REALobject)>((*k)->def->destructor));
  for (uintptr_t i = 0; def->methods && i < def->methodCount; ++i)
    if (def->methods[i].declaration)
      c->methods.emplace(Normalize(def->methods[i].declaration), &def->methods[i]);
  for (uintptr_t i = 0; def->sharedMethods && i < def->sharedMethodCount; ++i)
    if (def->sharedMethods[i].declaration)
      c->shared.emplace(Normalize(def->sharedMethods[i].declaration), &def->sharedMethods[i]);
  for (uintptr_t i = 0; def->properties && i < def->propertyCount; ++i)
    if (def->properties[i].name)
      c->properties.emplace(Lower(def->properties[i].name), &def->properties[i]);
  for (uintptr_t i = 0; def->enums && i < def->enumCount; ++i)
    if (def->enums[i].name) c->enums.emplace(Lower(def->enums[i].name), &def->enums[i]);
  for (uintptr_t i = 0; def->events && i < def->eventCount; ++i) {
    REALevent* e = &def->events[i];
    uintptr_t word = nextEventWord++;
    e->forSystemUse = word;
    eventWords[word] = EventInfo{c, e};
    if (e->declaration) c->events.emplace(Normalize(e->declaration), e);
  }
  def->forSystemUse = c->offset;
  byRecord[def] = c;
  if (space >= 0) {
    spaces[space].classes[c->name] = c;
    spaces[space].log.push_back("class " + c->name);
  } else {
    hostClasses[c->name] = c;
  }
  return true;
}

void Host::Impl::registerModule(int space, REALmoduleDefinition* def) {
  if (!def || !def->name || space < 0 || space >= kMaxSpaces) return;
  allModules.push_back(std::make_unique<ModuleInfo>());
  ModuleInfo* m = allModules.back().get();
  m->name = def->name;
  m->def = def;
  for (uintptr_t i = 0; def->methods && i < def->methodCount; ++i)
    if (def->methods[i].declaration)
      m->methods.emplace(Normalize(def->methods[i].declaration), &def->methods[i]);
  spaces[space].modules[m->name] = m;
  spaces[space].log.push_back("module " + m->name);
}

// --- Instances -------------------------------------------------------------

void NotLiveObject(const void* o) { Fatal("%p is not a live host object", o); }

ObjHeader* Host::Impl::header(REALobject o) const { return LiveHeader(o); }

ClassInfo* Host::Impl::classOf(REALobject o) const { return header(o)->cls; }

// Zero-fills a data area of whole words; most are one to three words long,
// too short to be worth a call to memset.
inline void ZeroData(char* p, size_t size) {
  switch (size) {
    case 24: memset(p + 16, 0, 8); [[fallthrough]];
    case 16: memset(p + 8, 0, 8); [[fallthrough]];
    case 8: memset(p, 0, 8); [[fallthrough]];
    case 0: return;
    default: memset(p, 0, size);
  }
}

// One instance more or fewer of the class, counted by the calling thread.
inline void Host::Impl::Counted(ThreadBook& book, ClassInfo* cls, ptrdiff_t d) {
  Bump(book.objects, d);
  if (cls->index < kBookClasses) {
    Bump(book.live[cls->index], d);
  } else {
    std::lock_guard<std::mutex> guard(spareLock);
    cls->live += size_t(d);
  }
}

REALobject Host::Impl::instantiate(ClassInfo* cls) {
  if (!cls) return nullptr;
  ObjHeader* h = nullptr;
  ThreadBook& book = Book();
  if (cls->index < kBookClasses) {
    h = book.spare[cls->index];
    if (h) book.spare[cls->index] = h->nextSpare;
  } else {
    std::lock_guard<std::mutex> guard(spareLock);
    h = cls->spare;
    if (h) cls->spare = h->nextSpare;
  }
  if (h) {
    // Every data block starts zero-filled, on reused memory as on new.
    ZeroData(reinterpret_cast<char*>(h) + kHeaderSize, cls->size - kHeaderSize);
  } else {
    h = static_cast<ObjHeader*>(calloc(1, cls->size));
    if (!h) return nullptr;
  }
  Counted(book, cls, 1);
  h->magic = kObjectMagic;
  h->refs = 1;
  h->cls = cls;
  h->handlers = nullptr;
  h->dying = 0;
  REALobject o = reinterpret_cast<REALobject>(h);
  for (void (*constructor)(REALobject) : cls->constructors) constructor(o);
  return o;
}

void Host::Impl::lock(REALobject o) {
  if (o) AtomicAdd(LiveHeader(o)->refs, 1);
}

void Host::Impl::unlock(REALobject o) {
  if (!o) return;
  ObjHeader* h = LiveHeader(o);
  // While the destructors run, the instance may be locked and unlocked again
  // (handed to a helper, say); that must not destroy it a second time.
  // Only the thread that takes the count to zero destroys it.
  if (Release(h->refs) > 0 || h->dying) return;
  h->dying = 1;
  for (void (*destructor)(REALobject) : h->cls->destructors) destructor(o);
  delete h->handlers;
  h->magic = 0;
  ClassInfo* cls = h->cls;
  ThreadBook& book = Book();
  Counted(book, cls, -1);
  if (cls->index < kBookClasses) {
    h->nextSpare = book.spare[cls->index];
    book.spare[cls->index] = h;
  } else {
    std::lock_guard<std::mutex> guard(spareLock);
    h->nextSpare = cls->spare;
    cls->spare = h;
  }
}

namespace {

// --- Entries ---------------------------------------------------------------

void RegisterClassIn(int space, REALclassDefinition* def) { I().registerClass(space, def); }

REALobject CreateInstance(REALclassRef ref) {
  if (!ref) return nullptr;
  return I().instantiate(I().checkRef(ref));
}

REALobject NewInstanceOfClass(REALclassDefinition* def) {
  if (!def) return nullptr;
  auto it = I().byRecord.find(def);
  return it == I().byRecord.end() ? nullptr : I().instantiate(it->second);
}

int8_t ObjectIsA(REALobject o, REALclassRef ref) {
  if (!o || !ref) return 0;
  ClassInfo* target = I().checkRef(ref);
  for (ClassInfo* c = I().classOf(o); c; c = c->super)
    if (c == target) return 1;
  return 0;
}

void* GetEventInstance(REALobject o, uintptr_t word) {
  if (!o) return nullptr;
  ObjHeader* h = I().header(o);
  if (!h->handlers) return nullptr;
  auto it = h->handlers->find(word);
  return it == h->handlers->end() ? nullptr : it->second;
}

void* LoadObjectMethod(REALobject o, const char* declaration) {
  if (!o || !declaration) return nullptr;
  const REALmethodDefinition* m = FindMethod(I().classOf(o), Normalize(declaration));
  return m ? reinterpret_cast<void*>(m->function) : nullptr;
}

void* LoadSharedMethod(REALclassRef ref, const char* declaration) {
  ClassInfo* c = ref ? I().checkRef(ref) : nullptr;
  if (!c || !declaration) return nullptr;
  const REALmethodDefinition* m = FindShared(c, Normalize(declaration));
  return m ? reinterpret_cast<void*>(m->function) : nullptr;
}

// The namespace-bound entries, one instance per namespace: a plugin copy's
// registrations and class-name look-ups stay in its own namespace.
template <int N>
REALclassRef ObjectTypeIn(const char* name) {
  if (!name) return nullptr;
  return reinterpret_cast<REALclassRef>(I().findClass(N, name));
}

template <int N>
void RegisterClassEntry(REALclassDefinition* def) {
  RegisterClassIn(N, def);
}

template <int N>
void RegisterModuleEntry(REALmoduleDefinition* def) {
  I().registerModule(N, def);
}

template <int N>
void RegisterVersionEntry(int32_t version) {
  I().version = version;
  I().spaces[N].log.push_back("version " + std::to_string(version));
}

template <int N>
void* ResolverOf(const char* name) {
  return I().resolveIn(N, name);
}

struct SpaceEntries {
  void* objectType;
  void* registerClass;
  void* registerModule;
  void* registerVersion;
  REALResolver resolver;
};

template <size_t... N>
std::vector<SpaceEntries> MakeSpaceEntries(std::index_sequence<N...>) {
  return {SpaceEntries{reinterpret_cast<void*>(&ObjectTypeIn<N>),
                       reinterpret_cast<void*>(&RegisterClassEntry<N>),
                       reinterpret_cast<void*>(&RegisterModuleEntry<N>),
                       reinterpret_cast<void*>(&RegisterVersionEntry<N>), &ResolverOf<N>}...};
}

const std::vector<SpaceEntries>& AllSpaceEntries() {
  static const std::vector<SpaceEntries> table =
      MakeSpaceEntries(std::make_index_sequence<kMaxSpaces>());
  return table;
}

}  // namespace

void LockObjectEntry(REALobject o) { I().lock(o); }
void UnlockObjectEntry(REALobject o) { I().unlock(o); }

void* SpaceEntry(int space, const std::string& name) {
  const SpaceEntries& e = AllSpaceEntries()[space];
  if (name == "pluginObjectType") return e.objectType;
  if (name == "PluginRegisterClass") return e.registerClass;
  if (name == "PluginRegisterModule") return e.registerModule;
  if (name == "RegisterPluginVersion") return e.registerVersion;
  return nullptr;
}

REALResolver SpaceResolver(int space) { return AllSpaceEntries()[space].resolver; }

void AddObjectEntries(std::unordered_map<std::string, void*>& e) {
  e["CreateInstance"] = reinterpret_cast<void*>(&CreateInstance);
  e["PluginNewInstanceOfClass"] = reinterpret_cast<void*>(&NewInstanceOfClass);
  e["REALLockObject"] = reinterpret_cast<void*>(&LockObjectEntry);
  e["REALUnlockObject"] = reinterpret_cast<void*>(&UnlockObjectEntry);
  e["RuntimeObjectIsa"] = reinterpret_cast<void*>(&ObjectIsA);
  e["GetEventInstance"] = reinterpret_cast<void*>(&GetEventInstance);
  e["REALLoadObjectMethod"] = reinterpret_cast<void*>(&LoadObjectMethod);
  e["PluginLoadSharedMethod"] = reinterpret_cast<void*>(&LoadSharedMethod);
}

}  // namespace emuhost
