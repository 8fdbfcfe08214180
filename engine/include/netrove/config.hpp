// netrove/config.hpp - the construction settings of an engine, a value type
// of its own so that every engine that takes them (the factory, the hybrid
// engine) can include it without the factory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace netrove {

/// Tree family and sharding policy of the local engine, the configuration
/// code 0..5 (build_local's table):
///
///   code  name                 engine                         shards (none given)
///   0     trie                 trie of node_style             1; given ones are used
///   1     sharded_trie         trie of node_style             processor table A
///   2     mapped_trie          kind 7 (3 uncompressed)        always 1
///   3     sharded_atomic_trie  kind 5 (1 uncompressed)        min(table A, memory cap)
///   4     art                  adaptive radix tree            processor table B
///   5     trie_fixed_shards    trie of node_style             rejected: must be given
///
/// Code 3 is what Python's variant "adaptive" selects (a sharded compressed
/// trie); code 4 is the only one built on the adaptive radix tree.  Values
/// above 5 are representable and rejected by the factory.
enum class EngineType : std::uint8_t {
  trie = 0,
  sharded_trie = 1,
  mapped_trie = 2,
  sharded_atomic_trie = 3,
  art = 4,
  trie_fixed_shards = 5,
};

/// Node layout within a trie family, the configuration code 0..3: node kind
/// `style` uncompressed, 4 + `style` compressed (trie/node_kind.hpp).  Used by
/// engine types 0, 1 and 5 only.
enum class NodeStyle : std::uint8_t {
  locked = 0,
  atomic = 1,
  padded = 2,
  mapped = 3,
};

/// The configuration code of a setting, for messages and tables.
constexpr std::uint8_t code(EngineType t) noexcept { return static_cast<std::uint8_t>(t); }
constexpr std::uint8_t code(NodeStyle s) noexcept { return static_cast<std::uint8_t>(s); }

/// Construction settings consumed by create_engine.  The defaults are those
/// of RadixEngine() with no variant: an uncached compressed trie of kind 4.
struct EngineConfig {
  std::optional<std::uint64_t> cache_ttl_secs;        ///< stored by the cache, never consulted
  std::optional<std::uint64_t> shards;                ///< explicit shard count; absent = derived
  std::string update_channel = "netrove:updates";     ///< handed to the hybrid engine
  std::optional<std::string> redis_url;               ///< hybrid engine's store; absent = none
  std::uint64_t cache_capacity = 0;                   ///< cached lookup answers at most
  bool enable_cache = false;                          ///< wrap the local engine in a CachedEngine
  bool enable_redis = false;                          ///< build a HybridEngine (wins over the cache)
  bool follow = false;                                ///< hybrid read engine follows update_channel
  bool write_path_compression = false;                ///< path compression of the hybrid write engine
  bool path_compression = true;                       ///< compressed (true) or uncompressed tries
  EngineType engine_type = EngineType::trie;          ///< tree family and sharding policy, 0..5
  NodeStyle node_style = NodeStyle::locked;           ///< node layout within a trie family, 0..3
};
static_assert(sizeof(EngineType) == 1 && sizeof(NodeStyle) == 1, "the codes keep their byte");

}  // namespace netrove
