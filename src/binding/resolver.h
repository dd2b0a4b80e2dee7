// The host's resolver, as REALPluginMain receives it, and the few host
// entries bound from it once as the plugin loads and called directly.
#pragma once

#include "coilwork/plugin_interface.h"

extern REALResolver gResolver;

// Load-time host entries, bound by LoadEntryPoints and called directly.
extern void (*ELockObject)(REALobject);
extern void (*EUnlockObject)(REALobject);
extern void (*ELockString)(REALstring);
extern void (*EUnlockString)(REALstring);

// Binds the load-time entries; one the host lacks does nothing when called.
void LoadEntryPoints();
