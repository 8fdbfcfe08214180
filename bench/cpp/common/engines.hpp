// engines.hpp - the records stored, the Python variants' engines, the memory of an engine.
// Engines in statics are never destroyed (`*new T`): after main they would crash at exit.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/table.hpp"
#include "index/node_arena.hpp"
#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "trie/node_pool.hpp"

namespace netrove::bench {

/// The record of AS `asn`: {"value": "AS<n>", "attributes": {"asn": "<n>"}}.
inline Metadata as_record(std::uint32_t asn) { return {"AS" + std::to_string(asn), {{"asn", std::to_string(asn)}}}; }

/// The record of the i-th prefix: "AS<n>" for one of `distinct` ASes in
/// turn; with `asn`, as_record(n).
inline Metadata record_for(std::size_t i, std::size_t distinct = 1000, bool asn = false) {
  const auto n = static_cast<std::uint32_t>(64500 + i % distinct);
  return asn ? as_record(n) : Metadata{"AS" + std::to_string(n), {}};
}

/// Inserts `prefixes` into `e`, the i-th with record_for(i, distinct, asn).
inline void fill(Engine& e, const std::vector<IpPrefix>& prefixes, std::size_t distinct = 1000, bool asn = false) {
  for (std::size_t i = 0; i < prefixes.size(); ++i) (void)e.insert(prefixes[i], record_for(i, distinct, asn));
}

inline constexpr std::uint64_t kAsCount = 70000;

/// A synthetic origin AS (1..kAsCount) for each of `n` prefixes: runs of 1 to 4
/// prefixes per AS, half the runs uniform over the ASes, half heavy-tailed to the low ones.
inline std::vector<std::uint32_t> asn_per_prefix(std::size_t n) {
  std::mt19937_64 rng(25);
  std::vector<std::uint32_t> out;
  out.reserve(n);
  while (out.size() < n) {
    const double u = static_cast<double>(rng() >> 11) / 9007199254740992.0;  // in [0, 1)
    const auto asn = static_cast<std::uint32_t>(
        rng() & 1 ? 1 + rng() % kAsCount : std::min(kAsCount, 1 + std::uint64_t(std::pow(double(kAsCount), u))));
    for (auto k = 1 + rng() % 4; k-- > 0 && out.size() < n;) out.push_back(asn);
  }
  return out;
}

/// The engine a Python variant builds: "standard", "lockfree" or "adaptive";
/// any other name is the default engine.
inline EngineConfig variant_config(std::string_view variant) {
  EngineConfig c;
  if (variant != "standard" && variant != "lockfree" && variant != "adaptive") return c;
  c.cache_ttl_secs = 3600;
  c.cache_capacity = 10000;
  c.enable_cache = true;
  c.node_style = NodeStyle::atomic;
  c.engine_type = variant == "standard"   ? EngineType::trie
                  : variant == "lockfree" ? EngineType::mapped_trie
                                          : EngineType::sharded_atomic_trie;
  return c;
}

/// Bytes of the trie node blocks the node pools have handed out.
inline std::size_t node_pool_bytes() { return trie::live_node_bytes(); }

/// Bytes in use on the malloc heap, plus the node pools' blocks and the read
/// index's arena, whose chunks mallinfo never sees.
inline std::size_t heap_in_use() {
  const struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd + node_pool_bytes() + index::arena_in_use();
}

}  // namespace netrove::bench
