// create_engine and build_local: which shape, LocalEngine tag, node kind and
// shard count every configuration yields, and the bands of the tables.
#include <gtest/gtest.h>

#include <stdexcept>

#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie/trie_engine.hpp"

namespace netrove {
namespace {

constexpr std::uint64_t kGiB = 1ull << 30;

// The configuration RadixEngine(variant) writes.
EngineConfig python_config(const char* variant) {
  EngineConfig c;  // the defaults are those of no variant
  const std::string v = variant ? variant : "";
  if (v == "standard" || v == "lockfree" || v == "adaptive") {
    c.cache_ttl_secs = 3600;
    c.cache_capacity = 10000;
    c.enable_cache = true;
    c.node_style = netrove::NodeStyle(1);
    c.engine_type = netrove::EngineType(v == "standard" ? 0 : v == "lockfree" ? 2 : 3);
  }
  return c;
}

std::uint64_t code3_shards() {
  return std::min(processor_table_a(available_processors()), memory_cap(available_memory_bytes()));
}

// All shards of a trie variant run on nodes of one kind and share one trie.
void expect_trie(const LocalEngine& e, LocalTag tag, NodeKind kind, std::size_t shards) {
  EXPECT_EQ(e.tag(), tag);
  ASSERT_EQ(e.shard_count(), shards);
  for (std::size_t i = 0; i < shards; ++i) {
    ASSERT_NE(e.trie(i), nullptr);
    EXPECT_EQ(e.trie(i)->node_kind(), kind);
    EXPECT_EQ(e.trie(i)->roots(), e.trie(0)->roots()) << "shard " << i << " has its own trie";
  }
  EXPECT_EQ(e.trie(shards), nullptr);
}

TEST(Factory, DefaultConfigIsTheUncachedDefaultVariant) {
  const EngineConfig c;
  EXPECT_FALSE(c.cache_ttl_secs);
  EXPECT_FALSE(c.shards);
  EXPECT_EQ(c.update_channel, "netrove:updates");
  EXPECT_FALSE(c.redis_url);
  EXPECT_EQ(c.cache_capacity, 0u);
  EXPECT_FALSE(c.enable_cache);
  EXPECT_FALSE(c.enable_redis);
  EXPECT_FALSE(c.write_path_compression);
  EXPECT_TRUE(c.path_compression);
  EXPECT_EQ(c.engine_type, netrove::EngineType(0));
  EXPECT_EQ(c.node_style, netrove::NodeStyle(0));
}

TEST(Factory, PythonVariantsYieldTheirShapes) {
  {
    auto e = create_engine(python_config(nullptr));
    auto* local = dynamic_cast<LocalEngine*>(e.get());
    ASSERT_NE(local, nullptr) << "no variant must not be cached";
    expect_trie(*local, LocalTag::compressed, NodeKind::compressed_locked, 1);
  }
  struct Case {
    const char* variant;
    LocalTag tag;
    NodeKind kind;
    std::size_t shards;
  };
  for (const Case& k : {Case{"standard", LocalTag::compressed, NodeKind::compressed_atomic, 1},
                        Case{"lockfree", LocalTag::compressed, NodeKind::compressed_mapped, 1},
                        Case{"adaptive", LocalTag::sharded_compressed, NodeKind::compressed_atomic,
                             static_cast<std::size_t>(code3_shards())}}) {
    SCOPED_TRACE(k.variant);
    auto e = create_engine(python_config(k.variant));
    auto* cache = dynamic_cast<CachedEngine*>(e.get());
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache->capacity(), 10000u);
    EXPECT_EQ(cache->ttl(), 3600u);
    EXPECT_EQ(cache->cached(), 0u);
    EXPECT_EQ(cache->inner().use_count(), 1);
    auto* local = dynamic_cast<LocalEngine*>(cache->inner().get());
    ASSERT_NE(local, nullptr);
    expect_trie(*local, k.tag, k.kind, k.shards);
  }
  EXPECT_GE(code3_shards(), 2u);
}

TEST(Factory, UnrecognisedSettingsFallToTheDefault) {
  // A cache without the flag is not built, whatever the capacity says.
  EngineConfig c;
  c.cache_capacity = 10;
  auto e = create_engine(std::move(c));
  EXPECT_NE(dynamic_cast<LocalEngine*>(e.get()), nullptr);
}

TEST(Factory, NodeStyleSelectsTheKindForCodes015) {
  for (std::uint8_t style = 0; style <= 3; ++style) {
    SCOPED_TRACE(int(style));
    expect_trie(build_local(0, style, true, std::nullopt), LocalTag::compressed, NodeKind(4 + style), 1);
    expect_trie(build_local(0, style, false, std::nullopt), LocalTag::uncompressed, NodeKind(style), 1);
    expect_trie(build_local(0, style, true, 3), LocalTag::sharded_compressed, NodeKind(4 + style), 3);
    expect_trie(build_local(5, style, false, 4), LocalTag::sharded_uncompressed, NodeKind(style), 4);
    expect_trie(build_local(5, style, true, 1), LocalTag::compressed, NodeKind(4 + style), 1);
    expect_trie(build_local(1, style, true, 2), LocalTag::sharded_compressed, NodeKind(4 + style), 2);
  }
}

TEST(Factory, Codes2And3IgnoreNodeStyle) {
  for (std::uint8_t style = 0; style <= 3; ++style) {
    expect_trie(build_local(2, style, true, std::nullopt), LocalTag::compressed, NodeKind::compressed_mapped, 1);
    expect_trie(build_local(2, style, false, std::nullopt), LocalTag::uncompressed, NodeKind::uncompressed_mapped, 1);
    expect_trie(build_local(3, style, true, 5), LocalTag::sharded_compressed, NodeKind::compressed_atomic, 5);
    expect_trie(build_local(3, style, false, 5), LocalTag::sharded_uncompressed, NodeKind::uncompressed_atomic, 5);
  }
}

TEST(Factory, ShardCounts) {
  // Code 2 stays unsharded even with an explicit count.
  expect_trie(build_local(2, 1, true, 16), LocalTag::compressed, NodeKind::compressed_mapped, 1);
  // An explicit 1 or 0 with code 3 gives an unsharded trie.
  expect_trie(build_local(3, 1, true, 1), LocalTag::compressed, NodeKind::compressed_atomic, 1);
  expect_trie(build_local(3, 1, true, 0), LocalTag::compressed, NodeKind::compressed_atomic, 1);
  // Derived counts.
  expect_trie(build_local(0, 0, true, std::nullopt), LocalTag::compressed, NodeKind::compressed_locked, 1);
  expect_trie(build_local(1, 0, true, std::nullopt), LocalTag::sharded_compressed, NodeKind::compressed_locked,
              processor_table_a(available_processors()));
  expect_trie(build_local(3, 0, true, std::nullopt), LocalTag::sharded_compressed, NodeKind::compressed_atomic,
              code3_shards());
  // Explicit counts are used unchanged by the other codes.
  expect_trie(build_local(1, 2, false, 7), LocalTag::sharded_uncompressed, NodeKind::uncompressed_padded, 7);
  expect_trie(build_local(3, 2, true, 64), LocalTag::sharded_compressed, NodeKind::compressed_atomic, 64);
}

TEST(Factory, CachedShapeFollowsEnableCacheWithAnyTree) {
  EngineConfig c;
  c.enable_cache = true;
  c.cache_capacity = 5;
  c.engine_type = netrove::EngineType(1);
  c.shards = 3;
  c.path_compression = false;
  c.node_style = netrove::NodeStyle(2);
  auto e = create_engine(std::move(c));
  auto* cache = dynamic_cast<CachedEngine*>(e.get());
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->capacity(), 5u);
  EXPECT_FALSE(cache->ttl());
  expect_trie(*dynamic_cast<LocalEngine*>(cache->inner().get()), LocalTag::sharded_uncompressed,
              NodeKind::uncompressed_padded, 3);
}

TEST(Factory, RejectsUndefinedCodes) {
  EXPECT_THROW(build_local(6, 0, true, std::nullopt), std::invalid_argument);
  EXPECT_THROW(build_local(255, 0, true, 2), std::invalid_argument);
  EXPECT_THROW(build_local(0, 4, true, std::nullopt), std::invalid_argument);
  EXPECT_THROW(build_local(5, 0, true, std::nullopt), std::invalid_argument);
  EngineConfig c;
  c.engine_type = netrove::EngineType(5);
  try {
    create_engine(std::move(c));
    FAIL() << "code 5 without shards was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("shard"), std::string::npos) << e.what();
  }
  EngineConfig d;
  d.node_style = netrove::NodeStyle(9);
  d.enable_cache = true;
  EXPECT_THROW(create_engine(std::move(d)), std::invalid_argument);
}

TEST(Factory, ProcessorTableA) {
  const std::pair<std::optional<std::uint64_t>, std::uint64_t> cases[] = {
      {std::nullopt, 2}, {0, 2}, {1, 2}, {2, 2}, {3, 8}, {4, 8}, {5, 16}, {8, 16},
      {9, 32}, {12, 32}, {16, 32}, {17, 64}, {64, 64}, {UINT64_MAX, 64}};
  for (auto [n, want] : cases) EXPECT_EQ(processor_table_a(n), want) << (n ? *n : 0);
}

TEST(Factory, ProcessorTableB) {
  const std::pair<std::optional<std::uint64_t>, std::uint64_t> cases[] = {
      {std::nullopt, 2}, {1, 2}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {8, 8}, {9, 16}, {1000, 16}};
  for (auto [n, want] : cases) EXPECT_EQ(processor_table_b(n), want) << (n ? *n : 0);
}

TEST(Factory, MemoryCapBands) {
  // U = (bytes * 3) >> 22: the band edges are U = 512, 2048, 4096, 8192.
  auto bytes_for = [](std::uint64_t u) { return (u << 22) / 3 + 1; };  // smallest bytes giving U
  EXPECT_EQ(memory_cap(0), 2u);
  EXPECT_EQ(memory_cap(bytes_for(512)), 2u);
  EXPECT_EQ(memory_cap(bytes_for(513)), 8u);
  EXPECT_EQ(memory_cap(bytes_for(2048)), 8u);
  EXPECT_EQ(memory_cap(bytes_for(2049)), 16u);
  EXPECT_EQ(memory_cap(bytes_for(4096)), 16u);
  EXPECT_EQ(memory_cap(bytes_for(4097)), 32u);
  EXPECT_EQ(memory_cap(bytes_for(8192)), 32u);
  EXPECT_EQ(memory_cap(bytes_for(8193)), 64u);
  EXPECT_EQ(memory_cap(UINT64_MAX / 3 + 1), 64u);  // bytes * 3 overflows
  EXPECT_EQ(memory_cap(std::nullopt), 64u);
  // The "adaptive" examples: 2 processors; 12 with 4 GiB; 12 with 6 GiB; 64 with 64 GiB.
  EXPECT_EQ(std::min(processor_table_a(2), memory_cap(64 * kGiB)), 2u);
  EXPECT_EQ(std::min(processor_table_a(12), memory_cap(4 * kGiB)), 16u);
  EXPECT_EQ(std::min(processor_table_a(12), memory_cap(6 * kGiB)), 32u);
  EXPECT_EQ(std::min(processor_table_a(64), memory_cap(64 * kGiB)), 64u);
}

TEST(Factory, AdaptiveVariantShardCountByMachine) {
  // Code 3 with no explicit count: min(table A, memory cap).
  EXPECT_EQ(local_shard_count(3, std::nullopt, 2, 64 * kGiB), 2u);
  EXPECT_EQ(local_shard_count(3, std::nullopt, 12, 4 * kGiB), 16u);
  EXPECT_EQ(local_shard_count(3, std::nullopt, 12, 6 * kGiB), 32u);
  EXPECT_EQ(local_shard_count(3, std::nullopt, 64, 64 * kGiB), 64u);
  EXPECT_EQ(local_shard_count(3, std::nullopt, std::nullopt, std::nullopt), 2u);
  EXPECT_EQ(local_shard_count(3, 1, 64, 64 * kGiB), 1u);
  // "lockfree" (code 2) stays unsharded whatever is given.
  EXPECT_EQ(local_shard_count(2, 16, 64, 64 * kGiB), 1u);
  EXPECT_EQ(local_shard_count(0, std::nullopt, 64, 64 * kGiB), 1u);
  EXPECT_EQ(local_shard_count(1, std::nullopt, 5, std::nullopt), 16u);
}

TEST(Factory, PlatformFiguresAreReadable) {
  const auto n = available_processors();
  ASSERT_TRUE(n);
  EXPECT_GE(*n, 1u);
  const auto m = available_memory_bytes();
  ASSERT_TRUE(m);
  EXPECT_GT(*m, 0u);
}

TEST(Factory, QuoteEscaped) {
  EXPECT_EQ(quote_escaped("plain"), "\"plain\"");
  EXPECT_EQ(quote_escaped("a\"b\\c\nd"), "\"a\\\"b\\\\c\\nd\"");
}

}  // namespace
}  // namespace netrove
