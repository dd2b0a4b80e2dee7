// What the host's own work costs: an instance, a 1 MiB MemoryBlock, the
// reads of a key string. Taken off the plugin's paths, or printed beside.
#include "bench.h"

namespace coilbench {

// host: what one instance costs the host, made and released as host code
// makes and releases the holders above (a Python3Result, whose destructor has
// nothing to release). Not a pair: it tells how much of each plugin path is
// the host's own work.
void OneHostObject() {
  Obj r = hc.createInstance(hc.result);
  benchmark::DoNotOptimize(r);
  hc.unlock(r);
}

// host: a 1 MiB MemoryBlock made, sized (the host zero-fills it) and released,
// as the plugin has the host make one for ToMemoryBlock.
void OneHostBlock() {
  Obj b = hc.createInstance(hc.memoryBlock);
  hc.blockCtor(b, 1 << 20);
  benchmark::DoNotOptimize(hc.blockPtr(b));
  hc.unlock(b);
}

// host: the three reads the plugin makes of a key String the host hands it
// (its encoding, its length in bytes, its bytes), over the dict pair's keys.
// Not subtracted from any pair: printed beside the dict pair, for information.
uint32_t (*gStringEncoding)(REALstring);
int32_t (*gStringLenB)(REALstring);
const char* (*gStringBytes)(REALstring);
void OneHostStrings() {
  for (Str k : gKeyStrs) {
    benchmark::DoNotOptimize(gStringEncoding(k));
    benchmark::DoNotOptimize(gStringLenB(k));
    benchmark::DoNotOptimize(gStringBytes(k));
  }
}

void BM_host_string(benchmark::State& state) {
  if (!gStringEncoding || !gStringLenB || !gStringBytes)
    return state.SkipWithError("the host's string reads were not resolved");
  BM<OneHostStrings>(state);
  state.SetItemsProcessed(state.iterations() * kItems);
}

}  // namespace coilbench
