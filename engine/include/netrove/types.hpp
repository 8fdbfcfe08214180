// netrove/types.hpp - the values every engine speaks: addresses, prefixes,
// statistics and the one error an operation can report.
//
// Bit order, everywhere: bit i of an address or key is bit 7 - (i % 8) of
// byte i / 8, most significant bit of the first byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace netrove {

/// Address family byte.
inline constexpr std::uint8_t kIpv4 = 0;
inline constexpr std::uint8_t kIpv6 = 1;

/// Width in bits of an address of `family` (32 or 128).
constexpr unsigned family_bits(std::uint8_t family) noexcept { return family == kIpv4 ? 32u : 128u; }

/// One IPv4 or IPv6 address.  `bytes` holds the address in network order;
/// an IPv4 address uses bytes 0..3 and keeps bytes 4..15 zero.
struct IpAddress {
  std::uint8_t family = kIpv4;
  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};
static_assert(sizeof(IpAddress) == 17, "IpAddress is a family byte and 16 address bytes");

/// Hash of an IpAddress (family and all 16 bytes), for hash maps keyed by
/// the exact address.
struct IpAddressHash {
  std::size_t operator()(const IpAddress& a) const noexcept {
    std::uint64_t hi, lo;
    std::memcpy(&hi, a.bytes.data(), 8);
    std::memcpy(&lo, a.bytes.data() + 8, 8);
    std::uint64_t h = (hi ^ (lo * 0x9e3779b97f4a7c15ull) ^ a.family) * 0xbf58476d1ce4e5b9ull;
    return static_cast<std::size_t>(h ^ (h >> 31));
  }
};

/// One CIDR prefix as the caller wrote it: the address keeps its host bits.
/// `length` is 0..32 for IPv4 and 0..128 for IPv6.
struct IpPrefix {
  std::uint8_t family = kIpv4;
  std::array<std::uint8_t, 16> address{};
  std::uint8_t length = 0;

  /// The address with every bit at position `length` and beyond cleared.
  /// Every key an engine builds from a prefix is built from this.  Cleared
  /// a word at a time: byte stores read back as words (every key) stall the
  /// load, which cannot take its bytes from several stores.
  std::array<std::uint8_t, 16> network_address() const noexcept {
    std::uint64_t w[2];
    std::memcpy(w, address.data(), 16);
    for (unsigned k = 0; k < 2; ++k) {
      const unsigned bits = length > 64u * k ? length - 64u * k : 0u;  // leading bits of word k kept
      const std::uint64_t lead = bits == 0 ? 0 : bits >= 64 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> bits);
      w[k] &= __builtin_bswap64(lead);  // the word holds big-endian bytes: the mask in memory order
    }
    std::array<std::uint8_t, 16> out;
    std::memcpy(out.data(), w, 16);
    return out;
  }

  /// The same prefix with its host bits cleared.
  IpPrefix network() const noexcept { return IpPrefix{family, network_address(), length}; }

  /// True when `a` has this prefix's family and its leading `length` bits
  /// equal the prefix's.  A length of 0 contains every address of its family.
  bool contains(const IpAddress& a) const noexcept {
    if (a.family != family) return false;
    const unsigned full = length / 8u, rem = length % 8u;
    if (std::memcmp(address.data(), a.bytes.data(), full) != 0) return false;
    if (rem == 0) return true;
    return ((address[full] ^ a.bytes[full]) >> (8u - rem)) == 0;
  }

  /// Same family, length and network address (host bits ignored).
  bool same_network(const IpPrefix& o) const noexcept {
    return family == o.family && length == o.length && network_address() == o.network_address();
  }

  friend bool operator==(const IpPrefix&, const IpPrefix&) = default;
};

/// The six counters every engine reports, in this order.
struct EngineStats {
  std::uint64_t inserts = 0;   ///< calls of insert, replacements included
  std::uint64_t lookups = 0;   ///< calls of lookup
  std::uint64_t hits = 0;      ///< lookups that found a match
  std::uint64_t misses = 0;    ///< lookups that found nothing
  std::uint64_t removals = 0;  ///< removes that took an entry out
  std::uint64_t size = 0;      ///< prefixes stored now

  friend bool operator==(const EngineStats&, const EngineStats&) = default;
};

/// A failure report of `insert`, carrying one message text.
struct EngineError {
  std::string message;
};

/// Result of `insert`: success, or the error of the engine that failed.
struct [[nodiscard]] InsertResult {
  std::optional<EngineError> error;

  static InsertResult success() { return {}; }
  static InsertResult failure(std::string message) { return {EngineError{std::move(message)}}; }
  bool ok() const noexcept { return !error.has_value(); }
};

}  // namespace netrove
