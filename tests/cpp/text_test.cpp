// Tests of the prefix and address grammars and of the text written back.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
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
using netrove::prefix_field;
using namespace std::string_literals;

namespace {

using Bytes = std::array<std::uint8_t, 16>;

Bytes v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return Bytes{a, b, c, d}; }

/// The oracle: glibc's inet_pton on a NUL-terminated copy.
std::optional<IpAddress> pton(const std::string& text) {
  IpAddress a;
  if (inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1) return a;
  if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) == 1) {
    a.family = kIpv6;
    return a;
  }
  return std::nullopt;
}

std::string ntop6(const Bytes& b) {
  char buf[INET6_ADDRSTRLEN];
  return inet_ntop(AF_INET6, b.data(), buf, sizeof buf);
}

std::string hex_group(unsigned w, bool upper, int pad) {
  char buf[8];
  std::snprintf(buf, sizeof buf, upper ? "%0*X" : "%0*x", pad, w);
  return buf;
}

/// An address whose groups are zero often enough to make long zero runs.
Bytes random_v6(std::mt19937_64& rng) {
  Bytes b{};
  const int style = static_cast<int>(rng() % 4);
  for (int g = 0; g < 8; ++g) {
    unsigned w = static_cast<unsigned>(rng());
    if (style != 0 && rng() % 2 == 0) w = 0;
    if (style == 3) w &= 0x00F0;  // short groups, some zero
    b[2 * g] = static_cast<std::uint8_t>(w >> 8);
    b[2 * g + 1] = static_cast<std::uint8_t>(w);
  }
  if (rng() % 8 == 0) {  // IPv4-mapped
    std::fill(b.begin(), b.begin() + 10, 0);
    b[10] = b[11] = 0xFF;
  }
  return b;
}

/// One of the many valid texts of `b`: random padding, case, "::" placement
/// (over any run of zero groups, single ones included) and dotted-quad tail.
std::string random_v6_text(const Bytes& b, std::mt19937_64& rng) {
  unsigned w[8];
  for (int g = 0; g < 8; ++g) w[g] = static_cast<unsigned>(b[2 * g] << 8 | b[2 * g + 1]);
  const bool upper = rng() % 4 == 0;
  const bool quad = rng() % 4 == 0;
  const int groups = quad ? 6 : 8;  // hex groups before the tail
  // Choose a zero run [gs, ge) among the hex groups to write as "::", or none.
  int gs = -1, ge = -1;
  std::vector<std::pair<int, int>> runs;
  for (int i = 0; i < groups;) {
    if (w[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < groups && w[j] == 0) ++j;
    const int a = i + static_cast<int>(rng() % static_cast<unsigned>(j - i));
    const int e = a + 1 + static_cast<int>(rng() % static_cast<unsigned>(j - a));
    runs.emplace_back(a, e);
    i = j;
  }
  if (!runs.empty() && rng() % 4 != 0) std::tie(gs, ge) = runs[rng() % runs.size()];
  std::string s;
  for (int i = 0; i < groups; ++i) {
    if (i == gs) {
      s += "::";
      i = ge - 1;
      continue;
    }
    if (i != 0 && i != ge) s += ':';
    s += hex_group(w[i], upper, 1 + static_cast<int>(rng() % 4));
  }
  if (quad) {
    if (ge != groups) s += ':';
    s += std::to_string(b[12]) + "." + std::to_string(b[13]) + "." + std::to_string(b[14]) + "." + std::to_string(b[15]);
  }
  return s;
}

IpPrefix prefix(std::uint8_t family, Bytes address, std::uint8_t length) { return IpPrefix{family, address, length}; }

}  // namespace

// --- IPv4 addresses -------------------------------------------------------------

TEST(AddressGrammar, Ipv4Accepted) {
  EXPECT_EQ(parse_address("10.1.2.3"), (IpAddress{kIpv4, v4(10, 1, 2, 3)}));
  EXPECT_EQ(parse_address("0.0.0.0"), (IpAddress{kIpv4, v4(0, 0, 0, 0)}));
  EXPECT_EQ(parse_address("255.255.255.255"), (IpAddress{kIpv4, v4(255, 255, 255, 255)}));
  EXPECT_EQ(parse_address("1.20.199.0"), (IpAddress{kIpv4, v4(1, 20, 199, 0)}));
}

TEST(AddressGrammar, Ipv4Rejected) {
  for (const std::string& s :
       {"1.2.3"s, "01.2.3.4"s, "1.2.3.04"s, "1.2.3.00"s, "1.2.3.4 "s, " 1.2.3.4"s, "1.2.3.4\n"s, "256.1.1.1"s,
        "1.2.3.256"s, "1.2.3.999"s, "1.2.3.4.5"s, "1..2.3"s, "1.2.3."s, ".1.2.3"s, "+1.2.3.4"s, "1.2.3.-4"s,
        "1.2.3.0004"s, "1.2.3.4/32"s, ""s, "1.2.3.4\0"s, "1.2.3\0.4"s, "1.2.3.4:80"s, "1.2.3.4x"s, "0x1.2.3.4"s,
        "1.2.3.4."s, "1,2,3,4"s, "１.2.3.4"s, "1.2.3.4%eth0"s, "1234.1.1.1"s}) {
    EXPECT_FALSE(parse_address(s)) << s;
  }
}

// --- IPv6 addresses -------------------------------------------------------------

TEST(AddressGrammar, Ipv6Accepted) {
  struct Case {
    const char* text;
    const char* canonical;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"::", "::"},
           {"::1", "::1"},
           {"1::", "1::"},
           {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
           {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
           {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
           {"1::8", "1::8"},
           {"0000:0000::0001", "::1"},
           {"ABCD:Ef01::fFfF", "abcd:ef01::ffff"},
           {"::ffff:10.1.2.3", "::ffff:10.1.2.3"},
           {"::1.2.3.4", "::102:304"},
           {"1::1.2.3.4", "1::102:304"},
           {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
           {"1:2:3:4:5::1.2.3.4", "1:2:3:4:5:0:102:304"},
           {"::0.0.0.0", "::"},
           {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
       }) {
    const auto a = parse_address(c.text);
    ASSERT_TRUE(a) << c.text;
    EXPECT_EQ(a->family, kIpv6) << c.text;
    EXPECT_EQ(format_address(a->family, a->bytes), c.canonical) << c.text;
  }
}

TEST(AddressGrammar, Ipv6Rejected) {
  for (const std::string& s : {
           ":"s, ":::"s, "1:2:3:4:5:6:7:8:9"s, "1:2:3:4:5:6:7"s, "1::2::3"s, "::1::"s, "1:2:3:4:5:6:7:8::"s,
           "::1:2:3:4:5:6:7:8"s, "1:2:3:4::5:6:7:8"s, "12345::"s, "::12345"s, "::g"s, "1:"s, ":1"s, "1:::2"s,
           "1::2:"s, ":1::"s, "fe80::1%eth0"s, "fe80::1%1"s, "[::1]"s, "::1.2.3.4:5"s, "1.2.3.4::"s,
           "1.2.3.4::5"s, "::ffff:1.2.3"s, "::ffff:01.2.3.4"s, "::ffff:1.2.3.04"s, "1:2:3:4:5:6:7:1.2.3.4"s,
           "1:2:3:4:5:6::1.2.3.4"s, "::1 "s, " ::1"s, "::ffff:256.1.1.1"s, "::ffff:1.2.3.4.5"s, "::1a.2.3.4"s,
           "::1234.1.2.3"s, "::ffff:1.2.3.4/"s, "1:2:3:4:5:6:7:8:"s, ":1:2:3:4:5:6:7:8"s, "::\0"s, "::-1"s,
           "::+1"s, "0x1::"s, "::ffff:1.2.3.4%0"s, "::ffff:0x1.2.3.4"s}) {
    EXPECT_FALSE(parse_address(s)) << s;
  }
}

TEST(AddressGrammar, MappedTextIsAnIpv6Address) {
  const auto a = parse_address("::ffff:10.1.2.3");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->family, kIpv6);
  EXPECT_EQ(a->bytes, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 2, 3}));
}

TEST(AddressGrammar, Ipv4BytesBeyondFourStayZero) {
  // Parse an IPv6 text first into a reused object, then an IPv4 one.
  auto a = parse_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
  ASSERT_TRUE(a);
  a = parse_address("1.2.3.4");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->bytes, v4(1, 2, 3, 4));
}

// --- against inet_pton ----------------------------------------------------------

TEST(AddressOracle, RandomValidTextsAgreeWithInetPton) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    IpAddress want;
    if (i % 2 == 0) {
      const auto v = static_cast<std::uint32_t>(rng() >> (rng() % 32));
      want.bytes = v4(static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                      static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v));
      text = format_address(kIpv4, want.bytes);
    } else {
      want.family = kIpv6;
      want.bytes = random_v6(rng);
      text = random_v6_text(want.bytes, rng);
    }
    const auto got = parse_address(text);
    ASSERT_TRUE(got) << text;
    ASSERT_EQ(*got, want) << text;
    ASSERT_EQ(pton(text), want) << text;
  }
}

TEST(AddressOracle, MutatedTextsAgreeWithInetPton) {
  // Over these characters and without NUL bytes, the IPv4 and IPv6 grammars
  // coincide with glibc's inet_pton: accept the same texts, same bytes.
  const std::string alphabet = "0123456789abcdefABCDEF:.";
  std::mt19937_64 rng(99);
  std::size_t accepted = 0;
  for (int i = 0; i < 400000; ++i) {
    std::string text;
    if (rng() % 2 == 0) {
      IpAddress base;
      base.bytes = random_v6(rng);
      text = rng() % 3 == 0 ? format_address(kIpv4, base.bytes) : random_v6_text(base.bytes, rng);
    }
    // Insert, delete or replace a few characters.
    const int edits = static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t pos = text.empty() ? 0 : rng() % (text.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0: text.insert(pos, 1, c); break;
        case 1: if (pos < text.size()) text.erase(pos, 1); break;
        default: if (pos < text.size()) text[pos] = c; break;
      }
    }
    if (text.empty()) text = std::string(1 + rng() % 6, alphabet[rng() % alphabet.size()]);
    const auto got = parse_address(text);
    ASSERT_EQ(got, pton(text)) << text;
    accepted += got.has_value();
  }
  EXPECT_GT(accepted, 10000u);  // the mutations keep plenty of valid texts
}

// --- prefixes -----------------------------------------------------------------

TEST(PrefixGrammar, Accepted) {
  struct Case {
    std::string text;
    IpPrefix want;
  };
  const Bytes ten = v4(10, 0, 0, 0);
  const Bytes db8{0x20, 0x01, 0x0d, 0xb8};
  for (const Case& c : std::initializer_list<Case>{
           {"10.0.0.0/8", prefix(kIpv4, ten, 8)},
           {"10.0.0.0/+8", prefix(kIpv4, ten, 8)},
           {"10.0.0.0/08", prefix(kIpv4, ten, 8)},
           {"10.0.0.0/+008", prefix(kIpv4, ten, 8)},
           {"10.0.0.0/0000000000000008", prefix(kIpv4, ten, 8)},  // 16 characters, decimal
           {"10.0.0.0/00000000000000000000000000000032", prefix(kIpv4, ten, 32)},
           {"10.0.0.0/255.0.0.0", prefix(kIpv4, ten, 8)},
           {"10.0.0.0/0.0.0.0", prefix(kIpv4, ten, 0)},
           {"10.0.0.0/255.255.255.255", prefix(kIpv4, ten, 32)},
           {"10.0.0.0/255.255.255.254", prefix(kIpv4, ten, 31)},
           {"10.0.0.0/128.0.0.0", prefix(kIpv4, ten, 1)},
           {"10.0.0.0/0", prefix(kIpv4, ten, 0)},
           {"10.0.0.0/32", prefix(kIpv4, ten, 32)},
           {"10.0.0.1", prefix(kIpv4, v4(10, 0, 0, 1), 32)},
           {"10.1.2.3/8", prefix(kIpv4, v4(10, 1, 2, 3), 8)},  // host bits kept
           {"2001:db8::", prefix(kIpv6, db8, 128)},
           {"2001:db8::/32", prefix(kIpv6, db8, 32)},
           {"2001:0db8:0000::/32", prefix(kIpv6, db8, 32)},
           {"2001:db8::/+032", prefix(kIpv6, db8, 32)},
           {"2001:db8::/128", prefix(kIpv6, db8, 128)},
           {"::/0", prefix(kIpv6, Bytes{}, 0)},
           {"::ffff:10.0.0.0/104", prefix(kIpv6, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10}, 104)},
           {"::ffff:1.2.3.4/+96", prefix(kIpv6, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3, 4}, 96)},
       }) {
    EXPECT_EQ(parse_prefix(c.text), c.want) << c.text;
  }
}

TEST(PrefixGrammar, Rejected) {
  for (const std::string& s : {
           "10.0.0.0/33"s, "10.0.0.0/8/8"s, " 10.0.0.0/8"s, "10.0.0.0/8 "s, "10.0.0.0 /8"s, "10.0.0.0/ 8"s,
           "10.0.0.0/"s, "/8"s, "/"s, ""s, "10.0.0.0//8"s, "10.0.0.0/8/"s,
           "10.0.0.0/255.0.255.0"s, "10.0.0.0/0.255.255.255"s, "10.0.0.0/255.255.255.253"s,
           "10.0.0.0/255.0.0"s, "10.0.0.0/255.00.0.0"s, "10.0.0.0/-8"s, "10.0.0.0/++8"s, "10.0.0.0/+"s,
           "10.0.0.0/256"s, "10.0.0.0/999"s, "10.0.0.0/00000000000000000000000000000256"s,
           "10.0.0.0/8.0"s, "10.0.0.0/0x8"s, "10.0.0.0/8a"s, "10.0.0.0/3 2"s, "01.0.0.0/8"s, "10.0.0/8"s,
           "2001:db8::/129"s, "2001:db8::/255"s, "2001:db8::/256"s, "2001:db8::/ffff:ffff::"s,
           "2001:db8::/255.255.0.0"s, "2001:db8::/"s, "2001:db8::/-1"s, "2001:db8::/64/64"s,
           "fe80::1%eth0/64"s, "[::1]/128"s, "[::1/128]"s, "::1/64 "s, "10.0.0.0/8\0"s, "10.0.0.0\0/8"s,
           "::ffff:10.0.0.0/255.255.255.0"s, "1.2.3.4::/64"s}) {
    EXPECT_FALSE(parse_prefix(s)) << s;
  }
}

TEST(PrefixGrammar, EveryNetmask) {
  // Contiguous masks give their length; a random sample of the others fails.
  for (unsigned len = 0; len <= 32; ++len) {
    const std::uint32_t m = len == 0 ? 0 : ~0u << (32 - len);
    const std::string text = "192.168.1.1/" + format_address(kIpv4, v4(m >> 24, m >> 16 & 255, m >> 8 & 255, m & 255));
    const auto p = parse_prefix(text);
    ASSERT_TRUE(p) << text;
    EXPECT_EQ(p->length, len);
  }
  std::mt19937_64 rng(5);
  for (int i = 0; i < 100000; ++i) {
    const auto m = static_cast<std::uint32_t>(rng());
    const std::uint32_t inverse = ~m;
    const bool contiguous = (inverse & (inverse + 1)) == 0;
    const std::string text = "1.2.3.4/" + format_address(kIpv4, v4(m >> 24, m >> 16 & 255, m >> 8 & 255, m & 255));
    EXPECT_EQ(parse_prefix(text).has_value(), contiguous) << text;
  }
}

TEST(PrefixGrammar, DecimalLengths) {
  // Every value with up to three leading zeros, with and without "+".
  for (unsigned v = 0; v <= 300; ++v) {
    for (int zeros = 0; zeros <= 3; ++zeros) {
      for (const char* sign : {"", "+"}) {
        const std::string len = sign + std::string(static_cast<std::size_t>(zeros), '0') + std::to_string(v);
        const auto a = parse_prefix("10.0.0.0/" + len);
        EXPECT_EQ(a.has_value(), v <= 32) << len;
        if (a) {
          EXPECT_EQ(a->length, v);
        }
        const auto b = parse_prefix("2001:db8::/" + len);
        EXPECT_EQ(b.has_value(), v <= 128) << len;
        if (b) {
          EXPECT_EQ(b->length, v);
        }
      }
    }
  }
}

TEST(PrefixGrammar, AddressPartMatchesAddressGrammar) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 50000; ++i) {
    IpAddress a;
    std::string text;
    if (i % 2 == 0) {
      a.bytes = v4(static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                   static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
      text = format_address(kIpv4, a.bytes);
    } else {
      a.family = kIpv6;
      a.bytes = random_v6(rng);
      text = random_v6_text(a.bytes, rng);
    }
    const auto whole = parse_prefix(text);
    ASSERT_TRUE(whole) << text;
    EXPECT_EQ(whole->family, a.family);
    EXPECT_EQ(whole->address, a.bytes) << text;
    EXPECT_EQ(whole->length, a.family == kIpv4 ? 32 : 128);
  }
}

// --- text written back ---------------------------------------------------------

TEST(PrefixField, HashFieldTexts) {
  EXPECT_EQ(prefix_field(*parse_prefix("10.0.0.0/8")), "10.0.0.0/8");
  EXPECT_EQ(prefix_field(*parse_prefix("2001:0db8:0000::/32")), "2001:db8::/32");
  EXPECT_EQ(prefix_field(*parse_prefix("::ffff:10.0.0.0/104")), "::ffff:10.0.0.0/104");
  EXPECT_EQ(prefix_field(*parse_prefix("10.1.2.3/8")), "10.1.2.3/8");
  EXPECT_EQ(prefix_field(*parse_prefix("10.0.0.0/255.255.0.0")), "10.0.0.0/16");
  EXPECT_EQ(prefix_field(*parse_prefix("10.0.0.0/+008")), "10.0.0.0/8");
  EXPECT_EQ(prefix_field(*parse_prefix("::/0")), "::/0");
  EXPECT_EQ(prefix_field(*parse_prefix("0.0.0.0/0")), "0.0.0.0/0");
  EXPECT_EQ(prefix_field(*parse_prefix("FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF")),
            "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128");
  EXPECT_EQ(prefix_field(*parse_prefix("255.255.255.255")), "255.255.255.255/32");
}

TEST(FormatAddress, Rfc5952Rules) {
  auto fmt = [](const char* text) { return format_address(kIpv6, parse_address(text)->bytes); };
  EXPECT_EQ(fmt("2001:db8:0:0:0:0:0:1"), "2001:db8::1");
  EXPECT_EQ(fmt("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1");   // one zero group stays
  EXPECT_EQ(fmt("2001:0:0:1:0:0:0:1"), "2001:0:0:1::1");          // longest run wins
  EXPECT_EQ(fmt("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");    // first of equal runs
  EXPECT_EQ(fmt("0:0:1:0:0:0:0:0"), "0:0:1::");
  EXPECT_EQ(fmt("0:0:0:0:0:0:0:0"), "::");
  EXPECT_EQ(fmt("0:1:0:1:0:1:0:1"), "0:1:0:1:0:1:0:1");
  EXPECT_EQ(fmt("00AB:0CDE:F000:1:2:3:4:5"), "ab:cde:f000:1:2:3:4:5");
  EXPECT_EQ(fmt("::ffff:0:0"), "::ffff:0.0.0.0");
  EXPECT_EQ(fmt("::ffff:ffff:ffff"), "::ffff:255.255.255.255");
  EXPECT_EQ(fmt("::fffe:1.2.3.4"), "::fffe:102:304");  // not mapped
  EXPECT_EQ(fmt("1::ffff:1.2.3.4"), "1::ffff:102:304");
  EXPECT_EQ(format_address(kIpv4, v4(0, 10, 100, 255)), "0.10.100.255");
}

TEST(FormatAddress, AgreesWithInetNtop) {
  // glibc writes IPv4-compatible addresses (::a.b.c.d) with a dotted tail,
  // which RFC 5952 does not; every other address must match.
  std::mt19937_64 rng(3);
  int compared = 0;
  for (int i = 0; i < 200000; ++i) {
    const Bytes b = random_v6(rng);
    bool compatible = b[12] != 0 || b[13] != 0;
    for (int j = 0; j < 12 && compatible; ++j) compatible = b[j] == 0;
    if (compatible) continue;
    ASSERT_EQ(format_address(kIpv6, b), ntop6(b));
    ++compared;
  }
  EXPECT_GT(compared, 150000);
}

TEST(PrefixField, RoundTripsRandomPrefixes) {
  std::mt19937_64 rng(17);
  for (int i = 0; i < 200000; ++i) {
    IpPrefix p;
    if (i % 2 == 0) {
      p.family = kIpv4;
      for (int j = 0; j < 4; ++j) p.address[j] = static_cast<std::uint8_t>(rng());
      p.length = static_cast<std::uint8_t>(rng() % 33);
    } else {
      p.family = kIpv6;
      p.address = random_v6(rng);
      p.length = static_cast<std::uint8_t>(rng() % 129);
    }
    const std::string field = prefix_field(p);
    const auto back = parse_prefix(field);
    ASSERT_TRUE(back) << field;
    ASSERT_EQ(*back, p) << field;
    // The address half is what format_address writes, and reads back alone.
    const std::string addr = field.substr(0, field.find('/'));
    ASSERT_EQ(addr, format_address(p.family, p.address));
    ASSERT_EQ(parse_address(addr), (IpAddress{p.family, p.address}));
  }
}
