// table.hpp - the real routing table every benchmark reads, the address
// streams drawn from it, and the run settings the programs share.
#pragma once

#include <benchmark/benchmark.h>
#include <errno.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "netrove/text.hpp"
#include "netrove/types.hpp"

namespace netrove::bench {

using Rng = std::mt19937_64;

/// NETROVE_BENCH_QUICK=1: the first 20,000 prefixes of each family and no
/// repetitions (a smoke run of seconds).
inline bool quick() {
  static const bool q = std::getenv("NETROVE_BENCH_QUICK") && *std::getenv("NETROVE_BENCH_QUICK") != '0';
  return q;
}

/// For Benchmark::Apply: N repetitions (`Only`: their statistics alone), none in quick mode.
template <int N, bool Only = false>
void repeat(benchmark::internal::Benchmark* b) {
  if (!quick()) b->Repetitions(N)->ReportAggregatesOnly(Only);
}

/// A counter of `n` operations shown as the time per operation.
inline benchmark::Counter per_op(double n) { return {n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert}; }

/// Runs a(from) and b(from), `per` operations each on windows `stride` apart in a stream of
/// mask + 1, order flipped every round: "<a>_ns", "<b>_ns" per operation per thread, a / b.
template <class A, class B>
void alternate(benchmark::State& state, const std::string& a_name, const std::string& b_name, std::size_t per,
               std::size_t mask, A&& a, B&& b, std::size_t stride = 0) {
  using Clock = std::chrono::steady_clock;
  stride = stride ? stride : per;
  Clock::duration t[2]{};  // a's, b's
  std::size_t base = 0;
  bool a_first = false;
  for (auto _ : state) {
    a_first = !a_first;
    const auto t0 = Clock::now();
    a_first ? a(base) : b(base);
    const auto t1 = Clock::now();
    a_first ? b((base + stride) & mask) : a((base + stride) & mask);
    t[!a_first] += t1 - t0;
    t[a_first] += Clock::now() - t1;
    base = (base + 2 * stride) & mask;
  }
  const double n = static_cast<double>(state.iterations() * per);
  const auto avg = benchmark::Counter::kAvgThreads;
  state.counters[a_name + "_ns"] = {static_cast<double>(std::chrono::nanoseconds(t[0]).count()) / n, avg};
  state.counters[b_name + "_ns"] = {static_cast<double>(std::chrono::nanoseconds(t[1]).count()) / n, avg};
  state.counters["ratio"] = {static_cast<double>(t[0].count()) / static_cast<double>(t[1].count()), avg};
  state.SetItemsProcessed(static_cast<std::int64_t>(2 * state.iterations() * per));
}

/// The gzip'd table: $NETROVE_BENCH_DATA, else ../shared/data/ from the
/// project root, else the workplace's shared folder; empty when none exists.
inline std::string table_path() {
  if (const char* env = std::getenv("NETROVE_BENCH_DATA"); env && *env) return env;
  for (const char* p : {"../shared/data/tier1-prefixes.txt.gz", "/work/shared/data/tier1-prefixes.txt.gz"})
    if (std::filesystem::exists(p)) return p;
  return {};
}

/// The table's "address/length" lines in file order (quick: the first 20,000
/// of each family).  Ends the program when there is no table.
inline const std::vector<std::string>& table_lines() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> out;
    const std::string path = table_path();
    std::size_t kept[2] = {0, 0};
    if (std::FILE* f = path.empty() ? nullptr : popen(("gzip -dc '" + path + "' 2>/dev/null").c_str(), "r")) {
      for (char buf[256]; std::fgets(buf, sizeof buf, f);) {
        std::string s(buf, std::strcspn(buf, "\r\n"));
        const bool v6 = s.find(':') != std::string::npos;
        if (s.find('/') == std::string::npos || (quick() && kept[v6] >= 20000)) continue;
        ++kept[v6];
        out.push_back(std::move(s));
      }
      pclose(f);
    }
    if (out.empty()) {
      std::fprintf(stderr, "%s: routing table not found (set NETROVE_BENCH_DATA)\n", program_invocation_short_name);
      std::exit(1);
    }
    return out;
  }();
  return lines;
}

/// table_lines() parsed.
inline const std::vector<IpPrefix>& table_prefixes() {
  static const std::vector<IpPrefix> out = [] {
    std::vector<IpPrefix> v;
    for (const std::string& s : table_lines())
      if (auto p = parse_prefix(s)) v.push_back(*p);
    return v;
  }();
  return out;
}

/// The prefixes of `from` of one family, in order.
inline std::vector<IpPrefix> of_family(const std::vector<IpPrefix>& from, std::uint8_t family) {
  std::vector<IpPrefix> out;
  for (const IpPrefix& p : from)
    if (p.family == family) out.push_back(p);
  return out;
}

inline double v4_share(const std::vector<IpPrefix>& from) {
  return static_cast<double>(of_family(from, kIpv4).size()) / static_cast<double>(from.size());
}

/// An address with random host bits inside `p`.
inline IpAddress inside(const IpPrefix& p, Rng& rng) {
  IpAddress a{p.family, p.network_address()};
  const std::uint64_t r[2] = {rng(), rng()};
  const auto* bits = reinterpret_cast<const std::uint8_t*>(r);
  for (unsigned i = p.length / 8u; i < family_bits(p.family) / 8u; ++i)
    a.bytes[i] |= static_cast<std::uint8_t>(bits[i] & (0xFFu >> (i * 8u < p.length ? p.length - i * 8u : 0u)));
  return a;
}

/// `n` addresses inside prefixes of `from` picked at random.
inline std::vector<IpAddress> inside_addresses(const std::vector<IpPrefix>& from, std::size_t n, std::uint64_t seed) {
  Rng rng(seed);
  std::vector<IpAddress> out(n);
  for (IpAddress& a : out) a = inside(from[rng() % from.size()], rng);
  return out;
}

/// `n` uniformly random addresses, IPv4 with probability `v4`; with `unicast`,
/// IPv6 ones in 2000::/3 where the table's sit (elsewhere a walk ends at the root).
inline std::vector<IpAddress> random_addresses(std::size_t n, double v4, std::uint64_t seed, bool unicast = false) {
  Rng rng(seed);
  std::uniform_real_distribution<double> coin(0, 1);
  std::vector<IpAddress> out(n);
  for (IpAddress& a : out) {
    a.family = v4 >= 1 || (v4 > 0 && coin(rng) < v4) ? kIpv4 : kIpv6;
    const std::uint64_t r[2] = {rng(), rng()};
    std::memcpy(a.bytes.data(), r, a.family == kIpv4 ? 4 : 16);
    if (unicast && a.family == kIpv6) a.bytes[0] = static_cast<std::uint8_t>(0x20 | (a.bytes[0] & 0x1f));
  }
  return out;
}

}  // namespace netrove::bench
