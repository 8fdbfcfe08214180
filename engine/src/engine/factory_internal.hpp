// engine/factory_internal.hpp - the factory's own steps and probes, for the
// library, its tests and benchmarks: building a LocalEngine from the raw
// configuration codes, the shard-count tables, the machine probes and the
// quoting of inner error texts.  Not installed: a user of the package goes
// through create_engine (netrove/factory.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/local_engine.hpp"
#include "netrove/factory.hpp"

namespace netrove {

/// Builds the LocalEngine of `engine_type` (0..5), `node_style` (0..3),
/// `path_compression` and the optional explicit shard count; see the tables
/// below.  Errors: std::invalid_argument as for create_engine.
LocalEngine build_local(EngineType engine_type, NodeStyle node_style, bool path_compression,
                        std::optional<std::uint64_t> shards);

/// build_local of the raw codes, as tables of codes and benchmarks pass them;
/// codes out of range are rejected by build_local, as above.
inline LocalEngine build_local(std::uint8_t engine_type, std::uint8_t node_style, bool path_compression,
                               std::optional<std::uint64_t> shards) {
  return build_local(EngineType{engine_type}, NodeStyle{node_style}, path_compression, shards);
}

/// Shard count of build_local step 1, as a pure function of its inputs:
/// `shards` when present (except code 2: always 1); otherwise 1 for codes 0
/// and 2, table A for 1, min(table A, memory cap) for 3, table B for 4.
/// Code 5 without shards is rejected before this is asked (result 1).
std::uint64_t local_shard_count(EngineType engine_type, std::optional<std::uint64_t> shards,
                                std::optional<std::uint64_t> processors,
                                std::optional<std::uint64_t> available_bytes) noexcept;
/// local_shard_count of a raw code.
inline std::uint64_t local_shard_count(std::uint8_t engine_type, std::optional<std::uint64_t> shards,
                                       std::optional<std::uint64_t> processors,
                                       std::optional<std::uint64_t> available_bytes) noexcept {
  return local_shard_count(EngineType{engine_type}, shards, processors, available_bytes);
}

/// Shard count by processors for engine_type 1 and 3: <3 -> 2, 3-4 -> 8,
/// 5-8 -> 16, 9-16 -> 32, more -> 64; unknown -> 2.
std::uint64_t processor_table_a(std::optional<std::uint64_t> processors) noexcept;

/// Shard count by processors for engine_type 4: <3 -> 2, 3-4 -> 4, 5-8 -> 8,
/// more -> 16; unknown -> 2.
std::uint64_t processor_table_b(std::optional<std::uint64_t> processors) noexcept;

/// Shard cap by available memory for engine_type 3: U = (bytes * 3) >> 22
/// (three quarters in MiB); U <= 512 -> 2, <= 2048 -> 8, <= 4096 -> 16,
/// <= 8192 -> 32, larger -> 64; 64 when bytes * 3 overflows or is unknown.
std::uint64_t memory_cap(std::optional<std::uint64_t> available_bytes) noexcept;

/// Processors this process may run on: the affinity mask, lowered by a
/// cgroup CPU quota.  Nothing when it cannot be read.
std::optional<std::uint64_t> available_processors() noexcept;

/// The kernel's MemAvailable in bytes, read now.  Nothing when unreadable.
std::optional<std::uint64_t> available_memory_bytes() noexcept;

/// `text` between double quotes with quotes, backslashes and control
/// characters escaped, as failure messages quote an inner error.
std::string quote_escaped(std::string_view text);

}  // namespace netrove
