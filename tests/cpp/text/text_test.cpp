// The address and prefix grammars and the texts written back: differential
// against glibc's inet_pton / inet_ntop over random and mutated texts, and
// round trips of prefix texts in every length form.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "netrove/text.hpp"

using netrove::format_address;
using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::kIpv4;
using netrove::kIpv6;
using netrove::parse_address;
using netrove::parse_prefix;
using namespace std::string_literals;

namespace {

using Bytes = std::array<std::uint8_t, 16>;

/// The oracle: inet_pton on a NUL-terminated copy.
std::optional<IpAddress> pton(const std::string& text) {
  IpAddress a;
  if (inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1) return a;
  if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) != 1) return std::nullopt;
  a.family = kIpv6;
  return a;
}

/// An IPv6 address with zero groups often enough to make runs of every
/// length; one in eight is IPv4-mapped or one byte away from it.
Bytes random_v6(std::mt19937_64& rng) {
  Bytes b{};
  const unsigned style = rng() % 4;
  for (int g = 0; g < 8; ++g) {
    unsigned w = static_cast<unsigned>(rng());
    if (style != 0 && rng() % 2 == 0) w = 0;
    if (style == 3) w &= 0x00F0;
    b[2 * g] = static_cast<std::uint8_t>(w >> 8), b[2 * g + 1] = static_cast<std::uint8_t>(w);
  }
  if (rng() % 8 == 0) {
    std::fill(b.begin(), b.begin() + 10, 0);
    b[10] = b[11] = 0xFF;
    if (rng() % 2) b[rng() % 12] ^= static_cast<std::uint8_t>(1u << rng() % 8);
  }
  return b;
}

Bytes random_v4(std::mt19937_64& rng) {
  const auto v = static_cast<std::uint32_t>(rng() >> (rng() % 32));
  return Bytes{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
               static_cast<std::uint8_t>(v)};
}

/// One of the many valid texts of `b`: random padding and case, "::" over
/// any run of zero groups (single ones too) or none, a dotted-quad tail.
std::string random_v6_text(const Bytes& b, std::mt19937_64& rng) {
  unsigned w[8];
  for (int g = 0; g < 8; ++g) w[g] = static_cast<unsigned>(b[2 * g] << 8 | b[2 * g + 1]);
  const bool upper = rng() % 4 == 0, quad = rng() % 4 == 0;
  const int groups = quad ? 6 : 8;
  std::vector<std::pair<int, int>> runs;  // [start, end) of zero groups
  for (int i = 0, j; i < groups; i = j + (j == i)) {
    for (j = i; j < groups && w[j] == 0;) ++j;
    if (j == i) continue;
    const int a = i + static_cast<int>(rng() % unsigned(j - i));
    runs.emplace_back(a, a + 1 + static_cast<int>(rng() % unsigned(j - a)));
  }
  int gs = -1, ge = -1;
  if (!runs.empty() && rng() % 4 != 0) std::tie(gs, ge) = runs[rng() % runs.size()];
  std::string s;
  for (int i = 0; i < groups; ++i) {
    if (i == gs) {
      s += "::";
      i = ge - 1;
      continue;
    }
    if (i != 0 && i != ge) s += ':';
    char buf[8];
    std::snprintf(buf, sizeof buf, upper ? "%0*X" : "%0*x", 1 + static_cast<int>(rng() % 4), w[i]);
    s += buf;
  }
  if (quad && ge != groups) s += ':';
  if (quad) s += format_address(kIpv4, Bytes{b[12], b[13], b[14], b[15]});
  return s;
}

std::string random_address_text(std::mt19937_64& rng, IpAddress& a) {
  if (rng() % 3 == 0) {
    a = IpAddress{kIpv4, random_v4(rng)};
    return format_address(kIpv4, a.bytes);
  }
  a = IpAddress{kIpv6, random_v6(rng)};
  return random_v6_text(a.bytes, rng);
}

}  // namespace

// Valid texts parse to their bytes; texts a few edits away from valid ones
// parse exactly when inet_pton accepts them, to the same bytes.  Over this
// alphabet, NUL excepted, the two grammars coincide.
TEST(AddressText, RandomAndMutatedTextsAgreeWithInetPton) {
  const std::string alphabet = "0123456789abcdefABCDEF:.:. /%x";
  std::mt19937_64 rng(99);
  std::size_t accepted = 0;
  for (int i = 0; i < 300000; ++i) {
    IpAddress want;
    std::string text = random_address_text(rng, want);
    if (i % 3 == 0) {
      ASSERT_EQ(parse_address(text), want) << text;
      ASSERT_EQ(pton(text), want) << text;
      continue;
    }
    for (unsigned e = rng() % 4; e-- > 0;) {
      const std::size_t pos = rng() % (text.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0: text.insert(pos, 1, c); break;
        case 1: if (pos < text.size()) text.erase(pos, 1); break;
        default: if (pos < text.size()) text[pos] = c;
      }
    }
    const auto got = parse_address(text);
    ASSERT_EQ(got, pton(text)) << text;
    accepted += got.has_value();
  }
  EXPECT_GT(accepted, 30000u);  // the mutations keep plenty of valid texts
  for (const std::string& s : {"1.2.3.4\0"s, "1.2.3\0.4"s, "::\0"s, "１.2.3.4"s, "fe80::1%eth0"s, "[::1]"s, ""s})
    EXPECT_FALSE(parse_address(s)) << s;
}

// inet_ntop writes IPv4-compatible addresses (::a.b.c.d) with a dotted
// tail, which RFC 5952 does not; every other address must match it.
TEST(AddressText, FormatAgreesWithInetNtop) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200000; ++i) {
    const Bytes b = random_v6(rng);
    if (std::all_of(b.begin(), b.begin() + 12, [](auto x) { return x == 0; }) && (b[12] | b[13])) continue;
    char buf[INET6_ADDRSTRLEN];
    ASSERT_EQ(format_address(kIpv6, b), inet_ntop(AF_INET6, b.data(), buf, sizeof buf));
    const Bytes v4 = random_v4(rng);
    ASSERT_EQ(format_address(kIpv4, v4), inet_ntop(AF_INET, v4.data(), buf, sizeof buf));
  }
}

// Every length of both families, written as prefix_field writes it and in
// the other accepted forms (a sign, leading zeros, an IPv4 netmask), reads
// back to the same prefix, host bits kept.
TEST(PrefixText, EveryLengthFormRoundTrips) {
  std::mt19937_64 rng(17);
  for (int i = 0; i < 20000; ++i) {
    IpPrefix p;
    p.family = i % 2 ? kIpv6 : kIpv4;
    p.address = p.family == kIpv4 ? random_v4(rng) : random_v6(rng);
    const unsigned max = p.family == kIpv4 ? 32 : 128;
    p.length = static_cast<std::uint8_t>(i / 2 % (max + 1));
    const std::string field = netrove::prefix_field(p), addr = format_address(p.family, p.address);
    ASSERT_EQ(field, addr + "/" + std::to_string(p.length));
    std::vector<std::string> texts = {field, addr + "/+" + std::to_string(p.length),
                                      addr + "/" + std::string(rng() % 30, '0') + std::to_string(p.length)};
    if (p.length == max) texts.push_back(addr);
    if (p.family == kIpv4) {
      const std::uint32_t m = p.length == 0 ? 0 : ~0u << (32 - p.length);
      texts.push_back(addr + "/" + format_address(kIpv4, Bytes{std::uint8_t(m >> 24), std::uint8_t(m >> 16),
                                                               std::uint8_t(m >> 8), std::uint8_t(m)}));
    }
    for (const std::string& t : texts) ASSERT_EQ(parse_prefix(t), p) << t;
  }
  // A netmask that is not ones then zeros is refused.
  for (int i = 0; i < 100000; ++i) {
    const auto m = static_cast<std::uint32_t>(rng() >> (rng() % 32 ? 0 : rng() % 32));
    const std::uint32_t inverse = ~m;
    const std::string text = "1.2.3.4/" + format_address(kIpv4, Bytes{std::uint8_t(m >> 24), std::uint8_t(m >> 16),
                                                                      std::uint8_t(m >> 8), std::uint8_t(m)});
    ASSERT_EQ(parse_prefix(text).has_value(), (inverse & (inverse + 1)) == 0) << text;
  }
}

TEST(PrefixText, RejectedTexts) {
  for (const std::string& s :
       {"10.0.0.0/33"s, "10.0.0.0/256"s, "10.0.0.0/00000000000000000000000000000256"s, "2001:db8::/129"s,
        "10.0.0.0/8/8"s, " 10.0.0.0/8"s, "10.0.0.0/8 "s, "10.0.0.0 /8"s, "10.0.0.0/ 8"s, "10.0.0.0/"s, "/8"s, ""s,
        "10.0.0.0//8"s, "10.0.0.0/255.0.0"s, "10.0.0.0/255.00.0.0"s, "10.0.0.0/-8"s, "10.0.0.0/++8"s, "10.0.0.0/+"s,
        "10.0.0.0/8.0"s, "10.0.0.0/0x8"s, "10.0.0.0/8a"s, "01.0.0.0/8"s, "2001:db8::/ffff:ffff::"s,
        "2001:db8::/255.255.0.0"s, "::ffff:10.0.0.0/255.255.255.0"s, "fe80::1%eth0/64"s, "[::1]/128"s,
        "10.0.0.0/8\0"s, "10.0.0.0\0/8"s, "1.2.3/8"s, "1.2.3.4./8"s, "1.2.3.4/3x"s, "1.2.3.4/99"s, "1.2.3.4.5/8"s,
        "1.2.3.1000/8"s, "1.2.3.256/8"s, "1.2.3.04/8"s, "1.2.3.4/8."s})
    EXPECT_FALSE(parse_prefix(s)) << s;
  // The one-pass form and its edges read as the grammar reads them.
  const std::pair<std::string, IpPrefix> read[] = {
      {"0.0.0.0/0", {kIpv4, {}, 0}},
      {"255.255.255.255/32", {kIpv4, {255, 255, 255, 255}, 32}},
      {"1.2.3.4/08", {kIpv4, {1, 2, 3, 4}, 8}},
      {"1.2.3.4/032", {kIpv4, {1, 2, 3, 4}, 32}},
      {"1.2.3.4/+9", {kIpv4, {1, 2, 3, 4}, 9}},
      {"100.20.3.0/24", {kIpv4, {100, 20, 3, 0}, 24}},
      {"1.2.3.4", {kIpv4, {1, 2, 3, 4}, 32}},
      {"1.2.3.4/255.255.255.0", {kIpv4, {1, 2, 3, 4}, 24}},
  };
  for (const auto& [text, want] : read) EXPECT_EQ(parse_prefix(text), want) << text;
}
