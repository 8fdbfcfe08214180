// bench_memory.hpp - the memory a benchmark attributes to an engine.
#pragma once

#include <malloc.h>

#include <cstddef>

#include "index/node_arena.hpp"
#include "trie/node_pool.hpp"

namespace netrove::bench {

/// Bytes in use on the malloc heap (small and mmapped blocks) plus the trie
/// node blocks handed out by the node pools and the read-index nodes of the
/// index arena, whose chunks mallinfo never sees.
inline std::size_t heap_in_use() {
  const struct mallinfo2 mi = mallinfo2();
  std::size_t nodes = 0;
  for (std::size_t size : {64, 128, 192}) nodes += trie::node_pool(size).live() * size;
  return mi.uordblks + mi.hblkhd + nodes + index::arena_in_use();
}

}  // namespace netrove::bench
