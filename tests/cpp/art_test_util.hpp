// Helpers shared by the adaptive radix tree tests: prefixes and addresses
// built straight from bytes, records, and a brute-force longest-prefix
// oracle.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "netrove/metadata.hpp"
#include "netrove/types.hpp"

namespace art_test {

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::kIpv4;
using netrove::kIpv6;
using netrove::Metadata;

inline IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  IpAddress out;
  out.family = kIpv4;
  out.bytes[0] = a, out.bytes[1] = b, out.bytes[2] = c, out.bytes[3] = d;
  return out;
}

inline IpPrefix v4p(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint8_t len) {
  IpPrefix out;
  out.family = kIpv4;
  out.address[0] = a, out.address[1] = b, out.address[2] = c, out.address[3] = d;
  out.length = len;
  return out;
}

/// IPv6 address from up to 16 leading bytes (the rest zero).
inline IpAddress v6(std::initializer_list<std::uint8_t> bytes) {
  IpAddress out;
  out.family = kIpv6;
  unsigned i = 0;
  for (std::uint8_t b : bytes) out.bytes[i++] = b;
  return out;
}

inline IpPrefix v6p(std::initializer_list<std::uint8_t> bytes, std::uint8_t len) {
  IpPrefix out;
  out.family = kIpv6;
  unsigned i = 0;
  for (std::uint8_t b : bytes) out.address[i++] = b;
  out.length = len;
  return out;
}

/// The address a prefix was written with (host bits kept).
inline IpAddress addr_of(const IpPrefix& p) {
  IpAddress a;
  a.family = p.family;
  a.bytes = p.address;
  return a;
}

inline Metadata rec(std::string value) {
  Metadata m;
  m.value = std::move(value);
  return m;
}

inline Metadata rec(std::string value, std::string k, std::string v) {
  Metadata m = rec(std::move(value));
  m.attributes.emplace(std::move(k), std::move(v));
  return m;
}

/// Brute force: every stored prefix in a map keyed by family, network
/// address and length; lookup scans them all.
class Oracle {
 public:
  /// True when the prefix was new.
  bool insert(const IpPrefix& p, const Metadata& m) {
    auto [it, fresh] = entries_.insert_or_assign(key(p), m);
    (void)it;
    return fresh;
  }
  std::optional<Metadata> remove(const IpPrefix& p) {
    auto it = entries_.find(key(p));
    if (it == entries_.end()) return std::nullopt;
    Metadata m = std::move(it->second);
    entries_.erase(it);
    return m;
  }
  bool contains_prefix(const IpPrefix& p) const { return entries_.count(key(p)) != 0; }
  std::optional<Metadata> lookup(const IpAddress& a) const {
    const Metadata* best = nullptr;
    int best_len = -1;
    for (const auto& [k, m] : entries_) {
      const IpPrefix p{std::get<0>(k), std::get<1>(k), std::get<2>(k)};
      if (p.contains(a) && static_cast<int>(p.length) > best_len) {
        best = &m;
        best_len = p.length;
      }
    }
    if (best == nullptr) return std::nullopt;
    return *best;
  }
  void clear() { entries_.clear(); }
  std::size_t size() const { return entries_.size(); }

  using Key = std::tuple<std::uint8_t, std::array<std::uint8_t, 16>, std::uint8_t>;
  const std::map<Key, Metadata>& entries() const { return entries_; }

 private:
  static Key key(const IpPrefix& p) { return {p.family, p.network_address(), p.length}; }
  std::map<Key, Metadata> entries_;
};

}  // namespace art_test
