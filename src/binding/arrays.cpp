// Array elements, whole arrays and variants. Elements go through two levels:
// the slot holds the host's accessor factory, and the factory hands out the
// element accessor for one array. The accessor is asked for on every access
// and never kept, since one array's accessor may not serve another.
#include "binding/binding.h"

using coilwork::binding::Entry;
using coilwork::binding::Pass;
using coilwork::binding::PassVariable;
using coilwork::binding::Slot;

namespace {

#define COILWORK_ARRAY_FALLBACK_DIRECT(proc) "RuntimeArrayDirectGet" #proc
#define COILWORK_ARRAY_FALLBACK_NONE(proc) nullptr
#define COILWORK_ARRAY_SLOTS(T, CType, fallback)                                            \
  Slot slot_Get##T{"Plugin" #T "ArrayGetProc", COILWORK_ARRAY_FALLBACK_##fallback(GetProc), \
                   nullptr};                                                                \
  Slot slot_Set##T{"Plugin" #T "ArraySetProc", COILWORK_ARRAY_FALLBACK_##fallback(SetProc), \
                   nullptr};                                                                \
  Slot slot_Insert##T{"Plugin" #T "ArrayInsertProc",                                        \
                      COILWORK_ARRAY_FALLBACK_##fallback(InsertProc), nullptr};
COILWORK_ARRAY_TYPES(COILWORK_ARRAY_SLOTS)

COILWORK_ARRAY_BINDINGS(COILWORK_DEFINE_SLOT)

// The element accessor the host's factory gives for this array, or null.
template <class Accessor>
inline Accessor AccessorFor(Slot& factorySlot, REALarray array) {
  auto factory = Entry<void* (*)(REALarray)>(factorySlot);
  if (!factory) return nullptr;
  return reinterpret_cast<Accessor>(factory(array));
}

template <class V, class T>
inline void GetThrough(void (*named)(REALarray, int32_t, V*), REALarray array, int32_t index,
                       T* value) {
  named(array, index, PassVariable<V>(value));
}

template <class V, class T>
inline void PutThrough(void (*named)(REALarray, int32_t, V), REALarray array, int32_t index,
                       T value) {
  named(array, index, Pass<V>(value));
}

// The long getters always leave a value: the element, or 0 when the host
// gives no accessor. The host's element is 32 bits; long may be wider.
template <class V, class T>
inline void GetAlwaysThrough(void (*named)(REALarray, int32_t, V*), REALarray array, int32_t index,
                             T* value) {
  V element = 0;
  named(array, index, &element);
  if (value) *value = element;
}

}  // namespace

// A getter stores the element at its own width; with a nil variable the
// factory is still asked, the accessor not. A setter passes the value before
// the index, an inserter the index before the value, as the host's accessors
// take them.
#define COILWORK_DEFINE_ARRAY(T, CType, fallback)                                               \
  COILWORK_EXPORT_C void REALGetArrayValue##T(REALarray array, int32_t index, CType* value) {   \
    auto get = AccessorFor<CType (*)(REALarray, int32_t)>(slot_Get##T, array);                  \
    if (get && value) *value = get(array, index);                                               \
  }                                                                                             \
  COILWORK_EXPORT_C void REALSetArrayValue##T(REALarray array, int32_t index, CType value) {    \
    auto set = AccessorFor<void (*)(REALarray, CType, int32_t)>(slot_Set##T, array);            \
    if (set) set(array, value, index);                                                          \
  }                                                                                             \
  COILWORK_EXPORT_C void REALInsertArrayValue##T(REALarray array, int32_t index, CType value) { \
    auto insert = AccessorFor<void (*)(REALarray, int32_t, CType)>(slot_Insert##T, array);      \
    if (insert) insert(array, index, value);                                                    \
  }
COILWORK_ARRAY_TYPES(COILWORK_DEFINE_ARRAY)

COILWORK_ARRAY_BINDINGS(COILWORK_DEFINE_ROW)

#define COILWORK_ARRAY_GET_FWD(T, named)                                                    \
  COILWORK_EXPORT_CXX void REALGetArrayValue(REALarrayStruct* array, int index, T* value) { \
    GetThrough(REALGetArrayValue##named, array, index, value);                              \
  }
#define COILWORK_ARRAY_GET_OWN(T, named)                                                    \
  COILWORK_EXPORT_CXX void REALGetArrayValue(REALarrayStruct* array, int index, T* value) { \
    GetAlwaysThrough(REALGetArrayValue##named, array, index, value);                        \
  }
#define COILWORK_ARRAY_SET_FWD(T, named)                                                   \
  COILWORK_EXPORT_CXX void REALSetArrayValue(REALarrayStruct* array, int index, T value) { \
    PutThrough(REALSetArrayValue##named, array, index, value);                             \
  }
#define COILWORK_ARRAY_INSERT_FWD(T, named)                                                   \
  COILWORK_EXPORT_CXX void REALInsertArrayValue(REALarrayStruct* array, int index, T value) { \
    PutThrough(REALInsertArrayValue##named, array, index, value);                             \
  }
#define COILWORK_ARRAY_INSERT_NO(T, named)
#define COILWORK_DEFINE_ARRAY_OVERLOAD(T, named, getKind, setKind, insertKind)  \
  COILWORK_ARRAY_GET_##getKind(T, named) COILWORK_ARRAY_SET_##setKind(T, named) \
      COILWORK_ARRAY_INSERT_##insertKind(T, named)
COILWORK_ARRAY_OVERLOADS(COILWORK_DEFINE_ARRAY_OVERLOAD)
