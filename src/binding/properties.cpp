// Property access by name: the named getters and setters generated from the
// type table of coilwork/bindings.h, and the overloaded forms, which pass
// their values to the named form of the same type and so share its slot.
#include "binding/binding.h"

using coilwork::binding::Pass;
using coilwork::binding::PassVariable;
using coilwork::binding::Slot;

namespace {

#define COILWORK_PROPERTY_SLOTS(T, CType, getEntry, getFallback, setEntry, setFallback) \
  Slot slot_REALGetPropValue##T{getEntry, getFallback, nullptr};                        \
  Slot slot_REALSetPropValue##T{setEntry, setFallback, nullptr};
COILWORK_PROPERTY_TYPES(COILWORK_PROPERTY_SLOTS)

template <class V, class T>
inline bool GetThrough(int8_t (*named)(REALobject, const char*, V*), REALobject obj,
                       const char* propName, T* value) {
  return named(obj, propName, PassVariable<V>(value)) != 0;
}

template <class V, class T>
inline bool SetThrough(int8_t (*named)(REALobject, const char*, V), REALobject obj,
                       const char* propName, T value) {
  return named(obj, propName, Pass<V>(value)) != 0;
}

// The host stores a 32-bit value; a long may be wider, so it is read into a
// variable of the host's width and copied out only when the host succeeded.
template <class V, class T>
inline bool GetThroughTemporary(int8_t (*named)(REALobject, const char*, V*), REALobject obj,
                                const char* propName, T* value) {
  V temporary;
  if (!named(obj, propName, &temporary)) return false;
  if (value) *value = temporary;
  return true;
}

}  // namespace

// Each named getter and setter is a plain forwarding row; the fallback name,
// where there is one, lives in its slot.
#define COILWORK_DEFINE_PROPERTY(T, CType, getEntry, getFallback, setEntry, setFallback) \
  COILWORK_DEFINE_FWD(REALGetPropValue##T, getEntry, int8_t, 0,                          \
                      (REALobject, obj, const char*, propName, CType*, value))           \
  COILWORK_DEFINE_FWD(REALSetPropValue##T, setEntry, int8_t, 0,                          \
                      (REALobject, obj, const char*, propName, CType, value))
COILWORK_PROPERTY_TYPES(COILWORK_DEFINE_PROPERTY)

#define COILWORK_PROP_GET_FWD(T, named)                                                  \
  COILWORK_EXPORT_CXX bool REALGetPropValue(REALobjectStruct* obj, char const* propName, \
                                            T* value) {                                  \
    return GetThrough(REALGetPropValue##named, obj, propName, value);                    \
  }
#define COILWORK_PROP_GET_OWN(T, named)                                                  \
  COILWORK_EXPORT_CXX bool REALGetPropValue(REALobjectStruct* obj, char const* propName, \
                                            T* value) {                                  \
    return GetThroughTemporary(REALGetPropValue##named, obj, propName, value);           \
  }
#define COILWORK_PROP_GET_NO(T, named)
#define COILWORK_PROP_SET_FWD(T, named)                                                  \
  COILWORK_EXPORT_CXX bool REALSetPropValue(REALobjectStruct* obj, char const* propName, \
                                            T value) {                                   \
    return SetThrough(REALSetPropValue##named, obj, propName, value);                    \
  }
#define COILWORK_PROP_SET_NO(T, named)
#define COILWORK_DEFINE_PROPERTY_OVERLOAD(T, getKind, getNamed, setKind, setNamed) \
  COILWORK_PROP_GET_##getKind(T, getNamed) COILWORK_PROP_SET_##setKind(T, setNamed)
COILWORK_PROPERTY_OVERLOADS(COILWORK_DEFINE_PROPERTY_OVERLOAD)
