// Churn: a remove gives back every node it empties, in every engine
// configuration.  Nested prefixes of both families inserted beside a fixed
// base set and removed again in random order leave exactly the nodes of an
// engine holding only the base set, with answers agreeing with the oracle
// after every step; and rounds of fresh prefixes coming and going beside a
// steady set keep the node count, and the pools' memory, flat.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "art/adaptive_engine.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie_test_util.hpp"

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;

namespace {

struct Config {
  std::string name;
  std::function<LocalEngine()> make;
};

std::vector<Config> all_configs() {
  std::vector<Config> out;
  for (int k = 0; k < 8; ++k) {
    const auto style = static_cast<std::uint8_t>(k % 4);
    out.push_back({"kind" + std::to_string(k), [=] { return netrove::build_local(0, style, k >= 4, std::nullopt); }});
    out.push_back({"kind" + std::to_string(k) + "_sharded", [=] { return netrove::build_local(5, style, k >= 4, 3); }});
  }
  out.push_back({"adaptive", [] { return netrove::build_local(4, 0, true, 1); }});
  out.push_back({"adaptive_sharded", [] { return netrove::build_local(4, 0, true, 3); }});
  return out;
}

class Churn : public ::testing::TestWithParam<Config> {
 protected:
  /// Nodes held by `e`: the census of its trees for the adaptive engines,
  /// the trie nodes alive beyond those alive when the test began otherwise
  /// (so only one trie engine may be alive at a time).
  std::size_t nodes(const LocalEngine& e) const {
    if (!e.adaptive_engine(0)) return nt::live_nodes() - baseline_;
    std::size_t n = 0;
    for (std::size_t s = 0; const netrove::AdaptiveEngine* a = e.adaptive_engine(s); ++s) {
      const auto c = a->census();
      n += c.node4 + c.node16 + c.node48 + c.node256 + c.leaves + c.prefix_sets;
    }
    return n;
  }

  const std::size_t baseline_ = nt::live_nodes();
};

INSTANTIATE_TEST_SUITE_P(AllEngines, Churn, ::testing::ValuesIn(all_configs()),
                         [](const auto& info) { return info.param.name; });

std::string show(const std::optional<netrove::Metadata>& m) { return m ? m->value : "<none>"; }

/// Lookups of `probes` agree with the oracle.
void expect_answers(const LocalEngine& e, const nt::Oracle& oracle, const std::vector<IpAddress>& probes) {
  for (const IpAddress& a : probes) ASSERT_EQ(show(e.lookup(a)), show(oracle.lookup(a)));
}

IpAddress network_of(const IpPrefix& p) {
  IpAddress a;
  a.family = p.family;
  a.bytes = p.network_address();
  return a;
}

TEST_P(Churn, RemovingWhatWasAddedLeavesTheNodesOfTheBaseSet) {
  nt::Generator gen(0xc4u + std::hash<std::string>{}(GetParam().name) % 1000);
  std::vector<IpPrefix> base, extra;
  std::set<nt::Oracle::Key> seen;
  while (base.size() < 120)
    if (const IpPrefix p = gen.prefix(); seen.insert(nt::Oracle::key(p)).second) base.push_back(p);
  while (extra.size() < 300)
    if (const IpPrefix p = gen.prefix(); seen.insert(nt::Oracle::key(p)).second) extra.push_back(p);
  std::vector<IpAddress> probes;
  for (int i = 0; i < 200; ++i) probes.push_back(gen.address());

  std::size_t base_nodes;
  {
    LocalEngine e = GetParam().make();
    nt::Oracle oracle;
    for (std::size_t i = 0; i < base.size(); ++i) {
      oracle.insert(base[i], nt::md("b" + std::to_string(i)));
      ASSERT_TRUE(e.insert(base[i], nt::md("b" + std::to_string(i))).ok());
    }
    base_nodes = nodes(e);
    for (std::size_t i = 0; i < extra.size(); ++i) {
      oracle.insert(extra[i], nt::md("x" + std::to_string(i)));
      ASSERT_TRUE(e.insert(extra[i], nt::md("x" + std::to_string(i))).ok());
      ASSERT_NO_FATAL_FAILURE(expect_answers(e, oracle, {network_of(extra[i]), probes[i % probes.size()]}));
    }
    EXPECT_GT(nodes(e), base_nodes);
    std::shuffle(extra.begin(), extra.end(), std::mt19937(7));
    for (std::size_t i = 0; i < extra.size(); ++i) {
      const auto want = oracle.remove(extra[i]);
      ASSERT_EQ(show(e.remove(extra[i])), show(want));
      ASSERT_NO_FATAL_FAILURE(expect_answers(e, oracle, {network_of(extra[i]), probes[i % probes.size()]}));
    }
    ASSERT_NO_FATAL_FAILURE(expect_answers(e, oracle, probes));
    EXPECT_EQ(e.len(), base.size());
    EXPECT_EQ(nodes(e), base_nodes);
  }
  // An engine that only ever held the base set, filled in the reverse order.
  LocalEngine f = GetParam().make();
  for (auto it = base.rbegin(); it != base.rend(); ++it) ASSERT_TRUE(f.insert(*it, nt::md("b")).ok());
  EXPECT_EQ(nodes(f), base_nodes);
}

TEST_P(Churn, RoundsOfFreshPrefixesBesideASteadySetKeepTheNodeCountFlat) {
  LocalEngine e = GetParam().make();
  std::mt19937 rng(11);
  for (int i = 0; i < 500; ++i) {
    const auto r = static_cast<std::uint32_t>(rng());
    ASSERT_TRUE(e.insert(nt::p4(static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(r >> 8), 0, 0, 16), nt::md("s")).ok());
  }
  const std::size_t steady = nodes(e);
  const std::size_t steady_len = e.len();
  auto reserved = [] {
    using netrove::trie::node_pool;
    return node_pool(64).reserved() + node_pool(128).reserved() + node_pool(192).reserved();
  };
  std::size_t first_round_reserved = 0;
  std::uint32_t next = 0;
  for (int round = 0; round < 6; ++round) {
    std::vector<IpPrefix> fresh;
    for (int i = 0; i < 2000; ++i, ++next) {
      // Distinct /24s below 1.0.0.0 and /56s of 2001:db8::/32.
      fresh.push_back(i % 4 == 3 ? nt::p6({0x2001, 0xdb8, static_cast<std::uint16_t>(next >> 8),
                                          static_cast<std::uint16_t>((next & 0xff) << 8)}, 56)
                                 : nt::p4(static_cast<std::uint8_t>(next >> 16), static_cast<std::uint8_t>(next >> 8),
                                          static_cast<std::uint8_t>(next), 0, 24));
      ASSERT_TRUE(e.insert(fresh.back(), nt::md("f")).ok());
    }
    std::shuffle(fresh.begin(), fresh.end(), rng);
    for (const IpPrefix& p : fresh) ASSERT_TRUE(e.remove(p).has_value());
    ASSERT_EQ(e.len(), steady_len);
    EXPECT_EQ(nodes(e), steady) << "round " << round;
    if (round == 0) first_round_reserved = reserved();
  }
  // Pool chunks come back as they empty: no growth after the first round
  // beyond the chunk each size may keep half-used.
  EXPECT_LE(reserved(), first_round_reserved + 3 * netrove::trie::NodePool::kChunkBytes);
}

}  // namespace
