// RangeTable against a brute-force longest-prefix scan: random nested sets
// of both families, sets drawn from the edges of the address space (/0, the
// first and the last address, the two halves), aligned blocks tiling a
// region side by side, and dense sets probed address by address.  Queries
// at every prefix's first and last address and one beyond each, at bucket
// boundaries and at random, one by one and as a batch.  Host bits are set on
// the input throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <tuple>

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
std::string show(const IpAddress& a) { return text(prefix(a, width(a.family)), ""); }

/// The sorted, distinct network forms of `raw`, each then given random host
/// bits (which the table must ignore).
std::vector<IpPrefix> canonical(std::vector<IpPrefix> raw, std::mt19937_64& rng) {
  for (IpPrefix& p : raw) p = masked(p);
  auto order = [](const IpPrefix& a, const IpPrefix& b) {
    return std::tie(a.family, a.address, a.length) < std::tie(b.family, b.address, b.length);
  };
  std::sort(raw.begin(), raw.end(), order);
  raw.erase(std::unique(raw.begin(), raw.end()), raw.end());
  for (IpPrefix& p : raw)
    for (unsigned i = p.length; i < width(p.family); ++i)
      if (rng() & 1) p.address[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  return raw;
}

/// Builds the table of `ps` (canonical) and checks every probe address
/// against the scan, plus the prefixes' ends and their neighbours.
void check(const std::vector<IpPrefix>& ps, std::vector<IpAddress> probes, std::mt19937_64& rng) {
  struct Span {
    std::uint8_t family;
    u128 first, last;
    unsigned length;
  };
  std::vector<Span> spans;
  for (const IpPrefix& p : ps) spans.push_back({p.family, key(address_of(masked(p))), key(last_of(p)), p.length});
  for (const Span& s : spans) {
    probes.push_back(address(s.family, s.first));
    probes.push_back(address(s.family, s.last));
    if (s.first > 0) probes.push_back(address(s.family, s.first - 1));
    if (s.last < top(s.family)) probes.push_back(address(s.family, s.last + 1));
  }
  for (std::uint8_t f : {kIpv4, kIpv6}) {
    probes.push_back(address(f, 0));
    probes.push_back(address(f, top(f)));
    for (int i = 0; i < 20; ++i) {  // bucket edges: the top 16 bits' boundaries
      const u128 edge = u128{rng() % 65536} << (width(f) - 16);
      probes.push_back(address(f, edge));
      if (edge > 0) probes.push_back(address(f, edge - 1));
      u128 r = (u128{rng()} << 64) | rng();
      probes.push_back(address(f, r & top(f)));
    }
  }
  const RangeTable table(ps.data(), ps.size());
  std::vector<std::size_t> batch(probes.size());
  table.match_many(probes.data(), probes.size(), batch.data());
  for (std::size_t q = 0; q < probes.size(); ++q) {
    const IpAddress& a = probes[q];
    const u128 k = key(a);
    std::size_t want = RangeTable::npos;
    for (std::size_t i = 0; i < spans.size(); ++i)
      if (spans[i].family == a.family && spans[i].first <= k && k <= spans[i].last &&
          (want == RangeTable::npos || spans[i].length > spans[want].length))
        want = i;
    const std::size_t got = table.match(a);
    ASSERT_EQ(got, want) << show(a) << " got " << (got < ps.size() ? text(ps[got], "") : "npos") << ", want "
                         << (want < ps.size() ? text(ps[want], "") : "npos") << " among " << ps.size();
    ASSERT_EQ(batch[q], want) << "in a batch: " << show(a);
  }
}

TEST(RangeTable, RandomNestedSetsOfBothFamilies) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    Generator gen(seed);
    std::mt19937_64 rng(seed);
    const std::size_t n = seed % 50 == 0 ? 3000 : 1 + seed % 25;
    std::vector<IpPrefix> raw;
    for (std::size_t i = 0; i < n; ++i) raw.push_back(gen.prefix());
    std::vector<IpAddress> probes;
    for (std::size_t i = 0; i < 2 * n + 50; ++i) probes.push_back(gen.address());
    ASSERT_NO_FATAL_FAILURE(check(canonical(raw, rng), probes, rng));
  }
}

TEST(RangeTable, EdgesOfTheAddressSpace) {
  // Drawn at random from a pool per family: /0, the halves, the first and
  // last host and blocks around them, one block in the middle.
  std::vector<IpPrefix> pool;
  for (std::uint8_t f : {kIpv4, kIpv6}) {
    const unsigned w = width(f);
    const u128 t = top(f), half = u128{1} << (w - 1);
    for (const auto& [k, len] : std::vector<std::pair<u128, unsigned>>{
             {0, 0}, {0, 1}, {half, 1}, {0, w}, {t, w}, {t - 1, w - 1}, {t - 1, w}, {t, 16}, {t, w - 8},
             {0, 16}, {1, w}, {0, w - 1}, {half - 1, w}, {half, w}, {half, w - 3}, {t >> 3 << 2, w - 4}}) {
      pool.push_back(block(f, k, len));
    }
  }
  std::mt19937_64 rng(11);
  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE(round);
    std::vector<IpPrefix> raw;
    for (const IpPrefix& p : pool)
      if (rng() % 3 == 0) raw.push_back(p);
    ASSERT_NO_FATAL_FAILURE(check(canonical(raw, rng), {}, rng));
  }
}

TEST(RangeTable, AdjacentBlocksTilingARegion) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const std::uint8_t f = round % 2 ? kIpv6 : kIpv4;
    const unsigned w = width(f);
    // A region at the start, the end or anywhere, cut into aligned blocks;
    // some inner nodes kept too, some leaves dropped.
    const unsigned len = static_cast<unsigned>(rng() % 25);
    const u128 host = len == 0 ? top(f) : (u128{1} << (w - len)) - 1;
    u128 base = ((u128{rng()} << 64) | rng()) & top(f);
    if (round % 5 == 0) base = 0;
    if (round % 5 == 1) base = top(f);
    base &= ~host;
    std::vector<IpPrefix> raw;
    std::vector<std::pair<u128, unsigned>> todo{{base, len}};
    while (!todo.empty()) {
      const auto [k, l] = todo.back();
      todo.pop_back();
      const bool split = l < w && l < len + 12 && rng() % 4 != 0;
      if (split) {
        if (rng() % 5 == 0) raw.push_back(block(f, k, l));
        todo.push_back({k, l + 1});
        todo.push_back({k | (u128{1} << (w - l - 1)), l + 1});
      } else if (rng() % 6 != 0) {
        raw.push_back(block(f, k, l));
      }
    }
    ASSERT_NO_FATAL_FAILURE(check(canonical(raw, rng), {}, rng));
  }
}

TEST(RangeTable, DenseSetsProbedAtEveryAddress) {
  std::mt19937_64 rng(9);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const std::uint8_t f = round % 2 ? kIpv6 : kIpv4;
    const unsigned w = width(f);
    // 1024 addresses: 10.0.0.0/22, the last /22 of IPv4, or the last /118
    // of IPv6, with prefixes of lengths 20..w inside and around it.
    const u128 base = f == kIpv6 ? top(f) - 1023 : round % 4 == 0 ? u128{0x0A000000} : top(f) - 1023;
    std::vector<IpPrefix> raw;
    for (std::size_t i = 0, n = 1 + rng() % 60; i < n; ++i)
      raw.push_back(block(f, base + rng() % 1024, w - 12 + static_cast<unsigned>(rng() % 13)));
    std::vector<IpAddress> probes;
    for (u128 k = base - 1; k <= base + 1023 && k >= base - 1; ++k) probes.push_back(address(f, k));
    if (base + 1023 < top(f)) probes.push_back(address(f, base + 1024));
    ASSERT_NO_FATAL_FAILURE(check(canonical(raw, rng), probes, rng));
  }
}

TEST(RangeTable, EmptyTableMatchesNothing) {
  const RangeTable table(nullptr, 0);
  std::mt19937_64 rng(1);
  for (std::uint8_t f : {kIpv4, kIpv6}) {
    EXPECT_EQ(table.match(address(f, 0)), RangeTable::npos);
    EXPECT_EQ(table.match(address(f, top(f))), RangeTable::npos);
    for (int i = 0; i < 1000; ++i)
      ASSERT_EQ(table.match(address(f, ((u128{rng()} << 64) | rng()) & top(f))), RangeTable::npos);
  }
}

TEST(RangeTable, InputOutOfOrderIsRefused) {
  const std::vector<std::vector<IpPrefix>> bad = {
      {p4(11, 0, 0, 0, 8), p4(10, 0, 0, 0, 8)},                        // addresses backwards
      {p4(10, 0, 0, 0, 16), p4(10, 0, 0, 0, 8)},                       // longer before shorter
      {p4(10, 0, 0, 0, 8), p4(10, 0, 0, 0, 8)},                        // repeated
      {p4(10, 0, 0, 0, 8), p4(10, 9, 9, 9, 8)},                        // repeated under other host bits
      {p4(10, 1, 0, 0, 16), p4(10, 0, 0, 0, 8)},                       // the covering one after
      {p6({0x2001}, 16), p4(10, 0, 0, 0, 8)},                          // IPv4 after IPv6
      {p4(1, 0, 0, 0, 8), p6({0x2001}, 16), p4(2, 0, 0, 0, 8)},
      {p6({0x2001, 0xdb8}, 32), p6({0x2001}, 16)},
      {p4(0, 0, 0, 0, 0), p4(255, 255, 255, 255, 32), p4(255, 255, 255, 254, 31)},
  };
  for (std::size_t i = 0; i < bad.size(); ++i)
    EXPECT_THROW(RangeTable(bad[i].data(), bad[i].size()), std::invalid_argument) << i;
  // In order once host bits are cleared, though not as written.
  const std::vector<IpPrefix> fine = {p4(10, 255, 0, 0, 8), p4(10, 1, 0, 0, 16), p6({0x2001, 0xffff}, 16), p6({0x2001, 0x0db8}, 32)};
  const RangeTable table(fine.data(), fine.size());
  EXPECT_EQ(table.match(v4(10, 1, 2, 3)), 1u);
  EXPECT_EQ(table.match(v4(10, 2, 0, 0)), 0u);
  EXPECT_EQ(table.match(v6({0x2001, 0x0db8, 1})), 3u);
  EXPECT_EQ(table.match(v6({0x2001, 0x0db9})), 2u);
  EXPECT_EQ(table.match(v4(11, 0, 0, 0)), RangeTable::npos);
}

}  // namespace
