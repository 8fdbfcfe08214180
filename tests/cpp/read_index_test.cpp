// The read index on its own against a brute-force oracle: chains of nested
// prefixes of every length (0..32, 0..128, so every stride end), removes
// that must restore a shorter covering prefix, pruning of emptied nodes, and
// random operations in a narrow address space where prefixes collide.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "index/read_index.hpp"
#include "trie_test_util.hpp"

namespace {

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::index::ReadIndex;
namespace trie = netrove::trie;

/// Inserts into the index with a fresh record and drops the caller's share,
/// so the index alone keeps the record alive.
void put(ReadIndex& ix, const IpPrefix& p, const std::string& value) {
  netrove::rcu::ReadSection rs;
  auto* r = netrove::RecordRef::intern(nt::md(value)).release();
  ix.insert(p, r);
  trie::release(r);
}

bool drop(ReadIndex& ix, const IpPrefix& p) {
  netrove::rcu::ReadSection rs;
  return ix.remove(p);
}

std::string find(const ReadIndex& ix, const IpAddress& a) {
  netrove::rcu::ReadSection rs;
  const trie::Record* r = ix.lookup(a);
  return r ? std::string(netrove::RecordView(*r).value()) : "<none>";
}

std::string expect(const nt::Oracle& o, const IpAddress& a) {
  const auto m = o.lookup(a);
  return m ? m->value : "<none>";
}

IpAddress random_address(std::mt19937_64& rng, std::uint8_t family) {
  IpAddress a;
  a.family = family;
  const unsigned bytes = family == netrove::kIpv4 ? 4 : 16;
  for (unsigned i = 0; i < bytes; ++i) a.bytes[i] = static_cast<std::uint8_t>(rng());
  return a;
}

/// `a` with bit `i` flipped and every later bit random.
IpAddress diverge_at(std::mt19937_64& rng, IpAddress a, unsigned i) {
  const unsigned width = netrove::family_bits(a.family);
  a.bytes[i / 8] ^= static_cast<std::uint8_t>(0x80u >> (i % 8));
  for (unsigned j = i + 1; j < width; ++j)
    if (rng() & 1) a.bytes[j / 8] ^= static_cast<std::uint8_t>(0x80u >> (j % 8));
  return a;
}

class EveryLength : public ::testing::TestWithParam<std::uint8_t> {};
INSTANTIATE_TEST_SUITE_P(Families, EveryLength, ::testing::Values(netrove::kIpv4, netrove::kIpv6),
                         [](const auto& info) { return info.param == netrove::kIpv4 ? "ipv4" : "ipv6"; });

TEST_P(EveryLength, NestedChainThenRemovesRestoreTheCoveringPrefix) {
  std::mt19937_64 rng(0x1dc0 + GetParam());
  const unsigned width = netrove::family_bits(GetParam());
  const IpAddress base = random_address(rng, GetParam());
  ReadIndex ix;
  nt::Oracle oracle;
  // Probes: the base itself and one address leaving the chain after each bit.
  std::vector<IpAddress> probes{base};
  for (unsigned i = 0; i < width; ++i) probes.push_back(diverge_at(rng, base, i));
  auto check_all = [&] {
    for (const IpAddress& a : probes) ASSERT_EQ(find(ix, a), expect(oracle, a));
  };
  std::vector<unsigned> lengths(width + 1);
  for (unsigned l = 0; l <= width; ++l) lengths[l] = l;
  std::shuffle(lengths.begin(), lengths.end(), rng);
  for (unsigned l : lengths) {
    const IpPrefix p = nt::prefix(base, static_cast<std::uint8_t>(l));  // host bits set
    put(ix, p, std::to_string(l));
    oracle.insert(p, nt::md(std::to_string(l)));
    check_all();
  }
  // Each probe's answer is the chain prefix of the length where it leaves.
  for (unsigned i = 0; i < width; ++i) ASSERT_EQ(find(ix, probes[i + 1]), std::to_string(i));
  ASSERT_EQ(ix.footprint(GetParam() == netrove::kIpv4 ? 0 : 1).prefixes, width + 1);
  // Replacing keeps one entry.
  put(ix, nt::prefix(base, static_cast<std::uint8_t>(width)), "host");
  oracle.insert(nt::prefix(base, static_cast<std::uint8_t>(width)), nt::md("host"));
  check_all();
  // Remove longest-first in shuffled order: every remove must fall back to
  // the next shorter prefix still stored.
  std::shuffle(lengths.begin(), lengths.end(), rng);
  for (unsigned l : lengths) {
    const IpPrefix p = nt::prefix(base, static_cast<std::uint8_t>(l));
    ASSERT_TRUE(drop(ix, p));
    ASSERT_FALSE(drop(ix, p));
    oracle.remove(p);
    check_all();
  }
  // Emptied nodes are pruned: only the root is left.
  const auto f = ix.footprint(GetParam() == netrove::kIpv4 ? 0 : 1);
  EXPECT_EQ(f.nodes, 1u);
  EXPECT_EQ(f.prefixes, 0u);
  netrove::rcu::drain();
}

TEST(ReadIndex, RandomOperationsInANarrowSpace) {
  std::mt19937_64 rng(0xab5e);
  ReadIndex ix;
  nt::Oracle oracle;
  // Addresses that share their first bytes, so prefixes collide and nest.
  auto address = [&](std::uint8_t family) {
    IpAddress a = random_address(rng, family);
    a.bytes[0] = 10;
    a.bytes[1] = static_cast<std::uint8_t>(rng() % 3);
    if (rng() % 2) a.bytes[2] &= 0x0F;
    return a;
  };
  auto prefix = [&] {
    const std::uint8_t family = rng() % 2 ? netrove::kIpv4 : netrove::kIpv6;
    const unsigned width = netrove::family_bits(family);
    const unsigned len = rng() % 3 ? 8 * (1 + rng() % (width / 8)) - rng() % 2 : rng() % (width + 1);
    return nt::prefix(address(family), static_cast<std::uint8_t>(len));
  };
  std::uint64_t hits = 0, removed = 0;
  for (int step = 0; step < 6000; ++step) {
    SCOPED_TRACE(step);
    const auto op = rng() % 100;
    if (op < 45) {
      const IpPrefix p = prefix();
      put(ix, p, std::to_string(step));
      oracle.insert(p, nt::md(std::to_string(step)));
    } else if (op < 75) {
      const IpPrefix p = prefix();
      const bool had = oracle.remove(p).has_value();
      ASSERT_EQ(drop(ix, p), had);
      removed += had;
    } else if (op < 99) {
      const IpAddress a = address(rng() % 2 ? netrove::kIpv4 : netrove::kIpv6);
      const std::string want = expect(oracle, a);
      ASSERT_EQ(find(ix, a), want);
      hits += want != "<none>";
    } else {
      ix.clear();
      oracle.clear();
    }
  }
  EXPECT_EQ(ix.footprint(0).prefixes + ix.footprint(1).prefixes, oracle.size());
  EXPECT_GT(hits, 300u);
  EXPECT_GT(removed, 100u);
  netrove::rcu::drain();
}

}  // namespace
