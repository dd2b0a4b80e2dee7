// The targets and how they are measured: the pairs and their targets, the
// paired rounds, the memory figures of a million calls, and the instruction
// counts under callgrind.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

// Callgrind's client requests, for --count (instruction counts), which
// scripts/bench.sh uses on x86_64; elsewhere, or without the header, --count
// is refused.
#if defined(__x86_64__) && __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define COILWORK_BENCH_CALLGRIND 1
#endif
// On armhf, under qemu with the counting plugin (bench/qemu_count.c, which
// scripts/bench-armhf.sh loads), a block is marked by a system call no
// kernel has: the plugin prints its count of executed instructions at each
// mark; elsewhere the call only answers ENOSYS.
#if defined(__arm__) && defined(__linux__)
#include <sys/syscall.h>
#define COILWORK_BENCH_MARKS 1
#endif

#include "bench.h"

namespace coilbench {

// --------------------------------------------------------------- targets
// The target applies to the plugin's own share: the path's time less the
// host's cost of what the path makes, over the raw twin's time.
//
// It is taken from paired rounds, not from the Google Benchmark runs above:
// in each round the plugin path, its twin, the host's instance (and block)
// and the peer run one after another, each for a block of about 20 ms of CPU
// time, in an order that alternates from round to round; the round's share is
// computed from those blocks alone, and the figure is the median over the
// rounds. On this shared two-core machine load comes in spells lasting
// seconds: the fastest of seven repetitions, taken minutes apart, still moved
// identical paths by 10 to 15 % between runs (string_utf8 0.91 to 1.06,
// binding 0.95 to 1.07). The blocks of one round fall in the same spell, and
// paired figures of identical paths stay within a few hundredths from run to
// run; a spell can still raise a pair's figure, where it slows the plugin's
// path more than its twin.
extern const Pair kPairs[] = {
    {"call", 1.20, OneCallPlugin, OneCallRaw, OneCallPeer, 2, 0, 0, false, 0},  // parameters, result
    {"callback", 1.10, OneCallback<&gCallbackPluginArgs>, OneCallback<&gCallbackRawArgs>,
     OneCallback<&gCallbackPeerArgs>, 2 * kLoop, 0, 0, false, kLoop},  // parameters, result per call of f
    {"string_ascii", 1.05, OneStringPlugin<&gAsciiStr>, OneStringRaw<&gAscii>, nullptr, 1, 0, 0,
     false, 0},  // the entity (and one host string)
    {"string_utf8", 1.05, OneStringPlugin<&gMixedStr>, OneStringRaw<&gMixed>, nullptr, 1, 0, 0, false, 0},
    {"bytes", 1.15, OneBytesPlugin, OneBytesRaw, nullptr, 1, 1, 0, false, 0},  // the holder, the block
    {"binding", 1.05, OneBindingPlugin, OneBindingRaw, nullptr, 0, 0, 0, false, 0},
    {"list", 1.40, OneListPlugin, OneListRaw, nullptr, 2 * kItems + 1, 0, 0, true, 0},  // Append, GetItem
    // per GetValue, and each key read twice (SetValue, GetValue)
    {"dict", 1.10, OneDictPlugin, OneDictRaw, nullptr, kItems + 1, 0, 2, true, 0},
    {"method", 1.20, OneMethodPlugin, OneMethodRaw, nullptr, 2, 0, 0, false, 0},  // parameters, result
    {"iterate", 1.30, OneIteratePlugin, OneIterateRaw, nullptr, kItems + 1, 0, 0, true, kItems},  // per item
    {"buffer_in", 1.60, OneBufferInPlugin, OneBufferInRaw, nullptr, 3, 0, 0, false, 0},  // view, parameters, result
    {"buffer_out", 2.00, OneBufferOutPlugin, OneBufferOutRaw, nullptr, 1, 0, 0, false, 0},  // the buffer
    // parameters, result per call of f
    {"thread_callback", 1.25, OneThreadCallbackPlugin, OneThreadCallbackRaw, nullptr, 2 * kThreadCalls,
     0, 0, true, kThreadCalls},
    // The same call in the main interpreter is its twin: whole paths, no host share taken off.
    {"sub_call", 1.20, OneSubCallPlugin, OneCallPlugin, nullptr, 0, 0, 0, false, 0},
    // The same, with the sub-interpreter activated on the home thread (the
    // target holds up to 3.11; scripts/bench.sh says so).
    {"activated_call", 1.50, OneSubCallPlugin, OneCallPlugin, nullptr, 0, 0, 0, false, 0, ActivateSub,
     DeactivateSub},
};
const size_t kPairCount = sizeof(kPairs) / sizeof(kPairs[0]);

// A pair's path in the table; the peer's is skipped where no peer loaded.
void RegisterPath(const std::string& name, void (*one)(), const Pair& p, bool peer) {
  auto* b = benchmark::RegisterBenchmark(name.c_str(), [one, &p, peer](benchmark::State& st) {
    if (peer && !(gPeerCall && gCallbackPeerArgs)) return st.SkipWithError("no pybind11 peer");
    bool set = one == p.plugin && p.enter;
    if (set) p.enter();
    for (auto _ : st) one();
    if (set) p.leave();
    if (p.items) st.SetItemsProcessed(st.iterations() * p.items);
  });
  if (p.milliseconds) b->Unit(benchmark::kMillisecond);
}

double CpuNs() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e9 + t.tv_nsec;
}

// One block: the path repeated n times; ns per iteration.
double Block(void (*one)(), long n) {
  double start = CpuNs();
  for (long i = 0; i < n; i++) one();
  return (CpuNs() - start) / n;
}

// How many iterations make a block of about 20 ms (at least one).
long BlockSize(void (*one)()) {
  long n = 1;
  for (;;) {
    double ns = Block(one, n) * n;
    if (ns >= 2e7 || n >= (1L << 30)) return n;
    n = ns < 1e6 ? n * 16 : std::max(n + 1, static_cast<long>(n * 2.2e7 / ns));
  }
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

int gRounds = 21;

double PairedRatio(void (*one)(), Setting measured, Setting base) {
  long n = BlockSize(one);
  std::vector<double> ratios;
  for (int r = 0; r < gRounds; r++) {
    double ns[2] = {0, 0};
    for (int side = 0; side < 2; side++) {
      int which = (side == 0) == (r % 2 == 0) ? 0 : 1;
      const Setting& s = which == 0 ? measured : base;
      if (s.enter) s.enter();
      ns[which] = Block(one, n);
      if (s.leave) s.leave();
    }
    ratios.push_back(ns[0] / ns[1]);
  }
  return Median(ratios);
}

PairFigures Measure(const Pair& p) {
  struct Side {
    void (*one)();
    long n;
    std::vector<double> ns;
    void (*enter)() = nullptr;
    void (*leave)() = nullptr;
  };
  std::vector<Side> sides = {{p.plugin, 0, {}, p.enter, p.leave}, {p.twin, 0, {}}};
  if (p.hostObjects > 0) sides.push_back({OneHostObject, 0, {}});
  if (p.hostBlocks > 0) sides.push_back({OneHostBlock, 0, {}});
  bool keyReads = p.hostKeyReads > 0 && gStringEncoding && gStringLenB && gStringBytes;
  if (keyReads) sides.push_back({OneHostStrings, 0, {}});
  bool peer = p.peer && gPeerCall && gCallbackPeerArgs;
  if (peer) sides.push_back({p.peer, 0, {}});
  for (Side& s : sides) {
    if (s.enter) s.enter();
    s.n = BlockSize(s.one);
    if (s.leave) s.leave();
  }
  std::vector<double> alone, host, withKeyReads;
  for (int r = 0; r < gRounds; r++) {
    // Forwards in even rounds, backwards in odd ones: no side always runs
    // first or last.
    for (size_t i = 0; i < sides.size(); i++) {
      Side& s = sides[r % 2 ? sides.size() - 1 - i : i];
      if (s.enter) s.enter();
      s.ns.push_back(Block(s.one, s.n));
      if (s.leave) s.leave();
    }
    size_t k = 2;
    double h = 0;
    if (p.hostObjects > 0) h += p.hostObjects * sides[k++].ns.back();
    if (p.hostBlocks > 0) h += p.hostBlocks * sides[k++].ns.back();
    withKeyReads.push_back((sides[0].ns.back() - h) / sides[1].ns.back());
    double reads = keyReads ? p.hostKeyReads * sides[k++].ns.back() : 0;
    host.push_back(h + reads);
    alone.push_back((sides[0].ns.back() - h - reads) / sides[1].ns.back());
  }
  PairFigures f{Median(alone), Median(sides[0].ns), Median(sides[1].ns), 0, Median(host),
                Median(withKeyReads)};
  if (peer) f.peer = Median(sides.back().ns);
  return f;
}

// The call pair with a time limit set that no call reaches (10 s), against
// the same pair without one. The watchdog's own CPU time counts (process
// time).
void SetLongLimit() { hc.setTimeLimit(10000); }
void ClearLimit() { hc.setTimeLimit(0); }

long ResidentKiB() {
  std::ifstream f("/proc/self/statm");
  long pages = 0, resident = 0;
  f >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A million call pairs (or --memory-calls=N): live host counts, the
// function's and module's reference counts, and resident memory before and
// after.
long gMemoryCalls = 1000000;

bool MemoryCheck() {
  size_t objects = host.liveObjects(), strings = host.liveStrings();
  intptr_t fRef = *reinterpret_cast<intptr_t*>(gAddRaw);
  PyObj* module = raw.PyImport_ImportModule("coilbench");
  intptr_t mRef = *reinterpret_cast<intptr_t*>(module) - 1;
  for (int i = 0; i < 10000; i++) PluginCall(i, 1);  // warm the allocators
  long rssBefore = ResidentKiB();
  for (long i = 0; i < gMemoryCalls; i++) PluginCall(int32_t(i), 1);
  long rssAfter = ResidentKiB();
  intptr_t fRefAfter = *reinterpret_cast<intptr_t*>(gAddRaw);
  intptr_t mRefAfter = *reinterpret_cast<intptr_t*>(module) - 1;
  raw.Py_DecRef(module);
  long grown = rssAfter - rssBefore;
  bool ok = host.liveObjects() == objects && host.liveStrings() == strings && fRef == fRefAfter &&
            mRef == mRefAfter && grown <= 1024;
  printf("memory: live host objects %zu -> %zu, live strings %zu -> %zu\n", objects,
         host.liveObjects(), strings, host.liveStrings());
  printf("memory: refcount of add %ld -> %ld, of its module %ld -> %ld\n", long(fRef),
         long(fRefAfter), long(mRef), long(mRefAfter));
  printf("memory: resident %ld KiB -> %ld KiB after %ld calls (grew %ld KiB, limit 1024)\n",
         rssBefore, rssAfter, gMemoryCalls, grown);
  return ok;
}

// --count=a,b, or --count=all (run under valgrind --tool=callgrind, as scripts/bench.sh
// does): the instructions of each named pair's plugin path, of its twin, of
// the host's work the pair's figure takes off and of the pybind11 peer, each
// counted over two blocks of a fixed number of iterations, n and 2n, after
// one untimed warm-up. Callgrind's counters are zeroed before each block and
// dumped after it, with every thread's instructions (the Python thread's too,
// for thread_callback); the dump is labelled "count PAIR SIDE ITERATIONS
// WEIGHT", WEIGHT being how many of that side one iteration of the plugin
// path holds (1 for the paths themselves). The difference of the two blocks
// over n is the side's figure per iteration: what a block costs once (the
// zeroing, the dump, a collection that happens to fall in it) drops out, and
// the fixed counts make the figure the same from run to run.
//
// The first dump of a process also holds work done before the first zeroing
// (the set-up's strings): a dump labelled "count - settle" takes it first.
#if defined(COILWORK_BENCH_CALLGRIND)
void BeginCount() { CALLGRIND_ZERO_STATS; }
void EndCount(const std::string& label) { CALLGRIND_DUMP_STATS_AT(label.c_str()); }
#elif defined(COILWORK_BENCH_MARKS)
// The mark's number, as the plugin knows it; each block's marks carry its
// own number, and its label follows on the standard output.
constexpr long kMarkCall = 0x7ff0;
long gMark;
void BeginCount() { syscall(kMarkCall, ++gMark, 0L); }
void EndCount(const std::string& label) {
  syscall(kMarkCall, gMark, 1L);
  printf("count-mark %ld %s\n", gMark, label.c_str());
  fflush(stdout);
}
#endif

bool CountInstructions(const std::string& wanted) {
#if defined(COILWORK_BENCH_CALLGRIND) || defined(COILWORK_BENCH_MARKS)
#ifdef COILWORK_BENCH_CALLGRIND
  if (!RUNNING_ON_VALGRIND) fprintf(stderr, "bench: --count counts only under callgrind\n");
#endif
  BeginCount();
  EndCount("count - settle");
  int counted = 0;
  for (const Pair& p : kPairs) {
    if (wanted != ",all," && wanted.find(std::string(",") + p.name + ",") == std::string::npos) continue;
    struct Part {
      const char* side;
      void (*one)();
      double weight;
    } parts[] = {{"plugin", p.plugin, 1},
                 {"twin", p.twin, 1},
                 {"host_object", OneHostObject, p.hostObjects},
                 {"host_block", OneHostBlock, p.hostBlocks},
                 {"host_key_reads", OneHostStrings, p.hostKeyReads},
                 {"peer", p.peer && gPeerCall && gCallbackPeerArgs ? p.peer : nullptr, 1},
                 {"peer_acquire", p.plugin == OneCallPlugin && gPeerCallAcquire ? OneCallPeerAcquire : nullptr, 1}};
    // About 4,000 calls a block: a path that makes many calls an iteration
    // (a loop, 100,000 items) runs fewer iterations, at least one; and no
    // more than fit in about a second of the counting run's own time (a
    // power of two, so that the figure hardly ever moves with the
    // machine's speed): a path that converts megabytes runs few.
    auto Count = [&](const char* side, void (*one)(), double weight, long calls) {
      bool set = one == p.plugin && p.enter;
      if (set) p.enter();
      one();  // the first call also translates code under the counter
      long k = 0;
      double start = CpuNs();
      do one(), ++k;
      while (CpuNs() - start < 2e6 && k < 64);
      double once = std::max(1.0, (CpuNs() - start) / k);
      long n = std::max(1L, 4096 / std::max(1L, calls));
      while (n > 1 && n * once > 1e9) n /= 2;
      for (long size : {n, 2 * n}) {
        gThreadLooks = gThreadRuns = 0;
        std::string label = std::string("count ") + p.name + " " + side + " " + std::to_string(size) +
                            " " + std::to_string(weight);
        BeginCount();
        for (long i = 0; i < size; i++) one();
        EndCount(label);
      }
      if (set) p.leave();
      return 2 * n;
    };
    // The calls one iteration of a side makes.
    long calls = p.milliseconds ? 4096 : std::max(1, p.items);
    double looksPerRun = 0;
    for (const Part& part : parts) {
      if (part.weight <= 0 || !part.one) continue;
      bool own = part.one == p.plugin || part.one == p.twin || part.one == p.peer ||
                 part.one == OneCallPeerAcquire;
      long n = Count(part.side, part.one, part.weight, own ? calls : 1);
      if (part.one == OneThreadCallbackPlugin) looksPerRun = double(gThreadLooks) / n;
    }
    // The serving loop's DeliverOutput: one that finds nothing to do, counted
    // with an idle Python thread alive (it takes and gives back the lock),
    // weighted by the looks per iteration of the counted block; printed
    // beside the pair, not taken off.
    if (looksPerRun > 0) {
      CallPython(gStartIdle);
      Count("idle_look", hc.deliverOutput, looksPerRun, 1);
      CallPython(gStopIdle);
    }
    // Python's own switch into a sub-interpreter and back around the raw
    // call, over the raw call: what sub_call is judged against where that
    // switch alone costs more than its target (3.12 on).
    if (strcmp(p.name, "sub_call") == 0) {
      if (StartRawSwitch()) {
        Count("switch_raw", OneSubCallRaw, 0, 1);
        Count("switch_twin", OneCallRaw, 0, 1);
      }
      EndRawSwitch();
    }
    counted++;
  }
  if (gFailure) fprintf(stderr, "a path failed: %s\n", gFailure);
  return counted > 0 && !gFailure;
#else
  (void)wanted;
  fprintf(stderr, "bench: --count needs valgrind's callgrind.h at build time (x86_64), or armhf\n");
  return false;
#endif
}

}  // namespace coilbench
