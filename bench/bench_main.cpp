// Every path through the plugin, measured against a twin that does the same
// work through the raw C API (or memcpy) in the same process and interpreter.
//
// Host code is compiled code: it calls plugin members through function
// pointers resolved once, and makes instances from class references it holds.
// The benchmarks do the same, so what they measure is the plugin's cost plus
// the host's honest per-call costs (instance creation, strings, references).
//
// Every path first runs on its own under Google Benchmark, for the table.
// Each pair is then reported from paired rounds (Measure): its plugin path,
// its twin and the host's instance and block, timed one after another in CPU
// time, the host's cost multiplied by what the plugin path makes and taken
// off, so that what remains is the plugin's; the median over the rounds.
//
// setup.cpp starts Python and resolves what the paths use; calls.cpp,
// collections.cpp, buffers.cpp, threads.cpp and interpreters.cpp hold the
// paths of each area,
// host_costs.cpp the host's own costs, measure.cpp the targets and how they
// are measured.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench.h"

using namespace coilbench;

int main(int argc, char** argv) {
  StartPython();
  // --parallel: only the two loops in own-lock interpreters (3.12 and later).
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--parallel") == 0) return MeasureParallel() ? 0 : 1;
  LoadPeer();
  StartSubInterpreter();

  gAscii = MakeText(false);
  gMixed = MakeText(true);
  gAsciiStr = hc.buildString(gAscii.data(), gAscii.size(), emuhost::kUTF8);
  gMixedStr = hc.buildString(gMixed.data(), gMixed.size(), emuhost::kUTF8);
  gBlock = hc.createInstance(hc.memoryBlock);
  hc.blockCtor(gBlock, 1 << 20);
  memset(hc.blockPtr(gBlock), 'x', 1 << 20);
  for (int i = 0; i < kItems; i++) {
    gKeys.push_back("key" + std::to_string(i));
    gKeyStrs.push_back(hc.buildString(gKeys.back().data(), gKeys.back().size(), emuhost::kUTF8));
  }
  gA = hc.buildString("same text", 9, emuhost::kUTF8);
  gB = hc.buildString("same text", 9, emuhost::kUTF8);
  emuhost::Plugin& plugin = host.load();
  gCompareExported = plugin.sym<int32_t (*)(REALstring, REALstring)>("REALCompareStrings");
  gCompareEntry = reinterpret_cast<int32_t (*)(REALstring, REALstring)>(host.resolve("RuntimeStringCompare"));
  gCompareExported(gA, gB);  // resolve its slot before timing
  gStringEncoding = reinterpret_cast<uint32_t (*)(REALstring)>(host.resolve("REALGetStringEncoding"));
  gStringBytes = reinterpret_cast<const char* (*)(REALstring)>(host.resolve("StringGetCString"));
  gStringLenB = reinterpret_cast<int32_t (*)(REALstring)>(
      reinterpret_cast<void* (*)(const char*, const char*)>(host.resolve("REALLoadGlobalMethod"))(
          nullptr, "LenB( s as string ) as integer"));

  gDictValue = hc.fromInt32(7);
  gDictRawValue = raw.PyLong_FromLong(7);
  gCallbackPluginArgs = CallbackArgs(gHostF);
  gCallbackRawArgs = CallbackArgs(gRawF);
  gCallbackPeerArgs = CallbackArgs(gPeerF);
  gThreadRawArgs = raw.PyTuple_New(2);
  raw.Py_IncRef(gRawThreadF);
  raw.PyTuple_SetItem(gThreadRawArgs, 0, gRawThreadF);
  raw.PyTuple_SetItem(gThreadRawArgs, 1, raw.PyLong_FromLong(kThreadCalls));

  // Every path on its own, for the table: three repetitions unless told
  // otherwise, runs of all paths interleaved. --pairs=a,b limits the paired
  // rounds to the pairs named, --rounds=N sets their number, --paired-only
  // leaves the table out; --count=a,b counts instructions instead of timing
  // (CountInstructions).
  std::vector<char*> args;
  std::string pairsWanted, countWanted;
  bool pairedOnly = false;  // --paired-only: no table, the paired rounds alone
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "--memory-calls=", 15) == 0) gMemoryCalls = atol(argv[i] + 15);
    else if (strncmp(argv[i], "--count=", 8) == 0) countWanted = std::string(",") + (argv[i] + 8) + ",";
    else if (strncmp(argv[i], "--pairs=", 8) == 0) pairsWanted = std::string(",") + (argv[i] + 8) + ",";
    else if (strncmp(argv[i], "--rounds=", 9) == 0) gRounds = std::max(1, atoi(argv[i] + 9));
    else if (strcmp(argv[i], "--paired-only") == 0) pairedOnly = true;
    else args.push_back(argv[i]);
  }
  if (!countWanted.empty()) return CountInstructions(countWanted) ? 0 : 1;
  std::string reps = "--benchmark_repetitions=3", mix = "--benchmark_enable_random_interleaving=true";
  bool given = false;
  for (int i = 1; i < argc; ++i)
    given = given || strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
  if (!given) {
    args.push_back(reps.data());
    args.push_back(mix.data());
  }
  args.push_back(nullptr);
  int count = static_cast<int>(args.size()) - 1;
  for (const Pair* pair = kPairs; pair != kPairs + kPairCount; ++pair) {
    const Pair& p = *pair;
    RegisterPath(std::string("BM_") + p.name + "_plugin", p.plugin, p, false);
    RegisterPath(std::string("BM_") + p.name + "_raw", p.twin, p, false);
    if (p.peer) RegisterPath(std::string("BM_peer_pybind11_") + p.name, p.peer, p, true);
  }
  benchmark::RegisterBenchmark("BM_host_object", BM<OneHostObject>);
  benchmark::RegisterBenchmark("BM_host_block", BM<OneHostBlock>);
  benchmark::RegisterBenchmark("BM_host_string", BM_host_string)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_call_idle_thread", BM_call_idle_thread);
  benchmark::RegisterBenchmark("BM_call_allow_threads", BM_call_allow_threads);
  benchmark::RegisterBenchmark("BM_call_time_limit", BM_call_time_limit);
  benchmark::RegisterBenchmark("BM_round_trip_copied", BM<OneRoundTripCopied>);
  benchmark::RegisterBenchmark("BM_round_trip_shared", BM<OneRoundTripShared>);
  benchmark::Initialize(&count, args.data());
  Collector collector;
  if (!pairedOnly) benchmark::RunSpecifiedBenchmarks(&collector);
  auto Measured = [&](const char* name) {
    auto it = collector.ns.find(name);
    return it == collector.ns.end() ? 0.0 : it->second;
  };
  double callNs = Measured("BM_call_plugin");
  for (const char* info : {"BM_call_idle_thread", "BM_call_allow_threads", "BM_call_time_limit"}) {
    double ns = Measured(info);
    const char* what = strcmp(info, "BM_call_idle_thread") == 0     ? "with one idle Python thread alive"
                       : strcmp(info, "BM_call_allow_threads") == 0 ? "with AllowThreads(True)"
                                                                    : "with a 10 s time limit set";
    if (ns > 0 && callNs > 0)
      printf("info: call pair %s: plugin %.0f, %.0f more than without (%.2fx), not a target\n",
             what, ns, ns - callNs, ns / callNs);
  }

  double copied = Measured("BM_round_trip_copied"), shared = Measured("BM_round_trip_shared");
  if (copied > 0 && shared > 0)
    printf("info: 1 MiB round trip host -> Python -> host: shared %.0f ns, copied %.0f ns: "
           "%.1f times faster without copies (goal 20)\n", shared, copied, copied / shared);

  // The targets, from the paired rounds.
  bool ok = true;
  int measured = 0;
  // One line per target that scripts/bench.sh reads to judge on several runs.
  auto Judge = [&](const char* name, double value, double target) {
    bool hit = value <= target && !gFailure;
    ok = ok && hit;
    printf("target %s %.3f %.2f\n", name, value, target);
    return hit;
  };
  printf("\npaired rounds: %d, ns per iteration, median over the rounds, CPU time\n", gRounds);
  for (const Pair* pair = kPairs; pair != kPairs + kPairCount; ++pair) {
    const Pair& p = *pair;
    if (!pairsWanted.empty() && pairsWanted.find(std::string(",") + p.name + ",") == std::string::npos)
      continue;
    gThreadLooks = gThreadRuns = 0;
    PairFigures f = Measure(p);
    measured++;
    if (strcmp(p.name, "call") == 0) {
      double limited = PairedRatio(OneCallPlugin, {SetLongLimit, ClearLimit}, {nullptr, nullptr});
      bool limitedHit = Judge("time_limit", limited, 1.05);
      printf("time_limit: call pair with a 10 s time limit set %.3f target 1.05%s of the pair "
             "without\n", limited, limitedHit ? "" : "  MISSED");
    }
    // Where Python's own switch into a sub-interpreter costs more than the
    // target allows the plugin's (3.12 on, where each interpreter keeps its
    // own state behind the switch), no embedding can meet it: the pair is
    // judged against that switch instead.
    const double rawSwitch = strcmp(p.name, "sub_call") == 0 ? MeasureRawSwitch() : 0;
    if (rawSwitch > p.target) {
      bool hit = Judge(p.name, f.alone / rawSwitch, p.target);
      printf("%s: plugin alone %.2f, %.2f of Python's own switch (%.2f), target %.2f%s (whole path: "
             "plugin %.0f raw %.0f ratio %.2f)\n", p.name, f.alone, f.alone / rawSwitch, rawSwitch,
             p.target, hit ? "" : "  MISSED", f.plugin, f.twin, f.plugin / f.twin);
      continue;
    }
    bool hit = Judge(p.name, f.alone, p.target);
    printf("%s: plugin alone %.2f target %.2f%s (whole path: plugin %.0f raw %.0f ratio %.2f)\n",
           p.name, f.alone, p.target, hit ? "" : "  MISSED", f.plugin, f.twin, f.plugin / f.twin);
    if (p.hostObjects > 0 || p.hostBlocks > 0)
      printf("  host: %.0f instances%s%s = %.0f (%.0f%% of the plugin path)\n", p.hostObjects,
             p.hostBlocks ? " + 1 MemoryBlock" : "", p.hostKeyReads ? " + the key reads" : "",
             f.host, 100 * f.host / f.plugin);
    // The dict pair reads each key twice (SetValue, GetValue): the host's
    // work, as its instances are; counted as the plugin's, for information.
    if (p.hostKeyReads > 0)
      printf("info: %s: with the host's key reads counted as the plugin's, plugin alone %.2f, "
             "not the target's measure\n", p.name, f.aloneWithKeyReads);
    // The peer's lines stand beside the plugin's, against the same raw twin.
    if (f.peer > 0)
      printf("peer pybind11 %s: %.0f raw %.0f ratio %.2f\n", p.name, f.peer, f.twin, f.peer / f.twin);
    if (strcmp(p.name, "call") == 0 && gPeerCallAcquire) {
      PairFigures a = Measure(Pair{"call", 0, OneCallPeerAcquire, OneCallRaw, nullptr, 0, 0, 0, false, 0});
      printf("peer pybind11 call (gil_scoped_acquire): %.0f raw %.0f ratio %.2f\n", a.plugin, a.twin,
             a.plugin / a.twin);
    }
    if (strcmp(p.name, "thread_callback") == 0) {
      if (gThreadRuns > 0)
        printf("info: thread_callback: the home thread called DeliverOutput %.1f times per call it "
               "served\n", double(gThreadLooks) / (double(gThreadRuns) * kThreadCalls));
      ThreadCallLatency();
    }
    if (strcmp(p.name, "call") == 0) {
      double kept = PairedRatio(OneCallPlugin, {StartIdleKeeping, StopIdleKeeping}, {nullptr, nullptr});
      bool keptHit = Judge("keeplock", kept, 1.10);
      printf("keeplock: call pair with an idle Python thread alive inside KeepLock(True) %.2f "
             "target 1.10%s of the pair with no other thread\n", kept, keptHit ? "" : "  MISSED");
    }
  }
  if (gFailure) printf("a path failed: %s\n", gFailure);
  bool memory = MemoryCheck();
  if (!memory) printf("memory check failed\n");
  if (measured == 0) printf("no pair measured: no target checked\n");
  else printf("%s\n", ok && memory ? "timed: all targets met" : "timed: targets missed (scripts/bench.sh judges instructions)");
  return ok && memory ? 0 : 1;
}
