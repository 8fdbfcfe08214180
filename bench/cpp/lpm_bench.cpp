// lpm_bench - netrove's default engine beside DPDK's LPM (rte_lpm, rte_lpm6) in one process, one table, the same
// streams, alternated window by window, every answer (an origin AS) compared; without DPDK or its EAL, netrove alone.
#include <set>
#include <unordered_map>

#include "common/engines.hpp"
#include "sync/rcu.hpp"
#ifdef NETROVE_HAVE_DPDK
#include <rte_eal.h>
#include <rte_errno.h>
#include <rte_lpm.h>
#include <rte_lpm6.h>
#include <rte_memory.h>
#include <sys/mman.h>
#endif

using namespace netrove;
namespace nb = netrove::bench;

namespace {

constexpr std::size_t kAddresses = std::size_t{1} << 20, kMask = kAddresses - 1, kWindow = 4096, kBatch = 256;
constexpr std::uint32_t kMiss = ~0u;  // no stored prefix covers the address
using Rows = std::uint8_t(*)[16];     // IPv6 addresses as rte_lpm6 reads them

/// Per family: prefixes, their origin ASes (DPDK's next hops, netrove's record words), streams (inside, uniform).
struct World {
  std::vector<IpPrefix> prefixes[2];
  std::vector<std::uint32_t> asn[2];
  std::vector<IpAddress> addrs[2][2];
  std::vector<std::uint32_t> v4[2];  // host order
  std::vector<std::array<std::uint8_t, 16>> v6[2];
  std::unique_ptr<Engine> engine = create_engine(EngineConfig{});
  double heap = 0, records = 0;  // netrove's heap bytes for the IPv4 table, its records' among them
  std::string dpdk_off = "built without DPDK (no pkg-config libdpdk)";  // why DPDK is not measured
#ifdef NETROVE_HAVE_DPDK
  rte_lpm* lpm = nullptr;
  rte_lpm6* lpm6 = nullptr;
  rte_lpm_config config{};
#endif
};

std::uint32_t host_order(const std::uint8_t* b) { return std::uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]; }
std::uint32_t id_of(const RecordView& r) { return std::uint32_t(std::uintptr_t(r.stored().host.load())); }

/// Stores `ps`, the i-th with the shared record of its AS asn[i], the AS number in the record's embedder word.
void load(Engine& e, const std::vector<IpPrefix>& ps, const std::vector<std::uint32_t>& asn) {
  std::vector<RecordRef> refs(ps.size());
  std::unordered_map<std::uint32_t, RecordRef> of_as;
  for (std::size_t i = 0; i < ps.size(); ++i)
    if (!(refs[i] = of_as[asn[i]]))  // the AS's first prefix: its record, the word set once
      (refs[i] = of_as[asn[i]] = RecordRef::intern(nb::as_record(asn[i]))).get()->host.store((void*)std::uintptr_t(asn[i]));
  std::size_t done = 0;
  if (!insert_records(e, ps.data(), refs.data(), ps.size(), &done).ok() || done != ps.size())
    throw std::runtime_error("netrove stored " + std::to_string(done) + " of the prefixes");
}

#ifdef NETROVE_HAVE_DPDK
/// tbl8 groups for DPDK, an eighth and 64 spare: one per run of leading bytes a prefix passes below 24 bits.
std::uint32_t tbl8_groups(const std::vector<IpPrefix>& ps) {
  std::set<std::pair<unsigned, std::array<std::uint8_t, 16>>> groups;  // (level, leading bytes)
  for (const IpPrefix& p : ps)
    for (unsigned k = 3; k * 8 < p.length; ++k)
      groups.emplace(k, IpPrefix{p.family, p.address, std::uint8_t(8 * k)}.network_address());
  return std::uint32_t(groups.size() + groups.size() / 8 + 64);
}

/// rte_lpm_create's allocation: the structure with its 2^24-entry tbl24, 1 KiB per tbl8 group, 8 B a rule.
double lpm_bytes(const rte_lpm_config& c) { return sizeof(rte_lpm) + c.number_tbl8s * 1024.0 + c.max_rules * 8.0; }

/// Starts the EAL (no hugepages, devices, shared config, telemetry) and builds rte_lpm and rte_lpm6; or why not.
std::string start_dpdk(World& w) {
  const auto &p4 = w.prefixes[0], &p6 = w.prefixes[1];
  w.config = {std::uint32_t(p4.size()), tbl8_groups(p4), 0};
  const rte_lpm6_config c6{std::uint32_t(p6.size()), tbl8_groups(p6), 0};
  // The EAL's heap in MB, taken whole at start: both tables, rte_lpm6's rule hash, slack.
  const auto mb = std::to_string(int((lpm_bytes(w.config) + c6.number_tbl8s * 1040.0 + p6.size() * 256.0) / 1e6) + 320);
  // Its one lcore, this thread, keeps every processor: both sides run where netrove alone would.
  const auto cpus = "--lcores=0@(0-" + std::to_string(sysconf(_SC_NPROCESSORS_ONLN) - 1) + ")";
  const char* argv[] = {"lpm_bench", "--no-huge", "--no-pci", "--no-shconf", "--no-telemetry", cpus.c_str(),
                        "--log-level=error", "-m", mb.c_str()};
  if (rte_eal_init(int(std::size(argv)), const_cast<char**>(argv)) < 0)
    return "rte_eal_init: " + std::string(rte_strerror(rte_errno));
  // netrove's nodes and index ask for transparent huge pages; DPDK, made for hugepages, gets them too.
  rte_memseg_list_walk([](auto* m, void*) { return madvise(m->base_va, m->len, MADV_HUGEPAGE) & 0; }, nullptr);
  if (!(w.lpm = rte_lpm_create("lpm_bench", SOCKET_ID_ANY, &w.config)) ||
      !(w.lpm6 = rte_lpm6_create("lpm_bench6", SOCKET_ID_ANY, &c6)))
    return "rte_lpm_create: " + std::string(rte_strerror(rte_errno));
  for (std::uint32_t i = 0, n4 = std::uint32_t(p4.size()); i < n4 + p6.size(); ++i) {
    const IpPrefix& p = i < n4 ? p4[i] : p6[i - n4];
    if (int rc = i < n4 ? rte_lpm_add(w.lpm, host_order(p.address.data()), p.length, w.asn[0][i])
                        : rte_lpm6_add(w.lpm6, p.address.data(), p.length, w.asn[1][i - n4]))
      return "rte_lpm_add " + prefix_field(p) + ": " + std::strerror(-rc);
  }
  std::vector<std::uint32_t> hops(kAddresses);  // a page no add wrote faults when first read: read all untimed
  for (int s = 0; s < 2; ++s) rte_lpm_lookup_bulk(w.lpm, w.v4[s].data(), hops.data(), kAddresses);
  for (auto& v : w.v6) rte_lpm6_lookup_bulk_func(w.lpm6, Rows(v.data()), (std::int32_t*)hops.data(), kAddresses);
  return {};
}
#endif

/// The table, the streams, netrove's engine and DPDK's tables, built once.
World& world() {
  static World& w = *[] {
    auto* w = new World;  // never destroyed
    for (int f = 0; f < 2; ++f) {
      for (IpPrefix& p : w->prefixes[f] = nb::of_family(nb::table_prefixes(), std::uint8_t(f))) p = p.network();
      w->asn[f] = nb::asn_per_prefix(w->prefixes[f].size());
      w->addrs[f][0] = nb::inside_addresses(w->prefixes[f], kAddresses, 42 + f);
      w->addrs[f][1] = nb::random_addresses(kAddresses, f ? 0.0 : 1.0, 7 + f, true);
      for (int s = 0; s < 2; ++s)
        for (const IpAddress& a : w->addrs[f][s])
          f ? w->v6[s].push_back(a.bytes) : w->v4[s].push_back(host_order(a.bytes.data()));
    }
    const double heap = double(nb::heap_in_use()), records = double(record_census().bytes);
    load(*w->engine, w->prefixes[0], w->asn[0]);
    rcu::drain();
    w->heap = double(nb::heap_in_use()) - heap, w->records = double(record_census().bytes) - records;
    load(*w->engine, w->prefixes[1], w->asn[1]);
#ifdef NETROVE_HAVE_DPDK
    w->dpdk_off = start_dpdk(*w);
#endif
    return w;
  }();
  return w;
}

enum Mode { kSingle, kChained, kContainsMany, kLookupManyWith };

/// The j-th address of a chained window, moved by the answer before it: no lookup starts before that one ends.
std::size_t chained(std::size_t base, std::size_t j, std::size_t prev) { return (base + j + (prev & 63)) & kMask; }

/// netrove and DPDK on the same windows of kWindow addresses, which goes first flipped every window: "netrove_ns"
/// and "rte_lpm_ns" ("rte_lpm6_ns") per address, and their ratio. Each answers with the id its entry holds, DPDK's
/// next hop or the word of netrove's record (read by the visitor), or for contains_many whether there is one.
void BM_Lookup(benchmark::State& state, int v6, int uniform, Mode mode) {
  World& w = world();
  const IpAddress* addrs = w.addrs[v6][uniform].data();
  const bool any = mode == kContainsMany;  // answers are only "some" or "none"
  const auto& lender = dynamic_cast<const RecordLender&>(*w.engine);
  std::uint32_t got[2][kWindow], id = kMiss;  // netrove's answers, DPDK's
  bool found[kWindow];
  std::size_t at = 0;
  auto one = [&](const RecordView& r) { id = id_of(r); };
  auto each = [&](std::size_t i, const RecordView& r) { got[0][at + i] = id_of(r); };
  const RecordVisitor visit(one);
  auto netrove = [&](std::size_t base) {
    for (std::size_t j = 0, prev = 0; mode <= kChained && j < kWindow; ++j)
      prev = got[0][j] = lender.lookup_with(addrs[mode ? chained(base, j, prev) : base + j], visit) ? id : kMiss;
    for (at = 0; mode == kContainsMany && at < kWindow; at += kBatch)
      contains_many(*w.engine, addrs + base + at, kBatch, found + at);
    for (at = 0; mode == kLookupManyWith && at < kWindow; at += kBatch)
      lookup_many_with(*w.engine, addrs + base + at, kBatch, found + at, each);
  };
  auto dpdk = [&](std::size_t base) {
#ifdef NETROVE_HAVE_DPDK
    std::uint32_t *o = got[1], hop = 0, *a4 = w.v4[uniform].data();
    const auto* a6 = w.v6[uniform].data();
    auto hop_of = [&](std::size_t i) {  // of the i-th address, or kMiss
      return (v6 ? rte_lpm6_lookup(w.lpm6, a6[i].data(), &hop) : rte_lpm_lookup(w.lpm, a4[i], &hop)) ? kMiss : hop;
    };
    for (std::size_t j = 0, prev = 0; mode <= kChained && j < kWindow; ++j)
      prev = o[j] = hop_of(mode ? chained(base, j, prev) : base + j);
    for (std::size_t b = 0; mode > kChained && b < kWindow; b += kBatch)  // rte_lpm6's miss is -1: kMiss
      v6 ? void(rte_lpm6_lookup_bulk_func(w.lpm6, Rows(a6 + base + b), (std::int32_t*)(o + b), kBatch))
         : void(rte_lpm_lookup_bulk(w.lpm, a4 + base + b, o + b, kBatch));
    for (std::size_t j = 0; !v6 && mode > kChained && j < kWindow; ++j)
      o[j] = o[j] & RTE_LPM_LOOKUP_SUCCESS ? o[j] & 0xFFFFFF : kMiss;
#endif
  };
  const bool both = w.dpdk_off.empty();
  std::chrono::steady_clock::duration t[2]{};  // netrove's, DPDK's
  for (std::size_t base = 0; state.KeepRunning(); base = (base + kWindow) & kMask) {
    for (int k = 0; k < 1 + both; ++k) {
      const bool side = both && (k == 0) == (base / kWindow % 2 == 0);
      const auto t0 = std::chrono::steady_clock::now();
      side ? dpdk(base) : netrove(base);
      t[side] += std::chrono::steady_clock::now() - t0;
    }
    for (std::size_t j = 0, prev = 0; j < kWindow; ++j) {
      std::uint32_t &n = got[0][j], d = any && got[1][j] != kMiss ? 0 : got[1][j];
      if (mode > kChained) n = !found[j] ? kMiss : any ? 0 : n;
      const IpAddress& a = addrs[mode == kChained ? chained(base, j, prev) : base + j];
      prev = n;
      if (!(both && n != d) && (n != kMiss || uniform)) continue;
      auto name = [&](std::uint32_t x) { return x == kMiss ? "none" : any ? "some" : "AS" + std::to_string(x); };
      const std::string dpdk = both ? ", DPDK " + name(d) : ": none inside a stored prefix";
      const std::string address = format_address(a.family, a.bytes);
      return state.SkipWithError(("answers to " + address + ": netrove " + name(n) + dpdk).c_str());
    }
  }
  const double n = double(state.iterations() * kWindow);
  state.counters["netrove_ns"] = double(std::chrono::nanoseconds(t[0]).count()) / n;
  if (!both) return;
  state.counters[v6 ? "rte_lpm6_ns" : "rte_lpm_ns"] = double(std::chrono::nanoseconds(t[1]).count()) / n;
  state.counters["ratio"] = double(t[0].count()) / double(t[1].count());
}

/// Bytes per IPv4 prefix: netrove's engine (heap growth: nodes, read index, records) beside rte_lpm's tables.
void BM_Memory(benchmark::State& state) {
  World& w = world();
  for (auto _ : state) benchmark::DoNotOptimize(w.heap);
  const double n = double(w.prefixes[0].size());
  state.counters["prefixes"] = n;
  state.counters["netrove_bytes_per_prefix"] = w.heap / n;
  state.counters["netrove_record_bytes_per_prefix"] = w.records / n;
#ifdef NETROVE_HAVE_DPDK
  if (!w.dpdk_off.empty()) return;
  state.counters["rte_lpm_bytes_per_prefix"] = lpm_bytes(w.config) / n;
  state.counters["rte_lpm_tbl8_groups"] = w.config.number_tbl8s;
  state.counters["ratio"] = w.heap / lpm_bytes(w.config);
#endif
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("BM_Dpdk", [](benchmark::State& state) {  // an error line: why DPDK is not measured
    if (!world().dpdk_off.empty()) state.SkipWithError(world().dpdk_off.c_str());
    for (auto _ : state) benchmark::DoNotOptimize(world().engine.get());
  })->Iterations(1);
  benchmark::RegisterBenchmark("BM_Memory/ipv4", BM_Memory)->Iterations(1);
  const std::string streams[] = {"/inside", "/uniform"};
  const std::string modes[] = {"/single", "/chained", "/contains_many", "/lookup_many_with"};
  for (int v6 = 0; v6 < 2; ++v6)
    for (int m = 0; m < 4; ++m)
      for (int u = 0; u < 2; ++u)
        benchmark::RegisterBenchmark(("BM_Lookup/ipv" + std::to_string(v6 ? 6 : 4) + streams[u] + modes[m]).c_str(),
                                     BM_Lookup, v6, u, Mode(m))->Apply(nb::repeat<3, true>);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
