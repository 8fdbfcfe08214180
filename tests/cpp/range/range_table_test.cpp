// RangeTable against a scan over dense windows probed at every address (the
// first and last of each family, across a bucket edge), /0 and random prefixes
// around them; the empty table; input out of order.  Random tables: the fuzzer.
#include <gtest/gtest.h>

#include <stdexcept>  // <algorithm>, <random>, <tuple>: from oracle.hpp

#include "range/range_table.hpp"
#include "support/oracle.hpp"

namespace {

using namespace nt;
using netrove::range::RangeTable;
__extension__ typedef unsigned __int128 u128;

unsigned width(std::uint8_t family) { return family == kIpv4 ? 32 : 128; }
u128 top(std::uint8_t family) { return family == kIpv4 ? u128{0xFFFFFFFFu} : ~u128{0}; }
u128 key(const IpAddress& a) {
  u128 k = 0;
  for (unsigned i = 0; i < width(a.family) / 8; ++i) k = (k << 8) | a.bytes[i];
  return k;
}
IpAddress address(std::uint8_t family, u128 k) {
  IpAddress a;
  a.family = family;
  for (unsigned i = width(family) / 8; i-- > 0; k >>= 8) a.bytes[i] = static_cast<std::uint8_t>(k);
  return a;
}
IpPrefix block(std::uint8_t family, u128 k, unsigned len) { return prefix(address(family, k), len); }

/// Sorts and dedups `raw` in network form, sets random host bits, builds the
/// table and checks every probe, each prefix's ends and their neighbours,
/// alone and in one match_many batch, against a scan.
void check(std::vector<IpPrefix> raw, std::vector<IpAddress> probes, std::mt19937_64& rng) {
  for (IpPrefix& p : raw) p = masked(p);
  std::sort(raw.begin(), raw.end(), [](const IpPrefix& a, const IpPrefix& b) {
    return std::tie(a.family, a.address, a.length) < std::tie(b.family, b.address, b.length);
  });
  raw.erase(std::unique(raw.begin(), raw.end()), raw.end());
  for (IpPrefix& p : raw) {
    const u128 first = key(address_of(p)), last = key(last_of(p));
    for (const u128 k : {first, last, first - 1, last + 1})
      if (k <= top(p.family)) probes.push_back(address(p.family, k));
    for (unsigned i = p.length; i < width(p.family); ++i)
      if (rng() & 1) p.address[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  }
  const RangeTable table(raw.data(), raw.size());
  std::vector<std::size_t> batch(probes.size());
  table.match_many(probes.data(), probes.size(), batch.data());
  for (std::size_t q = 0; q < probes.size(); ++q) {
    std::size_t want = RangeTable::npos;
    for (std::size_t i = 0; i < raw.size(); ++i)
      if (covers(raw[i], probes[q]) && (want == RangeTable::npos || raw[i].length > raw[want].length)) want = i;
    ASSERT_EQ(table.match(probes[q]), want) << text(prefix(probes[q], 0), "probed") << " among " << raw.size();
    ASSERT_EQ(batch[q], want) << "in a batch, probe " << q;
  }
}

TEST(RangeTable, DenseWindowsAtTheEdgesAgreeWithAScan) {
  std::mt19937_64 rng(9);
  for (int round = 0; round < 240; ++round) {
    SCOPED_TRACE(round);
    const std::uint8_t f = round % 2 ? kIpv6 : kIpv4;
    const unsigned w = width(f);
    const u128 t = top(f), half = u128{1} << (w - 1), bucket = u128{1} << (w - 16);
    // 1024 addresses: the first, the last, or across a bucket boundary.
    const u128 base = round % 6 < 2 ? 0 : round % 6 < 4 ? t - 1023 : (1 + rng() % 65535) * bucket - 512;
    std::vector<IpPrefix> raw;
    for (std::size_t i = 0, n = rng() % 60; i < n; ++i)
      raw.push_back(block(f, base + rng() % 1024, w - 12 + static_cast<unsigned>(rng() % 13)));
    for (const auto& [k, len] : std::vector<std::pair<u128, unsigned>>{
             {0, 0}, {0, 1}, {half, 1}, {0, w}, {t, w}, {t, w - 1}, {t, 16}, {0, 16}, {base, w - 16}, {half - 1, w}})
      if (rng() % 3 == 0) raw.push_back(block(f, k, len));
    Generator gen(round);
    for (int i = rng() % 8; i > 0; --i) raw.push_back(gen.prefix());
    std::vector<IpAddress> probes{address(kIpv4, 0), address(kIpv4, top(kIpv4)), address(kIpv6, 0), address(kIpv6, top(kIpv6))};
    for (u128 k = base == 0 ? 0 : base - 1; k <= base + 1023 && k >= base - (base != 0); ++k) probes.push_back(address(f, k));
    if (base + 1023 < t) probes.push_back(address(f, base + 1024));
    for (int i = 0; i < 50; ++i) probes.push_back(gen.address());
    ASSERT_NO_FATAL_FAILURE(check(raw, probes, rng));
  }
}

TEST(RangeTable, EmptyTableMatchesNothing) {
  const RangeTable table(nullptr, 0);
  Generator gen(1);
  for (std::uint8_t f : {kIpv4, kIpv6})
    EXPECT_TRUE(table.match(address(f, 0)) == RangeTable::npos && table.match(address(f, top(f))) == RangeTable::npos);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(table.match(gen.address()), RangeTable::npos);
}

TEST(RangeTable, InputOutOfOrderIsRefused) {
  const std::vector<std::vector<IpPrefix>> bad = {
      {p4(11, 0, 0, 0, 8), p4(10, 0, 0, 0, 8)}, {p4(10, 0, 0, 0, 16), p4(10, 0, 0, 0, 8)},
      {p4(10, 0, 0, 0, 8), p4(10, 0, 0, 0, 8)}, {p4(10, 0, 0, 0, 8), p4(10, 9, 9, 9, 8)},  // repeated
      {p4(10, 1, 0, 0, 16), p4(10, 0, 0, 0, 8)}, {p6({0x2001}, 16), p4(10, 0, 0, 0, 8)},
      {p4(1, 0, 0, 0, 8), p6({0x2001}, 16), p4(2, 0, 0, 0, 8)}, {p6({0x2001, 0xdb8}, 32), p6({0x2001}, 16)},
      {p4(0, 0, 0, 0, 0), p4(255, 255, 255, 255, 32), p4(255, 255, 255, 254, 31)}};
  for (std::size_t i = 0; i < bad.size(); ++i)
    EXPECT_THROW(RangeTable(bad[i].data(), bad[i].size()), std::invalid_argument) << i;
  // In order once host bits are cleared, though not as written.
  const std::vector<IpPrefix> fine = {p4(10, 255, 0, 0, 8), p4(10, 1, 0, 0, 16), p6({0x2001, 0xffff}, 16), p6({0x2001, 0x0db8}, 32)};
  const RangeTable table(fine.data(), fine.size());
  const IpAddress probes[] = {v4(10, 1, 2, 3), v4(10, 2, 0, 0), v6({0x2001, 0x0db8, 1}), v6({0x2001, 0x0db9}), v4(11, 0, 0, 0)};
  const std::size_t want[] = {1, 0, 3, 2, RangeTable::npos};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(table.match(probes[i]), want[i]) << i;
}

}  // namespace
