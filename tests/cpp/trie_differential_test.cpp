// Differential test: every node kind, unsharded and sharded, against a
// brute-force longest-prefix oracle on random nested prefixes of both
// families (host bits set, IPv4-compatible and IPv4-mapped ranges included).
// After every operation a walk of the trie and the read index must also
// agree on a set of probe addresses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "netrove/factory.hpp"
#include "netrove/local_engine.hpp"
#include "trie_test_util.hpp"
#include "trie_walk.hpp"

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;

namespace {

/// Random prefixes and addresses, biased to nest inside earlier prefixes.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  IpPrefix prefix() {
    IpPrefix p;
    if (!made_.empty() && pick(100) < 65) {
      const IpPrefix& base = made_[pick(made_.size())];
      const unsigned width = netrove::family_bits(base.family);
      p = base;
      randomise_from(p, pick(4) == 0 ? 0 : base.length, width);
      p.length = static_cast<std::uint8_t>(pick(4) == 0 ? pick(base.length + 1u)
                                                        : base.length + pick(width - base.length + 1u));
    } else {
      const IpAddress a = region_address();
      const unsigned width = netrove::family_bits(a.family);
      p = nt::prefix(a, 0);
      const bool embedded = a.family == netrove::kIpv6 && a.bytes[0] == 0 && a.bytes[8] == 0;
      p.length = static_cast<std::uint8_t>(embedded && pick(2) ? 96 + pick(33) : pick(width + 1u));
    }
    if (made_.size() < 400) made_.push_back(p);
    else made_[pick(made_.size())] = p;
    return p;
  }

  /// Inside a made prefix half of the time, otherwise somewhere in a region.
  IpAddress address() {
    if (!made_.empty() && pick(2)) {
      const IpPrefix& base = made_[pick(made_.size())];
      IpPrefix p = base;
      randomise_from(p, base.length, netrove::family_bits(base.family));
      IpAddress a;
      a.family = p.family;
      a.bytes = p.address;
      return a;
    }
    return region_address();
  }

  std::uint64_t pick(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

 private:
  /// Random bits from position `from` on (to the family's width).
  void randomise_from(IpPrefix& p, unsigned from, unsigned width) {
    for (unsigned i = from; i < width; ++i) {
      const std::uint8_t m = static_cast<std::uint8_t>(0x80u >> (i % 8));
      if (pick(2)) p.address[i / 8] |= m;
      else p.address[i / 8] &= static_cast<std::uint8_t>(~m);
    }
  }

  IpAddress region_address() {
    std::array<std::uint8_t, 16> b{};
    for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
    switch (pick(6)) {
      case 0:  // IPv4 anywhere
        return nt::v4(b[0], b[1], b[2], b[3]);
      case 1:  // IPv4 in 10/8
        return nt::v4(10, b[1], b[2], b[3]);
      case 2:  // ::a.b.c.d
        return nt::v4_compat(b[12], b[13], b[14], b[15]);
      case 3:  // ::ffff:a.b.c.d
        return nt::v4_mapped(b[12], b[13], b[14], b[15]);
      case 4:  // 2001:db8::/32
        b[0] = 0x20, b[1] = 0x01, b[2] = 0x0d, b[3] = 0xb8;
        return nt::v6_bytes(b);
      default:
        return nt::v6_bytes(b);
    }
  }

  std::mt19937_64 rng_;
  std::vector<IpPrefix> made_;
};

struct Config {
  int kind;
  int shards;  // 0: unsharded
};

std::string name_of(const ::testing::TestParamInfo<Config>& info) {
  return "kind" + std::to_string(info.param.kind) + (info.param.shards ? "_sharded" : "");
}

class Differential : public ::testing::TestWithParam<Config> {
 protected:
  LocalEngine make() const {
    const Config c = GetParam();
    const bool compressed = c.kind >= 4;
    return c.shards ? netrove::build_local(5, static_cast<std::uint8_t>(c.kind % 4), compressed, c.shards)
                    : netrove::build_local(0, static_cast<std::uint8_t>(c.kind % 4), compressed, std::nullopt);
  }
};

std::vector<Config> all_configs() {
  std::vector<Config> out;
  for (int k = 0; k < 8; ++k) {
    out.push_back({k, 0});
    out.push_back({k, 3});
  }
  return out;
}
INSTANTIATE_TEST_SUITE_P(AllKinds, Differential, ::testing::ValuesIn(all_configs()), name_of);

std::string show(const std::optional<netrove::Metadata>& m) { return m ? m->value : "<none>"; }

TEST_P(Differential, MatchesTheOracle) {
  const char* env = std::getenv("NETROVE_DIFF_OPS");
  const int ops = env ? std::atoi(env) : 2500;
  const std::uint64_t seed = 0x5eed0000u + static_cast<std::uint64_t>(GetParam().kind) * 7 + GetParam().shards;
  Generator gen(seed);
  LocalEngine e = make();
  nt::Oracle oracle;
  netrove::EngineStats want;
  std::uint64_t next_value = 0;
  // Probes: the first and the last address of the prefixes written lately.
  std::vector<IpAddress> probes(24, nt::v4(10, 1, 2, 3));
  std::size_t next_probe = 0;
  auto probe_ends = [&](const IpPrefix& p) {
    IpAddress a;
    a.family = p.family;
    a.bytes = p.network_address();
    probes[next_probe++ % probes.size()] = a;
    for (unsigned i = p.length; i < netrove::family_bits(p.family); ++i)
      a.bytes[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    probes[next_probe++ % probes.size()] = a;
  };
  std::uint64_t probed_hits = 0;

  for (int step = 0; step < ops; ++step) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step);
    // The index answers exactly as a walk of the trie (the shards share both).
    for (const IpAddress& a : probes) {
      const nt::TwoAnswers two = nt::walk_and_index(*e.trie(), GetParam().kind >= 4, a);
      ASSERT_EQ(two.index, two.walk);
      probed_hits += two.walk != "<none>";
    }
    const std::uint64_t op = gen.pick(1000);
    if (op < 450) {
      const IpPrefix p = gen.prefix();
      std::string value = "v";
      value += std::to_string(next_value++);
      const netrove::Metadata m = nt::md(std::move(value), "step", std::to_string(step));
      oracle.insert(p, m);
      ASSERT_TRUE(e.insert(p, m).ok());
      probe_ends(p);
      ++want.inserts;
    } else if (op < 600) {
      const IpPrefix p = gen.prefix();
      const auto expect = oracle.remove(p);
      const auto got = e.remove(p);
      probe_ends(p);
      ASSERT_EQ(show(got), show(expect));
      if (expect) {
        ASSERT_EQ(*got, *expect);
        ++want.removals;
      }
    } else if (op < 950) {
      const IpAddress a = gen.address();
      const auto expect = oracle.lookup(a);
      const auto got = e.lookup(a);
      ASSERT_EQ(show(got), show(expect));
      if (expect) {
        ASSERT_EQ(*got, *expect);
      }
      ++want.lookups;
      ++(expect ? want.hits : want.misses);
    } else if (op < 998) {
      const IpPrefix p = gen.prefix();
      ASSERT_EQ(e.contains_prefix(p), oracle.contains(p));
    } else {
      oracle.clear();
      e.clear();
    }
    ASSERT_EQ(e.len(), oracle.size());
  }

  // Every stored entry is found exactly, and answers its own network address.
  for (const auto& [key, entry] : oracle.entries()) {
    ASSERT_TRUE(e.contains_prefix(entry.prefix));
    IpAddress a;
    a.family = entry.prefix.family;
    a.bytes = entry.prefix.network_address();
    ASSERT_EQ(show(e.lookup(a)), show(oracle.lookup(a)));
    ++want.lookups;
    ++want.hits;
  }
  want.size = oracle.size();
  EXPECT_EQ(e.stats(), want);
  // The mix really exercised matches, misses and removals.
  EXPECT_GT(want.hits, want.lookups / 5);
  EXPECT_GT(want.misses, 30u);
  EXPECT_GT(want.removals, 10u);
  EXPECT_GT(probed_hits, static_cast<std::uint64_t>(ops));
}

}  // namespace
