// What the differential test cannot see: which node kind and shard count
// build_local picks (every variant answers alike), the shard tables, counts
// of a removal made through another shard, the shard each batch lookup is
// counted on, and poisoned locks.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "art/adaptive_engine.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "sync/panic.hpp"
#include "trie/trie_engine.hpp"
#include "support/oracle.hpp"

namespace {

using namespace nt;
using netrove::LocalTag;
using netrove::NodeKind;
using netrove::TrieEngine;
using netrove::TrieForm;

TEST(ShardTables, BandsAndCaps) {
  // 1. processor table A: <=2 -> 2, 3-4 -> 8, 5-8 -> 16, 9-16 -> 32, more -> 64.
  const std::pair<std::uint64_t, std::uint64_t> a[] = {{0, 2}, {2, 2}, {3, 8}, {4, 8}, {5, 16}, {8, 16}, {9, 32}, {16, 32}, {17, 64}};
  for (auto [n, want] : a) EXPECT_EQ(netrove::processor_table_a(n), want) << n;
  // 2. processor table B: <=2 -> 2, 3-4 -> 4, 5-8 -> 8, more -> 16.
  const std::pair<std::uint64_t, std::uint64_t> b[] = {{1, 2}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {8, 8}, {9, 16}, {1024, 16}};
  for (auto [n, want] : b) EXPECT_EQ(netrove::processor_table_b(n), want) << n;
  EXPECT_EQ(netrove::processor_table_a(std::nullopt), 2u);
  EXPECT_EQ(netrove::processor_table_b(std::nullopt), 2u);
  // 3. memory cap, U = (bytes * 3) >> 22 MiB: 512 -> 2, 513 -> 8, ... (overflow saturates).
  constexpr std::uint64_t GiB = std::uint64_t{1} << 30;
  EXPECT_EQ(netrove::memory_cap((std::uint64_t{512} << 22) / 3), 2u);
  EXPECT_EQ(netrove::memory_cap((std::uint64_t{513} << 22) / 3 + 1), 8u);
  EXPECT_EQ(netrove::memory_cap(4 * GiB), 16u);
  EXPECT_EQ(netrove::memory_cap(6 * GiB), 32u);
  EXPECT_EQ(netrove::memory_cap(UINT64_MAX), 64u);
  EXPECT_EQ(netrove::memory_cap(std::nullopt), 64u);
  // 4. per engine type: 0 explicit, 1 table A, 2 unsharded, 3 min(A, cap), 4 table B.
  EXPECT_EQ(netrove::local_shard_count(0, std::nullopt, 64, 64 * GiB), 1u);
  EXPECT_EQ(netrove::local_shard_count(1, std::nullopt, 12, 1), 32u);
  EXPECT_EQ(netrove::local_shard_count(2, 8, 64, 64 * GiB), 1u);
  EXPECT_EQ(netrove::local_shard_count(3, std::nullopt, 12, 4 * GiB), 16u);
  EXPECT_EQ(netrove::local_shard_count(3, std::nullopt, 64, 512 << 20), 2u);
  EXPECT_EQ(netrove::local_shard_count(4, std::nullopt, 12, 1), 16u);
  EXPECT_EQ(netrove::local_shard_count(5, 7, std::nullopt, std::nullopt), 7u);
}

TEST(BuildLocal, PicksKindTagAndShards) {
  struct Case { std::uint8_t type, style; bool pc; std::optional<std::uint64_t> shards; LocalTag tag; int kind; std::size_t n; };
  const Case cases[] = {
      {0, 3, true, std::nullopt, LocalTag::compressed, 7, 1},      {0, 2, false, std::nullopt, LocalTag::uncompressed, 2, 1},
      {1, 0, false, 4, LocalTag::sharded_uncompressed, 0, 4},      {1, 3, true, 1, LocalTag::compressed, 7, 1},
      {2, 1, false, 8, LocalTag::uncompressed, 3, 1},              {3, 3, true, 4, LocalTag::sharded_compressed, 5, 4},
      {3, 0, false, 2, LocalTag::sharded_uncompressed, 1, 2},      {5, 2, true, 3, LocalTag::sharded_compressed, 6, 3},
      {4, 3, false, 1, LocalTag::adaptive, -1, 1},                 {4, 2, false, 4, LocalTag::sharded_adaptive, -1, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.type) << "/" << int(c.style) << "/" << c.pc);
    netrove::LocalEngine e = netrove::build_local(c.type, c.style, c.pc, c.shards);
    EXPECT_EQ(e.tag(), c.tag);
    EXPECT_EQ(e.shard_count(), c.n);
    for (std::size_t i = 0; c.kind >= 0 && i < c.n; ++i) {
      ASSERT_NE(e.trie(i), nullptr);
      EXPECT_EQ(static_cast<int>(e.trie(i)->node_kind()), c.kind);
      EXPECT_EQ(e.trie(i)->roots(), e.trie(0)->roots());  // one shared trie
    }
  }
  EXPECT_THROW(netrove::build_local(5, 0, true, std::nullopt), std::invalid_argument);
  EXPECT_THROW(netrove::build_local(0, 4, true, std::nullopt), std::invalid_argument);
}

// A prefix taken out through another shard than the one removing it is
// still counted once, and the size stays exact.
TEST(ShardedStats, RemovalThroughAnyShardIsCounted) {
  auto group = std::make_shared<netrove::ShardedTrie>();
  auto first = std::make_shared<TrieEngine>(NodeKind::compressed_atomic);
  group->shards = {first, std::make_shared<TrieEngine>(NodeKind::compressed_atomic, first->roots())};
  group->shard_count = 2;
  netrove::LocalEngine e = netrove::LocalEngine::sharded_compressed(group);
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("x")).ok());
  ASSERT_TRUE(group->shards[1]->remove<TrieForm::compressed>(p4(10, 0, 0, 0, 8)));
  EXPECT_FALSE(e.remove(p4(10, 0, 0, 0, 8)));
  EXPECT_EQ(e.stats(), (netrove::EngineStats{1, 0, 0, 0, 1, 0}));
}

// The batch calls of a sharded trie walk the shared index once and count
// each lookup on the shard that a single lookup of its address counts on:
// per shard, the counters after the three batch calls equal those after
// the same lookups made one by one.  Shards over one trie (one walk) and
// over separate tries (per address), batches longer than a chunk.
TEST(ShardedStats, BatchLookupsCountOnTheRoutedShard) {
  auto over_separate_tries = [] {
    auto group = std::make_shared<netrove::ShardedTrie>();
    for (int i = 0; i < 3; ++i) group->shards.push_back(std::make_shared<TrieEngine>(NodeKind::compressed_atomic));
    group->shard_count = 3;
    group->shard_bits = 16;
    return netrove::LocalEngine::sharded_compressed(group);
  };
  const std::function<netrove::LocalEngine()> makers[] = {
      [] { return netrove::build_local(5, 1, true, 4); },   // compressed, one trie
      [] { return netrove::build_local(5, 0, false, 3); },  // uncompressed, one trie
      over_separate_tries};
  for (const auto& make : makers) {
    netrove::LocalEngine one = make(), batch = make();
    Generator gen(77);
    for (int k = 0; k < 400; ++k) {
      const IpPrefix p = gen.prefix();
      ASSERT_TRUE(one.insert(p, md(std::to_string(k))).ok());
      ASSERT_TRUE(batch.insert(p, md(std::to_string(k))).ok());
    }
    std::vector<IpAddress> as(700);
    for (auto& a : as) a = gen.address();
    for (const IpAddress& a : as)
      for (int call = 0; call < 3; ++call) (void)one.lookup(a);
    std::vector<netrove::HeldRecord> held(as.size());
    std::unique_ptr<bool[]> found(new bool[as.size()]);
    batch.lookup_many(as.data(), as.size(), held.data());
    batch.contains_many(as.data(), as.size(), found.get());
    batch.lookup_many_with(as.data(), as.size(), found.get(), [](std::size_t, const netrove::RecordView&) {});
    ASSERT_GT(one.shard_count(), 1u);
    std::uint64_t hits = 0;
    for (std::size_t s = 0; s < one.shard_count(); ++s) {
      const auto want = one.trie(s)->stats(), got = batch.trie(s)->stats();
      EXPECT_EQ(got.hits, want.hits) << "shard " << s;
      EXPECT_EQ(got.misses, want.misses) << "shard " << s;
      EXPECT_GT(want.lookups, 0u) << "shard " << s << " routed nothing: the test shows nothing";
      hits += want.hits;
    }
    EXPECT_GT(hits, 0u);
    EXPECT_EQ(batch.stats(), one.stats());
  }
}

std::string panic_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const netrove::Panic& p) {
    return p.what();
  }
  return "<no panic>";
}

// A panic under a writer lock poisons it for every later write (and, for the
// adaptive engine's one lock, every read); a panic under a read lock does not.
TEST(PoisonedLocks, APanicInsideAWritePoisonsTheEngine) {
  netrove::AdaptiveEngine a;
  ASSERT_TRUE(a.insert(p4(10, 0, 0, 0, 8), md("a")).ok());
  IpAddress bad = v4(1, 1, 1, 1);
  bad.family = 9;
  EXPECT_THROW((void)a.lookup(bad), netrove::Panic);
  EXPECT_EQ(show(a.lookup(v4(10, 1, 1, 1))), "a");
  EXPECT_THROW((void)a.insert(p4(10, 0, 0, 0, 40), md("bad")), netrove::Panic);
  EXPECT_EQ(panic_text([&] { (void)a.lookup(v4(10, 1, 1, 1)); }), netrove::kPoisonedMessage);
  EXPECT_EQ(panic_text([&] { (void)a.remove(p4(10, 0, 0, 0, 8)); }), netrove::kPoisonedMessage);

  // The compressed algorithm on an uncompressed kind panics in set_edge with
  // the trie's writer lock held: every engine over that trie is poisoned.
  TrieEngine t(NodeKind::uncompressed_locked), other(NodeKind::uncompressed_locked, t.roots());
  EXPECT_EQ(panic_text([&] { (void)t.insert<TrieForm::compressed>(p4(10, 0, 0, 0, 8), md("x")); }),
            "set_edge called on an uncompressed node");
  EXPECT_EQ(panic_text([&] { (void)other.insert<TrieForm::uncompressed>(p4(1, 0, 0, 0, 8), md("x")); }),
            netrove::kPoisonedMessage);
  EXPECT_EQ(panic_text([&] { t.clear<TrieForm::uncompressed>(); }), netrove::kPoisonedMessage);
  EXPECT_FALSE(t.lookup<TrieForm::uncompressed>(v4(10, 1, 1, 1)));  // lookups take no writer lock
}

}  // namespace
