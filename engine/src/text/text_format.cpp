// text_format.cpp - format_address and prefix_field: addresses and prefixes
// back to text.
//
// IPv4 is dotted decimal without leading zeros.  IPv6 follows RFC 5952:
//
//   1. An IPv4-mapped address (80 zero bits, 16 one bits) is "::ffff:"
//      followed by the dotted-decimal IPv4 address.
//   2. Otherwise groups are lower-case hex without leading zeros, joined
//      by ":".
//   3. The longest run of two or more zero groups becomes "::"; on a tie
//      the first run wins; a single zero group stays "0".
//
// Host bits are never cleared here: a prefix is written as it was parsed,
// so parse_prefix(prefix_field(p)) == p.
#include "netrove/text.hpp"

namespace netrove {
namespace {

constexpr char kHexLower[] = "0123456789abcdef";

/// Longest text of an address: eight groups of four digits and seven colons.
constexpr std::size_t kMaxAddressText = 39;

char* write_decimal(char* o, unsigned v) noexcept {
  if (v >= 100) *o++ = static_cast<char>('0' + v / 100);
  if (v >= 10) *o++ = static_cast<char>('0' + v / 10 % 10);
  *o++ = static_cast<char>('0' + v % 10);
  return o;
}

char* write_ipv4(char* o, const std::uint8_t* b) noexcept {
  for (int i = 0; i < 4; ++i) {
    if (i != 0) *o++ = '.';
    o = write_decimal(o, b[i]);
  }
  return o;
}

char* write_ipv6(char* o, const std::uint8_t* b) noexcept {
  // 1. IPv4-mapped.
  bool mapped = b[10] == 0xFF && b[11] == 0xFF;
  for (int i = 0; i < 10 && mapped; ++i) mapped = b[i] == 0;
  if (mapped) {
    for (const char c : {':', ':', 'f', 'f', 'f', 'f', ':'}) *o++ = c;
    return write_ipv4(o, b + 12);
  }
  unsigned words[8];
  for (int i = 0; i < 8; ++i) words[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
  // 3. The first longest run of zero groups.
  int best = -1, best_len = 1;  // runs of one group are never compressed
  for (int i = 0; i < 8;) {
    if (words[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && words[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j;
  }
  // 2. The groups.
  bool after_gap = false;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      *o++ = ':';
      *o++ = ':';
      i += best_len - 1;
      after_gap = true;
      continue;
    }
    if (i != 0 && !after_gap) *o++ = ':';
    after_gap = false;
    const unsigned w = words[i];
    int shift = 12;
    while (shift > 0 && (w >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) *o++ = kHexLower[(w >> shift) & 15];
  }
  return o;
}

char* write_address(char* o, std::uint8_t family, const std::uint8_t* bytes) noexcept {
  return family == kIpv4 ? write_ipv4(o, bytes) : write_ipv6(o, bytes);
}

}  // namespace

std::string format_address(std::uint8_t family, const std::array<std::uint8_t, 16>& bytes) {
  char buf[kMaxAddressText + 1];
  const char* end = write_address(buf, family, bytes.data());
  return std::string(buf, static_cast<std::size_t>(end - buf));
}

std::string prefix_field(const IpPrefix& prefix) {
  char buf[kMaxAddressText + 8];
  char* o = write_address(buf, prefix.family, prefix.address.data());
  *o++ = '/';
  o = write_decimal(o, prefix.length);
  return std::string(buf, static_cast<std::size_t>(o - buf));
}

}  // namespace netrove
