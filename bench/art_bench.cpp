// Adaptive radix tree against the compressed trie of node kind 4 on a real
// routing table: build time, nanoseconds per lookup (addresses inside
// stored prefixes, and uniformly random ones) and bytes per prefix.
//
// Table: $NETROVE_BENCH_DATA, else ../shared/data/tier1-prefixes.txt.gz from
// the working directory, else /work/shared/data/tier1-prefixes.txt.gz.
//
// Both engines are driven as LocalEngines (engine_type 4 with one shard,
// and build_local(0, 0, true, none), the default compressed trie), so a
// lookup includes the engine's lock and the copy of the record.  The
// ArtSearch cases time the tree's own search alone, once per Node16 path.
// The trie cases skip themselves while the trie is not built yet.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "art/adaptive_engine.hpp"
#include "art/node16_simd.hpp"
#include "art/tree.hpp"
#include "engine/factory_internal.hpp"
#include "sync/panic.hpp"
#include "bench_memory.hpp"
#include "bench_table.hpp"

namespace {

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;
using netrove::Metadata;

// ---- The table --------------------------------------------------------------

using netrove::bench::table_path;

bool parse_line(const std::string& line, IpPrefix& out) {
  const auto slash = line.find('/');
  if (slash == std::string::npos) return false;
  const std::string addr = line.substr(0, slash);
  const int len = std::atoi(line.c_str() + slash + 1);
  out = IpPrefix{};
  if (addr.find(':') != std::string::npos) {
    out.family = netrove::kIpv6;
    if (inet_pton(AF_INET6, addr.c_str(), out.address.data()) != 1 || len < 0 || len > 128) return false;
  } else {
    out.family = netrove::kIpv4;
    if (inet_pton(AF_INET, addr.c_str(), out.address.data()) != 1 || len < 0 || len > 32) return false;
  }
  out.length = static_cast<std::uint8_t>(len);
  return true;
}

constexpr std::size_t kProbes = std::size_t{1} << 20;  // per address set; a power of two

enum class Probe { inside4, inside6, random4, random6 };

struct Dataset {
  std::vector<IpPrefix> prefixes;
  std::size_t v4 = 0, v6 = 0;
  std::vector<IpAddress> probes[4];
};

const Dataset& data() {
  static const Dataset d = [] {
    Dataset d;
    const std::string path = table_path();
    if (path.empty()) return d;
    std::FILE* f = ::popen(("gzip -dc '" + path + "'").c_str(), "r");
    if (f == nullptr) return d;
    char buf[256];
    IpPrefix p;
    while (std::fgets(buf, sizeof buf, f)) {
      std::string line(buf);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (!parse_line(line, p)) continue;
      d.prefixes.push_back(p);
      (p.family == netrove::kIpv4 ? d.v4 : d.v6)++;
    }
    ::pclose(f);
    // Probe addresses: a random stored prefix with random host bits, or
    // uniformly random bits.
    std::mt19937_64 rng(2024);
    std::vector<const IpPrefix*> of_family[2];
    for (const auto& q : d.prefixes) of_family[q.family].push_back(&q);
    for (int kind = 0; kind < 4; ++kind) {
      const std::uint8_t fam = kind % 2 == 0 ? netrove::kIpv4 : netrove::kIpv6;
      const unsigned width = fam == netrove::kIpv4 ? 32 : 128;
      auto& out = d.probes[kind];
      out.resize(kProbes);
      for (auto& a : out) {
        a.family = fam;
        if (kind < 2 && !of_family[fam].empty()) {
          const IpPrefix& q = *of_family[fam][rng() % of_family[fam].size()];
          a.bytes = q.network_address();
          for (unsigned bit = q.length; bit < width; ++bit)
            if (rng() & 1) a.bytes[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        } else {
          for (unsigned i = 0; i < width / 8; ++i) a.bytes[i] = static_cast<std::uint8_t>(rng());
        }
      }
    }
    return d;
  }();
  return d;
}

// ---- Engines ------------------------------------------------------------

enum class Kind { art, trie };

LocalEngine make_engine(Kind k) {
  return k == Kind::art ? netrove::build_local(4, 0, true, 1) : netrove::build_local(0, 0, true, std::nullopt);
}

/// Whether the engine of `k` works in this build (the trie may still be a
/// placeholder that panics).
bool available(Kind k) {
  static const bool trie_ok = [] {
    try {
      LocalEngine e = make_engine(Kind::trie);
      IpPrefix p;
      p.length = 8;
      p.address[0] = 10;
      (void)e.insert(p, Metadata{});
      IpAddress a;
      a.bytes[0] = 10;
      return e.lookup(a).has_value();
    } catch (const std::exception&) {
      return false;
    }
  }();
  return k == Kind::art || trie_ok;
}

Metadata record_for(std::size_t i) {
  Metadata m;
  m.value = "AS";
  m.value += std::to_string(i % 65536);
  return m;
}

void fill(LocalEngine& e, const std::vector<IpPrefix>& prefixes) {
  for (std::size_t i = 0; i < prefixes.size(); ++i) (void)e.insert(prefixes[i], record_for(i));
}

using netrove::bench::heap_in_use;

LocalEngine& built(Kind k) {
  static std::unique_ptr<LocalEngine> engines[2];
  auto& slot = engines[k == Kind::art ? 0 : 1];
  if (!slot) {
    slot = std::make_unique<LocalEngine>(make_engine(k));
    fill(*slot, data().prefixes);
  }
  return *slot;
}

bool ready(benchmark::State& state, Kind k) {
  if (data().prefixes.empty()) {
    state.SkipWithError("routing table not found (set NETROVE_BENCH_DATA)");
    return false;
  }
  if (!available(k)) {
    state.SkipWithError("the compressed trie is not built in this tree yet");
    return false;
  }
  return true;
}

// ---- Benchmarks ---------------------------------------------------------

void BM_Build(benchmark::State& state, Kind k) {
  if (!ready(state, k)) return;
  const auto& prefixes = data().prefixes;
  std::size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto e = std::make_unique<LocalEngine>(make_engine(k));
    const std::size_t before = heap_in_use();
    state.ResumeTiming();
    fill(*e, prefixes);
    state.PauseTiming();
    bytes = heap_in_use() - before;
    if (e->len() != built(k).len()) state.SkipWithError("engine lost prefixes");
    e.reset();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(prefixes.size());
  state.counters["prefixes"] = n;
  state.counters["entries"] = static_cast<double>(built(k).len());
  state.counters["bytes_per_prefix"] = static_cast<double>(bytes) / n;
  state.counters["per_insert"] =
      benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Lookup(benchmark::State& state, Kind k, Probe set) {
  if (!ready(state, k)) return;
  const LocalEngine& e = built(k);
  const auto& probes = data().probes[static_cast<int>(set)];
  std::size_t i = 0, hits = 0;
  for (auto _ : state) {
    auto r = e.lookup(probes[i++ & (kProbes - 1)]);
    hits += r.has_value();
    benchmark::DoNotOptimize(r);
  }
  state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

/// The tree's own search, without lock or record copy, with the Node16
/// search path forced to `path`.
void BM_ArtSearch(benchmark::State& state, netrove::art::Node16Path path, Probe set) {
  if (!ready(state, Kind::art)) return;
  if (!netrove::art::node16_path_supported(path)) {
    state.SkipWithError("Node16 path not supported here");
    return;
  }
  static const auto tree = [] {
    auto t = std::make_unique<netrove::art::AdaptiveRadixTree>();
    const auto& prefixes = data().prefixes;
    for (std::size_t i = 0; i < prefixes.size(); ++i)
      t->insert(prefixes[i].family, prefixes[i].address.data(), prefixes[i].length,
                netrove::RecordRef::intern(record_for(i)));
    return t;
  }();
  const netrove::art::Node16Path saved = netrove::art::active_node16_path();
  netrove::art::force_node16_path(path);
  const auto& probes = data().probes[static_cast<int>(set)];
  std::size_t i = 0, hits = 0;
  for (auto _ : state) {
    const IpAddress& a = probes[i++ & (kProbes - 1)];
    const netrove::StoredRecord* m = tree->search(a.family, a.bytes.data());
    hits += m != nullptr;
    benchmark::DoNotOptimize(m);
  }
  netrove::art::force_node16_path(saved);
  state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
  const auto c = tree->census();
  state.counters["tree_bytes_per_prefix"] = static_cast<double>(c.bytes) / static_cast<double>(c.leaves);
  state.counters["node4"] = static_cast<double>(c.node4);
  state.counters["node16"] = static_cast<double>(c.node16);
  state.counters["node48"] = static_cast<double>(c.node48);
  state.counters["node256"] = static_cast<double>(c.node256);
  state.counters["in_sets"] = static_cast<double>(c.set_leaves);
}

using netrove::art::Node16Path;

BENCHMARK_CAPTURE(BM_Build, art, Kind::art)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_Build, trie_kind4, Kind::trie)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_CAPTURE(BM_Lookup, art_inside_v4, Kind::art, Probe::inside4);
BENCHMARK_CAPTURE(BM_Lookup, trie_inside_v4, Kind::trie, Probe::inside4);
BENCHMARK_CAPTURE(BM_Lookup, art_inside_v6, Kind::art, Probe::inside6);
BENCHMARK_CAPTURE(BM_Lookup, trie_inside_v6, Kind::trie, Probe::inside6);
BENCHMARK_CAPTURE(BM_Lookup, art_random_v4, Kind::art, Probe::random4);
BENCHMARK_CAPTURE(BM_Lookup, trie_random_v4, Kind::trie, Probe::random4);
BENCHMARK_CAPTURE(BM_Lookup, art_random_v6, Kind::art, Probe::random6);
BENCHMARK_CAPTURE(BM_Lookup, trie_random_v6, Kind::trie, Probe::random6);

BENCHMARK_CAPTURE(BM_ArtSearch, avx2_inside_v4, Node16Path::avx2, Probe::inside4);
BENCHMARK_CAPTURE(BM_ArtSearch, sse41_inside_v4, Node16Path::sse41, Probe::inside4);
BENCHMARK_CAPTURE(BM_ArtSearch, scalar_inside_v4, Node16Path::scalar, Probe::inside4);
BENCHMARK_CAPTURE(BM_ArtSearch, avx2_inside_v6, Node16Path::avx2, Probe::inside6);
BENCHMARK_CAPTURE(BM_ArtSearch, sse41_inside_v6, Node16Path::sse41, Probe::inside6);
BENCHMARK_CAPTURE(BM_ArtSearch, scalar_inside_v6, Node16Path::scalar, Probe::inside6);
BENCHMARK_CAPTURE(BM_ArtSearch, avx2_random_v4, Node16Path::avx2, Probe::random4);

}  // namespace

BENCHMARK_MAIN();
