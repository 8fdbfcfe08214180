// Test helpers: addresses, prefixes and records built from bytes, a
// generator of random nested prefixes, a brute-force longest-prefix oracle
// and the count of live trie nodes.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "netrove/metadata.hpp"
#include "netrove/types.hpp"
#include "trie/node_pool.hpp"
#include "sync/rcu.hpp"

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

/// Random prefixes and addresses, biased to nest inside earlier prefixes.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  IpPrefix prefix() {
    IpPrefix p;
    if (!made_.empty() && pick(100) < 65) {
      const IpPrefix& base = made_[pick(made_.size())];
      const unsigned width = netrove::family_bits(base.family);
      p = base;
      randomise_from(p, pick(4) == 0 ? 0 : base.length, width);
      p.length = static_cast<std::uint8_t>(pick(4) == 0 ? pick(base.length + 1u)
                                                        : base.length + pick(width - base.length + 1u));
    } else {
      const IpAddress a = region_address();
      const unsigned width = netrove::family_bits(a.family);
      p = nt::prefix(a, 0);
      const bool embedded = a.family == netrove::kIpv6 && a.bytes[0] == 0 && a.bytes[8] == 0;
      p.length = static_cast<std::uint8_t>(embedded && pick(2) ? 96 + pick(33) : pick(width + 1u));
    }
    if (made_.size() < 400) made_.push_back(p);
    else made_[pick(made_.size())] = p;
    return p;
  }

  /// Inside a made prefix half of the time, otherwise somewhere in a region.
  IpAddress address() {
    if (!made_.empty() && pick(2)) {
      const IpPrefix& base = made_[pick(made_.size())];
      IpPrefix p = base;
      randomise_from(p, base.length, netrove::family_bits(base.family));
      IpAddress a;
      a.family = p.family;
      a.bytes = p.address;
      return a;
    }
    return region_address();
  }

  std::uint64_t pick(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

 private:
  /// Random bits from position `from` on (to the family's width).
  void randomise_from(IpPrefix& p, unsigned from, unsigned width) {
    for (unsigned i = from; i < width; ++i) {
      const std::uint8_t m = static_cast<std::uint8_t>(0x80u >> (i % 8));
      if (pick(2)) p.address[i / 8] |= m;
      else p.address[i / 8] &= static_cast<std::uint8_t>(~m);
    }
  }

  IpAddress region_address() {
    std::array<std::uint8_t, 16> b{};
    for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
    switch (pick(6)) {
      case 0:  // IPv4 anywhere
        return nt::v4(b[0], b[1], b[2], b[3]);
      case 1:  // IPv4 in 10/8
        return nt::v4(10, b[1], b[2], b[3]);
      case 2:  // ::a.b.c.d
        return nt::v4_compat(b[12], b[13], b[14], b[15]);
      case 3:  // ::ffff:a.b.c.d
        return nt::v4_mapped(b[12], b[13], b[14], b[15]);
      case 4:  // 2001:db8::/32
        b[0] = 0x20, b[1] = 0x01, b[2] = 0x0d, b[3] = 0xb8;
        return nt::v6_bytes(b);
      default:
        return nt::v6_bytes(b);
    }
  }

  std::mt19937_64 rng_;
  std::vector<IpPrefix> made_;
};

/// Trie nodes alive in the process once every retired node has been freed
/// (their pools' live blocks).  Outside any read section.
inline std::size_t live_nodes() {
  netrove::rcu::drain();
  using netrove::trie::node_pool;
  return node_pool(64).live() + node_pool(128).live() + node_pool(192).live();
}

}  // namespace nt
