// netrove/text.hpp - the text forms of addresses and prefixes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "netrove/types.hpp"

namespace netrove {

/// Parses a CIDR prefix: "a.b.c.d[/len|/mask]" first, then "ipv6[/len]".
/// The address keeps its host bits.  A missing length means the full width.
/// Lengths are decimal with an optional "+" and leading zeros; an IPv4
/// length text shorter than 16 characters that reads as a dotted quad is a
/// netmask (a run of ones, then zeros).  No blanks, zone or brackets.
std::optional<IpPrefix> parse_prefix(std::string_view text);

/// Parses a whole text as an IPv4 address, or failing that as an IPv6 one.
/// "::ffff:10.1.2.3" is an IPv6 address.
std::optional<IpAddress> parse_address(std::string_view text);

/// The text of an address: dotted decimal for IPv4; RFC 5952 for IPv6, with
/// IPv4-mapped addresses written "::ffff:a.b.c.d".
std::string format_address(std::uint8_t family, const std::array<std::uint8_t, 16>& bytes);

/// The hash-field text of a prefix: its address as written (host bits kept),
/// "/", and the length in decimal.  parse_prefix(prefix_field(p)) == p.
std::string prefix_field(const IpPrefix& prefix);

}  // namespace netrove
