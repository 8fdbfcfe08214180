// The lookup cache (CachedEngine) against the engine behind it, on the full
// real routing table in a kind-5 trie (the "standard" variant's engine),
// with the cache's capacity as built from Python (10,000 answers).
//
// Every benchmark runs A (through the cache) and B (the same inner engine
// directly) alternately in windows of the same address stream, order
// flipped each round, so that both see the same machine load; it reports
// ns per operation of each and their ratio (cache / inner):
//
//   BM_CacheHit      8,192 hot in-table addresses, all cached: a hit
//                    against the index lookup (the lending lookup).
//   BM_CacheMiss     a full cache and a stream that almost never repeats
//                    (1M addresses inside the table's prefixes, or uniformly
//                    random ones): a miss against the uncached lookup, in a
//                    loop of independent lookups (the processor overlaps
//                    one lookup's memory misses with the next one's); and
//                    the skewed stream below, mostly hits.
//   BM_CacheMissChained  the same with each address picked by the answer
//                    before it, so that lookups do not overlap: the cost
//                    of one miss as a caller that uses each answer sees it.
//   BM_CacheBatch    lookup_many / contains_many, 256 addresses per call,
//                    on the never-repeating stream (all misses) and on a
//                    skewed one (10% of 100,000 in-table addresses take 90%
//                    of the lookups): the cache's batch path against the
//                    inner engine's.
//   BM_CacheWrite    remove, then insert back, table prefixes in a shuffled
//                    order with a full cache (refilled between rounds,
//                    untimed) against the same writes on the inner engine.
//
// The table is $NETROVE_BENCH_DATA, else ../shared/data/ or
// /work/shared/data/tier1-prefixes.txt.gz.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_table.hpp"
#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "sync/rcu.hpp"

namespace {

using netrove::CachedEngine;
using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kCapacity = 10000;  // what a named variant gets from Python
constexpr std::size_t kStream = std::size_t{1} << 20;

/// An address with random host bits inside `p`.
IpAddress inside(const IpPrefix& p, std::mt19937_64& rng) {
  IpAddress a;
  a.family = p.family;
  const unsigned width = netrove::family_bits(p.family);
  for (unsigned b = 0; b < width; ++b) {
    const auto m = static_cast<std::uint8_t>(0x80u >> (b % 8));
    if (b < p.length ? (p.address[b / 8] & m) != 0 : (rng() & 1) != 0) a.bytes[b / 8] |= m;
  }
  return a;
}

struct World {
  std::vector<IpPrefix> prefixes;
  std::shared_ptr<LocalEngine> inner;
  std::vector<IpAddress> in_table, random, skewed;
};

World& world() {
  static World w = [] {
    World w;
    w.prefixes = netrove::bench::read_table_prefixes("cache_bench");
    w.inner = std::make_shared<LocalEngine>(netrove::build_local(0, 1, true, std::nullopt));  // kind 5
    for (std::size_t i = 0; i < w.prefixes.size(); ++i) {
      netrove::Metadata m;
      m.value = "AS" + std::to_string(64500 + i % 1000);
      m.attributes["asn"] = std::to_string(64500 + i % 1000);
      (void)w.inner->insert(w.prefixes[i], std::move(m));
    }
    std::mt19937_64 rng(42);
    w.in_table.resize(kStream);
    for (auto& a : w.in_table) a = inside(w.prefixes[rng() % w.prefixes.size()], rng);
    std::size_t v4 = 0;
    for (const auto& p : w.prefixes) v4 += p.family == netrove::kIpv4;
    w.random.resize(kStream);
    for (auto& a : w.random) {
      a.family = rng() % w.prefixes.size() < v4 ? netrove::kIpv4 : netrove::kIpv6;
      for (unsigned i = 0; i < (a.family == netrove::kIpv4 ? 4u : 16u); ++i) a.bytes[i] = static_cast<std::uint8_t>(rng());
    }
    // 100,000 distinct in-table addresses; the first tenth takes 90% of the stream.
    constexpr std::size_t kDistinct = 100000, kHot = kDistinct / 10;
    w.skewed.resize(kStream);
    for (auto& a : w.skewed) {
      const std::size_t k = rng() % 10 < 9 ? rng() % kHot : kHot + rng() % (kDistinct - kHot);
      a = w.in_table[k * 7];  // spread over the stream's addresses, never reused by it in order
    }
    return w;
  }();
  return w;
}

const std::vector<IpAddress>& stream(int which) {
  World& w = world();
  return which == 0 ? w.in_table : which == 1 ? w.random : w.skewed;
}

/// Runs `a(from)` and `b(from)` (each timing `per` operations on its own
/// window of `stride` addresses) alternately, order flipped each round;
/// reports ns per operation of each and the ratio a / b.
template <class A, class B>
void alternate(benchmark::State& state, std::size_t per, A&& a, B&& b, std::size_t stride = 0) {
  if (stride == 0) stride = per;
  Clock::duration ta{}, tb{};
  std::size_t base = 0;
  bool a_first = true;
  for (auto _ : state) {
    const std::size_t first = base, second = (base + stride) & (kStream - 1);
    auto t0 = Clock::now();
    a_first ? a(first) : b(first);
    auto t1 = Clock::now();
    a_first ? b(second) : a(second);
    auto t2 = Clock::now();
    (a_first ? ta : tb) += t1 - t0;
    (a_first ? tb : ta) += t2 - t1;
    a_first = !a_first;
    base = (base + 2 * stride) & (kStream - 1);
  }
  const double n = static_cast<double>(state.iterations() * per);
  state.counters["cache_ns"] = static_cast<double>(std::chrono::nanoseconds(ta).count()) / n;
  state.counters["inner_ns"] = static_cast<double>(std::chrono::nanoseconds(tb).count()) / n;
  state.counters["ratio"] = static_cast<double>(ta.count()) / static_cast<double>(tb.count());
  state.SetItemsProcessed(static_cast<std::int64_t>(2 * state.iterations() * per));
}

std::unique_ptr<CachedEngine> full_cache(const std::vector<IpAddress>& warm, std::uint64_t capacity = kCapacity) {
  auto c = std::make_unique<CachedEngine>(std::nullopt, capacity, world().inner);
  for (std::size_t i = 0; i < warm.size() && (i % 1024 != 0 || c->cached() < capacity); ++i) (void)c->lookup_with(warm[i], {});
  return c;
}

std::size_t g_bytes = 0;
/// What a lending caller does with the record: reads its value.
const auto count = [](const netrove::RecordView& r) noexcept { g_bytes += r.value().size(); };

/// Lending lookups of 8,192 cached addresses against the index.
void BM_CacheHit(benchmark::State& state) {
  constexpr std::size_t kHot = 8192;
  const std::vector<IpAddress> hot(world().in_table.begin(), world().in_table.begin() + kHot);
  auto cache = full_cache(hot, 2 * kHot);
  const LocalEngine& inner = *world().inner;
  constexpr std::size_t kPer = 1024;
  const netrove::RecordVisitor visit(count);
  alternate(
      state, kPer,
      [&](std::size_t from) {
        for (std::size_t i = 0; i < kPer; ++i) benchmark::DoNotOptimize(cache->lookup_with(hot[(from + i) & (kHot - 1)], visit));
      },
      [&](std::size_t from) {
        for (std::size_t i = 0; i < kPer; ++i) benchmark::DoNotOptimize(inner.lookup_with(hot[(from + i) & (kHot - 1)], visit));
      });
  state.counters["cached"] = static_cast<double>(cache->cached());
}

/// Lending lookups through a full cache on a stream that almost never
/// repeats (arg: 0 in-table addresses, 1 uniformly random ones; 2 the
/// skewed stream, mostly hits).
void BM_CacheMiss(benchmark::State& state) {
  const auto& s = stream(static_cast<int>(state.range(0)));
  auto cache = full_cache(s);
  const LocalEngine& inner = *world().inner;
  constexpr std::size_t kPer = 4096;
  const netrove::RecordVisitor visit(count);
  const std::uint64_t before = inner.stats().lookups;
  std::uint64_t asked = 0;
  alternate(
      state, kPer,
      [&](std::size_t from) {
        for (std::size_t i = 0; i < kPer; ++i) benchmark::DoNotOptimize(cache->lookup_with(s[(from + i) & (kStream - 1)], visit));
        asked += kPer;
      },
      [&](std::size_t from) {
        for (std::size_t i = 0; i < kPer; ++i) benchmark::DoNotOptimize(inner.lookup_with(s[(from + i) & (kStream - 1)], visit));
        asked += kPer;
      });
  // Share of the cache's lookups that reached the inner engine.
  state.counters["miss_rate"] = static_cast<double>(inner.stats().lookups - before - asked / 2) / static_cast<double>(asked / 2);
}

/// The same lookups, each one's address chosen by the answer before it (the
/// next address or the one after), so that no lookup starts before the
/// previous one has finished.
void BM_CacheMissChained(benchmark::State& state) {
  const auto& s = stream(static_cast<int>(state.range(0)));
  auto cache = full_cache(s);
  const LocalEngine& inner = *world().inner;
  constexpr std::size_t kPer = 4096;
  std::size_t seen = 0;
  const auto size = [&](const netrove::RecordView& r) noexcept { seen = r.value().size(); };
  const netrove::RecordVisitor visit(size);
  auto run = [&](const netrove::RecordLender& e, std::size_t from) {
    for (std::size_t i = 0, k = from; i < kPer; ++i) {
      seen = 0;
      e.lookup_with(s[k & (kStream - 1)], visit);
      k += 1 + (seen & 1);
    }
  };
  alternate(
      state, kPer, [&](std::size_t from) { run(*cache, from); }, [&](std::size_t from) { run(inner, from); }, 2 * kPer);
}

/// Batch calls of 256 addresses (arg 0: 0 lookup_many, 1 contains_many;
/// arg 1: 0 the never-repeating in-table stream, 2 the skewed one).
void BM_CacheBatch(benchmark::State& state) {
  const bool contains = state.range(0) != 0;
  const auto& s = stream(static_cast<int>(state.range(1)));
  auto cache = full_cache(s);
  const LocalEngine& inner = *world().inner;
  constexpr std::size_t kCall = 256, kPer = 16 * kCall;
  std::vector<netrove::HeldRecord> held(kCall);
  std::unique_ptr<bool[]> found(new bool[kCall]);
  auto run = [&](const netrove::Engine& e, std::size_t from) {
    for (std::size_t c = 0; c < kPer; c += kCall) {
      const IpAddress* a = &s[(from + c) & (kStream - 1)];
      if (contains) {
        netrove::contains_many(e, a, kCall, found.get());
        benchmark::DoNotOptimize(found[0]);
      } else {
        netrove::lookup_many(e, a, kCall, held.data());
        for (auto& h : held) h = netrove::HeldRecord();
      }
    }
  };
  const std::uint64_t before = inner.stats().lookups;
  alternate(state, kPer, [&](std::size_t from) { run(*cache, from); }, [&](std::size_t from) { run(inner, from); });
  const double per_side = static_cast<double>(state.iterations() * kPer);
  state.counters["miss_rate"] = (static_cast<double>(inner.stats().lookups - before) - per_side) / per_side;
}

/// Removes and re-inserts table prefixes, 256 per round, through a full
/// cache and on the inner engine alone (arg: 0 remove, 1 insert).  Before
/// each round the cache is refilled with 2,048 lookups (untimed): in-table
/// addresses, every fourth inside a prefix of the round, so that writes
/// find answers to drop.
void BM_CacheWrite(benchmark::State& state) {
  World& w = world();
  const bool insert = state.range(0) != 0;
  auto cache = full_cache(w.in_table);
  LocalEngine& inner = *w.inner;
  std::vector<IpPrefix> order = w.prefixes;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(11));
  constexpr std::size_t kRound = 256;
  std::size_t next = 0, warm = 0;
  std::mt19937_64 rng(5);
  Clock::duration ta{}, tb{};
  std::vector<std::optional<netrove::Metadata>> taken(kRound);
  auto run = [&](netrove::Engine& e, Clock::duration& t) {
    const IpPrefix* ps = &order[next];
    next = next + 2 * kRound > order.size() ? 0 : next + kRound;
    if (&e == cache.get()) {
      for (std::size_t i = 0; i < 2048; ++i)
        (void)cache->lookup_with(i % 4 ? w.in_table[warm++ & (kStream - 1)] : inside(ps[rng() % kRound], rng), {});
    }
    Clock::time_point t0 = Clock::now();
    for (std::size_t i = 0; i < kRound; ++i) taken[i] = e.remove(ps[i]);
    if (!insert) t += Clock::now() - t0;
    t0 = Clock::now();
    for (std::size_t i = 0; i < kRound; ++i)
      if (taken[i]) (void)e.insert(ps[i], std::move(*taken[i]));
    if (insert) t += Clock::now() - t0;
    netrove::rcu::collect();
  };
  bool a_first = true;
  for (auto _ : state) {
    if (a_first) run(*cache, ta), run(inner, tb);
    else run(inner, tb), run(*cache, ta);
    a_first = !a_first;
  }
  const double n = static_cast<double>(state.iterations() * kRound);
  state.counters["cache_ns"] = static_cast<double>(std::chrono::nanoseconds(ta).count()) / n;
  state.counters["inner_ns"] = static_cast<double>(std::chrono::nanoseconds(tb).count()) / n;
  state.counters["ratio"] = static_cast<double>(ta.count()) / static_cast<double>(tb.count());
}

}  // namespace

BENCHMARK(BM_CacheHit)->Repetitions(3);
BENCHMARK(BM_CacheMiss)->Arg(0)->Arg(1)->Arg(2)->ArgName("stream")->Repetitions(3);
BENCHMARK(BM_CacheMissChained)->Arg(0)->Arg(1)->ArgName("stream")->Repetitions(3);
BENCHMARK(BM_CacheBatch)->ArgsProduct({{0, 1}, {0, 2}})->ArgNames({"contains", "stream"})->Repetitions(3);
BENCHMARK(BM_CacheWrite)->Arg(0)->Arg(1)->ArgName("insert")->Iterations(200)->Repetitions(3);

BENCHMARK_MAIN();
