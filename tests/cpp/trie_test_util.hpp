// Test helpers: addresses, prefixes and records built from bytes, and a
// brute-force longest-prefix oracle.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "netrove/metadata.hpp"
#include "netrove/types.hpp"

namespace nt {

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::Metadata;

inline IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  IpAddress x;
  x.family = netrove::kIpv4;
  x.bytes[0] = a, x.bytes[1] = b, x.bytes[2] = c, x.bytes[3] = d;
  return x;
}

/// IPv6 address from up to eight 16-bit groups, the rest zero
/// (v6({0x2001, 0xdb8}) is 2001:db8::).
inline IpAddress v6(std::initializer_list<std::uint16_t> groups) {
  IpAddress x;
  x.family = netrove::kIpv6;
  unsigned i = 0;
  for (std::uint16_t g : groups) {
    x.bytes[2 * i] = static_cast<std::uint8_t>(g >> 8);
    x.bytes[2 * i + 1] = static_cast<std::uint8_t>(g);
    ++i;
  }
  return x;
}

/// IPv6 address from 16 bytes.
inline IpAddress v6_bytes(const std::array<std::uint8_t, 16>& b) {
  IpAddress x;
  x.family = netrove::kIpv6;
  x.bytes = b;
  return x;
}

/// ::ffff:a.b.c.d
inline IpAddress v4_mapped(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return v6({0, 0, 0, 0, 0, 0xffff, static_cast<std::uint16_t>(a << 8 | b), static_cast<std::uint16_t>(c << 8 | d)});
}

/// ::a.b.c.d
inline IpAddress v4_compat(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return v6({0, 0, 0, 0, 0, 0, static_cast<std::uint16_t>(a << 8 | b), static_cast<std::uint16_t>(c << 8 | d)});
}

inline IpPrefix prefix(const IpAddress& a, std::uint8_t len) {
  IpPrefix p;
  p.family = a.family;
  p.address = a.bytes;
  p.length = len;
  return p;
}

inline IpPrefix p4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint8_t len) {
  return prefix(v4(a, b, c, d), len);
}

inline IpPrefix p6(std::initializer_list<std::uint16_t> groups, std::uint8_t len) { return prefix(v6(groups), len); }

inline Metadata md(std::string value) {
  Metadata m;
  m.value = std::move(value);
  return m;
}

inline Metadata md(std::string value, std::string key, std::string attr) {
  Metadata m = md(std::move(value));
  m.attributes.emplace(std::move(key), std::move(attr));
  return m;
}

/// Brute-force reference: a map of (family, length, network) to record.
class Oracle {
 public:
  using Key = std::tuple<std::uint8_t, std::uint8_t, std::array<std::uint8_t, 16>>;

  static Key key(const IpPrefix& p) { return {p.family, p.length, p.network_address()}; }

  /// true when the prefix is new.
  bool insert(const IpPrefix& p, const Metadata& m) {
    auto [it, fresh] = entries_.insert_or_assign(key(p), Entry{p, m});
    (void)it;
    return fresh;
  }
  std::optional<Metadata> remove(const IpPrefix& p) {
    auto it = entries_.find(key(p));
    if (it == entries_.end()) return std::nullopt;
    Metadata m = it->second.record;
    entries_.erase(it);
    return m;
  }
  bool contains(const IpPrefix& p) const { return entries_.count(key(p)) != 0; }
  void clear() { entries_.clear(); }
  std::size_t size() const { return entries_.size(); }

  std::optional<Metadata> lookup(const IpAddress& a) const {
    const Entry* best = nullptr;
    for (const auto& [k, e] : entries_)
      if (e.prefix.contains(a) && (!best || e.prefix.length > best->prefix.length)) best = &e;
    if (!best) return std::nullopt;
    return best->record;
  }

  struct Entry {
    IpPrefix prefix;
    Metadata record;
  };
  const std::map<Key, Entry>& entries() const { return entries_; }

 private:
  std::map<Key, Entry> entries_;
};

}  // namespace nt
