// as_records.hpp - the realistic records of the write benchmarks in C++:
// the same origin AS per prefix as bench/as_records.py (see there), and
// the record {"value": "AS<n>", "attributes": {"asn": "<n>"}}.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "netrove/metadata.hpp"

namespace netrove::bench {

inline constexpr std::uint64_t kAsCount = 70000;

/// The origin AS of each of `n` prefixes in table order.
inline std::vector<std::uint32_t> asn_per_prefix(std::size_t n, std::uint64_t seed = 25) {
  std::uint64_t state = seed;
  auto next64 = [&] {  // splitmix64
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  std::vector<std::uint32_t> out;
  out.reserve(n);
  for (std::uint64_t run_index = 0; out.size() < n; ++run_index) {
    const std::uint64_t run = 1 + next64() % 4;
    const std::uint64_t r = next64();
    std::uint64_t asn;
    if (r & 1) {
      asn = (run_index * 40503) % kAsCount + 1;
    } else {
      const double u = static_cast<double>(r >> 11) / 9007199254740992.0;
      asn = std::min<std::uint64_t>(kAsCount, 1 + static_cast<std::uint64_t>(std::pow(double(kAsCount), u)));
    }
    for (std::uint64_t k = 0; k < run && out.size() < n; ++k) out.push_back(static_cast<std::uint32_t>(asn));
  }
  return out;
}

/// The record of AS `asn`.
inline Metadata as_record(std::uint32_t asn) {
  Metadata m;
  m.value = "AS" + std::to_string(asn);
  m.attributes.emplace("asn", std::to_string(asn));
  return m;
}

}  // namespace netrove::bench
