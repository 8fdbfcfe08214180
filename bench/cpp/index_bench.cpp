// index_bench - the trie engines on the real table: build, memory and remove per
// node kind (0-7), lookup against a plain walk, single index walks per family on 1 and 2
// threads, writes on the Python variants' engines (lpm_bench has the batch and engine lookups).
// NETROVE_BENCH_SAMPLE=n keeps every n-th prefix (kind 3 at least every 16th).
#include <mutex>

#include "common/engines.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "index/read_index.hpp"
#include "sync/rcu.hpp"
#include "trie/node_blocks.hpp"
#include "trie/trie_engine.hpp"
#include "trie/trie_roots.hpp"

using namespace netrove;
namespace nb = netrove::bench;

namespace {

constexpr std::size_t kAddresses = std::size_t{1} << 20, kMask = kAddresses - 1;

std::vector<IpPrefix> prefixes_for(int kind) {
  const char* env = std::getenv("NETROVE_BENCH_SAMPLE");
  const std::size_t step = std::max<std::size_t>(env ? std::max(1, std::atoi(env)) : 1, kind % 8 == 3 ? 16 : 1);
  std::vector<IpPrefix> out;
  for (std::size_t i = 0; i < nb::table_prefixes().size(); i += step) out.push_back(nb::table_prefixes()[i]);
  return out;
}

/// A trie engine of node kind 0-7.
LocalEngine new_engine(int kind) { return build_local(0, static_cast<std::uint8_t>(kind % 4), kind >= 4, std::nullopt); }

/// One built engine at a time (eight full tables would not fit), with addresses
/// inside its prefixes and uniform ones in the table's mix.  prepared(-1) releases.
struct Prepared {
  int kind = -1;
  std::unique_ptr<LocalEngine> engine;
  std::vector<IpAddress> inside, uniform;
};

Prepared& prepared(int kind) {
  static Prepared& p = *new Prepared;  // never destroyed
  static std::mutex mu;
  std::lock_guard<std::mutex> g(mu);
  if (p.kind == kind) return p;
  p.engine.reset();
  rcu::drain();
  if ((p.kind = kind) < 0) return p;
  const auto prefixes = prefixes_for(kind);
  nb::fill(*(p.engine = std::make_unique<LocalEngine>(new_engine(kind))), prefixes);
  p.inside = nb::inside_addresses(prefixes, kAddresses, 42);
  p.uniform = nb::random_addresses(kAddresses, nb::v4_share(prefixes), 7);
  return p;
}

/// Addresses of one family: inside the table's prefixes, or uniform (IPv6 in 2000::/3).
const std::vector<IpAddress>& family_stream(int ipv6, int uniform) {
  static std::vector<IpAddress> made[2][2];
  static std::mutex mu;
  std::lock_guard<std::mutex> g(mu);
  auto& v = made[ipv6][uniform];
  if (v.empty())
    v = uniform ? nb::random_addresses(kAddresses, ipv6 ? 0.0 : 1.0, 11 + ipv6, true)
                : nb::inside_addresses(nb::of_family(prefixes_for(5), ipv6 ? kIpv6 : kIpv4), kAddresses, 13 + ipv6);
  return v;
}

/// The engine's traversal over the same nodes reading every field directly (no
/// read section, version words or counters), with the same final record copy.
template <class R>
[[gnu::noinline]] std::optional<Metadata> plain(const TrieRoots& t, const IpAddress& a) {
  constexpr bool compressed = trie::kCompressedLayout<R>;
  constexpr auto relaxed = std::memory_order_relaxed;
  const trie::u128 key = compressed ? trie::compressed_key(a) : trie::uncompressed_key(a);
  const std::uint64_t last = compressed ? 127 : family_bits(a.family) - 1;
  const R* n = trie::as<R>(t.root(trie::family_index(a.family)));
  const trie::Record* best = nullptr;
  for (std::uint64_t d = 0;;) {
    std::uint64_t e = 0;  // the edge's length: bits skipped before the branch
    if constexpr (trie::kHalfLayout<R>) {
      const trie::HalfState s = trie::half_read_locked(*n);  // plain loads, no version word
      e = s.length;
      if (e != 0) {
        if (e > 128 - d) break;
        if ((trie::shl(key, d) ^ s.label) & trie::lead_mask(e)) break;
      }
    } else if constexpr (compressed) {
      if constexpr (trie::kEdgeCacheLayout<R>) {
        const std::uint8_t c = n->hdr.edge_cache.byte.load(relaxed);
        e = c != 0xFF ? c : n->length.value.load(relaxed);
      } else {
        e = n->length.value.load(relaxed);
      }
      if (e != 0) {
        if (e > 128 - d) break;
        const trie::u128 label = trie::make128(n->label.hi.load(relaxed), n->label.lo.load(relaxed));
        if ((trie::shl(key, d) ^ label) & trie::lead_mask(e)) break;
      }
    }
    if (const trie::Record* v = n->value.ptr.load(relaxed)) best = v;
    if (d + e > last) break;
    const trie::NodeHeader* c;
    const bool side = trie::bit(key, d + e);
    if constexpr (std::is_same_v<decltype(R::kids), trie::ChildPair>) c = n->kids.slot[side].load(relaxed);
    else c = n->kids.get(side);
    if (!c) break;
    n = trie::as<R>(c);
    d += e + 1;
  }
  if (!best) return std::nullopt;
  return RecordView(*best).to_metadata();
}

using PlainFn = std::optional<Metadata> (*)(const TrieRoots&, const IpAddress&);

PlainFn plain_for(int kind) {
  return trie::with_layout(static_cast<NodeKind>(kind),
                           [](auto* tag) -> PlainFn { return &plain<std::remove_pointer_t<decltype(tag)>>; });
}

/// Inserts the table (`distinct`: a record per prefix, else 1000 repeated), then removes it
/// shuffled: ns per insert and remove, bytes per prefix in nodes, index, records and the rest.
void BM_Build(benchmark::State& state, int kind, bool distinct) {
  using Clock = std::chrono::steady_clock;
  prepared(-1);
  const auto prefixes = prefixes_for(kind);
  auto shuffled = prefixes;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(11));
  std::vector<Metadata> records(prefixes.size());
  for (std::size_t i = 0; i < prefixes.size(); ++i)
    records[i] = distinct ? Metadata{"r" + std::to_string(i), {}} : nb::record_for(i);
  double total = 0, nodes = 0, arena = 0, recs = 0, ix[2][2] = {};  // [family]: index footprint bytes, nodes
  Clock::duration removing{};
  for (auto _ : state) {
    state.PauseTiming();
    rcu::drain();
    {
      std::vector<RecordRef> held;
      held.reserve(records.size());
      const std::size_t before = nb::heap_in_use();
      for (const auto& m : records) held.push_back(RecordRef::intern(m));
      recs = static_cast<double>(nb::heap_in_use() - before);
    }
    rcu::drain();
    std::vector<Metadata> copy = records;
    const double before = double(nb::heap_in_use()), nodes_before = double(nb::node_pool_bytes()),
                 arena_before = double(index::arena_in_use());
    auto e = std::make_unique<LocalEngine>(new_engine(kind));
    state.ResumeTiming();
    for (std::size_t i = 0; i < prefixes.size(); ++i) (void)e->insert(prefixes[i], std::move(copy[i]));
    state.PauseTiming();
    rcu::drain();
    total = double(nb::heap_in_use()) - before;
    nodes = double(nb::node_pool_bytes()) - nodes_before;
    arena = double(index::arena_in_use()) - arena_before;
    for (unsigned f = 0; f < 2; ++f) {
      const auto fp = e->trie()->roots()->read_index().footprint(f);
      ix[f][0] = double(fp.bytes), ix[f][1] = double(fp.nodes);
    }
    const auto t0 = Clock::now();
    for (const IpPrefix& p : shuffled) benchmark::DoNotOptimize(e->remove(p));
    removing += Clock::now() - t0;
    if (e->len() != 0) state.SkipWithError("prefixes left after removing them all");
    e.reset();
    rcu::drain();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(prefixes.size()), runs = static_cast<double>(state.iterations());
  state.counters["prefixes"] = n;
  state.counters["ns_per_insert"] = nb::per_op(runs * n);
  state.counters["ns_per_remove"] = double(std::chrono::nanoseconds(removing).count()) / (runs * n);
  state.counters["node_size"] = trie::with_layout(NodeKind(kind % 8), [](auto* tag) { return double(sizeof(*tag)); });
  state.counters["bytes_per_prefix"] = total / n;
  state.counters["node_bytes"] = nodes / n;
  state.counters["index_bytes"] = arena / n;
  state.counters["records_per_prefix"] = recs / n;
  state.counters["other_per_prefix"] = (total - nodes - arena - recs) / n;
  for (int f = 0; f < 2; ++f) {  // the index's own count, per prefix of the family
    const std::string fam = f ? "_v6" : "_v4";
    state.counters["index_nodes" + fam] = ix[f][1];
    state.counters["index_footprint" + fam] =
        ix[f][0] / double(nb::of_family(prefixes, f ? kIpv6 : kIpv4).size());
  }
}

/// Engine lookups (read section, version words, statistics, record copy) and
/// the plain walk of the same nodes, alternated in batches of 4096.
void BM_SyncCost(benchmark::State& state, int kind, int uniform) {
  Prepared& p = prepared(kind);
  const auto& addrs = uniform ? p.uniform : p.inside;
  const TrieRoots& roots = *p.engine->trie()->roots();
  const PlainFn plain = plain_for(kind);
  constexpr std::size_t kBatch = 4096;
  const std::size_t offset = static_cast<std::size_t>(state.thread_index()) * (kAddresses / 2);
  std::size_t hits = 0;
  auto run = [&](auto walk, std::size_t from) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      const IpAddress& a = addrs[(offset + from + i) & kMask];
      if constexpr (decltype(walk)::value) {
        benchmark::DoNotOptimize(plain(roots, a));
      } else {
        auto r = p.engine->lookup(a);
        hits += r.has_value();
        benchmark::DoNotOptimize(r);
      }
    }
  };
  nb::alternate(state, "engine", "plain", kBatch, kMask, [&](std::size_t f) { run(std::false_type{}, f); },
                [&](std::size_t f) { run(std::true_type{}, f); });
  state.counters["hit_rate"] = {double(hits) / double(state.iterations() * kBatch), benchmark::Counter::kAvgThreads};
}

/// Index walks, a read section per lookup, in rounds of 256 addresses of one family and stream per thread.
void BM_IndexLookup(benchmark::State& state, int kind, int ipv6, int uniform) {
  Prepared& p = prepared(kind);
  const auto& addrs = family_stream(ipv6, uniform);
  const index::ReadIndex& ix = p.engine->trie()->roots()->read_index();
  const std::size_t n = 256, thread = static_cast<std::size_t>(state.thread_index());
  std::vector<const trie::Record*> out(n);
  std::size_t base = (thread * 7919 * 64 & ~(n - 1)) & kMask, hits = 0;
  for (auto _ : state) {
    const IpAddress* a = &addrs[base];
    base = (base + n) & kMask;
    for (std::size_t j = 0; j < n; ++j) {
      rcu::ReadSection rs;
      hits += (out[j] = ix.lookup(a[j])) != nullptr;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
  state.counters["hit_rate"] = {double(hits) / double(state.iterations() * n), benchmark::Counter::kAvgThreads};
}

enum WriteOp { kInsert, kInsertMany, kInsertRecords, kRemove };

/// BM_Write's timed part, out of line for callgrind (--toggle-collect='*measured_write(*').
[[gnu::noinline]] std::size_t measured_write(Engine& e, WriteOp op, const std::vector<IpPrefix>& ps,
                                            std::vector<Metadata>& ms, std::vector<RecordRef>& refs) {
  std::size_t done = 0;
  if (op == kInsert)
    for (std::size_t i = 0; i < ps.size(); ++i) done += e.insert(ps[i], std::move(ms[i])).ok();
  if (op == kInsertMany) (void)insert_many(e, ps.data(), ms.data(), ps.size(), &done);
  if (op == kInsertRecords) (void)insert_records(e, ps.data(), refs.data(), ps.size(), &done);
  if (op == kRemove)
    for (const IpPrefix& p : ps) done += erase(e, p);
  return done;
}

/// Writes on a Python variant's engine, 300,000 IPv4 prefixes with a record per origin AS:
/// insert, insert_many, insert_records (records interned before), remove of 60,000.
void BM_Write(benchmark::State& state, WriteOp op, const char* variant) {
  prepared(-1);
  std::vector<IpPrefix> ps = nb::of_family(nb::table_prefixes(), kIpv4);
  ps.resize(std::min<std::size_t>(ps.size(), 300000));
  const std::vector<std::uint32_t> asn = nb::asn_per_prefix(ps.size());
  std::vector<IpPrefix> sample = ps;
  std::shuffle(sample.begin(), sample.end(), std::mt19937_64(3));
  sample.resize(std::min<std::size_t>(60000, sample.size()));
  const std::size_t ops = op == kRemove ? sample.size() : ps.size();
  for (auto _ : state) {
    state.PauseTiming();
    auto e = create_engine(nb::variant_config(variant));
    std::vector<Metadata> by_as(nb::kAsCount + 1), ms;
    std::vector<RecordRef> shared(nb::kAsCount + 1), refs;  // for kInsertRecords only
    for (std::uint32_t a : asn) {
      if (by_as[a].value.empty()) by_as[a] = nb::as_record(a);
      ms.push_back(by_as[a]);
      if (op != kInsertRecords) continue;
      if (!shared[a]) shared[a] = RecordRef::intern(by_as[a]);
      refs.push_back(shared[a]);
    }
    std::size_t loaded = 0;
    if (op == kRemove) (void)insert_many(*e, ps.data(), ms.data(), ps.size(), &loaded);
    state.ResumeTiming();
    const std::size_t done = measured_write(*e, op, op == kRemove ? sample : ps, ms, refs);
    state.PauseTiming();
    if (done != ops || e->len() != (op == kRemove ? ps.size() - ops : ps.size()))
      state.SkipWithError("a write was lost");
    e.reset();
    refs.clear(), shared.clear();
    rcu::drain();
    state.ResumeTiming();
  }
  state.counters["ops"] = static_cast<double>(ops);
  state.counters["ns_per_op"] = nb::per_op(static_cast<double>(state.iterations() * ops));
}

/// Bulk loads of the whole IPv4 table (records shared per AS, interned before) into the default
/// variant's engine: empty, or holding every other prefix already (a merge of the rest).  Timed
/// by the wall clock: the call builds the read index on a second thread, whose work and the
/// caller's wait for it the calling thread's CPU time leaves out.
void BM_BulkLoad(benchmark::State& state, bool merge) {
  std::vector<IpPrefix> ps = nb::of_family(nb::table_prefixes(), kIpv4), first, rest;
  const std::vector<std::uint32_t> asn = nb::asn_per_prefix(ps.size());
  std::vector<RecordRef> by_as(nb::kAsCount + 1), first_refs, rest_refs;
  for (std::size_t i = 0; i < ps.size(); ++i) {
    if (!by_as[asn[i]]) by_as[asn[i]] = RecordRef::intern(nb::as_record(asn[i]));
    (merge && i % 2 == 0 ? first : rest).push_back(ps[i]);
    (merge && i % 2 == 0 ? first_refs : rest_refs).push_back(by_as[asn[i]]);
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto e = create_engine(nb::variant_config("default"));
    std::vector<RecordRef> a = first_refs, b = rest_refs;
    std::size_t done = 0;
    if (merge) (void)insert_records(*e, first.data(), a.data(), first.size(), &done);
    state.ResumeTiming();
    (void)insert_records(*e, rest.data(), b.data(), rest.size(), &done);
    state.PauseTiming();
    if (e->len() != ps.size()) state.SkipWithError("a prefix was lost");
    e.reset();
    rcu::drain();
    state.ResumeTiming();
  }
  state.counters["prefixes"] = static_cast<double>(rest.size());
  state.counters["ns_per_prefix"] = nb::per_op(static_cast<double>(state.iterations() * rest.size()));
}

// Registered grouped by kind, so that each kind's engine is built once.
[[maybe_unused]] const bool registered = [] {
  auto reg = [](const std::string& name, auto fn, auto... args) {
    return benchmark::RegisterBenchmark(name.c_str(), fn, args...);
  };
  const std::string streams[] = {"/inside", "/uniform"}, families[] = {"/ipv4", "/ipv6"};
  for (int k = 0; k < 8; ++k)
    for (int d = 0; d < (k == 5 ? 2 : 1); ++d)  // distinct records cost the same under any kind
      reg("BM_Build/kind:" + std::to_string(k) + "/distinct:" + std::to_string(d), BM_Build, k, d != 0)
          ->Iterations(1)->Unit(benchmark::kMillisecond);
  for (int k = 0; k < 8; ++k) {
    for (int u = 0; u < 2; ++u) {
      auto* b = reg("BM_SyncCost/kind:" + std::to_string(k) + streams[u], BM_SyncCost, k, u);
      if ((k == 4 || k == 5) && u == 0) b->Threads(1)->Threads(2)->UseRealTime();
    }
    if (k != 5) continue;
    // Kind 5's index walks; two threads share one engine.
    for (int v6 = 0; v6 < 2; ++v6)
      for (int u = 0; u < 2; ++u)
        reg("BM_IndexLookup" + families[v6] + streams[u], BM_IndexLookup, k, v6, u)
            ->Threads(1)->Threads(2)->UseRealTime()->Apply(nb::repeat<5, true>);
  }
  reg("BM_BulkLoad/empty", BM_BulkLoad, false)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
  reg("BM_BulkLoad/merge", BM_BulkLoad, true)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
  const char* const ops[] = {"insert", "insert_many", "insert_records", "remove"};
  for (int op = 0; op < 4; ++op)
    for (const char* v : {"default", "standard", "lockfree", "adaptive"})
      reg(std::string("BM_Write/") + ops[op] + "/" + v, BM_Write, WriteOp(op), v)
          ->Iterations(1)->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
