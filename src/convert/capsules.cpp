// The registry of live host-object capsules (capsules.h).
#include "convert/capsules.h"

#include <unordered_map>
#include <utility>

namespace {

// Process-lived, never destroyed: capsules may be freed while the process
// exits, after static destructors have run.
std::unordered_map<PyObject*, REALobject>& Live() {
  static auto* live = new std::unordered_map<PyObject*, REALobject>();
  return *live;
}

}  // namespace

void CapsuleMade(PyObject* capsule, REALobject hostObject) { Live()[capsule] = hostObject; }

REALobject CapsuleFreed(PyObject* capsule) {
  auto it = Live().find(capsule);
  if (it == Live().end()) return nullptr;
  REALobject hostObject = it->second;
  Live().erase(it);
  return hostObject;
}

bool CapsuleLive(PyObject* capsule) { return Live().count(capsule) != 0; }

void ReleaseCapsulesAfterFinalize() {
  // Unlocking may run host destructors that come back here: work on a copy.
  std::unordered_map<PyObject*, REALobject> left;
  left.swap(Live());
  for (auto& entry : left) EUnlockObject(entry.second);
}
