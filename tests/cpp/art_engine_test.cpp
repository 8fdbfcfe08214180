// AdaptiveEngine and the adaptive variants of LocalEngine (tags 4 and 5) as
// the factory builds them for engine_type 4: counting, statistics, copies
// in and out, the poisoned lock, shard selection and fan-out.
#include <gtest/gtest.h>

#include <random>

#include "art_test_util.hpp"
#include "art/adaptive_engine.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "sync/panic.hpp"
#include "sync/sync.hpp"

namespace {

using namespace art_test;
using netrove::AdaptiveEngine;
using netrove::build_local;
using netrove::EngineStats;
using netrove::LocalEngine;
using netrove::LocalTag;

std::string value_of(const std::optional<Metadata>& m) { return m ? m->value : "-"; }

TEST(AdaptiveEngine, InsertTwiceCountsOnceAndRemoveReturnsTheLatestRecord) {
  AdaptiveEngine e;
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("first")).ok());
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("second", "k", "v")).ok());
  EXPECT_EQ(e.len(), 1u);
  const auto got = e.remove(v4p(10, 0, 0, 0, 8));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, rec("second", "k", "v"));
  EXPECT_EQ(e.len(), 0u);
  EXPECT_FALSE(e.remove(v4p(10, 0, 0, 0, 8)));
  EXPECT_EQ(e.len(), 0u);
}

TEST(AdaptiveEngine, RemoveOfAContainedPrefixLeavesTheContainer) {
  AdaptiveEngine e;
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("eight")).ok());
  EXPECT_FALSE(e.remove(v4p(10, 0, 0, 0, 16)));
  EXPECT_EQ(e.len(), 1u);
  EXPECT_FALSE(e.contains_prefix(v4p(10, 0, 0, 0, 16)));
  EXPECT_TRUE(e.contains_prefix(v4p(10, 9, 9, 9, 8)));
  EXPECT_EQ(value_of(e.lookup(v4(10, 0, 0, 1))), "eight");
}

TEST(AdaptiveEngine, HostBitsAreIgnoredForInsertLookupAndRemove) {
  AdaptiveEngine e;
  ASSERT_TRUE(e.insert(v4p(10, 1, 2, 3, 8), rec("r")).ok());
  EXPECT_EQ(value_of(e.lookup(v4(10, 200, 0, 1))), "r");
  EXPECT_EQ(value_of(e.remove(v4p(10, 0, 0, 0, 8))), "r");
  EXPECT_EQ(e.len(), 0u);
}

TEST(AdaptiveEngine, ClearLeavesEmptyRootsAndKeepsWorking) {
  AdaptiveEngine e;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(e.insert(v4p(10, static_cast<std::uint8_t>(i), 0, 0, 16), rec("x")).ok());
  ASSERT_TRUE(e.insert(v6p({0x20, 1, 0xd, 0xb8}, 32), rec("six")).ok());
  e.clear();
  EXPECT_EQ(e.len(), 0u);
  EXPECT_FALSE(e.lookup(v4(10, 5, 0, 0)));
  EXPECT_FALSE(e.lookup(v6({0x20, 1, 0xd, 0xb8})));
  const auto c = e.census();
  EXPECT_EQ(c.node4, 2u);  // one empty Node4 per family
  EXPECT_EQ(c.node16 + c.node48 + c.node256 + c.leaves, 0u);
  ASSERT_TRUE(e.insert(v4p(10, 5, 0, 0, 16), rec("again")).ok());
  EXPECT_EQ(value_of(e.lookup(v4(10, 5, 1, 1))), "again");
  EXPECT_EQ(e.len(), 1u);
}

TEST(AdaptiveEngine, StatsReportOnlySize) {
  AdaptiveEngine e;
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("a")).ok());
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("b")).ok());
  ASSERT_TRUE(e.insert(v6p({0x20}, 8), rec("c")).ok());
  (void)e.lookup(v4(10, 1, 1, 1));
  (void)e.lookup(v4(11, 1, 1, 1));
  (void)e.remove(v6p({0x20}, 8));
  (void)e.remove(v6p({0x20}, 8));
  EXPECT_EQ(e.stats(), (EngineStats{0, 0, 0, 0, 0, 1}));
  e.clear();
  EXPECT_EQ(e.stats(), EngineStats{});
}

TEST(AdaptiveEngine, LookupHandsOutACopy) {
  AdaptiveEngine e;
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("v", "a", "1")).ok());
  auto got = e.lookup(v4(10, 0, 0, 1));
  ASSERT_TRUE(got);
  got->value = "changed";
  got->attributes["a"] = "2";
  EXPECT_EQ(*e.lookup(v4(10, 0, 0, 1)), rec("v", "a", "1"));
}

TEST(AdaptiveEngine, NestedMidByteAndFamilyCasesThroughTheEngine) {
  AdaptiveEngine e;
  ASSERT_TRUE(e.insert(v4p(10, 0, 16, 0, 20), rec("p20")).ok());
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("p8")).ok());
  ASSERT_TRUE(e.insert(v4p(0, 0, 0, 0, 0), rec("p0")).ok());
  ASSERT_TRUE(e.insert(v6p({10}, 8), rec("v6")).ok());
  EXPECT_EQ(e.len(), 4u);
  EXPECT_EQ(value_of(e.lookup(v4(10, 0, 31, 200))), "p20");
  EXPECT_EQ(value_of(e.lookup(v4(10, 0, 32, 0))), "p8");
  EXPECT_EQ(value_of(e.lookup(v4(99, 0, 0, 0))), "p0");
  EXPECT_EQ(value_of(e.lookup(v6({10, 0, 31, 200}))), "v6");
  EXPECT_EQ(value_of(e.lookup(v6({11}))), "-");
}

TEST(AdaptiveEngine, AWriteAbortedByAPanicPoisonsTheLock) {
  AdaptiveEngine e;
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("a")).ok());
  // A failed read leaves the lock usable.
  IpAddress bad_addr = v4(1, 1, 1, 1);
  bad_addr.family = 9;
  EXPECT_THROW((void)e.lookup(bad_addr), netrove::Panic);
  EXPECT_EQ(value_of(e.lookup(v4(10, 1, 1, 1))), "a");
  // A prefix too long for its family aborts the insert under the write lock.
  EXPECT_THROW((void)e.insert(v4p(10, 0, 0, 0, 40), rec("bad")), netrove::Panic);
  for (int i = 0; i < 7; ++i) {
    try {
      switch (i) {
        case 0: (void)e.insert(v4p(11, 0, 0, 0, 8), rec("b")); break;
        case 1: (void)e.lookup(v4(10, 1, 1, 1)); break;
        case 2: (void)e.remove(v4p(10, 0, 0, 0, 8)); break;
        case 3: (void)e.contains_prefix(v4p(10, 0, 0, 0, 8)); break;
        case 4: e.clear(); break;
        case 5: (void)e.len(); break;
        case 6: (void)e.stats(); break;
      }
      ADD_FAILURE() << "operation " << i << " ran on a poisoned engine";
    } catch (const netrove::Panic& p) {
      EXPECT_STREQ(p.what(), netrove::kPoisonedMessage) << "operation " << i;
    }
  }
}

// ---- LocalEngine tags 4 and 5 through build_local ---------------------------

TEST(AdaptiveLocal, EngineTypeFourPicksTagAndShardCount) {
  const std::uint64_t derived = netrove::processor_table_b(netrove::available_processors());
  LocalEngine dflt = build_local(4, 0, true, std::nullopt);
  EXPECT_EQ(dflt.tag(), derived <= 1 ? LocalTag::adaptive : LocalTag::sharded_adaptive);
  EXPECT_EQ(dflt.shard_count(), derived);
  for (std::uint64_t n : {0u, 1u}) {
    LocalEngine one = build_local(4, 3, false, n);  // node style and compression ignored
    EXPECT_EQ(one.tag(), LocalTag::adaptive) << n;
    EXPECT_EQ(one.shard_count(), 1u);
    EXPECT_EQ(one.trie(), nullptr);
  }
  LocalEngine four = build_local(4, 2, false, 4);
  EXPECT_EQ(four.tag(), LocalTag::sharded_adaptive);
  EXPECT_EQ(four.shard_count(), 4u);
}

TEST(AdaptiveLocal, ProcessorTableB) {
  using netrove::processor_table_b;
  EXPECT_EQ(processor_table_b(std::nullopt), 2u);
  EXPECT_EQ(processor_table_b(1), 2u);
  EXPECT_EQ(processor_table_b(2), 2u);
  EXPECT_EQ(processor_table_b(3), 4u);
  EXPECT_EQ(processor_table_b(4), 4u);
  EXPECT_EQ(processor_table_b(5), 8u);
  EXPECT_EQ(processor_table_b(8), 8u);
  EXPECT_EQ(processor_table_b(9), 16u);
  EXPECT_EQ(processor_table_b(1024), 16u);
}

TEST(AdaptiveLocal, TagFourCountsNothingButSize) {
  LocalEngine e = build_local(4, 0, true, 1);
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("a")).ok());
  ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("b")).ok());
  ASSERT_TRUE(e.insert(v4p(10, 1, 0, 0, 16), rec("c")).ok());
  EXPECT_EQ(value_of(e.lookup(v4(10, 1, 2, 3))), "c");
  EXPECT_FALSE(e.lookup(v4(11, 1, 2, 3)));
  EXPECT_EQ(value_of(e.remove(v4p(10, 1, 0, 0, 16))), "c");
  EXPECT_EQ(e.len(), 1u);
  EXPECT_EQ(e.stats(), (EngineStats{0, 0, 0, 0, 0, 1}));
}

TEST(AdaptiveLocal, ShardedWritesReachEveryShardAndRemoveAnswersOnce) {
  for (std::uint64_t shards : {2u, 4u, 7u}) {
    LocalEngine e = build_local(4, 0, true, shards);
    ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("a", "k", "v")).ok());
    ASSERT_TRUE(e.insert(v4p(10, 0, 0, 0, 8), rec("b", "k", "w")).ok());
    EXPECT_EQ(e.len(), 1u);
    EXPECT_EQ(e.stats().size, e.len());
    EXPECT_EQ(e.stats(), (EngineStats{0, 0, 0, 0, 0, 1}));
    // Addresses spread over every shard all see the write.
    for (unsigned x = 0; x < 64; ++x) EXPECT_EQ(*e.lookup(v4(10, static_cast<std::uint8_t>(x), 3, static_cast<std::uint8_t>(x * 7))), rec("b", "k", "w"));
    EXPECT_TRUE(e.contains_prefix(v4p(10, 0, 0, 0, 8)));
    EXPECT_EQ(value_of(e.remove(v4p(10, 0, 0, 0, 8))), "b");
    EXPECT_FALSE(e.remove(v4p(10, 0, 0, 0, 8)));
    for (unsigned x = 0; x < 64; ++x) EXPECT_FALSE(e.lookup(v4(10, static_cast<std::uint8_t>(x), 3, 1)));
    EXPECT_EQ(e.len(), 0u);
    ASSERT_TRUE(e.insert(v6p({0x20, 1}, 16), rec("six")).ok());
    e.clear();
    EXPECT_EQ(e.len(), 0u);
    EXPECT_FALSE(e.lookup(v6({0x20, 1, 5})));
  }
}

TEST(AdaptiveLocal, ShardSelectionHashesTheFirstFourBytes) {
  netrove::ShardedAdaptive g;
  g.shards = std::vector<AdaptiveEngine>(5);
  g.shard_count = 5;
  g.shard_bits = 32;
  std::mt19937 rng(4);
  for (int i = 0; i < 1000; ++i) {
    IpAddress a = i % 2 ? v4(0, 0, 0, 0) : v6({});
    for (unsigned b = 0; b < (a.family == kIpv4 ? 4u : 16u); ++b) a.bytes[b] = static_cast<std::uint8_t>(rng());
    std::uint64_t h = 0;
    for (unsigned b = 0; b < 4; ++b) h = h * 31 + a.bytes[b];
    EXPECT_EQ(g.select(a), h % 5);
    IpAddress same = a;  // same first four bytes, same shard
    same.bytes[7] ^= 0x55;
    EXPECT_EQ(g.select(same), g.select(a));
  }
  g.shard_count = 0;
  EXPECT_THROW((void)g.select(v4(1, 2, 3, 4)), netrove::Panic);
  g.shard_count = 6;
  EXPECT_THROW((void)g.select(v4(1, 2, 3, 4)), netrove::Panic);
}

TEST(AdaptiveLocal, CreateEngineBuildsTheAdaptiveTreeForCodeFour) {
  netrove::EngineConfig c;
  c.engine_type = netrove::EngineType(4);
  c.shards = 3;
  auto e = netrove::create_engine(std::move(c));
  auto* local = dynamic_cast<LocalEngine*>(e.get());
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->tag(), LocalTag::sharded_adaptive);
  ASSERT_TRUE(e->insert(v4p(172, 16, 0, 0, 12), rec("rfc1918")).ok());
  EXPECT_EQ(value_of(e->lookup(v4(172, 31, 255, 255))), "rfc1918");
  EXPECT_FALSE(e->lookup(v4(172, 32, 0, 0)));
}

}  // namespace
