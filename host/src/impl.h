// Internals of the emulated host shared by its source files: the layout of
// objects and strings, the class table, and the host's own entries.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "emuhost/host.h"

namespace emuhost {

// Data blocks start on 8-byte boundaries: pointer-aligned on both targets, and
// right for doubles and 64-bit integers on armhf too.
constexpr size_t kAlign = 8;
constexpr size_t AlignUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// The declaration without white space, in lower case: how members are matched.
std::string Normalize(const std::string& text);
std::string Lower(const std::string& text);

// Prints the message and aborts: a handle that is not live (a double release,
// a stale pointer) would corrupt memory in a real host; here it stops loudly.
[[noreturn]] void Fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Two host threads may call at once. Reference counts change with atomic
// operations (one locked instruction each); everything else an instance or a
// string costs is kept per thread, so that the single-thread path pays no
// more than that: each thread counts what it made and released, and reuses
// the memory of instances it released. The totals are the sums over threads.
inline int32_t AtomicAdd(int32_t& v, int32_t d) { return __atomic_add_fetch(&v, d, __ATOMIC_ACQ_REL); }
inline int32_t RefRead(const int32_t& v) { return __atomic_load_n(&v, __ATOMIC_ACQUIRE); }
// Gives one reference back; the count left. The holder of the only
// reference is the only thread that may touch the count (no other holds a
// reference to lock or release), so that common case needs no locked
// instruction.
inline int32_t Release(int32_t& v) {
  if (RefRead(v) == 1) {
    __atomic_store_n(&v, 0, __ATOMIC_RELAXED);
    return 0;
  }
  return AtomicAdd(v, -1);
}
// A count only its own thread writes; others may read it.
inline void Bump(ptrdiff_t& v, ptrdiff_t d) { __atomic_store_n(&v, v + d, __ATOMIC_RELAXED); }
inline ptrdiff_t Peek(const ptrdiff_t& v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }

struct ObjHeader;

// Classes with an index below this are counted per thread; the rest (only
// ever reached by tests registering hundreds of classes) under a lock.
constexpr size_t kBookClasses = 512;

struct ThreadBook {
  ptrdiff_t objects = 0, strings = 0, stringData = 0;
  ptrdiff_t live[kBookClasses] = {};     // instances by class index
  ObjHeader* spare[kBookClasses] = {};   // released instance memory by class index
};

extern thread_local ThreadBook* tBook;
ThreadBook* NewBook();  // made on a thread's first use, kept for the process
inline ThreadBook& Book() {
  ThreadBook* b = tBook;
  if (__builtin_expect(!b, 0)) b = NewBook();
  return *b;
}
// Sums over every thread's book.
ptrdiff_t SumObjects();
ptrdiff_t SumStrings();
ptrdiff_t SumStringData();
ptrdiff_t SumLive(size_t classIndex);

struct ObjHeader;

constexpr uint32_t kClassMagic = 0x434C5331;  // "CLS1"

struct ClassInfo {
  uint32_t magic = kClassMagic;  // a class reference is checked by this tag
  std::string name;
  REALclassDefinition* def = nullptr;
  ClassInfo* super = nullptr;
  int space = 0;                  // namespace of the registering plugin; -1 for host classes
  size_t offset = 0;              // this class's own data block, from the instance address
  size_t size = 0;                // bytes of an instance of exactly this class
  std::vector<ClassInfo*> chain;  // root first, this class last
  // The constructors and destructors an instance runs, in the order it runs
  // them: constructors root first, destructors most derived first.
  std::vector<void (*)(REALobject)> constructors, destructors;
  std::unordered_map<std::string, const REALmethodDefinition*> methods;  // normalized
  std::unordered_map<std::string, const REALmethodDefinition*> shared;   // normalized
  std::unordered_map<std::string, const REALproperty*> properties;       // lower-case name
  std::unordered_map<std::string, REALevent*> events;                    // normalized
  std::unordered_map<std::string, const REALenum*> enums;                // lower-case name
  size_t index = 0;  // in registration order: the class's place in the thread books
  // Beyond the books (index kBookClasses and up): the count and the memory
  // of destroyed instances, under the host's lock. Otherwise the memory of
  // destroyed instances is kept in the releasing thread's book (a list
  // through their headers) and reused for new ones of this class before the
  // allocator is asked again. It is never handed back, so a released handle
  // still reads as dead (its tag cleared) until the memory is reused.
  size_t live = 0;
  ObjHeader* spare = nullptr;
};

struct ModuleInfo {
  std::string name;
  REALmoduleDefinition* def = nullptr;
  std::unordered_map<std::string, const REALmethodDefinition*> methods;  // normalized
};

// Live objects and strings carry these tags in their headers; destroying one
// clears its tag, so a stale handle is caught by reading the tag.
constexpr uint32_t kObjectMagic = 0x4F424A31;  // "OBJ1"
constexpr uint32_t kStringMagic = 0x53545231;  // "STR1"
constexpr uintptr_t kStringDataMagic = 0x53444154;

// Every instance starts with this header; the data blocks follow it.
struct ObjHeader {
  uint32_t magic;
  int32_t refs;
  ClassInfo* cls;
  union {
    std::map<uintptr_t, void*>* handlers;  // live: event word -> handler, or null
    ObjHeader* nextSpare;                  // released: the next spare of its class
  };
  uint32_t dying;  // destructors are running
};
constexpr size_t kHeaderSize = AlignUp(sizeof(ObjHeader));

// The header of a live object; anything else (nil, a released object, a
// string) stops the process.
[[noreturn]] void NotLiveObject(const void* o);
inline ObjHeader* LiveHeader(REALobject o) {
  ObjHeader* h = reinterpret_cast<ObjHeader*>(o);
  if (__builtin_expect(!h || h->magic != kObjectMagic, 0)) NotLiveObject(o);
  return h;
}

// A string: this header, then the bytes and two zero bytes (so that UTF-16
// text is terminated too).
struct StrHeader {
  uint32_t magic;
  int32_t refs;
  uint32_t encoding;
  size_t length;
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

// The header of a live string; anything else stops the process. Inline, as
// LiveHeader is: the string entries plugins call for every conversion are a
// test and a load around it.
[[noreturn]] void NotLiveString(const void* s);
inline StrHeader* LiveString(REALstring s) {
  StrHeader* h = reinterpret_cast<StrHeader*>(s);
  if (__builtin_expect(!h || h->magic != kStringMagic, 0)) NotLiveString(s);
  return h;
}

// The classes and modules one plugin copy registered.
struct Space {
  std::map<std::string, ClassInfo*> classes;
  std::map<std::string, ModuleInfo*> modules;
  std::vector<std::string> log;
};

constexpr int kMaxSpaces = 32;

struct EventInfo {
  ClassInfo* cls;
  REALevent* record;
};

struct Host::Impl {
  Impl();

  std::deque<std::unique_ptr<ClassInfo>> allClasses;
  std::deque<std::unique_ptr<ModuleInfo>> allModules;
  std::unordered_map<const REALclassDefinition*, ClassInfo*> byRecord;
  std::map<std::string, ClassInfo*> hostClasses;
  std::vector<Space> spaces;
  int spacesUsed = 1;  // space 0: the first plugin loaded and the tests' own classes

  std::unordered_map<uintptr_t, EventInfo> eventWords;
  uintptr_t nextEventWord = 0x45560001;

  std::mutex spareLock;  // counts and spare memory of classes beyond the books
  std::mutex tableLock;  // the entry look-up table and its counts

  std::unordered_map<std::string, void*> entries;    // the host's own
  std::unordered_map<std::string, void*> overrides;  // installed by tests; null: removed
  std::unordered_map<std::string, int> lookups;
  std::map<std::string, Plugin> plugins;
  int32_t version = -1;

  void* resolveIn(int space, const char* name);

  // Classes.
  ClassInfo* findClass(int space, const std::string& name) const;
  ModuleInfo* findModule(int space, const std::string& name) const;
  ClassInfo* classOf(REALobject o) const;       // aborts when o is not live
  ClassInfo* checkRef(REALclassRef ref) const;  // null when not a class of this host
  bool registerClass(int space, REALclassDefinition* def);
  void registerModule(int space, REALmoduleDefinition* def);

  // Objects.
  REALobject instantiate(ClassInfo* cls);
  void Counted(ThreadBook& book, ClassInfo* cls, ptrdiff_t d);
  ObjHeader* header(REALobject o) const;  // aborts when o is not live
  void lock(REALobject o);
  void unlock(REALobject o);

  // Strings.
  REALstring makeString(const char* bytes, size_t length, uint32_t encoding);
  StrHeader* header(REALstring s) const;  // aborts when s is not live
};

// The host's state, set as soon as it exists; the entries reach it directly.
extern Host::Impl* gImpl;
inline Host::Impl& I() { return gImpl ? *gImpl : *Host::get().impl(); }

// Member look-ups along the class chain, most derived first.
const REALmethodDefinition* FindMethod(const ClassInfo* cls, const std::string& decl);
const REALmethodDefinition* FindShared(const ClassInfo* cls, const std::string& decl);
const REALproperty* FindProperty(const ClassInfo* cls, const std::string& name);
REALevent* FindEvent(const ClassInfo* cls, const std::string& decl);

// The C type of a declared host type; throws HostError for types that the
// typed calls cannot pass.
VType TypeOfName(const std::string& type);
const char* VTypeName(VType t);

// Text conversion between the host encodings. False when a character has no
// form in the target, or the bytes are not valid in their own encoding.
bool ConvertText(const char* bytes, size_t length, uint32_t from, uint32_t to, std::string& out);

// Host entries used across files.
void LockObjectEntry(REALobject o);
void UnlockObjectEntry(REALobject o);
void LockStringEntry(REALstring s);
void UnlockStringEntry(REALstring s);
REALstring BuildStringEntry(const char* bytes, size_t count, uint32_t encoding);
void* LenBMethod();  // "LenB( s as string ) as integer"

// The host classes: records and helpers (host_classes.cpp).
void RegisterHostClasses(Host::Impl& impl);
void AddHostClassEntries(std::unordered_map<std::string, void*>& entries);
void SetFolderPath(REALobject folder, const std::string& path);
std::string NormalizePath(const std::string& path);

// The string and object entries (strings.cpp, objects.cpp).
void AddStringEntries(std::unordered_map<std::string, void*>& entries);
void AddObjectEntries(std::unordered_map<std::string, void*>& entries);
// The entries that belong to one plugin's namespace (registration, class
// names), for the resolver of that namespace.
void* SpaceEntry(int space, const std::string& name);
REALResolver SpaceResolver(int space);

}  // namespace emuhost
