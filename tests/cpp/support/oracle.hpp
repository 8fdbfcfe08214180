// Shared test support: addresses and prefixes from bytes, a brute-force
// longest-prefix oracle that masks host bits itself (so a fault in the
// library's own masking cannot hide in the oracle), a generator of random
// nested prefixes of both families, and the count of live trie nodes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "netrove/engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/types.hpp"
#include "trie/node_pool.hpp"
#include "sync/rcu.hpp"

namespace nt {

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::kIpv4;
using netrove::kIpv6;
using netrove::Metadata;

inline IpAddress v4(unsigned a, unsigned b, unsigned c, unsigned d) {
  IpAddress x;
  x.bytes[0] = static_cast<std::uint8_t>(a), x.bytes[1] = static_cast<std::uint8_t>(b);
  x.bytes[2] = static_cast<std::uint8_t>(c), x.bytes[3] = static_cast<std::uint8_t>(d);
  return x;
}
/// IPv6 address from up to eight 16-bit groups, the rest zero.
inline IpAddress v6(std::initializer_list<unsigned> groups) {
  IpAddress x;
  x.family = kIpv6;
  unsigned i = 0;
  for (unsigned g : groups) x.bytes[i++] = static_cast<std::uint8_t>(g >> 8), x.bytes[i++] = static_cast<std::uint8_t>(g);
  return x;
}
inline IpPrefix prefix(const IpAddress& a, unsigned len) { return IpPrefix{a.family, a.bytes, static_cast<std::uint8_t>(len)}; }
inline IpPrefix p4(unsigned a, unsigned b, unsigned c, unsigned d, unsigned len) { return prefix(v4(a, b, c, d), len); }
inline IpPrefix p6(std::initializer_list<unsigned> groups, unsigned len) { return prefix(v6(groups), len); }
inline IpAddress address_of(const IpPrefix& p) { return IpAddress{p.family, p.address}; }

inline Metadata md(std::string value, std::string key = "", std::string attr = "") {
  Metadata m;
  m.value = std::move(value);
  if (!key.empty()) m.attributes.emplace(std::move(key), std::move(attr));
  return m;
}
inline std::string show(const std::optional<Metadata>& m) { return m ? m->value : "<none>"; }

/// `p` with every bit from its length on cleared, computed here and not by
/// IpPrefix::network_address.
inline IpPrefix masked(IpPrefix p) {
  for (unsigned i = 0; i < 16; ++i) {
    const int keep = std::clamp(static_cast<int>(p.length) - 8 * static_cast<int>(i), 0, 8);
    p.address[i] &= static_cast<std::uint8_t>(keep == 0 ? 0u : 0xFFu << (8 - keep));
  }
  return p;
}
/// `p` with every bit from its length on set: its last address.
inline IpAddress last_of(const IpPrefix& p) {
  IpAddress a = address_of(masked(p));
  for (unsigned i = p.length; i < netrove::family_bits(p.family); ++i) a.bytes[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  return a;
}
inline bool covers(const IpPrefix& p, const IpAddress& a) {
  return p.family == a.family && masked(p).address == masked(prefix(a, p.length)).address;
}
/// One entry as text from its raw bytes (host bits show): "f/hex/len value".
inline std::string text(const IpPrefix& p, const std::string& value) {
  static const char* hex = "0123456789abcdef";
  std::string s = std::to_string(p.family) + "/";
  for (std::uint8_t b : p.address) (s += hex[b >> 4]) += hex[b & 15];
  return s + "/" + std::to_string(p.length) + " " + value;
}
/// The oracle's entry: a prefix in network form and its record.
struct Entry {
  IpPrefix prefix;
  Metadata record;
};
/// A copy of a held record, nothing for an empty hold.
inline std::optional<Metadata> copy_of(const netrove::HeldRecord& r) {
  return r ? std::optional<Metadata>(r.view().to_metadata()) : std::nullopt;
}
inline std::vector<std::string> texts(const std::vector<Entry>& es) {
  std::vector<std::string> out;
  for (const Entry& e : es) out.push_back(text(e.prefix, e.record.value));
  return out;
}
/// The same texts of an engine's enumeration.
inline std::vector<std::string> texts(const std::vector<netrove::Entry>& es) {
  std::vector<std::string> out;
  for (const netrove::Entry& e : es) out.push_back(text(e.prefix, std::string(e.record.view().value())));
  return out;
}

/// Brute force: a list of entries in network form, scanned on every query.
class Oracle {
 public:
  /// True when the prefix was new.
  bool insert(const IpPrefix& p, const Metadata& m) {
    if (Entry* e = find(p)) return e->record = m, false;
    entries_.push_back({masked(p), m});
    return true;
  }
  std::optional<Metadata> remove(const IpPrefix& p) {
    Entry* e = find(p);
    if (!e) return std::nullopt;
    Metadata m = e->record;
    *e = entries_.back();
    entries_.pop_back();
    return m;
  }
  std::optional<Metadata> exact(const IpPrefix& p) const {
    const Entry* e = const_cast<Oracle*>(this)->find(p);
    return e ? std::optional<Metadata>(e->record) : std::nullopt;
  }
  std::optional<Metadata> lookup(const IpAddress& a) const {
    const auto c = covering(a);
    return c.empty() ? std::nullopt : std::optional<Metadata>(c[0].record);
  }
  /// Entries covering `a`, longest first.
  std::vector<Entry> covering(const IpAddress& a) const {
    std::vector<Entry> out;
    for (const Entry& e : entries_)
      if (covers(e.prefix, a)) out.push_back(e);
    std::sort(out.begin(), out.end(), [](const Entry& x, const Entry& y) { return x.prefix.length > y.prefix.length; });
    return out;
  }
  /// Entries inside `p`, by address then length (the order of covered()).
  std::vector<Entry> covered(const IpPrefix& p) const {
    std::vector<Entry> out;
    for (const Entry& e : entries_)
      if (e.prefix.length >= p.length && covers(p, address_of(e.prefix))) out.push_back(e);
    std::sort(out.begin(), out.end(), [](const Entry& x, const Entry& y) {
      return std::tie(x.prefix.family, x.prefix.address, x.prefix.length) <
             std::tie(y.prefix.family, y.prefix.address, y.prefix.length);
    });
    return out;
  }
  void clear() { entries_.clear(); }
  std::size_t size() const { return entries_.size(); }
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  Entry* find(const IpPrefix& p) {
    const IpPrefix m = masked(p);
    for (Entry& e : entries_)
      if (e.prefix == m) return &e;
    return nullptr;
  }
  std::vector<Entry> entries_;
};

/// Random prefixes (host bits set) and addresses, two thirds of the prefixes
/// nested inside or around earlier ones; regions: IPv4 anywhere and in
/// 10/8, ::a.b.c.d, ::ffff:a.b.c.d, 2001:db8::/32, IPv6 anywhere.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}
  std::uint64_t pick(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

  IpPrefix prefix() {
    IpPrefix p;
    if (!made_.empty() && pick(3) != 0) {
      const IpPrefix& base = made_[pick(made_.size())];
      const unsigned width = netrove::family_bits(base.family);
      p = base;
      randomise(p, pick(4) == 0 ? 0 : base.length, width);
      p.length = static_cast<std::uint8_t>(pick(4) == 0 ? pick(base.length + 1u) : base.length + pick(std::min(width - base.length, 20u) + 1u));
    } else {
      p = nt::prefix(region_address(), 0);
      const unsigned width = netrove::family_bits(p.family);
      const bool embedded = p.family == kIpv6 && p.address[0] == 0 && p.address[8] == 0;
      switch (pick(4)) {
        case 0: p.length = static_cast<std::uint8_t>(8 * pick(width / 8 + 1)); break;  // stride ends
        case 1: p.length = static_cast<std::uint8_t>(embedded ? 96 + pick(33) : pick(9)); break;
        default: p.length = static_cast<std::uint8_t>(pick(width + 1u));
      }
    }
    if (made_.size() < 300) made_.push_back(p);
    else made_[pick(made_.size())] = p;
    return p;
  }
  /// Inside a made prefix half of the time, otherwise anywhere in a region.
  IpAddress address() {
    if (made_.empty() || pick(2)) return region_address();
    IpPrefix p = made_[pick(made_.size())];
    randomise(p, p.length, netrove::family_bits(p.family));
    return address_of(p);
  }
  /// Random bits from position `from` to `width`.
  void randomise(IpPrefix& p, unsigned from, unsigned width) {
    for (unsigned i = from; i < width; ++i) {
      const auto m = static_cast<std::uint8_t>(0x80u >> (i % 8));
      p.address[i / 8] = static_cast<std::uint8_t>(pick(2) ? p.address[i / 8] | m : p.address[i / 8] & ~m);
    }
  }

 private:
  IpAddress region_address() {
    IpAddress a;
    a.family = kIpv6;
    for (auto& x : a.bytes) x = static_cast<std::uint8_t>(rng_());
    switch (pick(6)) {
      case 0: case 1:
        a.family = kIpv4;
        if (pick(2)) a.bytes[0] = 10;
        std::fill(a.bytes.begin() + 4, a.bytes.end(), 0);
        break;
      case 2: case 3: std::fill(a.bytes.begin(), a.bytes.begin() + 12, 0); if (pick(2)) a.bytes[10] = a.bytes[11] = 0xff; break;
      case 4: a.bytes[0] = 0x20, a.bytes[1] = 0x01, a.bytes[2] = 0x0d, a.bytes[3] = 0xb8; break;
      default: break;
    }
    return a;
  }
  std::mt19937_64 rng_;
  std::vector<IpPrefix> made_;
};

/// Trie nodes alive in the process once every retired node is freed.
inline std::size_t live_nodes() {
  netrove::rcu::drain();
  return netrove::trie::live_node_blocks();
}

}  // namespace nt
