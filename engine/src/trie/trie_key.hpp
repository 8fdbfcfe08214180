// trie_key.hpp - 128-bit trie keys and edge labels.
//
// A key or label is one unsigned 128-bit integer whose most significant bit
// is key bit 0 (bit 7 of byte 0), so "the next e bits from position d" is a
// shift and a mask, and the first difference of two bit strings is a
// count of leading zeros.
//
//   bytes  b0 b1 ... b15   (network order)
//   key    b0<<120 | b1<<112 | ... | b15      bit i = (key >> (127 - i)) & 1
//
// Keys per trie and family:
//   uncompressed  IPv4: the 4 address bytes in bits 0..31     IPv6: 16 bytes
//   compressed    IPv4: 96 zero bits, then the 4 bytes (bits 96..127)
//                 IPv6: the 16 bytes
// Every family has its own roots, so the IPv4 key 96 zero bits + a.b.c.d and
// the IPv6 address ::a.b.c.d never meet in one trie.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "netrove/types.hpp"

namespace netrove::trie {

__extension__ typedef unsigned __int128 u128;

inline constexpr u128 kAllOnes = ~u128{0};

/// Bytes in network order -> key.
inline u128 load_key(const std::uint8_t* bytes16) noexcept {
  std::uint64_t hi, lo;
  std::memcpy(&hi, bytes16, 8);
  std::memcpy(&lo, bytes16 + 8, 8);
  return (u128{__builtin_bswap64(hi)} << 64) | __builtin_bswap64(lo);
}

/// Key -> bytes in network order.
inline std::array<std::uint8_t, 16> store_key(u128 k) noexcept {
  std::array<std::uint8_t, 16> out;
  const std::uint64_t hi = __builtin_bswap64(static_cast<std::uint64_t>(k >> 64));
  const std::uint64_t lo = __builtin_bswap64(static_cast<std::uint64_t>(k));
  std::memcpy(out.data(), &hi, 8);
  std::memcpy(out.data() + 8, &lo, 8);
  return out;
}

inline constexpr std::uint64_t hi64(u128 v) noexcept { return static_cast<std::uint64_t>(v >> 64); }
inline constexpr std::uint64_t lo64(u128 v) noexcept { return static_cast<std::uint64_t>(v); }
inline constexpr u128 make128(std::uint64_t hi, std::uint64_t lo) noexcept { return (u128{hi} << 64) | lo; }

/// Bit i (0 = most significant) of `k`; 0 for i >= 128.
inline constexpr bool bit(u128 k, std::uint64_t i) noexcept { return i < 128 && ((k >> (127 - i)) & 1u) != 0; }

/// `k` shifted left by `n` bits; 0 for n >= 128.
inline constexpr u128 shl(u128 k, std::uint64_t n) noexcept { return n >= 128 ? u128{0} : k << n; }

/// `k` shifted right by `n` bits; 0 for n >= 128.
inline constexpr u128 shr(u128 k, std::uint64_t n) noexcept { return n >= 128 ? u128{0} : k >> n; }

/// A label with only bit i set (i < 128).
inline constexpr u128 single_bit(std::uint64_t i) noexcept { return u128{1} << (127 - i); }

/// Mask of the leading `n` bits (n clamped to 128).
inline constexpr u128 lead_mask(std::uint64_t n) noexcept {
  return n == 0 ? u128{0} : n >= 128 ? kAllOnes : ~(kAllOnes >> n);
}

/// A label whose bit j (j < count) is bit start + j of `source` (0 beyond
/// bit 127); count is clamped to 128 and the remaining bits are 0.
inline constexpr u128 extract_bits(u128 source, std::uint64_t start, std::uint64_t count) noexcept {
  return shl(source, start) & lead_mask(count);
}

/// Index of the first bit below `limit` at which `a` and `b` differ, or
/// `limit` when they agree on all of them (limit <= 128).
inline constexpr std::uint64_t first_difference(u128 a, u128 b, std::uint64_t limit) noexcept {
  const u128 x = (a ^ b) & lead_mask(limit);
  if (x == 0) return limit;
  const std::uint64_t h = hi64(x);
  return h != 0 ? static_cast<std::uint64_t>(__builtin_clzll(h)) : 64u + static_cast<std::uint64_t>(__builtin_clzll(lo64(x)));
}

/// The 16-byte label form used by the node interface.
using Label = std::array<std::uint8_t, 16>;

/// Key of a lookup address in the uncompressed trie of its family.
inline u128 uncompressed_key(const IpAddress& a) noexcept { return load_key(a.bytes.data()); }

/// Key of a lookup address in the compressed trie of its family.
inline u128 compressed_key(const IpAddress& a) noexcept {
  if (a.family == kIpv4) {
    std::uint32_t v;
    std::memcpy(&v, a.bytes.data(), 4);
    return u128{__builtin_bswap32(v)};
  }
  return load_key(a.bytes.data());
}

/// Key and key length of a prefix (host bits cleared) in either trie.
struct PrefixKey {
  u128 key;
  std::uint64_t length;
};

inline PrefixKey uncompressed_key(const IpPrefix& p) noexcept {
  const auto net = p.network_address();
  return {load_key(net.data()), p.length};
}

inline PrefixKey compressed_key(const IpPrefix& p) noexcept {
  const auto net = p.network_address();
  if (p.family == kIpv4) {
    std::uint32_t v;
    std::memcpy(&v, net.data(), 4);
    return {u128{__builtin_bswap32(v)}, 96u + p.length};
  }
  return {load_key(net.data()), p.length};
}

/// Index of a family's root: 0 for IPv4, 1 for IPv6.
inline constexpr unsigned family_index(std::uint8_t family) noexcept { return family == kIpv4 ? 0u : 1u; }

}  // namespace netrove::trie
