// Differential test: every node kind, unsharded and sharded, against a
// brute-force longest-prefix oracle on random nested prefixes of both
// families (host bits set, IPv4-compatible and IPv4-mapped ranges included).
// After every operation a walk of the trie and the read index must also
// agree on a set of probe addresses.  Bulk inserts and batch lookups are
// mixed in and must equal the single operations, and every 500 operations
// the entry enumerations must list what the oracle holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "entry_check.hpp"
#include "trie_test_util.hpp"
#include "trie_walk.hpp"

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;

namespace {

using nt::Generator;

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
  // Queries at the probes, at stored prefixes and shorter ones around them,
  // and at random prefixes of a generator of its own (the main one's
  // sequence stays as it was).
  Generator side(seed + 1);
  auto check_entries = [&] {
    std::vector<netrove::Entry> stored;
    std::vector<IpPrefix> subnets{nt::p4(0, 0, 0, 0, 0), nt::p6({}, 0)};
    for (const auto& [key, entry] : oracle.entries()) {
      stored.push_back({entry.prefix, entry.record});
      IpPrefix around = entry.prefix;
      around.length = static_cast<std::uint8_t>(side.pick(around.length + 1u));
      subnets.push_back(entry.prefix), subnets.push_back(around);
    }
    std::vector<IpAddress> addresses(probes);
    for (int i = 0; i < 40; ++i) addresses.push_back(side.address()), subnets.push_back(side.prefix());
    nt::check_enumeration(e, std::move(stored), addresses, subnets);
  };

  for (int step = 0; step < ops; ++step) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step);
    // The index answers exactly as a walk of the trie (the shards share both).
    for (const IpAddress& a : probes) {
      const nt::TwoAnswers two = nt::walk_and_index(*e.trie(), GetParam().kind >= 4, a);
      ASSERT_EQ(two.index, two.walk);
      probed_hits += two.walk != "<none>";
    }
    const std::uint64_t op = gen.pick(1000);
    if (op < 40) {
      // A bulk insert: the same effect and counters as the single inserts.
      std::vector<IpPrefix> ps(1 + gen.pick(20));
      std::vector<netrove::Metadata> ms;
      for (IpPrefix& p : ps) {
        p = gen.prefix();
        std::string value = "b";
        value += std::to_string(next_value++);
        ms.push_back(nt::md(std::move(value), "step", std::to_string(step)));
        oracle.insert(p, ms.back());
        probe_ends(p);
      }
      std::size_t done = 0;
      ASSERT_TRUE(netrove::insert_many(e, ps.data(), ms.data(), ps.size(), &done).ok());
      ASSERT_EQ(done, ps.size());
      want.inserts += ps.size();
    } else if (op < 80) {
      // Batch lookups and contains: the answers and counters of the singles.
      std::vector<IpAddress> as(gen.pick(40));
      for (IpAddress& a : as) a = gen.address();
      std::vector<netrove::HeldRecord> held(as.size());
      std::unique_ptr<bool[]> found(new bool[as.size() + 1]);
      netrove::lookup_many(e, as.data(), as.size(), held.data());
      netrove::contains_many(e, as.data(), as.size(), found.get());
      for (std::size_t i = 0; i < as.size(); ++i) {
        const auto expect = oracle.lookup(as[i]);
        ASSERT_EQ(held[i] ? std::string(held[i].view().value()) : "<none>", show(expect));
        if (expect) {
          ASSERT_EQ(held[i].view().to_metadata(), *expect);
        }
        ASSERT_EQ(found[i], expect.has_value());
        want.lookups += 2;
        (expect ? want.hits : want.misses) += 2;
      }
    } else if (op < 450) {
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
    if (step % 500 == 499) ASSERT_NO_FATAL_FAILURE(check_entries());
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
