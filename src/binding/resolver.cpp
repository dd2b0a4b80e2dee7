// The host's resolver and the load-time host entries (resolver.h).
#include "binding/resolver.h"

#include "binding/binding.h"

REALResolver gResolver;

void (*ELockObject)(REALobject);
void (*EUnlockObject)(REALobject);
void (*ELockString)(REALstring);
void (*EUnlockString)(REALstring);

namespace {

// A host entry that is missing answers with this instead of a null call.
void IgnoreObject(REALobject) {}
void IgnoreString(REALstring) {}

template <class F>
void Bind(F& slot, const char* name, F fallback) {
  slot = reinterpret_cast<F>(HCallResolver(name));
  if (!slot) slot = fallback;
}

}  // namespace

void LoadEntryPoints() {
  Bind(ELockObject, "REALLockObject", IgnoreObject);
  Bind(EUnlockObject, "REALUnlockObject", IgnoreObject);
  Bind(EUnlockString, "REALUnlockString", IgnoreString);
  Bind(ELockString, "REALLockString", IgnoreString);
}

COILWORK_EXPORT_C void* HCallResolver(const char* name) {
  return gResolver ? gResolver(name) : nullptr;
}
