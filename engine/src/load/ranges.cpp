// Ranges as CIDR blocks (see ranges.hpp).
#include "load/ranges.hpp"

#include <bit>

namespace netrove::load {

namespace {

unsigned trailing_zeros(u128 v) noexcept {
  const auto lo = static_cast<std::uint64_t>(v);
  return lo ? std::countr_zero(lo) : 64 + std::countr_zero(static_cast<std::uint64_t>(v >> 64));
}

/// floor(log2(v)), v > 0.
unsigned log2_floor(u128 v) noexcept {
  const auto hi = static_cast<std::uint64_t>(v >> 64);
  return hi ? 127 - std::countl_zero(hi) : 63 - std::countl_zero(static_cast<std::uint64_t>(v));
}

}  // namespace

u128 address_number(const IpAddress& a) noexcept {
  const unsigned n = a.family == kIpv4 ? 4 : 16;
  u128 v = 0;
  for (unsigned i = 0; i < n; ++i) v = (v << 8) | a.bytes[i];
  return v;
}

IpAddress number_address(std::uint8_t family, u128 v) noexcept {
  IpAddress a;
  a.family = family;
  const unsigned n = family == kIpv4 ? 4 : 16;
  for (unsigned i = n; i-- > 0; v >>= 8) a.bytes[i] = static_cast<std::uint8_t>(v);
  return a;
}

void range_blocks(const IpAddress& first, const IpAddress& last, std::vector<IpPrefix>& out) {
  const unsigned width = family_bits(first.family);
  u128 lo = address_number(first);
  const u128 hi = address_number(last);
  for (;;) {
    // Block size 2^k: aligned at lo, not past hi.  hi - lo + 1 overflows
    // only for the whole IPv6 space (lo 0, hi all ones): k = 128 then.
    const u128 span = hi - lo + 1;
    unsigned k = span == 0 ? 128 : log2_floor(span);
    if (lo != 0) k = std::min(k, trailing_zeros(lo));
    k = std::min(k, width);
    const IpAddress a = number_address(first.family, lo);
    out.push_back(IpPrefix{first.family, a.bytes, static_cast<std::uint8_t>(width - k)});
    if (k == 128) return;
    const u128 next = lo + (u128{1} << k);
    if (next - 1 >= hi) return;
    lo = next;
  }
}

}  // namespace netrove::load
