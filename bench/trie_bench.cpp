// Trie engines on a real routing table: build time, bytes per prefix and
// per node, lookup time against a plain unsynchronised traversal of the
// same nodes, and lookup scaling over threads.  BM_Index* measure the read
// index that answers the lookups: bytes per prefix per family, and lookups
// per family (read section and index walk; the engine's lending lookup adds
// the statistics counter) on one and two threads, and batch lookups with
// interleaved walks beside the single lookup loop.  BM_EngineBatch runs
// the engine's batch calls (contains_many, lookup_many_with, lookup_many)
// per family on in-table and random addresses, on one and two threads, and
// on a sharded engine.
//
// The table is read from $NETROVE_BENCH_DATA, ../shared/data/ or
// /work/shared/data/tier1-prefixes.txt.gz.  NETROVE_BENCH_SAMPLE=n keeps
// every n-th prefix (default 1; the map-children kind 3 always samples
// every 16th, its per-node hash tables would not fit otherwise).
#include <algorithm>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie/trie_engine.hpp"
#include "trie/node_blocks.hpp"
#include "sync/rcu.hpp"
#include "index/read_index.hpp"
#include "trie/trie_roots.hpp"
#include "bench_memory.hpp"
#include "bench_table.hpp"

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;
using netrove::NodeKind;
namespace trie = netrove::trie;

namespace {

// ---------------------------------------------------------------------------
// Data.

const std::vector<IpPrefix>& table() {
  static const std::vector<IpPrefix> t = netrove::bench::read_table_prefixes("trie_bench");
  return t;
}

std::size_t sample_step(int kind) {
  const char* env = std::getenv("NETROVE_BENCH_SAMPLE");
  const std::size_t s = env ? std::max(1, std::atoi(env)) : 1;
  return kind % 8 == 3 ? std::max<std::size_t>(s, 16) : s;
}

std::vector<IpPrefix> prefixes_for(int kind) {
  std::vector<IpPrefix> out;
  const std::size_t step = sample_step(kind);
  for (std::size_t i = 0; i < table().size(); i += step) out.push_back(table()[i]);
  return out;
}

constexpr std::size_t kAddresses = std::size_t{1} << 20;

/// Addresses with random host bits inside random prefixes of `from`.
std::vector<IpAddress> inside(const std::vector<IpPrefix>& from) {
  std::mt19937_64 rng(42);
  std::vector<IpAddress> out(kAddresses);
  for (auto& a : out) {
    const IpPrefix& p = from[rng() % from.size()];
    a.family = p.family;
    a.bytes = {};
    const unsigned width = netrove::family_bits(p.family);
    for (unsigned b = 0; b < width; ++b) {
      const std::uint8_t m = static_cast<std::uint8_t>(0x80u >> (b % 8));
      const bool one = b < p.length ? (p.address[b / 8] & m) != 0 : (rng() & 1) != 0;
      if (one) a.bytes[b / 8] |= m;
    }
  }
  return out;
}

/// Uniformly random addresses, IPv4 and IPv6 in the table's proportion.
std::vector<IpAddress> uniform(const std::vector<IpPrefix>& from) {
  std::size_t v4 = 0;
  for (const auto& p : from) v4 += p.family == netrove::kIpv4;
  const double share = static_cast<double>(v4) / static_cast<double>(from.size());
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> coin(0, 1);
  std::vector<IpAddress> out(kAddresses);
  for (auto& a : out) {
    a.bytes = {};
    a.family = coin(rng) < share ? netrove::kIpv4 : netrove::kIpv6;
    const unsigned n = a.family == netrove::kIpv4 ? 4 : 16;
    for (unsigned i = 0; i < n; ++i) a.bytes[i] = static_cast<std::uint8_t>(rng());
  }
  return out;
}

netrove::Metadata record_for(std::size_t i) {
  netrove::Metadata m;
  m.value = "AS" + std::to_string(64500 + i % 1000);
  return m;
}

using netrove::bench::heap_in_use;

/// Kinds 0-7: one trie engine of that node kind; 8-15: kind - 8 sharded
/// over 4 shards of one trie.
LocalEngine new_engine(int kind) {
  const int k = kind % 8;
  if (kind >= 8) return netrove::build_local(5, static_cast<std::uint8_t>(k % 4), k >= 4, 4);
  return netrove::build_local(0, static_cast<std::uint8_t>(k % 4), k >= 4, std::nullopt);
}

// ---------------------------------------------------------------------------
// One prepared engine at a time (the full table in eight layouts at once
// would not fit).

struct Prepared {
  int kind = -1;
  std::unique_ptr<LocalEngine> engine;
  std::vector<IpAddress> inside, uniform;
};

Prepared& prepared(int kind) {
  static Prepared p;
  static std::mutex mu;
  std::lock_guard<std::mutex> g(mu);
  if (p.kind != kind) {
    p.engine.reset();
    p.kind = -1;
    netrove::rcu::drain();
    if (kind < 0) return p;  // only release
    const auto prefixes = prefixes_for(kind);
    p.engine = std::make_unique<LocalEngine>(new_engine(kind));
    for (std::size_t i = 0; i < prefixes.size(); ++i) (void)p.engine->insert(prefixes[i], record_for(i));
    p.inside = inside(prefixes);
    p.uniform = uniform(prefixes);
    p.kind = kind;
  }
  return p;
}

// ---------------------------------------------------------------------------
// The reference: the same traversal over the same nodes, reading every field
// directly (no read section, no version words, no counters), with the same
// final copy of the record.

template <class R>
std::uint64_t plain_len(const R& n) {
  if constexpr (trie::kEdgeCacheLayout<R>) {
    const std::uint8_t c = n.hdr.edge_cache.byte.load(std::memory_order_relaxed);
    return c != 0xFF ? c : n.length.value.load(std::memory_order_relaxed);
  } else {
    return n.length.value.load(std::memory_order_relaxed);
  }
}

template <class R>
const trie::NodeHeader* plain_child(const R& n, bool side) {
  if constexpr (std::is_same_v<decltype(R::kids), trie::ChildPair>) {
    return n.kids.slot[side].load(std::memory_order_relaxed);
  } else {
    return n.kids.get(side);
  }
}

template <class R>
[[gnu::noinline]] std::optional<netrove::Metadata> plain_compressed(const netrove::TrieRoots& t, const IpAddress& a) {
  const trie::u128 K = trie::compressed_key(a);
  const R* n = trie::as<R>(t.root(trie::family_index(a.family)));
  const trie::Record* best = nullptr;
  std::uint64_t d = 0;
  for (;;) {
    const std::uint64_t e = plain_len(*n);
    if (e != 0) {
      if (e > 128 - d) break;
      const trie::u128 label = trie::make128(n->label.hi.load(std::memory_order_relaxed),
                                             n->label.lo.load(std::memory_order_relaxed));
      if ((trie::shl(K, d) ^ label) & trie::lead_mask(e)) break;
    }
    if (const trie::Record* v = n->value.ptr.load(std::memory_order_relaxed)) best = v;
    const std::uint64_t at = d + e;
    if (at > 127) break;
    const trie::NodeHeader* c = plain_child(*n, trie::bit(K, at));
    if (!c) break;
    n = trie::as<R>(c);
    d = at + 1;
  }
  if (!best) return std::nullopt;
  return netrove::RecordView(*best).to_metadata();
}

template <class R>
[[gnu::noinline]] std::optional<netrove::Metadata> plain_uncompressed(const netrove::TrieRoots& t,
                                                                      const IpAddress& a) {
  const trie::u128 key = trie::uncompressed_key(a);
  const unsigned width = netrove::family_bits(a.family);
  const R* n = trie::as<R>(t.root(trie::family_index(a.family)));
  const trie::Record* best = nullptr;
  for (unsigned depth = 0;; ++depth) {
    if (const trie::Record* v = n->value.ptr.load(std::memory_order_relaxed)) best = v;
    if (depth >= width) break;
    const trie::NodeHeader* c = plain_child(*n, trie::bit(key, depth));
    if (!c) break;
    n = trie::as<R>(c);
  }
  if (!best) return std::nullopt;
  return netrove::RecordView(*best).to_metadata();
}

using PlainFn = std::optional<netrove::Metadata> (*)(const netrove::TrieRoots&, const IpAddress&);

PlainFn plain_for(int kind) {
  return trie::with_layout(static_cast<NodeKind>(kind), [](auto* tag) -> PlainFn {
    using R = std::remove_pointer_t<decltype(tag)>;
    if constexpr (trie::kCompressedLayout<R>) return &plain_compressed<R>;
    else return &plain_uncompressed<R>;
  });
}

// ---------------------------------------------------------------------------
// Benchmarks.

/// Builds the table into a fresh engine; reports insert time and memory.
void BM_Build(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  prepared(-1);  // release any prepared engine first
  const auto prefixes = prefixes_for(kind);
  std::vector<netrove::Metadata> records(prefixes.size());
  for (std::size_t i = 0; i < prefixes.size(); ++i) records[i] = record_for(i);
  double bytes = 0, node_bytes = 0, index_bytes = 0;
  const auto pooled = [] {
    std::size_t n = 0;
    for (std::size_t size : {64, 128, 192}) n += trie::node_pool(size).live() * size;
    return n;
  };
  for (auto _ : state) {
    state.PauseTiming();
    netrove::rcu::drain();
    std::vector<netrove::Metadata> copy = records;
    const std::size_t before = heap_in_use(), nodes_before = pooled(), index_before = netrove::index::arena_in_use();
    auto e = std::make_unique<LocalEngine>(new_engine(kind));
    state.ResumeTiming();
    for (std::size_t i = 0; i < prefixes.size(); ++i) (void)e->insert(prefixes[i], std::move(copy[i]));
    state.PauseTiming();
    netrove::rcu::drain();
    const auto n = static_cast<double>(prefixes.size());
    bytes = static_cast<double>(heap_in_use() - before) / n;
    node_bytes = static_cast<double>(pooled() - nodes_before) / n;
    index_bytes = static_cast<double>(netrove::index::arena_in_use() - index_before) / n;
    e.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * prefixes.size()));
  state.counters["prefixes"] = static_cast<double>(prefixes.size());
  state.counters["bytes_per_prefix"] = bytes;
  state.counters["node_bytes"] = node_bytes;    // trie nodes, per prefix
  state.counters["index_bytes"] = index_bytes;  // read index, per prefix; the rest is records
  state.counters["ns_per_insert"] = benchmark::Counter(
      static_cast<double>(state.iterations() * prefixes.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

/// Removes every prefix of a built table in a shuffled order; reports the
/// time per remove (folds, unlinks and index updates included).
void BM_Remove(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  prepared(-1);
  auto prefixes = prefixes_for(kind);
  std::shuffle(prefixes.begin(), prefixes.end(), std::mt19937_64(11));
  for (auto _ : state) {
    state.PauseTiming();
    auto e = std::make_unique<LocalEngine>(new_engine(kind));
    for (std::size_t i = 0; i < prefixes.size(); ++i) (void)e->insert(prefixes[i], record_for(i));
    netrove::rcu::drain();
    state.ResumeTiming();
    for (const IpPrefix& p : prefixes) benchmark::DoNotOptimize(e->remove(p));
    state.PauseTiming();
    e.reset();
    netrove::rcu::drain();
    state.ResumeTiming();
  }
  state.counters["ns_per_remove"] = benchmark::Counter(
      static_cast<double>(state.iterations() * prefixes.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

/// Memory per prefix of a built engine, broken down: trie nodes (pool
/// blocks), the read index (its nodes), the records (stored records and
/// the intern table, measured by interning them first), and the rest (the
/// child tables of kind 7).  Arg 1 picks the records: 0 = 1000 records
/// repeated over the table, as real tables repeat theirs; 1 = a distinct
/// record per prefix, as the peer suite stores ("r<i>", no attributes).
void BM_BuildBytes(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const bool distinct = state.range(1) != 0;
  prepared(-1);
  const auto prefixes = prefixes_for(kind);
  auto record = [&](std::size_t i) { return distinct ? netrove::Metadata{"r" + std::to_string(i), {}} : record_for(i); };
  auto pool_bytes = [] {
    std::size_t n = 0;
    for (std::size_t size : {64, 128, 192}) n += trie::node_pool(size).live() * size;
    return static_cast<double>(n);
  };
  double total = 0, nodes = 0, index = 0, records = 0;
  for (auto _ : state) {
    netrove::rcu::drain();
    std::vector<netrove::RecordRef> held;
    held.reserve(prefixes.size());
    const double before = static_cast<double>(heap_in_use()), nodes_before = pool_bytes();
    for (std::size_t i = 0; i < prefixes.size(); ++i) held.push_back(netrove::RecordRef::intern(record(i)));
    records = static_cast<double>(heap_in_use()) - before;
    auto e = std::make_unique<LocalEngine>(new_engine(kind));
    for (std::size_t i = 0; i < prefixes.size(); ++i) (void)e->insert(prefixes[i], record(i));  // shares held
    netrove::rcu::drain();
    total = static_cast<double>(heap_in_use()) - before;
    nodes = pool_bytes() - nodes_before;
    const auto& ix = e->trie()->roots()->read_index();
    index = static_cast<double>(ix.footprint(0).bytes + ix.footprint(1).bytes);
    e.reset();
  }
  const double n = static_cast<double>(prefixes.size());
  state.counters["bytes_per_prefix"] = total / n;
  state.counters["nodes_per_prefix"] = nodes / n;
  state.counters["index_per_prefix"] = index / n;
  state.counters["records_per_prefix"] = records / n;
  state.counters["other_per_prefix"] = (total - nodes - index - records) / n;
}

/// Engine lookups (read section, version words, statistics, record copy).
void BM_Lookup(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  Prepared& p = prepared(kind);
  const auto& addrs = state.range(1) ? p.uniform : p.inside;
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919;
  std::size_t hits = 0;
  for (auto _ : state) {
    auto r = p.engine->lookup(addrs[i++ & (kAddresses - 1)]);
    hits += r.has_value();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

/// The plain traversal of the same nodes.
void BM_Plain(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  Prepared& p = prepared(kind);
  const auto& addrs = state.range(1) ? p.uniform : p.inside;
  const netrove::TrieRoots& roots = *p.engine->trie()->roots();
  const PlainFn plain = plain_for(kind);
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    auto r = plain(roots, addrs[i++ & (kAddresses - 1)]);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}

/// Engine and plain lookups alternated in batches, so both see the same
/// machine load; reports both times and their ratio.  Each batch walks its
/// own window of addresses and the order alternates, so neither side runs
/// on nodes the other has just brought into the cache.
void BM_SyncCost(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  Prepared& p = prepared(kind);
  const auto& addrs = state.range(1) ? p.uniform : p.inside;
  const netrove::TrieRoots& roots = *p.engine->trie()->roots();
  const PlainFn plain = plain_for(kind);
  constexpr std::size_t kBatch = 4096;
  std::chrono::nanoseconds engine_ns{0}, plain_ns{0};
  std::size_t base = 0;
  bool engine_first = true;
  auto run_engine = [&](std::size_t from) {
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kBatch; ++i) {
      auto r = p.engine->lookup(addrs[(from + i) & (kAddresses - 1)]);
      benchmark::DoNotOptimize(r);
    }
    engine_ns += std::chrono::steady_clock::now() - t0;
  };
  auto run_plain = [&](std::size_t from) {
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kBatch; ++i) {
      auto r = plain(roots, addrs[(from + i) & (kAddresses - 1)]);
      benchmark::DoNotOptimize(r);
    }
    plain_ns += std::chrono::steady_clock::now() - t0;
  };
  for (auto _ : state) {
    if (engine_first) {
      run_engine(base);
      run_plain(base + kBatch);
    } else {
      run_plain(base);
      run_engine(base + kBatch);
    }
    engine_first = !engine_first;
    base += 2 * kBatch;
  }
  const double n = static_cast<double>(state.iterations() * kBatch);
  state.counters["engine_ns"] = static_cast<double>(engine_ns.count()) / n;
  state.counters["plain_ns"] = static_cast<double>(plain_ns.count()) / n;
  state.counters["ratio"] = static_cast<double>(engine_ns.count()) / static_cast<double>(plain_ns.count());
}

/// Bytes one node of each kind occupies: the record, and with the child
/// table of kinds 3 and 7 once it has children.
void BM_NodeBytes(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  prepared(-1);
  constexpr std::size_t kNodes = 20000;
  double leaf = 0, inner = 0;
  for (auto _ : state) {
    netrove::rcu::drain();
    std::size_t before = heap_in_use();
    std::vector<netrove::NodeRef> nodes;
    nodes.reserve(kNodes);
    const std::size_t vec = heap_in_use() - before;
    for (std::size_t i = 0; i < kNodes; ++i) nodes.push_back(netrove::make_node(static_cast<NodeKind>(kind)));
    leaf = static_cast<double>(heap_in_use() - before - vec) / kNodes;
    const netrove::NodeRef shared_child = netrove::make_node(static_cast<NodeKind>(kind));
    before = heap_in_use();
    for (auto& n : nodes) {
      n.set_left(shared_child);
      n.set_right(shared_child);
    }
    inner = leaf + static_cast<double>(heap_in_use() - before) / kNodes;
    nodes.clear();
  }
  state.counters["record_bytes"] = trie::with_layout(static_cast<NodeKind>(kind), [](auto* tag) {
    return static_cast<double>(sizeof(*tag));
  });
  state.counters["heap_per_leaf"] = leaf;
  state.counters["heap_per_inner"] = inner;
}

// ---------------------------------------------------------------------------
// The read index.

/// Heap bytes of a read index holding the table's prefixes of one family
/// (records made beforehand and not counted), per prefix; and its nodes.
void BM_IndexBytes(benchmark::State& state) {
  const std::uint8_t family = state.range(0) ? netrove::kIpv6 : netrove::kIpv4;
  prepared(-1);
  std::vector<IpPrefix> mine;
  for (const auto& p : table())
    if (p.family == family) mine.push_back(p);
  std::vector<trie::Record*> recs;
  for (std::size_t i = 0; i < mine.size(); ++i) recs.push_back(netrove::RecordRef::intern(record_for(i)).release());
  double bytes = 0, nodes = 0, build_ns = 0;
  for (auto _ : state) {
    netrove::rcu::drain();
    const std::size_t before = heap_in_use();
    auto ix = std::make_unique<netrove::index::ReadIndex>();
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < mine.size(); ++i) {
      netrove::rcu::ReadSection rs;  // one per write, as TrieEngine holds it
      ix->insert(mine[i], recs[i]);
    }
    build_ns = static_cast<double>((std::chrono::steady_clock::now() - t0).count()) / static_cast<double>(mine.size());
    netrove::rcu::drain();
    bytes = static_cast<double>(heap_in_use() - before) / static_cast<double>(mine.size());
    nodes = static_cast<double>(ix->footprint(family == netrove::kIpv4 ? 0 : 1).nodes);
    ix.reset();
    netrove::rcu::drain();
  }
  for (auto* r : recs) trie::release(r);
  netrove::rcu::drain();
  state.counters["prefixes"] = static_cast<double>(mine.size());
  state.counters["nodes"] = nodes;
  state.counters["bytes_per_prefix"] = bytes;
  state.counters["ns_per_insert"] = build_ns;
}

/// Addresses of one family (arg: 0 IPv4, 1 IPv6), kAddresses of them:
/// stream 0 inside the table's prefixes (from the prepared engine's set),
/// stream 1 uniformly random: IPv4 over the whole space, IPv6 over 2000::/3
/// (the global unicast range every IPv6 prefix of the table sits in, as the
/// peer suite draws them; over all of IPv6 nearly every walk would end at
/// the root).
const std::vector<IpAddress>& stream_of(Prepared& p, std::int64_t family, std::int64_t stream) {
  static std::vector<IpAddress> made[2][2];
  static std::mutex mu;
  std::lock_guard<std::mutex> g(mu);
  const std::uint8_t fam = family ? netrove::kIpv6 : netrove::kIpv4;
  auto& v = made[family ? 1 : 0][stream ? 1 : 0];
  if (v.empty() && stream == 0) {
    for (const auto& a : p.inside)
      if (a.family == fam) v.push_back(a);
    while (v.size() < kAddresses) v.push_back(v[v.size() % 4099]);
    v.resize(kAddresses);
  } else if (v.empty()) {
    std::mt19937_64 rng(11 + family);
    v.resize(kAddresses);
    for (auto& a : v) {
      a.family = fam;
      a.bytes = {};
      for (unsigned i = 0; i < (family ? 16u : 4u); ++i) a.bytes[i] = static_cast<std::uint8_t>(rng());
      if (family) a.bytes[0] = static_cast<std::uint8_t>(0x20 | (a.bytes[0] & 0x1f));
    }
  }
  return v;
}
const std::vector<IpAddress>& inside_of(Prepared& p, std::uint8_t family) {
  return stream_of(p, family == netrove::kIpv6, 0);
}

/// Read section and index walk, per family (arg 1: 0 IPv4, 1 IPv6).
void BM_IndexLookup(benchmark::State& state) {
  Prepared& p = prepared(static_cast<int>(state.range(0)));
  const auto& addrs = inside_of(p, state.range(1) ? netrove::kIpv6 : netrove::kIpv4);
  const netrove::index::ReadIndex& ix = p.engine->trie()->roots()->read_index();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919 * 64;
  std::size_t hits = 0;
  for (auto _ : state) {
    netrove::rcu::ReadSection rs;
    const trie::Record* r = ix.lookup(addrs[i++ & (kAddresses - 1)]);
    hits += r != nullptr;
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

/// The engine's lending lookup (index, read section, statistics; no copy).
void BM_IndexLookupWith(benchmark::State& state) {
  Prepared& p = prepared(static_cast<int>(state.range(0)));
  const auto& addrs = inside_of(p, state.range(1) ? netrove::kIpv6 : netrove::kIpv4);
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919 * 64;
  std::size_t bytes = 0;
  auto count = [&](const netrove::RecordView& m) { bytes += m.value().size(); };
  const netrove::RecordVisitor visit(count);
  for (auto _ : state) {
    const bool hit = p.engine->lookup_with(addrs[i++ & (kAddresses - 1)], visit);
    benchmark::DoNotOptimize(hit);
  }
  state.SetItemsProcessed(state.iterations());
  benchmark::DoNotOptimize(bytes);
}

/// The read index's batch walks, 256 addresses per read section as the
/// engine runs them (args: family, stream 0 inside / 1 uniform, mode 0 the
/// single lookup in a loop, 1 lookup_many, 2 contains_many).
void BM_IndexLookupMany(benchmark::State& state) {
  Prepared& p = prepared(static_cast<int>(state.range(0)));
  const auto& addrs = stream_of(p, state.range(1), state.range(2));
  const netrove::index::ReadIndex& ix = p.engine->trie()->roots()->read_index();
  constexpr std::size_t kChunk = 256;
  const trie::Record* out[kChunk];
  bool found[kChunk];
  std::size_t base = static_cast<std::size_t>(state.thread_index()) * 7919 * 64 & (kAddresses - 1) & ~(kChunk - 1);
  for (auto _ : state) {
    const IpAddress* a = &addrs[base];
    base = (base + kChunk) & (kAddresses - 1);
    netrove::rcu::ReadSection rs;
    switch (state.range(3)) {
      case 0:
        for (std::size_t j = 0; j < kChunk; ++j) out[j] = ix.lookup(a[j]);
        break;
      case 1: ix.lookup_many(a, kChunk, out); break;
      default: ix.contains_many(a, kChunk, found); break;
    }
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

/// The engine's batch calls on batches of 4096 addresses, as an embedder
/// hands them over (args: family, stream 0 inside / 1 uniform, call 0 the
/// lending lookup in a loop, 1 contains_many, 2 lookup_many_with (the
/// visitor reads the record's value, as an embedder reads its fields),
/// 3 lookup_many (shares taken and dropped)).  Each thread walks its own
/// window of the addresses.
void BM_EngineBatch(benchmark::State& state) {
  Prepared& p = prepared(static_cast<int>(state.range(0)));
  const auto& addrs = stream_of(p, state.range(1), state.range(2));
  constexpr std::size_t kBatch = 4096;
  std::vector<netrove::HeldRecord> held(kBatch);
  std::unique_ptr<bool[]> found(new bool[kBatch]);
  std::size_t base = (static_cast<std::size_t>(state.thread_index()) * (kAddresses / 2)) & (kAddresses - 1);
  std::size_t bytes = 0, hits = 0;
  auto one = [&](const netrove::RecordView& m) { bytes += m.value().size(); };
  const netrove::RecordVisitor visit_one(one);
  auto each = [&](std::size_t, const netrove::RecordView& m) { bytes += m.value().size(); };
  const LocalEngine& e = *p.engine;
  for (auto _ : state) {
    const IpAddress* a = &addrs[base];
    base = (base + kBatch) & (kAddresses - 1);
    switch (state.range(3)) {
      case 0:
        for (std::size_t j = 0; j < kBatch; ++j) found[j] = e.lookup_with(a[j], visit_one);
        break;
      case 1: e.contains_many(a, kBatch, found.get()); break;
      case 2: e.lookup_many_with(a, kBatch, found.get(), each); break;
      default:
        e.lookup_many(a, kBatch, held.data());
        for (std::size_t j = 0; j < kBatch; ++j) {
          found[j] = static_cast<bool>(held[j]);
          if (held[j]) bytes += held[j].view().value().size();
          held[j] = netrove::HeldRecord();
        }
        break;
    }
    hits += static_cast<std::size_t>(std::count(found.get(), found.get() + kBatch, true));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
  state.counters["hit_rate"] = static_cast<double>(hits) / static_cast<double>(state.iterations() * kBatch);
  benchmark::DoNotOptimize(bytes);
}

/// Cache hits against the index, side by side on the same 8,192 in-table
/// addresses (arg 1: 0 the engine's lending lookup, i.e. the index; 1 the
/// same through a warm answer cache, every lookup a hit).
void BM_CacheHit(benchmark::State& state) {
  Prepared& p = prepared(static_cast<int>(state.range(0)));
  constexpr std::size_t kHot = 8192;
  const std::shared_ptr<netrove::Engine> inner(std::shared_ptr<void>{}, p.engine.get());  // not owned
  static std::unique_ptr<netrove::CachedEngine> cache;
  if (!cache || cache->inner() != inner) {
    cache = std::make_unique<netrove::CachedEngine>(std::nullopt, 2 * kHot, inner);
    for (std::size_t i = 0; i < kHot; ++i) (void)cache->lookup(p.inside[i]);
  }
  const netrove::RecordLender& lender =
      state.range(1) ? static_cast<const netrove::RecordLender&>(*cache) : *p.engine;
  std::size_t i = 0, bytes = 0;
  auto count = [&](const netrove::RecordView& m) { bytes += m.value().size(); };
  const netrove::RecordVisitor visit(count);
  for (auto _ : state) benchmark::DoNotOptimize(lender.lookup_with(p.inside[i++ & (kHot - 1)], visit));
  state.SetItemsProcessed(state.iterations());
  state.counters["cached"] = static_cast<double>(cache->cached());
  benchmark::DoNotOptimize(bytes);
}

void kinds(benchmark::internal::Benchmark* b) {
  for (int k = 0; k < 8; ++k) b->Args({k});
}

}  // namespace

BENCHMARK(BM_NodeBytes)->Apply(kinds)->ArgName("kind")->Iterations(1);
BENCHMARK(BM_Build)->Apply(kinds)->ArgName("kind")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Remove)->Apply(kinds)->ArgName("kind")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexBytes)->Arg(0)->Arg(1)->ArgName("ipv6")->Iterations(1);
BENCHMARK(BM_BuildBytes)->ArgsProduct({{4, 5, 7}, {0, 1}})->ArgNames({"kind", "distinct"})->Iterations(1);

namespace {
const std::string kEngineCalls[] = {"/lookup_with", "/contains_many", "/lookup_many_with", "/lookup_many"};

/// Lookup benchmarks grouped by kind, so each kind's engine is built once.
[[maybe_unused]] const bool registered_lookups = [] {
  for (int k = 0; k < 8; ++k) {
    for (int u = 0; u < 2; ++u) {
      const std::string args = "/kind:" + std::to_string(k) + (u ? "/uniform" : "/inside");
      benchmark::RegisterBenchmark(("BM_Lookup" + args).c_str(), BM_Lookup)->Args({k, u});
      benchmark::RegisterBenchmark(("BM_Plain" + args).c_str(), BM_Plain)->Args({k, u});
      benchmark::RegisterBenchmark(("BM_SyncCost" + args).c_str(), BM_SyncCost)->Args({k, u});
    }
    if (k == 5) {
      benchmark::RegisterBenchmark("BM_CacheHit/index", BM_CacheHit)->Args({k, 0})->Repetitions(5)->ReportAggregatesOnly(true);
      benchmark::RegisterBenchmark("BM_CacheHit/cache", BM_CacheHit)->Args({k, 1})->Repetitions(5)->ReportAggregatesOnly(true);
      // Read index per family, one and two threads, medians of repetitions.
      for (int fam = 0; fam < 2; ++fam) {
        const std::string f = fam ? "/ipv6/inside" : "/ipv4/inside";
        for (auto* fn : {BM_IndexLookup, BM_IndexLookupWith}) {
          benchmark::RegisterBenchmark(((fn == BM_IndexLookup ? "BM_IndexLookup" : "BM_IndexLookupWith") + f).c_str(), fn)
              ->Args({k, fam})
              ->Threads(1)
              ->Threads(2)
              ->UseRealTime()
              ->Repetitions(5)
              ->ReportAggregatesOnly(true);
        }
      }
      // Batch walks and the engine's batch calls per family and stream;
      // one and two threads on one engine (items_per_second counts both
      // threads' addresses over the wall time).
      for (int fam = 0; fam < 2; ++fam) {
        for (int u = 0; u < 2; ++u) {
          const std::string f = std::string(fam ? "/ipv6" : "/ipv4") + (u ? "/uniform" : "/inside");
          for (int mode = 0; mode < 3; ++mode)
            benchmark::RegisterBenchmark(("BM_IndexLookupMany" + f + (mode == 0 ? "/lookup" : mode == 1 ? "/lookup_many" : "/contains_many")).c_str(),
                                         BM_IndexLookupMany)
                ->Args({k, fam, u, mode})
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
          for (int call = 0; call < 4; ++call)
            benchmark::RegisterBenchmark(("BM_EngineBatch" + f + kEngineCalls[call]).c_str(), BM_EngineBatch)
                ->Args({k, fam, u, call})
                ->Threads(1)
                ->Threads(2)
                ->UseRealTime()
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
        }
      }
    }
    if (k == 4 || k == 5) {
      // Time per lookup per thread; throughput = threads / time.  The plain
      // traversal shows what the machine itself allows.
      benchmark::RegisterBenchmark(("BM_LookupThreads/kind:" + std::to_string(k) + "/inside").c_str(), BM_Lookup)
          ->Args({k, 0})
          ->Threads(1)
          ->Threads(2)
          ->UseRealTime();
      benchmark::RegisterBenchmark(("BM_PlainThreads/kind:" + std::to_string(k) + "/inside").c_str(), BM_Plain)
          ->Args({k, 0})
          ->Threads(1)
          ->Threads(2)
          ->UseRealTime();
    }
  }
  // Kind 5 sharded over 4 shards of one trie (kind 13): one walk per batch,
  // each lookup counted on its shard.
  for (int call = 0; call < 3; ++call)
    benchmark::RegisterBenchmark(("BM_EngineBatch/sharded/ipv4/inside" + kEngineCalls[call]).c_str(), BM_EngineBatch)
        ->Args({13, 0, 0, call})
        ->UseRealTime()
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
