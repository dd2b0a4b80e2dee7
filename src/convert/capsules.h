// The host objects that Python holds in this plugin's capsules, by capsule.
//
// Each capsule carries one host reference, given back when Python frees the
// capsule. A capsule still alive when the interpreter stops (one that a host
// holder kept) is never freed: a holder let go after Finalize cannot tell
// Python, and the old interpreter's objects are not Python's to free any
// more. So Finalize gives those references back itself, and such a capsule,
// should it be met again, no longer stands for a host object.
#pragma once

#include "plugin/plugin.h"

// A capsule was made for the object; its host reference is the capsule's.
void CapsuleMade(PyObject* capsule, REALobject hostObject);

// Python frees the capsule: the host object whose reference it still holds,
// or nil when that was already given back.
REALobject CapsuleFreed(PyObject* capsule);

// Whether the capsule still holds its host object's reference.
bool CapsuleLive(PyObject* capsule);

// After Python stopped: gives back the reference of every capsule left.
void ReleaseCapsulesAfterFinalize();
