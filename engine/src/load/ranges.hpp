// load/ranges.hpp - an inclusive address range as the fewest CIDR blocks.
//
// Walk from the first address: each step takes the largest block that
// starts there (as many low zero bits as the address has) and does not
// pass the last address, then moves past it.
//
//   10.0.0.1 - 10.0.0.6  ->  10.0.0.1/32, 10.0.0.2/31, 10.0.0.4/31, 10.0.0.6/32
//
// A range of 2^128 addresses (the whole IPv6 space) is the one whose size
// does not fit in 128 bits: it is ::/0 at once.
#pragma once

#include <vector>

#include "netrove/types.hpp"

namespace netrove::load {

// A GCC and Clang extension (the library builds with -Wpedantic).
__extension__ typedef unsigned __int128 u128;

/// The address as a number (IPv4 in the low 32 bits).
u128 address_number(const IpAddress& a) noexcept;
/// The address of `family` whose number is `v` (which must fit).
IpAddress number_address(std::uint8_t family, u128 v) noexcept;

/// Appends the blocks of [first, last] to `out`.  Precondition: one family,
/// first <= last.
void range_blocks(const IpAddress& first, const IpAddress& last, std::vector<IpPrefix>& out);

}  // namespace netrove::load
