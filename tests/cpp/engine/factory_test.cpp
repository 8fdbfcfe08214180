// create_engine and build_local: the configuration table (what shape,
// LocalEngine tag, node kind and shard count each setting yields), the
// processor tables and the memory cap at the edges of every band.
#include <gtest/gtest.h>

#include <stdexcept>

#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie/trie_engine.hpp"

namespace netrove {
namespace {

constexpr std::uint64_t kGiB = 1ull << 30;

// Every shard of a trie engine runs on nodes of one kind and shares one trie.
void expect_trie(const LocalEngine& e, LocalTag tag, NodeKind kind, std::size_t shards) {
  EXPECT_EQ(e.tag(), tag);
  ASSERT_EQ(e.shard_count(), shards);
  for (std::size_t i = 0; i < shards; ++i) {
    ASSERT_NE(e.trie(i), nullptr);
    EXPECT_EQ(e.trie(i)->node_kind(), kind);
    EXPECT_EQ(e.trie(i)->roots(), e.trie(0)->roots()) << "shard " << i << " has its own trie";
  }
}

TEST(Factory, ConfigurationTable) {
  const std::size_t table_a = processor_table_a(available_processors());
  const std::size_t code3 = std::min(table_a, std::size_t(memory_cap(available_memory_bytes())));
  struct Row {
    std::uint8_t type, style;
    bool compressed;
    std::optional<std::uint64_t> shards;
    LocalTag tag;
    int kind;  // the NodeKind; node styles 0..3 add to it where the type honours them
    std::size_t want_shards;
    bool styled;
  };
  using T = LocalTag;
  const Row rows[] = {
      {0, 0, true, std::nullopt, T::compressed, 4, 1, true},
      {0, 0, false, std::nullopt, T::uncompressed, 0, 1, true},
      {0, 0, true, 3, T::sharded_compressed, 4, 3, true},
      {5, 0, false, 4, T::sharded_uncompressed, 0, 4, true},
      {5, 0, true, 1, T::compressed, 4, 1, true},
      {1, 0, true, 2, T::sharded_compressed, 4, 2, true},
      {1, 0, true, std::nullopt, T::sharded_compressed, 4, table_a, true},
      {2, 0, true, std::nullopt, T::compressed, int(NodeKind::compressed_mapped), 1, false},
      {2, 0, false, std::nullopt, T::uncompressed, int(NodeKind::uncompressed_mapped), 1, false},
      {2, 0, true, 16, T::compressed, int(NodeKind::compressed_mapped), 1, false},  // never sharded
      {3, 0, true, 5, T::sharded_compressed, int(NodeKind::compressed_atomic), 5, false},
      {3, 0, false, 5, T::sharded_uncompressed, int(NodeKind::uncompressed_atomic), 5, false},
      {3, 0, true, 1, T::compressed, int(NodeKind::compressed_atomic), 1, false},
      {3, 0, true, 0, T::compressed, int(NodeKind::compressed_atomic), 1, false},
      {3, 0, true, std::nullopt, T::sharded_compressed, int(NodeKind::compressed_atomic), code3, false},
  };
  for (const Row& r : rows)
    for (std::uint8_t style = 0; style <= 3; ++style) {
      SCOPED_TRACE(::testing::Message() << "type " << int(r.type) << " style " << int(style) << " compressed "
                                        << r.compressed << " shards " << (r.shards ? int(*r.shards) : -1));
      expect_trie(build_local(r.type, style, r.compressed, r.shards), r.tag, NodeKind(r.kind + (r.styled ? style : 0)),
                  r.want_shards);
    }

  // The Python variants: none is a bare LocalEngine; the others are cached.
  struct Variant {
    const char* name;
    std::uint8_t type;
    LocalTag tag;
    NodeKind kind;
    std::size_t shards;
  };
  EngineConfig none;
  none.cache_capacity = 10;  // no cache without the flag
  auto bare = create_engine(none);
  ASSERT_NE(dynamic_cast<LocalEngine*>(bare.get()), nullptr);
  expect_trie(*dynamic_cast<LocalEngine*>(bare.get()), T::compressed, NodeKind::compressed_locked, 1);
  for (const Variant& v : {Variant{"standard", 0, T::compressed, NodeKind::compressed_atomic, 1},
                           Variant{"lockfree", 2, T::compressed, NodeKind::compressed_mapped, 1},
                           Variant{"adaptive", 3, T::sharded_compressed, NodeKind::compressed_atomic, code3}}) {
    SCOPED_TRACE(v.name);
    EngineConfig c;
    c.cache_ttl_secs = 3600;
    c.cache_capacity = 10000;
    c.enable_cache = true;
    c.node_style = netrove::NodeStyle(1);
    c.engine_type = netrove::EngineType(v.type);
    auto e = create_engine(c);
    auto* cache = dynamic_cast<CachedEngine*>(e.get());
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache->capacity(), 10000u);
    EXPECT_EQ(cache->ttl(), 3600u);
    expect_trie(*dynamic_cast<LocalEngine*>(cache->inner().get()), v.tag, v.kind, v.shards);
  }

  // Undefined codes and a sharded-only code without a count are refused.
  EXPECT_THROW(build_local(6, 0, true, std::nullopt), std::invalid_argument);
  EXPECT_THROW(build_local(0, 4, true, std::nullopt), std::invalid_argument);
  EXPECT_THROW(build_local(5, 0, true, std::nullopt), std::invalid_argument);
  EngineConfig bad_style;
  bad_style.node_style = netrove::NodeStyle(9);
  bad_style.enable_cache = true;
  EXPECT_THROW(create_engine(bad_style), std::invalid_argument);
}

TEST(Factory, ProcessorTablesAndMemoryCapBands) {
  using Opt = std::optional<std::uint64_t>;
  const std::pair<Opt, std::uint64_t> table_a[] = {{std::nullopt, 2}, {0, 2}, {2, 2}, {3, 8}, {4, 8}, {5, 16},
                                                   {8, 16}, {9, 32}, {16, 32}, {17, 64}, {UINT64_MAX, 64}};
  for (auto [n, want] : table_a) EXPECT_EQ(processor_table_a(n), want) << (n ? *n : 0);
  const std::pair<Opt, std::uint64_t> table_b[] = {{std::nullopt, 2}, {2, 2}, {3, 4}, {4, 4},
                                                   {5, 8}, {8, 8}, {9, 16}, {1000, 16}};
  for (auto [n, want] : table_b) EXPECT_EQ(processor_table_b(n), want) << (n ? *n : 0);
  // U = (bytes * 3) >> 22 with edges at U = 512, 2048, 4096, 8192; the cap
  // is 2 at and below the first edge and doubles after each (8 after 512).
  auto bytes_for = [](std::uint64_t u) { return (u << 22) / 3 + 1; };  // the least bytes giving U
  const std::pair<Opt, std::uint64_t> caps[] = {
      {0, 2},  {bytes_for(512), 2},   {bytes_for(513), 8},   {bytes_for(2048), 8},       {bytes_for(2049), 16},
      {bytes_for(4096), 16}, {bytes_for(4097), 32}, {bytes_for(8192), 32}, {bytes_for(8193), 64},
      {UINT64_MAX / 3 + 1, 64}, {std::nullopt, 64}};  // bytes * 3 overflows; unknown memory
  for (auto [bytes, want] : caps) EXPECT_EQ(memory_cap(bytes), want) << (bytes ? *bytes : 0);
  // Code 3 without a count takes min(table A, cap); the others ignore memory.
  EXPECT_EQ(local_shard_count(3, std::nullopt, 12, 4 * kGiB), 16u);
  EXPECT_EQ(local_shard_count(3, std::nullopt, 12, 6 * kGiB), 32u);
  EXPECT_EQ(local_shard_count(3, std::nullopt, std::nullopt, std::nullopt), 2u);
  EXPECT_EQ(local_shard_count(3, 1, 64, 64 * kGiB), 1u);
  EXPECT_EQ(local_shard_count(2, 16, 64, 64 * kGiB), 1u);
  EXPECT_EQ(local_shard_count(0, std::nullopt, 64, 64 * kGiB), 1u);
  EXPECT_EQ(local_shard_count(1, std::nullopt, 5, std::nullopt), 16u);
  EXPECT_EQ(quote_escaped("a\"b\\c\nd"), "\"a\\\"b\\\\c\\nd\"");
}

}  // namespace
}  // namespace netrove
