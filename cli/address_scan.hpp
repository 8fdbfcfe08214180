// address_scan.hpp - the IP addresses written in a line of text, wherever
// they stand, for grep.
//
// An address counts where it stands as a whole field.  A field is a run of
// letters, digits, dots and colons, bounded by any other byte or by the
// line's ends:
//
//   "1.2.3.4 - - [07/Dec/2026:10:00:00] GET /"     1.2.3.4
//   "from 10.0.0.1:51234 to [2001:db8::7]:443"     10.0.0.1, 2001:db8::7
//   "fe80::1%eth0 ip=192.0.2.9,"                   fe80::1 (the zone is not part of it), 192.0.2.9
//   "host1.2.3.4.example 1.2.3.4.5 v1.2.3.4"       none: each field is more than an address
//
//   1. A field that reads as an IPv6 address (RFC 4291 text, an embedded
//      dotted quad included) is one.
//   2. Otherwise each of its colon-separated pieces that reads as a dotted
//      quad is an IPv4 address ("10.0.0.1:51234", "a:1.2.3.4").
// A field that is an IPv6 address is never also read for IPv4 pieces:
// "::ffff:1.2.3.4" is the IPv6 address only.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "netrove/text.hpp"
#include "netrove/types.hpp"

namespace netrove::cli {

/// Calls `found(text, address)` for each address in `line`, left to right;
/// stops early when `found` returns false.
template <class F>
void scan_addresses(std::string_view line, F&& found);

/// Whether byte `c` belongs to a field: one load from a table of 256
/// flags, since grep asks it of every byte of its input.
inline constexpr auto kFieldBytes = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == ':';
  return t;
}();
inline bool field_byte(unsigned char c) noexcept { return kFieldBytes[c]; }

/// Reads `text` as an address of `family` (the parser of every address
/// text: a dotted quad has no leading zeros, an IPv6 text no zone).
inline bool read_address(std::string_view text, std::uint8_t family, IpAddress& out) {
  const std::optional<IpAddress> a = parse_address(text);
  if (!a || a->family != family) return false;
  out = *a;
  return true;
}

template <class F>
void scan_addresses(std::string_view line, F&& found) {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  const std::size_t n = line.size();
  std::size_t i = 0;
  IpAddress a;
  while (i < n) {
    while (i < n && !field_byte(p[i])) ++i;
    const std::size_t start = i;
    bool colon = false, dot = false;
    while (i < n && field_byte(p[i])) {
      colon |= p[i] == ':';
      dot |= p[i] == '.';
      ++i;
    }
    const std::string_view field = line.substr(start, i - start);
    if (field.size() < 2 || (!colon && !dot)) continue;
    // 1.
    if (colon && read_address(field, kIpv6, a)) {
      if (!found(field, a)) return;
      continue;
    }
    // 2.
    if (!dot) continue;
    std::size_t from = 0;
    for (;;) {
      const std::size_t to = colon ? field.find(':', from) : std::string_view::npos;
      const std::string_view piece = field.substr(from, to == std::string_view::npos ? to : to - from);
      // 7: the shortest dotted quad, a cheap test before the parser.
      if (piece.size() >= 7 && read_address(piece, kIpv4, a) && !found(piece, a)) return;
      if (to == std::string_view::npos) break;
      from = to + 1;
    }
  }
}

}  // namespace netrove::cli
