// cache_bench - what does the lookup cache (10,000 answers, as a Python variant has it)
// save or cost against the kind-5 trie behind it?  Both alternated: cache_ns, inner_ns, ratio.
// Streams: 0 in-table, rarely repeating; 1 uniform; 2 skewed (10% of 100,000 take 90%).
#include <memory>

#include "cache/cache.hpp"
#include "common/engines.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "sync/rcu.hpp"

namespace {

using namespace netrove;
namespace nb = netrove::bench;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kCapacity = 10000;
constexpr std::size_t kStream = std::size_t{1} << 20, kMask = kStream - 1;

struct World {
  std::shared_ptr<LocalEngine> inner;
  std::vector<IpAddress> streams[4];
};

World& world() {
  static World& w = *[] {
    auto* w = new World;  // never destroyed
    const auto& prefixes = nb::table_prefixes();
    w->inner = std::make_shared<LocalEngine>(build_local(0, 1, true, std::nullopt));  // kind 5
    nb::fill(*w->inner, prefixes, 1000, true);
    w->streams[0] = nb::inside_addresses(prefixes, kStream, 42);
    w->streams[1] = nb::random_addresses(kStream, nb::v4_share(prefixes), 43);
    nb::Rng rng(44);
    constexpr std::size_t kHot = 10000, kDistinct = 100000;
    for (std::size_t i = 0; i < kStream; ++i) {  // stream 0's addresses, 7 apart so never in its order
      const std::size_t k = rng() % 10 < 9 ? rng() % kHot : kHot + rng() % (kDistinct - kHot);
      w->streams[2].push_back(w->streams[0][k * 7]);
      w->streams[3].push_back(w->streams[0][i % 8192]);
    }
    return w;
  }();
  return w;
}

std::unique_ptr<CachedEngine> full_cache(const std::vector<IpAddress>& warm, std::uint64_t capacity = kCapacity) {
  auto c = std::make_unique<CachedEngine>(std::nullopt, capacity, world().inner);
  for (std::size_t i = 0; i < warm.size() && (i % 1024 != 0 || c->cached() < capacity); ++i)
    (void)c->lookup_with(warm[i], {});
  return c;
}

std::size_t g_bytes = 0;
/// What a lending caller does with the record: reads its value.
const auto count = [](const RecordView& r) noexcept { g_bytes += r.value().size(); };

/// A stream through a full cache.  Modes: 0 lending lookups; 1 chained (each picked by the last
/// answer: no overlap of misses); 2 lookup_many, 3 contains_many of 256.  Stream 3: 8,192 cached.
void BM_Lookups(benchmark::State& state, int mode, int stream) {
  const auto& s = world().streams[stream];
  auto cache = full_cache(s, stream == 3 ? 16384 : kCapacity);
  const LocalEngine& inner = *world().inner;
  constexpr std::size_t kPer = 4096, kCall = 256;
  std::size_t seen = 0;
  const auto size = [&](const RecordView& r) noexcept { seen = r.value().size(); };
  const RecordVisitor visit(count), chain(size);
  std::vector<HeldRecord> held(kCall);
  std::unique_ptr<bool[]> found(new bool[kCall]);
  auto run = [&](const auto& e, std::size_t from) {
    for (std::size_t i = 0, k = from; mode < 2 && i < kPer; ++i, k += mode ? 1 + (seen & 1) : 1, seen = 0)
      benchmark::DoNotOptimize(e.lookup_with(s[k & kMask], mode ? chain : visit));
    for (std::size_t c = 0; mode >= 2 && c < kPer; c += kCall) {
      const IpAddress* a = &s[(from + c) & kMask];
      if (mode == 3) {
        contains_many(e, a, kCall, found.get());
        benchmark::DoNotOptimize(found[0]);
      } else {
        lookup_many(e, a, kCall, held.data());
        for (auto& h : held) h = HeldRecord();
      }
    }
  };
  const std::uint64_t before = inner.stats().lookups;
  nb::alternate(state, "cache", "inner", kPer, kMask, [&](std::size_t f) { run(*cache, f); },
                [&](std::size_t f) { run(inner, f); }, mode == 1 ? 2 * kPer : kPer);
  // Share of the cache's lookups that reached the inner engine.
  const double per_side = static_cast<double>(state.iterations() * kPer);
  state.counters["miss_rate"] = (static_cast<double>(inner.stats().lookups - before) - per_side) / per_side;
  state.counters["cached"] = static_cast<double>(cache->cached());
}

/// Removes and re-inserts 256 shuffled prefixes a round, each timed apart; before a round
/// 2,048 untimed lookups, a fourth inside its prefixes, give the writes answers to drop.
void BM_CacheWrite(benchmark::State& state) {
  World& w = world();
  auto cache = full_cache(w.streams[0]);
  std::vector<IpPrefix> order = nb::table_prefixes();
  std::shuffle(order.begin(), order.end(), std::mt19937_64(11));
  constexpr std::size_t kRound = 256;
  std::size_t next = 0, warm = 0;
  nb::Rng rng(5);
  Clock::duration t[2][2]{};  // [cache, inner][remove, insert]
  std::vector<std::optional<Metadata>> taken(kRound);
  auto run = [&](Engine& e, Clock::duration* time) {
    const IpPrefix* ps = &order[next];
    next = next + 2 * kRound > order.size() ? 0 : next + kRound;
    if (&e == cache.get())
      for (std::size_t i = 0; i < 2048; ++i)
        (void)cache->lookup_with(i % 4 ? w.streams[0][warm++ & kMask] : nb::inside(ps[rng() % kRound], rng), {});
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < kRound; ++i) taken[i] = e.remove(ps[i]);
    const auto t1 = Clock::now();
    for (std::size_t i = 0; i < kRound; ++i)
      if (taken[i]) (void)e.insert(ps[i], std::move(*taken[i]));
    time[0] += t1 - t0, time[1] += Clock::now() - t1;
    rcu::collect();
  };
  bool cache_first = true;
  for (auto _ : state) {
    if (cache_first) run(*cache, t[0]), run(*w.inner, t[1]);
    else run(*w.inner, t[1]), run(*cache, t[0]);
    cache_first = !cache_first;
  }
  const double n = static_cast<double>(state.iterations() * kRound);
  const auto ns = [&](Clock::duration d) { return static_cast<double>(std::chrono::nanoseconds(d).count()) / n; };
  for (int op = 0; op < 2; ++op) {
    const std::string name = op ? "insert" : "remove";
    state.counters["cache_" + name + "_ns"] = ns(t[0][op]);
    state.counters["inner_" + name + "_ns"] = ns(t[1][op]);
    state.counters[name + "_ratio"] = ns(t[0][op]) / ns(t[1][op]);
  }
}

[[maybe_unused]] const bool registered = [] {
  auto reg = [](const std::string& name, int mode, int stream) {
    benchmark::RegisterBenchmark(name.c_str(), BM_Lookups, mode, stream)->Apply(nb::repeat<3>);
  };
  reg("BM_CacheHit", 0, 3);
  for (int s : {0, 1, 2}) reg("BM_CacheMiss/stream:" + std::to_string(s), 0, s);
  for (int s : {0, 1}) reg("BM_CacheMissChained/stream:" + std::to_string(s), 1, s);
  for (int c : {0, 1})
    for (int s : {0, 2}) reg("BM_CacheBatch/contains:" + std::to_string(c) + "/stream:" + std::to_string(s), 2 + c, s);
  benchmark::RegisterBenchmark("BM_CacheWrite", BM_CacheWrite)->Iterations(200)->Apply(nb::repeat<3>);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
