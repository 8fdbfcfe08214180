// build_local, the sharded trie variants and the processor / memory tables.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie/trie_engine.hpp"
#include "trie_test_util.hpp"

using netrove::build_local;
using netrove::LocalEngine;
using netrove::LocalTag;
using netrove::NodeKind;
using netrove::TrieEngine;
using netrove::TrieForm;
using nt::md;
using nt::p4;
using nt::p6;
using nt::v4;
using nt::v6;

namespace {

constexpr std::uint64_t GiB = std::uint64_t{1} << 30;

TEST(ShardTables, ProcessorTableA) {
  EXPECT_EQ(netrove::processor_table_a(std::nullopt), 2u);
  for (std::uint64_t n : {0, 1, 2}) EXPECT_EQ(netrove::processor_table_a(n), 2u);
  for (std::uint64_t n : {3, 4}) EXPECT_EQ(netrove::processor_table_a(n), 8u);
  for (std::uint64_t n : {5, 8}) EXPECT_EQ(netrove::processor_table_a(n), 16u);
  for (std::uint64_t n : {9, 16}) EXPECT_EQ(netrove::processor_table_a(n), 32u);
  for (std::uint64_t n : {17, 64, 100000}) EXPECT_EQ(netrove::processor_table_a(n), 64u);
}

TEST(ShardTables, ProcessorTableB) {
  EXPECT_EQ(netrove::processor_table_b(std::nullopt), 2u);
  for (std::uint64_t n : {1, 2}) EXPECT_EQ(netrove::processor_table_b(n), 2u);
  for (std::uint64_t n : {3, 4}) EXPECT_EQ(netrove::processor_table_b(n), 4u);
  for (std::uint64_t n : {5, 8}) EXPECT_EQ(netrove::processor_table_b(n), 8u);
  for (std::uint64_t n : {9, 64}) EXPECT_EQ(netrove::processor_table_b(n), 16u);
}

TEST(ShardTables, MemoryCapIsThreeQuartersInMiB) {
  // U = (bytes * 3) >> 22.  U = 512 exactly at 716 MiB minus a little.
  const std::uint64_t u512 = (std::uint64_t{512} << 22) / 3;  // bytes giving U = 511 or 512
  EXPECT_EQ(netrove::memory_cap(0), 2u);
  EXPECT_EQ(netrove::memory_cap(u512), 2u);
  EXPECT_EQ(netrove::memory_cap((std::uint64_t{513} << 22) / 3 + 1), 8u);
  EXPECT_EQ(netrove::memory_cap(2 * GiB), 8u);    // U = 1536
  EXPECT_EQ(netrove::memory_cap(4 * GiB), 16u);   // U = 3072
  EXPECT_EQ(netrove::memory_cap(6 * GiB), 32u);   // U = 4608
  EXPECT_EQ(netrove::memory_cap(11 * GiB), 64u);  // U = 8448
  EXPECT_EQ(netrove::memory_cap(UINT64_MAX), 64u);  // 3 * A overflows
  EXPECT_EQ(netrove::memory_cap(std::nullopt), 64u);
}

TEST(ShardTables, ExamplesOfTheAdaptiveVariant) {
  // engine_type 3 without explicit shards: min(table A, memory cap).
  EXPECT_EQ(netrove::local_shard_count(3, std::nullopt, 2, 64 * GiB), 2u);
  EXPECT_EQ(netrove::local_shard_count(3, std::nullopt, 12, 4 * GiB), 16u);
  EXPECT_EQ(netrove::local_shard_count(3, std::nullopt, 12, 6 * GiB), 32u);
  EXPECT_EQ(netrove::local_shard_count(3, std::nullopt, 64, 64 * GiB), 64u);
  EXPECT_EQ(netrove::local_shard_count(3, std::nullopt, 64, 512 << 20), 2u);
}

TEST(ShardTables, ShardCountPerEngineType) {
  EXPECT_EQ(netrove::local_shard_count(0, std::nullopt, 64, 64 * GiB), 1u);
  EXPECT_EQ(netrove::local_shard_count(0, 6, 64, 64 * GiB), 6u);
  EXPECT_EQ(netrove::local_shard_count(1, std::nullopt, 12, 1), 32u);  // no memory cap
  EXPECT_EQ(netrove::local_shard_count(1, std::nullopt, std::nullopt, 1), 2u);
  EXPECT_EQ(netrove::local_shard_count(2, 8, 64, 64 * GiB), 1u);  // always unsharded
  EXPECT_EQ(netrove::local_shard_count(3, 5, 64, 1), 5u);
  EXPECT_EQ(netrove::local_shard_count(4, std::nullopt, 12, 1), 16u);
  EXPECT_EQ(netrove::local_shard_count(5, 7, std::nullopt, std::nullopt), 7u);
}

TEST(ShardTables, PlatformFigures) {
  const auto cpus = netrove::available_processors();
  ASSERT_TRUE(cpus);
  EXPECT_GE(*cpus, 1u);
  const unsigned hw = std::thread::hardware_concurrency();
  if (hw != 0) {
    EXPECT_LE(*cpus, hw);
  }
  const auto mem = netrove::available_memory_bytes();
  ASSERT_TRUE(mem);
  EXPECT_GT(*mem, 0u);
}

// ---------------------------------------------------------------------------
// build_local.

struct Built {
  std::uint8_t type, style;
  bool compressed;
  std::optional<std::uint64_t> shards;
  LocalTag tag;
  int kind;
  std::size_t count;
};

TEST(BuildLocal, VariantKindAndShards) {
  const Built cases[] = {
      {0, 0, true, std::nullopt, LocalTag::compressed, 4, 1},
      {0, 3, true, std::nullopt, LocalTag::compressed, 7, 1},
      {0, 2, false, std::nullopt, LocalTag::uncompressed, 2, 1},
      {0, 1, true, 3, LocalTag::sharded_compressed, 5, 3},
      {1, 0, false, 4, LocalTag::sharded_uncompressed, 0, 4},
      {1, 3, true, 1, LocalTag::compressed, 7, 1},
      {2, 0, true, 8, LocalTag::compressed, 7, 1},  // code 2 ignores shards and node_style
      {2, 1, false, std::nullopt, LocalTag::uncompressed, 3, 1},
      {3, 3, true, 4, LocalTag::sharded_compressed, 5, 4},
      {3, 0, false, 2, LocalTag::sharded_uncompressed, 1, 2},
      {3, 2, true, 1, LocalTag::compressed, 5, 1},
      {3, 2, true, 0, LocalTag::compressed, 5, 1},
      {5, 2, true, 3, LocalTag::sharded_compressed, 6, 3},
      {5, 1, false, 2, LocalTag::sharded_uncompressed, 1, 2},
      {5, 0, true, 1, LocalTag::compressed, 4, 1},
  };
  for (const Built& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " style " << int(c.style) << " pc " << c.compressed);
    LocalEngine e = build_local(c.type, c.style, c.compressed, c.shards);
    EXPECT_EQ(e.tag(), c.tag);
    EXPECT_EQ(e.shard_count(), c.count);
    for (std::size_t i = 0; i < c.count; ++i) {
      ASSERT_NE(e.trie(i), nullptr);
      EXPECT_EQ(static_cast<int>(e.trie(i)->node_kind()), c.kind);
      EXPECT_EQ(e.trie(i)->roots(), e.trie(0)->roots());  // one shared trie
    }
    EXPECT_EQ(e.trie(c.count), nullptr);
  }
}

TEST(BuildLocal, DerivedShardCountsAreSharded) {
  // Code 3 without shards gets at least 2 shards; code 1 likewise.
  for (bool pc : {true, false}) {
    LocalEngine e3 = build_local(3, 0, pc, std::nullopt);
    EXPECT_GE(e3.shard_count(), 2u);
    EXPECT_EQ(e3.tag(), pc ? LocalTag::sharded_compressed : LocalTag::sharded_uncompressed);
    LocalEngine e1 = build_local(1, 0, pc, std::nullopt);
    EXPECT_EQ(e1.shard_count(), netrove::processor_table_a(netrove::available_processors()));
  }
}

TEST(BuildLocal, RejectsUndefinedConfigurations) {
  EXPECT_THROW(build_local(5, 0, true, std::nullopt), std::invalid_argument);
  EXPECT_THROW(build_local(6, 0, true, std::nullopt), std::invalid_argument);
  EXPECT_THROW(build_local(0, 4, true, std::nullopt), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// Sharded trie variants.

class Sharded : public ::testing::TestWithParam<std::tuple<bool, int>> {
 protected:
  bool compressed() const { return std::get<0>(GetParam()); }
  int shards() const { return std::get<1>(GetParam()); }
  LocalEngine e = build_local(5, 1, std::get<0>(GetParam()), std::get<1>(GetParam()));
};
INSTANTIATE_TEST_SUITE_P(Variants, Sharded,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(2, 3, 8)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "compressed" : "uncompressed") + "_" +
                                  std::to_string(std::get<1>(info.param)) + "shards";
                         });

TEST_P(Sharded, OneInsertCountsOnce) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("x")).ok());
  EXPECT_EQ(e.len(), 1u);
  const auto s = e.stats();
  EXPECT_EQ(s.inserts, 1u);
  EXPECT_EQ(s.size, 1u);
  EXPECT_TRUE(e.contains_prefix(p4(10, 0, 0, 0, 8)));
}

TEST_P(Sharded, EveryShardAnswersTheSame) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("v4")).ok());
  ASSERT_TRUE(e.insert(p6({0x2001, 0xdb8}, 32), md("v6")).ok());
  for (std::size_t i = 0; i < e.shard_count(); ++i) {
    const TrieEngine* t = e.trie(i);
    auto a = compressed() ? t->lookup<TrieForm::compressed>(v4(10, 1, 2, 3))
                          : t->lookup<TrieForm::uncompressed>(v4(10, 1, 2, 3));
    auto b = compressed() ? t->lookup<TrieForm::compressed>(v6({0x2001, 0xdb8, 9}))
                          : t->lookup<TrieForm::uncompressed>(v6({0x2001, 0xdb8, 9}));
    ASSERT_TRUE(a && b) << "shard " << i;
    EXPECT_EQ(a->value, "v4");
    EXPECT_EQ(b->value, "v6");
  }
}

TEST_P(Sharded, LookupsRouteByTheLeadingFourBytes) {
  ASSERT_TRUE(e.insert(p4(0, 0, 0, 0, 0), md("all")).ok());
  // h = ((1*31 + 2)*31 + 3)*31 + 4 = 31810.
  const std::size_t want = 31810 % static_cast<std::size_t>(shards());
  for (auto a : {v4(1, 2, 3, 4), v4(1, 2, 3, 4)}) ASSERT_TRUE(e.lookup(a));
  ASSERT_FALSE(e.lookup(v6({0x0102, 0x0304, 0xffff})));  // same leading bytes, IPv6, no match
  for (std::size_t i = 0; i < e.shard_count(); ++i) {
    const auto s = e.trie(i)->stats();
    EXPECT_EQ(s.lookups, i == want ? 3u : 0u) << "shard " << i;
    EXPECT_EQ(s.hits, i == want ? 2u : 0u) << "shard " << i;
  }
  const auto s = e.stats();
  EXPECT_EQ(s.lookups, 3u);
  EXPECT_EQ(s.hits, 2u);
  EXPECT_EQ(s.misses, 1u);
}

TEST_P(Sharded, LookupsAreSummedOverShards) {
  ASSERT_TRUE(e.insert(p4(0, 0, 0, 0, 0), md("all")).ok());
  std::uint64_t n = 0;
  for (int a = 0; a < 64; ++a, ++n) ASSERT_TRUE(e.lookup(v4(static_cast<std::uint8_t>(a), 7, 7, 7)));
  for (int a = 0; a < 16; ++a, ++n) ASSERT_FALSE(e.lookup(v6({static_cast<std::uint16_t>(a)})));
  std::size_t used = 0;
  for (std::size_t i = 0; i < e.shard_count(); ++i) used += e.trie(i)->stats().lookups != 0;
  EXPECT_GT(used, 1u);
  const auto s = e.stats();
  EXPECT_EQ(s.lookups, n);
  EXPECT_EQ(s.hits, 64u);
  EXPECT_EQ(s.misses, 16u);
}

TEST_P(Sharded, RemoveReturnsTheRecordOnce) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("x", "k", "v")).ok());
  auto r = e.remove(p4(10, 0, 0, 0, 8));
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, md("x", "k", "v"));
  EXPECT_FALSE(e.remove(p4(10, 0, 0, 0, 8)));
  const auto s = e.stats();
  EXPECT_EQ(s.removals, 1u);
  EXPECT_EQ(s.size, 0u);
  EXPECT_EQ(e.len(), 0u);
}

TEST_P(Sharded, ClearEmptiesTheSharedTrie) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("x")).ok());
  ASSERT_TRUE(e.insert(p6({}, 0), md("y")).ok());
  e.clear();
  EXPECT_EQ(e.len(), 0u);
  EXPECT_EQ(e.stats().size, 0u);
  EXPECT_EQ(e.stats().inserts, 2u);
  EXPECT_FALSE(e.lookup(v4(10, 1, 1, 1)));
  EXPECT_FALSE(e.lookup(v6({1})));
}

// A stored prefix taken out through a later shard (as happens when an insert
// and a remove interleave) is still counted, and the size stays exact.
TEST(ShardedStats, RemovalThroughAnyShardIsCounted) {
  auto group = std::make_shared<netrove::ShardedTrie>();
  auto first = std::make_shared<TrieEngine>(NodeKind::compressed_atomic);
  group->shards = {first, std::make_shared<TrieEngine>(NodeKind::compressed_atomic, first->roots()),
                   std::make_shared<TrieEngine>(NodeKind::compressed_atomic, first->roots())};
  group->shard_count = 3;
  LocalEngine e = LocalEngine::sharded_compressed(group);
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("x")).ok());
  ASSERT_TRUE(group->shards[2]->remove<TrieForm::compressed>(p4(10, 0, 0, 0, 8)));
  EXPECT_FALSE(e.remove(p4(10, 0, 0, 0, 8)));
  const auto s = e.stats();
  EXPECT_EQ(s.inserts, 1u);
  EXPECT_EQ(s.removals, 1u);
  EXPECT_EQ(s.size, 0u);
  EXPECT_EQ(e.len(), 0u);
}

TEST(ShardedStats, EmptyGroupAndBadSelection) {
  auto group = std::make_shared<netrove::ShardedTrie>();
  LocalEngine e = LocalEngine::sharded_compressed(group);
  EXPECT_EQ(e.len(), 0u);
  EXPECT_EQ(e.stats(), netrove::EngineStats{});
  EXPECT_FALSE(e.contains_prefix(p4(1, 0, 0, 0, 8)));
  EXPECT_THROW((void)e.lookup(v4(1, 2, 3, 4)), netrove::Panic);  // shard_count 0
  group->shard_count = 2;  // more than the shards it has
  group->shards.push_back(std::make_shared<TrieEngine>(NodeKind::compressed_atomic));
  EXPECT_THROW((void)e.lookup(v4(1, 2, 3, 4)), netrove::Panic);
}

}  // namespace
