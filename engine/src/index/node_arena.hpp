// node_arena.hpp - memory for read-index nodes, on transparent huge pages.
//
// A lookup touches one or two nodes of a several-megabyte index at random,
// so with 4 KiB pages nearly every node read also misses the TLB; on the
// full table that doubled the cost of a lookup.  The arena carves nodes out
// of 2 MiB chunks that ask the kernel for huge pages (MADV_HUGEPAGE; where
// the kernel ignores the advice the chunks are ordinary memory):
//
//   chunk (2 MiB, 2 MiB aligned)
//   +--------+--------+----+--------+--------------------- - - -+
//   | node   | node   |free| node   |  not yet handed out        |
//   +--------+--------+----+--------+--------------------- - - -+
//                       |                ^ bump pointer
//                       +--> free list of its size class (16-byte classes)
//
// Freed blocks go to the free list of their size class and are reused by
// the next node of that size; chunks are never returned to the system.
// Allocation and release take one mutex: they run on writers (under the
// trie's writer lock) and in deferred-free passes, never on lookups.
#pragma once

#include <cstddef>

namespace netrove::index {

/// A block of at least `bytes` (<= kArenaMaxBlock), 16-byte aligned.
/// Throws std::bad_alloc when the system has no memory left.
void* arena_allocate(std::size_t bytes);
/// Returns a block from arena_allocate(bytes) (the same `bytes`).
void arena_free(void* p, std::size_t bytes) noexcept;
/// Bytes of the blocks handed out and not freed (sizes rounded to the class).
std::size_t arena_in_use() noexcept;

inline constexpr std::size_t kArenaMaxBlock = 8192;

}  // namespace netrove::index
