// text.cpp - parse_prefix and parse_address: CIDR and address texts into
// IpPrefix and IpAddress.
//
// Both parsers are hand-written scanners over the input bytes: no
// allocation, no locale, no copy of the text.  parse_address sits on the
// Python lookup path, so the common IPv4 case is one pass of at most 15
// bytes with a handful of compares per byte.
//
// Prefix grammar, numbered as in the code:
//
//   1. Split at the first "/".  No "/": the address is the whole text and
//      the length the family's full width (32 or 128).  A second "/" fails.
//   2. IPv4 address: four dot-separated fields of 1-3 decimal digits, each
//      0..255, no leading zero in a multi-digit field, no sign or blank,
//      the whole text at most 15 characters.
//   3. IPv4 length: a text shorter than 16 characters that reads as an
//      IPv4 address (rule 2) is a netmask, which must be ones then zeros;
//      the length is its count of ones.  Otherwise a decimal number
//      (rule 5) of at most 32.
//   4. IPv6 address: eight groups of 1-4 hex digits (either case) joined by
//      ":"; one "::" may stand for one or more zero groups; the last 32
//      bits may be written as a dotted quad (rule 2).  No zone ("%eth0"),
//      no brackets.
//   5. Decimal length: optional "+", then one or more digits (leading zeros
//      allowed), the running value never above 255; then at most 32 for
//      IPv4 or 128 for IPv6.  IPv6 has no netmask form.
//   6. The address keeps its host bits.
//
// The whole text is tried as IPv4 (rules 1-3) and, if that fails for any
// reason, as IPv6 (rules 1, 4, 5).  The usual form of a table's lines,
// "a.b.c.d/n", is first read in one pass (quick_ipv4_prefix), which
// accepts only texts the rules accept, with the same result.  parse_address takes the whole text as
// an IPv4 address, else as an IPv6 address.
#include <cstring>

#include "netrove/text.hpp"

namespace netrove {
namespace {

/// Value of a decimal digit byte, or a number above 9.
inline unsigned digit(char c) noexcept { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0'); }

/// Hex digit value, or -1.
constexpr auto kHexValue = [] {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<std::int8_t>(c);
  for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<std::int8_t>(10 + c);
  return t;
}();

/// Rule 2: [p, e) is exactly one dotted quad; writes out[0..3].
inline bool read_ipv4(const char* p, const char* e, std::uint8_t* out) noexcept {
  const std::ptrdiff_t n = e - p;
  if (n < 7 || n > 15) return false;
  for (int field = 0;; ++field) {
    unsigned v = digit(*p);
    if (v > 9) return false;
    ++p;
    if (v != 0 && p != e) {  // a leading zero stands alone
      unsigned d = digit(*p);
      if (d <= 9) {
        v = v * 10 + d;
        ++p;
        if (p != e && (d = digit(*p)) <= 9) {
          v = v * 10 + d;
          ++p;
          if (v > 255) return false;
        }
      }
    }
    out[field] = static_cast<std::uint8_t>(v);
    if (field == 3) return p == e;
    if (p == e || *p != '.') return false;
    ++p;
    if (p == e) return false;
  }
}

/// Rule 4: [p, e) is exactly one IPv6 address; writes out[0..15].
bool read_ipv6(const char* p, const char* e, std::uint8_t* out) noexcept {
  std::uint16_t groups[8];
  int n = 0;     // groups read
  int gap = -1;  // index of the group the "::" stands before, if any
  if (p == e) return false;
  if (*p == ':') {
    if (e - p < 2 || p[1] != ':') return false;
    gap = 0;
    p += 2;
  }
  while (p != e) {
    const char* const start = p;
    unsigned v = 0;
    int h;
    while (p != e && p - start < 4 && (h = kHexValue[static_cast<unsigned char>(*p)]) >= 0) {
      v = (v << 4) | static_cast<unsigned>(h);
      ++p;
    }
    if (p == start) return false;
    if (p != e && *p == '.') {
      // The dotted-quad tail: the rest of the text, two groups' worth.
      std::uint8_t q[4];
      if (n > 6 || !read_ipv4(start, e, q)) return false;
      groups[n++] = static_cast<std::uint16_t>(q[0] << 8 | q[1]);
      groups[n++] = static_cast<std::uint16_t>(q[2] << 8 | q[3]);
      break;
    }
    if (n == 8) return false;
    groups[n++] = static_cast<std::uint16_t>(v);
    if (p == e) break;
    if (*p != ':') return false;  // includes a fifth hex digit
    ++p;
    if (p == e) return false;  // trailing single ":"
    if (*p == ':') {
      if (gap >= 0) return false;  // a second "::"
      gap = n;
      ++p;
    }
  }
  if (gap < 0) {
    if (n != 8) return false;
  } else if (n > 7) {
    return false;  // "::" must stand for at least one group
  }
  // Expand: groups before the gap, zeros, groups after it.
  const int head = gap < 0 ? n : gap;
  const int zeros = 8 - n;
  std::memset(out, 0, 16);
  for (int i = 0; i < head; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
  }
  for (int i = head; i < n; ++i) {
    out[2 * (i + zeros)] = static_cast<std::uint8_t>(groups[i] >> 8);
    out[2 * (i + zeros) + 1] = static_cast<std::uint8_t>(groups[i]);
  }
  return true;
}

/// Rule 5: a decimal length of at most `max`.
inline bool read_length(const char* p, const char* e, unsigned max, std::uint8_t& length) noexcept {
  if (p != e && *p == '+') ++p;
  if (p == e) return false;
  unsigned v = 0;
  for (; p != e; ++p) {
    const unsigned d = digit(*p);
    if (d > 9) return false;
    v = v * 10 + d;
    if (v > 255) return false;
  }
  if (v > max) return false;
  length = static_cast<std::uint8_t>(v);
  return true;
}

/// Rule 3: the IPv4 length text [p, e), netmask or decimal.
inline bool read_ipv4_length(const char* p, const char* e, std::uint8_t& length) noexcept {
  std::uint8_t m[4];
  if (e - p < 16 && read_ipv4(p, e, m)) {
    const std::uint32_t mask = std::uint32_t{m[0]} << 24 | std::uint32_t{m[1]} << 16 | std::uint32_t{m[2]} << 8 | m[3];
    const std::uint32_t inverse = ~mask;
    if ((inverse & (inverse + 1)) != 0) return false;  // not ones then zeros
    length = static_cast<std::uint8_t>(__builtin_popcount(mask));
    return true;
  }
  return read_length(p, e, 32, length);
}

/// The common form "a.b.c.d/n" in one pass: four fields of rule 2 and a
/// length of one or two digits without a leading zero, at most 32, and
/// nothing else.  Every text it accepts the full grammar accepts with the
/// same result; any other text (a netmask, "+", leading zeros in the
/// length, no length, IPv6) is left to the full grammar (false).
inline bool quick_ipv4_prefix(const char* p, const char* e, IpPrefix& out) noexcept {
  for (int field = 0; field < 4; ++field) {
    if (p == e) return false;
    unsigned v = digit(*p);
    if (v > 9) return false;
    ++p;
    if (v != 0) {  // a leading zero stands alone
      for (int k = 0; k < 2 && p != e && digit(*p) <= 9; ++k) v = v * 10 + digit(*p++);
      if (v > 255) return false;
    }
    out.address[field] = static_cast<std::uint8_t>(v);
    if (p == e || *p != (field == 3 ? '/' : '.')) return false;
    ++p;
  }
  if (p == e) return false;
  unsigned len = digit(*p++);
  if (len > 9) return false;
  if (p != e) {
    const unsigned d = digit(*p++);
    if (len == 0 || d > 9 || p != e) return false;
    len = len * 10 + d;
  }
  if (len > 32) return false;
  out.family = kIpv4;
  out.length = static_cast<std::uint8_t>(len);
  return true;
}

}  // namespace

std::optional<IpPrefix> parse_prefix(std::string_view text) {
  const char* const p = text.data();
  const char* const e = p + text.size();
  if (IpPrefix quick; quick_ipv4_prefix(p, e, quick)) return quick;
  // 1. Split at the first "/"; a second one fails both attempts.
  const char* slash = text.empty() ? nullptr : static_cast<const char*>(std::memchr(p, '/', text.size()));
  const char* const addr_end = slash ? slash : e;
  if (slash && std::memchr(slash + 1, '/', static_cast<std::size_t>(e - slash - 1)) != nullptr) return std::nullopt;

  IpPrefix prefix;  // 6. the address is stored as written
  // 2-3. IPv4.
  if (read_ipv4(p, addr_end, prefix.address.data())) {
    prefix.family = kIpv4;
    prefix.length = 32;
    if (!slash || read_ipv4_length(slash + 1, e, prefix.length)) return prefix;
    prefix.address = {};
  }
  // 4-5. IPv6.
  if (read_ipv6(p, addr_end, prefix.address.data())) {
    prefix.family = kIpv6;
    prefix.length = 128;
    if (!slash || read_length(slash + 1, e, 128, prefix.length)) return prefix;
  }
  return std::nullopt;
}

std::optional<IpAddress> parse_address(std::string_view text) {
  const char* const p = text.data();
  const char* const e = p + text.size();
  IpAddress address;
  if (read_ipv4(p, e, address.bytes.data())) return address;  // family kIpv4
  if (read_ipv6(p, e, address.bytes.data())) {
    address.family = kIpv6;
    return address;
  }
  return std::nullopt;
}

}  // namespace netrove
