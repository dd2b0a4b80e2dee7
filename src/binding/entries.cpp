// The untyped binding functions: strings, objects, registration, runtime,
// memory blocks, databases, controls, graphics and sockets. The tables in
// coilwork/bindings.h generate the plain ones; the rows marked OWN, whose
// rules go beyond forwarding, are written out below.
#include "binding/binding.h"

#include <stdint.h>

namespace coilwork::binding {

void* Lookup(Slot& slot) {
  void* address = HCallResolver(slot.name);
  if (!address && slot.fallback) address = HCallResolver(slot.fallback);
  slot.address = address;
  return address;
}

}  // namespace coilwork::binding

using coilwork::binding::Entry;
using coilwork::binding::Slot;

namespace {

COILWORK_UNTYPED_BINDINGS(COILWORK_DEFINE_SLOT)

// The host's global method giving a string's length in bytes.
constexpr const char kLenB[] = "LenB( s as string ) as integer";
using LenBMethod = int32_t (*)(REALstring);

// REALGetStringContents and REALStringLength each keep their own copy of the
// LenB method, obtained through the "REALLoadGlobalMethod" slot.
void* gContentsLenB;
void* gStringLengthLenB;

LenBMethod LoadLenB(void*& method) {
  if (!method) {
    auto load = Entry<void* (*)(const char*, const char*)>(slot_REALLoadGlobalMethod);
    method = load ? load(nullptr, kLenB) : nullptr;
  }
  return reinterpret_cast<LenBMethod>(method);
}

// The word at a given index of a definition record the host has filled.
inline uintptr_t RecordWord(const void* record, size_t index) {
  return static_cast<const uintptr_t*>(record)[index];
}

}  // namespace

COILWORK_UNTYPED_BINDINGS(COILWORK_DEFINE_ROW)
COILWORK_UNTYPED_OVERLOADS(COILWORK_DEFINE_OVERLOAD)

// ---------------------------------------------------------------- strings

COILWORK_EXPORT_C const char* REALGetStringContents(REALstring str, size_t* numBytes) {
  if (!str) return nullptr;
  auto cString = Entry<const char* (*)(REALstring)>(slot_REALGetStringContents);
  LenBMethod lenB = LoadLenB(gContentsLenB);
  if (numBytes && lenB) *numBytes = static_cast<size_t>(lenB(str));
  if (!cString) return nullptr;
  return cString(str);
}

namespace coilwork::binding {

const char* StoredUTF8(REALstring s, size_t* length) {
  using Encoding = uint32_t (*)(REALstring);
  using Bytes = const char* (*)(REALstring);
  auto encoding = reinterpret_cast<Encoding>(slot_REALGetStringEncoding.address);
  auto bytes = reinterpret_cast<Bytes>(slot_REALGetStringContents.address);
  auto lenB = reinterpret_cast<LenBMethod>(gContentsLenB);
  if (__builtin_expect(!encoding || !bytes || !lenB, 0)) {
    // Not all known yet: the ordinary way, which asks the host for them.
    if (!s || REALGetStringEncoding(s) != kREALTextEncodingUTF8) return nullptr;
    size_t counted = SIZE_MAX;  // stays so when the host cannot tell the length
    const char* stored = REALGetStringContents(s, &counted);
    if (!stored || counted == SIZE_MAX) return nullptr;
    *length = counted;
    return stored;
  }
  if (!s || encoding(s) != kREALTextEncodingUTF8) return nullptr;
  *length = static_cast<size_t>(lenB(s));
  return bytes(s);
}

}  // namespace coilwork::binding

COILWORK_EXPORT_C int32_t REALStringLength(REALstring str) {
  LenBMethod lenB = LoadLenB(gStringLengthLenB);
  return lenB ? lenB(str) : 0;
}

// A negative count names no bytes; it must not reach the host as a huge size.
COILWORK_EXPORT_CXX REALstring REALBuildString(char const* contents, int byteCount,
                                               unsigned int encoding) {
  if (byteCount < 0) return nullptr;
  return REALBuildStringWithEncoding(contents, static_cast<size_t>(byteCount), encoding);
}

// ------------------------------------------------------ objects and classes

COILWORK_EXPORT_C REALobject REALnewInstanceWithClass(REALclassRef classRef) {
  auto create = Entry<REALobject (*)(REALclassRef)>(slot_REALnewInstanceWithClass);
  if (!classRef || !create) return nullptr;
  return create(classRef);
}

// A host without "PluginNewInstanceOfClass" still makes the instance from the
// class's name, which it knows from registration.
COILWORK_EXPORT_C REALobject REALnewInstanceOfClass(REALclassDefinition* definition) {
  if (!definition) return nullptr;
  auto make = Entry<REALobject (*)(REALclassDefinition*)>(slot_REALnewInstanceOfClass);
  if (make) return make(definition);
  auto classRefOf = Entry<REALclassRef (*)(const char*)>(slot_REALGetClassRef);
  if (!classRefOf) return nullptr;
  REALclassRef classRef = classRefOf(definition->name);
  if (!classRef) return nullptr;
  auto create = Entry<REALobject (*)(REALclassRef)>(slot_REALnewInstanceWithClass);
  if (!create) return nullptr;
  return create(classRef);
}

// Per-instance data lives at the offset the host wrote into the record when
// the class was registered; no host call is needed to find it.
COILWORK_EXPORT_C void* REALGetClassData(REALobject instance, REALclassDefinition* definition) {
  if (!instance || !definition) return nullptr;
  return reinterpret_cast<char*>(instance) + definition->forSystemUse;
}

COILWORK_EXPORT_C void* REALGetControlData(REALobject instance, void* controlDefinition) {
  if (!instance || !controlDefinition) return nullptr;
  return reinterpret_cast<char*>(instance) + RecordWord(controlDefinition, 15);
}

// The host resolves global methods by prototype alone; the module is never
// passed on.
COILWORK_EXPORT_C void* REALLoadGlobalMethod(const char* module, const char* prototype) {
  return REALLoadFrameworkMethod(prototype);
}

COILWORK_EXPORT_C void* REALLoadFrameworkMethod(const char* prototype) {
  auto load = Entry<void* (*)(const char*, const char*)>(slot_REALLoadGlobalMethod);
  if (!load) return nullptr;
  return load(nullptr, prototype);
}

// The host identifies an event by the word it wrote into the event record at
// registration, not by the record's address.
COILWORK_EXPORT_C void* REALGetEventInstance(REALobject instance, REALevent* event) {
  if (!event) return nullptr;
  auto handler = Entry<void* (*)(REALobject, uintptr_t)>(slot_REALGetEventInstance);
  if (!handler) return nullptr;
  return handler(instance, event->forSystemUse);
}

// --------------------------------------------------------------- controls

// These host entries answer in a full register of which only the low byte is
// the Boolean; whatever the rest holds is dropped.
COILWORK_EXPORT_C int8_t REALGetTabPanelVisible(REALobject control) {
  auto visible = Entry<uint32_t (*)(REALobject)>(slot_REALGetTabPanelVisible);
  return visible ? static_cast<int8_t>(visible(control) & 0xFF) : 0;
}

COILWORK_EXPORT_C int8_t REALGetControlFocus(REALobject control) {
  auto focus = Entry<uint32_t (*)(REALobject)>(slot_REALGetControlFocus);
  return focus ? static_cast<int8_t>(focus(control) & 0xFF) : 0;
}
