// The mechanism behind every exported binding function: one slot per
// operation, filled from the host's resolver on first use.
//
// A slot remembers the host's answer, null or not. A null answer is asked for
// again on the next call, so a host that gains an entry later is still found;
// a non-null answer is kept for the life of the process and never asked for
// again. Where a second name is given, a host that lacks the first is asked at
// once for the second, and the answer lands in the same slot.
#pragma once

#include <type_traits>

#include "coilwork/plugin_interface.h"

// Named binding functions are C functions; overloaded forms are C++ ones.
#define COILWORK_EXPORT_C extern "C" __attribute__((visibility("default")))
#define COILWORK_EXPORT_CXX __attribute__((visibility("default")))

namespace coilwork::binding {

struct Slot {
  const char* name;
  const char* fallback;  // null when there is none
  void* address;         // null until the host answers
};

// Asks the host for the slot's name (then its fallback) and stores the answer.
// Kept out of line and cold: after the first success no caller reaches it, and
// the fast path stays a load, a test and a tail call.
__attribute__((noinline, cold)) void* Lookup(Slot& slot);

// The bytes of a host string the host stores as UTF-8, and their count, read
// with the host's encoding, "LenB" and "StringGetCString" entries as
// REALGetStringEncoding and REALGetStringContents read them; null for nil,
// for a string stored in another encoding, and when the host lacks one of
// the three. Once the three are known, a read is the three host calls alone.
const char* StoredUTF8(REALstring s, size_t* length);

// The slot's entry as a function of type Fn, or null while the host has none.
template <class Fn>
inline Fn Entry(Slot& slot) {
  void* address = slot.address;
  if (__builtin_expect(address == nullptr, 0)) address = Lookup(slot);
  return reinterpret_cast<Fn>(address);
}

// Passes a value of an overloaded form to its named form: integers convert,
// pointers keep their address (the named form may drop a const that the
// overload's C++ type carries). The two types always have the same width,
// except where an integer is knowingly narrowed to the host's 32 bits.
template <class To, class From>
inline To Pass(From value) {
  if constexpr (std::is_pointer_v<From>) {
    static_assert(std::is_pointer_v<To>, "a pointer passes only as a pointer");
    return (To)(value);  // NOLINT: const and pointee type change on purpose
  } else {
    return static_cast<To>(value);
  }
}

// The address of an overload's variable as the named form's variable. The
// host writes exactly sizeof(To) bytes, so the widths must agree.
template <class To, class From>
inline To* PassVariable(From* variable) {
  static_assert(sizeof(To) == sizeof(From), "a variable passes only at its own width");
  return (To*)(variable);  // NOLINT: same width, different C++ spelling
}

}  // namespace coilwork::binding

// The generated definition of a plain row (kind FWD). The exported function
// is the fast path: a load, a test and a tail call into the host. The first
// call, and every call while the host lacks the entry, goes to a cold twin
// with the same parameters that resolves the slot and either calls the entry
// or returns the unresolved result. OWN rows are written by hand next to the
// table's use.
#define COILWORK_DEFINE_FWD(name, entry, R, unresolved, params)                      \
  namespace {                                                                        \
  __attribute__((noinline, cold)) R FirstCall_##name(COILWORK_PARAMS params) {       \
    auto fn = ::coilwork::binding::Entry<R (*)(COILWORK_TYPES params)>(slot_##name); \
    if (!fn) return unresolved;                                                      \
    return fn(COILWORK_NAMES params);                                                \
  }                                                                                  \
  }                                                                                  \
  COILWORK_EXPORT_C R name(COILWORK_PARAMS params) {                                 \
    auto fn = reinterpret_cast<R (*)(COILWORK_TYPES params)>(slot_##name.address);   \
    if (__builtin_expect(fn != nullptr, 1)) return fn(COILWORK_NAMES params);        \
    return FirstCall_##name(COILWORK_NAMES params);                                  \
  }
#define COILWORK_DEFINE_OWN(name, entry, R, unresolved, params)
#define COILWORK_DEFINE_ROW(kind, name, entry, R, unresolved, params) \
  COILWORK_DEFINE_##kind(name, entry, R, unresolved, params)

// One slot per row, named after the function. Hand-written rows find theirs
// under the same name (or share another row's, as their rules say).
#define COILWORK_DEFINE_SLOT(kind, name, entry, R, unresolved, params) \
  [[maybe_unused]] ::coilwork::binding::Slot slot_##name{entry, nullptr, nullptr};

// An overloaded form of kind FWD hands its arguments to the named function
// whose slot it shares; C++ converts them to the named function's types.
#define COILWORK_DEFINE_OVERLOAD_FWD(R, name, named, params) \
  COILWORK_EXPORT_CXX R name(COILWORK_PARAMS params) { return named(COILWORK_NAMES params); }
#define COILWORK_DEFINE_OVERLOAD_OWN(R, name, named, params)
#define COILWORK_DEFINE_OVERLOAD(kind, R, name, named, params) \
  COILWORK_DEFINE_OVERLOAD_##kind(R, name, named, params)
