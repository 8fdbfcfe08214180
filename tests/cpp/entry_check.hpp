// Test helper: the enumerations of an EntryReader against the entries a
// brute-force oracle holds, by filtering and sorting that list.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "netrove/engine.hpp"
#include "netrove/text.hpp"

namespace nt {

/// "prefix value" per entry: values are unique in the tests, so this names
/// the record as well as the entry.
inline std::vector<std::string> shown(const std::vector<netrove::Entry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(netrove::prefix_field(e.prefix) + " " + e.record.value);
  return out;
}

/// Checks covering (all, and the longest one only) at every address of
/// `addresses`, covered and exact for every prefix of `subnets`, and all(),
/// against `stored`: the oracle's entries (host bits may be set).
inline void check_enumeration(const netrove::EntryReader& r, std::vector<netrove::Entry> stored,
                              const std::vector<netrove::IpAddress>& addresses,
                              const std::vector<netrove::IpPrefix>& subnets) {
  for (auto& e : stored) e.prefix = e.prefix.network();
  std::sort(stored.begin(), stored.end(), [](const netrove::Entry& a, const netrove::Entry& b) {
    return std::tie(a.prefix.family, a.prefix.address, a.prefix.length) <
           std::tie(b.prefix.family, b.prefix.address, b.prefix.length);
  });
  ASSERT_EQ(shown(r.all()), shown(stored));
  for (const netrove::IpAddress& a : addresses) {
    std::vector<netrove::Entry> want;
    for (const auto& e : stored)
      if (e.prefix.contains(a)) want.push_back(e);
    std::stable_sort(want.begin(), want.end(),
                     [](const auto& x, const auto& y) { return x.prefix.length > y.prefix.length; });
    ASSERT_EQ(shown(r.covering(a, SIZE_MAX)), shown(want)) << netrove::format_address(a.family, a.bytes);
    want.resize(std::min<std::size_t>(want.size(), 1));
    ASSERT_EQ(shown(r.covering(a, 1)), shown(want));
  }
  for (const netrove::IpPrefix& p : subnets) {
    std::vector<netrove::Entry> want;
    std::optional<netrove::Metadata> same;
    for (const auto& e : stored) {
      const netrove::IpAddress at{e.prefix.family, e.prefix.address};
      if (e.prefix.length >= p.length && p.contains(at)) want.push_back(e);
      if (e.prefix.same_network(p)) same = e.record;
    }
    ASSERT_EQ(shown(r.covered(p)), shown(want)) << netrove::prefix_field(p);
    ASSERT_EQ(r.exact(p), same) << netrove::prefix_field(p);
  }
}

}  // namespace nt
