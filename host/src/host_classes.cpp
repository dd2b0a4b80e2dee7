// The host's own classes (ObjectArray, MemoryBlock, FolderItem), registered
// through the same class records as a plugin's, and property access by name.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "impl.h"

namespace emuhost {
namespace {

#define HOST_FN(f) reinterpret_cast<REALproc>(f)

// A host class record, constant-initialized so that it is complete whenever
// the host is first used, even from another file's static initialization.
#define HOST_CLASS(name, data, ctor, dtor, props, propCount, methods, methodCount)                 \
  {                                                                                                \
    kCurrentREALControlVersion, name, nullptr, data, 0, ctor, dtor, props, propCount, methods,     \
        methodCount, nullptr, 0, nullptr, 0, "", nullptr, 0, nullptr, 0, REALconsoleSafe, nullptr, \
        0, nullptr, 0, nullptr, 0, nullptr, 0                                                      \
  }

extern REALclassDefinition ObjectArrayClass, MemoryBlockClass, FolderItemClass;

// The data block of a host class in an instance; null when the object is nil
// or not an instance of that class.
template <class D>
D* HostData(REALobject o, REALclassDefinition& def) {
  if (!o) return nullptr;
  Host::Impl& impl = I();
  const ClassInfo* want = impl.byRecord.at(&def);
  for (const ClassInfo* c = impl.classOf(o); c; c = c->super)
    if (c == want) return reinterpret_cast<D*>(reinterpret_cast<char*>(o) + def.forSystemUse);
  return nullptr;
}

// --- ObjectArray -------------------------------------------------------------

struct ArrayData {
  std::vector<REALobject>* items;
};

void ArrayConstructor(REALobject self) {
  HostData<ArrayData>(self, ObjectArrayClass)->items = new std::vector<REALobject>;
}

void ArrayDestructor(REALobject self) {
  ArrayData* d = HostData<ArrayData>(self, ObjectArrayClass);
  std::vector<REALobject>* items = d->items;
  d->items = nullptr;
  if (!items) return;
  for (REALobject o : *items) UnlockObjectEntry(o);
  delete items;
}

void ArrayAppend(REALobject self, REALobject item) {
  ArrayData* d = HostData<ArrayData>(self, ObjectArrayClass);
  if (!d || !d->items) return;
  LockObjectEntry(item);
  d->items->push_back(item);
}

int32_t ArrayCount(REALobject self) {
  ArrayData* d = HostData<ArrayData>(self, ObjectArrayClass);
  return d && d->items ? int32_t(d->items->size()) : 0;
}

REALobject ArrayGetAt(REALobject self, int32_t n) {
  ArrayData* d = HostData<ArrayData>(self, ObjectArrayClass);
  if (!d || !d->items || n < 0 || size_t(n) >= d->items->size()) return nullptr;
  REALobject o = (*d->items)[size_t(n)];
  LockObjectEntry(o);
  return o;
}

void ArrayRemoveAt(REALobject self, int32_t n) {
  ArrayData* d = HostData<ArrayData>(self, ObjectArrayClass);
  if (!d || !d->items || n < 0 || size_t(n) >= d->items->size()) return;
  REALobject o = (*d->items)[size_t(n)];
  d->items->erase(d->items->begin() + n);
  UnlockObjectEntry(o);
}

REALmethodDefinition ArrayMethods[] = {
    {HOST_FN(ArrayAppend), nullptr, "Append(item as Object)", REALmemberFlag, 0, 0},
    {HOST_FN(ArrayCount), nullptr, "Count() as Integer", REALmemberFlag, 0, 0},
    {HOST_FN(ArrayGetAt), nullptr, "GetAt(n as Integer) as Object", REALmemberFlag, 0, 0},
    {HOST_FN(ArrayRemoveAt), nullptr, "RemoveAt(n as Integer)", REALmemberFlag, 0, 0},
};

// --- MemoryBlock ---------------------------------------------------------------

struct BlockData {
  char* bytes;
  int32_t size;
};

void BlockResize(BlockData* d, int32_t size) {
  free(d->bytes);
  if (size < 0) size = 0;
  // One byte more, so that even an empty block has an address of its own.
  d->bytes = static_cast<char*>(calloc(size_t(size) + 1, 1));
  d->size = d->bytes ? size : 0;
}

void BlockDestructor(REALobject self) {
  BlockData* d = HostData<BlockData>(self, MemoryBlockClass);
  free(d->bytes);
  d->bytes = nullptr;
  d->size = 0;
}

void BlockConstructor(REALobject self, int32_t size) {
  BlockData* d = HostData<BlockData>(self, MemoryBlockClass);
  if (d) BlockResize(d, size);
}

void* BlockPtr(REALobject self) {
  BlockData* d = HostData<BlockData>(self, MemoryBlockClass);
  return d ? d->bytes : nullptr;
}

int32_t BlockSize(REALobject self) {
  BlockData* d = HostData<BlockData>(self, MemoryBlockClass);
  return d ? d->size : 0;
}

int32_t BlockSizeProperty(REALobject self, intptr_t) { return BlockSize(self); }

REALobject NewMemoryBlock(int32_t size) {
  REALobject o = I().instantiate(I().byRecord.at(&MemoryBlockClass));
  if (o) BlockConstructor(o, size);
  return o;
}

REALmethodDefinition BlockMethods[] = {
    {HOST_FN(BlockConstructor), nullptr, "Constructor(bytes as Integer)", REALmemberFlag, 0, 0},
    {HOST_FN(BlockPtr), nullptr, "Operator_Convert() As Ptr", REALmemberFlag, 0, 0},
};

REALproperty BlockProperties[] = {
    {nullptr, "Size", "Integer", REALmemberFlag, HOST_FN(BlockSizeProperty), nullptr, 0, {}},
};

// --- FolderItem ----------------------------------------------------------------

struct FolderData {
  std::string* path;  // absolute, without "." parts, doubled or trailing slashes
};

void FolderConstructor(REALobject self) {
  HostData<FolderData>(self, FolderItemClass)->path = new std::string("/");
}

void FolderDestructor(REALobject self) {
  FolderData* d = HostData<FolderData>(self, FolderItemClass);
  delete d->path;
  d->path = nullptr;
}

const std::string* FolderPath(REALobject self) {
  FolderData* d = HostData<FolderData>(self, FolderItemClass);
  return d && d->path ? d->path : nullptr;
}

REALstring Utf8String(const std::string& s) { return I().makeString(s.data(), s.size(), kUTF8); }

REALstring FolderNativePath(REALobject self, intptr_t) {
  const std::string* p = FolderPath(self);
  return p ? Utf8String(*p) : nullptr;
}

REALstring FolderName(REALobject self, intptr_t) {
  const std::string* p = FolderPath(self);
  if (!p) return nullptr;
  if (*p == "/") return Utf8String(*p);
  return Utf8String(p->substr(p->rfind('/') + 1));
}

REALobject FolderParent(REALobject self, intptr_t) {
  const std::string* p = FolderPath(self);
  if (!p || *p == "/") return nullptr;
  size_t slash = p->rfind('/');
  REALobject parent = I().instantiate(I().byRecord.at(&FolderItemClass));
  if (parent) SetFolderPath(parent, slash == 0 ? "/" : p->substr(0, slash));
  return parent;
}

int8_t FolderExists(REALobject self, intptr_t) {
  const std::string* p = FolderPath(self);
  struct stat st;
  return p && (stat(p->c_str(), &st) == 0 || lstat(p->c_str(), &st) == 0);
}

int8_t FolderDirectory(REALobject self, intptr_t) {
  const std::string* p = FolderPath(self);
  struct stat st;
  return p && stat(p->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

REALproperty FolderProperties[] = {
    {nullptr, "NativePath", "String", REALmemberFlag, HOST_FN(FolderNativePath), nullptr, 0, {}},
    {nullptr, "Name", "String", REALmemberFlag, HOST_FN(FolderName), nullptr, 0, {}},
    {nullptr, "Parent", "FolderItem", REALmemberFlag, HOST_FN(FolderParent), nullptr, 0, {}},
    {nullptr, "Directory", "Boolean", REALmemberFlag, HOST_FN(FolderDirectory), nullptr, 0, {}},
    {nullptr, "Exists", "Boolean", REALmemberFlag, HOST_FN(FolderExists), nullptr, 0, {}},
};

REALobject FolderItemFromPath(REALstring path) {
  if (!path) return nullptr;
  StrHeader* h = I().header(path);
  std::string text;
  if (!ConvertText(h->bytes(), h->length, h->encoding, kUTF8, text))
    text.assign(h->bytes(), h->length);
  REALobject f = I().instantiate(I().byRecord.at(&FolderItemClass));
  if (f) SetFolderPath(f, text);
  return f;
}

REALstring PathFromFolderItem(REALobject folder) { return FolderNativePath(folder, 0); }

#define COUNT(t) (sizeof(t) / sizeof((t)[0]))

REALclassDefinition ObjectArrayClass =
    HOST_CLASS("ObjectArray", sizeof(ArrayData), HOST_FN(ArrayConstructor),
               HOST_FN(ArrayDestructor), nullptr, 0, ArrayMethods, COUNT(ArrayMethods));
REALclassDefinition MemoryBlockClass =
    HOST_CLASS("MemoryBlock", sizeof(BlockData), nullptr, HOST_FN(BlockDestructor), BlockProperties,
               COUNT(BlockProperties), BlockMethods, COUNT(BlockMethods));
REALclassDefinition FolderItemClass =
    HOST_CLASS("FolderItem", sizeof(FolderData), HOST_FN(FolderConstructor),
               HOST_FN(FolderDestructor), FolderProperties, COUNT(FolderProperties), nullptr, 0);

// --- Property access by name -----------------------------------------------------
// Reads and writes go through the property records of the instance's class
// and its superclasses, for host and plugin classes alike. The record's
// declared type must be the entry's type.

const REALproperty* TypedProperty(REALobject o, const char* name, VType want) {
  if (!o || !name) return nullptr;
  const REALproperty* p = FindProperty(I().classOf(o), Lower(name));
  if (!p || !p->type) return nullptr;
  try {
    return TypeOfName(p->type) == want ? p : nullptr;
  } catch (const HostError&) {
    return nullptr;
  }
}

template <class T, VType V>
int8_t GetProp(REALobject o, const char* name, T* out) {
  const REALproperty* p = TypedProperty(o, name, V);
  if (!p || !p->getter || !out) return 0;
  *out = reinterpret_cast<T (*)(REALobject, intptr_t)>(p->getter)(o, p->param);
  return 1;
}

template <class T, VType V>
int8_t SetProp(REALobject o, const char* name, T value) {
  const REALproperty* p = TypedProperty(o, name, V);
  if (!p || !p->setter) return 0;
  reinterpret_cast<void (*)(REALobject, intptr_t, T)>(p->setter)(o, p->param, value);
  return 1;
}

}  // namespace

std::string NormalizePath(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    std::vector<char> buf(4096);
    std::string cwd = getcwd(buf.data(), buf.size()) ? buf.data() : "/";
    full = cwd + "/" + full;
  }
  std::string out;
  size_t i = 0;
  while (i < full.size()) {
    size_t j = full.find('/', i);
    if (j == std::string::npos) j = full.size();
    std::string part = full.substr(i, j - i);
    if (!part.empty() && part != ".") out += "/" + part;
    i = j + 1;
  }
  return out.empty() ? "/" : out;
}

void SetFolderPath(REALobject folder, const std::string& path) {
  FolderData* d = HostData<FolderData>(folder, FolderItemClass);
  if (d && d->path) *d->path = NormalizePath(path);
}

void RegisterHostClasses(Host::Impl& impl) {
  impl.registerClass(-1, &ObjectArrayClass);
  impl.registerClass(-1, &MemoryBlockClass);
  impl.registerClass(-1, &FolderItemClass);
}

void AddHostClassEntries(std::unordered_map<std::string, void*>& e) {
  auto put = [&e](const char* name, auto fn) { e[name] = reinterpret_cast<void*>(fn); };
  put("memoryBlockGetSize", &BlockSize);
  put("memoryBlockGetPtr", &BlockPtr);
  put("newMemoryBlock", &NewMemoryBlock);
  put("FolderItemFromPath", &FolderItemFromPath);
  put("REALpathFromFolderItem", &PathFromFolderItem);

  // Integer and Color properties are read and written through the Int32
  // entries: this host offers no entries of their own for them.
  put("REALGetPropValueInt", &GetProp<int32_t, VType::Int32>);
  put("REALGetPropValueUInt32", &GetProp<uint32_t, VType::UInt32>);
  put("REALGetPropValueInt64", &GetProp<int64_t, VType::Int64>);
  put("REALGetPropValueUInt64", &GetProp<uint64_t, VType::UInt64>);
  put("REALGetPropValueDouble", &GetProp<double, VType::Double>);
  put("REALGetPropValueBool", &GetProp<int8_t, VType::Boolean>);
  put("REALGetPropValueString", &GetProp<REALstring, VType::String>);
  put("REALGetPropValueObject", &GetProp<REALobject, VType::Object>);
  put("REALGetPropValuePtr", &GetProp<void*, VType::Ptr>);

  put("REALSetPropValueInt", &SetProp<int32_t, VType::Int32>);
  put("REALSetPropValueUInt32", &SetProp<uint32_t, VType::UInt32>);
  put("REALSetPropValueInt64", &SetProp<int64_t, VType::Int64>);
  put("REALSetPropValueUInt64", &SetProp<uint64_t, VType::UInt64>);
  put("REALSetPropValueDouble", &SetProp<double, VType::Double>);
  put("REALSetPropValueBoolean", &SetProp<int8_t, VType::Boolean>);
  put("REALSetPropValueString", &SetProp<REALstring, VType::String>);
  put("REALSetPropValueObject", &SetProp<REALobject, VType::Object>);
  put("REALSetPropValuePtr", &SetProp<void*, VType::Ptr>);
}

// --- The host classes in the Host API ----------------------------------------------

Obj Host::newObjectArray() { return impl_->instantiate(impl_->byRecord.at(&ObjectArrayClass)); }

int32_t Host::arrayCount(Obj array) const { return ArrayCount(array); }

Obj Host::arrayAt(Obj array, int32_t index) const {
  ArrayData* d = HostData<ArrayData>(array, ObjectArrayClass);
  if (!d || !d->items || index < 0 || size_t(index) >= d->items->size()) return nullptr;
  return (*d->items)[size_t(index)];
}

Obj Host::newMemoryBlock(const std::string& bytes) {
  Obj block = NewMemoryBlock(int32_t(bytes.size()));
  if (block && !bytes.empty()) memcpy(BlockPtr(block), bytes.data(), bytes.size());
  return block;
}

std::string Host::memoryBlockBytes(Obj block) const {
  BlockData* d = HostData<BlockData>(block, MemoryBlockClass);
  if (!d || !d->bytes) return std::string();
  return std::string(d->bytes, size_t(d->size));
}

void* Host::memoryBlockData(Obj block) const { return BlockPtr(block); }

Obj Host::folderItem(const std::string& path) {
  Obj f = impl_->instantiate(impl_->byRecord.at(&FolderItemClass));
  SetFolderPath(f, path);
  return f;
}

}  // namespace emuhost
