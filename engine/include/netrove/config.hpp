// netrove/config.hpp - the construction settings of an engine, a value type
// of its own so that every engine that takes them (the factory, the hybrid
// engine) can include it without the factory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace netrove {

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
  std::uint8_t engine_type = 0;                       ///< tree family and sharding policy, 0..5
  std::uint8_t node_style = 0;                        ///< node layout within a trie family, 0..3
};

}  // namespace netrove
