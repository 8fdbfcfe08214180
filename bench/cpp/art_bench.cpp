// art_bench - the adaptive radix tree (engine type 4, one shard) against the trie of node kind 4
// on the real table: build and bytes per prefix, lookups, the tree's search per Node16 path.
#include <memory>

#include "art/adaptive_engine.hpp"
#include "art/node16_simd.hpp"
#include "art/tree.hpp"
#include "common/engines.hpp"
#include "engine/factory_internal.hpp"

namespace {

using netrove::IpAddress;
using netrove::LocalEngine;
using netrove::art::Node16Path;
namespace nb = netrove::bench;

constexpr std::size_t kProbes = std::size_t{1} << 20;  // per address set; a power of two
constexpr std::size_t kRecords = 65536;                // distinct records over the table

enum Probe { inside4, inside6, random4, random6 };

const std::vector<IpAddress>& probes(Probe set) {
  static const auto made = [] {
    std::vector<std::vector<IpAddress>> v;
    for (std::uint8_t fam : {netrove::kIpv4, netrove::kIpv6})
      v.push_back(nb::inside_addresses(nb::of_family(nb::table_prefixes(), fam), kProbes, 2024 + fam));
    v.push_back(nb::random_addresses(kProbes, 1.0, 2026));
    v.push_back(nb::random_addresses(kProbes, 0.0, 2027));
    return v;
  }();
  return made[set];
}

enum Kind { art, trie };

LocalEngine make_engine(Kind k) {
  return k == art ? netrove::build_local(4, 0, true, 1) : netrove::build_local(0, 0, true, std::nullopt);
}

/// The engine of `k` over the table, built on first use (never destroyed).
LocalEngine& built(Kind k) {
  static LocalEngine* engines[2] = {};
  if (!engines[k]) nb::fill(*(engines[k] = new LocalEngine(make_engine(k))), nb::table_prefixes(), kRecords);
  return *engines[k];
}

void BM_Build(benchmark::State& state, Kind k) {
  const auto& prefixes = nb::table_prefixes();
  std::size_t bytes = 0, entries = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto e = std::make_unique<LocalEngine>(make_engine(k));
    const std::size_t before = nb::heap_in_use();
    state.ResumeTiming();
    nb::fill(*e, prefixes, kRecords);
    state.PauseTiming();
    bytes = nb::heap_in_use() - before, entries = e->len();
    e.reset();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(prefixes.size());
  state.counters["prefixes"] = n;
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["bytes_per_prefix"] = static_cast<double>(bytes) / n;
  state.counters["per_insert"] = nb::per_op(n * static_cast<double>(state.iterations()));
}

/// Engine lookups (lock and record copy included) of both, alternated in batches.
void BM_Lookup(benchmark::State& state, Probe set) {
  const auto& addrs = probes(set);
  const LocalEngine &a = built(art), &t = built(trie);
  constexpr std::size_t kPer = 1024;
  std::size_t hits = 0;
  auto run = [&](const LocalEngine& e, std::size_t from) {
    for (std::size_t i = 0; i < kPer; ++i) {
      auto r = e.lookup(addrs[(from + i) & (kProbes - 1)]);
      hits += r.has_value();
      benchmark::DoNotOptimize(r);
    }
  };
  nb::alternate(state, "art", "trie", kPer, kProbes - 1, [&](std::size_t f) { run(a, f); },
                [&](std::size_t f) { run(t, f); });
  state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(2 * state.iterations() * kPer);
}

/// The tree's own search (no lock, no record copy) with the Node16 search
/// path forced to `path`; and the tree's census.
void BM_ArtSearch(benchmark::State& state, Node16Path path, Probe set) {
  if (!netrove::art::node16_path_supported(path)) return state.SkipWithError("Node16 path not supported here");
  static const auto* tree = [] {
    auto* t = new netrove::art::AdaptiveRadixTree;  // never destroyed
    const auto& prefixes = nb::table_prefixes();
    for (std::size_t i = 0; i < prefixes.size(); ++i)
      t->insert(prefixes[i].family, prefixes[i].address.data(), prefixes[i].length,
                netrove::RecordRef::intern(nb::record_for(i, kRecords)));
    return t;
  }();
  const Node16Path saved = netrove::art::active_node16_path();
  netrove::art::force_node16_path(path);
  const auto& addrs = probes(set);
  std::size_t i = 0, hits = 0;
  for (auto _ : state) {
    const IpAddress& a = addrs[i++ & (kProbes - 1)];
    const netrove::StoredRecord* m = tree->search(a.family, a.bytes.data());
    hits += m != nullptr;
    benchmark::DoNotOptimize(m);
  }
  netrove::art::force_node16_path(saved);
  state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
  const auto c = tree->census();
  state.counters["tree_bytes_per_prefix"] = static_cast<double>(c.bytes) / static_cast<double>(c.leaves);
  for (const auto& [name, n] : {std::pair{"node4", c.node4}, {"node16", c.node16}, {"node48", c.node48},
                                {"node256", c.node256}, {"in_sets", c.set_leaves}})
    state.counters[name] = static_cast<double>(n);
}

[[maybe_unused]] const bool registered = [] {
  using benchmark::RegisterBenchmark;
  const std::string sets[] = {"inside_v4", "inside_v6", "random_v4", "random_v6"};
  RegisterBenchmark("BM_Build/art", BM_Build, art)->Unit(benchmark::kMillisecond)->Iterations(3);
  RegisterBenchmark("BM_Build/trie_kind4", BM_Build, trie)->Unit(benchmark::kMillisecond)->Iterations(3);
  for (Probe p : {inside4, inside6, random4, random6})
    RegisterBenchmark(("BM_Lookup/" + sets[p]).c_str(), BM_Lookup, p);
  const std::pair<std::string, Node16Path> paths[] = {
      {"avx2", Node16Path::avx2}, {"sse41", Node16Path::sse41}, {"scalar", Node16Path::scalar}};
  for (Probe p : {inside4, inside6})
    for (const auto& [name, path] : paths)
      RegisterBenchmark(("BM_ArtSearch/" + name + "_" + sets[p]).c_str(), BM_ArtSearch, path, p);
  RegisterBenchmark("BM_ArtSearch/avx2_random_v4", BM_ArtSearch, Node16Path::avx2, random4);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
